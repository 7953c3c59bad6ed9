// Request mechanics: stack locations, completion routines and their invoke bits, PendingReturned,
// STATUS_MORE_PROCESSING_REQUIRED, threaded requests, and cancel.
#include "test_stack.h"

#include <atomic>

using namespace kstandin;
using namespace kstandin::testing;

namespace {

struct Seen {
    std::atomic<int> calls{0};
    PDEVICE_OBJECT device = nullptr;
    BOOLEAN pendingReturned = FALSE;
    NTSTATUS result = STATUS_SUCCESS;
};

NTSTATUS NTAPI RecordCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto seen = static_cast<Seen*>(context);
    seen->device = device;
    seen->pendingReturned = irp->PendingReturned;
    ++seen->calls;
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return seen->result;
}

NTSTATUS NTAPI SignalAndHold(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A bus that completes at once with `status`.
void CompleteAtOnce(PDEVICE_OBJECT pdo, NTSTATUS status, ULONG_PTR information = 0) {
    SetPdoDispatch(pdo, [status, information](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    });
}

// A bus that pends and completes later on the dispatch-level thread.
void CompleteLater(PDEVICE_OBJECT pdo, NTSTATUS status) {
    SetPdoDispatch(pdo, [status](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        QueueAtDispatchLevel([irp, status] {
            irp->IoStatus.Status = status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
    });
}

class IrpTest : public StackTest {};

TEST_F(IrpTest, SkipSharesTheStackLocationAndCopyUsesTheNextOne) {
    PIO_STACK_LOCATION lowerLocation = nullptr;
    ULONG lowerCode = 0;
    SetPdoDispatch(pdo, [&](PDEVICE_OBJECT, PIRP irp) {
        lowerLocation = IoGetCurrentIrpStackLocation(irp);
        lowerCode = lowerLocation->Parameters.DeviceIoControl.IoControlCode;
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    PIO_STACK_LOCATION upperLocation = nullptr;
    bool copy = false;
    SetHandler([&](PDEVICE_OBJECT device, PIRP irp) {
        upperLocation = IoGetCurrentIrpStackLocation(irp);
        if (!copy)
            return PassDown(device, irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(lower, irp);
    });
    auto fill = [](PIRP, PIO_STACK_LOCATION location) {
        location->Parameters.DeviceIoControl.IoControlCode = 0x1234;
    };

    EXPECT_EQ(SendIrp(fdo, IRP_MJ_DEVICE_CONTROL, 0, fill).status, STATUS_SUCCESS);
    EXPECT_EQ(lowerLocation, upperLocation);
    EXPECT_EQ(lowerCode, 0x1234u);

    copy = true;
    EXPECT_EQ(SendIrp(fdo, IRP_MJ_DEVICE_CONTROL, 0, fill).status, STATUS_SUCCESS);
    EXPECT_EQ(lowerLocation, upperLocation - 1);
    EXPECT_EQ(lowerCode, 0x1234u);
}

TEST_F(IrpTest, CompletionRoutinesRunByTheirInvokeBits) {
    Seen seen;
    bool onSuccess = true, onError = false;
    SetHandler([&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RecordCompletion, &seen, onSuccess, onError, FALSE);
        return IoCallDriver(lower, irp);
    });
    CompleteAtOnce(pdo, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(SendIrp(fdo, IRP_MJ_READ).status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(seen.calls, 0) << "an error does not invoke a routine set for success only";

    CompleteAtOnce(pdo, STATUS_SUCCESS);
    IrpResult result = SendIrp(fdo, IRP_MJ_READ);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.returned, STATUS_SUCCESS);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.device, fdo) << "the routine gets the device of the driver that set it";
    EXPECT_FALSE(seen.pendingReturned);

    onSuccess = false;
    onError = true;
    CompleteAtOnce(pdo, STATUS_DEVICE_DATA_ERROR);
    SendIrp(fdo, IRP_MJ_READ);
    EXPECT_EQ(seen.calls, 2);
}

TEST_F(IrpTest, PendingReturnedTravelsUpward) {
    Seen seen;
    SetHandler([&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RecordCompletion, &seen, TRUE, TRUE, TRUE);
        return IoCallDriver(lower, irp);
    });
    CompleteLater(pdo, STATUS_SUCCESS);
    IrpResult result = SendIrp(fdo, IRP_MJ_READ);
    EXPECT_EQ(result.returned, STATUS_PENDING);
    EXPECT_TRUE(result.completed);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_TRUE(seen.pendingReturned);

    // Without a completion routine the I/O manager marks the upper location itself.
    SetHandler(PassDown);
    result = SendIrp(fdo, IRP_MJ_READ);
    EXPECT_EQ(result.returned, STATUS_PENDING);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_TRUE(verifier::Findings().empty());
}

TEST_F(IrpTest, MoreProcessingRequiredHandsTheRequestBackForRecompletion) {
    SetHandler([&](PDEVICE_OBJECT, PIRP irp) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SignalAndHold, &event, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(lower, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = irp->IoStatus.Status;
        }
        // The request is ours again: its lower location has been used up.
        EXPECT_EQ(irp->CurrentLocation, irp->StackCount);
        NTSTATUS final = status == STATUS_SUCCESS ? STATUS_DEVICE_BUSY : status;
        irp->IoStatus.Status = final;
        irp->IoStatus.Information = 7;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return final;
    });
    CompleteLater(pdo, STATUS_SUCCESS);
    IrpResult result = SendIrp(fdo, IRP_MJ_PNP, IRP_MN_START_DEVICE);
    EXPECT_EQ(result.returned, STATUS_DEVICE_BUSY);
    EXPECT_EQ(result.status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(result.information, 7u);
    EXPECT_EQ(OutstandingIrps(), 0u);
}

TEST_F(IrpTest, ThreadedRequestSignalsEventFillsStatusBlockAndCopiesOutput) {
    SetPdoDispatch(pdo, [](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(location->MajorFunction, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(location->Parameters.DeviceIoControl.InputBufferLength, 4u);
        auto buffer = static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer);
        ULONG input = buffer[0];
        IoMarkIrpPending(irp);
        QueueAtDispatchLevel([irp, buffer, input] {
            buffer[0] = input * 2;
            buffer[1] = 0xBEEF;
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 8;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
    });
    KEVENT event;
    IO_STATUS_BLOCK ioStatus{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ULONG input = 21, output[2] = {};
    PIRP irp = IoBuildDeviceIoControlRequest(
        CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), pdo, &input,
        sizeof input, output, sizeof output, FALSE, &event, &ioStatus);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(ioStatus.Information, 8u);
    EXPECT_EQ(output[0], 42u);
    EXPECT_EQ(output[1], 0xBEEFu);
    EXPECT_EQ(OutstandingIrps(), 0u) << "the I/O manager frees a threaded request at completion";

    FailNextIrpAllocation();
    EXPECT_EQ(IoBuildDeviceIoControlRequest(0x220003, pdo, nullptr, 0, nullptr, 0, TRUE, &event,
                                            &ioStatus),
              nullptr);
}

TEST_F(IrpTest, CancelCallsTheCancelRoutineUnderTheCancelLock) {
    static std::atomic<PIRP> held;
    static std::atomic<KIRQL> irqlInRoutine;
    held = nullptr;
    SetPdoDispatch(pdo, [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP cancelled) {
            irqlInRoutine = KeGetCurrentIrql();
            IoReleaseCancelSpinLock(cancelled->CancelIrql);
            held = nullptr;
            cancelled->IoStatus.Status = STATUS_CANCELLED;
            IoCompleteRequest(cancelled, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
    });
    std::shared_ptr<IoRequest> request = StartIrp(fdo, IRP_MJ_READ);
    EXPECT_FALSE(request->Wait(std::chrono::milliseconds(20)));
    EXPECT_TRUE(request->Cancel());
    EXPECT_TRUE(request->Wait(std::chrono::seconds(5)));
    EXPECT_EQ(request->Result().status, STATUS_CANCELLED);
    EXPECT_EQ(irqlInRoutine.load(), DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    // Without a cancel routine IoCancelIrp only sets Cancel; the owner finishes the request.
    SetPdoDispatch(pdo, [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    request = StartIrp(fdo, IRP_MJ_READ);
    PIRP irp = held.load();
    ASSERT_NE(irp, nullptr);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_TRUE(request->Wait(std::chrono::seconds(5)));
    EXPECT_EQ(request->Result().status, STATUS_CANCELLED);
}

TEST_F(IrpTest, DefaultHandlerRejectsAndApplicationBuffersArrive) {
    // The test bus answers what it does not handle with STATUS_NOT_SUPPORTED; a driver's unset
    // major functions reject with STATUS_INVALID_DEVICE_REQUEST.
    EXPECT_EQ(SendIrp(fdo, IRP_MJ_FLUSH_BUFFERS).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(SendIrp(pdo, IRP_MJ_PNP, IRP_MN_QUERY_ID).status, STATUS_NOT_SUPPORTED)
        << "an unhandled PnP request keeps the status it was sent with";

    UCHAR seen[4] = {};
    ULONG seenLength = 0;
    SetPdoDispatch(pdo, [&](PDEVICE_OBJECT, PIRP irp) {
        PMDL mdl = irp->MdlAddress;
        seenLength = mdl ? MmGetMdlByteCount(mdl) : 0;
        if (mdl) {
            auto data = static_cast<UCHAR*>(
                MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | MdlMappingNoExecute));
            memcpy(seen, data, sizeof seen);
            data[0] = 0x55;
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = seenLength;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    PFILE_OBJECT file = CreateFileObject(fdo, u"\\ep01");
    UCHAR data[4] = {1, 2, 3, 4};
    IrpResult result = Write(file, data, sizeof data);
    EXPECT_EQ(result.information, 4u);
    EXPECT_EQ(seen[3], 4);
    EXPECT_EQ(data[0], 0x55) << "direct I/O maps the caller's own buffer";
    EXPECT_EQ(LastMappingPriority(), ULONG(NormalPagePriority | MdlMappingNoExecute));
    result = Read(file, data, 0);
    EXPECT_EQ(seenLength, 0u) << "a zero-length direct read carries no MDL";
    ReleaseFileObject(file);
}

} // namespace
