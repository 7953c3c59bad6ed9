// XMODEM-1K sender: port set-up before the dialog opens and the thread that runs the transfer.
#ifndef AMBRIX_XMODEM_SENDER_H
#define AMBRIX_XMODEM_SENDER_H

#include <windows.h>

// Makes the seven port settings on deviceHandle; 0 when all succeeded, 1 otherwise.
int ConfigurePort(DWORD baudRate);

// Thread entry: sends sourceFile over deviceHandle, steps the progress bar of the dialog given
// as parameter once per block, and posts WM_DOWNLOAD_END with the result.
DWORD WINAPI XmodemSendThread(LPVOID dialog);

// CRC-16/XMODEM of a buffer (polynomial 0x1021, initial value 0, no reflection).
WORD ComputeCrc16(const BYTE* data, DWORD length);

#endif
