#include "peers.h"

namespace d2xxsim {

void ScriptedPeer::Attach(Line* line)
{
    std::lock_guard<std::mutex> lock(lock_);
    line_ = line;
}

void ScriptedPeer::OnPurge(ULONG mask)
{
    std::lock_guard<std::mutex> lock(lock_);
    events_.push_back({Event::Purge, mask, {}});
    changed_.notify_all();
}

void ScriptedPeer::OnWrite(const uint8_t* data, size_t length)
{
    std::lock_guard<std::mutex> lock(lock_);
    events_.push_back({Event::Write, 0, std::vector<uint8_t>(data, data + length)});
    changed_.notify_all();
}

std::optional<ScriptedPeer::Event> ScriptedPeer::NextEvent(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(lock_);
    if (!changed_.wait_for(lock, timeout, [this] { return !events_.empty(); }))
        return std::nullopt;
    Event event = std::move(events_.front());
    events_.pop_front();
    return event;
}

void ScriptedPeer::Send(const std::vector<uint8_t>& bytes)
{
    Line* line;
    {
        std::lock_guard<std::mutex> lock(lock_);
        line = line_;
    }
    if (line)
        line->Deliver(bytes);
}

}  // namespace d2xxsim
