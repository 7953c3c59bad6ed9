// The XMODEM-1K sender against a receiver that answers anything: the input is a file and a list
// of replies, each handed over after the sender's next write or read time-out, and a moment at
// which the user presses Cancel. The line's clock is scaled down so that a read time-out takes a
// fraction of a millisecond. From the record of D2XX calls the run is held against the protocol:
// only the file's blocks, in sequence, a resend byte for byte the last packet, EOT only after the
// last block, an end on two CAN bytes in a row, and Cancel answered within one read time-out.
#include <windows.h>

#include "ambrix.h"
#include "d2xx_sim.h"
#include "fuzz_input.h"
#include "module_state.h"
#include "win32_sim.h"
#include "xmodem_sender.h"

#include <mutex>

using namespace kestrune_fuzz;

namespace {

const uint8_t STX = 0x02, EOT = 0x04, ACK = 0x06, CAN = 0x18;
const char kPath[] = "C:\\firmware\\fuzz.bin";
constexpr size_t kBlock = 1024;
constexpr size_t kPacket = 1029;
// A 1000 ms read time-out lasts 200 us.
constexpr double kTimeScale = 0.0002;

// Hands the next reply to the line after each write of the sender and after each read that
// timed out; the first goes out at the sender's opening purge.
class ReplyPeer : public d2xxsim::Peer {
  public:
    explicit ReplyPeer(std::vector<std::vector<uint8_t>> replies) : replies_(std::move(replies)) {}
    void Attach(d2xxsim::Line* line) override { line_ = line; }
    void OnPurge(ULONG mask) override {
        if (mask == (FT_PURGE_RX | FT_PURGE_TX)) {
            Next();
        }
    }
    void OnWrite(const uint8_t*, size_t) override { Next(); }
    // False when every reply has gone out.
    bool Next() {
        std::lock_guard<std::mutex> lock(lock_);
        if (next_ >= replies_.size()) {
            return false;
        }
        line_->Deliver(replies_[next_++]);
        return true;
    }

  private:
    std::mutex lock_;
    std::vector<std::vector<uint8_t>> replies_;
    size_t next_ = 0;
    d2xxsim::Line* line_ = nullptr;
};

std::vector<uint8_t> ExpectedBlock(const std::vector<uint8_t>& file, size_t index) {
    std::vector<uint8_t> packet(kPacket, 0x1A);
    packet[0] = STX;
    packet[1] = static_cast<uint8_t>(index + 1);
    packet[2] = static_cast<uint8_t>(255 - packet[1]);
    for (size_t i = 0; i < kBlock && index * kBlock + i < file.size(); ++i) {
        packet[3 + i] = file[index * kBlock + i];
    }
    // CRC-16/XMODEM bit by bit, independent of the sender's table.
    uint16_t crc = 0;
    for (size_t i = 0; i < kBlock; ++i) {
        crc = static_cast<uint16_t>(crc ^ (packet[3 + i] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    packet[1027] = static_cast<uint8_t>(crc >> 8);
    packet[1028] = static_cast<uint8_t>(crc & 0xFF);
    return packet;
}

struct Record {
    std::vector<d2xxsim::Call> calls;
    size_t cancelAt = SIZE_MAX; // index of the call after which Cancel was pressed
};

void CheckRun(const Record& run, const std::vector<uint8_t>& file, LONG result) {
    size_t blocks = (file.size() + kBlock - 1) / kBlock;
    // Packets as written, each write possibly a part of one.
    std::vector<uint8_t> stream;
    size_t readsAfterCancel = 0, timeoutsAfterCancel = 0;
    int canRun = 0;
    bool pairSeen = false;
    for (size_t i = 0; i < run.calls.size(); ++i) {
        const d2xxsim::Call& call = run.calls[i];
        Require(!pairSeen || call.function == "FT_Purge",
                "nothing but a purge follows two CAN bytes in a row");
        if (call.function == "FT_Write") {
            stream.insert(stream.end(), call.data.begin(), call.data.end());
        } else if (call.function == "FT_Read") {
            if (i > run.cancelAt) {
                ++readsAfterCancel;
                timeoutsAfterCancel += call.data.empty() ? 1 : 0;
            }
            if (!call.data.empty()) {
                canRun = call.data[0] == CAN ? canRun + 1 : 0;
                pairSeen = canRun == 2;
            }
        }
    }
    Require(timeoutsAfterCancel <= 1 && readsAfterCancel <= 3,
            "Cancel ends the transfer within one read time-out");
    if (pairSeen) {
        Require(result == DownloadReceiverCancelled,
                "two CAN bytes in a row end the transfer as cancelled by the receiver");
    }
    if (result == DownloadReceiverCancelled) {
        Require(pairSeen, "only two CAN bytes in a row count as the receiver's cancel");
    }
    if (result == DownloadUserCancelled) {
        Require(run.cancelAt != SIZE_MAX, "only Cancel ends the transfer as cancelled by the user");
    }

    // The user's cancel, and a file that cannot be read, end with four CAN bytes.
    if (result == DownloadUserCancelled || result == DownloadFileError) {
        Require(stream.size() >= 4 && std::vector<uint8_t>(stream.end() - 4, stream.end()) ==
                                          std::vector<uint8_t>(4, CAN),
                "a transfer this side ends, ends with four CAN bytes");
        stream.resize(stream.size() - 4);
    }
    // The rest: whole packets, each the next block, the last packet again, or EOT after the last.
    std::vector<uint8_t> last;
    size_t sentBlocks = 0;
    bool eotSent = false;
    size_t at = 0;
    while (at < stream.size()) {
        std::vector<uint8_t> packet;
        if (stream[at] == EOT) {
            Require(sentBlocks == blocks, "EOT only after the last block");
            packet = {EOT};
            eotSent = true;
        } else {
            Require(stream[at] == STX, "a packet starts with STX or is EOT");
            Require(!eotSent, "no block after EOT");
            if (!last.empty() && stream.size() - at >= last.size() &&
                std::equal(last.begin(), last.end(), stream.begin() + static_cast<long>(at))) {
                packet = last;
            } else {
                Require(sentBlocks < blocks, "only the file's blocks are sent");
                packet = ExpectedBlock(file, sentBlocks);
                size_t available = std::min(packet.size(), stream.size() - at);
                bool whole = available == packet.size();
                Require(
                    std::equal(packet.begin(), packet.begin() + static_cast<long>(available),
                               stream.begin() + static_cast<long>(at)),
                    "each new block is the file's next block, numbered in sequence, with its CRC");
                Require(whole || result == DownloadUserCancelled,
                        "only Cancel leaves a packet unfinished");
                ++sentBlocks;
                if (!whole) {
                    break;
                }
            }
        }
        Require(last.empty() || packet == last || packet[0] == EOT ||
                    packet[1] == static_cast<uint8_t>(last[1] + 1),
                "a packet is a resend of the last or the next in sequence");
        last = packet;
        at += packet.size();
    }
    if (result == DownloadCompleted) {
        Require(eotSent && sentBlocks == blocks, "a completed transfer sent every block and EOT");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    d2xxsim::Reset();
    d2xxsim::SetTimeScale(kTimeScale);
    d2xxsim::LineModel line;
    line.latencyOut = std::chrono::microseconds(0);
    line.latencyBack = std::chrono::microseconds(0);
    line.transmitBuffer = 4096;
    d2xxsim::SetLineModel(line);

    // The file: up to four blocks and a bit, of bytes made from a start value.
    size_t fileSize = in.Word() % (4 * kBlock + 100);
    uint8_t start = in.Byte();
    std::vector<uint8_t> file(fileSize);
    for (size_t i = 0; i < fileSize; ++i) {
        file[i] = static_cast<uint8_t>(start + i * 7 + (i >> 8));
    }
    size_t cancelAfterCall = in.Byte() % 2 == 0 ? in.Word() : SIZE_MAX;
    std::vector<std::vector<uint8_t>> replies;
    while (!in.Empty() && replies.size() < 400) {
        uint8_t kind = in.Byte();
        if (kind < 64) {
            replies.push_back({}); // silence: the read times out
        } else if (kind < 224) {
            const uint8_t words[] = {'C', ACK, 0x15, CAN};
            replies.push_back({words[kind % 4]});
        } else {
            replies.push_back(in.Bytes(kind % 8));
        }
    }

    win32sim::ClearVirtualFiles();
    win32sim::AddVirtualFile(kPath, file);
    sourceFile =
        CreateFileA(kPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    Require(sourceFile != INVALID_HANDLE_VALUE, "the firmware file opens");
    int device = d2xxsim::AddDevice(
        {(static_cast<DWORD>(AMBRIX_OWN_VENDOR_ID) << 16) | 2, "FZ0001", "Fuzz", false});
    auto peer = std::make_shared<ReplyPeer>(std::move(replies));
    d2xxsim::AttachPeer(device, peer);
    Require(FT_Open(device, &deviceHandle) == FT_OK, "the instrument opens");
    Require(ConfigurePort(3000000) == 0, "the port is set up");
    d2xxsim::ClearCalls();

    Record run;
    std::mutex runLock;
    size_t callNumber = 0;
    InterlockedExchange(&cancelRequested, 0);
    d2xxsim::SetCallObserver([&](const d2xxsim::Call& call) {
        std::lock_guard<std::mutex> lock(runLock);
        size_t number = callNumber++;
        bool timedOut = call.function == "FT_Read" && call.data.empty();
        // A read that timed out lets the receiver say its next word; when it has none left,
        // the user gives up.
        bool silent = timedOut && !peer->Next();
        if (run.cancelAt == SIZE_MAX && (number >= cancelAfterCall || silent)) {
            run.cancelAt = number;
            InterlockedExchange(&cancelRequested, 1);
        }
    });
    HWND dialog = CreateWindowExA(0, "STATIC", "progress", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                  nullptr, nullptr);
    senderModule = nullptr;
    InterlockedExchange(&senderFinished, 0);
    XmodemSendThread(dialog);
    d2xxsim::SetCallObserver(nullptr);
    run.calls = d2xxsim::Calls();
    LONG result = InterlockedCompareExchange(&senderResult, 0, 0);
    Require(InterlockedCompareExchange(&senderFinished, 0, 0) == 1,
            "the sender records its result once it ends");
    CheckRun(run, file, result);

    DestroyWindow(dialog);
    FT_Close(deviceHandle);
    deviceHandle = nullptr;
    CloseHandle(sourceFile);
    sourceFile = nullptr;
    return 0;
}
