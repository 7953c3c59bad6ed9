// How a download ends inside the host's process: however the dialog goes, the sender is stopped
// and waited for before device and file are closed; failures are never reported as success;
// the library stays loaded while its thread runs.
#include "library_test_support.h"

#include "module_state.h"
#include "xmodem_sender.h"

#include <functional>

namespace ambrix_test {
namespace {

const uint8_t EOT = 0x04, ACK = 0x06, CAN = 0x18;
const UINT kDownloadEnd = WM_USER + 0x1000;

class DownloadEndTest : public LibraryTest {
protected:
    int AddScripted()
    {
        int device = AddInstrument();
        peer_ = std::make_shared<d2xxsim::ScriptedPeer>();
        d2xxsim::AttachPeer(device, peer_);
        talk_ = std::make_unique<Conversation>(peer_);
        return device;
    }
    int AddReceiver(d2xxsim::ReceiverFaults faults = {})
    {
        int device = AddInstrument();
        receiver_ = std::make_shared<d2xxsim::XmodemReceiverModel>(faults);
        d2xxsim::AttachPeer(device, receiver_);
        return device;
    }
    // Nothing of the download is left: device and file closed, no thread handle, and no call
    // made on the device after its FT_Close.
    void ExpectCleanEnd(int device)
    {
        EXPECT_FALSE(d2xxsim::IsOpen(device));
        EXPECT_EQ(win32sim::CountHandles("file"), 0u);
        EXPECT_EQ(win32sim::CountHandles("thread"), 0u);
        auto calls = d2xxsim::Calls();
        auto close = std::find_if(calls.begin(), calls.end(),
                                  [](const d2xxsim::Call& c) { return c.function == "FT_Close"; });
        ASSERT_NE(close, calls.end()) << "device never closed";
        for (auto it = close + 1; it != calls.end(); ++it)
            EXPECT_NE(it->device, device) << it->function << " after FT_Close";
    }
    std::shared_ptr<d2xxsim::ScriptedPeer> peer_;
    std::unique_ptr<Conversation> talk_;
    std::shared_ptr<d2xxsim::XmodemReceiverModel> receiver_;
};

// The host ends the modal loop under a running transfer: its main window closes (the dialog's
// owner goes with it), or a quit message reaches the loop. The sender is told to stop and
// waited for; it sends its CAN bytes before the device is closed.
TEST_F(DownloadEndTest, DialogEndedByTheHostStopsTheSenderBeforeClosingAnything)
{
    struct Case {
        const char* name;
        bool quit;
    };
    for (const Case& c : {Case{"owner closed", false}, Case{"quit message", true}}) {
        SCOPED_TRACE(c.name);
        d2xxsim::Reset();
        d2xxsim::SetTimeScale(kTimeScale);
        win32sim::AddVirtualFile("fw.bin", Pattern(5000));
        int device = AddScripted();
        Download download("fw.bin", device, 115200, true);
        HWND dialog = download.WaitForDialog();
        ASSERT_NE(dialog, nullptr) << "no dialog";
        talk_->ExpectPurge(FT_PURGE_RX | FT_PURGE_TX);
        talk_->Send({'C'});
        ASSERT_EQ(talk_->ExpectWrite().size(), 1029u);
        if (c.quit)
            PostMessageA(dialog, WM_QUIT, 7, 0);
        else
            PostMessageA(download.parent(), WM_CLOSE, 0, 0);
        ASSERT_EQ(download.Wait(5s), DownloadUserCancelled);
        EXPECT_EQ(download.quitPendingAfter(), c.quit) << "quit message passed on to the host";
        auto writes = d2xxsim::CallsOf("FT_Write");
        ASSERT_FALSE(writes.empty());
        EXPECT_EQ(writes.back().data, std::vector<uint8_t>(4, CAN));
        ExpectCleanEnd(device);
        // No leftover thread shares the module state with the next download.
        int next = AddReceiver();
        win32sim::AddVirtualFile("next.bin", Pattern(2100, 4));
        EXPECT_EQ(D2xxXmodem(nullptr, "next.bin", static_cast<DWORD>(next), 115200), DownloadCompleted);
        EXPECT_EQ(receiver_->Received().size(), 3072u);
    }
}

TEST_F(DownloadEndTest, FileThatCannotBeReadMidTransferEndsWithCanAndFileError)
{
    win32sim::AddUnreadableVirtualFile("bad.bin", Pattern(5000), 2500);  // inside block 3
    int device = AddReceiver();
    EXPECT_EQ(D2xxXmodem(nullptr, "bad.bin", static_cast<DWORD>(device), 115200), DownloadFileError);
    EXPECT_EQ(receiver_->Received().size(), 2048u);
    EXPECT_FALSE(receiver_->Completed()) << "the receiver was given EOT for a truncated image";
    EXPECT_TRUE(receiver_->SenderCancelled());
    EXPECT_EQ(win32sim::LastDialog()->Control(1001)->stepCount, 2);
    ExpectCleanEnd(device);
}

// DialogBoxParamA gives 0 for an invalid owner and -1 when the template cannot be loaded;
// neither is a completed download.
TEST_F(DownloadEndTest, DialogThatCannotBeShownIsADeviceError)
{
    HINSTANCE withoutTemplate = win32sim::RegisterModule("no-template.dll", nullptr, 0);
    struct Case {
        const char* name;
        std::function<HWND()> parent;
        HINSTANCE module;
    };
    const Case cases[] = {
        {"destroyed owner",
         [] {
             HWND gone = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                         nullptr, nullptr);
             DestroyWindow(gone);
             return gone;
         },
         AmbrixModule()},
        {"no template", [] { return HWND(nullptr); }, withoutTemplate},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        d2xxsim::Reset();
        win32sim::AddVirtualFile("fw.bin", Pattern(100));
        int device = AddReceiver();
        DllMain(c.module, DLL_THREAD_ATTACH, nullptr);  // the module the template comes from
        DownloadResult result = D2xxXmodem(c.parent(), "fw.bin", static_cast<DWORD>(device), 115200);
        DllMain(AmbrixModule(), DLL_THREAD_ATTACH, nullptr);
        EXPECT_EQ(result, DownloadDeviceError);
        EXPECT_EQ(receiver_->Packets(), 0);
        EXPECT_EQ(d2xxsim::CallsOf("FT_Close").size(), 1u);
        ExpectCleanEnd(device);
    }
}

// A bridge that is pulled out fails every read at once; a write that fails moves nothing.
// Either ends the transfer with a device error instead of spinning until Cancel.
TEST_F(DownloadEndTest, VanishedBridgeEndsTheTransferWithDeviceError)
{
    for (bool failWrite : {false, true}) {
        SCOPED_TRACE(failWrite ? "write fails" : "unplugged while awaiting a reply");
        d2xxsim::Reset();
        d2xxsim::SetTimeScale(kTimeScale);
        win32sim::AddVirtualFile("fw.bin", Pattern(5000));
        int device = AddScripted();
        if (failWrite)
            d2xxsim::FailCall(device, "FT_Write", FT_IO_ERROR);
        Download download("fw.bin", device);
        talk_->ExpectPurge(FT_PURGE_RX | FT_PURGE_TX);
        talk_->Send({'C'});
        if (!failWrite) {
            ASSERT_EQ(talk_->ExpectWrite().size(), 1029u);
            d2xxsim::ClearCalls();
            d2xxsim::Unplug(device);
        }
        EXPECT_EQ(download.Wait(5s), DownloadDeviceError) << "transfer did not end by itself";
        EXPECT_LE(d2xxsim::CallsOf("FT_Read").size(), 10u) << "the sender spun on failing reads";
        talk_->ExpectQuiet(20ms);
        ExpectCleanEnd(device);
    }
}

// The host frees the library from the dialog's message loop while the sender runs; the
// sender's own reference keeps the code loaded until the thread has left it.
TEST_F(DownloadEndTest, LibraryFreedByTheHostStaysLoadedUntilTheSenderHasLeft)
{
    win32sim::AddVirtualFile("fw.bin", Pattern(3000));
    int device = AddScripted();
    HINSTANCE module = AmbrixModule();
    ASSERT_EQ(win32sim::ModuleReferences(module), 1);
    std::atomic<int> referencesAfterFree{-1};
    Download download("fw.bin", device, 115200, false,
                      [&](HWND, UINT message, WPARAM, LPARAM) {
                          if (message == WM_INITDIALOG) {
                              FreeLibrary(module);
                              referencesAfterFree = win32sim::ModuleReferences(module);
                          }
                      });
    talk_->ExpectPurge(FT_PURGE_RX | FT_PURGE_TX);
    talk_->Send({'C'});
    EXPECT_EQ(talk_->ExpectWrite().size(), 1029u);
    EXPECT_EQ(referencesAfterFree, 1) << "nothing held the library for the running sender";
    HWND dialog = download.WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    win32sim::PressButton(dialog, IDCANCEL);
    EXPECT_EQ(download.Wait(5s), DownloadUserCancelled);
    auto unloads = win32sim::ModuleUnloads();
    ASSERT_EQ(unloads.size(), 1u) << "the sender did not drop its reference";
    EXPECT_EQ(unloads[0].module, module);
    for (auto routine : unloads[0].threadsRunning)
        EXPECT_NE(routine, &XmodemSendThread) << "unloaded under the running sender";
    EXPECT_EQ(LoadLibraryA("ambrix.dll"), module);
}

TEST_F(DownloadEndTest, NullPathIsAFileError)
{
    AddReceiver();
    EXPECT_EQ(D2xxXmodem(nullptr, nullptr, 0, 115200), DownloadFileError);
    EXPECT_TRUE(d2xxsim::Calls().empty());
}

// The end message is acted on only once the sender has recorded its result: a stray one leaves
// the dialog working, and a post that fails is not the end of the dialog either.
TEST_F(DownloadEndTest, EndMessageCountsOnlyWhenTheSenderHasFinished)
{
    win32sim::AddVirtualFile("fw.bin", Pattern(3000));
    int device = AddScripted();
    Download stray("fw.bin", device);
    HWND dialog = stray.WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    talk_->ExpectPurge(FT_PURGE_RX | FT_PURGE_TX);
    PostMessageA(dialog, kDownloadEnd, DownloadCompleted, 0);
    talk_->ExpectQuiet(50ms);
    win32sim::PressButton(dialog, IDCANCEL);
    EXPECT_EQ(stray.Wait(5s), DownloadUserCancelled) << "the stray message ended or blocked the dialog";

    win32sim::AddVirtualFile("empty.bin", {});
    device = AddReceiver();
    // The sender's post after the EOT's acknowledgement finds the queue full a few times.
    d2xxsim::SetCallObserver([](const d2xxsim::Call& call) {
        if (call.function == "FT_Read" && call.data == std::vector<uint8_t>{ACK})
            win32sim::FailPostMessage(3);
    });
    Download failedPost("empty.bin", device);
    EXPECT_EQ(failedPost.Wait(5s), DownloadCompleted) << "the dialog never learned of the end";
    d2xxsim::SetCallObserver(nullptr);
}

// Cancel pressed once EOT is out, with the receiver's ACK already waiting: the transfer is
// complete and the receiver gets no CAN.
TEST_F(DownloadEndTest, CancelAfterEotDoesNotOverrideAWaitingAcknowledgement)
{
    win32sim::AddVirtualFile("fw.bin", Pattern(100));
    int device = AddScripted();
    std::atomic<HWND> dialog{nullptr};
    std::atomic<bool> staged{false};
    Download download("fw.bin", device, 115200, false, [&](HWND window, UINT message, WPARAM, LPARAM) {
        if (message == WM_INITDIALOG)
            dialog = window;
    });
    // On the sender's thread, as EOT is written: Cancel is pressed and handled, then the ACK
    // arrives, all before the sender looks again.
    d2xxsim::SetCallObserver([&](const d2xxsim::Call& call) {
        if (call.function != "FT_Write" || call.data != std::vector<uint8_t>{EOT})
            return;
        win32sim::PressButton(dialog.load(), IDCANCEL);
        auto deadline = std::chrono::steady_clock::now() + 2s;
        while (!InterlockedCompareExchange(&cancelRequested, 0, 0) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        peer_->Send({ACK});
        // The line delivers it after its latency; wait until it is there.
        std::this_thread::sleep_for(d2xxsim::Scaled(100));
        staged = true;
    });
    talk_->ExpectPurge(FT_PURGE_RX | FT_PURGE_TX);
    talk_->Send({'C'});
    ASSERT_EQ(talk_->ExpectWrite().size(), 1029u);
    talk_->Send({ACK});
    EXPECT_EQ(talk_->ExpectWrite(), std::vector<uint8_t>{EOT});
    auto deadline = std::chrono::steady_clock::now() + 3s;
    while (!staged && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(staged) << "the observer did not stage Cancel and the ACK";
    EXPECT_EQ(InterlockedCompareExchange(&cancelRequested, 0, 0), 1) << "Cancel was not pressed in time";
    EXPECT_EQ(download.Wait(5s), DownloadCompleted);
    d2xxsim::SetCallObserver(nullptr);
    talk_->ExpectQuiet(20ms);
}

}  // namespace
}  // namespace ambrix_test
