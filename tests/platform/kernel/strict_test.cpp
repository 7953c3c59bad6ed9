// The places where the kernel stand-in is as strict as Windows and more than a forgiving model
// would be; each is shown by a faulty routine that it catches, next to the correct form.
#include "test_stack.h"

#include <algorithm>
#include <cstring>
#include <mutex>

using namespace kstandin;
using namespace kstandin::testing;
using Rule = verifier::Rule;

namespace {

constexpr ULONG kBufferedCode =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

class StrictTest : public StackTest {};

// A control code answered by a routine that writes `written` bytes of 0x11 into the system buffer
// and reports `reported` bytes with `status`.
Handler AnswerBuffered(ULONG written, ULONG_PTR reported, NTSTATUS status) {
    return [=](PDEVICE_OBJECT, PIRP irp) {
        memset(irp->AssociatedIrp.SystemBuffer, 0x11, written);
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = reported;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
}

TEST_F(StrictTest, BufferedControlCodesCopyBackWhatTheDriverReports) {
    PFILE_OBJECT file = CreateFileObject(fdo, u"");
    struct Case {
        const char* what;
        ULONG written;
        ULONG_PTR reported;
        NTSTATUS status;
        ULONG outputLength;
        std::vector<UCHAR> expected; // the caller's 8-byte buffer afterwards (0xEE untouched)
        bool finding;
    };
    const UCHAR s = 0x11, f = 0xB9, u = 0xEE; // written by the driver, fill, untouched
    const Case cases[] = {
        {"exact", 4, 4, STATUS_SUCCESS, 8, {s, s, s, s, u, u, u, u}, false},
        // An uninitialised tail is what the system buffer held before, never zeros.
        {"tail never written", 2, 4, STATUS_SUCCESS, 8, {s, s, f, f, u, u, u, u}, false},
        // A warning still copies (STATUS_BUFFER_OVERFLOW returns the part that fits).
        {"warning", 8, 8, STATUS_BUFFER_OVERFLOW, 8, {s, s, s, s, s, s, s, s}, false},
        {"error", 8, 8, STATUS_INVALID_PARAMETER, 8, {u, u, u, u, u, u, u, u}, false},
        {"overrun", 4, 8, STATUS_SUCCESS, 4, {s, s, s, s, u, u, u, u}, true},
        {"no output buffer", 4, 4, STATUS_SUCCESS, 0, {u, u, u, u, u, u, u, u}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetHandler(AnswerBuffered(c.written, c.reported, c.status));
        UCHAR output[8];
        memset(output, u, sizeof output);
        UCHAR input[4] = {};
        IrpResult result;
        auto findings = CaptureFindings([&] {
            // Only the case without an output buffer has an input, or there is no system buffer.
            result = DeviceControl(file, kBufferedCode, c.outputLength ? nullptr : input,
                                   c.outputLength ? 0 : sizeof input,
                                   c.outputLength ? output : nullptr, c.outputLength);
        });
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(std::vector<UCHAR>(output, output + 8), c.expected);
        EXPECT_EQ(HasRule(findings, Rule::InformationExceedsBuffer), c.finding);
    }
    ReleaseFileObject(file);
}

TEST_F(StrictTest, ThreadedBufferedRequestsFollowTheSameCopyRule) {
    SetPdoDispatch(pdo, AnswerBuffered(2, 6, STATUS_SUCCESS));
    KEVENT event;
    IO_STATUS_BLOCK ioStatus{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    UCHAR output[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, pdo, nullptr, 0, output, sizeof output,
                                             FALSE, &event, &ioStatus);
    ASSERT_NE(irp, nullptr);
    auto findings = CaptureFindings([&] { IoCallDriver(pdo, irp); });
    EXPECT_TRUE(HasRule(findings, Rule::InformationExceedsBuffer));
    EXPECT_EQ(output[1], 0x11);
    EXPECT_EQ(output[2], 0xB9) << "the unwritten part shows the system buffer's old contents";
    EXPECT_EQ(output[3], 0xB9);
}

TEST_F(StrictTest, NonExecutablePoolAndMappingsExistFromVersion62On) {
    struct Version {
        ULONG major, minor;
        bool nx;
    };
    for (Version version : {Version{6, 1, false}, Version{6, 2, true}, Version{10, 0, true}}) {
        SCOPED_TRACE(std::to_string(version.major) + "." + std::to_string(version.minor));
        SetOsVersion(version.major, version.minor);
        void* block = nullptr;
        auto findings =
            CaptureFindings([&] { block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 0x6B6C7542); });
        EXPECT_EQ(HasRule(findings, Rule::UnsupportedOnSystemVersion), !version.nx);
        EXPECT_EQ(block != nullptr, version.nx);
        if (block)
            ExFreePoolWithTag(block, 0x6B6C7542);
        // Plain non-paged pool exists everywhere.
        block = ExAllocatePoolWithTag(NonPagedPool, 16, 0x6B6C7542);
        ExFreePoolWithTag(block, 0x6B6C7542);

        UCHAR data[32];
        PMDL mdl = IoAllocateMdl(data, sizeof data, FALSE, FALSE, nullptr);
        MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
        findings = CaptureFindings([&] {
            MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                         NormalPagePriority | MdlMappingNoExecute);
        });
        EXPECT_EQ(HasRule(findings, Rule::UnsupportedOnSystemVersion), !version.nx);
        findings = CaptureFindings([&] {
            MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                         NormalPagePriority);
        });
        EXPECT_TRUE(findings.empty());
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

TEST_F(StrictTest, ACancelRoutineMustReleaseTheCancelSpinLock) {
    auto pend = [](PDRIVER_CANCEL routine) {
        return [routine](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, routine);
            return STATUS_PENDING;
        };
    };
    SetHandler(pend([](PDEVICE_OBJECT, PIRP irp) {
        IoSetCancelRoutine(irp, nullptr);
        irp->IoStatus.Information = 0;
        Complete(irp, STATUS_CANCELLED); // forgets IoReleaseCancelSpinLock
    }));
    auto findings = CaptureFindings([&] { StartIrp(fdo, IRP_MJ_READ)->Cancel(); });
    EXPECT_TRUE(HasRule(findings, Rule::CancelSpinLockNotReleased));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the stand-in released it after reporting";

    SetHandler(pend([](PDEVICE_OBJECT, PIRP irp) {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        Complete(irp, STATUS_CANCELLED);
    }));
    findings = CaptureFindings([&] { StartIrp(fdo, IRP_MJ_READ)->Cancel(); });
    EXPECT_TRUE(findings.empty());
}

TEST_F(StrictTest, BeforeVersion60PowerRequestsGoDownWithPoCallDriver) {
    auto passWith = [this](bool poCallDriver) {
        SetHandler([this, poCallDriver](PDEVICE_OBJECT, PIRP irp) {
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return poCallDriver ? PoCallDriver(lower, irp) : IoCallDriver(lower, irp);
        });
        return CaptureFindings([&] { power::SetSystemPower(pdo, PowerSystemWorking); });
    };
    SetOsVersion(5, 2);
    EXPECT_TRUE(HasRule(passWith(false), Rule::PowerIrpNotSentWithPoCallDriver));
    EXPECT_TRUE(passWith(true).empty());
    SetOsVersion(6, 0);
    EXPECT_TRUE(passWith(false).empty()) << "from 6.0 on IoCallDriver does for power requests";
}

TEST_F(StrictTest, RemovalsCancelsAndSetPowerMustNotFail) {
    struct Case {
        UCHAR major, minor;
        NTSTATUS status;
        bool finding;
    };
    const Case cases[] = {
        {IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, STATUS_UNSUCCESSFUL, true},
        {IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL, STATUS_INSUFFICIENT_RESOURCES, true},
        {IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE, STATUS_UNSUCCESSFUL, true},
        {IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_UNSUCCESSFUL, true},
        {IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE, STATUS_UNSUCCESSFUL, false}, // a query may
        {IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE, STATUS_SUCCESS, false},
        {IRP_MJ_POWER, IRP_MN_SET_POWER, STATUS_UNSUCCESSFUL, true},
        {IRP_MJ_POWER, IRP_MN_SET_POWER, STATUS_NO_SUCH_DEVICE, false}, // the device is gone
        {IRP_MJ_POWER, IRP_MN_QUERY_POWER, STATUS_UNSUCCESSFUL, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.major) + "/" + std::to_string(c.minor) + " " +
                     std::to_string(c.status));
        NTSTATUS status = c.status;
        SetHandler([status](PDEVICE_OBJECT, PIRP irp) {
            if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER)
                PoStartNextPowerIrp(irp);
            return Complete(irp, status);
        });
        auto findings = CaptureFindings([&] {
            if (c.major == IRP_MJ_POWER) {
                power::StartSystemRequest(pdo, c.minor, PowerSystemSleeping1)->Wait();
            } else {
                SendIrp(fdo, c.major, c.minor);
            }
        });
        EXPECT_EQ(HasRule(findings, Rule::RequestMustNotFail), c.finding);
    }
}

TEST_F(StrictTest, AStartIsCompletedOnlyAfterTheLowerDriversFinishedIt) {
    SetHandler([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
    EXPECT_TRUE(
        HasRule(CaptureFindings([&] { pnp::Start(pdo); }), Rule::StartCompletedBeforeLowerDrivers));

    // Forwarded and waited for, the start is the function driver's to complete again.
    SetHandler([this](PDEVICE_OBJECT, PIRP irp) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
                KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
                return STATUS_MORE_PROCESSING_REQUIRED;
            },
            &event, TRUE, TRUE, TRUE);
        if (IoCallDriver(lower, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        return Complete(irp, irp->IoStatus.Status);
    });
    EXPECT_TRUE(CaptureFindings([&] { pnp::Start(pdo); }).empty());
}

TEST_F(StrictTest, ADeletedDeviceStillReferencedAtUnloadIsALeak) {
    PDEVICE_OBJECT referenced = fdo;
    ObReferenceObject(referenced);
    auto findings = CaptureFindings([&] { TearDownStack(); });
    EXPECT_TRUE(HasRule(findings, Rule::DeletedDeviceStillReferenced));
    ObDereferenceObject(referenced);
}

#if !defined(__SANITIZE_ADDRESS__)
TEST_F(StrictTest, AWriteToAFreedRequestIsFoundAtTheEndOfTheTest) {
    SetHandler([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, fdo, nullptr, 0, nullptr, 0, FALSE,
                                             &event, &ioStatus);
    IoCallDriver(fdo, irp);
    irp->IoStatus.Information = 5; // the request was freed at its completion
    // The check every test's teardown runs, long before the quarantine would evict it.
    EXPECT_TRUE(HasRule(CaptureFindings([] { verifier::CheckTeardown(); }),
                        Rule::IrpTouchedAfterCompletion));
}
#endif

TEST_F(StrictTest, RequestsInFlightAtDeviceDeletionAndAtUnloadAreFindings) {
    PIRP held = nullptr;
    SetHandler([&held](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    auto read = StartIrp(fdo, IRP_MJ_READ);
    ASSERT_NE(held, nullptr);
    PIRP own = IoAllocateIrp(4, FALSE); // the driver's own request, never freed
    PDEVICE_OBJECT deleted = fdo;
    ObReferenceObject(deleted); // keeps its memory for the completion below
    auto findings = CaptureFindings([&] { TearDownStack(); });
    size_t count = 0;
    for (const verifier::Finding& finding : findings)
        count += finding.rule == Rule::IrpOutstandingAtDeletion;
    EXPECT_EQ(count, 2u) << "the read at the deleted device and the request left at unload";
    Complete(held, STATUS_CANCELLED);
    EXPECT_TRUE(read->Wait(std::chrono::seconds(5))) << "the held read did not complete";
    IoFreeIrp(own);
    ObDereferenceObject(deleted);
}

TEST_F(StrictTest, ACompletionRoutineStillToComeAtDeviceDeletionIsAFinding) {
    PIRP atBus = nullptr;
    SetPdoDispatch(pdo, [&atBus](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        atBus = irp;
        return STATUS_PENDING;
    });
    bool withRoutine = true;
    SetHandler([this, &withRoutine](PDEVICE_OBJECT device, PIRP irp) {
        if (!withRoutine)
            return PassDown(device, irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP done, PVOID) -> NTSTATUS {
                if (done->PendingReturned)
                    IoMarkIrpPending(done);
                return STATUS_SUCCESS;
            },
            nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(lower, irp);
    });
    for (bool routine : {false, true}) {
        SCOPED_TRACE(routine ? "with a completion routine" : "skipped");
        withRoutine = routine;
        auto request = StartIrp(fdo, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        ASSERT_NE(atBus, nullptr);
        std::vector<verifier::Finding> findings;
        if (!routine) {
            // A device deleted right after a skip: the lower driver finishes on its own.
            PDEVICE_OBJECT other = nullptr;
            IoCreateDevice(driver->Object(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &other);
            findings = CaptureFindings([&] { IoDeleteDevice(other); });
            EXPECT_TRUE(findings.empty());
        } else {
            ObReferenceObject(fdo); // keep the memory for the completion that follows
            PDEVICE_OBJECT deleted = fdo;
            findings = CaptureFindings([&] { TearDownStack(); });
            EXPECT_TRUE(HasRule(findings, Rule::IrpOutstandingAtDeletion));
            Complete(atBus, STATUS_SUCCESS);
            EXPECT_TRUE(request->Wait(std::chrono::seconds(5)));
            ObDereferenceObject(deleted);
            break;
        }
        Complete(atBus, STATUS_SUCCESS);
        EXPECT_TRUE(request->Wait(std::chrono::seconds(5)));
        atBus = nullptr;
    }
}

TEST_F(StrictTest, CloseComesOnlyAfterTheLastRequestOnTheFile) {
    std::vector<PIRP> held;
    std::vector<UCHAR> seen;
    std::mutex mutex;
    SetHandler([&](PDEVICE_OBJECT, PIRP irp) {
        UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(major);
        if (major == IRP_MJ_READ) {
            IoMarkIrpPending(irp);
            held.push_back(irp);
            return STATUS_PENDING;
        }
        return Complete(irp, STATUS_SUCCESS);
    });
    auto closed = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return std::count(seen.begin(), seen.end(), IRP_MJ_CLOSE);
    };
    PFILE_OBJECT file = CreateFileObject(fdo, u"");
    auto first = StartIrp(fdo, IRP_MJ_READ, 0, {}, file);
    auto second = StartIrp(fdo, IRP_MJ_READ, 0, {}, file);
    CloseFile(file);
    EXPECT_EQ(closed(), 0) << "cleanup only while two reads are in flight";
    EXPECT_EQ(seen.back(), IRP_MJ_CLEANUP);
    Complete(held[0], STATUS_CANCELLED);
    EXPECT_TRUE(first->Wait(std::chrono::seconds(5)));
    EXPECT_EQ(closed(), 0);
    Complete(held[1], STATUS_CANCELLED);
    EXPECT_TRUE(second->Wait(std::chrono::seconds(5)));
    WaitForDeferredCloses();
    EXPECT_EQ(closed(), 1) << "the close follows the last request";

    // Nothing in flight: the close comes at once.
    file = CreateFileObject(fdo, u"");
    CloseFile(file);
    EXPECT_EQ(closed(), 2);
}

} // namespace
