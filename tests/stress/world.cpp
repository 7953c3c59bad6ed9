// The watchdog, and the instruments and findings the threads of a sequence share.
#include "world.h"

#include <cstdio>
#include <cstdlib>

namespace stress {

Watchdog::Watchdog(uint64_t randomStart) : randomStart_(randomStart), thread_([this] { Run(); }) {}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

Watchdog::Guard::~Guard() {
    if (owner_ == nullptr)
        return;
    std::lock_guard<std::mutex> lock(owner_->mutex_);
    owner_->watches_.erase(id_);
}

Watchdog::Guard Watchdog::Watch(std::string what, std::chrono::milliseconds limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t id = nextId_++;
    watches_[id] = Watched{std::move(what), std::chrono::steady_clock::now() + limit};
    return Guard(*this, id);
}

void Watchdog::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!ending_) {
        changed_.wait_for(lock, std::chrono::milliseconds(100));
        auto now = std::chrono::steady_clock::now();
        for (const auto& [id, watch] : watches_) {
            if (now > watch.deadline) {
                std::fprintf(stderr,
                             "stress: random start %llu: hang: %s has not finished in time\n",
                             static_cast<unsigned long long>(randomStart_), watch.what.c_str());
                for (const auto& [otherId, other] : watches_) {
                    if (otherId != id)
                        std::fprintf(stderr, "stress:   meanwhile waiting: %s\n",
                                     other.what.c_str());
                }
                std::fprintf(stderr, "stress: replay with: scripts/stress 1 %llu\n",
                             static_cast<unsigned long long>(randomStart_));
                std::fflush(stderr);
                std::fflush(stdout);
                // The threads in the hang cannot be ended; neither can the process normally.
                std::_Exit(3);
            }
        }
    }
}

bool Slot::TryAddHandle() {
    std::lock_guard<std::mutex> lock(mutex);
    if (closing)
        return false;
    ++handles;
    return true;
}

void Slot::DropHandle() {
    std::lock_guard<std::mutex> lock(mutex);
    --handles;
}

void Slot::BeginClosing() {
    std::lock_guard<std::mutex> lock(mutex);
    closing = true;
}

void Slot::EndClosing() {
    std::lock_guard<std::mutex> lock(mutex);
    closing = false;
}

bool Slot::Closing() {
    std::lock_guard<std::mutex> lock(mutex);
    return closing;
}

int Slot::Handles() {
    std::lock_guard<std::mutex> lock(mutex);
    return handles;
}

uint64_t Slot::Register(std::string what, std::function<bool()> finished) {
    std::lock_guard<std::mutex> lock(mutex);
    uint64_t id = nextPending++;
    pending[id] = PendingRequest{std::move(what), std::move(finished)};
    return id;
}

void Slot::Unregister(uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex);
    pending.erase(id);
}

std::string Slot::StillPending() {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& [id, request] : pending) {
        if (!request.finished())
            return request.what;
    }
    return "";
}

void World::Report(const std::string& finding) {
    std::lock_guard<std::mutex> lock(mutex_);
    findings_.push_back(finding);
}

std::vector<std::string> World::Findings() {
    std::lock_guard<std::mutex> lock(mutex_);
    return findings_;
}

void World::AddSlot(std::shared_ptr<Slot> slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_.push_back(std::move(slot));
}

std::vector<std::shared_ptr<Slot>> World::Slots() {
    std::lock_guard<std::mutex> lock(mutex_);
    return slots_;
}

} // namespace stress
