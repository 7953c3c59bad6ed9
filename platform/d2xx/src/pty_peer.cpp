// An external program on a pseudo-terminal as the far end of a device's serial line.
#include "peers.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pty.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace d2xxsim {

PtyPeer::PtyPeer(Options options) : options_(std::move(options)) {}

PtyPeer::~PtyPeer()
{
    int pid;
    {
        std::lock_guard<std::mutex> lock(lock_);
        pid = exitStatus_ ? -1 : pid_;
    }
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        WaitExit(std::chrono::seconds(5));
    }
    // The threads end when the last holder of their terminal's other side is gone.
    if (outSlave_ >= 0)
        ::close(outSlave_);
    if (inSlave_ >= 0)
        ::close(inSlave_);
    if (reader_.joinable())
        reader_.join();
    if (flushWatcher_.joinable())
        flushWatcher_.join();
    for (int fd : {outMaster_, inMaster_})
        if (fd >= 0)
            ::close(fd);
}

void PtyPeer::Attach(Line* line)
{
    line_ = line;
    if (options_.startAtAttach)
        Start();
}

void PtyPeer::OnPurge(ULONG mask)
{
    if ((mask & (FT_PURGE_RX | FT_PURGE_TX)) == (FT_PURGE_RX | FT_PURGE_TX) && !Started())
        Start();
}

bool PtyPeer::Started()
{
    std::lock_guard<std::mutex> lock(lock_);
    return pid_ > 0;
}

namespace {

bool OpenRawPty(int* master, int* slave)
{
    struct termios raw;
    ::cfmakeraw(&raw);
    if (::openpty(master, slave, nullptr, &raw, nullptr) != 0)
        return false;
    ::fcntl(*master, F_SETFD, FD_CLOEXEC);
    ::fcntl(*slave, F_SETFD, FD_CLOEXEC);
    return true;
}

}  // namespace

void PtyPeer::Start()
{
    // One terminal for each direction: a program that flushes its terminal as it leaves (rx
    // does) then discards only what it had not yet read, never what it last said.
    int inMaster = -1, inSlave = -1, outMaster = -1, outSlave = -1;
    if (!OpenRawPty(&inMaster, &inSlave))
        return;
    // In packet mode the input terminal's master learns of every flush of the program's input.
    int packetMode = 1;
    if (options_.waitForInputFlush)
        ::ioctl(inMaster, TIOCPKT, &packetMode);
    if (!OpenRawPty(&outMaster, &outSlave)) {
        ::close(inMaster);
        ::close(inSlave);
        return;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inSlave, 0);
    posix_spawn_file_actions_adddup2(&actions, outSlave, 1);
    posix_spawn_file_actions_addopen(&actions, 2, options_.stderrPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    std::vector<char*> argv;
    for (auto& argument : options_.argv)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    int pid = -1;
    int error = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        for (int fd : {inMaster, inSlave, outMaster, outSlave})
            ::close(fd);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(lock_);
        inMaster_ = inMaster;
        inSlave_ = inSlave;
        outMaster_ = outMaster;
        outSlave_ = outSlave;
        pid_ = pid;
    }
    reader_ = std::thread([this] { ReadLoop(); });
    if (options_.waitForInputFlush)
        flushWatcher_ = std::thread([this] { WatchInputFlushes(); });
}

void PtyPeer::WatchInputFlushes()
{
    uint8_t packet[256];
    for (;;) {
        ssize_t n = ::read(inMaster_, packet, sizeof packet);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;  // EIO: every holder of the program's side has closed it
        if (packet[0] & TIOCPKT_FLUSHREAD) {
            std::lock_guard<std::mutex> lock(lock_);
            ++inputFlushes_;
            flushed_.notify_all();
        }
    }
}

// Waits until the program has flushed its input once more than the replies handed on so far.
void PtyPeer::AwaitInputFlush()
{
    std::unique_lock<std::mutex> lock(lock_);
    flushed_.wait_for(lock, options_.flushWait, [this] { return inputFlushes_ > flushesUsed_; });
    flushesUsed_ = inputFlushes_;
}

void PtyPeer::ReadLoop()
{
    uint8_t buffer[4096];
    for (;;) {
        ssize_t n = ::read(outMaster_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;  // EIO: the program has closed its side
        if (options_.waitForInputFlush)
            AwaitInputFlush();
        // The bridge holds received bytes for its latency time before the host sees them.
        if (options_.latency.count() > 0)
            std::this_thread::sleep_for(options_.latency);
        if (line_)
            line_->Deliver(std::vector<uint8_t>(buffer, buffer + n));
    }
}

void PtyPeer::OnWrite(const uint8_t* data, size_t length)
{
    int master;
    std::vector<uint8_t> bytes(data, data + length);
    {
        std::lock_guard<std::mutex> lock(lock_);
        master = inMaster_;
        long flip = options_.flipWrittenByteAt;
        if (flip >= 0 && static_cast<uint64_t>(flip) >= written_ &&
            static_cast<uint64_t>(flip) < written_ + length)
            bytes[static_cast<size_t>(static_cast<uint64_t>(flip) - written_)] ^= 0xFF;
        written_ += length;
    }
    if (master < 0)
        return;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // the program is gone; the bytes are lost on the line
        done += static_cast<size_t>(n);
    }
}

void PtyPeer::Signal(int signal)
{
    std::lock_guard<std::mutex> lock(lock_);
    if (pid_ > 0 && !exitStatus_)
        ::kill(pid_, signal);
}

std::optional<int> PtyPeer::WaitExit(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(lock_);
            if (exitStatus_)
                return exitStatus_;
            if (pid_ <= 0)
                return std::nullopt;
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exitStatus_ = status;
                return exitStatus_;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

uint64_t PtyPeer::BytesWritten()
{
    std::lock_guard<std::mutex> lock(lock_);
    return written_;
}

}  // namespace d2xxsim
