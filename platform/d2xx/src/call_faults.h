// The D2XX calls' side of failure injection by call number (d2xx_faults.h).
#ifndef KS_STANDIN_D2XX_CALL_FAULTS_H
#define KS_STANDIN_D2XX_CALL_FAULTS_H

#include "d2xx_faults.h"

namespace d2xxsim {

// Counts the call when counting is on; returns the status it is to fail with, or FT_OK.
FT_STATUS CountCall(const char* function, int device);

}  // namespace d2xxsim

#endif
