// Bulk writes and reads through the read-ahead buffer, against the simulated instrument. The bus
// completes transfers on its own thread at DISPATCH_LEVEL, so the buffer's locking is exercised.
#include "transfer_support.h"

#include <cstring>
#include <thread>

namespace kestrune_test {
namespace {

using kstandin::usb::Bytes;

class TransferTest : public StartedDeviceTest {
  protected:
    void SetUp() override {
        StartedDeviceTest::SetUp();
        in_ = OpenPipe(u"\\ep00");
        out_ = OpenPipe(u"\\ep01");
        instrument_->ClearLog();
    }

    Bytes ReadBytes(PFILE_OBJECT file, ULONG length, NTSTATUS expected = STATUS_SUCCESS) {
        Bytes data(length);
        kstandin::IrpResult result = kstandin::Read(file, data.data(), length);
        EXPECT_EQ(result.status, expected);
        data.resize(result.information);
        return data;
    }

    // A read or write whose request carries an MDL of `length` bytes, as direct I/O builds it.
    kstandin::IrpResult SendWithMdl(UCHAR major, PFILE_OBJECT file, void* buffer, ULONG length) {
        return kstandin::SendIrp(
            device_, major, 0,
            [&](PIRP irp, PIO_STACK_LOCATION location) {
                kstandin::AttachMdl(irp, buffer, length);
                location->Parameters.Read.Length = length;
            },
            file);
    }

    PFILE_OBJECT in_ = nullptr;
    PFILE_OBJECT out_ = nullptr;
};

// ---- writes

TEST_F(TransferTest, AWriteIsOneTransferOfItsWholeLength) {
    Bytes small = Pattern(1000);
    kstandin::IrpResult result = kstandin::Write(out_, small.data(), 1000);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 1000u);

    // The longest write is one transfer too, and no zero-length packet follows a full packet.
    Bytes largest = Pattern(65536, 2);
    result = kstandin::Write(out_, largest.data(), 65536);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 65536u);

    kstandin::usb::OutTransfers sent = instrument_->OutData(kOutEndpoint);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], small);
    EXPECT_EQ(sent[1], largest);
    for (const auto& transfer : Transfers()) {
        EXPECT_EQ(transfer.transferFlags, 0u) << "OUT, short transfers not allowed";
        EXPECT_EQ(transfer.urbLength, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
        EXPECT_FALSE(transfer.transferBufferMdl);
    }
    ExpectIdle();
}

TEST_F(TransferTest, LengthsOutsideOneToTheLimitAreSettledWithoutTraffic) {
    Bytes data = Pattern(65537);
    EXPECT_EQ(kstandin::Write(out_, data.data(), 65537).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(kstandin::Read(in_, data.data(), 65537).status, STATUS_INVALID_PARAMETER);
    // A zero length arrives without an MDL under direct I/O.
    EXPECT_EQ(kstandin::Write(out_, data.data(), 0).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(kstandin::Read(in_, data.data(), 0).status, STATUS_UNSUCCESSFUL);
    // An MDL of zero bytes succeeds with nothing moved.
    kstandin::IrpResult empty = SendWithMdl(IRP_MJ_READ, in_, data.data(), 0);
    EXPECT_EQ(empty.status, STATUS_SUCCESS);
    EXPECT_EQ(empty.information, 0u);
    EXPECT_EQ(SendWithMdl(IRP_MJ_WRITE, out_, data.data(), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(BulkTransfers(), 0u);
    ExpectIdle();
}

TEST_F(TransferTest, DeviceHandlesAndNonBulkPipesCarryNoTransfers) {
    PFILE_OBJECT device = OpenPipe(u"");
    UCHAR data[8] = {};
    EXPECT_EQ(kstandin::Write(device, data, sizeof(data)).status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(kstandin::Read(device, data, sizeof(data)).status, STATUS_INVALID_HANDLE);

    kstandin::usb::InstrumentSpec spec = kstandin::usb::BulkInstrument();
    spec.interfaces[0].endpoints.push_back({0x83, USB_ENDPOINT_TYPE_INTERRUPT, 16, 10});
    for (PFILE_OBJECT file : open_) {
        kstandin::CloseFile(file);
    }
    open_.clear();
    RemoveInstrument(*instrument_);
    Plug(spec);
    PFILE_OBJECT interrupt = OpenPipe(u"\\ep02");
    EXPECT_EQ(kstandin::Read(interrupt, data, sizeof(data)).status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(BulkTransfers(), 0u);
}

TEST_F(TransferTest, AWriteLooksAtThePortFirstAndEnablesADisabledOne) {
    UCHAR data[16] = {};
    instrument_->SetPortEnabled(false);
    ASSERT_EQ(kstandin::Write(out_, data, sizeof(data)).status, STATUS_SUCCESS);
    std::vector<kstandin::usb::RequestRecord> log = instrument_->Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].ioControlCode, static_cast<ULONG>(IOCTL_INTERNAL_USB_GET_PORT_STATUS));
    EXPECT_EQ(log[1].ioControlCode, static_cast<ULONG>(IOCTL_INTERNAL_USB_ENABLE_PORT));
    EXPECT_EQ(log[2].urbFunction, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);

    // From system version 6.0 on the hub refuses the enable request: the port stays disabled
    // and the next write asks again, and the write itself goes on all the same.
    instrument_->ClearLog();
    ASSERT_EQ(kstandin::Write(out_, data, sizeof(data)).status, STATUS_SUCCESS);
    EXPECT_EQ(instrument_->CountIoctls(IOCTL_INTERNAL_USB_ENABLE_PORT), 1u);
    instrument_->SetPortEnabled(true);

    // An enabled port is only asked; a read is not preceded by any port request.
    instrument_->ClearLog();
    ASSERT_EQ(kstandin::Write(out_, data, sizeof(data)).status, STATUS_SUCCESS);
    EXPECT_EQ(instrument_->CountIoctls(IOCTL_INTERNAL_USB_GET_PORT_STATUS), 1u);
    EXPECT_EQ(instrument_->CountIoctls(IOCTL_INTERNAL_USB_ENABLE_PORT), 0u);
    instrument_->QueueIn(kInEndpoint, Pattern(16));
    ReadBytes(in_, 16);
    EXPECT_EQ(instrument_->CountIoctls(IOCTL_INTERNAL_USB_GET_PORT_STATUS), 1u);

    // A stopped device: the write still asks the port, the read sends nothing at all.
    ASSERT_EQ(kstandin::pnp::QueryStop(instrument_->Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(kstandin::pnp::Stop(instrument_->Pdo()), STATUS_SUCCESS);
    instrument_->ClearLog();
    EXPECT_EQ(kstandin::Write(out_, data, sizeof(data)).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(instrument_->CountIoctls(IOCTL_INTERNAL_USB_GET_PORT_STATUS), 1u);
    EXPECT_EQ(kstandin::Read(in_, data, sizeof(data)).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(instrument_->Log().size(), 1u);
}

TEST_F(TransferTest, AFailedTransferReportsTheStackStatusAndAnAtOnceFailureResetsThePipe) {
    UCHAR data[64] = {};
    instrument_->InjectTransferError(kOutEndpoint, STATUS_UNSUCCESSFUL);
    kstandin::IrpResult failed = kstandin::Write(out_, data, sizeof(data));
    EXPECT_EQ(failed.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(failed.information, 0u);
    // Failures that arrive through the completion routine bring no recovery.
    EXPECT_EQ(instrument_->PipeResets(kOutEndpoint), 0u);
    EXPECT_TRUE(instrument_->Halted(kOutEndpoint));

    // A stack that fails the submission at once: the pipe is reset before the dispatch returns,
    // and the next write goes through.
    instrument_->SetCompleteAtOnce(true);
    EXPECT_EQ(kstandin::Write(out_, data, sizeof(data)).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(instrument_->PipeResets(kOutEndpoint), 1u);
    EXPECT_FALSE(instrument_->Halted(kOutEndpoint));
    EXPECT_EQ(instrument_->PortResets(), 0u) << "the pipe reset worked";
    EXPECT_EQ(kstandin::Write(out_, data, sizeof(data)).status, STATUS_SUCCESS);
    ExpectIdle();
}

// ---- reads

TEST_F(TransferTest, AReadReturnsExactlyItsLengthAndKeepsTheRest) {
    // A read of 100 whose transfer brings 300: the transfer asked for the whole chunk, and the
    // next two reads of 100 are served from the buffer.
    record_->readChunkSize = 65536;
    Bytes sent = Pattern(300);
    instrument_->QueueIn(kInEndpoint, sent);
    EXPECT_EQ(ReadBytes(in_, 100), Bytes(sent.begin(), sent.begin() + 100));
    EXPECT_EQ(Buffered(), 200);
    size_t transfers = BulkTransfers();
    ASSERT_EQ(transfers, 1u);
    EXPECT_EQ(Transfers()[0].transferBufferLength, 65536u);
    ASSERT_EQ(Transfers()[0].transferFlags,
              static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));

    // Buffered bytes serve the next reads without traffic, also through another handle opened
    // after the first one was closed.
    EXPECT_EQ(ReadBytes(in_, 100), Bytes(sent.begin() + 100, sent.begin() + 200));
    Close(in_);
    PFILE_OBJECT again = OpenPipe(u"\\0");
    EXPECT_EQ(ReadBytes(again, 100), Bytes(sent.begin() + 200, sent.end()));
    EXPECT_EQ(BulkTransfers(), transfers);
    EXPECT_EQ(Buffered(), 0);
    ExpectIdle();
}

TEST_F(TransferTest, AReadWaitsForItsFullLengthUnlessPartialReadsAreOn) {
    Bytes sent = Pattern(100);
    instrument_->QueueIn(kInEndpoint, Bytes(sent.begin(), sent.begin() + 40));
    Bytes data(100);
    auto read = kstandin::StartRead(in_, data.data(), 100);
    EXPECT_FALSE(read->Wait(100ms)) << "40 of 100 bytes do not complete the read";
    EXPECT_EQ(Buffered(), 40);
    instrument_->QueueIn(kInEndpoint, Bytes(sent.begin() + 40, sent.end()));
    ASSERT_TRUE(read->Wait(5s));
    EXPECT_EQ(read->Result().information, 100u);
    EXPECT_EQ(data, sent);

    Options() = kOptionPartialReads;
    instrument_->QueueIn(kInEndpoint, Pattern(10, 3));
    EXPECT_EQ(ReadBytes(in_, 100), Pattern(10, 3)) << "whatever arrived, at once";
    Bytes thirty = Pattern(30, 4);
    instrument_->QueueIn(kInEndpoint, thirty);
    EXPECT_EQ(ReadBytes(in_, 20), Bytes(thirty.begin(), thirty.begin() + 20));
    EXPECT_EQ(ReadBytes(in_, 100), Bytes(thirty.begin() + 20, thirty.end()))
        << "a buffered remainder is returned without a transfer";
    ExpectIdle();
}

TEST_F(TransferTest, EveryInTransferAsksForTheWholeChunkInWholePackets) {
    // Whatever the read's length, the transfer asks for readChunkSize rounded down to whole
    // 512-byte packets (at least one), so that a full packet never overruns it. Values a control
    // code refuses (0, above 65536) are kept to the default and the largest transfer.
    struct Case {
        ULONG chunk;
        ULONG readLength;
        ULONG asked;
    };
    const Case cases[] = {{65536, 1, 65536}, {65536, 65536, 65536}, {2048, 100, 2048},
                          {1000, 10, 512},   {100, 10, 512},        {1536, 70000 / 2, 1536},
                          {200000, 10, 65536}, {0, 10, 2048}};
    Options() = kOptionPartialReads;
    for (const Case& each : cases) {
        SCOPED_TRACE(testing::Message() << "chunk " << each.chunk << ", read " << each.readLength);
        record_->readChunkSize = each.chunk;
        instrument_->ClearLog();
        instrument_->QueueIn(kInEndpoint, Pattern(10));
        Bytes data = ReadBytes(in_, each.readLength);
        if (Buffered() > 0) {
            Bytes rest = ReadBytes(in_, 10);  // what a short read left, with no transfer
            data.insert(data.end(), rest.begin(), rest.end());
        }
        EXPECT_EQ(data, Pattern(10));
        ASSERT_EQ(Transfers().size(), 1u);
        EXPECT_EQ(Transfers()[0].transferBufferLength, each.asked);
    }
    ExpectIdle();
}

TEST_F(TransferTest, ZeroLengthPacketsDoNotEndAReadEarly) {
    instrument_->QueueZeroLengthPacket(kInEndpoint);
    Bytes data(600);
    auto read = kstandin::StartRead(in_, data.data(), 600);
    EXPECT_FALSE(read->Wait(100ms));
    instrument_->QueueIn(kInEndpoint, Pattern(500), true); // a short packet, then an empty one
    EXPECT_FALSE(read->Wait(100ms));
    instrument_->QueueIn(kInEndpoint, Pattern(100, 5));
    ASSERT_TRUE(read->Wait(5s));
    Bytes expected = Pattern(500);
    Bytes tail = Pattern(100, 5);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(data, expected);
    EXPECT_GE(BulkTransfers(), 4u) << "each empty or short transfer sent the read down again";

    // With partial reads and an empty buffer, an empty packet does not complete the read either.
    Options() = kOptionPartialReads;
    auto partial = kstandin::StartRead(in_, data.data(), 600);
    instrument_->QueueZeroLengthPacket(kInEndpoint);
    EXPECT_FALSE(partial->Wait(100ms));
    instrument_->QueueIn(kInEndpoint, Pattern(7));
    ASSERT_TRUE(partial->Wait(5s));
    EXPECT_EQ(partial->Result().information, 7u);
    ExpectIdle();
}

TEST_F(TransferTest, AChunkSmallerThanTheReadTakesManyTransfersAndLosesNothing) {
    ASSERT_EQ(record_->readChunkSize, 2048u) << "the instrument stalls the probe";
    Bytes sent = Pattern(65536 + 1000);
    instrument_->QueueIn(kInEndpoint, sent);
    Bytes first = ReadBytes(in_, 65536);
    EXPECT_EQ(first, Bytes(sent.begin(), sent.begin() + 65536));
    EXPECT_GE(BulkTransfers(), 32u);
    for (const auto& transfer : Transfers()) {
        EXPECT_LE(transfer.transferBufferLength, 2048u);
    }
    EXPECT_EQ(ReadBytes(in_, 1000), Bytes(sent.begin() + 65536, sent.end()));
    ExpectIdle();
}

TEST_F(TransferTest, ACancelledReadHandsOverWhatWasBuffered) {
    Bytes data(100, 0xEE);
    auto read = kstandin::StartRead(in_, data.data(), 100);
    instrument_->QueueIn(kInEndpoint, Pattern(40));
    // Wait until the 40 bytes are in the buffer and the read went down again.
    for (int i = 0; i < 2500 && (Buffered() != 40 || BulkTransfers() < 2); ++i) {
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_EQ(Buffered(), 40);
    ASSERT_EQ(BulkTransfers(), 2u) << "the read did not go down again";
    // The second transfer may still be on its way to the bus: the cancel then finds no cancel
    // routine, and the bus ends the transfer as cancelled when it arrives.
    read->Cancel();
    ASSERT_TRUE(read->Wait(5s));
    EXPECT_EQ(read->Result().status, STATUS_CANCELLED);
    ASSERT_EQ(read->Result().information, 40u);
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 40), Pattern(40));
    EXPECT_EQ(data[40], 0xEE) << "nothing beyond the handed-over bytes is written";
    EXPECT_EQ(Buffered(), 0);
    ExpectIdle();
}

TEST_F(TransferTest, AFailedInTransferKeepsTheBufferForTheNextRead) {
    Options() = kOptionPartialReads;
    Bytes sent = Pattern(300);
    instrument_->QueueIn(kInEndpoint, sent);
    ASSERT_EQ(ReadBytes(in_, 100).size(), 100u);
    ASSERT_EQ(Buffered(), 200);

    Options() = 0;
    instrument_->InjectTransferError(kInEndpoint, STATUS_UNSUCCESSFUL);
    ReadBytes(in_, 500, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Buffered(), 200);
    EXPECT_EQ(ReadBytes(in_, 200), Bytes(sent.begin() + 100, sent.end()));
    ExpectIdle();
}

TEST_F(TransferTest, UnplugEndsReadsAndWritesAndTheRemovalFollows) {
    Bytes data(64);
    auto read = kstandin::StartRead(in_, data.data(), 64);
    EXPECT_FALSE(read->Wait(50ms));
    instrument_->Unplug();
    ASSERT_TRUE(read->Wait(5s));
    EXPECT_EQ(read->Result().status, STATUS_DEVICE_NOT_CONNECTED);
    instrument_->SetCompleteAtOnce(true);
    EXPECT_EQ(kstandin::Write(out_, data.data(), 64).status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(instrument_->PipeResets(kOutEndpoint), 0u) << "a device that is gone is not reset";
    ExpectIdle();
    EXPECT_EQ(kstandin::pnp::SurpriseRemove(instrument_->Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(kstandin::Read(in_, data.data(), 64).status, STATUS_INVALID_DEVICE_STATE);
    RemoveInstrument(*instrument_);
}

TEST_F(TransferTest, TheRemovalWaitsForAReadInFlightAndHandsItsBytesOver) {
    // A second handle on the pipe was closed: the reading one still gets its pipe aborted.
    PFILE_OBJECT second = OpenPipe(u"\\ep00");
    Bytes data(100);
    auto read = kstandin::StartRead(second, data.data(), 100);
    instrument_->QueueIn(kInEndpoint, Pattern(10));
    for (int i = 0; i < 500 && Buffered() != 10; ++i) {
        std::this_thread::sleep_for(2ms);
    }
    Close(in_);
    EXPECT_EQ(IoCount(), 2);
    std::thread removal([&] { RemoveInstrument(*instrument_); });
    removal.join();
    EXPECT_TRUE(read->Wait(0ms)) << "the read ended before the removal returned";
    EXPECT_EQ(read->Result().status, STATUS_CANCELLED);
    EXPECT_EQ(read->Result().information, 10u);
    EXPECT_EQ(instrument_->PipeAborts(kInEndpoint), 1u);
}

TEST_F(TransferTest, ReadsInFlightTogetherShareTheBufferInArrivalOrder) {
    // Three overlapped reads of one device; the device streams more than all of them ask for.
    Bytes a(3000), b(5000), c(70);
    auto first = kstandin::StartRead(in_, a.data(), 3000);
    PFILE_OBJECT other = OpenPipe(u"\\ep00");
    auto second = kstandin::StartRead(other, b.data(), 5000);
    auto third = kstandin::StartRead(in_, c.data(), 70);
    Bytes sent = Pattern(20000);
    instrument_->QueueIn(kInEndpoint, sent);
    ASSERT_TRUE(first->Wait(5s));
    ASSERT_TRUE(second->Wait(5s));
    ASSERT_TRUE(third->Wait(5s));
    EXPECT_EQ(first->Result().information, 3000u);
    EXPECT_EQ(second->Result().information, 5000u);
    EXPECT_EQ(third->Result().information, 70u);
    // Every byte the device sent is in one read or still buffered, none twice, in order.
    kstandin::WaitForDispatchQueue();
    LONG left = Buffered();
    Bytes rest = ReadBytes(in_, static_cast<ULONG>(left));
    size_t total =
        a.size() + b.size() + c.size() + rest.size() + instrument_->PendingInBytes(kInEndpoint);
    EXPECT_EQ(total, sent.size());
    auto contains = [&](const Bytes& piece) {
        return std::search(sent.begin(), sent.end(), piece.begin(), piece.end()) != sent.end();
    };
    EXPECT_TRUE(contains(a));
    EXPECT_TRUE(contains(b));
    EXPECT_TRUE(contains(c));
    // They took their turns in the order they arrived.
    EXPECT_EQ(a, Bytes(sent.begin(), sent.begin() + 3000));
    EXPECT_EQ(b, Bytes(sent.begin() + 3000, sent.begin() + 8000));
    EXPECT_EQ(c, Bytes(sent.begin() + 8000, sent.begin() + 8070));
    EXPECT_LE(left, static_cast<LONG>(kReadBufferSize));
    ExpectIdle();
}

TEST_F(TransferTest, TwoReadsInFlightTakeTurnsWithoutLosingAByte) {
    record_->readChunkSize = 65536;
    Bytes sent = Pattern(131072);
    Bytes a(65536), b(65536);
    auto first = kstandin::StartRead(in_, a.data(), 65536);
    auto second = kstandin::StartRead(in_, b.data(), 65536);
    // The first transfer ends one byte short and goes down again for the rest.
    instrument_->QueueIn(kInEndpoint, Bytes(sent.begin(), sent.begin() + 65535));
    EXPECT_FALSE(first->Wait(100ms));
    EXPECT_EQ(BulkTransfers(), 2u) << "the second read waits for its turn and sends nothing";
    // A full chunk on top: 131071 bytes buffered, the first read takes the oldest 65536, and the
    // second one finds 65535 and goes down for its last byte.
    instrument_->QueueIn(kInEndpoint, Bytes(sent.begin() + 65535, sent.end() - 1));
    ASSERT_TRUE(first->Wait(5s));
    EXPECT_EQ(a, Bytes(sent.begin(), sent.begin() + 65536)) << "the oldest bytes go first";
    EXPECT_FALSE(second->Wait(50ms));
    instrument_->QueueIn(kInEndpoint, Bytes(sent.end() - 1, sent.end()));
    ASSERT_TRUE(second->Wait(5s));
    EXPECT_EQ(b, Bytes(sent.begin() + 65536, sent.end()));
    EXPECT_EQ(Buffered(), 0);
    for (const auto& transfer : Transfers()) {
        EXPECT_EQ(transfer.transferBufferLength, 65536u);
    }
    ExpectIdle();
}

TEST_F(TransferTest, ChunkSizesAControlCodeMayStoreNeverOverrunTheBuffer) {
    // A chunk above the longest transfer, and a chunk of 0, as a control code could store them.
    record_->readChunkSize = 200000;
    Options() = kOptionPartialReads;
    instrument_->QueueIn(kInEndpoint, Pattern(65536));
    EXPECT_EQ(ReadBytes(in_, 65536).size(), 65536u);
    record_->readChunkSize = 0;
    instrument_->QueueIn(kInEndpoint, Pattern(100));
    EXPECT_EQ(ReadBytes(in_, 100).size(), 100u);
    for (const auto& transfer : Transfers()) {
        EXPECT_GT(transfer.transferBufferLength, 0u);
        EXPECT_LE(transfer.transferBufferLength, kMaxTransferLength);
    }
    ExpectIdle();
}

TEST_F(TransferTest, BuffersAreMappedWithoutExecuteAndFailuresReleaseEverything) {
    instrument_->QueueIn(kInEndpoint, Pattern(20));
    ReadBytes(in_, 20);
    EXPECT_EQ(kstandin::LastMappingPriority(),
              static_cast<ULONG>(NormalPagePriority) | 0x40000000u);

    UCHAR data[32] = {};
    kstandin::FailNextMdlMapping();
    EXPECT_EQ(kstandin::Read(in_, data, sizeof(data)).status, STATUS_INSUFFICIENT_RESOURCES);
    size_t before = BulkTransfers();
    kstandin::FailAllocationAt(1);
    EXPECT_EQ(kstandin::Read(in_, data, sizeof(data)).status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(BulkTransfers(), before) << "no context, no transfer";
    ExpectIdle();
}

} // namespace
} // namespace kestrune_test
