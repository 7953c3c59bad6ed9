// Read path benchmark: the driver loaded into the kernel stand-in, in front of an instant
// instrument that always has data ready (every IN transfer is filled at once, in the caller's
// thread). Each case reads until the total is delivered and prints ratios measured side by side
// in the same run: throughput against memcpy of 64 KiB blocks, IN transfers per MiB and the
// length each asked for, and the wall time per request that went to the bus against the 123 us
// a 64 KiB transfer occupies a high-speed bus (13 x 512 bytes per 125 us microframe).
//
// The wall time includes the stand-ins' own bookkeeping (requests, verifier, the simulated bus):
// it bounds the driver's share from above. The driver's own cost is counted by scripts/bench
// --instructions under callgrind, which collects only inside MeasureReads and CopyBaseline.
#include <kstandin/kernel.h>
#include <kstandin/usb.h>

#include "kestrune.h"
#include "kestrune_ioctl.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kBusMicrosecondsPer64KiB = 123.0;

struct Case {
    ULONG readLength;
    ULONG chunkSize;
};

const Case kCases[] = {{512, 65536}, {4096, 65536}, {65536, 65536}, {512, 2048}};

// The bus: bulk IN transfers are filled from a pattern and completed at once; anything else
// (after the start: the removal's requests) succeeds.
struct InstantBus {
    std::vector<UCHAR> pattern = std::vector<UCHAR>(65536);
    unsigned long long transfers = 0;
    ULONG lastLength = 0;
    bool sameLength = true;

    InstantBus() {
        for (size_t i = 0; i < pattern.size(); ++i) {
            pattern[i] = static_cast<UCHAR>(i * 31 + 7);
        }
    }

    NTSTATUS Dispatch(PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        NTSTATUS status = STATUS_SUCCESS;
        if (location->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
            location->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
            auto* urb = static_cast<PURB>(location->Parameters.Others.Argument1);
            if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
                auto& transfer = urb->UrbBulkOrInterruptTransfer;
                ULONG length = transfer.TransferBufferLength;
                memcpy(transfer.TransferBuffer, pattern.data(), length);
                if (transfers != 0 && length != lastLength) {
                    sameLength = false;
                }
                lastLength = length;
                ++transfers;
            }
        }
        if (location->MajorFunction == IRP_MJ_POWER) {
            PoStartNextPowerIrp(irp);
        }
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
};

struct Result {
    double seconds = 0;
    unsigned long long transfers = 0;
    ULONG transferLength = 0;
    bool sameLength = true;
    unsigned long long delivered = 0;
};

// Reads `total` bytes in reads of `length`; noinline so that callgrind can collect inside it.
__attribute__((noinline)) unsigned long long MeasureReads(PFILE_OBJECT file, ULONG length,
                                                         unsigned long long total,
                                                         std::vector<UCHAR>& buffer) {
    unsigned long long delivered = 0;
    while (delivered < total) {
        kstandin::IrpResult result = kstandin::Read(file, buffer.data(), length);
        if (result.status != STATUS_SUCCESS || result.information != length) {
            std::fprintf(stderr, "read of %lu failed: status 0x%08lx, %lu bytes\n",
                         static_cast<unsigned long>(length),
                         static_cast<unsigned long>(result.status),
                         static_cast<unsigned long>(result.information));
            std::exit(1);
        }
        delivered += result.information;
    }
    return delivered;
}

__attribute__((noinline)) void CopyBaseline(UCHAR* destination, const UCHAR* source, size_t piece,
                                            unsigned long long total) {
    for (unsigned long long copied = 0; copied < total; copied += piece) {
        memcpy(destination, source, piece);
        asm volatile("" : : "r"(destination) : "memory");
    }
}

double MemcpySeconds(size_t piece, unsigned long long total) {
    std::vector<UCHAR> source(65536, 0x5A), destination(65536);
    CopyBaseline(destination.data(), source.data(), piece, piece);  // warm
    Clock::time_point start = Clock::now();
    CopyBaseline(destination.data(), source.data(), piece, total);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

Result RunCase(const std::string& driverPath, const Case& each, unsigned long long total) {
    kstandin::ResetKernel();
    NTSTATUS entry = STATUS_UNSUCCESSFUL;
    std::string error;
    auto driver = kstandin::LoadedDriver::Load(driverPath, u"\\Registry\\Machine\\System\\"
                                                           u"CurrentControlSet\\Services\\kestrune",
                                               &entry, &error);
    if (!driver) {
        std::fprintf(stderr, "the driver did not load: %s\n", error.c_str());
        std::exit(1);
    }
    kstandin::usb::Instrument instrument(kstandin::usb::BulkInstrument());
    PDEVICE_OBJECT pdo = instrument.PlugIn();
    if (driver->AddDevice(pdo) != STATUS_SUCCESS || kstandin::pnp::Start(pdo) != STATUS_SUCCESS) {
        std::fprintf(stderr, "the instrument did not start\n");
        std::exit(1);
    }
    auto* record = static_cast<DeviceRecord*>(kstandin::TopOfStack(pdo)->DeviceExtension);
    kstandin::OpenResult pipe = kstandin::OpenFile(kstandin::ToU16(record->interfaceName) + u"\\ep00");
    if (pipe.status != STATUS_SUCCESS) {
        std::fprintf(stderr, "the pipe did not open\n");
        std::exit(1);
    }
    ULONG chunk = each.chunkSize;
    kstandin::DeviceControl(pipe.file, IOCTL_KESTRUNE_SET_READ_CHUNK_SIZE, &chunk, sizeof(chunk),
                            nullptr, 0);

    InstantBus bus;
    kstandin::SetPdoDispatch(pdo, [&bus](PDEVICE_OBJECT, PIRP irp) { return bus.Dispatch(irp); });
    std::vector<UCHAR> buffer(each.readLength);
    MeasureReads(pipe.file, each.readLength, each.readLength, buffer);  // warm
    bus.transfers = 0;
    bus.sameLength = true;
    // Start from an empty buffer: what the warm-up left is read first.
    LONG left = record->readBufferCount;
    if (left > 0) {
        std::vector<UCHAR> drain(static_cast<size_t>(left));
        kstandin::Read(pipe.file, drain.data(), static_cast<ULONG>(left));
    }
    bus.transfers = 0;

    Result result;
    Clock::time_point start = Clock::now();
    result.delivered = MeasureReads(pipe.file, each.readLength, total, buffer);
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.transfers = bus.transfers;
    result.transferLength = bus.lastLength;
    result.sameLength = bus.sameLength;

    kstandin::CloseFile(pipe.file);
    kstandin::pnp::Remove(pdo);
    instrument.DeletePdo();
    driver->Unload();
    return result;
}

} // namespace

int main(int argc, char** argv) {
    unsigned long long totalMiB = 16;
    int only = -1;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--total-mib" && i + 1 < argc) {
            totalMiB = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--case" && i + 1 < argc) {
            only = std::atoi(argv[++i]);
        } else if (arg == "--baseline" && i + 1 < argc) {
            // Only memcpy in pieces of the given size, for callgrind.
            size_t piece = std::strtoull(argv[++i], nullptr, 10);
            MemcpySeconds(piece, totalMiB << 20);
            return 0;
        } else {
            std::fprintf(stderr,
                         "usage: %s [--total-mib N] [--case INDEX] [--baseline PIECE]\n", argv[0]);
            return 2;
        }
    }
    unsigned long long total = totalMiB << 20;
    kstandin::verifier::SetHandler([](const kstandin::verifier::Finding& finding) {
        std::fprintf(stderr, "driver verifier: %s: %s\n",
                     kstandin::verifier::RuleName(finding.rule), finding.message.c_str());
        std::abort();
    });

    std::printf("read path, %llu MiB per case; ratios of the same run\n", totalMiB);
    for (int index = 0; index < static_cast<int>(sizeof(kCases) / sizeof(kCases[0])); ++index) {
        if (only >= 0 && index != only) {
            continue;
        }
        const Case& each = kCases[index];
        Result result = RunCase(KESTRUNE_DRIVER_PATH, each, total);
        double memcpy64k = MemcpySeconds(65536, total);
        double mib = static_cast<double>(result.delivered) / (1 << 20);
        double reads = static_cast<double>(result.delivered) / each.readLength;
        double perReadUs = result.seconds * 1e6 / reads;
        double perTransferUs =
            result.transfers != 0 ? result.seconds * 1e6 / static_cast<double>(result.transfers) : 0;
        std::printf("case %d: reads of %lu, chunk %lu: throughput / memcpy(64 KiB) %.3f; "
                    "IN transfers per MiB %.2f, each asking %lu%s; wall per read %.2f us; "
                    "wall per IN transfer %.2f us = %.3f x 123 us (stand-ins included)\n",
                    index, static_cast<unsigned long>(each.readLength),
                    static_cast<unsigned long>(each.chunkSize), memcpy64k / result.seconds,
                    static_cast<double>(result.transfers) / mib,
                    static_cast<unsigned long>(result.transferLength),
                    result.sameLength ? "" : " (varying)", perReadUs, perTransferUs,
                    perTransferUs / kBusMicrosecondsPer64KiB);
    }
    double memcpy512 = MemcpySeconds(512, total);
    double memcpy64k = MemcpySeconds(65536, total);
    std::printf("memcpy in 512-byte pieces / memcpy in 64 KiB pieces: %.3f\n",
                memcpy64k / memcpy512);
    return 0;
}
