// Cancel-safe queues: requests leave in order, a cancelled one is handed to the driver's routine
// exactly once whether the cancel comes before, during or after the insert, a refusing insert
// leaves the request alone, and the verifier finds a request completed while still queued.
#include "test_stack.h"

#include <atomic>
#include <thread>

using namespace kstandin;
using namespace kstandin::testing;
using Rule = verifier::Rule;

namespace {

// One queue for the whole test program; each test starts it empty.
KSPIN_LOCK queueLock;
LIST_ENTRY queueHead;
IO_CSQ queue;
std::atomic<int> cancelledCompletions{0};
std::atomic<bool> refuseInserts{false};

VOID NTAPI InsertIrp(PIO_CSQ, PIRP irp) {
    InsertTailList(&queueHead, &irp->Tail.Overlay.ListEntry);
}
NTSTATUS NTAPI InsertIrpEx(PIO_CSQ csq, PIRP irp, PVOID) {
    if (refuseInserts) {
        return STATUS_DEVICE_BUSY;
    }
    InsertIrp(csq, irp);
    return STATUS_SUCCESS;
}
VOID NTAPI RemoveIrp(PIO_CSQ, PIRP irp) {
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
}
PIRP NTAPI PeekNextIrp(PIO_CSQ, PIRP irp, PVOID) {
    PLIST_ENTRY next = irp == nullptr ? queueHead.Flink : irp->Tail.Overlay.ListEntry.Flink;
    return next == &queueHead ? nullptr : CONTAINING_RECORD(next, IRP, Tail.Overlay.ListEntry);
}
VOID NTAPI AcquireLock(PIO_CSQ, PKIRQL irql) {
    *irql = KeAcquireSpinLockRaiseToDpc(&queueLock);
}
VOID NTAPI ReleaseLock(PIO_CSQ, KIRQL irql) {
    KeReleaseSpinLock(&queueLock, irql);
}
VOID NTAPI CompleteCanceledIrp(PIO_CSQ, PIRP irp) {
    ++cancelledCompletions;
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

bool QueueEmpty() {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&queueLock);
    bool empty = IsListEmpty(&queueHead);
    KeReleaseSpinLock(&queueLock, irql);
    return empty;
}

NTSTATUS CompleteTaken(PIRP irp, ULONG_PTR information) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

class CsqTest : public StackTest {
  protected:
    void SetUp() override {
        StackTest::SetUp();
        KeInitializeSpinLock(&queueLock);
        InitializeListHead(&queueHead);
        cancelledCompletions = 0;
        refuseInserts = false;
    }
    void UseQueue(bool ex) {
        NTSTATUS status =
            ex ? IoCsqInitializeEx(&queue, InsertIrpEx, RemoveIrp, PeekNextIrp, AcquireLock,
                                   ReleaseLock, CompleteCanceledIrp)
               : IoCsqInitialize(&queue, InsertIrp, RemoveIrp, PeekNextIrp, AcquireLock,
                                 ReleaseLock, CompleteCanceledIrp);
        ASSERT_EQ(status, STATUS_SUCCESS);
        // Reads are queued by the function device; every other request passes down.
        SetHandler([](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
            if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) {
                return PassDown(device, irp);
            }
            NTSTATUS status = IoCsqInsertIrpEx(&queue, irp, nullptr, nullptr);
            if (!NT_SUCCESS(status)) {
                irp->IoStatus.Status = status;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return status;
            }
            return STATUS_PENDING;
        });
    }
};

TEST_F(CsqTest, RequestsLeaveInOrderAndACancelledOneIsCompletedByTheDriverOnce) {
    for (bool ex : {false, true}) {
        SCOPED_TRACE(ex ? "IoCsqInitializeEx" : "IoCsqInitialize");
        UseQueue(ex);
        cancelledCompletions = 0;
        std::vector<std::shared_ptr<IoRequest>> reads;
        for (int i = 0; i < 3; ++i) {
            reads.push_back(StartIrp(fdo, IRP_MJ_READ));
            ASSERT_FALSE(reads.back()->Wait(std::chrono::milliseconds(0)));
        }
        ASSERT_TRUE(reads[1]->Cancel());
        ASSERT_TRUE(reads[1]->Wait(std::chrono::seconds(5))) << "cancelled request";
        EXPECT_EQ(reads[1]->Result().status, STATUS_CANCELLED);
        EXPECT_EQ(cancelledCompletions, 1);

        for (ULONG_PTR expected : {0u, 2u}) {
            PIRP irp = IoCsqRemoveNextIrp(&queue, nullptr);
            ASSERT_NE(irp, nullptr);
            EXPECT_EQ(irp, reads[expected]->Irp()) << "arrival order";
            EXPECT_EQ(irp->CancelRoutine, nullptr);
            CompleteTaken(irp, expected);
            ASSERT_TRUE(reads[expected]->Wait(std::chrono::seconds(5))) << "request " << expected;
            EXPECT_EQ(reads[expected]->Result().information, expected);
        }
        EXPECT_EQ(IoCsqRemoveNextIrp(&queue, nullptr), nullptr);
        // A taken request can no longer be cancelled into the driver's routine.
        EXPECT_EQ(cancelledCompletions, 1);
        EXPECT_TRUE(QueueEmpty());
    }
}

TEST_F(CsqTest, ARequestCancelledBeforeItsInsertIsCompletedAtOnce) {
    UseQueue(true);
    SetHandler([](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        // As if the application cancelled while the request was on its way to the queue.
        irp->Cancel = TRUE;
        EXPECT_EQ(IoCsqInsertIrpEx(&queue, irp, nullptr, nullptr), STATUS_SUCCESS);
        return STATUS_PENDING;
    });
    IrpResult result = SendIrp(fdo, IRP_MJ_READ, 0, {}, nullptr, std::chrono::seconds(5));
    ASSERT_TRUE(result.completed);
    EXPECT_EQ(result.status, STATUS_CANCELLED);
    EXPECT_EQ(cancelledCompletions, 1);
    EXPECT_TRUE(QueueEmpty());
}

TEST_F(CsqTest, ARefusedInsertLeavesTheRequestUnqueuedAndUnmarked) {
    UseQueue(true);
    refuseInserts = true;
    // The handler completes the refused request itself and returns the status: no finding about
    // a pending mark may follow.
    auto findings = CaptureFindings([&] {
        IrpResult result = SendIrp(fdo, IRP_MJ_READ, 0, {}, nullptr, std::chrono::seconds(5));
        EXPECT_EQ(result.status, STATUS_DEVICE_BUSY);
    });
    EXPECT_TRUE(findings.empty()) << findings.front().message;
    EXPECT_TRUE(QueueEmpty());
}

TEST_F(CsqTest, IoCsqRemoveIrpTakesTheRequestOfAContextUnlessItIsBeingCancelled) {
    static IO_CSQ_IRP_CONTEXT context;
    UseQueue(false);
    SetHandler([](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        IoCsqInsertIrp(&queue, irp, &context);
        return STATUS_PENDING;
    });
    auto read = StartIrp(fdo, IRP_MJ_READ);
    ASSERT_EQ(context.Irp, read->Irp());
    PIRP irp = IoCsqRemoveIrp(&queue, &context);
    ASSERT_EQ(irp, read->Irp());
    EXPECT_EQ(context.Irp, nullptr);
    EXPECT_EQ(IoCsqRemoveIrp(&queue, &context), nullptr) << "already taken";
    CompleteTaken(irp, 7);
    ASSERT_TRUE(read->Wait(std::chrono::seconds(5)));
    EXPECT_EQ(read->Result().information, 7u);
}

TEST_F(CsqTest, CancelsRacingTheDriversRemovalsEndEveryRequestExactlyOnce) {
    UseQueue(true);
    // Requests are queued, then cancelled on one thread while another takes them out: each ends
    // once, either cancelled by the queue or completed by the taker (the verifier fails the test
    // on a second completion).
    constexpr int kRounds = 200;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::shared_ptr<IoRequest>> reads;
        for (int i = 0; i < 4; ++i) {
            reads.push_back(StartIrp(fdo, IRP_MJ_READ));
        }
        std::atomic<int> taken{0};
        std::thread taker([&] {
            for (int i = 0; i < 4; ++i) {
                PIRP irp = IoCsqRemoveNextIrp(&queue, nullptr);
                if (irp != nullptr) {
                    ++taken;
                    CompleteTaken(irp, 1);
                }
            }
        });
        for (auto& read : reads) {
            read->Cancel();
        }
        taker.join();
        int cancelled = 0;
        for (auto& read : reads) {
            ASSERT_TRUE(read->Wait(std::chrono::seconds(5))) << "round " << round;
            cancelled += read->Result().status == STATUS_CANCELLED ? 1 : 0;
        }
        EXPECT_EQ(cancelled + taken, 4) << "round " << round;
        ASSERT_TRUE(QueueEmpty()) << "round " << round;
    }
}

TEST_F(CsqTest, CompletingAQueuedRequestIsFound) {
    UseQueue(false);
    auto read = StartIrp(fdo, IRP_MJ_READ);
    PIRP irp = read->Irp();
    // The faulty driver completes the request straight from its list, bypassing the queue: the
    // request is still queued and its cancel routine is still set.
    auto findings = CaptureFindings([&] {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&queueLock);
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&queueLock, irql);
        CompleteTaken(irp, 0);
    });
    EXPECT_TRUE(HasRule(findings, Rule::IrpCompletedWhileQueued));
    EXPECT_TRUE(HasRule(findings, Rule::CompletedWithCancelRoutine));
    ASSERT_TRUE(read->Wait(std::chrono::seconds(5)));

    // Taken out through the queue first, the same completion is clean.
    auto again = StartIrp(fdo, IRP_MJ_READ);
    findings = CaptureFindings([&] { CompleteTaken(IoCsqRemoveNextIrp(&queue, nullptr), 0); });
    EXPECT_TRUE(findings.empty());
    ASSERT_TRUE(again->Wait(std::chrono::seconds(5)));
}

} // namespace
