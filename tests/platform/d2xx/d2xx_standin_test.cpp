// Self-tests of the D2XX stand-in: device table, call record, read time-outs and the peers.
#include "d2xx_sim.h"
#include "peers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

namespace {

using namespace std::chrono_literals;

class D2xxStandIn : public ::testing::Test {
protected:
    void SetUp() override { d2xxsim::Reset(); }
    void TearDown() override { d2xxsim::Reset(); }
};

TEST_F(D2xxStandIn, DevicesOpenOnceAndReportTheirInformation)
{
    int device = d2xxsim::AddDevice({0x1D500002, "SERIAL-NUMBER-TOO-LONG", "Box"});
    DWORD count = 0;
    EXPECT_EQ(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(count, 1u);
    FT_HANDLE handle = nullptr, second = nullptr;
    ASSERT_EQ(FT_Open(device, &handle), FT_OK);
    EXPECT_EQ(FT_Open(device, &second), static_cast<FT_STATUS>(FT_DEVICE_NOT_OPENED));
    EXPECT_EQ(FT_Open(5, &second), static_cast<FT_STATUS>(FT_DEVICE_NOT_FOUND));
    DWORD id = 0;
    char serial[16], description[64];
    EXPECT_EQ(FT_GetDeviceInfo(handle, nullptr, &id, serial, description, nullptr), FT_OK);
    EXPECT_EQ(id, 0x1D500002u);
    EXPECT_STREQ(serial, "SERIAL-NUMBER-T");  // cut to its buffer
    EXPECT_STREQ(description, "Box");
    d2xxsim::FailCall(device, "FT_SetBaudRate", FT_IO_ERROR);
    EXPECT_EQ(FT_SetBaudRate(handle, 9600), static_cast<FT_STATUS>(FT_IO_ERROR));
    EXPECT_EQ(FT_Close(handle), FT_OK);
    EXPECT_EQ(FT_Close(handle), static_cast<FT_STATUS>(FT_INVALID_HANDLE));
    d2xxsim::SetBusy(device, true);
    EXPECT_EQ(FT_Open(device, &handle), static_cast<FT_STATUS>(FT_DEVICE_NOT_OPENED));
    d2xxsim::SetListDevicesStatus(FT_OTHER_ERROR);
    EXPECT_EQ(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), static_cast<FT_STATUS>(FT_OTHER_ERROR));

    auto calls = d2xxsim::CallsOf("FT_SetBaudRate");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].device, device);
    EXPECT_EQ(calls[0].arguments, std::vector<uint64_t>{9600});
    EXPECT_EQ(calls[0].status, static_cast<FT_STATUS>(FT_IO_ERROR));
}

TEST_F(D2xxStandIn, ReadWaitsForTheScaledTimeOutOrTheBytes)
{
    int device = d2xxsim::AddDevice({0x1D500002, "S", "D"});
    auto peer = std::make_shared<d2xxsim::ScriptedPeer>();
    d2xxsim::AttachPeer(device, peer);
    d2xxsim::SetTimeScale(0.05);
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(FT_Open(device, &handle), FT_OK);
    FT_SetTimeouts(handle, 1000, 1000);
    uint8_t byte = 0;
    DWORD got = 7;
    auto start = std::chrono::steady_clock::now();
    FT_Read(handle, &byte, 1, &got);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(got, 0u);
    EXPECT_GE(waited, 45ms);
    EXPECT_LT(waited, 1000ms);

    std::thread later([&] {
        std::this_thread::sleep_for(10ms);
        peer->Send({0x43});
    });
    d2xxsim::SetTimeScale(1.0);
    start = std::chrono::steady_clock::now();
    FT_Read(handle, &byte, 1, &got);
    later.join();
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(byte, 0x43);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);

    peer->Send({1, 2});
    std::this_thread::sleep_for(10ms);  // in the chip, not yet past its latency timer
    FT_Purge(handle, FT_PURGE_RX);
    d2xxsim::SetTimeScale(0.01);
    FT_Read(handle, &byte, 1, &got);
    EXPECT_EQ(got, 0u);  // purged
    auto purge = peer->NextEvent(0ms);
    ASSERT_TRUE(purge);
    EXPECT_EQ(purge->mask, static_cast<ULONG>(FT_PURGE_RX));
    uint8_t out[3] = {9, 8, 7};
    DWORD written = 0;
    FT_Write(handle, out, 3, &written);
    EXPECT_EQ(written, 3u);
    auto write = peer->NextEvent(1s);
    ASSERT_TRUE(write);
    EXPECT_EQ(write->data, (std::vector<uint8_t>{9, 8, 7}));
    FT_Close(handle);
}

TEST_F(D2xxStandIn, ReceiverModelChecksThePacketsItGets)
{
    int device = d2xxsim::AddDevice({0x1D500002, "S", "D"});
    auto model = std::make_shared<d2xxsim::XmodemReceiverModel>();
    d2xxsim::AttachPeer(device, model);
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(FT_Open(device, &handle), FT_OK);
    FT_SetBaudRate(handle, 3000000);
    FT_SetTimeouts(handle, 500, 500);
    FT_Purge(handle, FT_PURGE_RX | FT_PURGE_TX);
    uint8_t reply = 0;
    DWORD got = 0;
    FT_Read(handle, &reply, 1, &got);
    EXPECT_EQ(reply, 'C');
    std::vector<uint8_t> packet(1029, 0x55);
    packet[0] = 0x02;
    packet[1] = 1;
    packet[2] = 254;
    packet[1027] = packet[1028] = 0;  // wrong CRC
    DWORD written = 0;
    FT_Write(handle, packet.data(), 1029, &written);
    FT_Read(handle, &reply, 1, &got);
    EXPECT_EQ(reply, 0x15);
    EXPECT_TRUE(model->Received().empty());
    uint8_t cancel[4] = {0x18, 0x18, 0x18, 0x18};
    FT_Write(handle, cancel, 4, &written);
    FT_Close(handle);  // the chip sends what it holds first
    EXPECT_TRUE(model->SenderCancelled());
}

TEST_F(D2xxStandIn, ProgramOnPseudoTerminalsEchoesThroughTheLine)
{
    int device = d2xxsim::AddDevice({0x1D500002, "S", "D"});
    d2xxsim::PtyPeer::Options options;
    options.argv = {"cat"};
    options.startAtAttach = true;
    options.flipWrittenByteAt = 1;
    auto peer = std::make_shared<d2xxsim::PtyPeer>(options);
    d2xxsim::AttachPeer(device, peer);
    ASSERT_TRUE(peer->Started());
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(FT_Open(device, &handle), FT_OK);
    FT_SetTimeouts(handle, 2000, 2000);
    uint8_t out[3] = {'a', 'b', 'c'};
    DWORD done = 0;
    FT_Write(handle, out, 3, &done);
    uint8_t in[3] = {};
    FT_Read(handle, in, 3, &done);
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(in[0], 'a');
    EXPECT_EQ(in[1], static_cast<uint8_t>('b' ^ 0xFF));
    EXPECT_EQ(in[2], 'c');
    EXPECT_EQ(peer->BytesWritten(), 3u);
    peer->Signal(SIGTERM);
    EXPECT_TRUE(peer->WaitExit(5s).has_value());
    FT_Close(handle);
}

TEST_F(D2xxStandIn, UnpluggedBridgeFailsAtOnce)
{
    int device = d2xxsim::AddDevice({0x1D500002, "S", "D"});
    auto peer = std::make_shared<d2xxsim::ScriptedPeer>();
    d2xxsim::AttachPeer(device, peer);
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(FT_Open(device, &handle), FT_OK);
    FT_SetTimeouts(handle, 0, 0);  // reads wait for ever
    std::thread unplug([device] {
        std::this_thread::sleep_for(20ms);
        d2xxsim::Unplug(device);
    });
    uint8_t byte = 0;
    DWORD count = 5;
    EXPECT_EQ(FT_Read(handle, &byte, 1, &count), static_cast<FT_STATUS>(FT_IO_ERROR)) << "waiting read not woken";
    unplug.join();
    EXPECT_EQ(count, 0u);
    peer->Send({1, 2, 3});
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(FT_Read(handle, &byte, 1, &count), static_cast<FT_STATUS>(FT_IO_ERROR));
    EXPECT_EQ(count, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
    uint8_t out[2] = {1, 2};
    EXPECT_EQ(FT_Write(handle, out, 2, &count), static_cast<FT_STATUS>(FT_IO_ERROR));
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(peer->NextEvent(0ms)) << "bytes went out on a vanished line";
    EXPECT_EQ(FT_Close(handle), FT_OK);
    EXPECT_EQ(FT_Open(device, &handle), static_cast<FT_STATUS>(FT_DEVICE_NOT_FOUND));
}

// The line: bytes leave at the baud rate through a 64-byte chip buffer, a write returns what
// the chip took when its time-out passes, and replies wait out the chip's latency timer.
TEST_F(D2xxStandIn, LineMovesBytesAtItsRateThroughASmallBuffer)
{
    using Clock = std::chrono::steady_clock;
    const double scale = 0.05;
    int device = d2xxsim::AddDevice({0x1D500002, "S", "D"});
    auto peer = std::make_shared<d2xxsim::ScriptedPeer>();
    d2xxsim::AttachPeer(device, peer);
    d2xxsim::SetTimeScale(scale);
    auto model = d2xxsim::CurrentLineModel();
    auto scaled = [scale](double seconds) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds * scale));
    };
    auto latencyOut = scaled(model.latencyOut.count() / 1e6);
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(FT_Open(device, &handle), FT_OK);
    FT_SetTimeouts(handle, 1000, 1000);
    std::vector<uint8_t> packet(1029, 0x33);

    // 9600 baud: 1029 bytes do not fit in the write time-out; the write is cut.
    ASSERT_EQ(FT_SetBaudRate(handle, 9600), FT_OK);
    double byteSeconds = 10.0 / 9600;
    auto start = Clock::now();
    DWORD written = 0;
    EXPECT_EQ(FT_Write(handle, packet.data(), 1029, &written), FT_OK);
    auto returned = Clock::now() - start;
    double fit = (1.0 - model.latencyOut.count() / 1e6) / byteSeconds + model.transmitBuffer;
    EXPECT_NEAR(written, fit, 1.5);
    EXPECT_LT(written, 1029u);
    EXPECT_GE(returned, scaled(1.0));
    auto event = peer->NextEvent(2s);
    ASSERT_TRUE(event) << "nothing reached the peer";
    EXPECT_EQ(event->data.size(), written);
    EXPECT_GE(Clock::now() - start, latencyOut + scaled(written * byteSeconds));

    // 115200 baud: everything goes; the call returns while the chip still holds its buffer.
    ASSERT_EQ(FT_SetBaudRate(handle, 115200), FT_OK);
    byteSeconds = 10.0 / 115200;
    start = Clock::now();
    EXPECT_EQ(FT_Write(handle, packet.data(), 1029, &written), FT_OK);
    returned = Clock::now() - start;
    EXPECT_EQ(written, 1029u);
    EXPECT_GE(returned, latencyOut + scaled((1029 - model.transmitBuffer) * byteSeconds));
    event = peer->NextEvent(2s);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->data.size(), 1029u);
    auto delivered = Clock::now() - start;
    EXPECT_GE(delivered, latencyOut + scaled(1029 * byteSeconds));
    EXPECT_LT(delivered, 1s);

    // A reply crosses the wire and waits for the latency timer before a read sees it.
    start = Clock::now();
    peer->Send({0x06});
    uint8_t byte = 0;
    DWORD got = 0;
    FT_Read(handle, &byte, 1, &got);
    EXPECT_EQ(got, 1u);
    EXPECT_GE(Clock::now() - start, scaled(byteSeconds + model.latencyBack.count() / 1e6));
    EXPECT_EQ(FT_SetBaudRate(handle, 0), static_cast<FT_STATUS>(FT_INVALID_BAUD_RATE));
    FT_Close(handle);
}

}  // namespace
