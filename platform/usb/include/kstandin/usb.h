// Test-facing interface of the USB stand-in: an instrument model that tests script, and the bus
// driver that owns the instrument's physical device object and answers the requests of the function
// driver above it (Plug and Play, power, URBs and port requests).
#pragma once

#include <kstandin/kernel.h>
#include <usbdi.h>
#include <usbdlib.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kstandin::usb {

using Bytes = std::vector<UCHAR>;

struct EndpointSpec {
    UCHAR address = 0x81;                       // bit 7 set: IN
    UCHAR attributes = USB_ENDPOINT_TYPE_BULK;  // transfer type in bits 0-1
    USHORT maxPacketSize = 512;
    UCHAR interval = 0;
};

struct InterfaceSpec {
    UCHAR number = 0;
    UCHAR alternateSetting = 0;
    UCHAR interfaceClass = USB_DEVICE_CLASS_VENDOR_SPECIFIC;
    UCHAR interfaceSubClass = 0;
    UCHAR interfaceProtocol = 0;
    std::vector<EndpointSpec> endpoints;
    // Class-specific descriptors placed right after the interface descriptor, as they stand.
    std::vector<Bytes> extraDescriptors;
};

// How the device answers a vendor or class request on the default pipe.
enum class ControlAnswer {
    Succeed,    // status stage completes
    Stall,      // STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID
    NeverAnswer, // stays pending until cancelled (or the device is unplugged)
    // The data stage brings the first half of the answer, then the device stops responding: the
    // request fails (STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING) with those bytes in the
    // caller's buffer, as a host controller leaves them. String descriptors only.
    FailAfterData
};

struct InstrumentSpec {
    USHORT vendorId = 0x2A4B;
    USHORT productId = 0x0001;
    USHORT bcdDevice = 0x0100;
    UCHAR manufacturerIndex = 1;
    UCHAR productIndex = 2;
    UCHAR serialIndex = 3;
    UCHAR configurationValue = 1;
    UCHAR configurationAttributes = 0x80;  // bus powered; add USB_CONFIG_REMOTE_WAKEUP (0x20)
    UCHAR maxPower = 50;
    std::vector<InterfaceSpec> interfaces;
    std::map<UCHAR, std::u16string> strings;  // index -> text (language ID list at 0 is added)
    // Raw bytes that replace what the fields above would build: for malformed devices.
    std::optional<Bytes> rawDeviceDescriptor;
    std::optional<Bytes> rawConfiguration;
    std::map<UCHAR, Bytes> rawStrings;
    ControlAnswer vendorAnswer = ControlAnswer::Stall;
    NTSTATUS startStatus = STATUS_SUCCESS;            // what the bus answers IRP_MN_START_DEVICE
    std::optional<DEVICE_CAPABILITIES> capabilities;  // default: D0 in S0, D2 in S1-S3, D3 deeper
};

// A vendor-specific instrument with one bulk IN (0x81) and one bulk OUT (0x02) endpoint of
// `maxPacketSize` bytes on interface 0, and manufacturer, product and serial strings.
InstrumentSpec BulkInstrument(USHORT maxPacketSize = 512);

// Descriptor bytes built from an InstrumentSpec's fields.
Bytes DeviceDescriptorBytes(const InstrumentSpec& spec);
Bytes ConfigurationBytes(const InstrumentSpec& spec);
Bytes StringDescriptorBytes(const std::u16string& text);

// One request that reached the bus driver, as it arrived.
struct RequestRecord {
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG ioControlCode = 0;  // internal device control only
    // URBs
    USHORT urbFunction = 0xFFFF;
    USHORT urbLength = 0;
    UCHAR descriptorType = 0;
    UCHAR descriptorIndex = 0;
    USHORT languageId = 0;
    ULONG transferBufferLength = 0;  // as requested
    ULONG transferFlags = 0;
    bool transferBufferMdl = false;
    const void* transferBuffer = nullptr;  // bulk transfers: where the data goes or comes from
    bool configurationDescriptorNull = false;
    UCHAR endpointAddress = 0;  // pipe requests and transfers with a valid handle
    USB_DEFAULT_PIPE_SETUP_PACKET setup{};  // vendor and class requests
    // Select configuration: per interface entry, the MaximumTransferSize of each pipe as sent.
    std::vector<std::pair<UCHAR, std::vector<ULONG>>> selectedInterfaces;
    bool threadWasDispatchLevel = false;  // KeGetCurrentIrql() > PASSIVE_LEVEL when it arrived
    // Power: set and query carry their type and state; wait-wake its system state.
    ULONG powerType = 0;   // POWER_STATE_TYPE
    ULONG powerState = 0;  // SYSTEM_POWER_STATE or DEVICE_POWER_STATE
};

// Injected failure of one request of the function driver (FailRequestAt).
enum class RequestFault {
    Error,        // ends with the given status and USBD_STATUS_XACT_ERROR; a bulk endpoint halts
    Stall,        // the device answers STALL: STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID; a bulk
                  // endpoint halts. Only requests that reach the device's endpoints can stall.
    NeverAnswer,  // the device never answers: held until cancelled, aborted, unplugged or removed
};
// Whether the request is one that makes the device answer on an endpoint, so that it can stall:
// descriptor, configuration, pipe reset (CLEAR_FEATURE), vendor and class requests and transfers;
// not pipe aborts or port requests, which the host side answers.
bool CanStall(const RequestRecord& request);

// What a bulk OUT endpoint received, one entry per transfer.
using OutTransfers = std::vector<Bytes>;

class Instrument {
public:
    explicit Instrument(InstrumentSpec spec);
    ~Instrument();  // deletes the PDO if it still exists
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;

    // Creates the physical device object whose requests this instrument answers.
    PDEVICE_OBJECT PlugIn(const PdoOptions& options = {});
    PDEVICE_OBJECT Pdo() const;
    void DeletePdo();  // after the function driver has removed its device

    // --- behaviour
    void SetStartStatus(NTSTATUS status);
    void SetVendorAnswer(ControlAnswer answer);
    void SetStringAnswer(ControlAnswer answer);  // Stall = string missing; NeverAnswer = no reply
    void SetSelectConfigurationStatus(NTSTATUS status);  // a failing SET_CONFIGURATION
    void SetResetPortStatus(NTSTATUS status);
    // Set and query power requests of the type complete with `status` (a failing set changes
    // nothing).
    void SetPowerStatus(POWER_STATE_TYPE type, NTSTATUS status);
    // Requests on the bus complete asynchronously on the dispatch-level thread, after `delay`.
    void SetDelay(std::chrono::milliseconds delay);
    // Completes every URB inside the dispatch routine instead (the lower driver returns the final
    // status, no STATUS_PENDING).
    void SetCompleteAtOnce(bool atOnce);
    void SetPortEnabled(bool enabled);

    // --- data
    // Bytes the device will send on an IN endpoint, cut into max-packet units; the last unit is
    // short unless the length is a multiple of the packet size. `zeroLengthPacket` adds a ZLP.
    void QueueIn(UCHAR endpointAddress, const Bytes& data, bool zeroLengthPacket = false);
    void QueueZeroLengthPacket(UCHAR endpointAddress);
    size_t PendingInBytes(UCHAR endpointAddress) const;
    // Loopback firmware: every OUT transfer on `outEndpoint` is sent back on `inEndpoint`, cut into
    // max-packet units, with a zero-length packet after a transfer that ends on a full packet so
    // that the host's IN transfer ends there. Looped data is not kept in OutData.
    void SetLoopback(UCHAR outEndpoint, UCHAR inEndpoint);
    OutTransfers OutData(UCHAR endpointAddress) const;
    // The next transfer on the endpoint fails with `status` / `usbdStatus`, and the endpoint halts
    // until a reset-pipe request.
    void InjectTransferError(UCHAR endpointAddress, NTSTATUS status = STATUS_UNSUCCESSFUL,
                             USBD_STATUS usbdStatus = USBD_STATUS_STALL_PID);
    bool Halted(UCHAR endpointAddress) const;

    // --- failure injection
    // The n-th internal device-control request (URB or port request) that reaches the bus from now
    // on (1-based) fails as `fault` says, whatever the device would have answered; 0 = off. A
    // Stall aimed at a request that cannot stall is not applied (FailedRequest() stays empty).
    void FailRequestAt(unsigned n, RequestFault fault, NTSTATUS errorStatus = STATUS_UNSUCCESSFUL);
    unsigned RequestCount() const;                // internal device-control requests so far
    std::optional<size_t> FailedRequest() const;  // the failed request's index in Log()

    // --- bus events
    // The device disappears: its port is neither connected nor enabled, requests in progress end
    // with STATUS_DEVICE_NOT_CONNECTED and so do later ones.
    void Unplug();
    bool Connected() const;
    // The device signals remote wake-up: a held IRP_MN_WAIT_WAKE completes with STATUS_SUCCESS.
    bool SignalWakeup();
    bool WaitWakeHeld() const;

    // --- what was seen
    std::vector<RequestRecord> Log() const;
    void ClearLog();
    size_t CountUrbs(USHORT function) const;
    size_t CountIoctls(ULONG code) const;
    size_t PendingRequests() const;  // held by the bus, wait-wake included
    bool Configured() const;         // a configuration is selected
    UCHAR ConfigurationValue() const;  // 0 when unconfigured
    unsigned PortResets() const;
    unsigned PipeResets(UCHAR endpointAddress) const;
    unsigned PipeAborts(UCHAR endpointAddress) const;
    DEVICE_POWER_STATE DevicePower() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace kstandin::usb
