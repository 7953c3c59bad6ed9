// Shared set-up of the library tests: the stand-ins reset per test, the library loaded as a
// module, and a download run on its own host thread.
#ifndef AMBRIX_TESTS_LIBRARY_TEST_SUPPORT_H
#define AMBRIX_TESTS_LIBRARY_TEST_SUPPORT_H

#include <windows.h>

#include "ambrix.h"
#include "d2xx_sim.h"
#include "peers.h"
#include "win32_sim.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <vector>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

namespace ambrix_test {

using namespace std::chrono_literals;

// Read time-outs of 1000 ms take 20 ms in the tests.
constexpr double kTimeScale = 0.02;
constexpr DWORD kInstrumentId = (AMBRIX_OWN_VENDOR_ID << 16) | 0x0002;
constexpr DWORD kUnprogrammedId = 0x04036001;

HINSTANCE AmbrixModule();
std::vector<uint8_t> Pattern(size_t size, unsigned variant = 1);
int AddInstrument(const std::string& description = "Trelvo X1", const std::string& serial = "TX0001");

class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// A download running on a host thread of its own (the dialog's thread), with the dialog's
// window captured when it opens.
class Download {
public:
    // also: a further message hook, called after the download's own.
    Download(const std::string& path, int device, DWORD baudRate = 115200,
             bool withParent = false, win32sim::MessageHook also = nullptr);
    ~Download();
    HWND WaitForDialog(std::chrono::milliseconds timeout = 2s);
    // The result, or -1 when the call has not returned within the time-out.
    int Wait(std::chrono::milliseconds timeout = 10s);
    HWND parent() const { return parent_.load(); }
    // Whether a quit message was waiting on the host thread once the call had returned.
    bool quitPendingAfter() const { return quitPendingAfter_; }
    bool parentDisabledDuringDialog() const { return parentDisabled_; }
    bool parentEnabledAfter() const { return parentEnabledAfter_; }

private:
    std::atomic<HWND> dialog_{nullptr};
    std::atomic<HWND> parent_{nullptr};
    std::atomic<bool> parentDisabled_{false};
    std::atomic<bool> parentEnabledAfter_{false};
    std::atomic<bool> quitPendingAfter_{false};
    std::future<DownloadResult> result_;
    bool waited_ = false;
};

// A scripted peer with expectations on what the sender does.
class Conversation {
public:
    explicit Conversation(std::shared_ptr<d2xxsim::ScriptedPeer> peer) : peer_(std::move(peer)) {}
    void ExpectPurge(ULONG mask);
    std::vector<uint8_t> ExpectWrite();
    void ExpectQuiet(std::chrono::milliseconds period = 100ms);
    void Send(std::vector<uint8_t> bytes) { peer_->Send(bytes); }

private:
    std::shared_ptr<d2xxsim::ScriptedPeer> peer_;
};

// The packet the sender must write for a block of file data.
std::vector<uint8_t> ExpectedPacket(uint8_t blockNumber, const std::vector<uint8_t>& file,
                                    size_t offset);
uint16_t ReferenceCrc16(const uint8_t* data, size_t length);

}  // namespace ambrix_test

#endif
