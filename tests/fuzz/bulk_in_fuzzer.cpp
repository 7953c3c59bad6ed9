// Bulk IN streams: the device sends a numbered stream in chunks of any size (short packets,
// zero-length packets, transfers that end on a full packet), transfers fail and pipes are reset,
// while an application reads with any length, with and without partial reads, gives up on reads
// and clears the buffer. Applications must get the device's bytes in order, each once, none
// invented; and where nothing can have been dropped, every byte the device sent.
#include "driver_fuzz_support.h"

#include <chrono>

using namespace kestrune_fuzz;
using namespace std::chrono_literals;

namespace {

constexpr UCHAR kIn = 0x81;

// The device's stream: byte i of it. Any fixed sequence will do; this one repeats rarely.
uint8_t StreamByte(size_t i) {
    uint32_t x = static_cast<uint32_t>(i) * 2654435761u;
    return static_cast<uint8_t>((x >> 13) ^ (x >> 24) ^ i);
}

class Reader {
  public:
    Reader(PluggedDevice& plugged, PFILE_OBJECT pipe) : plugged_(plugged), pipe_(pipe) {}

    void Queue(size_t length, bool zeroLengthPacket) {
        Bytes chunk(length);
        for (size_t i = 0; i < length; ++i) {
            chunk[i] = StreamByte(sent_ + i);
        }
        sent_ += length;
        plugged_.instrument().QueueIn(kIn, chunk, zeroLengthPacket);
    }

    // Reads `length` bytes; a read that still waits once the bus is idle is cancelled.
    void Read(ULONG length) {
        std::vector<uint8_t> buffer(length);
        bool partial = (DriverOptions() & kOptionPartialReads) != 0;
        auto request = kstandin::StartRead(pipe_, buffer.data(), length);
        kstandin::WaitUntilQuiet();
        bool cancelled = false;
        if (!request->Wait(0ms)) {
            // Even a transfer that ended on a full packet and waits for more keeps what it moved.
            cancelled = true;
            request->Cancel();
            Require(request->Wait(2000ms), "a cancelled read completes within 2 s");
        }
        kstandin::IrpResult result = request->Result();
        Require(result.information <= length, "a read reports no more than its length");
        if (result.status == STATUS_SUCCESS) {
            Require(partial ? result.information >= 1 : result.information == length,
                    "a read completes with its length, or with partial reads at least one byte");
        } else if (result.status == STATUS_CANCELLED) {
            Require(cancelled, "only a cancelled read completes with STATUS_CANCELLED");
            // It hands over what is buffered up to its length, the bytes its own transfer had
            // moved included: all it asked for when that transfer brought enough.
        } else {
            // A failed transfer: the application gets no bytes from it.
            lossy_ = true;
            errorPending_ = false;
            return;
        }
        received_.insert(received_.end(), buffer.begin(),
                         buffer.begin() + static_cast<long>(result.information));
        CheckOrder();
    }

    // Every byte received so far is the device's, in order, each once.
    void CheckOrder() {
        if (!lossy_) {
            Require(received_.size() <= sent_, "no more bytes arrive than the device sent");
            for (size_t i = checked_; i < received_.size(); ++i) {
                Require(received_[i] == StreamByte(i),
                        "the device's bytes arrive in order, each once");
            }
            checked_ = received_.size();
            matched_ = received_.size();
            return;
        }
        // After a drop: the bytes still follow the stream, with gaps where bytes were dropped.
        for (size_t i = checked_; i < received_.size(); ++i) {
            while (matched_ < sent_ && StreamByte(matched_) != received_[i]) {
                ++matched_;
            }
            Require(matched_ < sent_, "no byte arrives that the device did not send, or twice");
            ++matched_;
        }
        checked_ = received_.size();
    }

    // Takes whatever is left: reads with partial reads until one waits.
    void Drain() {
        DriverOptions() |= kOptionPartialReads;
        for (int i = 0; i < 64; ++i) {
            size_t before = received_.size();
            Read(65536);
            if (received_.size() == before) {
                break;
            }
        }
        if (!lossy_) {
            Require(received_.size() + plugged_.instrument().PendingInBytes(kIn) == sent_,
                    "with nothing dropped, every byte the device sent reaches the application");
        }
    }

    void Drop() { lossy_ = true; }
    // An injected error fails the next transfer; until a read has failed, it may still wait.
    void Inject() {
        lossy_ = true;
        errorPending_ = true;
    }
    bool ErrorMayBePending() const { return errorPending_; }

  private:
    PluggedDevice& plugged_;
    PFILE_OBJECT pipe_;
    size_t sent_ = 0;
    std::vector<uint8_t> received_;
    size_t checked_ = 0;
    size_t matched_ = 0;
    bool lossy_ = false;
    bool errorPending_ = false;
};

NTSTATUS Control(PFILE_OBJECT file, ULONG code, ULONG value) {
    return kstandin::DeviceControl(file, code, &value, sizeof(value), nullptr, 0).status;
}

// A started instrument with its IN pipe open. Most inputs use one with 64-byte packets kept
// across inputs, so that a run costs its transfers and not a device; the others get a device of
// their own with another packet size.
struct PipeDevice {
    std::unique_ptr<PluggedDevice> plugged;
    PFILE_OBJECT pipe = nullptr;
    size_t poolBlocks = 0;
};

void Open(PipeDevice& device, USHORT packet) {
    device.plugged = std::make_unique<PluggedDevice>(PlainInstrument(packet));
    Require(kstandin::pnp::Start(device.plugged->pdo()) == STATUS_SUCCESS,
            "a plain instrument starts");
    kstandin::OpenResult opened =
        kstandin::OpenFile(kstandin::ToU16(device.plugged->record()->interfaceName) + u"\\ep00");
    Require(opened.status == STATUS_SUCCESS, "the IN pipe opens");
    device.plugged->Keep(opened.file);
    device.pipe = opened.file;
    kstandin::WaitUntilQuiet();
    device.poolBlocks = DevicePoolBlocks();
}

PipeDevice& Kept() {
    static PipeDevice* kept = new PipeDevice;
    if (!kept->plugged) {
        Open(*kept, 64);
    }
    return *kept;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    ChooseLowerCompletion(in);
    uint8_t shape = in.Byte();
    DriverOptions() = 0;
    PipeDevice own;
    USHORT packet = 64;
    if (shape % 4 == 0) {
        packet = static_cast<USHORT>(8u << (shape / 4 % 7));
        Open(own, packet);
    }
    PipeDevice& device = own.plugged ? own : Kept();
    PluggedDevice& plugged = *device.plugged;
    PFILE_OBJECT pipe = device.pipe;
    plugged.record()->readChunkSize = 2048;
    Reader reader(plugged, pipe);

    for (int step = 0; step < 40 && !in.Empty(); ++step) {
        uint8_t op = in.Byte();
        switch (op % 10) {
        case 0:
        case 1:
        case 2: {
            size_t length = in.Byte() % 4 == 0 ? in.Word() % 70000 : in.Word() % (4u * packet + 1);
            reader.Queue(length, in.Bit());
            break;
        }
        case 3:
            reader.Queue(0, true);
            break;
        case 4:
            if (in.Byte() % 4 == 0) {
                reader.Inject();
                plugged.instrument().InjectTransferError(kIn, in.Bit() ? STATUS_UNSUCCESSFUL
                                                                       : STATUS_DEVICE_DATA_ERROR);
            } else {
                Control(pipe, IOCTL_KESTRUNE_RESET_PIPE, 0);
            }
            break;
        case 5:
            Control(pipe, IOCTL_KESTRUNE_SET_OPTIONS, in.Byte() & kOptionPartialReads);
            break;
        case 6: {
            ULONG chunk = in.Bit() ? packet * (1u + in.Byte() % 128) : in.Dword() % 70000;
            if (Control(pipe, IOCTL_KESTRUNE_SET_READ_CHUNK_SIZE, chunk) == STATUS_SUCCESS &&
                chunk % packet != 0) {
                reader.Drop(); // a chunk that ends inside a packet makes the device babble
            }
            break;
        }
        case 7:
            if (in.Byte() % 8 == 0) {
                reader.Drop();
                Control(pipe, IOCTL_KESTRUNE_CLEAR_READ_BUFFER, 0);
            }
            break;
        default: {
            uint8_t shape = in.Byte();
            ULONG length = shape % 4 == 0 ? 1 + in.Word() % 65536 : 1 + in.Word() % (8u * packet);
            reader.Read(length);
            break;
        }
        }
    }
    // The halt an injected error left is cleared, so that the rest can be read.
    Control(pipe, IOCTL_KESTRUNE_RESET_PIPE, 0);
    reader.Drain();
    bool remove = in.Bit();
    if (own.plugged) {
        own.plugged->Remove(remove);
        return 0;
    }
    // The kept device goes on only as the next input expects it: nothing buffered or queued, no
    // halt, no request in flight, the same pool blocks.
    Control(pipe, IOCTL_KESTRUNE_RESET_PIPE, 0);
    kstandin::WaitUntilQuiet();
    DeviceRecord* record = plugged.record();
    Require(kstandin::OutstandingIrps() == 0 && kstandin::verifier::CheckTeardown() == 0,
            "no request is left in flight between inputs");
    Require(DevicePoolBlocks() == device.poolBlocks,
            "the device holds the same pool blocks between inputs");
    bool clean = !reader.ErrorMayBePending() && record->readBufferCount == 0 &&
                 plugged.instrument().PendingInBytes(kIn) == 0 && !plugged.instrument().Halted(kIn);
    if (remove || !clean) {
        plugged.Remove(remove);
        device.plugged.reset();
    }
    kstandin::TrimPoolRecords();
    return 0;
}
