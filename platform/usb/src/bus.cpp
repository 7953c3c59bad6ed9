// The simulated USB bus driver: it owns an instrument's physical device object and answers Plug
// and Play, power and internal device-control requests. Requests that go over the bus are marked
// pending, stay cancellable, and complete later on the kernel's dispatch-level thread at
// DISPATCH_LEVEL, as a host controller's completions do.
#include <kstandin/usb.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <thread>

namespace kstandin::usb {

using Clock = std::chrono::steady_clock;

namespace {

struct Pipe {
    EndpointSpec endpoint;
    bool selected = false;             // part of the selected configuration
    std::deque<Bytes> inPackets;       // packets the device will send; empty one = ZLP
    OutTransfers out;                  // what OUT transfers carried
    bool halted = false;
    std::optional<std::pair<NTSTATUS, USBD_STATUS>> injected;
    unsigned resets = 0;
    unsigned aborts = 0;
};

struct PendingRequest {
    PIRP irp;
    Clock::time_point due;
    bool waitWake = false;
    bool neverAnswered = false;  // an injected NeverAnswer: only its end from outside finishes it
};

void NTAPI CancelPending(PDEVICE_OBJECT DeviceObject, PIRP Irp);

}  // namespace

struct Instrument::State : std::enable_shared_from_this<Instrument::State> {
    mutable std::mutex mu;  // guards everything below; never held while a request is completed
    InstrumentSpec spec;
    Bytes deviceDescriptor;
    Bytes configuration;
    PDEVICE_OBJECT pdo = nullptr;
    std::u16string pdoName;
    bool connected = true;
    // Where the Plug and Play manager has taken the device: it answers only while started.
    enum class PnpState { NotStarted, Started, Stopped, SurpriseRemoved, Removed } pnpState = PnpState::NotStarted;
    bool portEnabled = true;
    UCHAR configurationValue = 0;
    unsigned generation = 1;  // changes with every (de)configuration; part of every pipe handle
    std::map<UCHAR, Pipe> pipes;
    std::map<UCHAR, UCHAR> loopback;  // OUT endpoint -> IN endpoint that sends its data back
    std::list<PendingRequest> pending;
    // Bulk and interrupt transfers: the length each asked for, while TransferBufferLength counts
    // what has been moved.
    std::map<PURB, ULONG> requestedLength;
    std::vector<RequestRecord> log;
    ControlAnswer stringAnswer = ControlAnswer::Succeed;
    NTSTATUS selectStatus = STATUS_SUCCESS;
    NTSTATUS resetPortStatus = STATUS_SUCCESS;
    NTSTATUS systemPowerStatus = STATUS_SUCCESS;  // answer to system set and query requests
    NTSTATUS devicePowerStatus = STATUS_SUCCESS;  // answer to device set and query requests
    std::chrono::milliseconds delay{0};
    bool completeAtOnce = false;
    unsigned portResets = 0;
    DEVICE_POWER_STATE devicePower = PowerDeviceD0;

    // Failure injection: internal device-control requests are numbered as they arrive.
    unsigned requestCount = 0;
    unsigned failRequestAt = 0;  // absolute number; 0 = off
    RequestFault requestFault = RequestFault::Error;
    NTSTATUS requestFaultStatus = STATUS_UNSUCCESSFUL;
    std::optional<size_t> failedRequest;  // index in log

    // Delayed completions: a timer thread hands due requests to the dispatch-level thread.
    std::mutex timerMu;
    std::condition_variable timerCondition;
    std::thread timer;
    bool timerStop = false;
    std::optional<Clock::time_point> nextDue;

    using Completion = std::pair<PIRP, NTSTATUS>;

    USBD_PIPE_HANDLE HandleOf(UCHAR address) const {
        return reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<uintptr_t>(generation) << 16 | 0x100 | address);
    }
    Pipe* LookupLocked(USBD_PIPE_HANDLE handle) {
        auto value = reinterpret_cast<uintptr_t>(handle);
        if ((value >> 16) != generation || (value & 0xFF00) != 0x100) return nullptr;
        auto it = pipes.find(static_cast<UCHAR>(value & 0xFF));
        return it != pipes.end() && it->second.selected ? &it->second : nullptr;
    }

    std::optional<RequestFault> Log(PIRP irp);
    std::optional<NTSTATUS> ProcessLocked(PIRP irp, std::vector<Completion>& others);
    std::optional<NTSTATUS> ProcessUrbLocked(PURB urb, std::vector<Completion>& others);
    std::optional<NTSTATUS> TransferLocked(PURB urb);
    NTSTATUS SelectLocked(PURB urb);
    NTSTATUS Dispatch(PDEVICE_OBJECT pdo, PIRP irp);
    NTSTATUS DispatchPnp(PIRP irp);
    NTSTATUS DispatchPower(PIRP irp);
    void Service();
    void Kick(Clock::time_point due);
    void TimerLoop();
    void StopTimer();
    void Cancelled(PIRP irp);
    std::optional<RequestFault> TakeFaultLocked();
    NTSTATUS AnswerFaultLocked(PIRP irp, RequestFault fault);
};

namespace {

// PDO -> state, for cancel routines, which get only the device object.
std::mutex registryMutex;
std::map<PDEVICE_OBJECT, std::weak_ptr<Instrument::State>> registry;

std::shared_ptr<Instrument::State> StateOf(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> lock(registryMutex);
    auto it = registry.find(pdo);
    return it == registry.end() ? nullptr : it->second.lock();
}

PVOID TransferBufferOf(PVOID buffer, PMDL mdl) {
    return buffer ? buffer : mdl ? MmGetMdlVirtualAddress(mdl) : nullptr;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Completes now or, as the kernel's CompleteLater() chooses, later from a dispatch-level thread;
// a dispatch routine returns what this returns.
NTSTATUS CompleteNowOrLater(PIRP irp, NTSTATUS status) {
    if (!CompleteLater()) return Complete(irp, status);
    IoMarkIrpPending(irp);
    QueueAtDispatchLevel([irp, status] { Complete(irp, status); });
    return STATUS_PENDING;
}

PURB UrbOf(PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
        location->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        return nullptr;
    }
    return static_cast<PURB>(location->Parameters.Others.Argument1);
}

// Sets the URB's own status and returns the request's.
NTSTATUS Answer(PURB urb, NTSTATUS status, USBD_STATUS usbdStatus) {
    urb->UrbHeader.Status = usbdStatus;
    return status;
}

bool IsVendorOrClass(USHORT function) {
    return (function >= URB_FUNCTION_VENDOR_DEVICE && function <= URB_FUNCTION_CLASS_ENDPOINT) ||
           function == URB_FUNCTION_CLASS_OTHER || function == URB_FUNCTION_VENDOR_OTHER;
}

// The descriptor at `position` when it lies wholly within wTotalLength, else null.
PUSB_COMMON_DESCRIPTOR NextDescriptor(PUSB_CONFIGURATION_DESCRIPTOR configuration, PUCHAR position) {
    PUCHAR end = reinterpret_cast<PUCHAR>(configuration) + configuration->wTotalLength;
    if (position + sizeof(USB_COMMON_DESCRIPTOR) > end) return nullptr;
    auto common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(position);
    if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || position + common->bLength > end) return nullptr;
    return common;
}

DEVICE_CAPABILITIES DefaultCapabilities() {
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps);
    caps.Version = 1;
    caps.DeviceD2 = 1;
    caps.WakeFromD2 = 1;
    caps.Removable = 1;
    caps.Address = 1;
    caps.UINumber = 1;
    caps.DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    caps.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
    caps.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    caps.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    caps.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    caps.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    caps.SystemWake = PowerSystemSleeping3;
    caps.DeviceWake = PowerDeviceD2;
    return caps;
}

void NTAPI CancelPending(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    if (std::shared_ptr<Instrument::State> state = StateOf(DeviceObject)) state->Cancelled(Irp);
}

}  // namespace

// Logs the request; an internal device-control request is numbered, and the fault to apply is
// returned when it is the one chosen.
std::optional<RequestFault> Instrument::State::Log(PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    RequestRecord record;
    record.major = location->MajorFunction;
    record.minor = location->MinorFunction;
    record.threadWasDispatchLevel = KeGetCurrentIrql() > PASSIVE_LEVEL;
    if (record.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        record.ioControlCode = location->Parameters.DeviceIoControl.IoControlCode;
    }
    if (record.major == IRP_MJ_POWER) {
        if (record.minor == IRP_MN_SET_POWER || record.minor == IRP_MN_QUERY_POWER) {
            record.powerType = location->Parameters.Power.Type;
            record.powerState = static_cast<ULONG>(location->Parameters.Power.State.SystemState);
        } else if (record.minor == IRP_MN_WAIT_WAKE) {
            record.powerState = static_cast<ULONG>(location->Parameters.WaitWake.PowerState);
        }
    }
    if (PURB urb = UrbOf(irp)) {
        record.urbFunction = urb->UrbHeader.Function;
        record.urbLength = urb->UrbHeader.Length;
        switch (urb->UrbHeader.Function) {
            case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
                auto& request = urb->UrbControlDescriptorRequest;
                record.descriptorType = request.DescriptorType;
                record.descriptorIndex = request.Index;
                record.languageId = request.LanguageId;
                record.transferBufferLength = request.TransferBufferLength;
                record.transferBufferMdl = request.TransferBufferMDL != nullptr;
                break;
            }
            case URB_FUNCTION_SELECT_CONFIGURATION: {
                record.configurationDescriptorNull = urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr;
                if (record.configurationDescriptorNull) break;
                size_t offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
                while (offset + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= urb->UrbHeader.Length) {
                    auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(urb) + offset);
                    if (info->Length == 0) break;
                    std::vector<ULONG> sizes;
                    for (ULONG i = 0; i < info->NumberOfPipes &&
                                      offsetof(USBD_INTERFACE_INFORMATION, Pipes) + (i + 1) * sizeof(USBD_PIPE_INFORMATION) <=
                                          info->Length;
                         ++i) {
                        sizes.push_back(info->Pipes[i].MaximumTransferSize);
                    }
                    record.selectedInterfaces.emplace_back(info->InterfaceNumber, sizes);
                    offset += info->Length;
                }
                break;
            }
            case URB_FUNCTION_ABORT_PIPE:
            case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            case URB_FUNCTION_SYNC_RESET_PIPE:
            case URB_FUNCTION_SYNC_CLEAR_STALL: {
                std::lock_guard<std::mutex> lock(mu);
                if (Pipe* pipe = LookupLocked(urb->UrbPipeRequest.PipeHandle)) record.endpointAddress = pipe->endpoint.address;
                break;
            }
            case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
                auto& transfer = urb->UrbBulkOrInterruptTransfer;
                record.transferFlags = transfer.TransferFlags;
                record.transferBufferLength = transfer.TransferBufferLength;
                record.transferBufferMdl = transfer.TransferBufferMDL != nullptr;
                record.transferBuffer = transfer.TransferBuffer;
                std::lock_guard<std::mutex> lock(mu);
                if (Pipe* pipe = LookupLocked(transfer.PipeHandle)) record.endpointAddress = pipe->endpoint.address;
                break;
            }
            default:
                if (IsVendorOrClass(urb->UrbHeader.Function)) {
                    auto& request = urb->UrbControlVendorClassRequest;
                    record.transferFlags = request.TransferFlags;
                    record.transferBufferLength = request.TransferBufferLength;
                    UCHAR recipient = 0;
                    UCHAR type = 0x40;  // vendor
                    switch (urb->UrbHeader.Function) {
                        case URB_FUNCTION_VENDOR_INTERFACE: recipient = 1; break;
                        case URB_FUNCTION_VENDOR_ENDPOINT: recipient = 2; break;
                        case URB_FUNCTION_VENDOR_OTHER: recipient = 3; break;
                        case URB_FUNCTION_CLASS_DEVICE: type = 0x20; break;
                        case URB_FUNCTION_CLASS_INTERFACE: type = 0x20; recipient = 1; break;
                        case URB_FUNCTION_CLASS_ENDPOINT: type = 0x20; recipient = 2; break;
                        case URB_FUNCTION_CLASS_OTHER: type = 0x20; recipient = 3; break;
                        default: break;
                    }
                    bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
                    record.setup.bmRequestType =
                        static_cast<UCHAR>((in ? 0x80 : 0) | type | recipient | request.RequestTypeReservedBits);
                    record.setup.bRequest = request.Request;
                    record.setup.wValue = request.Value;
                    record.setup.wIndex = request.Index;
                    record.setup.wLength = static_cast<USHORT>(request.TransferBufferLength);
                }
                break;
        }
    }
    std::lock_guard<std::mutex> lock(mu);
    log.push_back(record);
    if (record.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) return TakeFaultLocked();
    return std::nullopt;
}

NTSTATUS Instrument::State::SelectLocked(PURB urb) {
    auto& select = urb->UrbSelectConfiguration;
    if (urb->UrbHeader.Length < sizeof(struct _URB_SELECT_CONFIGURATION)) {
        return Answer(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    if (select.ConfigurationDescriptor == nullptr) {  // back to the unconfigured state
        configurationValue = 0;
        ++generation;
        for (auto& [address, pipe] : pipes) {
            pipe.selected = false;
            pipe.halted = false;
        }
        return Answer(urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    }
    if (!NT_SUCCESS(selectStatus)) return Answer(urb, selectStatus, USBD_STATUS_SET_CONFIG_FAILED);
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = select.ConfigurationDescriptor;
    if (descriptor->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        descriptor->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return Answer(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    }
    // Every interface information entry of the URB, one after the other.
    std::vector<std::pair<PUSBD_INTERFACE_INFORMATION, PUSB_INTERFACE_DESCRIPTOR>> entries;
    size_t offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    while (offset + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= urb->UrbHeader.Length) {
        auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(urb) + offset);
        if (info->Length == 0) break;
        PUSB_INTERFACE_DESCRIPTOR interface = USBD_ParseConfigurationDescriptorEx(
            descriptor, descriptor, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
        if (!interface) return Answer(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INTERFACE_NOT_FOUND);
        if (info->Length < GET_USBD_INTERFACE_SIZE(interface->bNumEndpoints) ||
            offset + info->Length > urb->UrbHeader.Length) {
            return Answer(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_BUFFER_TOO_SMALL);
        }
        entries.emplace_back(info, interface);
        offset += info->Length;
    }
    ++generation;
    for (auto& [address, pipe] : pipes) {
        pipe.selected = false;
        pipe.halted = false;
    }
    for (auto& [info, interface] : entries) {
        info->Class = interface->bInterfaceClass;
        info->SubClass = interface->bInterfaceSubClass;
        info->Protocol = interface->bInterfaceProtocol;
        info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(
            static_cast<uintptr_t>(generation) << 16 | 0x200 | interface->bInterfaceNumber);
        info->NumberOfPipes = interface->bNumEndpoints;
        // The endpoint descriptors that follow the interface, up to the next interface.
        PUCHAR position = reinterpret_cast<PUCHAR>(interface) + interface->bLength;
        ULONG found = 0;
        while (found < info->NumberOfPipes) {
            PUSB_COMMON_DESCRIPTOR next = NextDescriptor(descriptor, position);
            if (!next || next->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
            position = reinterpret_cast<PUCHAR>(next) + next->bLength;
            if (next->bDescriptorType != USB_ENDPOINT_DESCRIPTOR_TYPE || next->bLength < sizeof(USB_ENDPOINT_DESCRIPTOR)) {
                continue;
            }
            auto endpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(next);
            USBD_PIPE_INFORMATION& pipeInfo = info->Pipes[found++];
            pipeInfo.MaximumPacketSize = endpoint->wMaxPacketSize;
            pipeInfo.EndpointAddress = endpoint->bEndpointAddress;
            pipeInfo.Interval = endpoint->bInterval;
            pipeInfo.PipeType = static_cast<USBD_PIPE_TYPE>(endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK);
            pipeInfo.PipeHandle = HandleOf(endpoint->bEndpointAddress);
            Pipe& pipe = pipes[endpoint->bEndpointAddress];
            pipe.endpoint = {endpoint->bEndpointAddress, endpoint->bmAttributes, endpoint->wMaxPacketSize,
                             endpoint->bInterval};
            pipe.selected = true;
        }
        if (found < info->NumberOfPipes) {
            return Answer(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
        }
    }
    select.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(
        static_cast<uintptr_t>(generation) << 16 | 0x300 | descriptor->bConfigurationValue);
    configurationValue = descriptor->bConfigurationValue;
    return Answer(urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

// A bulk or interrupt transfer as a host controller moves it: TransferBufferLength counts the
// bytes moved so far from the moment the transfer arrives (the length asked for is kept in
// requestedLength), so a transfer that ends in any way, cancelled and aborted ones included,
// reports what it moved. IN data lands packet by packet as it arrives.
std::optional<NTSTATUS> Instrument::State::TransferLocked(PURB urb) {
    auto& transfer = urb->UrbBulkOrInterruptTransfer;
    if (urb->UrbHeader.Length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
        return Answer(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    Pipe* pipe = LookupLocked(transfer.PipeHandle);
    if (!pipe) return Answer(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    if (pipe->injected) {
        auto [status, usbdStatus] = *pipe->injected;
        pipe->injected.reset();
        pipe->halted = true;
        return Answer(urb, status, usbdStatus);
    }
    if (pipe->halted) return Answer(urb, STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED);
    auto requested = requestedLength.find(urb);
    ULONG length = requested != requestedLength.end() ? requested->second : transfer.TransferBufferLength;
    ULONG& moved = transfer.TransferBufferLength;
    auto buffer = static_cast<PUCHAR>(TransferBufferOf(transfer.TransferBuffer, transfer.TransferBufferMDL));
    if (length != 0 && !buffer) return Answer(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    if (USB_ENDPOINT_DIRECTION_OUT(pipe->endpoint.address)) {
        auto looped = loopback.find(pipe->endpoint.address);
        if (looped == loopback.end()) {
            pipe->out.emplace_back(buffer, buffer + length);
            moved = length;
            return Answer(urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
        }
        Pipe& in = pipes[looped->second];
        size_t unit = in.endpoint.maxPacketSize ? in.endpoint.maxPacketSize : 64;
        for (size_t offset = 0; offset < length; offset += unit) {
            size_t count = std::min<size_t>(unit, length - offset);
            in.inPackets.emplace_back(buffer + offset, buffer + offset + count);
        }
        if (length % unit == 0) in.inPackets.emplace_back();
        moved = length;
        // The looped data serves IN transfers that wait for it.
        Kick(Clock::now());
        return Answer(urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    }
    // IN: each packet that has arrived lands at once; the transfer ends when its buffer is full
    // or a short packet arrives, and until then the host controller keeps it.
    bool shortPacket = false;
    while (moved < length && !pipe->inPackets.empty()) {
        Bytes& packet = pipe->inPackets.front();
        if (packet.size() > length - moved) {
            // More than the room left: babble. The packet is lost and the endpoint halts.
            pipe->inPackets.pop_front();
            pipe->halted = true;
            return Answer(urb, STATUS_UNSUCCESSFUL, USBD_STATUS_BABBLE_DETECTED);
        }
        if (!packet.empty()) memcpy(buffer + moved, packet.data(), packet.size());
        moved += static_cast<ULONG>(packet.size());
        shortPacket = packet.size() < pipe->endpoint.maxPacketSize;
        pipe->inPackets.pop_front();
        if (shortPacket) break;
    }
    if (!shortPacket && moved < length) return std::nullopt;
    if (shortPacket && moved < length && !(transfer.TransferFlags & USBD_SHORT_TRANSFER_OK)) {
        pipe->halted = true;
        return Answer(urb, STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER);
    }
    return Answer(urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

std::optional<NTSTATUS> Instrument::State::ProcessUrbLocked(PURB urb, std::vector<Completion>& others) {
    if (!connected) return Answer(urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    // The hub passes nothing to a device it has not started or has stopped, nor to one that is
    // gone, nor to one it has suspended (D2 or D3).
    switch (pnpState) {
        case PnpState::NotStarted:
        case PnpState::Stopped:
            return Answer(urb, STATUS_DEVICE_NOT_READY, USBD_STATUS_NOT_ACCESSED);
        case PnpState::SurpriseRemoved:
        case PnpState::Removed:
            return Answer(urb, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
        case PnpState::Started:
            break;
    }
    if (devicePower >= PowerDeviceD2) return Answer(urb, STATUS_DEVICE_NOT_READY, USBD_STATUS_NOT_ACCESSED);
    USHORT function = urb->UrbHeader.Function;
    switch (function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            auto& request = urb->UrbControlDescriptorRequest;
            if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)) {
                return Answer(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
            }
            Bytes source;
            bool stall = false;
            if (request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
                source = deviceDescriptor;
            } else if (request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && request.Index == 0) {
                source = configuration;
            } else if (request.DescriptorType == USB_STRING_DESCRIPTOR_TYPE) {
                if (stringAnswer == ControlAnswer::NeverAnswer) return std::nullopt;
                auto raw = spec.rawStrings.find(request.Index);
                auto text = spec.strings.find(request.Index);
                if (stringAnswer == ControlAnswer::Stall) {
                    stall = true;
                } else if (raw != spec.rawStrings.end()) {
                    source = raw->second;
                } else if (request.Index == 0) {
                    source = {4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04};  // English (United States)
                } else if (text != spec.strings.end()) {
                    source = StringDescriptorBytes(text->second);
                } else {
                    stall = true;
                }
            } else {
                stall = true;
            }
            if (stall) {
                request.TransferBufferLength = 0;
                return Answer(urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
            }
            bool failAfterData = request.DescriptorType == USB_STRING_DESCRIPTOR_TYPE &&
                                 stringAnswer == ControlAnswer::FailAfterData;
            if (failAfterData) source.resize(source.size() / 2);
            auto buffer = TransferBufferOf(request.TransferBuffer, request.TransferBufferMDL);
            ULONG count = std::min<ULONG>(request.TransferBufferLength, static_cast<ULONG>(source.size()));
            if (count != 0 && !buffer) return Answer(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
            if (count != 0) memcpy(buffer, source.data(), count);
            request.TransferBufferLength = count;
            if (failAfterData) return Answer(urb, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
            return Answer(urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
        }
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return SelectLocked(urb);
        case URB_FUNCTION_ABORT_PIPE: {
            if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST)) {
                return Answer(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
            }
            Pipe* pipe = LookupLocked(urb->UrbPipeRequest.PipeHandle);
            if (!pipe) return Answer(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
            ++pipe->aborts;
            // Every transfer in progress on the pipe ends as cancelled.
            for (auto it = pending.begin(); it != pending.end();) {
                PURB other = it->waitWake ? nullptr : UrbOf(it->irp);
                if (other && other->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
                    LookupLocked(other->UrbBulkOrInterruptTransfer.PipeHandle) == pipe &&
                    IoSetCancelRoutine(it->irp, nullptr) != nullptr) {
                    // It reports the bytes it had already moved.
                    Answer(other, STATUS_CANCELLED, USBD_STATUS_CANCELED);
                    others.emplace_back(it->irp, STATUS_CANCELLED);
                    it = pending.erase(it);
                } else {
                    ++it;
                }
            }
            return Answer(urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
        }
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL: {
            if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST)) {
                return Answer(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
            }
            Pipe* pipe = LookupLocked(urb->UrbPipeRequest.PipeHandle);
            if (!pipe) return Answer(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
            ++pipe->resets;
            pipe->halted = false;
            return Answer(urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
        }
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return TransferLocked(urb);
        default:
            if (IsVendorOrClass(function)) {
                if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)) {
                    return Answer(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
                }
                switch (spec.vendorAnswer) {
                    case ControlAnswer::NeverAnswer:
                        return std::nullopt;
                    case ControlAnswer::Stall:
                    case ControlAnswer::FailAfterData:  // no data stage here: a stall
                        urb->UrbControlVendorClassRequest.TransferBufferLength = 0;
                        return Answer(urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
                    case ControlAnswer::Succeed:
                        // No data stage is modelled: an IN request receives nothing.
                        if (urb->UrbControlVendorClassRequest.TransferFlags & USBD_TRANSFER_DIRECTION_IN) {
                            urb->UrbControlVendorClassRequest.TransferBufferLength = 0;
                        }
                        return Answer(urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
                }
            }
            return Answer(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

std::optional<NTSTATUS> Instrument::State::ProcessLocked(PIRP irp, std::vector<Completion>& others) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    switch (location->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB: {
            auto urb = static_cast<PURB>(location->Parameters.Others.Argument1);
            if (!urb) return STATUS_INVALID_PARAMETER;
            return ProcessUrbLocked(urb, others);
        }
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
            auto word = static_cast<PULONG>(location->Parameters.Others.Argument1);
            if (!word) return STATUS_INVALID_PARAMETER;
            *word = (connected ? USBD_PORT_CONNECTED : 0) | (connected && portEnabled ? USBD_PORT_ENABLED : 0);
            return STATUS_SUCCESS;
        }
        case IOCTL_INTERNAL_USB_RESET_PORT:
            if (!connected) return STATUS_DEVICE_NOT_CONNECTED;
            if (!NT_SUCCESS(resetPortStatus)) return resetPortStatus;
            ++portResets;
            portEnabled = true;
            for (auto& [address, pipe] : pipes) pipe.halted = false;
            return STATUS_SUCCESS;
        case IOCTL_INTERNAL_USB_ENABLE_PORT:
            // The hub driver of 6.0 and later no longer offers it.
            if (SystemVersionAtLeast(6, 0)) return STATUS_NOT_SUPPORTED;
            if (!connected) return STATUS_DEVICE_NOT_CONNECTED;
            portEnabled = true;
            return STATUS_SUCCESS;
        default:
            return STATUS_NOT_SUPPORTED;
    }
}

// Completes what can be completed: requests whose delay has passed and whose answer is there.
void Instrument::State::Service() {
    std::vector<Completion> done;
    {
        std::lock_guard<std::mutex> lock(mu);
        Clock::time_point now = Clock::now();
        bool progress = true;
        while (progress) {
            progress = false;
            for (auto it = pending.begin(); it != pending.end(); ++it) {
                if (it->waitWake || (connected && it->due > now)) continue;
                if (it->neverAnswered && connected && pnpState == PnpState::Started) continue;
                PIRP irp = it->irp;
                if (IoSetCancelRoutine(irp, nullptr) == nullptr) continue;  // its cancel routine finishes it
                std::vector<Completion> others;
                std::optional<NTSTATUS> status = ProcessLocked(irp, others);
                done.insert(done.end(), others.begin(), others.end());
                if (!status) {
                    IoSetCancelRoutine(irp, CancelPending);
                    if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr)) {
                        if (PURB urb = UrbOf(irp)) Answer(urb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
                        status = STATUS_CANCELLED;
                    }
                }
                if (status || !others.empty()) {
                    // Erasing may have been done for other entries; find this one again.
                    if (status) {
                        pending.remove_if([irp](const PendingRequest& request) { return request.irp == irp; });
                        done.emplace_back(irp, *status);
                    }
                    progress = true;
                    break;
                }
            }
        }
    }
    for (auto [irp, status] : done) {
        irp->IoStatus.Information = 0;
        Complete(irp, status);
    }
}

void Instrument::State::Cancelled(PIRP irp) {
    bool waitWake = false;
    {
        std::lock_guard<std::mutex> lock(mu);
        auto it = std::find_if(pending.begin(), pending.end(),
                               [irp](const PendingRequest& request) { return request.irp == irp; });
        if (it == pending.end()) return;
        waitWake = it->waitWake;
        pending.erase(it);
    }
    if (waitWake) PoStartNextPowerIrp(irp);
    // A transfer reports the bytes it had moved before the cancel (TransferBufferLength counts
    // them as they land).
    if (PURB urb = UrbOf(irp)) Answer(urb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    irp->IoStatus.Information = 0;
    // Pending already: later means after IoCancelIrp has returned, as a host controller ends it.
    if (CompleteLater()) {
        QueueAtDispatchLevel([irp] { Complete(irp, STATUS_CANCELLED); });
    } else {
        Complete(irp, STATUS_CANCELLED);
    }
}

void Instrument::State::Kick(Clock::time_point due) {
    if (due <= Clock::now()) {
        std::weak_ptr<State> weak = weak_from_this();
        QueueAtDispatchLevel([weak] {
            if (auto state = weak.lock()) state->Service();
        });
        return;
    }
    std::lock_guard<std::mutex> lock(timerMu);
    if (!timer.joinable()) timer = std::thread([this] { TimerLoop(); });
    if (!nextDue || due < *nextDue) nextDue = due;
    timerCondition.notify_all();
}

void Instrument::State::TimerLoop() {
    std::unique_lock<std::mutex> lock(timerMu);
    while (!timerStop) {
        if (!nextDue) {
            timerCondition.wait(lock);
            continue;
        }
        if (timerCondition.wait_until(lock, *nextDue) == std::cv_status::timeout || Clock::now() >= *nextDue) {
            nextDue.reset();
            lock.unlock();
            {
                std::lock_guard<std::mutex> stateLock(mu);
                for (const PendingRequest& request : pending) {
                    if (!request.waitWake && request.due > Clock::now()) {
                        std::lock_guard<std::mutex> again(timerMu);
                        if (!nextDue || request.due < *nextDue) nextDue = request.due;
                    }
                }
            }
            Kick(Clock::now());
            lock.lock();
        }
    }
}

void Instrument::State::StopTimer() {
    {
        std::lock_guard<std::mutex> lock(timerMu);
        timerStop = true;
        timerCondition.notify_all();
    }
    if (timer.joinable()) timer.join();
}

NTSTATUS Instrument::State::DispatchPnp(PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    switch (location->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            std::lock_guard<std::mutex> lock(mu);
            irp->IoStatus.Status = spec.startStatus;
            if (NT_SUCCESS(spec.startStatus)) pnpState = PnpState::Started;
            break;
        }
        case IRP_MN_STOP_DEVICE: {
            std::lock_guard<std::mutex> lock(mu);
            pnpState = PnpState::Stopped;
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_SURPRISE_REMOVAL: {
            std::lock_guard<std::mutex> lock(mu);
            pnpState = PnpState::SurpriseRemoved;
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = location->Parameters.DeviceCapabilities.Capabilities;
            USHORT size = caps->Size;
            USHORT version = caps->Version;
            {
                std::lock_guard<std::mutex> lock(mu);
                *caps = spec.capabilities ? *spec.capabilities : DefaultCapabilities();
            }
            caps->Size = size;
            caps->Version = version;
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_REMOVE_DEVICE: {
            // Whatever is still held ends: wake-up can no longer come, transfers have no device.
            std::vector<std::pair<PIRP, bool>> held;
            {
                std::lock_guard<std::mutex> lock(mu);
                for (auto it = pending.begin(); it != pending.end();) {
                    if (IoSetCancelRoutine(it->irp, nullptr) != nullptr) {
                        held.emplace_back(it->irp, it->waitWake);
                        it = pending.erase(it);
                    } else {
                        ++it;
                    }
                }
                configurationValue = 0;
                ++generation;
                pnpState = PnpState::Removed;
            }
            for (auto [held_irp, waitWake] : held) {
                if (waitWake) PoStartNextPowerIrp(held_irp);
                if (PURB urb = UrbOf(held_irp)) Answer(urb, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
                held_irp->IoStatus.Information = 0;
                Complete(held_irp, STATUS_NO_SUCH_DEVICE);
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_DEVICE_USAGE_NOTIFICATION:
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        default:
            break;  // not handled: the status stays as it came
    }
    return CompleteNowOrLater(irp, irp->IoStatus.Status);
}

NTSTATUS Instrument::State::DispatchPower(PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MinorFunction == IRP_MN_WAIT_WAKE) {
        // Held until the device signals wake-up, the request is cancelled, or the device is removed.
        IoMarkIrpPending(irp);
        bool cancelled = false;
        {
            std::lock_guard<std::mutex> lock(mu);
            pending.push_back({irp, Clock::now(), true});
            IoSetCancelRoutine(irp, CancelPending);
            if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr)) {
                pending.remove_if([irp](const PendingRequest& request) { return request.irp == irp; });
                cancelled = true;
            }
        }
        if (cancelled) {
            PoStartNextPowerIrp(irp);
            irp->IoStatus.Information = 0;
            Complete(irp, STATUS_CANCELLED);
        }
        return STATUS_PENDING;
    }
    PoStartNextPowerIrp(irp);
    if (location->MinorFunction == IRP_MN_SET_POWER || location->MinorFunction == IRP_MN_QUERY_POWER) {
        bool device = location->Parameters.Power.Type == DevicePowerState;
        std::lock_guard<std::mutex> lock(mu);
        NTSTATUS status = device ? devicePowerStatus : systemPowerStatus;
        if (location->MinorFunction == IRP_MN_SET_POWER && device && NT_SUCCESS(status)) {
            devicePower = location->Parameters.Power.State.DeviceState;
        }
        irp->IoStatus.Status = status;
    }
    return CompleteNowOrLater(irp, irp->IoStatus.Status);
}

// A host controller moves data by DMA from memory that stays put: every buffer handed to the USB
// stack must be non-paged system memory, or an MDL whose pages are locked.
bool CheckTransferBuffer(PURB urb) {
    PVOID buffer = nullptr;
    PMDL mdl = nullptr;
    ULONG length = 0;
    USHORT function = urb->UrbHeader.Function;
    if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        buffer = urb->UrbBulkOrInterruptTransfer.TransferBuffer;
        mdl = urb->UrbBulkOrInterruptTransfer.TransferBufferMDL;
        length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    } else if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        buffer = urb->UrbControlDescriptorRequest.TransferBuffer;
        mdl = urb->UrbControlDescriptorRequest.TransferBufferMDL;
        length = urb->UrbControlDescriptorRequest.TransferBufferLength;
    } else if (IsVendorOrClass(function)) {
        buffer = urb->UrbControlVendorClassRequest.TransferBuffer;
        mdl = urb->UrbControlVendorClassRequest.TransferBufferMDL;
        length = urb->UrbControlVendorClassRequest.TransferBufferLength;
    } else {
        return true;
    }
    if (length == 0) return true;
    char address[32];
    if (mdl) {
        if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))) {
            verifier::ReportFinding(verifier::Rule::BufferNotNonPaged,
                                    "URB function " + std::to_string(function) +
                                        " with a TransferBufferMDL whose pages are not locked");
            return false;
        }
        return true;
    }
    if (buffer && !IsNonPagedSystemMemory(buffer, length)) {
        snprintf(address, sizeof address, "%p", buffer);
        verifier::ReportFinding(verifier::Rule::BufferNotNonPaged,
                                "URB function " + std::to_string(function) + " with a TransferBuffer of " +
                                    std::to_string(length) + " bytes at " + address +
                                    ", which is not non-paged system memory (a stack or user buffer?)");
        return false;
    }
    return true;
}

// The fields a URB reserves for the USB stack and its host controller: a client driver hands
// them over zeroed, as the stack uses them for its own bookkeeping. A URB from pool that is
// filled without being zeroed carries garbage there.
bool AllZero(const void* start, size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(start);
    for (size_t i = 0; i < length; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

bool CheckReservedFields(PURB urb) {
    USHORT function = urb->UrbHeader.Function;
    size_t length = urb->UrbHeader.Length;
    const char* field = nullptr;
    if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
        length >= sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
        auto& transfer = urb->UrbBulkOrInterruptTransfer;
        if (transfer.UrbLink != nullptr) field = "UrbLink";
        else if (!AllZero(&transfer.hca, sizeof(transfer.hca))) field = "hca";
    } else if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
               length >= sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)) {
        auto& request = urb->UrbControlDescriptorRequest;
        if (request.Reserved != nullptr || request.Reserved0 != 0) field = "Reserved/Reserved0";
        else if (request.UrbLink != nullptr) field = "UrbLink";
        else if (!AllZero(&request.hca, sizeof(request.hca))) field = "hca";
        else if (request.Reserved1 != 0 || request.Reserved2 != 0) field = "Reserved1/Reserved2";
    } else if ((function == URB_FUNCTION_ABORT_PIPE ||
                function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL ||
                function == URB_FUNCTION_SYNC_RESET_PIPE || function == URB_FUNCTION_SYNC_CLEAR_STALL) &&
               length >= sizeof(struct _URB_PIPE_REQUEST)) {
        if (urb->UrbPipeRequest.Reserved != 0) field = "Reserved";
    } else if (IsVendorOrClass(function) && length >= sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)) {
        auto& request = urb->UrbControlVendorClassRequest;
        if (request.UrbLink != nullptr) field = "UrbLink";
        else if (!AllZero(&request.hca, sizeof(request.hca))) field = "hca";
    }
    if (field == nullptr) return true;
    verifier::ReportFinding(verifier::Rule::UrbReservedNotZero,
                            "URB function " + std::to_string(function) + " with " + field + " not zero");
    return false;
}

NTSTATUS Instrument::State::Dispatch(PDEVICE_OBJECT, PIRP irp) {
    std::optional<RequestFault> fault = Log(irp);
    if (PURB urb = UrbOf(irp)) {
        // The controller would take the memory for DMA; the stand-in refuses to touch it.
        if (!CheckTransferBuffer(urb) || !CheckReservedFields(urb)) {
            irp->IoStatus.Information = 0;
            return Complete(irp, Answer(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER));
        }
        if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
            urb->UrbHeader.Length >= sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
            std::lock_guard<std::mutex> lock(mu);
            requestedLength[urb] = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
            urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        }
    }
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    switch (location->MajorFunction) {
        case IRP_MJ_PNP:
            return DispatchPnp(irp);
        case IRP_MJ_POWER:
            return DispatchPower(irp);
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            break;
        default:
            irp->IoStatus.Information = 0;
            return Complete(irp, STATUS_NOT_SUPPORTED);
    }
    std::vector<Completion> others;
    std::optional<NTSTATUS> status;
    bool cancelled = false;
    Clock::time_point due = Clock::now();
    {
        std::lock_guard<std::mutex> lock(mu);
        if (fault && *fault != RequestFault::NeverAnswer) {
            NTSTATUS failed = AnswerFaultLocked(irp, *fault);
            irp->IoStatus.Information = 0;
            return CompleteNowOrLater(irp, failed);
        }
        if (completeAtOnce && !fault) status = ProcessLocked(irp, others);
        if (!status) {
            due += delay;
            IoMarkIrpPending(irp);
            pending.push_back({irp, due, false, fault.has_value()});
            IoSetCancelRoutine(irp, CancelPending);
            if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr)) {
                pending.remove_if([irp](const PendingRequest& request) { return request.irp == irp; });
                if (PURB urb = UrbOf(irp)) Answer(urb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
                cancelled = true;
            }
        }
    }
    for (auto [other, otherStatus] : others) {
        other->IoStatus.Information = 0;
        Complete(other, otherStatus);
    }
    if (status) return Complete(irp, *status);
    if (cancelled) {
        irp->IoStatus.Information = 0;
        Complete(irp, STATUS_CANCELLED);
    } else {
        Kick(due);
    }
    return STATUS_PENDING;
}

// --- Failure injection

bool CanStall(const RequestRecord& request) {
    if (request.major != IRP_MJ_INTERNAL_DEVICE_CONTROL || request.ioControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        return false;
    }
    switch (request.urbFunction) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        case URB_FUNCTION_SELECT_CONFIGURATION:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_CLEAR_STALL:
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return true;
        default:
            return IsVendorOrClass(request.urbFunction);
    }
}

// Numbers the internal device-control request just logged; returns the fault to apply when it is
// the one chosen.
std::optional<RequestFault> Instrument::State::TakeFaultLocked() {
    unsigned number = ++requestCount;
    if (failRequestAt == 0 || number != failRequestAt) return std::nullopt;
    failRequestAt = 0;
    if (requestFault == RequestFault::Stall && !CanStall(log.back())) return std::nullopt;
    failedRequest = log.size() - 1;
    return requestFault;
}

// The answer of a request that fails with an error or a stall: nothing is moved, and a bulk or
// interrupt endpoint halts until a pipe reset, as after a real transaction error or STALL.
NTSTATUS Instrument::State::AnswerFaultLocked(PIRP irp, RequestFault fault) {
    NTSTATUS status = fault == RequestFault::Stall ? STATUS_UNSUCCESSFUL : requestFaultStatus;
    USBD_STATUS usbdStatus = fault == RequestFault::Stall ? USBD_STATUS_STALL_PID : USBD_STATUS_XACT_ERROR;
    PURB urb = UrbOf(irp);
    if (!urb) return status;
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            if (urb->UrbHeader.Length >= sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)) {
                urb->UrbControlDescriptorRequest.TransferBufferLength = 0;
            }
            break;
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            if (urb->UrbHeader.Length >= sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
                urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
                if (Pipe* pipe = LookupLocked(urb->UrbBulkOrInterruptTransfer.PipeHandle)) pipe->halted = true;
            }
            break;
        default:
            if (IsVendorOrClass(urb->UrbHeader.Function) &&
                urb->UrbHeader.Length >= sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)) {
                urb->UrbControlVendorClassRequest.TransferBufferLength = 0;
            }
            break;
    }
    return Answer(urb, status, usbdStatus);
}

void Instrument::FailRequestAt(unsigned n, RequestFault fault, NTSTATUS errorStatus) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->failRequestAt = n == 0 ? 0 : state_->requestCount + n;
    state_->requestFault = fault;
    state_->requestFaultStatus = errorStatus;
    state_->failedRequest.reset();
}

unsigned Instrument::RequestCount() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->requestCount;
}

std::optional<size_t> Instrument::FailedRequest() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->failedRequest;
}

// --- Instrument

Instrument::Instrument(InstrumentSpec spec) : state_(std::make_shared<State>()) {
    state_->deviceDescriptor = DeviceDescriptorBytes(spec);
    state_->configuration = ConfigurationBytes(spec);
    state_->spec = std::move(spec);
}

Instrument::~Instrument() {
    DeletePdo();
    state_->StopTimer();
}

PDEVICE_OBJECT Instrument::PlugIn(const PdoOptions& options) {
    PDEVICE_OBJECT pdo = CreateTestPdo(options);
    if (!pdo) return nullptr;
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        registry[pdo] = state_;
    }
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        state_->pdo = pdo;
        state_->pdoName = DeviceName(pdo);
    }
    std::weak_ptr<State> weak = state_;
    SetPdoDispatch(pdo, [weak](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
        if (auto state = weak.lock()) return state->Dispatch(device, irp);
        irp->IoStatus.Information = 0;
        return Complete(irp, STATUS_NO_SUCH_DEVICE);
    });
    return pdo;
}

PDEVICE_OBJECT Instrument::Pdo() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->pdo;
}

void Instrument::DeletePdo() {
    PDEVICE_OBJECT pdo;
    std::u16string name;
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        pdo = state_->pdo;
        name = state_->pdoName;
        state_->pdo = nullptr;
    }
    if (!pdo) return;
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        registry.erase(pdo);
    }
    // The kernel may have been reset since, taking the PDO with it.
    if (FindDevice(name) == pdo) DeleteTestPdo(pdo);
}

void Instrument::SetStartStatus(NTSTATUS status) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->spec.startStatus = status;
}

void Instrument::SetVendorAnswer(ControlAnswer answer) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->spec.vendorAnswer = answer;
}

void Instrument::SetStringAnswer(ControlAnswer answer) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->stringAnswer = answer;
}

void Instrument::SetSelectConfigurationStatus(NTSTATUS status) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->selectStatus = status;
}

void Instrument::SetResetPortStatus(NTSTATUS status) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->resetPortStatus = status;
}

void Instrument::SetPowerStatus(POWER_STATE_TYPE type, NTSTATUS status) {
    std::lock_guard<std::mutex> lock(state_->mu);
    (type == DevicePowerState ? state_->devicePowerStatus : state_->systemPowerStatus) = status;
}

void Instrument::SetDelay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->delay = delay;
}

void Instrument::SetCompleteAtOnce(bool atOnce) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->completeAtOnce = atOnce;
}

void Instrument::SetPortEnabled(bool enabled) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->portEnabled = enabled;
}

void Instrument::QueueIn(UCHAR endpointAddress, const Bytes& data, bool zeroLengthPacket) {
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        Pipe& pipe = state_->pipes[endpointAddress];
        if (pipe.endpoint.maxPacketSize == 0 || pipe.endpoint.address != endpointAddress) {
            // Not selected yet: take the packet size from the instrument description.
            pipe.endpoint.address = endpointAddress;
            for (const InterfaceSpec& interface : state_->spec.interfaces) {
                for (const EndpointSpec& endpoint : interface.endpoints) {
                    if (endpoint.address == endpointAddress) pipe.endpoint = endpoint;
                }
            }
        }
        size_t unit = pipe.endpoint.maxPacketSize ? pipe.endpoint.maxPacketSize : 64;
        for (size_t offset = 0; offset < data.size(); offset += unit) {
            size_t count = std::min(unit, data.size() - offset);
            pipe.inPackets.emplace_back(data.begin() + offset, data.begin() + offset + count);
        }
        if (zeroLengthPacket) pipe.inPackets.emplace_back();
    }
    state_->Kick(Clock::now());
}

void Instrument::SetLoopback(UCHAR outEndpoint, UCHAR inEndpoint) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->loopback[outEndpoint] = inEndpoint;
}

void Instrument::QueueZeroLengthPacket(UCHAR endpointAddress) { QueueIn(endpointAddress, {}, true); }

size_t Instrument::PendingInBytes(UCHAR endpointAddress) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    auto it = state_->pipes.find(endpointAddress);
    size_t total = 0;
    if (it != state_->pipes.end()) {
        for (const Bytes& packet : it->second.inPackets) total += packet.size();
    }
    return total;
}

OutTransfers Instrument::OutData(UCHAR endpointAddress) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    auto it = state_->pipes.find(endpointAddress);
    return it == state_->pipes.end() ? OutTransfers{} : it->second.out;
}

void Instrument::InjectTransferError(UCHAR endpointAddress, NTSTATUS status, USBD_STATUS usbdStatus) {
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        state_->pipes[endpointAddress].injected = std::make_pair(status, usbdStatus);
    }
    state_->Kick(Clock::now());
}

bool Instrument::Halted(UCHAR endpointAddress) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    auto it = state_->pipes.find(endpointAddress);
    return it != state_->pipes.end() && it->second.halted;
}

void Instrument::Unplug() {
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        state_->connected = false;
        state_->portEnabled = false;
    }
    state_->Kick(Clock::now());
    WaitForDispatchQueue();
}

bool Instrument::Connected() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->connected;
}

bool Instrument::SignalWakeup() {
    PIRP irp = nullptr;
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        for (auto it = state_->pending.begin(); it != state_->pending.end(); ++it) {
            if (it->waitWake && IoSetCancelRoutine(it->irp, nullptr) != nullptr) {
                irp = it->irp;
                state_->pending.erase(it);
                break;
            }
        }
    }
    if (!irp) return false;
    RunAtDispatchLevel([irp] {
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Information = 0;
        Complete(irp, STATUS_SUCCESS);
    });
    return true;
}

bool Instrument::WaitWakeHeld() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return std::any_of(state_->pending.begin(), state_->pending.end(),
                       [](const PendingRequest& request) { return request.waitWake; });
}

std::vector<RequestRecord> Instrument::Log() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->log;
}

void Instrument::ClearLog() {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->log.clear();
}

size_t Instrument::CountUrbs(USHORT function) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return std::count_if(state_->log.begin(), state_->log.end(), [function](const RequestRecord& record) {
        return record.ioControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB && record.urbFunction == function;
    });
}

size_t Instrument::CountIoctls(ULONG code) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return std::count_if(state_->log.begin(), state_->log.end(), [code](const RequestRecord& record) {
        return record.major == IRP_MJ_INTERNAL_DEVICE_CONTROL && record.ioControlCode == code;
    });
}

size_t Instrument::PendingRequests() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->pending.size();
}

bool Instrument::Configured() const { return ConfigurationValue() != 0; }

UCHAR Instrument::ConfigurationValue() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->configurationValue;
}

unsigned Instrument::PortResets() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->portResets;
}

unsigned Instrument::PipeResets(UCHAR endpointAddress) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    auto it = state_->pipes.find(endpointAddress);
    return it == state_->pipes.end() ? 0 : it->second.resets;
}

unsigned Instrument::PipeAborts(UCHAR endpointAddress) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    auto it = state_->pipes.find(endpointAddress);
    return it == state_->pipes.end() ? 0 : it->second.aborts;
}

DEVICE_POWER_STATE Instrument::DevicePower() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->devicePower;
}

}  // namespace kstandin::usb
