/* Host stand-in for <commctrl.h>: the progress bar of the common controls. */
#ifndef KS_STANDIN_COMMCTRL_H
#define KS_STANDIN_COMMCTRL_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PROGRESS_CLASSA "msctls_progress32"
#define PROGRESS_CLASS PROGRESS_CLASSA

#define PBM_SETRANGE (WM_USER + 1)
#define PBM_SETPOS (WM_USER + 2)
#define PBM_DELTAPOS (WM_USER + 3)
#define PBM_SETSTEP (WM_USER + 4)
#define PBM_STEPIT (WM_USER + 5)
#define PBM_SETRANGE32 (WM_USER + 6)
#define PBM_GETRANGE (WM_USER + 7)
#define PBM_GETPOS (WM_USER + 8)

typedef struct {
    int iLow;
    int iHigh;
} PBRANGE, *PPBRANGE;

/* Registers the common control classes (here: the progress bar) for the process. */
void WINAPI InitCommonControls(void);

#ifdef __cplusplus
}
#endif

#endif
