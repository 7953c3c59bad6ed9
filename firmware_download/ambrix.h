/* ambrix: lists the instruments attached through FTDI USB-serial bridges and downloads firmware
   to one of them with XMODEM-1K. Both calls are stdcall; link with the import library or bind
   the decorated names "_GetD2xxInstruments@12" and "_D2xxXmodem@16". */
#ifndef AMBRIX_H
#define AMBRIX_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum DownloadResult {
    DownloadCompleted = 0,         /* the receiver acknowledged the end of file */
    DownloadFileError = 1,         /* the firmware file cannot be opened */
    DownloadDeviceError = 2,       /* the device cannot be opened or its port configured */
    DownloadUserCancelled = 3,     /* the user cancelled; four CAN bytes were sent */
    DownloadReceiverCancelled = 4  /* the receiver cancelled with two CAN bytes */
} DownloadResult;

/* Fills comboBox (sorted or not) with one entry per instrument, each carrying its D2XX
   device number as item data. productFilter: product ID to accept in its low 16 bits, 0 for
   all. Returns the number of D2XX devices counted, or the failing FT_ListDevices status. */
int WINAPI GetD2xxInstruments(HWND comboBox, DWORD productFilter, BOOL includeUnprogrammed);

/* Sends firmwarePath to the device with XMODEM-1K under a modal progress dialog owned by
   parent. Returns when the transfer has ended. */
DownloadResult WINAPI D2xxXmodem(HWND parent, LPCSTR firmwarePath, DWORD deviceNumber,
                                 DWORD baudRate);

#ifdef __cplusplus
}
#endif

#endif
