// The D2XX calls over a table of simulated devices. Each device has a serial line with a rate
// and latencies to its peer and a receive buffer that the line fills; FT_Read waits for bytes up
// to the read time-out, FT_Write while the bytes go out (both scaled for fast tests).
#include "d2xx_sim.h"
#include "call_faults.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <sys/prctl.h>
#include <thread>

namespace d2xxsim {
namespace {

using Clock = std::chrono::steady_clock;
using Nanoseconds = std::chrono::duration<double, std::nano>;

std::atomic<double> timeScale{1.0};
std::mutex modelLock;
LineModel lineModel;  // guarded by modelLock

LineModel Model()
{
    std::lock_guard<std::mutex> lock(modelLock);
    return lineModel;
}

Clock::duration Scale(Nanoseconds duration)
{
    return std::chrono::duration_cast<Clock::duration>(duration * timeScale.load());
}

// Bytes that arrive at one end of the wire at a given time.
struct Transfer {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
    Clock::time_point inChip;  // received side: when the last byte reached the chip
};

struct Device : Line {
    DeviceInfo info;
    std::shared_ptr<Peer> peer;
    std::map<std::string, FT_STATUS> failures;  // guarded by tableLock
    bool open = false;                          // guarded by tableLock
    ULONG readTimeout = 0;                      // 0 waits for ever; guarded by tableLock
    ULONG writeTimeout = 0;                     // guarded by tableLock
    std::atomic<bool> unplugged{false};

    std::mutex rxLock;
    std::condition_variable rxChanged;
    std::deque<uint8_t> rx;  // guarded by rxLock

    // The wire. A thread of its own hands each transfer on when it is due: what one FT_Write
    // moved reaches the peer as its last byte leaves the wire.
    std::mutex lineLock;
    std::condition_variable lineChanged;
    std::shared_ptr<Peer> linePeer;          // guarded by lineLock
    ULONG baudRate = 9600;                   // guarded by lineLock
    Clock::time_point txFreeAt{};            // last byte written leaves then; lineLock
    Clock::time_point rxFreeAt{};            // last byte of the peer arrives then; lineLock
    std::deque<Transfer> toPeer;             // guarded by lineLock
    std::deque<Transfer> toHost;             // guarded by lineLock
    bool stopping = false;                   // guarded by lineLock
    std::thread wire;                        // started with the first transfer

    ~Device() override
    {
        // The peer's reader delivers into this line until the peer ends: drop the line's own
        // references first, so that a peer they were the last of ends while the line still
        // stands, not after its members are gone.
        std::shared_ptr<Peer> lastPeer;
        {
            std::lock_guard<std::mutex> lock(lineLock);
            lastPeer.swap(linePeer);
        }
        peer.reset();
        lastPeer.reset();
        {
            std::lock_guard<std::mutex> lock(lineLock);
            stopping = true;
            lineChanged.notify_all();
        }
        if (wire.joinable())
            wire.join();
    }

    Nanoseconds ByteTime()  // caller holds lineLock
    {
        return Nanoseconds(10e9 / baudRate);
    }

    void StartWire()  // caller holds lineLock
    {
        if (!wire.joinable())
            wire = std::thread([this] { RunWire(); });
        lineChanged.notify_all();
    }

    void RunWire()
    {
        // Transfers are due to the microsecond; the default timer slack would add 50 us to
        // every one of them.
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        std::unique_lock<std::mutex> lock(lineLock);
        while (!stopping) {
            std::deque<Transfer>* next = nullptr;
            if (!toPeer.empty())
                next = &toPeer;
            if (!toHost.empty() && (!next || toHost.front().due < next->front().due))
                next = &toHost;
            if (!next) {
                lineChanged.wait(lock);
                continue;
            }
            if (Clock::now() < next->front().due) {
                lineChanged.wait_until(lock, next->front().due);
                continue;
            }
            Transfer transfer = std::move(next->front());
            next->pop_front();
            bool outward = next == &toPeer;
            std::shared_ptr<Peer> target = linePeer;
            lock.unlock();
            if (outward) {
                if (target && !unplugged)
                    target->OnWrite(transfer.bytes.data(), transfer.bytes.size());
            } else if (!unplugged) {
                std::lock_guard<std::mutex> rxGuard(rxLock);
                rx.insert(rx.end(), transfer.bytes.begin(), transfer.bytes.end());
                rxChanged.notify_all();
            }
            lock.lock();
            lineChanged.notify_all();  // FT_Close waits for the outward queue to drain
        }
    }

    // The peer's bytes cross the wire at the line's rate and wait out the chip's latency timer.
    void Deliver(const std::vector<uint8_t>& bytes) override
    {
        if (bytes.empty())
            return;
        LineModel model = Model();
        std::lock_guard<std::mutex> lock(lineLock);
        auto now = Clock::now();
        auto start = std::max(now, rxFreeAt);
        rxFreeAt = start + Scale(ByteTime() * static_cast<double>(bytes.size()));
        toHost.push_back({rxFreeAt + Scale(model.latencyBack), bytes, rxFreeAt});
        StartWire();
    }

    // Queues bytes for the wire as FT_Write would, with the write time-out (zero: none).
    // Returns how many the chip took and when the call returns.
    size_t Transmit(const uint8_t* bytes, size_t length, Clock::duration timeout,
                    Clock::time_point* returnAt)
    {
        LineModel model = Model();
        std::lock_guard<std::mutex> lock(lineLock);
        auto now = Clock::now();
        Clock::duration byteTime = Scale(ByteTime());
        auto arrive = now + Scale(model.latencyOut);  // first bytes reach the chip
        auto start = std::max(arrive, txFreeAt);      // and leave it from then on
        using Count = Clock::rep;
        auto buffer = static_cast<Count>(model.transmitBuffer);
        // Byte i is taken once byte i - buffer has left: at start + (i + 1 - buffer) bytes.
        Clock::time_point done = start + byteTime * (static_cast<Count>(length) - buffer);
        *returnAt = std::max(arrive, done);
        size_t taken = length;
        if (timeout != Clock::duration::zero() && *returnAt > now + timeout) {
            auto deadline = now + timeout;
            Count fit = deadline < arrive ? 0 : (deadline - start) / byteTime + buffer;
            taken = static_cast<size_t>(std::clamp<Count>(fit, 0, static_cast<Count>(length)));
            *returnAt = deadline;
        }
        txFreeAt = start + byteTime * static_cast<Count>(taken);
        if (taken)
            toPeer.push_back({txFreeAt, std::vector<uint8_t>(bytes, bytes + taken), {}});
        if (taken)
            StartWire();
        return taken;
    }

    void Purge(ULONG mask)
    {
        std::lock_guard<std::mutex> lock(lineLock);
        auto now = Clock::now();
        if (mask & FT_PURGE_RX) {
            // What the chip holds goes; bytes still on the wire arrive afterwards.
            while (!toHost.empty() && toHost.front().inChip <= now)
                toHost.pop_front();
            std::lock_guard<std::mutex> rxGuard(rxLock);
            rx.clear();
        }
        if (mask & FT_PURGE_TX) {
            toPeer.clear();
            txFreeAt = now;
        }
    }

    // The chip sends what it holds before the line goes quiet (at most a few seconds).
    void Drain()
    {
        std::unique_lock<std::mutex> lock(lineLock);
        lineChanged.wait_until(lock, txFreeAt + std::chrono::seconds(2),
                               [this] { return toPeer.empty() || stopping; });
    }
};

std::mutex tableLock;
std::vector<std::shared_ptr<Device>> devices;  // guarded by tableLock
std::map<FT_HANDLE, int> handles;              // guarded by tableLock
uintptr_t nextHandle = 0x5000;                 // guarded by tableLock
FT_STATUS listDevicesStatus = FT_OK;           // guarded by tableLock
std::vector<Call> calls;                       // guarded by tableLock
std::function<void(const Call&)> observer;     // guarded by tableLock
std::set<int> unterminatedInfo;               // devices set by SetUnterminatedInfo; tableLock

// Copies text into a buffer of `size` bytes, terminated only when it is shorter than the buffer.
void CopyUnterminated(PCHAR buffer, const std::string& text, size_t size)
{
    if (!buffer)
        return;
    size_t length = std::min(text.size(), size);
    std::memcpy(buffer, text.data(), length);
    if (length < size)
        buffer[length] = 0;
}

// Finds the open device behind a handle, and the failure set for the function if any.
std::shared_ptr<Device> DeviceOf(FT_HANDLE handle, int* number)
{
    std::lock_guard<std::mutex> lock(tableLock);
    auto it = handles.find(handle);
    if (it == handles.end()) {
        *number = -1;
        return nullptr;
    }
    *number = it->second;
    return devices[static_cast<size_t>(it->second)];
}

FT_STATUS InjectedStatus(const std::shared_ptr<Device>& device, const char* function, int number)
{
    FT_STATUS counted = CountCall(function, number);
    if (device->unplugged)
        return FT_IO_ERROR;
    if (counted != FT_OK)
        return counted;
    std::lock_guard<std::mutex> lock(tableLock);
    auto it = device->failures.find(function);
    return it == device->failures.end() ? static_cast<FT_STATUS>(FT_OK) : it->second;
}

FT_STATUS Record(Call call)
{
    std::function<void(const Call&)> notify;
    {
        std::lock_guard<std::mutex> lock(tableLock);
        calls.push_back(call);
        notify = observer;
    }
    if (notify)
        notify(call);
    return call.status;
}

// The common shape of the calls that only set something on an open device.
template <typename Apply>
FT_STATUS SimpleCall(const char* function, FT_HANDLE handle, std::vector<uint64_t> arguments,
                     Apply apply)
{
    Call call{function, -1, std::move(arguments), {}, FT_OK};
    auto device = DeviceOf(handle, &call.device);
    if (!device)
        call.status = FT_INVALID_HANDLE;
    else if ((call.status = InjectedStatus(device, function, call.device)) == FT_OK)
        apply(*device);
    return Record(std::move(call));
}

}  // namespace

void Reset()
{
    std::vector<std::shared_ptr<Device>> gone;
    {
        std::lock_guard<std::mutex> lock(tableLock);
        gone.swap(devices);
        handles.clear();
        listDevicesStatus = FT_OK;
        unterminatedInfo.clear();
        calls.clear();
        observer = nullptr;
        timeScale = 1.0;
    }
    StopCountingCalls();
    SetLineModel(LineModel());
    gone.clear();  // their wires stop outside the table's lock
}

void SetLineModel(const LineModel& model)
{
    std::lock_guard<std::mutex> lock(modelLock);
    lineModel = model;
}

LineModel CurrentLineModel() { return Model(); }

void SetUnterminatedInfo(int device, bool unterminated)
{
    std::lock_guard<std::mutex> lock(tableLock);
    if (unterminated)
        unterminatedInfo.insert(device);
    else
        unterminatedInfo.erase(device);
}

int AddDevice(const DeviceInfo& info)
{
    auto device = std::make_shared<Device>();
    device->info = info;
    std::lock_guard<std::mutex> lock(tableLock);
    devices.push_back(device);
    return static_cast<int>(devices.size() - 1);
}

void SetBusy(int device, bool busy)
{
    std::lock_guard<std::mutex> lock(tableLock);
    devices.at(static_cast<size_t>(device))->info.busy = busy;
}

void SetListDevicesStatus(FT_STATUS status)
{
    std::lock_guard<std::mutex> lock(tableLock);
    listDevicesStatus = status;
}

void FailCall(int device, const std::string& function, FT_STATUS status)
{
    std::lock_guard<std::mutex> lock(tableLock);
    auto& failures = devices.at(static_cast<size_t>(device))->failures;
    if (status == FT_OK)
        failures.erase(function);
    else
        failures[function] = status;
}

void AttachPeer(int device, std::shared_ptr<Peer> peer)
{
    std::shared_ptr<Device> target;
    {
        std::lock_guard<std::mutex> lock(tableLock);
        target = devices.at(static_cast<size_t>(device));
        target->peer = peer;
    }
    {
        std::lock_guard<std::mutex> lock(target->lineLock);
        target->linePeer = peer;
    }
    peer->Attach(target.get());
}

void Unplug(int device)
{
    std::shared_ptr<Device> target;
    {
        std::lock_guard<std::mutex> lock(tableLock);
        target = devices.at(static_cast<size_t>(device));
    }
    target->unplugged = true;
    std::lock_guard<std::mutex> lock(target->rxLock);
    target->rxChanged.notify_all();
}

bool IsOpen(int device)
{
    std::lock_guard<std::mutex> lock(tableLock);
    return devices.at(static_cast<size_t>(device))->open;
}

void SetTimeScale(double scale) { timeScale = scale; }


std::chrono::milliseconds Scaled(ULONG milliseconds)
{
    return std::chrono::milliseconds(static_cast<long long>(milliseconds * timeScale.load() + 0.5));
}

std::vector<Call> Calls()
{
    std::lock_guard<std::mutex> lock(tableLock);
    return calls;
}

std::vector<Call> CallsOf(const std::string& function)
{
    std::vector<Call> result;
    for (auto& call : Calls())
        if (call.function == function)
            result.push_back(std::move(call));
    return result;
}

void ClearCalls()
{
    std::lock_guard<std::mutex> lock(tableLock);
    calls.clear();
}

void SetCallObserver(std::function<void(const Call&)> callObserver)
{
    std::lock_guard<std::mutex> lock(tableLock);
    observer = std::move(callObserver);
}

}  // namespace d2xxsim

using namespace d2xxsim;

extern "C" {

FT_STATUS WINAPI FT_ListDevices(PVOID arg1, PVOID arg2, DWORD flags)
{
    Call call{"FT_ListDevices", -1, {reinterpret_cast<uintptr_t>(arg2), flags}, {}, FT_OK};
    {
        std::lock_guard<std::mutex> lock(tableLock);
        if (flags != FT_LIST_NUMBER_ONLY || !arg1)
            call.status = FT_INVALID_PARAMETER;  // only the count is modelled
        else if ((call.status = CountCall("FT_ListDevices", -1)) != FT_OK) {
            // failed by number: the count is left alone
        } else if ((call.status = listDevicesStatus) == FT_OK)
            *static_cast<DWORD*>(arg1) = static_cast<DWORD>(devices.size());
    }
    return Record(std::move(call));
}

FT_STATUS WINAPI FT_Open(int deviceNumber, FT_HANDLE* handle)
{
    Call call{"FT_Open", deviceNumber, {static_cast<uint64_t>(deviceNumber)}, {}, FT_OK};
    std::shared_ptr<Device> device;
    {
        std::lock_guard<std::mutex> lock(tableLock);
        if (deviceNumber < 0 || static_cast<size_t>(deviceNumber) >= devices.size()) {
            call.status = FT_DEVICE_NOT_FOUND;
            call.device = -1;
        } else {
            device = devices[static_cast<size_t>(deviceNumber)];
            auto failure = device->failures.find("FT_Open");
            if ((call.status = CountCall("FT_Open", deviceNumber)) != FT_OK) {
                // failed by number: no handle
            } else if (failure != device->failures.end())
                call.status = failure->second;
            else if (device->unplugged)
                call.status = FT_DEVICE_NOT_FOUND;
            else if (device->info.busy || device->open)  // a device is opened by one at a time
                call.status = FT_DEVICE_NOT_OPENED;
            else {
                device->open = true;
                device->readTimeout = device->writeTimeout = 0;
                FT_HANDLE opened = reinterpret_cast<FT_HANDLE>(nextHandle);
                nextHandle += 0x10;
                handles[opened] = deviceNumber;
                *handle = opened;
            }
        }
    }
    if (call.status == FT_OK) {
        std::lock_guard<std::mutex> lock(device->rxLock);
        device->rx.clear();
    }
    return Record(std::move(call));
}

FT_STATUS WINAPI FT_Close(FT_HANDLE handle)
{
    Call call{"FT_Close", -1, {}, {}, FT_OK};
    std::shared_ptr<Peer> peer;
    std::shared_ptr<Device> closing;
    {
        std::lock_guard<std::mutex> lock(tableLock);
        auto it = handles.find(handle);
        if (it == handles.end()) {
            call.status = FT_INVALID_HANDLE;
        } else {
            call.device = it->second;
            auto& device = devices[static_cast<size_t>(it->second)];
            device->open = false;
            peer = device->peer;
            closing = device;
            handles.erase(it);
        }
    }
    if (closing)
        closing->Drain();
    if (peer)
        peer->OnClose();
    // A close failed by number still releases the handle (see d2xx_faults.h).
    if (closing)
        call.status = CountCall("FT_Close", call.device);
    return Record(std::move(call));
}

FT_STATUS WINAPI FT_GetDeviceInfo(FT_HANDLE handle, FT_DEVICE* type, LPDWORD id,
                                  PCHAR serialNumber, PCHAR description, LPVOID reserved)
{
    Call call{"FT_GetDeviceInfo", -1, {reinterpret_cast<uintptr_t>(reserved)}, {}, FT_OK};
    auto device = DeviceOf(handle, &call.device);
    if (!device)
        call.status = FT_INVALID_HANDLE;
    else if ((call.status = InjectedStatus(device, "FT_GetDeviceInfo", call.device)) == FT_OK) {
        // Serial and description are cut to their buffers (16 and 64 bytes) and terminated.
        if (type)
            *type = 5;  // a 232R bridge
        if (id)
            *id = device->info.id;
        bool unterminated;
        {
            std::lock_guard<std::mutex> lock(tableLock);
            unterminated = unterminatedInfo.count(call.device) != 0;
        }
        if (unterminated) {
            CopyUnterminated(serialNumber, device->info.serialNumber, 16);
            CopyUnterminated(description, device->info.description, 64);
        } else {
            if (serialNumber)
                lstrcpynA(serialNumber, device->info.serialNumber.c_str(), 16);
            if (description)
                lstrcpynA(description, device->info.description.c_str(), 64);
        }
    }
    return Record(std::move(call));
}

FT_STATUS WINAPI FT_SetBaudRate(FT_HANDLE handle, ULONG baudRate)
{
    Call call{"FT_SetBaudRate", -1, {baudRate}, {}, FT_OK};
    auto device = DeviceOf(handle, &call.device);
    if (!device)
        call.status = FT_INVALID_HANDLE;
    else if ((call.status = InjectedStatus(device, "FT_SetBaudRate", call.device)) == FT_OK) {
        if (baudRate == 0) {
            call.status = FT_INVALID_BAUD_RATE;
        } else {
            std::lock_guard<std::mutex> lock(device->lineLock);
            device->baudRate = baudRate;
        }
    }
    return Record(std::move(call));
}

FT_STATUS WINAPI FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits,
                                           UCHAR parity)
{
    return SimpleCall("FT_SetDataCharacteristics", handle, {wordLength, stopBits, parity},
                      [](Device&) {});
}

FT_STATUS WINAPI FT_SetFlowControl(FT_HANDLE handle, USHORT flowControl, UCHAR xon, UCHAR xoff)
{
    return SimpleCall("FT_SetFlowControl", handle, {flowControl, xon, xoff}, [](Device&) {});
}

FT_STATUS WINAPI FT_ClrDtr(FT_HANDLE handle)
{
    return SimpleCall("FT_ClrDtr", handle, {}, [](Device&) {});
}

FT_STATUS WINAPI FT_ClrRts(FT_HANDLE handle)
{
    return SimpleCall("FT_ClrRts", handle, {}, [](Device&) {});
}

FT_STATUS WINAPI FT_SetChars(FT_HANDLE handle, UCHAR eventChar, UCHAR eventCharEnabled,
                             UCHAR errorChar, UCHAR errorCharEnabled)
{
    return SimpleCall("FT_SetChars", handle,
                      {eventChar, eventCharEnabled, errorChar, errorCharEnabled}, [](Device&) {});
}

FT_STATUS WINAPI FT_SetTimeouts(FT_HANDLE handle, ULONG readTimeout, ULONG writeTimeout)
{
    return SimpleCall("FT_SetTimeouts", handle, {readTimeout, writeTimeout},
                      [readTimeout, writeTimeout](Device& device) {
                          std::lock_guard<std::mutex> lock(tableLock);
                          device.readTimeout = readTimeout;
                          device.writeTimeout = writeTimeout;
                      });
}

FT_STATUS WINAPI FT_Purge(FT_HANDLE handle, ULONG mask)
{
    std::shared_ptr<Peer> peer;
    FT_STATUS status = SimpleCall("FT_Purge", handle, {mask}, [mask, &peer](Device& device) {
        device.Purge(mask);
        std::lock_guard<std::mutex> lock(tableLock);
        peer = device.peer;
    });
    if (peer)
        peer->OnPurge(mask);
    return status;
}

FT_STATUS WINAPI FT_Write(FT_HANDLE handle, LPVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten)
{
    Call call{"FT_Write", -1, {bytesToWrite}, {}, FT_OK};
    if (bytesWritten)
        *bytesWritten = 0;
    auto device = DeviceOf(handle, &call.device);
    if (!device)
        call.status = FT_INVALID_HANDLE;
    else if ((call.status = InjectedStatus(device, "FT_Write", call.device)) == FT_OK) {
        ULONG timeout;
        {
            std::lock_guard<std::mutex> lock(tableLock);
            timeout = device->writeTimeout;
        }
        const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
        Clock::time_point returnAt;
        size_t taken = device->Transmit(bytes, bytesToWrite, Scale(Nanoseconds(timeout * 1e6)), &returnAt);
        // The call blocks while the bytes go out; a time-out is no error, only a short count.
        std::this_thread::sleep_until(returnAt);
        call.data.assign(bytes, bytes + taken);
        if (bytesWritten)
            *bytesWritten = static_cast<DWORD>(taken);
    }
    return Record(std::move(call));
}

FT_STATUS WINAPI FT_Read(FT_HANDLE handle, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesReturned)
{
    Call call{"FT_Read", -1, {bytesToRead}, {}, FT_OK};
    if (bytesReturned)
        *bytesReturned = 0;
    auto device = DeviceOf(handle, &call.device);
    if (!device)
        call.status = FT_INVALID_HANDLE;
    else if ((call.status = InjectedStatus(device, "FT_Read", call.device)) == FT_OK) {
        ULONG timeout;
        {
            std::lock_guard<std::mutex> lock(tableLock);
            timeout = device->readTimeout;
        }
        // Returns when all bytes are there or the time-out has passed, with what arrived.
        std::unique_lock<std::mutex> lock(device->rxLock);
        auto enough = [&] { return device->rx.size() >= bytesToRead || device->unplugged; };
        if (timeout == 0)
            device->rxChanged.wait(lock, enough);
        else
            device->rxChanged.wait_for(lock, Scaled(timeout), enough);
        size_t count = std::min<size_t>(bytesToRead, device->rx.size());
        if (device->unplugged) {
            count = 0;
            call.status = FT_IO_ERROR;
        }
        call.data.assign(device->rx.begin(), device->rx.begin() + static_cast<long>(count));
        device->rx.erase(device->rx.begin(), device->rx.begin() + static_cast<long>(count));
        lock.unlock();
        if (count)
            std::memcpy(buffer, call.data.data(), count);
        if (bytesReturned)
            *bytesReturned = static_cast<DWORD>(count);
    }
    return Record(std::move(call));
}
}
