// Test controls of the D2XX stand-in: the table of attached devices, injected failures, the
// record of calls, the read time-out scale, and the serial link from a device to a peer.
#ifndef KS_STANDIN_D2XX_SIM_H
#define KS_STANDIN_D2XX_SIM_H

#include "ftd2xx.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace d2xxsim {

struct DeviceInfo {
    DWORD id = 0;  // vendor ID in the upper 16 bits, product ID in the lower
    std::string serialNumber;
    std::string description;
    bool busy = false;  // held open by another program: FT_Open fails
};

// The receiving side of a device's serial line: bytes handed to it become readable by FT_Read.
class Line {
public:
    virtual ~Line() = default;
    virtual void Deliver(const std::vector<uint8_t>& bytes) = 0;
};

// What sits at the far end of a device's serial line. Calls arrive on the thread that made
// the D2XX call.
class Peer {
public:
    virtual ~Peer() = default;
    virtual void Attach(Line* line) = 0;  // before the first call; line outlives the peer's use
    virtual void OnPurge(ULONG mask) { (void)mask; }
    virtual void OnWrite(const uint8_t* data, size_t length) = 0;
    virtual void OnClose() {}
};

// Devices, failures, peers and the call record start empty; the time scale starts at 1.
void Reset();
int AddDevice(const DeviceInfo& info);
void SetBusy(int device, bool busy);
// FT_ListDevices returns this status (FT_OK restores it).
void SetListDevicesStatus(FT_STATUS status);
// Every later call of the named function on the device returns status (FT_OK clears it).
void FailCall(int device, const std::string& function, FT_STATUS status);
void AttachPeer(int device, std::shared_ptr<Peer> peer);
// The bridge is pulled out: from now on every call on the device's handle fails at once with
// FT_IO_ERROR, moving no byte (a read that waits is woken to fail), FT_Close still releases the
// handle, and FT_Open finds no such device.
void Unplug(int device);
bool IsOpen(int device);

// Waits on the device's read time-out take time-out * scale (0.02 turns 1000 ms into 20 ms).
// The same scale applies to the line below, so a scaled line keeps its proportions.
void SetTimeScale(double scale);
std::chrono::milliseconds Scaled(ULONG milliseconds);

// The serial line of every device. Bytes move at the baud rate FT_SetBaudRate set (9600 until
// then; ten bit times per byte: 8N1). FT_Write hands bytes over USB (latencyOut) into the
// chip's small transmit buffer and returns once the last of them is in it, or when the write
// time-out passes, having written only what the chip took by then (FT_OK, fewer bytes). The
// peer gets bytes as they leave the wire; what it sends back crosses the wire at the same rate
// and reaches FT_Read after the chip's latency timer (latencyBack). FT_Purge(FT_PURGE_RX)
// drops what has reached the chip or the reader, FT_Purge(FT_PURGE_TX) what has not yet left,
// and FT_Close lets the chip send what it holds.
struct LineModel {
    std::chrono::microseconds latencyOut{1000};
    std::chrono::microseconds latencyBack{16000};
    size_t transmitBuffer = 64;
};
void SetLineModel(const LineModel& model);  // Reset restores the defaults above
LineModel CurrentLineModel();

struct Call {
    std::string function;
    int device = -1;                 // -1 when the handle or number names no device
    std::vector<uint64_t> arguments;  // the scalar arguments, in order
    std::vector<uint8_t> data;        // bytes written or read
    FT_STATUS status = FT_OK;
};
std::vector<Call> Calls();
std::vector<Call> CallsOf(const std::string& function);
void ClearCalls();
// Called after each call is recorded, on the calling thread.
void SetCallObserver(std::function<void(const Call&)> observer);

// A bridge that leaves its strings unterminated: FT_GetDeviceInfo copies the serial number and
// the description byte for byte into the whole 16- and 64-byte buffers, with no NUL when the
// text fills them (a shorter text is followed by one). Off for every device after Reset.
void SetUnterminatedInfo(int device, bool unterminated);

}  // namespace d2xxsim

#endif
