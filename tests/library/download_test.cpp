// D2xxXmodem and its dialog: failures before the dialog, the dialog's contents and progress,
// Cancel, and the guards against a second download, a missing thread and huge files.
#include "library_test_support.h"

#include <commctrl.h>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace ambrix_test {
namespace {

const uint8_t EOT = 0x04, CAN = 0x18;

class DownloadTest : public LibraryTest {
protected:
    int AddReceiver(d2xxsim::ReceiverFaults faults = {})
    {
        int device = AddInstrument();
        receiver_ = std::make_shared<d2xxsim::XmodemReceiverModel>(faults);
        d2xxsim::AttachPeer(device, receiver_);
        return device;
    }
    // Devices and files all closed again.
    void ExpectNothingLeftOpen(int device)
    {
        EXPECT_FALSE(d2xxsim::IsOpen(device));
        EXPECT_EQ(win32sim::CountHandles("file"), 0u);
        EXPECT_EQ(win32sim::CountHandles("thread"), 0u);
    }
    std::shared_ptr<d2xxsim::XmodemReceiverModel> receiver_;
};

TEST_F(DownloadTest, MissingFileReturnsFileErrorWithoutTouchingAnyDevice)
{
    AddReceiver();
    EXPECT_EQ(D2xxXmodem(nullptr, "C:\\no\\such.bin", 0, 115200), DownloadFileError);
    EXPECT_TRUE(d2xxsim::Calls().empty());
    auto opens = win32sim::CreateFileCalls();
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].path, "C:\\no\\such.bin");
    EXPECT_EQ(opens[0].access, static_cast<DWORD>(GENERIC_READ));
    EXPECT_EQ(opens[0].share, static_cast<DWORD>(FILE_SHARE_READ));
    EXPECT_EQ(opens[0].disposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(opens[0].flags, static_cast<DWORD>(FILE_FLAG_SEQUENTIAL_SCAN));
}

TEST_F(DownloadTest, DeviceThatCannotBeOpenedReturnsDeviceErrorWithTheFileClosed)
{
    win32sim::AddVirtualFile("fw.bin", Pattern(10));
    int device = AddReceiver();
    d2xxsim::SetBusy(device, true);
    EXPECT_EQ(D2xxXmodem(nullptr, "fw.bin", static_cast<DWORD>(device), 115200), DownloadDeviceError);
    EXPECT_EQ(D2xxXmodem(nullptr, "fw.bin", 7, 115200), DownloadDeviceError);  // no such device
    EXPECT_TRUE(d2xxsim::CallsOf("FT_Close").empty());
    EXPECT_FALSE(win32sim::LastDialog());
    ExpectNothingLeftOpen(device);
}

TEST_F(DownloadTest, PortThatCannotBeConfiguredReturnsDeviceErrorWithAllClosed)
{
    win32sim::AddVirtualFile("fw.bin", Pattern(10));
    int device = AddReceiver();
    d2xxsim::FailCall(device, "FT_SetFlowControl", FT_IO_ERROR);
    EXPECT_EQ(D2xxXmodem(nullptr, "fw.bin", static_cast<DWORD>(device), 115200), DownloadDeviceError);
    EXPECT_EQ(d2xxsim::CallsOf("FT_SetTimeouts").size(), 1u);
    EXPECT_EQ(d2xxsim::CallsOf("FT_Close").size(), 1u);
    EXPECT_TRUE(d2xxsim::CallsOf("FT_Purge").empty());
    EXPECT_FALSE(win32sim::LastDialog());
    ExpectNothingLeftOpen(device);
}

TEST_F(DownloadTest, DialogShowsTheTemplateAndTheProgressReachesTheBlockCountBeforeEot)
{
    win32sim::AddVirtualFile("C:\\fw\\app.bin", Pattern(3000));
    int device = AddReceiver();
    std::atomic<HWND> dialog{nullptr};
    std::atomic<int> positionAtEot{-1};
    // The observer runs on the sender's thread at each write and reads the dialog across threads.
    d2xxsim::SetCallObserver([&](const d2xxsim::Call& call) {
        if (call.function != "FT_Write" || call.data != std::vector<uint8_t>{EOT})
            return;
        auto state = win32sim::InspectDialog(dialog.load());
        positionAtEot = state ? state->Control(1001)->position : -2;
    });
    Download download("C:\\fw\\app.bin", device, 115200, true,
                      [&](HWND window, UINT message, WPARAM, LPARAM) {
                          if (message == WM_INITDIALOG)
                              dialog = window;
                      });
    ASSERT_EQ(download.Wait(), DownloadCompleted);
    d2xxsim::SetCallObserver(nullptr);
    EXPECT_TRUE(download.parentDisabledDuringDialog());
    EXPECT_TRUE(download.parentEnabledAfter());

    auto state = win32sim::LastDialog();
    ASSERT_TRUE(state);
    EXPECT_EQ(state->caption, "XMODEM 1K over D2XX");
    EXPECT_EQ(state->parent, download.parent());
    const auto* progress = state->Control(1001);
    ASSERT_NE(progress, nullptr);
    EXPECT_EQ(progress->rangeMin, 0);
    EXPECT_EQ(progress->rangeMax, 3);
    EXPECT_EQ(progress->step, 1);
    EXPECT_EQ(positionAtEot, 3);
    EXPECT_EQ(state->Control(1000)->text, "app.bin");
    EXPECT_EQ(state->Control(IDCANCEL)->text, "Cancel");
    ExpectNothingLeftOpen(device);
}

TEST_F(DownloadTest, EmptyFileGetsAnEmptyRange)
{
    win32sim::AddVirtualFile("empty.bin", {});
    int device = AddReceiver();
    EXPECT_EQ(D2xxXmodem(nullptr, "empty.bin", static_cast<DWORD>(device), 115200), DownloadCompleted);
    auto progress = *win32sim::LastDialog()->Control(1001);
    EXPECT_EQ(progress.rangeMin, 0);
    EXPECT_EQ(progress.rangeMax, 0);
    EXPECT_EQ(progress.position, 0);
}

TEST_F(DownloadTest, FileNameShownIsThePartAfterTheLastBackslash)
{
    struct Case {
        const char* path;
        UINT codePage;
        const char* shown;
    };
    const Case cases[] = {
        {"C:\\firmware\\2024\\release\\main.bin", 1252, "main.bin"},
        {"plain.bin", 1252, "plain.bin"},
        {"C:\\firmware\\", 1252, ""},
        // 0x95 0x5C is one double-byte character in code page 932; its trail byte is no separator.
        {"C:\\fw\\\x95\x5C.bin", 932, "\x95\x5C.bin"},
        {"C:\\fw\\\x95\x5C.bin", 1252, ".bin"},
        {"\x95\x5C\\\x95\x5C", 932, "\x95\x5C"},
    };
    for (const auto& c : cases) {
        d2xxsim::Reset();
        d2xxsim::SetTimeScale(kTimeScale);
        win32sim::SetAnsiCodePage(c.codePage);
        win32sim::AddVirtualFile(c.path, {});
        int device = AddReceiver();
        ASSERT_EQ(D2xxXmodem(nullptr, c.path, static_cast<DWORD>(device), 9600), DownloadCompleted)
            << c.path;
        EXPECT_EQ(win32sim::LastDialog()->Control(1000)->text, c.shown) << c.path;
    }
}

TEST_F(DownloadTest, CancelRaisesTheFlagAndTheSenderEndsTheDialog)
{
    win32sim::AddVirtualFile("fw.bin", Pattern(4000));
    int device = AddInstrument();
    auto peer = std::make_shared<d2xxsim::ScriptedPeer>();  // never answers
    d2xxsim::AttachPeer(device, peer);
    std::vector<UINT> dialogMessages;
    Download download("fw.bin", device);
    HWND dialog = download.WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    win32sim::SetMessageHook([&](HWND window, UINT message, WPARAM, LPARAM) {
        if (window == dialog)
            dialogMessages.push_back(message);
    });
    // The close box arrives as Cancel too.
    PostMessageA(dialog, WM_CLOSE, 0, 0);
    EXPECT_EQ(download.Wait(), DownloadUserCancelled);
    // The Cancel command came first and left the dialog open; the sender's end closed it.
    auto end = std::find(dialogMessages.begin(), dialogMessages.end(), WM_USER + 0x1000u);
    auto command = std::find(dialogMessages.begin(), dialogMessages.end(), static_cast<UINT>(WM_COMMAND));
    ASSERT_NE(end, dialogMessages.end());
    EXPECT_LT(command, end);
    auto writes = d2xxsim::CallsOf("FT_Write");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].data, std::vector<uint8_t>(4, CAN));
    ExpectNothingLeftOpen(device);
}

TEST_F(DownloadTest, SecondDownloadWhileOneRunsIsRefusedAndLeavesTheFirstAlone)
{
    win32sim::AddVirtualFile("fw.bin", Pattern(4000));
    int device = AddInstrument();
    auto peer = std::make_shared<d2xxsim::ScriptedPeer>();
    d2xxsim::AttachPeer(device, peer);
    int other = AddReceiver();
    Download first("fw.bin", device);
    HWND dialog = first.WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    auto filesBefore = win32sim::CreateFileCalls().size();
    EXPECT_EQ(D2xxXmodem(nullptr, "fw.bin", static_cast<DWORD>(other), 115200), DownloadDeviceError);
    EXPECT_EQ(d2xxsim::CallsOf("FT_Open").size(), 1u);
    EXPECT_EQ(win32sim::CreateFileCalls().size(), filesBefore);
    // The first download still runs and completes normally.
    Conversation talk(peer);
    talk.ExpectPurge(FT_PURGE_RX | FT_PURGE_TX);
    talk.Send({'C'});
    EXPECT_EQ(talk.ExpectWrite().size(), 1029u);
    EXPECT_EQ(win32sim::InspectDialog(dialog)->Control(1000)->text, "fw.bin");
    win32sim::PressButton(dialog, IDCANCEL);
    EXPECT_EQ(first.Wait(), DownloadUserCancelled);
    // Once it has returned, a new download may run.
    win32sim::AddVirtualFile("small.bin", Pattern(5));
    EXPECT_EQ(D2xxXmodem(nullptr, "small.bin", static_cast<DWORD>(other), 115200), DownloadCompleted);
}

TEST_F(DownloadTest, SenderThreadThatCannotBeCreatedEndsTheDialogWithDeviceError)
{
    win32sim::AddVirtualFile("fw.bin", Pattern(4000));
    int device = AddReceiver();
    win32sim::FailCreateThread(1);
    EXPECT_EQ(D2xxXmodem(nullptr, "fw.bin", static_cast<DWORD>(device), 115200), DownloadDeviceError);
    EXPECT_TRUE(win32sim::LastDialog());
    EXPECT_TRUE(d2xxsim::CallsOf("FT_Purge").empty());
    ExpectNothingLeftOpen(device);
}

TEST_F(DownloadTest, MoreThan65535BlocksUseTheWideRange)
{
    char dir[] = "/tmp/ambrix-range-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/large.bin";
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 65537L * 1024 - 1), 0);  // sparse: 65537 blocks, the last short
    close(fd);
    int device = AddInstrument();
    auto peer = std::make_shared<d2xxsim::ScriptedPeer>();
    d2xxsim::AttachPeer(device, peer);
    Download download(path, device);
    HWND dialog = download.WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    win32sim::PressButton(dialog, IDCANCEL);
    EXPECT_EQ(download.Wait(), DownloadUserCancelled);
    auto progress = *win32sim::LastDialog()->Control(1001);
    EXPECT_EQ(progress.rangeMin, 0);
    EXPECT_EQ(progress.rangeMax, 65537);
    unlink(path.c_str());
    rmdir(dir);
}

TEST_F(DownloadTest, ModuleTemplateMatchesTheDialogDescription)
{
    auto data = win32sim::FindResourceData(AmbrixModule(), 5, 101);
    ASSERT_TRUE(data);
    win32sim::DialogTemplate t;
    ASSERT_TRUE(win32sim::ParseDialogTemplate(data->data(), data->size(), t));
    EXPECT_EQ(t.style, 0x80C800C0u);
    EXPECT_EQ(t.caption, "XMODEM 1K over D2XX");
    ASSERT_EQ(t.items.size(), 3u);
    EXPECT_EQ(t.items[1].id, 1001);
    std::string className = t.items[1].className;
    std::transform(className.begin(), className.end(), className.begin(), ::tolower);
    EXPECT_EQ(className, "msctls_progress32");
}

}  // namespace
}  // namespace ambrix_test
