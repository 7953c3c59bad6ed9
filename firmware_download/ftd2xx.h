/* The part of FTDI's D2XX API that ambrix calls. The library is bound by ordinal
   (see ftd2xx.def); these declarations give the calling convention and argument types. */
#ifndef AMBRIX_FTD2XX_H
#define AMBRIX_FTD2XX_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef PVOID FT_HANDLE;
typedef ULONG FT_STATUS;
typedef ULONG FT_DEVICE;

enum {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_OTHER_ERROR = 18
};

#define FT_LIST_NUMBER_ONLY 0x80000000

#define FT_BITS_8 ((UCHAR)8)
#define FT_STOP_BITS_1 ((UCHAR)0)
#define FT_PARITY_NONE ((UCHAR)0)
#define FT_FLOW_NONE 0x0000

#define FT_PURGE_RX 1
#define FT_PURGE_TX 2

FT_STATUS WINAPI FT_Open(int deviceNumber, FT_HANDLE* handle);
FT_STATUS WINAPI FT_Close(FT_HANDLE handle);
FT_STATUS WINAPI FT_Read(FT_HANDLE handle, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesReturned);
FT_STATUS WINAPI FT_Write(FT_HANDLE handle, LPVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten);
FT_STATUS WINAPI FT_SetBaudRate(FT_HANDLE handle, ULONG baudRate);
FT_STATUS WINAPI FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits,
                                           UCHAR parity);
FT_STATUS WINAPI FT_SetFlowControl(FT_HANDLE handle, USHORT flowControl, UCHAR xon, UCHAR xoff);
FT_STATUS WINAPI FT_ClrDtr(FT_HANDLE handle);
FT_STATUS WINAPI FT_ClrRts(FT_HANDLE handle);
FT_STATUS WINAPI FT_SetChars(FT_HANDLE handle, UCHAR eventChar, UCHAR eventCharEnabled,
                             UCHAR errorChar, UCHAR errorCharEnabled);
FT_STATUS WINAPI FT_Purge(FT_HANDLE handle, ULONG mask);
FT_STATUS WINAPI FT_SetTimeouts(FT_HANDLE handle, ULONG readTimeout, ULONG writeTimeout);
FT_STATUS WINAPI FT_ListDevices(PVOID arg1, PVOID arg2, DWORD flags);
FT_STATUS WINAPI FT_GetDeviceInfo(FT_HANDLE handle, FT_DEVICE* type, LPDWORD id, PCHAR serialNumber,
                                  PCHAR description, LPVOID reserved);

#ifdef __cplusplus
}
#endif

#endif
