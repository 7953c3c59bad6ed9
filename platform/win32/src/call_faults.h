// The Win32 calls' side of failure injection by call number (win32_faults.h).
#ifndef KS_STANDIN_WIN32_CALL_FAULTS_H
#define KS_STANDIN_WIN32_CALL_FAULTS_H

#include "win32_faults.h"

namespace win32sim {

// Counts a call when counting is on and the stand-in is not calling itself; true when the call
// is to fail, with error set as the thread's last error. A call made inside another API (see
// OuterCall) is counted under that API's name.
bool FailCountedCall(const char* function, const std::string& detail, DWORD error);

// Marks, for the calling thread, the API the caller called while it calls others of the
// stand-in: SetDlgItemTextA's message is counted as SetDlgItemTextA. The outermost one names it.
class OuterCall {
  public:
    explicit OuterCall(const char* function);
    ~OuterCall();
    OuterCall(const OuterCall&) = delete;
    OuterCall& operator=(const OuterCall&) = delete;

  private:
    const char* previous_;
};

// Marks calls the stand-in makes on its own behalf: they are not counted.
class StandinOwnCall {
  public:
    StandinOwnCall();
    ~StandinOwnCall();
    StandinOwnCall(const StandinOwnCall&) = delete;
    StandinOwnCall& operator=(const StandinOwnCall&) = delete;
};

// Clears both marks while the stand-in runs the caller's own code (a dialog procedure), whose
// calls count again as the caller's.
class CallerCode {
  public:
    CallerCode();
    ~CallerCode();
    CallerCode(const CallerCode&) = delete;
    CallerCode& operator=(const CallerCode&) = delete;

  private:
    const char* outer_;
    int ownDepth_;
};

// A message's name for the record ("CB_ADDSTRING"), or its number in hexadecimal.
std::string MessageName(UINT message);

}  // namespace win32sim

#endif
