// One stress sequence, from one random start.
#include "sequence.h"

#include "machine.h"

#include <cstdio>
#include <future>
#include <random>

namespace stress {
namespace {

// System and device power states, as the platform numbers them.
constexpr int kS0 = 1;
constexpr int kS3 = 4;
constexpr int kS4 = 5;
constexpr int kD0 = 1;
constexpr int kD2 = 3;
constexpr int kD3 = 4;
// The most instruments a sequence plugs in over its life, and at once.
constexpr int kMostPlugged = 6;
constexpr size_t kMostPresent = 3;
constexpr auto kPnpLimit = std::chrono::seconds(20);

bool Succeeded(uint32_t status) {
    return static_cast<int32_t>(status) >= 0;
}

std::string Hex(uint32_t status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", status);
    return text;
}

class Sequence {
  public:
    Sequence(const std::string& driverPath, uint64_t randomStart, const Options& options)
        : driverPath_(driverPath), random_(randomStart), world_(randomStart, options) {
        plugged_.reserve(kMostPlugged + 1);
    }

    SequenceResult Run() {
        std::string error;
        machine_ = Machine::Boot(driverPath_, &error);
        if (!machine_) {
            result_.findings.push_back("the driver did not load: " + error);
            return result_;
        }
        size_t instruments = Pick(2, 3);
        for (size_t i = 0; i < instruments; ++i)
            PlugIn();
        if (world_.Findings().empty())
            Exercise();
        Finish();
        return result_;
    }

  private:
    struct Plugged {
        std::shared_ptr<Slot> slot;
        bool started = true;
        bool remoteWakeup = false;
    };

    uint32_t Pick(uint32_t low, uint32_t high) {
        return std::uniform_int_distribution<uint32_t>(low, high)(random_);
    }
    bool Chance(uint32_t percent) { return Pick(1, 100) <= percent; }
    void Pause(uint32_t most) {
        std::this_thread::sleep_for(std::chrono::milliseconds(Pick(0, most)));
    }

    void Report(const std::string& finding) { world_.Report(finding); }

    std::vector<Plugged*> Present() {
        std::vector<Plugged*> present;
        for (Plugged& each : plugged_) {
            if (each.slot->present.load())
                present.push_back(&each);
        }
        return present;
    }

    Plugged* AnyPresent(bool started) {
        std::vector<Plugged*> candidates;
        for (Plugged* each : Present()) {
            if (!started || each->started)
                candidates.push_back(each);
        }
        return candidates.empty()
                   ? nullptr
                   : candidates[Pick(0, static_cast<uint32_t>(candidates.size() - 1))];
    }

    std::string Name(const Plugged& plugged) const {
        return "instrument " + std::to_string(plugged.slot->number);
    }

    // A Plug and Play or power request, watched.
    template <typename Call> uint32_t Request(const std::string& what, Call call) {
        Watchdog::Guard guard = world_.watchdog.Watch(what, kPnpLimit);
        ++result_.events;
        return call();
    }

    void PlugIn() {
        int number = static_cast<int>(plugged_.size()) + 1;
        InstrumentSetup setup;
        setup.productId = static_cast<uint16_t>(0x0002 + (number - 1) % 3);
        char serial[16];
        std::snprintf(serial, sizeof(serial), "KS%04d", number);
        for (const char* c = serial; *c != 0; ++c)
            setup.serialNumber.push_back(static_cast<char16_t>(*c));
        setup.maxPacketSize = Chance(50) ? 512 : 64;
        setup.remoteWakeup = Chance(60);
        setup.answersVendorProbe = Chance(70);
        std::string error;
        int instrument = machine_->PlugIn(setup, &error);
        if (instrument < 0) {
            Report("instrument " + std::to_string(number) + ": " + error);
            return;
        }
        auto slot = std::make_shared<Slot>();
        slot->number = number;
        slot->instrument = instrument;
        slot->path = machine_->InterfacePath(instrument);
        slot->serialNumber = serial;
        slot->ledger = std::make_shared<DataLedger>(static_cast<uint32_t>(number));
        // Some instruments send nothing until told otherwise.
        slot->quiet.store(Chance(20));
        Plugged plugged;
        plugged.slot = slot;
        plugged.remoteWakeup = setup.remoteWakeup;
        plugged_.push_back(plugged);
        world_.AddSlot(slot);
        ++result_.instruments;
    }

    // The instruments' side: data in packets of every size, zero-length packets, stalls, and
    // string requests that fail. It runs beside the application threads until the world stops.
    void Feed(uint64_t randomStart) {
        std::mt19937_64 random(randomStart ^ 0xFEEDull);
        auto pick = [&random](uint32_t low, uint32_t high) {
            return std::uniform_int_distribution<uint32_t>(low, high)(random);
        };
        while (!world_.stopping.load()) {
            std::vector<std::shared_ptr<Slot>> slots = world_.Slots();
            if (slots.empty())
                return;
            std::shared_ptr<Slot> slot = slots[pick(0, static_cast<uint32_t>(slots.size() - 1))];
            uint32_t choice = pick(1, 100);
            // A silent instrument sends nothing and stalls nothing; zero-length packets it may.
            bool silent = slot->quiet.load() && (choice <= 80 || (choice > 88 && choice <= 89));
            if (!slot->present.load() || silent) {
                // Nothing: the instrument is gone, or silent for now.
            } else if (choice <= 80) {
                size_t words = pick(1, 100) <= 90 ? pick(1, 300) : pick(300, 8192);
                machine_->QueueIn(slot->instrument, slot->ledger->NextWords(words),
                                  pick(1, 100) <= 15);
            } else if (choice <= 88) {
                machine_->QueueZeroLengthPacket(slot->instrument);
            } else if (choice <= 89) {
                slot->ledger->NoteStall();
                machine_->StallNextIn(slot->instrument);
            } else if (choice <= 92) {
                uint32_t answer = pick(1, 100);
                machine_->SetStringAnswer(slot->instrument, answer <= 70   ? StringAnswer::Answer
                                                            : answer <= 98 ? StringAnswer::Stall
                                                                           : StringAnswer::Silent);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(pick(0, 3000)));
        }
    }

    void Exercise() {
        uint64_t start = world_.randomStart;
        std::thread feeder([this, start] { Feed(start); });
        std::atomic<bool> timerEnds{false};
        std::thread timer([&timerEnds] {
            while (!timerEnds.load()) {
                CancelOverdueReads();
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        std::vector<std::thread> applications;
        int threads = static_cast<int>(Pick(3, 4));
        for (int i = 1; i <= threads; ++i)
            applications.emplace_back([this, i, start] { RunApplicationThread(world_, i, start); });

        size_t events = Pick(6, 14);
        for (size_t i = 0; i < events; ++i) {
            Pause(40);
            Event();
        }

        // The end: the instruments are unplugged, which ends whatever the applications still
        // wait for; they close their handles and finish; then the removals.
        world_.stopping.store(true);
        for (Plugged* each : Present()) {
            int instrument = each->slot->instrument;
            Request("surprise removal of " + Name(*each) + " at the end",
                    [&] { return machine_->SurpriseRemove(instrument); });
        }
        for (size_t i = 0; i < applications.size(); ++i) {
            Watchdog::Guard guard =
                world_.watchdog.Watch("application thread " + std::to_string(i + 1) + " to finish",
                                      std::chrono::seconds(90));
            applications[i].join();
        }
        feeder.join();
        timerEnds.store(true);
        timer.join();
        for (Plugged* each : Present())
            Remove(*each);
    }

    void Event() {
        uint32_t choice = Pick(1, 100);
        if (choice <= 18)
            StopFlow();
        else if (choice <= 32)
            RemoveQueryFlow();
        else if (choice <= 38)
            SurpriseRemoval();
        else if (choice <= 58)
            SystemSleep();
        else if (choice <= 76)
            DevicePowerFlow();
        else if (choice <= 84 && Present().size() < kMostPresent &&
                 static_cast<int>(plugged_.size()) < kMostPlugged)
            PlugIn();
        else if (choice <= 92)
            ToggleQuiet();
    }

    void StopFlow(Plugged* target = nullptr) {
        if (target == nullptr)
            target = AnyPresent(true);
        if (target == nullptr)
            return;
        int instrument = target->slot->instrument;
        std::string name = Name(*target);
        uint32_t query =
            Request("query-stop of " + name, [&] { return machine_->QueryStop(instrument); });
        Pause(20);
        if (!Succeeded(query) || Chance(40)) {
            Request("cancel-stop of " + name, [&] { return machine_->CancelStop(instrument); });
            return;
        }
        Request("stop of " + name, [&] { return machine_->Stop(instrument); });
        target->started = false;
        Pause(20);
        uint32_t started =
            Request("restart of " + name, [&] { return machine_->Start(instrument); });
        if (!Succeeded(started))
            Report(name + " did not start again after a stop: " + Hex(started));
        else
            target->started = true;
    }

    // A remove query that is cancelled comes while applications hold handles. One that leads
    // to a removal comes as Windows sends it: the applications are told first and close their
    // handles, then the query, then the removal (or, if the query fails, the cancel, after which
    // they may open the instrument again).
    void RemoveQueryFlow() {
        Plugged* target = AnyPresent(true);
        if (target == nullptr)
            return;
        int instrument = target->slot->instrument;
        std::string name = Name(*target);
        bool removing = Chance(40) && Present().size() > 1;
        if (removing)
            CloseHandlesOf(*target);
        uint32_t query =
            Request("query-remove of " + name, [&] { return machine_->QueryRemove(instrument); });
        Pause(20);
        if (!Succeeded(query) || !removing) {
            Request("cancel-remove of " + name, [&] { return machine_->CancelRemove(instrument); });
            target->slot->EndClosing();
            return;
        }
        Remove(*target);
    }

    void SurpriseRemoval() {
        Plugged* target = AnyPresent(false);
        if (target == nullptr || Present().size() <= 1)
            return;
        int instrument = target->slot->instrument;
        Request("surprise removal of " + Name(*target),
                [&] { return machine_->SurpriseRemove(instrument); });
        Pause(20);
        Remove(*target);
    }

    // The removal, once the applications have closed their handles; then no request of the
    // instrument may stay in flight.
    void CloseHandlesOf(Plugged& target) {
        target.slot->BeginClosing();
        world_.closing.fetch_add(1);
        {
            Watchdog::Guard guard = world_.watchdog.Watch(
                "the applications to close their handles on " + Name(target), kPnpLimit);
            while (target.slot->Handles() != 0) {
                CancelPatientReads();
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        world_.closing.fetch_sub(1);
    }

    void Remove(Plugged& target) {
        int instrument = target.slot->instrument;
        std::string name = Name(target);
        CloseHandlesOf(target);
        Request("removal of " + name, [&] { return machine_->Remove(instrument); });
        target.slot->present.store(false);
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        std::string pending;
        while (!(pending = target.slot->StillPending()).empty() &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (!pending.empty())
            Report(name + " was removed, and a request stayed pending for 5 s: " + pending);
    }

    // Sleep and wake-up of the whole system: every instrument gets the query, then the set;
    // on the way back the wake signal of one instrument may come first.
    void SystemSleep() {
        std::vector<Plugged*> present = Present();
        if (present.empty())
            return;
        int state = Chance(60) ? kS3 : kS4;
        std::string sleep = state == kS3 ? "S3" : "S4";
        bool agreed = true;
        for (Plugged* each : present) {
            int instrument = each->slot->instrument;
            uint32_t status = Request("query for " + sleep + " of " + Name(*each), [&] {
                return machine_->QuerySystemPower(instrument, state);
            });
            agreed = agreed && Succeeded(status);
        }
        if (agreed) {
            AllAtOnce(present, state, sleep);
            Pause(30);
            std::vector<Plugged*> waking;
            for (Plugged* each : present) {
                if (each->remoteWakeup)
                    waking.push_back(each);
            }
            if (!waking.empty() && Chance(60))
                machine_->SignalWakeup(
                    waking[Pick(0, static_cast<uint32_t>(waking.size() - 1))]->slot->instrument);
        }
        AllAtOnce(present, kS0, "S0");
    }

    void AllAtOnce(const std::vector<Plugged*>& present, int state, const std::string& label) {
        std::vector<std::future<void>> sets;
        for (Plugged* each : present) {
            int instrument = each->slot->instrument;
            std::string what = "system set to " + label + " of " + Name(*each);
            sets.push_back(std::async(std::launch::async, [this, instrument, state, what] {
                Watchdog::Guard guard = world_.watchdog.Watch(what, kPnpLimit);
                uint32_t status = machine_->SetSystemPower(instrument, state);
                if (!Succeeded(status))
                    Report(what + " failed: " + Hex(status));
            }));
            ++result_.events;
        }
        for (auto& each : sets)
            each.wait();
    }

    // An instrument falls silent, or speaks again: reads that wait for data then wait until an
    // application gives up, or, for those that never do, until the instrument goes.
    // Sometimes the instrument is then asked to stop or to sleep a while later, when the reads
    // that give up have done so and those that never do hold the driver.
    void ToggleQuiet() {
        Plugged* target = AnyPresent(false);
        if (target == nullptr)
            return;
        bool quiet = !target->slot->quiet.load();
        target->slot->quiet.store(quiet);
        if (!quiet || !target->started || Chance(30))
            return;
        Pause(300);
        if (Chance(50))
            StopFlow(target);
        else
            DevicePowerFlow(target);
    }

    // A device power request of the device's own: to D2 or D3 and back, sometimes ended by the
    // instrument's wake signal, sometimes only a query.
    void DevicePowerFlow(Plugged* target = nullptr) {
        if (target == nullptr)
            target = AnyPresent(true);
        if (target == nullptr)
            return;
        int instrument = target->slot->instrument;
        std::string name = Name(*target);
        int state = Chance(50) ? kD2 : kD3;
        std::string label = state == kD2 ? "D2" : "D3";
        if (Chance(25)) {
            // A query is followed by a set, as the system's is: here the device stays in D0.
            Request("device query for " + label + " of " + name,
                    [&] { return machine_->QueryDevicePower(instrument, state); });
            Pause(10);
            Request("device set to D0 of " + name,
                    [&] { return machine_->SetDevicePower(instrument, kD0); });
            return;
        }
        Request("device set to " + label + " of " + name,
                [&] { return machine_->SetDevicePower(instrument, state); });
        Pause(30);
        if (target->remoteWakeup && Chance(50))
            machine_->SignalWakeup(instrument);
        Pause(10);
        Request("device set to D0 of " + name,
                [&] { return machine_->SetDevicePower(instrument, kD0); });
    }

    void Finish() {
        if (machine_ == nullptr)
            return;
        machine_->WaitUntilQuiet();
        if (unsigned left = machine_->OutstandingIrps(); left != 0)
            Report(std::to_string(left) + " requests still in flight after every instrument was "
                                          "removed");
        size_t pool = machine_->Unload();
        if (pool != 0)
            Report(std::to_string(pool) + " pool blocks left after the driver unloaded");
        for (const std::string& finding : machine_->TakeFindings())
            Report("driver verifier: " + finding);
        for (const Plugged& each : plugged_) {
            std::string fault = each.slot->ledger->Finish();
            if (!fault.empty())
                Report(Name(each) + ": " + fault);
            result_.wordsSent += each.slot->ledger->SentWords();
            result_.wordsReceived += each.slot->ledger->ReceivedWords();
        }
        result_.findings = world_.Findings();
    }

    std::string driverPath_;
    std::mt19937_64 random_;
    World world_;
    std::unique_ptr<Machine> machine_;
    std::vector<Plugged> plugged_;
    SequenceResult result_;
};

} // namespace

SequenceResult RunSequence(const std::string& driverPath, uint64_t randomStart,
                           const Options& options) {
    Sequence sequence(driverPath, randomStart, options);
    return sequence.Run();
}

} // namespace stress
