// Peers for the far end of a device's serial line: a scripted one, an XMODEM receiver model,
// and an external program on a pseudo-terminal.
#ifndef KS_STANDIN_D2XX_PEERS_H
#define KS_STANDIN_D2XX_PEERS_H

#include "d2xx_sim.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace d2xxsim {

// A peer that the test drives step by step: it records purges and writes as events and sends
// what the test tells it to.
class ScriptedPeer : public Peer {
public:
    struct Event {
        enum Kind { Purge, Write } kind;
        ULONG mask = 0;
        std::vector<uint8_t> data;
    };
    void Attach(Line* line) override;
    void OnPurge(ULONG mask) override;
    void OnWrite(const uint8_t* data, size_t length) override;
    // The next event, or nothing when none came within the time-out.
    std::optional<Event> NextEvent(std::chrono::milliseconds timeout);
    void Send(const std::vector<uint8_t>& bytes);

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<Event> events_;  // guarded by lock_
    Line* line_ = nullptr;
};

// Faults of the receiver model, set before the transfer. Packets count from 0, blocks and EOT.
struct ReceiverFaults {
    std::set<int> nakPackets;   // packets to NAK although they are good
    int corruptPacket = -1;     // packet whose byte 100 is flipped on the line
    int silentFromPacket = -1;  // from this packet on, answer nothing
    int cancelAtPacket = -1;    // answer this packet with two CAN bytes
    bool nakFirstEot = false;
};

// An XMODEM-1K receiver in CRC mode that answers at once: 'C' after the sender's first purge,
// ACK for good packets, NAK for damaged ones, ACK for EOT.
class XmodemReceiverModel : public Peer {
public:
    using Faults = ReceiverFaults;
    XmodemReceiverModel() = default;
    explicit XmodemReceiverModel(Faults faults) : faults_(std::move(faults)) {}
    void Attach(Line* line) override { line_ = line; }
    void OnPurge(ULONG mask) override;
    void OnWrite(const uint8_t* data, size_t length) override;

    std::vector<uint8_t> Received();  // accepted data, padding included
    std::vector<int> BlockNumbers();  // block numbers of accepted blocks, in order
    int Packets();                    // packets seen (blocks and EOT)
    int Naks();
    bool Completed();                 // EOT acknowledged
    bool SenderCancelled();           // four CAN bytes received

private:
    void HandlePacket(std::vector<uint8_t> packet);
    void Reply(std::vector<uint8_t> bytes);

    Faults faults_;
    Line* line_ = nullptr;
    std::mutex lock_;
    std::vector<uint8_t> pending_;  // bytes of an incomplete packet; guarded by lock_
    std::vector<uint8_t> received_;
    std::vector<int> blockNumbers_;
    int expectedBlock_ = 1;
    int packets_ = 0;
    int naks_ = 0;
    int eots_ = 0;
    bool started_ = false;
    bool completed_ = false;
    bool senderCancelled_ = false;
    int canRun_ = 0;
};

// An external program connected to the device through pseudo-terminals: what the library
// writes goes to the program's standard input, what it prints becomes readable. The program is
// started at the sender's first purge of both buffers (or at Attach when so asked), so that
// nothing it says early is purged away.
class PtyPeer : public Peer {
public:
    struct Options {
        std::vector<std::string> argv;
        bool startAtAttach = false;
        long flipWrittenByteAt = -1;  // offset in the written stream of a byte to invert once
        std::string stderrPath = "/dev/null";
        // Delay of what the program sends on its way to the reader, as a bridge's latency
        // timer holds received bytes. Programs that discard their pending input right after
        // answering (as rx does) lose a reply that comes back quicker than a real line allows.
        std::chrono::milliseconds latency{0};
        // Hands each reply on only once the program has discarded its pending input (or after
        // flushWait), so that what the sender says next can no longer be discarded with it: a
        // line that answers faster than the program reaches its flush loses the packet, and a
        // lost first block is never repaired by rx, which asks for it again with 'C'.
        bool waitForInputFlush = false;
        std::chrono::milliseconds flushWait{200};
    };
    explicit PtyPeer(Options options);
    ~PtyPeer() override;
    void Attach(Line* line) override;
    void OnPurge(ULONG mask) override;
    void OnWrite(const uint8_t* data, size_t length) override;

    bool Started();
    // Sends a signal to the program (SIGTERM lets it cancel, SIGKILL makes it vanish).
    void Signal(int signal);
    // Waits for the program to end; its wait status, or nothing on time-out.
    std::optional<int> WaitExit(std::chrono::milliseconds timeout);
    // Total bytes written to the program so far.
    uint64_t BytesWritten();

private:
    void Start();
    void ReadLoop();
    void WatchInputFlushes();
    void AwaitInputFlush();

    Options options_;
    Line* line_ = nullptr;
    std::mutex lock_;
    // The program's input and output terminals. Both sides stay open here, so that the line
    // outlives the program: a program that ends leaves silence, and what it wrote last is not
    // lost to the hang-up of the terminal.
    int inMaster_ = -1, inSlave_ = -1;
    int outMaster_ = -1, outSlave_ = -1;
    int pid_ = -1;
    std::optional<int> exitStatus_;  // guarded by lock_
    uint64_t written_ = 0;           // guarded by lock_
    uint64_t inputFlushes_ = 0;      // flushes of the program's input seen; guarded by lock_
    uint64_t flushesUsed_ = 0;       // flushes already paired with a reply; reader thread only
    std::condition_variable flushed_;
    std::thread reader_;
    std::thread flushWatcher_;
};

}  // namespace d2xxsim

#endif
