// Returns the stand-in to its state at start between tests.
#include "win32_faults.h"
#include "win32_sim.h"

namespace win32sim {

void ForgetLastDialog();
void ForgetModuleUnloads();

void Reset()
{
    SetMessageHook(nullptr);
    ClearVirtualFiles();
    ClearCreateFileCalls();
    FailCreateThread(0);
    SetAnsiCodePage(1252);
    ForgetLastDialog();
    ForgetModuleUnloads();
    FailPostMessage(0);
    StopCountingCalls();
}

}  // namespace win32sim
