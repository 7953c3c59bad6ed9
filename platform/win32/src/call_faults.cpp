// Counting the library's Win32 calls and failing the chosen one.
#include "call_faults.h"

#include <commctrl.h>

#include <cstdio>
#include <mutex>

namespace win32sim {
namespace {

std::mutex faultsLock;
bool counting = false;             // guarded by faultsLock
size_t failingCall = 0;            // 1-based; 0: none; guarded by faultsLock
std::vector<CountedCall> counted;  // guarded by faultsLock

thread_local const char* outerCall = nullptr;
thread_local int ownCallDepth = 0;

}  // namespace

void CountCalls(size_t failAt)
{
    std::lock_guard<std::mutex> lock(faultsLock);
    counting = true;
    failingCall = failAt;
    counted.clear();
}

void StopCountingCalls()
{
    std::lock_guard<std::mutex> lock(faultsLock);
    counting = false;
    failingCall = 0;
    counted.clear();
}

std::vector<CountedCall> CountedCalls()
{
    std::lock_guard<std::mutex> lock(faultsLock);
    return counted;
}

bool FailCountedCall(const char* function, const std::string& detail, DWORD error)
{
    if (ownCallDepth > 0)
        return false;
    CountedCall call;
    call.function = outerCall ? outerCall : function;
    call.detail = detail;
    {
        std::lock_guard<std::mutex> lock(faultsLock);
        if (!counting)
            return false;
        call.failed = counted.size() + 1 == failingCall;
        call.error = call.failed ? error : 0;
        counted.push_back(call);
    }
    // A control's own failure result (CB_ERRSPACE) comes without a last error.
    if (call.failed && error != 0)
        SetLastError(error);
    return call.failed;
}

OuterCall::OuterCall(const char* function) : previous_(outerCall)
{
    if (!outerCall)
        outerCall = function;
}

OuterCall::~OuterCall()
{
    outerCall = previous_;
}

StandinOwnCall::StandinOwnCall()
{
    ++ownCallDepth;
}

StandinOwnCall::~StandinOwnCall()
{
    --ownCallDepth;
}

CallerCode::CallerCode() : outer_(outerCall), ownDepth_(ownCallDepth)
{
    outerCall = nullptr;
    ownCallDepth = 0;
}

CallerCode::~CallerCode()
{
    outerCall = outer_;
    ownCallDepth = ownDepth_;
}

std::string MessageName(UINT message)
{
    switch (message) {
    case WM_SETTEXT:
        return "WM_SETTEXT";
    case WM_CLOSE:
        return "WM_CLOSE";
    case WM_COMMAND:
        return "WM_COMMAND";
    case BM_CLICK:
        return "BM_CLICK";
    case CB_ADDSTRING:
        return "CB_ADDSTRING";
    case CB_INSERTSTRING:
        return "CB_INSERTSTRING";
    case CB_RESETCONTENT:
        return "CB_RESETCONTENT";
    case CB_SETITEMDATA:
        return "CB_SETITEMDATA";
    case PBM_SETRANGE:
        return "PBM_SETRANGE";
    case PBM_SETRANGE32:
        return "PBM_SETRANGE32";
    case PBM_SETSTEP:
        return "PBM_SETSTEP";
    case PBM_SETPOS:
        return "PBM_SETPOS";
    case PBM_STEPIT:
        return "PBM_STEPIT";
    default: {
        char text[16];
        std::snprintf(text, sizeof text, "0x%04X", message);
        return text;
    }
    }
}

}  // namespace win32sim
