// Control codes of the simulated USB bus's control device "\\.\KsUsbSimControl", shared by the
// bus driver and the test tool. Every code is METHOD_BUFFERED; the input starts with the
// instrument's index as a 32-bit word.
#pragma once

#define KSUSBSIM_CONTROL_NAME L"\\\\.\\KsUsbSimControl"

// Bus-defined device type and codes, outside the range Windows reserves.
#define KSUSBSIM_DEVICE_TYPE 0x8000u
#define KSUSBSIM_CODE(function)                                                                    \
    (((KSUSBSIM_DEVICE_TYPE) << 16) |                                                              \
     ((unsigned)(function) << 2) /* METHOD_BUFFERED, FILE_ANY_ACCESS */)

// in: index, then bytes the instrument sends on its bulk IN pipe (appended to its queue)
#define IOCTL_KSUSBSIM_QUEUE_IN KSUSBSIM_CODE(0x800)
// in: index; out: the bulk OUT bytes kept so far, which are taken out of the instrument
#define IOCTL_KSUSBSIM_TAKE_KEPT KSUSBSIM_CODE(0x801)
// in: index, mode bits
#define IOCTL_KSUSBSIM_SET_MODES KSUSBSIM_CODE(0x802)
// in: index; out: SimCounters
#define IOCTL_KSUSBSIM_GET_COUNTERS KSUSBSIM_CODE(0x803)
// in: index: the instrument is pulled out of its port
#define IOCTL_KSUSBSIM_UNPLUG KSUSBSIM_CODE(0x804)

// Bulk IN transfers are filled with a counting pattern (byte i of the stream is i mod 251)
// instead of from the queue, without end: a source for throughput runs.
#define KSUSBSIM_MODE_ENDLESS_IN 0x1
// Bulk OUT data is counted but not kept: a sink for throughput runs.
#define KSUSBSIM_MODE_DISCARD_OUT 0x2

#define kSimMaxInstruments 4

struct SimCounters {
    unsigned int vendorProbes;     // vendor requests received
    unsigned int selects;          // select-configuration requests (deconfigure included)
    unsigned int inTransfers;      // bulk IN transfers completed, whatever their status
    unsigned int outTransfers;     // bulk OUT transfers completed
    unsigned int inPending;        // bulk IN transfers waiting now
    unsigned int inQueued;         // bytes queued for bulk IN now
    unsigned int keptBytes;        // bulk OUT bytes kept now
    unsigned int largestInRequest; // largest TransferBufferLength of a bulk IN transfer
    unsigned int cancelledIn;      // bulk IN transfers that ended cancelled or aborted
    unsigned int outBytesTotal;    // bulk OUT bytes received since the start, kept or not
    unsigned int opens;            // opens the alias passed to the function driver
    unsigned int lastOpenStatus;   // the function driver's status for the latest of them
};
