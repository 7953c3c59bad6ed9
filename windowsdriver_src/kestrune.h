// kestrune: USB bulk device driver. Chief header: the per-device record, the driver-wide
// globals and the routines the driver's files offer one another.
#pragma once

#include <ntddk.h>
#include <usb.h>
// The USB stack's support library has C linkage; not every edition of the header says so.
extern "C" {
#include <usbdlib.h>
}
#include <usbioctl.h>

#include "lock_annotations.h"

// Pool tag of every allocation: the bytes 'B' 'u' 'l' 'k' in memory order.
constexpr ULONG kPoolTag = 0x6B6C7542;

// The read-ahead buffer that bulk IN data passes through.
constexpr ULONG kReadBufferSize = 131072;
// Length of each transfer at creation, until the control codes or the vendor probe change it.
constexpr ULONG kDefaultChunkSize = 2048;
// Device names are "\Device\trelvousb%u" with a number from 0 to kMaxDeviceNumber.
constexpr ULONG kMaxDeviceNumber = 65535;
// Units of deviceName and dosLinkName, the terminating zero included.
constexpr ULONG kNameUnits = 32;
// The maker's own USB vendor ID: only its devices get a DOS device name.
constexpr USHORT kOwnVendorId = KESTRUNE_OWN_VENDOR_ID;
// Time-outs of the requests a silent device could otherwise hold for ever.
constexpr LONG kStringTimeoutMs = 3000;
constexpr LONG kProbeTimeoutMs = 1000;
// The longest any Plug and Play or power request waits for the requests in progress to end. A
// read that waits for data an instrument never sends would otherwise keep a stop or remove query
// (and the Plug and Play thread) or a sleep waiting for ever; past this time the query is refused
// and the power-down aborts the IN transfers instead.
constexpr LONG kDrainTimeoutMs = 3000;
// Every pipe of the first interface is selected with this maximum transfer size.
constexpr ULONG kPipeMaximumTransferSize = 4096;
// Read chunk length of a device that accepts the vendor probe.
constexpr ULONG kLargeChunkSize = 65536;

enum DeviceStateValue : ULONG {
    NotStarted = 0,
    Stopped = 1,
    Working = 2,
    PendingStop = 3,
    PendingRemove = 4,
    SurpriseRemoved = 5,
    Removed = 6,
};

enum QueueStateValue : ULONG {
    HoldRequests = 0,
    AllowRequests = 1,
    FailRequests = 2,
};

// One per device, in the extension of its functional device object, from AddDevice to the end
// of the remove request. Four spin locks guard it; no routine holds two of them at once. The
// fields they guard say so (GUARDED_BY), and the compiler checks every access; AddDevice fills
// the record before any other thread can see it.
struct DeviceRecord {
    PDEVICE_OBJECT self;            // the functional device object that owns the record
    PDEVICE_OBJECT lowerDevice;     // what the attach returned; every request goes down to it
    PDEVICE_OBJECT physicalDevice;  // the PDO: interface registration and power requests
    UNICODE_STRING interfaceName;   // symbolic link of the registered device interface
    DEVICE_CAPABILITIES capabilities;  // as the lower drivers reported them
    PUSB_CONFIGURATION_DESCRIPTOR configDescriptor;  // whole configuration, wTotalLength bytes
    PUSBD_INTERFACE_INFORMATION interfaceInfo;       // the selected interface with its pipes
    // One count per pipe of the handles open on it; creates and closes of one pipe run on
    // several threads at once.
    UCHAR* pipeOpen PT_GUARDED_BY(queueLock);
    // DeviceStateValue; changed under stateLock, read without it through DeviceStateOf.
    ULONG deviceState GUARDED_BY(stateLock);
    ULONG previousState GUARDED_BY(stateLock);  // state before the last transition
    KSPIN_LOCK stateLock;           // guards deviceState, previousState and queueState
    ULONG systemPower;              // SYSTEM_POWER_STATE of the device's system
    ULONG devicePower;              // DEVICE_POWER_STATE of the device
    ULONG queueState GUARDED_BY(stateLock);  // QueueStateValue
    // Reads, writes and control codes that passed the gate while requests were held (the device
    // leaving or out of D0), in arrival order; ProcessPendingQueue sends them on or fails them.
    LIST_ENTRY pendingQueue GUARDED_BY(queueLock);
    // Guards pendingQueue, the counts of pipeOpen, the pipe table's pointers as close reads them,
    // and the serial-number cache.
    KSPIN_LOCK queueLock;
    KEVENT removeEvent;             // signalled when outstandingIo reaches 0
    KEVENT stopEvent;               // signalled when outstandingIo falls back to 1
    // 1 + requests in progress; changed by interlocked operations under ioCountLock.
    LONG outstandingIo GUARDED_BY(ioCountLock);
    KSPIN_LOCK ioCountLock;         // makes a count change and its event update one step
    LONG openHandles;               // open file handles; interlocked
    USHORT vendorId;                // idVendor of the device descriptor
    USHORT productId;               // idProduct of the device descriptor
    UCHAR serialIndex;              // iSerialNumber; 0 when the device has none
    UCHAR serialDescriptor[256] GUARDED_BY(queueLock);  // cached serial number string descriptor
    UCHAR serialCached GUARDED_BY(queueLock);  // 1 once serialDescriptor holds a good read
    ULONG startTick;                // low 32 bits of the tick count at configuration
    WCHAR deviceName[kNameUnits];   // "\Device\trelvousb%u", zero-terminated
    WCHAR dosLinkName[kNameUnits];  // "\DosDevices\trelvousb%s", first unit 0 when no link
    PIRP waitWakeIrp;               // outstanding wait-wake request or null; interlocked
    LONG waitWakeCancelFlag;        // hand-over between cancelling and completing wait-wake
    LONG waitWakeArmed;             // 1 while wait-wake is requested or outstanding
    ULONG remoteWakeup;             // 1 when the configuration supports remote wake-up
    KSPIN_LOCK readBufferLock;      // guards the read-ahead buffer and the read queue below
    // Bulk IN data not yet handed to a read: readBufferCount bytes from readBufferStart on, in
    // arrival order. Takes move the start forward; the bytes are moved to the front only when
    // an IN transfer needs the free end (see transfer.cpp).
    UCHAR readBuffer[kReadBufferSize] GUARDED_BY(readBufferLock);
    LONG readBufferCount GUARDED_BY(readBufferLock);           // valid bytes, from readBufferStart on
    LONG readBufferStart GUARDED_BY(readBufferLock);           // offset of the oldest valid byte
    ULONG readBufferGeneration GUARDED_BY(readBufferLock);     // counts the clears; a transfer built before one is dropped
    ULONG readTransferOffset GUARDED_BY(readBufferLock);       // where the IN transfer in flight writes, and how much;
    ULONG readTransferLength GUARDED_BY(readBufferLock);       // length 0 when none is in flight
    BOOLEAN readTurnTaken GUARDED_BY(readBufferLock);          // one read is past its take: the others wait in readQueue
    // One walk of the read queue at a time passes the turn on (see StartQueuedReads); a walk
    // asked for meanwhile, also from inside the running one, makes it go round once more.
    BOOLEAN readWalkActive GUARDED_BY(readBufferLock);
    BOOLEAN readWalkAgain GUARDED_BY(readBufferLock);
    // TRUE from when the held requests are to be sent on until the work item that sends them
    // finds none left: requests arriving meanwhile queue behind them, so that none overtakes an
    // earlier one of the same application.
    BOOLEAN heldRequestsResuming GUARDED_BY(queueLock);
    LIST_ENTRY readQueue GUARDED_BY(readBufferLock);           // reads waiting for their turn, in arrival order
    // The chunk sizes are single aligned 32-bit values that a control code stores and the
    // transfer paths load without a lock: a load sees the old or the new size, never a mix, and
    // each transfer keeps the length it was built with.
    ULONG writeChunkSize LOCK_FREE_BY_DESIGN;  // reported and set by control codes
    ULONG readChunkSize LOCK_FREE_BY_DESIGN;   // length of each IN transfer
    // A bounded wait for idleness (WaitForIdle): drainEvent, a notification event, is signalled
    // when outstandingIo falls to drainLevel; 0 when nobody waits.
    KEVENT drainEvent;
    LONG drainLevel GUARDED_BY(ioCountLock);
    USB_DEVICE_DESCRIPTOR deviceDescriptor;  // read at configuration
    // 1 while a power-down that waited too long aborts the IN transfers: a read whose transfer
    // comes back then ends as a cancelled read instead of going down again. Interlocked.
    LONG abortingReads;
    // D0 requests that a wake signal asked for and that have not finished; interlocked, and
    // raised only under stateLock while requests are not failed, so that a removal, which sets
    // FailRequests under that lock first, waits for each one asked for before it (CancelWaitWake).
    LONG wakePowerUps;
};

// Platform layouts the driver's requests depend on.
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES layout");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "bulk transfer URB layout");
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "device descriptor layout");
static_assert(sizeof(ULONG) == 4 && sizeof(WCHAR) == 2, "Windows type widths");

// Driver-wide globals. C linkage keeps their names plain in the image.
// driverOptions is one aligned 32-bit value, stored by a control code and loaded without a lock
// by reads: a read acts on the options as they were when it looked.
extern "C" {
extern ULONG driverOptions LOCK_FREE_BY_DESIGN;  // bit 0: reads return what is buffered
extern POOL_TYPE poolType;               // pool type of every allocation
extern UNICODE_STRING registryPathCopy;  // the registry path given to DriverEntry
}
constexpr ULONG kOptionPartialReads = 0x1;

inline DeviceRecord* RecordOf(PDEVICE_OBJECT device) {
    return static_cast<DeviceRecord*>(device->DeviceExtension);
}

// The values that are read without their lock, or have none (deviceState, queueState, the chunk
// sizes, driverOptions), are loaded and stored whole with interlocked operations. An aligned
// 32-bit access is whole on the platform anyway; the interlocked form also tells the compiler,
// which may otherwise split, merge or repeat plain accesses, and race detectors.
inline ULONG LoadWhole(const ULONG* field) {
    return static_cast<ULONG>(
        InterlockedCompareExchange(reinterpret_cast<LONG volatile*>(const_cast<ULONG*>(field)), 0, 0));
}

inline void StoreWhole(ULONG* field, ULONG value) {
    InterlockedExchange(reinterpret_cast<LONG volatile*>(field), static_cast<LONG>(value));
}

// The request gates, and the Plug and Play handlers between their own changes, read deviceState
// without stateLock. That is safe: it is one aligned 32-bit value, so a read sees the state
// before or after a change, never a mix; a request that passed the gate just before a stop or
// remove query holds an I/O reference, and the query waits for it before anything is released;
// and Plug and Play requests, the only writers, come one at a time.
inline ULONG DeviceStateOf(const DeviceRecord* record) NO_THREAD_SAFETY_ANALYSIS {
    return LoadWhole(&record->deviceState);
}

// The read queue reads queueState under readBufferLock instead of stateLock. That is safe for the
// same reasons, and because every writer changes it under stateLock before it calls
// ProcessPendingQueue, which takes readBufferLock to resume or fail the waiting reads: a read
// that queues after the change sees it, and one that queued before is met by that walk.
inline ULONG QueueStateOf(const DeviceRecord* record) NO_THREAD_SAFETY_ANALYSIS {
    return LoadWhole(&record->queueState);
}

// Routines the driver's files share, entry points and dispatch routines included. C linkage
// keeps their names plain, so that the host's tests can also reach them in the loaded image.
extern "C" {

// Entry points the system calls.
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);
VOID NTAPI DriverUnload(PDRIVER_OBJECT driver);

// Dispatch routines.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp);

// Pool and request helpers.
PVOID AllocatePool(LONG size);
PVOID AllocateZeroedPool(LONG size);
VOID FreePool(PVOID block);
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);

// I/O references and the pending-request queue.
LONG AcquireIoReference(DeviceRecord* record) EXCLUDES(record->ioCountLock);
LONG ReleaseIoReference(DeviceRecord* record) EXCLUDES(record->ioCountLock);
VOID ProcessPendingQueue(DeviceRecord* record) EXCLUDES(record->queueLock);
// Waits until at most `level` references are left, or kDrainTimeoutMs; TRUE when idle. At
// PASSIVE_LEVEL; one waiter per device at a time.
BOOLEAN WaitForIdle(DeviceRecord* record, LONG level) EXCLUDES(record->ioCountLock);
// The dispatch routines' second gate: a request that passed the state gate while requests are
// held, or while held ones are still being sent on, is queued in pendingQueue behind them,
// pending and cancellable, and TRUE is returned (the request belongs to the queue now). A held
// request that is being sent on passes, or goes back to the front while requests are held
// again. The caller holds an I/O reference and releases it as usual.
BOOLEAN HoldRequestIfNeeded(DeviceRecord* record, PIRP irp, BOOLEAN resumed)
    EXCLUDES(record->queueLock);
// The control-code dispatch; `resumed` as for DispatchReadWrite.
NTSTATUS DispatchControlRequest(PDEVICE_OBJECT device, PIRP irp, BOOLEAN resumed);
// Completes the held requests and the reads waiting for their turn that belong to a closing
// file, with STATUS_CANCELLED.
VOID CancelRequestsOfFile(DeviceRecord* record, PFILE_OBJECT file);

// Completion routines of the driver's synchronous requests; the context is the waiter's event.
// The first keeps the request for its sender, the second lets its completion go on.
NTSTATUS NTAPI SignalAndHoldCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);
NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);

// Requests to the USB stack that the caller waits for, at PASSIVE_LEVEL.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT device, PURB urb);
NTSTATUS SubmitUrbWithTimeout(PDEVICE_OBJECT device, PURB urb, LONG timeoutMs);
NTSTATUS ReadStringDescriptor(PDEVICE_OBJECT device, UCHAR index, PVOID buffer, ULONG length);
VOID CacheSerialNumberDescriptor(PDEVICE_OBJECT device);
NTSTATUS GetPortStatus(PDEVICE_OBJECT device, PULONG portStatus);
NTSTATUS ResetPort(PDEVICE_OBJECT device);
NTSTATUS EnablePort(PDEVICE_OBJECT device);
NTSTATUS ResetPipe(PDEVICE_OBJECT device, PUSBD_PIPE_INFORMATION pipe);

// Configuration at start, and the pipe aborts of the removal paths.
NTSTATUS ConfigureDevice(PDEVICE_OBJECT device);
NTSTATUS ReadConfigurationDescriptor(PDEVICE_OBJECT device);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT device, PUSB_CONFIGURATION_DESCRIPTOR descriptor);
NTSTATUS AbortPipes(PDEVICE_OBJECT device);
// Aborts the transfers of the open IN pipes only (the power-down that waited too long).
VOID AbortInPipes(PDEVICE_OBJECT device);
VOID CreateDosLink(DeviceRecord* record);

// Wake-up: the wait-wake request armed at start and before deeper system states, and cancelled
// when the device stops or goes away.
NTSTATUS ArmWaitWake(DeviceRecord* record);
VOID CancelWaitWake(DeviceRecord* record);

// Pipe handles and bulk transfers.
// Longest read or write a pipe handle accepts.
constexpr ULONG kMaxTransferLength = 65536;
// The pipe of a pipe handle in the current pipe table; null for a device handle, for a handle
// opened before the last stop, and after stop or removal.
PUSBD_PIPE_INFORMATION PipeOfHandle(DeviceRecord* record, PFILE_OBJECT file);
// `resumed`: a held request being sent on (see HoldRequestIfNeeded).
NTSTATUS DispatchReadWrite(PDEVICE_OBJECT device, PIRP irp, ULONG isRead, BOOLEAN resumed);
NTSTATUS NTAPI OnReadComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);
NTSTATUS NTAPI OnWriteComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);
// Takes up to `wanted` bytes from the front of the read-ahead buffer (all or nothing unless
// partial reads are on); returns the number taken. Up to DISPATCH_LEVEL.
LONG TakeBufferedData(DeviceRecord* record, PVOID destination, LONG wanted)
    EXCLUDES(record->readBufferLock);
// The read queue: set up with the record; ResumeQueuedReads starts the next waiting read when
// the turn is free and requests are allowed, and fails the waiting reads of a device that is
// no longer Working. Up to DISPATCH_LEVEL.
VOID InitializeReadQueue(DeviceRecord* record);
VOID ResumeQueuedReads(DeviceRecord* record) EXCLUDES(record->readBufferLock);
// Completes the reads waiting for their turn that belong to `file` with STATUS_CANCELLED.
VOID CancelQueuedReadsOfFile(DeviceRecord* record, PFILE_OBJECT file)
    EXCLUDES(record->readBufferLock);
// Empties the read-ahead buffer (the clear control code).
VOID EmptyReadBuffer(DeviceRecord* record) EXCLUDES(record->readBufferLock);

}  // extern "C"
