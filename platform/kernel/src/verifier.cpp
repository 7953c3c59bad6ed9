// Driver verifier: the findings, their handler and the IRQL check shared by the kernel routines.
#include "internal.h"

#include <cstdio>
#include <cstdlib>

namespace kstandin {
namespace {

std::mutex findingsMutex;
std::vector<verifier::Finding> findings;
std::function<void(const verifier::Finding&)> handler;

void DefaultHandler(const verifier::Finding& finding) {
    std::fprintf(stderr, "driver verifier: %s: %s\n", verifier::RuleName(finding.rule),
                 finding.message.c_str());
    std::abort();
}

} // namespace

namespace verifier {

const char* RuleName(Rule rule) {
    switch (rule) {
    case Rule::IrpCompletedTwice:
        return "IRP completed twice";
    case Rule::IrpTouchedAfterCompletion:
        return "IRP touched after completion";
    case Rule::PendingReturnedWithoutMark:
        return "STATUS_PENDING returned without IoMarkIrpPending";
    case Rule::PendingMarkedButNotReturned:
        return "IRP marked pending but STATUS_PENDING not returned";
    case Rule::CompletedWithPendingStatus:
        return "IRP completed with STATUS_PENDING";
    case Rule::CompletedWithCancelRoutine:
        return "IRP completed with a cancel routine set";
    case Rule::MoreProcessingNeverCompleted:
        return "IRP held by STATUS_MORE_PROCESSING_REQUIRED never completed";
    case Rule::StackLocationOverflow:
        return "IoCallDriver past the last stack location";
    case Rule::IrqlChangedAcrossDispatch:
        return "IRQL changed across a driver routine";
    case Rule::IrqlTooHigh:
        return "routine called above its maximum IRQL";
    case Rule::WaitAtRaisedIrql:
        return "wait at raised IRQL";
    case Rule::SpinLockReleasedAtWrongIrql:
        return "spin lock released at the wrong IRQL";
    case Rule::SpinLockNotHeld:
        return "spin lock released but not held";
    case Rule::SpinLockReleasedOutOfOrder:
        return "spin locks released out of order";
    case Rule::SpinLockAcquiredRecursively:
        return "spin lock acquired twice by one thread";
    case Rule::LockOrderInversion:
        return "two spin locks taken in both orders";
    case Rule::PoStartNextPowerIrpMissing:
        return "PoStartNextPowerIrp missing";
    case Rule::PoolWrongTag:
        return "pool freed with a wrong tag";
    case Rule::PoolDoubleFree:
        return "pool freed twice";
    case Rule::PoolUnknownPointer:
        return "pool free of an unknown pointer";
    case Rule::PoolZeroSize:
        return "pool allocation of zero bytes";
    case Rule::PoolLeftAtUnload:
        return "pool left allocated at driver unload";
    case Rule::AddDeviceLeftInitializing:
        return "AddDevice returned with DO_DEVICE_INITIALIZING set";
    case Rule::DeviceDeletedWhileAttached:
        return "device deleted while still attached";
    case Rule::DeletedDeviceStillReferenced:
        return "deleted device still referenced at driver unload";
    case Rule::DeviceLeftAtUnload:
        return "device object left at driver unload";
    case Rule::ReferenceCountNegative:
        return "object reference count below zero";
    case Rule::IrpOutstandingAtTeardown:
        return "IRP still outstanding at teardown";
    case Rule::WorkItemMisuse:
        return "work item misuse";
    case Rule::MdlMisuse:
        return "MDL misuse";
    case Rule::UrbReservedNotZero:
        return "URB with reserved fields or host-controller area not zero";
    case Rule::IrpCompletedWhileQueued:
        return "IRP completed while still in a cancel-safe queue";
    case Rule::InformationExceedsBuffer:
        return "IoStatus.Information larger than the caller's buffer";
    case Rule::UnsupportedOnSystemVersion:
        return "feature used that the system version lacks";
    case Rule::CancelSpinLockNotReleased:
        return "cancel routine returned holding the cancel spin lock";
    case Rule::PowerIrpNotSentWithPoCallDriver:
        return "power IRP passed on with IoCallDriver before system version 6.0";
    case Rule::RequestMustNotFail:
        return "a request that must not fail was failed";
    case Rule::StartCompletedBeforeLowerDrivers:
        return "start request completed before the lower drivers finished it";
    case Rule::IrpOutstandingAtDeletion:
        return "IRP still in flight at device deletion or driver unload";
    case Rule::BufferNotNonPaged:
        return "buffer for a lower driver not in non-paged system memory";
    case Rule::InvalidParameter:
        return "invalid parameter to a kernel routine";
    }
    return "unknown rule";
}

void SetHandler(std::function<void(const Finding&)> newHandler) {
    std::lock_guard<std::mutex> lock(findingsMutex);
    handler = std::move(newHandler);
}

std::vector<Finding> Findings() {
    std::lock_guard<std::mutex> lock(findingsMutex);
    return findings;
}

void ClearFindings() {
    std::lock_guard<std::mutex> lock(findingsMutex);
    findings.clear();
}

unsigned CheckTeardown() {
    size_t before = Findings().size();
    detail::CheckIrpsAtTeardown();
    FlushFreedIrps();
    return static_cast<unsigned>(Findings().size() - before);
}

void ReportFinding(Rule rule, const std::string& message) {
    detail::Report(rule, message);
}

} // namespace verifier

namespace detail {

void Report(verifier::Rule rule, const std::string& message) {
    verifier::Finding finding{rule, message};
    std::function<void(const verifier::Finding&)> current;
    {
        std::lock_guard<std::mutex> lock(findingsMutex);
        findings.push_back(finding);
        current = handler;
    }
    if (current) {
        current(finding);
    } else {
        DefaultHandler(finding);
    }
}

bool CheckIrql(KIRQL max, const char* routine) {
    KIRQL irql = CurrentIrql();
    if (irql <= max)
        return true;
    Report(verifier::Rule::IrqlTooHigh, std::string(routine) + " called at IRQL " +
                                            std::to_string(irql) + " (allowed up to " +
                                            std::to_string(max) + ")");
    return false;
}

std::string Hex(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

} // namespace detail
} // namespace kstandin

extern "C" void kstandin_PagedCodeCheck(const char* function) {
    kstandin::detail::CheckIrql(APC_LEVEL, (std::string("paged code in ") + function).c_str());
}
