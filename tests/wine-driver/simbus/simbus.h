// ksusbsim: a root-enumerated USB bus driver that plays scripted instruments for kestrune under
// Wine. The bus's functional device object reports one child physical device object per
// instrument; each child answers the URBs and port requests of the USB stack from its own
// instrument model. Small alias devices open pipes of the function driver above a child with the
// pipe's file name, which Wine does not pass on to IRP_MJ_CREATE itself, and a control device
// lets a test queue bulk IN data, take the bulk OUT data kept, read counters and unplug.
#pragma once

#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>

#include "simbus_control.h"

constexpr ULONG kSimPoolTag = 0x6D695355; // 'U' 'S' 'i' 'm'
constexpr ULONG kMaxPipes = 3;
// Bytes a queue may hold; a test that queues more fails its request instead of exhausting memory.
constexpr ULONG kMaxQueueBytes = 32u << 20;
// The names in each instrument's directory of pipe aliases.
constexpr ULONG kAliasCount = 11;

enum class DeviceKind : ULONG { Bus = 0x42757331, Child, Alias, Control };

struct EndpointModel {
    UCHAR address;    // bEndpointAddress: bit 7 set for IN
    UCHAR attributes; // bmAttributes: 2 bulk, 3 interrupt
    USHORT maxPacket; // wMaxPacketSize
    UCHAR interval;
};

// What an instrument is: its identity, strings, pipes and how it behaves.
struct InstrumentModel {
    USHORT productId;
    USHORT bcdDevice;
    const WCHAR* serial;
    const WCHAR* manufacturer;
    const WCHAR* product;
    UCHAR numEndpoints;
    EndpointModel endpoints[kMaxPipes];
    bool acceptsVendorProbe; // answers the chunk-size probe (else stalls it)
    bool loopback;           // bulk OUT data becomes bulk IN data
    bool zeroLengthPackets;  // ends an IN transfer with a zero-length packet when the data ends
                             // on a full packet
};

extern const InstrumentModel kInstruments[];
extern const ULONG kInstrumentCount;

struct CommonRecord {
    DeviceKind kind;
};

struct ChildRecord;

struct BusRecord {
    CommonRecord common;
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lowerDevice;
    PDEVICE_OBJECT physicalDevice;
    PDEVICE_OBJECT control; // the control device, while the bus is started
    PDEVICE_OBJECT children[kSimMaxInstruments];
    bool started;
};

// Bytes in arrival order: appended at the end, taken from the front without moving the rest.
struct ByteQueue {
    UCHAR* data;
    ULONG start;    // offset of the first byte
    ULONG count;    // bytes held
    ULONG capacity; // bytes allocated
};

struct PipeRecord {
    const EndpointModel* endpoint;
    ChildRecord* child;
};

struct ChildRecord {
    CommonRecord common;
    PDEVICE_OBJECT self;
    BusRecord* bus;
    ULONG index;
    const InstrumentModel* model;
    bool present;         // plugged in: reported in the bus relations
    bool removed;         // the remove request came after the unplug
    KSPIN_LOCK lock;      // guards everything below
    ByteQueue in;         // bytes the device will send on its bulk IN pipe
    ByteQueue kept;       // bytes received on its bulk OUT pipes
    ULONG modes;          // KSUSBSIM_MODE_... bits
    ULONG patternNext;    // next byte of the endless IN pattern
    LIST_ENTRY pendingIn; // bulk IN transfers waiting for data
    SimCounters counters;
    PipeRecord pipes[kMaxPipes];
    HANDLE aliasDirectory;               // "\\??\KsUsbSim<index>"
    PDEVICE_OBJECT aliases[kAliasCount]; // its entries' devices
};

struct AliasRecord {
    CommonRecord common;
    PDEVICE_OBJECT self;
    ChildRecord* child;
    const WCHAR* fileName; // what the function driver sees after the device's name
    UNICODE_STRING link;   // the entry in the instrument's directory
    WCHAR linkText[40];
};

struct ControlRecord {
    CommonRecord common;
    BusRecord* bus;
};

PDRIVER_OBJECT SimDriverObject();
void* AllocateSimPool(SIZE_T size);
void FreeSimPool(void* block);
NTSTATUS CompleteSimRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);

// child.cpp
NTSTATUS CreateChild(BusRecord* bus, ULONG index);
void DeleteChild(ChildRecord* child);
NTSTATUS DispatchChildPnp(ChildRecord* child, PIRP irp);
NTSTATUS DispatchChildInternalControl(ChildRecord* child, PIRP irp);
NTSTATUS QueueInData(ChildRecord* child, const UCHAR* data, ULONG length);
ULONG TakeKeptData(ChildRecord* child, UCHAR* destination, ULONG length);
void SetChildModes(ChildRecord* child, ULONG modes);
void ReadChildCounters(ChildRecord* child, SimCounters* counters);
void UnplugChild(ChildRecord* child);

// alias.cpp
NTSTATUS CreateAliases(ChildRecord* child);
void DeleteAliases(ChildRecord* child);
NTSTATUS DispatchAlias(AliasRecord* alias, PIRP irp);
