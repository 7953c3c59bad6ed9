// What the threads of one stress sequence share: the instruments plugged in, the findings, and
// the watchdog that ends a sequence that hangs.
#pragma once

#include "ledger.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace stress {

// Ends the process, naming the random start and what did not finish, when a watched wait takes
// longer than its limit: a hang cannot be recovered from, the threads in it are stuck for good.
class Watchdog {
  public:
    explicit Watchdog(uint64_t randomStart);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    class Guard {
      public:
        Guard(Watchdog& owner, uint64_t id) : owner_(&owner), id_(id) {}
        Guard(Guard&& other) noexcept : owner_(other.owner_), id_(other.id_) {
            other.owner_ = nullptr;
        }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        Guard& operator=(Guard&&) = delete;
        ~Guard();

      private:
        Watchdog* owner_;
        uint64_t id_;
    };
    // Watches one wait until the guard goes.
    Guard Watch(std::string what, std::chrono::milliseconds limit);

  private:
    void Run();
    struct Watched {
        std::string what;
        std::chrono::steady_clock::time_point deadline;
    };
    uint64_t randomStart_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<uint64_t, Watched> watches_;
    uint64_t nextId_ = 1;
    bool ending_ = false;
    std::thread thread_;
};

// A request an application thread has in flight on an instrument.
struct PendingRequest {
    std::string what;
    std::function<bool()> finished; // read from the sequence's thread while registered
};

// One instrument as the applications and the sequence see it.
struct Slot {
    int number = 0;     // 1, 2, ... in plug-in order, for messages
    int instrument = 0; // the machine's number
    std::u16string path;
    std::string serialNumber;
    std::shared_ptr<DataLedger> ledger;
    std::atomic<bool> present{true}; // not yet removed
    std::atomic<bool> quiet{false};  // the instrument sends no data for a while
    std::mutex mutex;
    std::map<uint64_t, PendingRequest> pending;
    uint64_t nextPending = 1;

    // Handles applications hold on the instrument. As on Windows, the removal comes only once
    // none is left: the Plug and Play manager refuses it while handles are open, and after a
    // surprise removal it waits for the last one to close. Once `closing` is set applications
    // close theirs and open no more.
    bool TryAddHandle();
    void DropHandle();
    void BeginClosing();
    void EndClosing();
    bool Closing();
    int Handles();
    bool closing = false; // guarded by mutex
    int handles = 0;      // guarded by mutex

    uint64_t Register(std::string what, std::function<bool()> finished);
    void Unregister(uint64_t id);
    // What is still in flight, or "".
    std::string StillPending();
};

struct Options {
    // Reads that wait until data comes or the device goes, with no application time-out.
    bool patientReads = true;
    // Requests held while the device is out of D0: none may reach the bus and fail as not ready.
    bool checkHeldRequests = true;
};

class World {
  public:
    World(uint64_t randomStart, const Options& options)
        : randomStart(randomStart), options(options), watchdog(randomStart) {}

    const uint64_t randomStart;
    const Options options;
    Watchdog watchdog;
    std::atomic<bool> stopping{false};
    // Above 0 while the sequence waits for applications to close their handles on an instrument:
    // as applications do when told that a device is going, they give up the reads they would
    // otherwise wait on for ever, which could hold the thread that owns those handles.
    std::atomic<int> closing{0};

    void Report(const std::string& finding);
    std::vector<std::string> Findings();

    void AddSlot(std::shared_ptr<Slot> slot);
    std::vector<std::shared_ptr<Slot>> Slots();

  private:
    std::mutex mutex_;
    std::vector<std::string> findings_;
    std::vector<std::shared_ptr<Slot>> slots_;
};

// One application thread's share of the sequence (workers.cpp): handles, reads, writes, control
// codes and cancels on the instruments, until the world stops.
void RunApplicationThread(World& world, int index, uint64_t randomStart);
// Cancels the synchronous reads that would wait for ever (see World::closing).
void CancelPatientReads();
// Cancels the synchronous reads whose application has given up waiting: the applications' timer,
// called every few milliseconds from a thread of its own.
void CancelOverdueReads();

} // namespace stress
