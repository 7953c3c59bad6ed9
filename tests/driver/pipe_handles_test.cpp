// Opening device and pipe handles by file name, the open marks of pipes, cleanup and close.
#include "transfer_support.h"

#include <thread>

namespace kestrune_test {
namespace {

using kstandin::usb::EndpointSpec;
using kstandin::usb::InstrumentSpec;

class PipeHandleTest : public StartedDeviceTest {
  protected:
    // The pipe entry a name binds to, or null for a device handle; `status` gets the open's result.
    const void* BoundPipe(const std::u16string& name, NTSTATUS* status) {
        kstandin::OpenResult result = Open(name);
        *status = result.status;
        return result.file != nullptr ? result.file->FsContext : nullptr;
    }
    const void* Pipe(ULONG index) { return &record_->interfaceInfo->Pipes[index]; }
};

TEST_F(PipeHandleTest, TheLastDigitRunOfTheNameSelectsThePipe) {
    NTSTATUS status = STATUS_PENDING;
    for (const char16_t* name : {u"\\0", u"\\00", u"\\ep0", u"\\ep000"}) {
        EXPECT_EQ(BoundPipe(name, &status), Pipe(0)) << Narrow(name);
        EXPECT_EQ(status, STATUS_SUCCESS) << Narrow(name);
    }
    EXPECT_EQ(BoundPipe(u"\\ep01x", &status), Pipe(1)) << "trailing non-digits are skipped";
    EXPECT_EQ(BoundPipe(u"\\7\\1", &status), Pipe(1)) << "the last run counts, not the first";
    EXPECT_EQ(BoundPipe(u"", &status), nullptr) << "an empty name opens the device itself";
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(record_->openHandles, 7);
}

TEST_F(PipeHandleTest, BadNamesAndMissingPipesAreRefusedWithoutCounting) {
    NTSTATUS status = STATUS_PENDING;
    for (const char16_t* name : {u"\\ep06", u"\\ep10", u"\\12", u"\\ep", u"\\",
                                 // 4294967296 would wrap to 0 in 32 bits.
                                 u"\\ep4294967296", u"\\99999999999999999999"}) {
        BoundPipe(name, &status);
        EXPECT_EQ(status, STATUS_INVALID_PARAMETER) << Narrow(name);
    }
    // Index 2 is well formed, but the interface has two pipes.
    BoundPipe(u"\\ep02abc", &status);
    EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(record_->openHandles, 0);
    EXPECT_EQ(record_->pipeOpen[0], 0);
    EXPECT_EQ(record_->pipeOpen[1], 0);
}

TEST_F(PipeHandleTest, SixPipesAreAddressableAndNoMore) {
    InstrumentSpec spec = kstandin::usb::BulkInstrument();
    spec.interfaces[0].endpoints = {{0x81}, {0x02}, {0x83}, {0x04}, {0x85}, {0x06}, {0x87}};
    RemoveInstrument(*instrument_);
    Plug(spec);
    ASSERT_EQ(record_->interfaceInfo->NumberOfPipes, 7u);
    NTSTATUS status = STATUS_PENDING;
    EXPECT_EQ(BoundPipe(u"\\ep05", &status), Pipe(5));
    BoundPipe(u"\\ep06", &status);
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
}

TEST_F(PipeHandleTest, OpenOutsideWorkingIsRefusedWhateverTheName) {
    ASSERT_EQ(kstandin::pnp::QueryStop(instrument_->Pdo()), STATUS_SUCCESS);
    NTSTATUS status = STATUS_PENDING;
    BoundPipe(u"\\ep00", &status);
    EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE) << "PendingStop";
    ASSERT_EQ(kstandin::pnp::Stop(instrument_->Pdo()), STATUS_SUCCESS);
    for (const char16_t* name : {u"", u"\\ep00", u"\\ep"}) {
        BoundPipe(name, &status);
        EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE) << Narrow(name);
    }
    EXPECT_EQ(record_->openHandles, 0);
}

TEST_F(PipeHandleTest, PipeMarksFollowTheOpenHandlesOfThePipe) {
    PFILE_OBJECT first = OpenPipe(u"\\ep00");
    PFILE_OBJECT second = OpenPipe(u"\\ep00");
    PFILE_OBJECT device = OpenPipe(u"");
    EXPECT_EQ(record_->openHandles, 3);
    EXPECT_NE(record_->pipeOpen[0], 0);
    EXPECT_EQ(record_->pipeOpen[1], 0);

    // Closing one of two handles keeps the pipe marked: the other one still reads.
    Close(first);
    EXPECT_NE(record_->pipeOpen[0], 0);
    instrument_->QueueIn(kInEndpoint, Pattern(8));
    UCHAR data[8] = {};
    kstandin::IrpResult read = kstandin::Read(second, data, sizeof(data));
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.information, 8u);

    Close(second);
    EXPECT_EQ(record_->pipeOpen[0], 0);
    Close(device);
    EXPECT_EQ(record_->openHandles, 0);
    ExpectIdle();
}

// Applications open and close handles of one pipe on several threads at once. The pipe's mark
// counts every handle: none is lost to another thread's change, and the last close clears it, so
// the removal paths still abort a pipe that has a handle open.
TEST_F(PipeHandleTest, HandlesOpenedAndClosedOnSeveralThreadsAreAllCounted) {
    constexpr size_t kThreads = 4;
    constexpr size_t kHandlesPerThread = 50;  // 200 in all, below the mark's top of 255
    const std::u16string path = kstandin::ToU16(record_->interfaceName) + u"\\ep00";
    for (int round = 0; round < 10; ++round) {
        std::vector<std::vector<PFILE_OBJECT>> handles(kThreads);
        std::vector<std::thread> threads;
        for (size_t t = 0; t < kThreads; ++t) {
            threads.emplace_back([&handles, &path, t] {
                for (size_t i = 0; i < kHandlesPerThread; ++i) {
                    kstandin::OpenResult result = kstandin::OpenFile(path);
                    if (result.status == STATUS_SUCCESS) {
                        handles[t].push_back(result.file);
                    }
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        threads.clear();
        size_t opened = 0;
        for (const std::vector<PFILE_OBJECT>& each : handles) {
            opened += each.size();
        }
        ASSERT_EQ(opened, kThreads * kHandlesPerThread) << "round " << round;
        EXPECT_EQ(record_->pipeOpen[0], opened) << "round " << round;
        EXPECT_EQ(record_->openHandles, static_cast<LONG>(opened)) << "round " << round;

        for (size_t t = 0; t < kThreads; ++t) {
            threads.emplace_back([&handles, t] {
                for (PFILE_OBJECT file : handles[t]) {
                    kstandin::CloseFile(file);
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(record_->pipeOpen[0], 0) << "round " << round;
        EXPECT_EQ(record_->openHandles, 0) << "round " << round;
    }
    ExpectIdle();
}

TEST_F(PipeHandleTest, CloseSucceedsAfterStopAndRemovalAndCountsDown) {
    PFILE_OBJECT pipe = OpenPipe(u"\\ep01");
    PFILE_OBJECT device = OpenPipe(u"");
    ASSERT_EQ(kstandin::pnp::QueryStop(instrument_->Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(kstandin::pnp::Stop(instrument_->Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(record_->pipeOpen, nullptr);
    Close(pipe);
    EXPECT_EQ(record_->openHandles, 1);
    // The interface stayed enabled through the stop, so enabling it again reports that.
    ASSERT_TRUE(NT_SUCCESS(kstandin::pnp::Start(instrument_->Pdo())));
    EXPECT_EQ(record_->pipeOpen[1], 0) << "the table of the new start starts unmarked";

    // The removal deletes the device; its handles are still closed cleanly.
    RemoveInstrument(*instrument_);
    Close(device);
}

TEST_F(PipeHandleTest, AHandleOpenedBeforeARestartIsNoLongerAPipeHandle) {
    PFILE_OBJECT old = OpenPipe(u"\\ep01");
    ASSERT_EQ(kstandin::pnp::QueryStop(instrument_->Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(kstandin::pnp::Stop(instrument_->Pdo()), STATUS_SUCCESS);
    ASSERT_TRUE(NT_SUCCESS(kstandin::pnp::Start(instrument_->Pdo())));
    // Its pipe entry was released with the old table; it is refused, not followed.
    UCHAR data[4] = {1, 2, 3, 4};
    EXPECT_EQ(kstandin::Write(old, data, sizeof(data)).status, STATUS_INVALID_HANDLE);
    PFILE_OBJECT fresh = OpenPipe(u"\\ep01");
    EXPECT_EQ(kstandin::Write(fresh, data, sizeof(data)).status, STATUS_SUCCESS);
    Close(old);
    EXPECT_NE(record_->pipeOpen[1], 0) << "closing the old handle leaves the new mark alone";
}

TEST_F(PipeHandleTest, CleanupLeavesBufferedBytesAndReadsInFlightAlone) {
    Options() = kOptionPartialReads;
    PFILE_OBJECT reader = OpenPipe(u"\\ep00");
    instrument_->QueueIn(kInEndpoint, Pattern(30));
    UCHAR data[10] = {};
    ASSERT_EQ(kstandin::Read(reader, data, sizeof(data)).information, 10u);
    EXPECT_EQ(Buffered(), 20);
    Close(reader);
    EXPECT_EQ(Buffered(), 20) << "cleanup and close keep the buffer";

    // A read that waits on a second handle of the pipe outlives the cleanup of a third.
    PFILE_OBJECT waiting = OpenPipe(u"\\ep00");
    UCHAR big[40] = {};
    Options() = 0;
    auto read = kstandin::StartRead(waiting, big, sizeof(big));
    PFILE_OBJECT other = OpenPipe(u"\\ep00");
    kstandin::IrpResult cleanup = kstandin::SendIrp(device_, IRP_MJ_CLEANUP, 0, {}, other);
    EXPECT_EQ(cleanup.status, STATUS_SUCCESS);
    EXPECT_FALSE(read->Wait(50ms));
    EXPECT_EQ(IoCount(), 2) << "only the read holds a reference";
    instrument_->QueueIn(kInEndpoint, Pattern(20, 2));
    ASSERT_TRUE(read->Wait(5s));
    EXPECT_EQ(read->Result().information, 40u);
    ExpectIdle();
}

} // namespace
} // namespace kestrune_test
