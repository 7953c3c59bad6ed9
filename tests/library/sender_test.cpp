// The XMODEM-1K sender, driven through D2xxXmodem: the packets it writes, how it answers each
// byte in each state, and how either side ends the transfer.
#include "library_test_support.h"

#include "xmodem_sender.h"

namespace ambrix_test {
namespace {

const uint8_t EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;
const char kPath[] = "C:\\firmware\\image.bin";

class ScriptedSenderTest : public LibraryTest {
protected:
    void Start(std::vector<uint8_t> file)
    {
        file_ = file;
        win32sim::AddVirtualFile(kPath, std::move(file));
        device_ = AddInstrument();
        peer_ = std::make_shared<d2xxsim::ScriptedPeer>();
        d2xxsim::AttachPeer(device_, peer_);
        talk_ = std::make_unique<Conversation>(peer_);
        download_ = std::make_unique<Download>(kPath, device_);
        talk_->ExpectPurge(FT_PURGE_RX | FT_PURGE_TX);
    }
    void ExpectBlock(uint8_t number, size_t offset)
    {
        EXPECT_EQ(talk_->ExpectWrite(), ExpectedPacket(number, file_, offset))
            << "block " << int(number);
    }
    std::vector<uint8_t> file_;
    int device_ = -1;
    std::shared_ptr<d2xxsim::ScriptedPeer> peer_;
    std::unique_ptr<Conversation> talk_;
    std::unique_ptr<Download> download_;
};

TEST(Crc16, CheckValueAndSingleBytes)
{
    const char digits[] = "123456789";
    EXPECT_EQ(ComputeCrc16(reinterpret_cast<const BYTE*>(digits), 9), 0x31C3);
    for (int i = 0; i < 256; ++i) {
        BYTE b = static_cast<BYTE>(i);
        ASSERT_EQ(ComputeCrc16(&b, 1), ReferenceCrc16(&b, 1)) << i;
    }
    auto data = Pattern(1024);
    EXPECT_EQ(ComputeCrc16(data.data(), 1024), ReferenceCrc16(data.data(), 1024));
}

TEST_F(ScriptedSenderTest, EmptyFileIsALoneEot)
{
    Start({});
    talk_->Send({'C'});
    EXPECT_EQ(talk_->ExpectWrite(), std::vector<uint8_t>{EOT});
    talk_->Send({ACK});
    EXPECT_EQ(download_->Wait(), DownloadCompleted);
    auto dialog = win32sim::LastDialog();
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->Control(1001)->stepCount, 0);
}

TEST_F(ScriptedSenderTest, FullBlocksThenEot)
{
    Start(Pattern(2048));
    talk_->Send({'C'});
    ExpectBlock(1, 0);
    talk_->Send({ACK});
    auto second = talk_->ExpectWrite();
    EXPECT_EQ(second, ExpectedPacket(2, file_, 1024));
    EXPECT_EQ(std::count(second.begin() + 3, second.begin() + 1027, 0x1A),
              std::count(file_.begin() + 1024, file_.end(), 0x1A));  // no padding added
    talk_->Send({ACK});
    EXPECT_EQ(talk_->ExpectWrite(), std::vector<uint8_t>{EOT});
    talk_->Send({ACK});
    EXPECT_EQ(download_->Wait(), DownloadCompleted);
}

TEST_F(ScriptedSenderTest, ShortLastBlockIsPaddedAndItsCrcCoversThePadding)
{
    Start(Pattern(1025));
    talk_->Send({'C'});
    ExpectBlock(1, 0);
    talk_->Send({ACK});
    auto last = talk_->ExpectWrite();
    ASSERT_EQ(last.size(), 1029u);
    EXPECT_EQ(last[3], file_[1024]);
    EXPECT_TRUE(std::all_of(last.begin() + 4, last.begin() + 1027, [](uint8_t b) { return b == 0x1A; }));
    uint16_t crc = ReferenceCrc16(last.data() + 3, 1024);
    EXPECT_EQ(last[1027], crc >> 8);
    EXPECT_EQ(last[1028], crc & 0xFF);
    talk_->Send({ACK});
    EXPECT_EQ(talk_->ExpectWrite(), std::vector<uint8_t>{EOT});
    talk_->Send({ACK});
    EXPECT_EQ(download_->Wait(), DownloadCompleted);
}

TEST_F(ScriptedSenderTest, EachStateAnswersOnlyItsOwnBytes)
{
    Start(Pattern(1500));
    // Waiting for the start: ACK, NAK (the checksum variant) and noise are ignored.
    talk_->Send({ACK, NAK, 'x'});
    talk_->ExpectQuiet();
    talk_->Send({'C'});
    ExpectBlock(1, 0);
    // Waiting for a block reply: a second 'C' and noise are ignored, NAK repeats the packet.
    talk_->Send({'C', 0x7F});
    talk_->ExpectQuiet();
    talk_->Send({NAK});
    ExpectBlock(1, 0);
    talk_->Send({ACK});
    ExpectBlock(2, 1024);
    talk_->Send({NAK});
    ExpectBlock(2, 1024);
    talk_->Send({ACK});
    EXPECT_EQ(talk_->ExpectWrite(), std::vector<uint8_t>{EOT});
    // Waiting for the EOT reply: 'C' is ignored, NAK repeats EOT, ACK completes.
    talk_->Send({'C'});
    talk_->ExpectQuiet();
    talk_->Send({NAK});
    EXPECT_EQ(talk_->ExpectWrite(), std::vector<uint8_t>{EOT});
    talk_->Send({ACK});
    EXPECT_EQ(download_->Wait(), DownloadCompleted);
    // Resends do not step the bar.
    EXPECT_EQ(win32sim::LastDialog()->Control(1001)->stepCount, 2);
}

TEST_F(ScriptedSenderTest, CanPairAcrossReadTimeoutsEndsTheTransfer)
{
    Start(Pattern(3000));
    talk_->Send({'C'});
    ExpectBlock(1, 0);
    talk_->Send({CAN});
    std::this_thread::sleep_for(d2xxsim::Scaled(1000) * 3);  // several read time-outs pass
    talk_->Send({CAN});
    EXPECT_EQ(download_->Wait(), DownloadReceiverCancelled);
    // The sender drops what the device buffered and sends no CAN of its own.
    talk_->ExpectPurge(FT_PURGE_RX);
    talk_->ExpectQuiet(50ms);
}

TEST_F(ScriptedSenderTest, CanPairBrokenByAnotherByteDoesNotCancel)
{
    Start(Pattern(1024));
    talk_->Send({'C'});
    ExpectBlock(1, 0);
    talk_->Send({CAN, 'C', CAN});
    talk_->ExpectQuiet();
    EXPECT_EQ(download_->Wait(0ms), -1);
    talk_->Send({ACK});  // also breaks the pair
    EXPECT_EQ(talk_->ExpectWrite(), std::vector<uint8_t>{EOT});
    talk_->Send({CAN, ACK});
    EXPECT_EQ(download_->Wait(), DownloadCompleted);
}

TEST_F(ScriptedSenderTest, CancelBeforeTheFirstByteWritesFourCanInOneWrite)
{
    Start(Pattern(4096));
    HWND dialog = download_->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    win32sim::PressButton(dialog, IDCANCEL);
    EXPECT_EQ(talk_->ExpectWrite(), (std::vector<uint8_t>{CAN, CAN, CAN, CAN}));
    EXPECT_EQ(download_->Wait(), DownloadUserCancelled);
    EXPECT_EQ(win32sim::LastDialog()->Control(1001)->stepCount, 0);
}

class ModelSenderTest : public LibraryTest {
protected:
    int Send(const std::vector<uint8_t>& file, d2xxsim::ReceiverFaults faults = {},
             DWORD baudRate = 115200)
    {
        win32sim::AddVirtualFile(kPath, file);
        int device = AddInstrument();
        receiver_ = std::make_shared<d2xxsim::XmodemReceiverModel>(faults);
        d2xxsim::AttachPeer(device, receiver_);
        Download download(kPath, device, baudRate);
        return download.Wait(30s);
    }
    void ExpectDelivered(const std::vector<uint8_t>& file)
    {
        auto received = receiver_->Received();
        size_t padded = (file.size() + 1023) / 1024 * 1024;
        ASSERT_EQ(received.size(), padded);
        EXPECT_TRUE(std::equal(file.begin(), file.end(), received.begin()));
        EXPECT_TRUE(std::all_of(received.begin() + static_cast<long>(file.size()), received.end(),
                                [](uint8_t b) { return b == 0x1A; }));
        EXPECT_TRUE(receiver_->Completed());
    }
    std::shared_ptr<d2xxsim::XmodemReceiverModel> receiver_;
};

TEST_F(ModelSenderTest, FilesOfSeveralSizesArriveWhole)
{
    for (size_t size : {0u, 1u, 1024u, 1025u, 2048u, 3000u}) {
        d2xxsim::Reset();
        d2xxsim::SetTimeScale(kTimeScale);
        auto file = Pattern(size, static_cast<unsigned>(size));
        ASSERT_EQ(Send(file), DownloadCompleted) << size;
        ExpectDelivered(file);
        EXPECT_EQ(win32sim::LastDialog()->Control(1001)->stepCount, static_cast<int>((size + 1023) / 1024));
    }
}

TEST_F(ModelSenderTest, BlockNumberWrapsAtTheTwoHundredFiftySixthBlock)
{
    auto file = Pattern(257 * 1024 + 10);
    ASSERT_EQ(Send(file), DownloadCompleted);
    ExpectDelivered(file);
    auto numbers = receiver_->BlockNumbers();
    ASSERT_EQ(numbers.size(), 258u);
    EXPECT_EQ(numbers[254], 255);
    EXPECT_EQ(numbers[255], 0);
    EXPECT_EQ(numbers[256], 1);
    // The complement of block 0 is 255: the receiver accepted it, which it checks.
    auto writes = d2xxsim::CallsOf("FT_Write");
    EXPECT_EQ(writes[255].data[1], 0);
    EXPECT_EQ(writes[255].data[2], 255);
}

TEST_F(ModelSenderTest, RefusedAndDamagedPacketsAreSentAgain)
{
    d2xxsim::ReceiverFaults faults;
    faults.nakPackets = {0, 2};
    faults.corruptPacket = 3;
    auto file = Pattern(3000);
    ASSERT_EQ(Send(file, faults), DownloadCompleted);
    ExpectDelivered(file);
    EXPECT_EQ(receiver_->Naks(), 3);
    EXPECT_EQ(d2xxsim::CallsOf("FT_Write").size(), 3u + 3u + 1u);
    EXPECT_EQ(win32sim::LastDialog()->Control(1001)->stepCount, 3);
}

TEST_F(ModelSenderTest, NakAfterEotRepeatsEot)
{
    d2xxsim::ReceiverFaults faults;
    faults.nakFirstEot = true;
    ASSERT_EQ(Send(Pattern(100), faults), DownloadCompleted);
    auto writes = d2xxsim::CallsOf("FT_Write");
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[1].data, std::vector<uint8_t>{EOT});
    EXPECT_EQ(writes[2].data, std::vector<uint8_t>{EOT});
}

TEST_F(ModelSenderTest, ReceiverCancelInTheMiddleOfTheFile)
{
    d2xxsim::ReceiverFaults faults;
    faults.cancelAtPacket = 2;
    EXPECT_EQ(Send(Pattern(10000), faults), DownloadReceiverCancelled);
    EXPECT_EQ(receiver_->Received().size(), 2048u);
    EXPECT_FALSE(receiver_->SenderCancelled());
    auto purges = d2xxsim::CallsOf("FT_Purge");
    ASSERT_EQ(purges.size(), 2u);
    EXPECT_EQ(purges[1].arguments[0], static_cast<uint64_t>(FT_PURGE_RX));
}

TEST_F(ModelSenderTest, SilentReceiverWaitsForCancelAndThenEndsWithinAReadTimeout)
{
    d2xxsim::ReceiverFaults faults;
    faults.silentFromPacket = 1;
    win32sim::AddVirtualFile(kPath, Pattern(5000));
    int device = AddInstrument();
    receiver_ = std::make_shared<d2xxsim::XmodemReceiverModel>(faults);
    d2xxsim::AttachPeer(device, receiver_);
    Download download(kPath, device);
    HWND dialog = download.WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    // No retry limit and no overall time-out: many read time-outs later it still waits.
    EXPECT_EQ(download.Wait(d2xxsim::Scaled(1000) * 15), -1);
    EXPECT_EQ(receiver_->Packets(), 2);
    auto pressed = std::chrono::steady_clock::now();
    win32sim::PressButton(dialog, IDCANCEL);
    EXPECT_EQ(download.Wait(), DownloadUserCancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - pressed, d2xxsim::Scaled(1000) * 25);
    EXPECT_TRUE(receiver_->SenderCancelled());
    EXPECT_EQ(d2xxsim::CallsOf("FT_Write").back().data, (std::vector<uint8_t>(4, CAN)));
}

// At 9600 baud a 1029-byte packet does not go out within the write time-out: FT_Write returns
// fewer bytes, and the sender writes the rest until the packet is out.
TEST_F(ModelSenderTest, SlowLinePacketsAreContinuedUntilTheyAreOut)
{
    auto file = Pattern(3000, 2);
    ASSERT_EQ(Send(file, {}, 9600), DownloadCompleted);
    ExpectDelivered(file);
    std::vector<uint8_t> stream, expected;
    size_t cut = 0;
    for (const auto& write : d2xxsim::CallsOf("FT_Write")) {
        stream.insert(stream.end(), write.data.begin(), write.data.end());
        cut += write.data.size() < write.arguments[0] ? 1 : 0;
    }
    EXPECT_GE(cut, 3u) << "no packet was cut: the line is not slow enough to show anything";
    for (uint8_t block = 1; block <= 3; ++block) {
        auto packet = ExpectedPacket(block, file, (block - 1) * 1024u);
        expected.insert(expected.end(), packet.begin(), packet.end());
    }
    expected.push_back(EOT);
    EXPECT_EQ(stream, expected);
}

// Cancel ends the continuation of a packet that a very slow line takes in small pieces.
TEST_F(ScriptedSenderTest, CancelStopsAPacketThatIsStillGoingOut)
{
    win32sim::AddVirtualFile("slow.bin", Pattern(2000));
    device_ = AddInstrument();
    peer_ = std::make_shared<d2xxsim::ScriptedPeer>();
    d2xxsim::AttachPeer(device_, peer_);
    talk_ = std::make_unique<Conversation>(peer_);
    download_ = std::make_unique<Download>("slow.bin", device_, 300);
    talk_->ExpectPurge(FT_PURGE_RX | FT_PURGE_TX);
    talk_->Send({'C'});
    size_t first = talk_->ExpectWrite().size();
    size_t second = talk_->ExpectWrite().size();
    EXPECT_GT(first, 0u);
    EXPECT_GT(second, 0u);
    EXPECT_LT(first + second, 1029u);
    win32sim::PressButton(download_->WaitForDialog(), IDCANCEL);
    EXPECT_EQ(download_->Wait(5s), DownloadUserCancelled);
    auto writes = d2xxsim::CallsOf("FT_Write");
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back().data, std::vector<uint8_t>(4, CAN));
    size_t packetBytes = 0;
    for (size_t i = 0; i + 1 < writes.size(); ++i)
        packetBytes += writes[i].data.size();
    EXPECT_LT(packetBytes, 1029u) << "the packet went on after Cancel";
}

}  // namespace
}  // namespace ambrix_test
