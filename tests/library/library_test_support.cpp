#include "library_test_support.h"

#include <commctrl.h>

#include "module_state.h"

extern "C" const unsigned char ambrixResources[];
extern "C" const size_t ambrixResourcesSize;

namespace ambrix_test {

HINSTANCE AmbrixModule()
{
    static HINSTANCE module =
        win32sim::LoadModule("ambrix.dll", ambrixResources, ambrixResourcesSize, DllMain);
    return module;
}

std::vector<uint8_t> Pattern(size_t size, unsigned variant)
{
    std::vector<uint8_t> bytes(size);
    uint32_t state = variant * 2654435761u + 1;
    for (auto& b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<uint8_t>(state >> 16);
    }
    return bytes;
}

int AddInstrument(const std::string& description, const std::string& serial)
{
    return d2xxsim::AddDevice({kInstrumentId, serial, description, false});
}

void LibraryTest::SetUp()
{
    win32sim::Reset();
    d2xxsim::Reset();
    d2xxsim::SetTimeScale(kTimeScale);
    ASSERT_NE(AmbrixModule(), nullptr);
    // A test that let the host unload the library leaves it to be loaded again.
    if (win32sim::ModuleReferences(AmbrixModule()) == 0) {
        ASSERT_EQ(LoadLibraryA("ambrix.dll"), AmbrixModule());
    }
}

void LibraryTest::TearDown()
{
    win32sim::Reset();
    d2xxsim::Reset();
}

Download::Download(const std::string& path, int device, DWORD baudRate, bool withParent,
                   win32sim::MessageHook also)
{
    win32sim::SetMessageHook([this, also](HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_INITDIALOG) {
            HWND parent = parent_.load();
            parentDisabled_ = parent && !IsWindowEnabled(parent);
            dialog_ = window;
        }
        if (also)
            also(window, message, wParam, lParam);
    });
    result_ = std::async(std::launch::async, [this, path, device, baudRate, withParent] {
        HWND parent = nullptr;
        if (withParent) {
            parent = CreateWindowExA(0, "STATIC", "host", WS_POPUP, 0, 0, 100, 100, nullptr,
                                     nullptr, nullptr, nullptr);
            parent_ = parent;
        }
        DownloadResult result = D2xxXmodem(parent, path.c_str(), static_cast<DWORD>(device), baudRate);
        int exitCode = 0;
        quitPendingAfter_ = win32sim::TakeQuitMessage(&exitCode);
        parentEnabledAfter_ = parent && IsWindowEnabled(parent);
        if (parent)
            DestroyWindow(parent);
        return result;
    });
}

Download::~Download()
{
    if (!waited_ && result_.valid()) {
        // Leave no thread behind: cancel a download that a failed test left running, and if
        // its dialog does not end, raise the flag directly and end the modal loop.
        win32sim::FailPostMessage(0);
        HWND dialog = dialog_.load();
        if (dialog)
            win32sim::PressButton(dialog, IDCANCEL);
        if (result_.wait_for(5s) != std::future_status::ready) {
            InterlockedExchange(&cancelRequested, 1);
            if (dialog)
                PostMessageA(dialog, WM_QUIT, 0, 0);
        }
        result_.wait();
    }
    win32sim::SetMessageHook(nullptr);
}

HWND Download::WaitForDialog(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!dialog_.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    return dialog_.load();
}

int Download::Wait(std::chrono::milliseconds timeout)
{
    if (result_.wait_for(timeout) != std::future_status::ready)
        return -1;
    waited_ = true;
    return static_cast<int>(result_.get());
}

void Conversation::ExpectPurge(ULONG mask)
{
    auto event = peer_->NextEvent(2s);
    ASSERT_TRUE(event.has_value()) << "no purge";
    ASSERT_EQ(event->kind, d2xxsim::ScriptedPeer::Event::Purge);
    EXPECT_EQ(event->mask, mask);
}

std::vector<uint8_t> Conversation::ExpectWrite()
{
    auto event = peer_->NextEvent(2s);
    EXPECT_TRUE(event.has_value()) << "no write";
    if (!event)
        return {};
    EXPECT_EQ(event->kind, d2xxsim::ScriptedPeer::Event::Write);
    return event->data;
}

void Conversation::ExpectQuiet(std::chrono::milliseconds period)
{
    auto event = peer_->NextEvent(period);
    EXPECT_FALSE(event.has_value()) << "unexpected " << (event && event->kind ? "write" : "purge")
                                    << " of " << (event ? event->data.size() : 0) << " bytes";
}

uint16_t ReferenceCrc16(const uint8_t* data, size_t length)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc = static_cast<uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

std::vector<uint8_t> ExpectedPacket(uint8_t blockNumber, const std::vector<uint8_t>& file,
                                    size_t offset)
{
    std::vector<uint8_t> packet{0x02, blockNumber, static_cast<uint8_t>(255 - blockNumber)};
    for (size_t i = 0; i < 1024; ++i)
        packet.push_back(offset + i < file.size() ? file[offset + i] : 0x1A);
    uint16_t crc = ReferenceCrc16(packet.data() + 3, 1024);
    packet.push_back(static_cast<uint8_t>(crc >> 8));
    packet.push_back(static_cast<uint8_t>(crc));
    return packet;
}

}  // namespace ambrix_test
