// NTSTATUS to Win32 error as RtlNtStatusToDosError maps the statuses that drivers and the USB
// stack return, and FormatMessageA with the system's English texts for those errors.
#include "app_objects.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace kswin32::app {
namespace {

struct StatusMapping {
    uint32_t status;
    DWORD error;
};

constexpr StatusMapping kStatusMappings[] = {
    {0x00000000, ERROR_SUCCESS},              // STATUS_SUCCESS
    {0x00000103, ERROR_IO_PENDING},           // STATUS_PENDING
    {0x80000005, ERROR_MORE_DATA},            // STATUS_BUFFER_OVERFLOW
    {0x80000011, ERROR_BUSY},                 // STATUS_DEVICE_BUSY
    {0xC0000001, ERROR_GEN_FAILURE},          // STATUS_UNSUCCESSFUL
    {0xC0000002, ERROR_INVALID_FUNCTION},     // STATUS_NOT_IMPLEMENTED
    {0xC0000008, ERROR_INVALID_HANDLE},       // STATUS_INVALID_HANDLE
    {0xC000000D, ERROR_INVALID_PARAMETER},    // STATUS_INVALID_PARAMETER
    {0xC000000E, ERROR_FILE_NOT_FOUND},       // STATUS_NO_SUCH_DEVICE
    {0xC000000F, ERROR_FILE_NOT_FOUND},       // STATUS_NO_SUCH_FILE
    {0xC0000010, ERROR_INVALID_FUNCTION},     // STATUS_INVALID_DEVICE_REQUEST
    {0xC0000016, ERROR_MORE_DATA},            // STATUS_MORE_PROCESSING_REQUIRED
    {0xC0000017, ERROR_NOT_ENOUGH_MEMORY},    // STATUS_NO_MEMORY
    {0xC0000022, ERROR_ACCESS_DENIED},        // STATUS_ACCESS_DENIED
    {0xC0000023, ERROR_INSUFFICIENT_BUFFER},  // STATUS_BUFFER_TOO_SMALL
    {0xC0000033, ERROR_INVALID_NAME},         // STATUS_OBJECT_NAME_INVALID
    {0xC0000034, ERROR_FILE_NOT_FOUND},       // STATUS_OBJECT_NAME_NOT_FOUND
    {0xC000003A, ERROR_PATH_NOT_FOUND},       // STATUS_OBJECT_PATH_NOT_FOUND
    {0xC0000056, ERROR_ACCESS_DENIED},        // STATUS_DELETE_PENDING
    {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},  // STATUS_INSUFFICIENT_RESOURCES
    {0xC000009C, ERROR_CRC},                  // STATUS_DEVICE_DATA_ERROR
    {0xC000009D, ERROR_DEVICE_NOT_CONNECTED}, // STATUS_DEVICE_NOT_CONNECTED
    {0xC00000A3, ERROR_NOT_READY},            // STATUS_DEVICE_NOT_READY
    {0xC00000B5, ERROR_SEM_TIMEOUT},          // STATUS_IO_TIMEOUT
    {0xC00000BB, ERROR_NOT_SUPPORTED},        // STATUS_NOT_SUPPORTED
    {0xC0000120, ERROR_OPERATION_ABORTED},    // STATUS_CANCELLED
    {0xC0000184, ERROR_BAD_COMMAND},          // STATUS_INVALID_DEVICE_STATE
    {0xC0000185, ERROR_IO_DEVICE},            // STATUS_IO_DEVICE_ERROR
    {0xC00002B6, ERROR_DEVICE_REMOVED},       // STATUS_DEVICE_REMOVED
};

struct MessageText {
    DWORD error;
    const char* text;
};

constexpr MessageText kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {ERROR_NOT_READY, "The device is not ready."},
    {ERROR_BAD_COMMAND, "The device does not recognize the command."},
    {ERROR_CRC, "Data error (cyclic redundancy check)."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_DEV_NOT_EXIST, "The specified network resource or device is no longer available."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request."},
    {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state."},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error."},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected."},
    {ERROR_NOT_FOUND, "Element not found."},
    {ERROR_NO_SYSTEM_RESOURCES,
     "Insufficient system resources exist to complete the requested service."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
    {ERROR_DEVICE_REMOVED, "The device has been removed."},
    {ERROR_INVALID_USER_BUFFER,
     "The supplied user buffer is not valid for the requested operation."},
};

} // namespace

DWORD DosErrorFromNtStatus(uint32_t status) {
    for (const StatusMapping& mapping : kStatusMappings) {
        if (mapping.status == status)
            return mapping.error;
    }
    // A status that carries a Win32 error in its code (FACILITY_WIN32) gives that error.
    if ((status & 0xFFFF0000) == 0xC0070000)
        return status & 0xFFFF;
    return ERROR_MR_MID_NOT_FOUND;
}

} // namespace kswin32::app

extern "C" {

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size,
                            void*) {
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM)) {
        SetLastError(ERROR_INVALID_PARAMETER); // only system messages are modelled
        return 0;
    }
    const char* found = nullptr;
    for (const kswin32::app::MessageText& message : kswin32::app::kMessages) {
        if (message.error == messageId)
            found = message.text;
    }
    if (!found) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    // System messages end with a line break; a maximum width turns line breaks into spaces.
    std::string text = found;
    text += (flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) ? " " : "\r\n";
    DWORD length = static_cast<DWORD>(text.size());
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        DWORD bytes = (length + 1 > size ? length + 1 : size);
        char* allocated = static_cast<char*>(std::malloc(bytes));
        std::memcpy(allocated, text.c_str(), length + 1);
        *reinterpret_cast<LPSTR*>(buffer) = allocated;
        return length;
    }
    if (!buffer || size < length + 1) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, text.c_str(), length + 1);
    return length;
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}

} // extern "C"
