// The reads of a device take turns: the read that has the turn takes from the read-ahead buffer
// or sends whole-chunk IN transfers into its free end; later reads wait in a cancel-safe queue
// in arrival order. The bus completes transfers on its own thread at DISPATCH_LEVEL.
#include "transfer_support.h"

#include "kestrune_ioctl.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <random>
#include <thread>

namespace kestrune_test {
namespace {

using kstandin::usb::Bytes;
using Clock = std::chrono::steady_clock;

class ReadQueueTest : public StartedDeviceTest {
  protected:
    void SetUp() override {
        StartedDeviceTest::SetUp();
        in_ = OpenPipe(u"\\ep00");
        instrument_->ClearLog();
    }

    // Polls `condition` for up to 5 s; fails naming `what` when it does not come true.
    bool WaitFor(const std::function<bool()>& condition, const char* what) {
        Clock::time_point end = Clock::now() + 5s;
        while (!condition()) {
            if (Clock::now() > end) {
                ADD_FAILURE() << "timed out waiting for " << what;
                return false;
            }
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }
    bool WaitForTransfers(size_t count) {
        return WaitFor([&] { return BulkTransfers() >= count; }, "the next IN transfer");
    }

    // Puts `bytes` into an empty buffer, from its first byte on, as earlier reads would have
    // left them.
    void SetBuffered(const Bytes& bytes) {
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record_->readBufferLock);
        memcpy(record_->readBuffer, bytes.data(), bytes.size());
        record_->readBufferStart = 0;
        record_->readBufferCount = static_cast<LONG>(bytes.size());
        KeReleaseSpinLock(&record_->readBufferLock, oldIrql);
    }

    // Offset in readBuffer that a logged IN transfer wrote to.
    ptrdiff_t OffsetOf(const kstandin::usb::RequestRecord& transfer) {
        return static_cast<const UCHAR*>(transfer.transferBuffer) - record_->readBuffer;
    }

    // Runs `removal` on another thread; a removal that does not return within 5 s ends the
    // program with a message, as nothing could tidy up after it.
    void FinishesInTime(const std::function<void()>& removal, const char* what) {
        auto done = std::async(std::launch::async, removal);
        if (done.wait_for(5s) != std::future_status::ready) {
            std::fprintf(stderr, "%s did not finish within 5 s\n", what);
            std::abort();
        }
        done.get();
    }

    PFILE_OBJECT in_ = nullptr;
};

TEST_F(ReadQueueTest, AReadStepByStepAsksForWholeChunksAtTheFreeEnd) {
    // 10 bytes buffered, a read of 100; 64 bytes arrive, then 512 (a full packet and a
    // zero-length one).
    record_->readChunkSize = 65536;
    Bytes ten = Pattern(10, 1), small = Pattern(64, 2), full = Pattern(512, 3);
    SetBuffered(ten);
    Bytes data(100);
    auto read = kstandin::StartRead(in_, data.data(), 100);
    ASSERT_TRUE(WaitForTransfers(1));
    instrument_->QueueIn(kInEndpoint, small);
    ASSERT_TRUE(WaitForTransfers(2));
    EXPECT_EQ(Buffered(), 74);
    EXPECT_FALSE(read->Wait(0ms));
    instrument_->QueueIn(kInEndpoint, full, true);
    ASSERT_TRUE(read->Wait(5s)) << "the read of 100";
    EXPECT_EQ(read->Result().status, STATUS_SUCCESS);
    ASSERT_EQ(read->Result().information, 100u);

    Bytes stream = ten;
    stream.insert(stream.end(), small.begin(), small.end());
    stream.insert(stream.end(), full.begin(), full.end());
    EXPECT_EQ(data, Bytes(stream.begin(), stream.begin() + 100));
    EXPECT_EQ(Buffered(), 486);

    std::vector<kstandin::usb::RequestRecord> transfers = Transfers();
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[0].transferBufferLength, 65536u);
    EXPECT_EQ(OffsetOf(transfers[0]), 10);
    EXPECT_EQ(transfers[1].transferBufferLength, 65536u);
    EXPECT_EQ(OffsetOf(transfers[1]), 74);

    // The next read of up to 486 bytes is served at once, with no transfer.
    Bytes rest(486);
    kstandin::IrpResult result = kstandin::Read(in_, rest.data(), 486);
    EXPECT_EQ(result.information, 486u);
    EXPECT_EQ(rest, Bytes(stream.begin() + 100, stream.end()));
    EXPECT_EQ(BulkTransfers(), 2u);
    ExpectIdle();
}

TEST_F(ReadQueueTest, AReadCancelledWhileItWaitsForItsTurnTakesNothing) {
    PFILE_OBJECT other = OpenPipe(u"\\ep00");
    Bytes a(100), b(50, 0xEE);
    auto first = kstandin::StartRead(in_, a.data(), 100);
    ASSERT_TRUE(WaitForTransfers(1));
    auto waiting = kstandin::StartRead(other, b.data(), 50);
    EXPECT_FALSE(waiting->Wait(20ms));
    ASSERT_TRUE(waiting->Cancel());
    ASSERT_TRUE(waiting->Wait(5s)) << "the cancelled waiting read";
    EXPECT_EQ(waiting->Result().status, STATUS_CANCELLED);
    EXPECT_EQ(waiting->Result().information, 0u);
    EXPECT_EQ(b, Bytes(50, 0xEE));
    EXPECT_EQ(BulkTransfers(), 1u) << "a waiting read sends nothing";

    Bytes sent = Pattern(150);
    instrument_->QueueIn(kInEndpoint, sent);
    ASSERT_TRUE(first->Wait(5s)) << "the read with the turn";
    EXPECT_EQ(a, Bytes(sent.begin(), sent.begin() + 100));
    Bytes c(50);
    EXPECT_EQ(kstandin::Read(other, c.data(), 50).information, 50u);
    EXPECT_EQ(c, Bytes(sent.begin() + 100, sent.end())) << "the cancelled read took nothing";
    ExpectIdle();
}

TEST_F(ReadQueueTest, ACancelledReadGetsTheBytesItsTransferHadMovedAndLeavesTheRest) {
    // Two full packets arrive for a 2048-byte transfer that waits for more; the read is
    // cancelled. The stack reports the 1024 bytes it moved: the read of 600 takes its length,
    // the other 424 stay for the next read.
    ASSERT_EQ(record_->readChunkSize, 2048u);
    Bytes sent = Pattern(1024);
    Bytes data(600);
    auto read = kstandin::StartRead(in_, data.data(), 600);
    ASSERT_TRUE(WaitForTransfers(1));
    instrument_->QueueIn(kInEndpoint, sent);
    EXPECT_FALSE(read->Wait(20ms));
    ASSERT_TRUE(read->Cancel());
    ASSERT_TRUE(read->Wait(5s)) << "the cancelled read";
    EXPECT_EQ(read->Result().status, STATUS_CANCELLED);
    ASSERT_EQ(read->Result().information, 600u);
    EXPECT_EQ(data, Bytes(sent.begin(), sent.begin() + 600));
    EXPECT_EQ(Buffered(), 424);
    Bytes rest(424);
    EXPECT_EQ(kstandin::Read(in_, rest.data(), 424).information, 424u);
    EXPECT_EQ(rest, Bytes(sent.begin() + 600, sent.end()));
    EXPECT_EQ(BulkTransfers(), 1u);
    ExpectIdle();
}

TEST_F(ReadQueueTest, AClearWhileATransferIsInFlightDiscardsThatTransfersBytes) {
    Bytes data(100);
    auto read = kstandin::StartRead(in_, data.data(), 100);
    ASSERT_TRUE(WaitForTransfers(1));
    kstandin::IrpResult cleared =
        kstandin::DeviceControl(in_, IOCTL_KESTRUNE_CLEAR_READ_BUFFER, nullptr, 0, nullptr, 0);
    ASSERT_EQ(cleared.status, STATUS_SUCCESS);
    // Asked for before the clear: dropped, and the read goes down again.
    instrument_->QueueIn(kInEndpoint, Pattern(50, 1));
    ASSERT_TRUE(WaitForTransfers(2));
    EXPECT_EQ(Buffered(), 0);
    EXPECT_FALSE(read->Wait(0ms));
    Bytes fresh = Pattern(100, 2);
    instrument_->QueueIn(kInEndpoint, fresh);
    ASSERT_TRUE(read->Wait(5s)) << "the read after the clear";
    EXPECT_EQ(data, fresh);
    EXPECT_EQ(Buffered(), 0);
    ExpectIdle();
}

TEST_F(ReadQueueTest, UnplugAndRemovalEndEveryWaitingReadAndTheRemovalFinishes) {
    for (bool unplug : {true, false}) {
        SCOPED_TRACE(unplug ? "unplugged" : "surprise removal reported alone");
        if (!unplug) {
            for (PFILE_OBJECT file : open_) {
                kstandin::CloseFile(file);
            }
            open_.clear();
            Plug(kstandin::usb::BulkInstrument());
            in_ = OpenPipe(u"\\ep00");
        }
        PFILE_OBJECT other = OpenPipe(u"\\ep00");
        std::vector<Bytes> buffers(4, Bytes(64));
        std::vector<std::shared_ptr<kstandin::IoRequest>> reads;
        for (size_t i = 0; i < buffers.size(); ++i) {
            reads.push_back(kstandin::StartRead(i % 2 ? other : in_, buffers[i].data(), 64));
        }
        EXPECT_FALSE(reads.back()->Wait(20ms));
        if (unplug) {
            instrument_->Unplug();
        }
        FinishesInTime([&] { kstandin::pnp::SurpriseRemove(instrument_->Pdo()); },
                       "the surprise removal");
        for (size_t i = 0; i < reads.size(); ++i) {
            ASSERT_TRUE(reads[i]->Wait(5s)) << "read " << i << " is still pending";
            NTSTATUS status = reads[i]->Result().status;
            EXPECT_TRUE(status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_CANCELLED ||
                        status == STATUS_INVALID_DEVICE_STATE)
                << "read " << i << ": " << std::hex << status;
            EXPECT_EQ(reads[i]->Result().information, 0u);
        }
        EXPECT_EQ(BulkTransfers(), unplug ? 4u : 1u)
            << "waiting reads start only while the device is Working";
        FinishesInTime([&] { RemoveInstrument(*instrument_); }, "the removal");
        instrument_->ClearLog();
    }
}

TEST_F(ReadQueueTest, WaitingReadsAreHeldWhileTheDeviceSleepsAndGoOnAfterwards) {
    Bytes a(100), b(50), c(30);
    auto first = kstandin::StartRead(in_, a.data(), 100);
    ASSERT_TRUE(WaitForTransfers(1));
    auto second = kstandin::StartRead(in_, b.data(), 50);
    // The power-down drain waits for the read in flight only; the waiting one holds no
    // reference.
    auto powerDown = std::async(std::launch::async, [&] {
        return kstandin::power::SetDevicePower(instrument_->Pdo(), PowerDeviceD3);
    });
    ASSERT_TRUE(WaitFor(
        [&] { return ReadLocked(&record_->stateLock, &record_->queueState) == HoldRequests; },
        "the power-down"));
    Bytes sent = Pattern(180);
    instrument_->QueueIn(kInEndpoint, Bytes(sent.begin(), sent.begin() + 100));
    ASSERT_TRUE(first->Wait(5s)) << "the read in flight";
    EXPECT_EQ(a, Bytes(sent.begin(), sent.begin() + 100));
    ASSERT_EQ(powerDown.wait_for(5s), std::future_status::ready) << "the power-down drain";
    EXPECT_EQ(powerDown.get(), STATUS_SUCCESS);

    // Asleep: the waiting read and a new one stay queued and send nothing.
    auto third = kstandin::StartRead(in_, c.data(), 30);
    EXPECT_FALSE(second->Wait(20ms));
    EXPECT_FALSE(third->Wait(0ms));
    EXPECT_EQ(BulkTransfers(), 1u);

    ASSERT_EQ(kstandin::power::SetDevicePower(instrument_->Pdo(), PowerDeviceD0), STATUS_SUCCESS);
    ASSERT_TRUE(WaitForTransfers(2));
    instrument_->QueueIn(kInEndpoint, Bytes(sent.begin() + 100, sent.end()));
    ASSERT_TRUE(second->Wait(5s)) << "the first held read";
    ASSERT_TRUE(third->Wait(5s)) << "the second held read";
    EXPECT_EQ(b, Bytes(sent.begin() + 100, sent.begin() + 150));
    EXPECT_EQ(c, Bytes(sent.begin() + 150, sent.end()));
    ExpectIdle();
}

// Numbered stream: 32-bit little-endian counters. Reads are whole counters long, so each read
// starts at a counter and tells where in the stream it lies.
Bytes NumberedStream(uint32_t firstWord, size_t bytes) {
    Bytes stream((bytes + 3) / 4 * 4);
    for (size_t i = 0; i < stream.size(); i += 4) {
        uint32_t word = firstWord + static_cast<uint32_t>(i / 4);
        memcpy(&stream[i], &word, 4);
    }
    stream.resize(bytes);
    return stream;
}

TEST_F(ReadQueueTest, OverlappedReadsOnTwoHandlesDeliverANumberedStreamOnceAndInOrder) {
    for (unsigned run = 1; run <= 3; ++run) {
        SCOPED_TRACE(testing::Message() << "run " << run);
        record_->readChunkSize = run == 2 ? 2048 : 65536;
        std::mt19937 random(run);
        constexpr int kHandles = 2, kBatches = 40;
        // Per handle, batches of 1 to 4 overlapped reads, 4 to 8192 bytes, whole counters.
        std::vector<std::vector<std::vector<ULONG>>> plan(kHandles);
        size_t total = 0;
        for (auto& batches : plan) {
            for (int b = 0; b < kBatches; ++b) {
                std::vector<ULONG> lengths(1 + random() % 4);
                for (ULONG& length : lengths) {
                    length = 4 * (1 + random() % 2048);
                    total += length;
                }
                batches.push_back(lengths);
            }
        }
        PFILE_OBJECT files[kHandles] = {in_, OpenPipe(u"\\ep00")};
        struct Delivered {
            int handle;
            size_t order;
            Bytes data;
            kstandin::IrpResult result;
        };
        std::vector<std::vector<Delivered>> delivered(kHandles);
        std::vector<std::thread> readers;
        for (int h = 0; h < kHandles; ++h) {
            readers.emplace_back([&, h] {
                size_t order = 0;
                for (const auto& batch : plan[h]) {
                    std::vector<Bytes> buffers;
                    std::vector<std::shared_ptr<kstandin::IoRequest>> reads;
                    buffers.reserve(batch.size());
                    for (ULONG length : batch) {
                        buffers.emplace_back(length);
                        reads.push_back(kstandin::StartRead(files[h], buffers.back().data(), length));
                    }
                    for (size_t i = 0; i < reads.size(); ++i) {
                        bool done = reads[i]->Wait(10s);
                        EXPECT_TRUE(done) << "handle " << h << ", read " << order;
                        if (!done) {
                            reads[i]->Cancel();
                            reads[i]->Wait(5s);
                        }
                        delivered[h].push_back({h, order++, buffers[i], reads[i]->Result()});
                    }
                }
            });
        }
        // The device sends the stream in pieces of any size, each ending with a short packet.
        std::mt19937 feed(run * 7919);
        Bytes all = NumberedStream(0, total);
        for (size_t sent = 0; sent < total;) {
            size_t piece = std::min<size_t>(total - sent, 1 + feed() % 9000);
            instrument_->QueueIn(kInEndpoint, Bytes(all.begin() + sent, all.begin() + sent + piece));
            sent += piece;
            if (feed() % 4 == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
        for (std::thread& reader : readers) {
            reader.join();
        }

        // Each read is one run of the stream; together they cover it once; each handle's reads
        // lie in the order they were issued.
        std::vector<std::pair<size_t, size_t>> pieces;  // (start, length)
        for (int h = 0; h < kHandles; ++h) {
            size_t previous = 0;
            for (const Delivered& each : delivered[h]) {
                ASSERT_EQ(each.result.status, STATUS_SUCCESS);
                ASSERT_EQ(each.result.information, each.data.size());
                uint32_t first;
                memcpy(&first, each.data.data(), 4);
                ASSERT_EQ(each.data, NumberedStream(first, each.data.size()))
                    << "handle " << h << ", read " << each.order << " is not one run";
                size_t start = size_t{first} * 4;
                if (each.order > 0) {
                    EXPECT_GT(start, previous) << "handle " << h << ", read " << each.order;
                }
                previous = start;
                pieces.emplace_back(start, each.data.size());
            }
        }
        std::sort(pieces.begin(), pieces.end());
        size_t covered = 0;
        for (const auto& [start, length] : pieces) {
            ASSERT_EQ(start, covered) << "a gap or a byte delivered twice";
            covered += length;
        }
        EXPECT_EQ(covered, total);
        EXPECT_EQ(Buffered(), 0);
        Close(files[1]);
        ExpectIdle();
    }
}

}  // namespace
}  // namespace kestrune_test
