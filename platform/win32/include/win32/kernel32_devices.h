/* kernel32 subset used by applications of device drivers: opening devices by name, synchronous
   and overlapped reads and writes, device control, cancel, events, error texts and time. The
   host implementation (target win32_app_standin) turns each call into requests of the kernel
   stand-in's I/O manager. */
#ifndef KS_STANDIN_WIN32_KERNEL32_DEVICES_H
#define KS_STANDIN_WIN32_KERNEL32_DEVICES_H

#include "win32/base_types.h"
#include "win32/guiddef.h"
#include "win32/kernel32_library.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef HANDLE HLOCAL;
typedef DWORD* PDWORD;

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER;

/* Windows fills Internal with the request's NTSTATUS (STATUS_PENDING while it is in flight) and
   InternalHigh with its byte count; the event is reset when a request starts and set when it
   completes. */
struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
};

#define FILE_FLAG_OVERLAPPED 0x40000000
#define FILE_SHARE_DELETE 0x00000004

#ifndef STATUS_PENDING
#define STATUS_PENDING ((DWORD)0x00000103L)
#endif
#define HasOverlappedIoCompleted(o) ((o)->Internal != STATUS_PENDING)

#define ERROR_INVALID_FUNCTION 1
#define ERROR_OUTOFMEMORY 14
#define ERROR_INVALID_DATA 13
#define ERROR_NOT_READY 21
#define ERROR_BAD_COMMAND 22
#define ERROR_CRC 23
#define ERROR_GEN_FAILURE 31
#define ERROR_DEV_NOT_EXIST 55
#define ERROR_SEM_TIMEOUT 121
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_INVALID_NAME 123
#define ERROR_BUSY 170
#define ERROR_MORE_DATA 234
#define ERROR_NO_MORE_ITEMS 259
#define ERROR_MR_MID_NOT_FOUND 317
#define ERROR_OPERATION_ABORTED 995
#define ERROR_IO_INCOMPLETE 996
#define ERROR_IO_PENDING 997
#define ERROR_IO_DEVICE 1117
#define ERROR_DEVICE_NOT_CONNECTED 1167
#define ERROR_NOT_FOUND 1168
#define ERROR_NO_SYSTEM_RESOURCES 1450
#define ERROR_TIMEOUT 1460
#define ERROR_DEVICE_REMOVED 1617
#define ERROR_INVALID_USER_BUFFER 1784

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      LPOVERLAPPED overlapped);
BOOL WINAPI DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                            LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                            LPOVERLAPPED overlapped);
BOOL WINAPI GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred,
                                BOOL wait);
BOOL WINAPI CancelIo(HANDLE file);
BOOL WINAPI CancelIoEx(HANDLE file, LPOVERLAPPED overlapped);

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                           LPCWSTR name);
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                           LPCSTR name);
BOOL WINAPI SetEvent(HANDLE event);
BOOL WINAPI ResetEvent(HANDLE event);

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                            LPSTR buffer, DWORD size, void* arguments);
HLOCAL WINAPI LocalFree(HLOCAL memory);

DWORD WINAPI GetTickCount(void);
ULONGLONG WINAPI GetTickCount64(void);
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count);
BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency);

#ifdef __cplusplus
}
#endif

#endif
