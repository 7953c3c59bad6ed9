// Self-tests of failure injection by call number in the D2XX stand-in: what is counted, in what
// order, and that a failed call returns the library's failure and changes nothing else.
#include "d2xx_faults.h"
#include "d2xx_sim.h"
#include "peers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

namespace {

using namespace std::chrono_literals;

class D2xxFaults : public ::testing::Test {
  protected:
    void SetUp() override
    {
        d2xxsim::Reset();
        d2xxsim::SetTimeScale(0.02);
        device_ = d2xxsim::AddDevice({0x2A4B0002, "SN1", "Box"});
        peer_ = std::make_shared<d2xxsim::ScriptedPeer>();
        d2xxsim::AttachPeer(device_, peer_);
    }
    void TearDown() override { d2xxsim::Reset(); }

    // Gives a byte the peer sent the time to reach the chip's receive buffer (the scaled line
    // and its latency take under a millisecond).
    static void AwaitReceived() { std::this_thread::sleep_for(50ms); }

    int device_ = -1;
    std::shared_ptr<d2xxsim::ScriptedPeer> peer_;
};

TEST_F(D2xxFaults, CountsNothingUntilAskedAndStopsOnReset)
{
    DWORD count = 0;
    EXPECT_EQ(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_TRUE(d2xxsim::CountedCalls().empty());
    d2xxsim::CountCalls(1);
    d2xxsim::Reset();
    EXPECT_EQ(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_TRUE(d2xxsim::CountedCalls().empty());
}

// A sequence of every kind of call; each run fails the n-th and checks that call alone.
TEST_F(D2xxFaults, TheNthCallFailsAsTheLibraryFailsItAndDoesNothingElse)
{
    struct Step {
        const char* function;
        // Makes the call; returns its status and checks, when it failed, that it had no effect.
        std::function<FT_STATUS(bool failed)> call;
    };
    FT_HANDLE handle = nullptr;
    const std::vector<Step> steps = {
        {"FT_ListDevices",
         [&](bool failed) {
             DWORD count = 77;
             FT_STATUS status = FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
             EXPECT_EQ(count, failed ? 77u : 1u);
             return status;
         }},
        {"FT_Open",
         [&](bool failed) {
             FT_STATUS status = FT_Open(device_, &handle);
             EXPECT_EQ(d2xxsim::IsOpen(device_), !failed);
             if (failed) {
                 EXPECT_EQ(handle, nullptr);
                 EXPECT_EQ(FT_Open(device_, &handle), FT_OK) << "opened once the fault passed";
             }
             return status;
         }},
        {"FT_GetDeviceInfo",
         [&](bool failed) {
             DWORD id = 5;
             char serial[16] = "x", description[64] = "y";
             FT_STATUS status =
                 FT_GetDeviceInfo(handle, nullptr, &id, serial, description, nullptr);
             EXPECT_EQ(id, failed ? 5u : 0x2A4B0002u);
             EXPECT_STREQ(serial, failed ? "x" : "SN1");
             return status;
         }},
        {"FT_SetTimeouts",
         [&](bool failed) {
             FT_STATUS status = FT_SetTimeouts(handle, 1000, 1000);
             // Without its time-out a read would wait for ever below.
             if (failed) {
                 EXPECT_EQ(FT_SetTimeouts(handle, 1000, 1000), FT_OK);
             }
             return status;
         }},
        {"FT_Purge",
         [&](bool failed) {
             peer_->Send({0x43});
             AwaitReceived();
             FT_STATUS status = FT_Purge(handle, FT_PURGE_RX);
             BYTE byte = 0;
             DWORD read = 9;
             EXPECT_EQ(FT_Read(handle, &byte, 1, &read), FT_OK);
             EXPECT_EQ(read, failed ? 1u : 0u) << "a failed purge drops nothing";
             auto event = peer_->NextEvent(failed ? 100ms : 2s);
             EXPECT_EQ(event.has_value(), !failed) << "the peer learns only of a purge made";
             return status;
         }},
        {"FT_Write",
         [&](bool failed) {
             BYTE bytes[3] = {1, 2, 3};
             DWORD written = 9;
             FT_STATUS status = FT_Write(handle, bytes, 3, &written);
             EXPECT_EQ(written, failed ? 0u : 3u);
             auto event = peer_->NextEvent(failed ? 100ms : 2s);
             EXPECT_EQ(event.has_value(), !failed) << "a failed write moves no byte";
             return status;
         }},
        {"FT_Read",
         [&](bool failed) {
             peer_->Send({0x06});
             AwaitReceived();
             BYTE byte = 0;
             DWORD read = 9;
             FT_STATUS status = FT_Read(handle, &byte, 1, &read);
             EXPECT_EQ(read, failed ? 0u : 1u);
             if (failed) {
                 EXPECT_EQ(FT_Read(handle, &byte, 1, &read), FT_OK);
                 EXPECT_EQ(read, 1u) << "the byte stays for the next read";
             }
             EXPECT_EQ(byte, 0x06);
             return status;
         }},
        {"FT_Close",
         [&](bool) {
             FT_STATUS status = FT_Close(handle);
             EXPECT_FALSE(d2xxsim::IsOpen(device_)) << "a failed close releases the handle too";
             return status;
         }},
    };

    for (size_t k = 0; k < steps.size(); ++k) {
        SCOPED_TRACE(steps[k].function);
        d2xxsim::Reset();
        d2xxsim::SetTimeScale(0.02);
        device_ = d2xxsim::AddDevice({0x2A4B0002, "SN1", "Box"});
        peer_ = std::make_shared<d2xxsim::ScriptedPeer>();
        d2xxsim::AttachPeer(device_, peer_);
        handle = nullptr;
        for (size_t i = 0; i < steps.size(); ++i) {
            bool failed = i == k;
            // Counting starts afresh before the step, so its call is the first.
            if (failed)
                d2xxsim::CountCalls(1);
            FT_STATUS status = steps[i].call(failed);
            EXPECT_EQ(status, failed ? d2xxsim::InjectedFailureOf(steps[i].function)
                                     : static_cast<FT_STATUS>(FT_OK))
                << steps[i].function;
            if (failed) {
                auto calls = d2xxsim::CountedCalls();
                ASSERT_FALSE(calls.empty());
                EXPECT_EQ(calls[0].function, steps[i].function);
                EXPECT_TRUE(calls[0].failed);
                for (size_t later = 1; later < calls.size(); ++later)
                    EXPECT_FALSE(calls[later].failed) << calls[later].function;
                d2xxsim::StopCountingCalls();
            }
        }
        EXPECT_FALSE(d2xxsim::IsOpen(device_));
    }
    EXPECT_EQ(d2xxsim::InjectedFailureOf("FT_Open"), static_cast<FT_STATUS>(FT_DEVICE_NOT_OPENED));
    EXPECT_EQ(d2xxsim::InjectedFailureOf("FT_Write"), static_cast<FT_STATUS>(FT_IO_ERROR));
}

TEST_F(D2xxFaults, RecordsCallsInOrderWithTheirDeviceAndSkipsInvalidHandles)
{
    d2xxsim::CountCalls(3);
    FT_HANDLE handle = nullptr;
    DWORD count = 0;
    EXPECT_EQ(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(FT_Open(device_, &handle), FT_OK);
    EXPECT_EQ(FT_ClrDtr(reinterpret_cast<FT_HANDLE>(0x1234)),
              static_cast<FT_STATUS>(FT_INVALID_HANDLE));  // not counted
    EXPECT_EQ(FT_ClrRts(handle), static_cast<FT_STATUS>(FT_IO_ERROR));
    EXPECT_EQ(FT_ClrRts(handle), FT_OK);
    EXPECT_EQ(FT_Close(handle), FT_OK);
    auto calls = d2xxsim::CountedCalls();
    ASSERT_EQ(calls.size(), 5u);
    const char* names[] = {"FT_ListDevices", "FT_Open", "FT_ClrRts", "FT_ClrRts", "FT_Close"};
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].function, names[i]);
        EXPECT_EQ(calls[i].failed, i == 2);
        EXPECT_EQ(calls[i].device, i == 0 ? -1 : device_);
    }
    EXPECT_EQ(calls[2].status, static_cast<FT_STATUS>(FT_IO_ERROR));
    // The call record of the stand-in shows the failure as well.
    auto recorded = d2xxsim::CallsOf("FT_ClrRts");
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[0].status, static_cast<FT_STATUS>(FT_IO_ERROR));

    // From the n-th on: the earlier calls work, all later ones fail; the close still releases.
    d2xxsim::CountCalls(2, true);
    EXPECT_EQ(FT_Open(device_, &handle), FT_OK);
    EXPECT_EQ(FT_ClrDtr(handle), static_cast<FT_STATUS>(FT_IO_ERROR));
    EXPECT_EQ(FT_ClrRts(handle), static_cast<FT_STATUS>(FT_IO_ERROR));
    EXPECT_EQ(FT_Close(handle), static_cast<FT_STATUS>(FT_IO_ERROR));
    EXPECT_FALSE(d2xxsim::IsOpen(device_));
    calls = d2xxsim::CountedCalls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_FALSE(calls[0].failed);
    EXPECT_TRUE(calls[1].failed && calls[2].failed && calls[3].failed);
}

}  // namespace
