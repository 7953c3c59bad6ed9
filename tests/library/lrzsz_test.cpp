// Downloads to lrzsz's receiver (rx) over a pseudo-terminal: a real XMODEM-1K peer.
#include "library_test_support.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace ambrix_test {
namespace {

bool RxInstalled()
{
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (access((dir + "/rx").c_str(), X_OK) == 0)
            return true;
    return false;
}

std::vector<uint8_t> ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

class LrzszTest : public LibraryTest {
protected:
    void SetUp() override
    {
        if (!RxInstalled())
            GTEST_SKIP() << "lrzsz's rx is not installed; the real-peer tests need it";
        LibraryTest::SetUp();
        char dir[] = "/tmp/ambrix-rx-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override
    {
        peer_.reset();
        for (const char* name : {"/source.bin", "/received.bin", "/rx.log"})
            if (!HasFailure() && !getenv("KEEP_RX_LOG")) unlink((dir_ + name).c_str());
        if (!dir_.empty())
            rmdir(dir_.c_str());
        LibraryTest::TearDown();
    }
    // The source file and a device whose line leads to rx.
    int Prepare(const std::vector<uint8_t>& file, long flipByteAt = -1)
    {
        std::ofstream(dir_ + "/source.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
        int device = AddInstrument();
        d2xxsim::PtyPeer::Options options;
        options.argv = {"rx", "-c", "-b", "-U", dir_ + "/received.bin"};
        options.flipWrittenByteAt = flipByteAt;
        options.stderrPath = dir_ + "/rx.log";
        // rx drops its pending input right after each reply: its replies are handed on only
        // once it has done so.
        options.waitForInputFlush = true;
        peer_ = std::make_shared<d2xxsim::PtyPeer>(options);
        d2xxsim::AttachPeer(device, peer_);
        return device;
    }
    void ExpectReceived(const std::vector<uint8_t>& file)
    {
        auto status = peer_->WaitExit(10s);
        ASSERT_TRUE(status.has_value()) << "rx did not end";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "rx status " << *status;
        auto received = ReadAll(dir_ + "/received.bin");
        // rx keeps the padding of the last block.
        ASSERT_EQ(received.size(), (file.size() + 1023) / 1024 * 1024);
        EXPECT_TRUE(std::equal(file.begin(), file.end(), received.begin()));
        EXPECT_TRUE(std::all_of(received.begin() + static_cast<long>(file.size()), received.end(),
                                [](uint8_t b) { return b == 0x1A; }));
    }
    std::string dir_;
    std::shared_ptr<d2xxsim::PtyPeer> peer_;
};

class LrzszSizeTest : public LrzszTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(LrzszSizeTest, FileArrivesIntact)
{
    auto file = Pattern(GetParam(), static_cast<unsigned>(GetParam()) + 7);
    int device = Prepare(file);
    EXPECT_EQ(D2xxXmodem(nullptr, (dir_ + "/source.bin").c_str(), static_cast<DWORD>(device), 115200),
              DownloadCompleted);
    if (GetParam() == 0) {
        // Nothing but EOT: rx acknowledges it and leaves at most an empty file.
        auto status = peer_->WaitExit(10s);
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(ReadAll(dir_ + "/received.bin").empty());
        return;
    }
    ExpectReceived(file);
    EXPECT_EQ(win32sim::LastDialog()->Control(1001)->stepCount, static_cast<int>((GetParam() + 1023) / 1024));
}

INSTANTIATE_TEST_SUITE_P(Sizes, LrzszSizeTest,
                         ::testing::Values(0, 1, 1024, 1025, 3000, 1024 * 1024),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return "Bytes" + std::to_string(info.param);
                         });

TEST_F(LrzszTest, FlippedByteIsRepairedByTheReceiversNak)
{
    auto file = Pattern(5000, 3);
    int device = Prepare(file, 1029 + 500);  // inside the second block's data
    EXPECT_EQ(D2xxXmodem(nullptr, (dir_ + "/source.bin").c_str(), static_cast<DWORD>(device), 115200),
              DownloadCompleted);
    ExpectReceived(file);
    // Five blocks, one of them twice, and EOT.
    EXPECT_EQ(d2xxsim::CallsOf("FT_Write").size(), 7u);
}

TEST_F(LrzszTest, ReceiverThatCancelsEndsTheCallWithReceiverCancelled)
{
    auto file = Pattern(1024 * 1024, 5);
    int device = Prepare(file);
    std::atomic<bool> signalled{false};
    d2xxsim::SetCallObserver([this, &signalled](const d2xxsim::Call& call) {
        // Once a good part has gone over, the receiver is told to stop: it sends its CAN run.
        // The line hands bytes on as they leave the wire, so the count seen here moves in
        // steps of one or two packets: the signal goes once, at the first count past the mark.
        if (call.function == "FT_Write" && peer_->BytesWritten() > 200 * 1029 &&
            !signalled.exchange(true))
            peer_->Signal(SIGTERM);
    });
    Download download(dir_ + "/source.bin", device);
    EXPECT_EQ(download.Wait(20s), DownloadReceiverCancelled);
    d2xxsim::SetCallObserver(nullptr);
}

TEST_F(LrzszTest, ReceiverThatVanishesLeavesTheDialogWaitingUntilCancel)
{
    auto file = Pattern(1024 * 1024, 9);
    int device = Prepare(file);
    Download download(dir_ + "/source.bin", device);
    HWND dialog = download.WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (peer_->BytesWritten() < 50 * 1029 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    peer_->Signal(SIGKILL);
    ASSERT_TRUE(peer_->WaitExit(5s).has_value());
    // No byte comes any more; the sender keeps waiting through many read time-outs.
    EXPECT_EQ(download.Wait(d2xxsim::Scaled(1000) * 20), -1);
    auto pressed = std::chrono::steady_clock::now();
    win32sim::PressButton(dialog, IDCANCEL);
    EXPECT_EQ(download.Wait(5s), DownloadUserCancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - pressed, d2xxsim::Scaled(1000) * 25);
}

}  // namespace
}  // namespace ambrix_test
