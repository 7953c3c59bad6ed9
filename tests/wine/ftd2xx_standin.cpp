// Stand-in of the D2XX library (ftd2xx.dll) for the end-to-end runs under Wine.
//
// It exports, by ordinal only, the calls the library makes. The devices it reports come from
// the environment, and the serial line of an opened device is a TCP connection to a peer on
// 127.0.0.1 (socat running lrzsz's rx). Every call is written to a log for the test to read.
//
// Environment:
//   D2XX_STANDIN_DEVICES      "ID,serial,description[,flag...];..." with ID in hex
//                             (vendor ID in the upper 16 bits); flags: busy (FT_Open fails),
//                             badbaud (FT_SetBaudRate fails)
//   D2XX_STANDIN_LIST_STATUS  nonzero: FT_ListDevices fails with this status
//   D2XX_STANDIN_PORT         TCP port of the peer on 127.0.0.1
//   D2XX_STANDIN_LOG          file that receives one line per call
//
// The peer is connected when the device is first read or written, not at FT_Open: rx sends its
// first 'C' as soon as it starts, and only every few seconds after that, so the connection is
// made after the sender's initial purge and the 'C' is not lost.
//
// The line is paced at the configured baud rate (ten bit times per byte) so that a transfer
// takes a predictable time and its dialog can be watched.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

typedef ULONG FT_STATUS;

const FT_STATUS kFtOk = 0;
const FT_STATUS kFtInvalidHandle = 1;
const FT_STATUS kFtDeviceNotFound = 2;
const FT_STATUS kFtDeviceNotOpened = 3;
const FT_STATUS kFtIoError = 4;
const FT_STATUS kFtInvalidParameter = 6;
const FT_STATUS kFtInvalidBaudRate = 7;

const DWORD kListNumberOnly = 0x80000000;
const ULONG kPurgeRx = 1;
const ULONG kDeviceType232R = 5;
const DWORD kPortMagic = 0x44325858;
const DWORD kCloseDrainMs = 2000;

struct Device {
    DWORD id = 0;
    std::string serial;
    std::string description;
    bool busy = false;
    bool badBaud = false;
    bool open = false;
};

struct Port {
    DWORD magic = kPortMagic;
    int number = 0;
    SOCKET link = INVALID_SOCKET;
    bool peerClosed = false;
    DWORD readTimeout = 0; // 0: wait for ever, as the real library does
    ULONG baudRate = 0;
    double lineBusyUntil = 0; // ms on the GetTickCount64 scale
};

CRITICAL_SECTION guard;
std::vector<Device> devices;
FT_STATUS listStatus = kFtOk;
int peerPort = 0;
HANDLE logFile = INVALID_HANDLE_VALUE;
bool winsockReady = false;

std::string ReadEnvironment(const char* name) {
    char buffer[4096];
    DWORD length = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    if (length == 0 || length >= sizeof buffer)
        return std::string();
    return std::string(buffer, length);
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos)
            end = text.size();
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

void LoadScript() {
    for (const std::string& entry : Split(ReadEnvironment("D2XX_STANDIN_DEVICES"), ';')) {
        std::vector<std::string> fields = Split(entry, ',');
        if (fields.size() < 3 || fields[0].empty())
            continue;
        Device device;
        device.id = strtoul(fields[0].c_str(), nullptr, 16);
        device.serial = fields[1];
        device.description = fields[2];
        for (size_t i = 3; i < fields.size(); ++i) {
            if (fields[i] == "busy")
                device.busy = true;
            if (fields[i] == "badbaud")
                device.badBaud = true;
        }
        devices.push_back(device);
    }
    listStatus = strtoul(ReadEnvironment("D2XX_STANDIN_LIST_STATUS").c_str(), nullptr, 0);
    peerPort = atoi(ReadEnvironment("D2XX_STANDIN_PORT").c_str());
    std::string logPath = ReadEnvironment("D2XX_STANDIN_LOG");
    if (!logPath.empty()) {
        logFile = CreateFileA(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
}

// One line per call; written at once so that the log survives a hang or a kill.
void Log(const char* format, ...) {
    if (logFile == INVALID_HANDLE_VALUE)
        return;
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(line, sizeof line - 1, format, arguments);
    va_end(arguments);
    if (length < 0)
        return;
    if (length > static_cast<int>(sizeof line) - 2)
        length = sizeof line - 2;
    line[length++] = '\n';
    EnterCriticalSection(&guard);
    DWORD written = 0;
    WriteFile(logFile, line, length, &written, nullptr);
    LeaveCriticalSection(&guard);
}

std::string Hex(const unsigned char* bytes, DWORD length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (DWORD i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

Port* PortFrom(void* handle) {
    Port* port = static_cast<Port*>(handle);
    if (port == nullptr || port->magic != kPortMagic)
        return nullptr;
    return port;
}

// Connects the device's serial line to the peer, once.
bool EnsureLink(Port* port) {
    if (port->link != INVALID_SOCKET)
        return true;
    if (peerPort <= 0)
        return false;
    EnterCriticalSection(&guard);
    if (!winsockReady) {
        WSADATA data;
        winsockReady = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    LeaveCriticalSection(&guard);
    if (!winsockReady)
        return false;
    SOCKET link = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (link == INVALID_SOCKET)
        return false;
    sockaddr_in peer = {};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<u_short>(peerPort));
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(link, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        Log("link connect failed %d", WSAGetLastError());
        closesocket(link);
        return false;
    }
    // Packets of one byte (ACK, EOT) must not wait for the previous packet's acknowledgement.
    BOOL noDelay = TRUE;
    setsockopt(link, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
    port->link = link;
    port->peerClosed = false;
    Log("link connected %d", peerPort);
    return true;
}

// Waits until the link is readable or the deadline passes; false on time-out.
bool WaitReadable(SOCKET link, ULONGLONG deadline, bool forever) {
    for (;;) {
        ULONGLONG now = GetTickCount64();
        if (!forever && now >= deadline)
            return false;
        DWORD slice = forever ? 1000 : static_cast<DWORD>(deadline - now);
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(link, &readable);
        timeval timeout = {static_cast<long>(slice / 1000), static_cast<long>(slice % 1000) * 1000};
        int ready = select(0, &readable, nullptr, nullptr, &timeout);
        if (ready > 0)
            return true;
        if (ready < 0)
            return false;
    }
}

void SleepUntil(ULONGLONG deadline) {
    ULONGLONG now = GetTickCount64();
    if (deadline > now)
        Sleep(static_cast<DWORD>(deadline - now));
}

void DiscardPending(Port* port) {
    if (port->link == INVALID_SOCKET || port->peerClosed)
        return;
    char scrap[512];
    while (WaitReadable(port->link, GetTickCount64(), false)) {
        if (recv(port->link, scrap, sizeof scrap, 0) <= 0) {
            port->peerClosed = true;
            return;
        }
    }
}

// Ends the link so that the peer reads everything written before the close: half-close, then
// read until the peer closes as well, for a bounded time.
void CloseLink(Port* port) {
    if (port->link == INVALID_SOCKET)
        return;
    shutdown(port->link, SD_SEND);
    ULONGLONG deadline = GetTickCount64() + kCloseDrainMs;
    char scrap[512];
    while (!port->peerClosed && WaitReadable(port->link, deadline, false)) {
        if (recv(port->link, scrap, sizeof scrap, 0) <= 0)
            port->peerClosed = true;
    }
    Log(port->peerClosed ? "link closed by peer" : "link close timed out");
    closesocket(port->link);
    port->link = INVALID_SOCKET;
}

} // namespace

extern "C" {

FT_STATUS WINAPI FT_Open(int number, void** handle) {
    if (handle == nullptr)
        return kFtInvalidParameter;
    *handle = nullptr;
    FT_STATUS status = kFtOk;
    EnterCriticalSection(&guard);
    if (number < 0 || number >= static_cast<int>(devices.size())) {
        status = kFtDeviceNotFound;
    } else if (devices[number].busy || devices[number].open) {
        status = kFtDeviceNotOpened;
    } else {
        devices[number].open = true;
        Port* port = new Port;
        port->number = number;
        *handle = port;
    }
    LeaveCriticalSection(&guard);
    Log("FT_Open %d = %lu", number, status);
    return status;
}

FT_STATUS WINAPI FT_Close(void* handle) {
    Port* port = PortFrom(handle);
    if (port == nullptr) {
        Log("FT_Close invalid = %lu", kFtInvalidHandle);
        return kFtInvalidHandle;
    }
    CloseLink(port);
    EnterCriticalSection(&guard);
    devices[port->number].open = false;
    LeaveCriticalSection(&guard);
    Log("FT_Close %d = 0", port->number);
    port->magic = 0;
    delete port;
    return kFtOk;
}

FT_STATUS WINAPI FT_Read(void* handle, void* buffer, DWORD wanted, DWORD* returned) {
    Port* port = PortFrom(handle);
    if (port == nullptr) {
        // Logged: a read on a closed device is a caller that outlived its handle.
        Log("FT_Read invalid = %lu", kFtInvalidHandle);
        return kFtInvalidHandle;
    }
    if (returned == nullptr || (buffer == nullptr && wanted > 0))
        return kFtInvalidParameter;
    *returned = 0;
    bool forever = port->readTimeout == 0;
    ULONGLONG deadline = GetTickCount64() + port->readTimeout;
    if (!EnsureLink(port)) {
        SleepUntil(deadline);
        return kFtIoError;
    }
    char* bytes = static_cast<char*>(buffer);
    while (*returned < wanted) {
        if (port->peerClosed) {
            // No more bytes will come; the caller still waits out its time-out as on a silent line.
            SleepUntil(deadline);
            break;
        }
        if (!WaitReadable(port->link, deadline, forever))
            break;
        int got = recv(port->link, bytes + *returned, static_cast<int>(wanted - *returned), 0);
        if (got <= 0) {
            port->peerClosed = true;
            continue;
        }
        *returned += got;
    }
    return kFtOk;
}

FT_STATUS WINAPI FT_Write(void* handle, void* buffer, DWORD length, DWORD* written) {
    Port* port = PortFrom(handle);
    if (port == nullptr) {
        Log("FT_Write invalid = %lu", kFtInvalidHandle);
        return kFtInvalidHandle;
    }
    if (written == nullptr || (buffer == nullptr && length > 0))
        return kFtInvalidParameter;
    *written = 0;
    const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
    if (length == 1029) {
        Log("FT_Write %d len=%lu block=%u", port->number, length, bytes[1]);
    } else {
        Log("FT_Write %d len=%lu data=%s", port->number, length,
            Hex(bytes, length < 16 ? length : 16).c_str());
    }
    if (!EnsureLink(port))
        return kFtIoError;
    while (*written < length) {
        int sent = send(port->link, reinterpret_cast<const char*>(bytes) + *written,
                        static_cast<int>(length - *written), 0);
        if (sent <= 0)
            return kFtIoError;
        *written += sent;
    }
    if (port->baudRate > 0) {
        double now = static_cast<double>(GetTickCount64());
        double start = port->lineBusyUntil > now ? port->lineBusyUntil : now;
        port->lineBusyUntil = start + length * 10000.0 / port->baudRate;
        if (port->lineBusyUntil - now >= 1)
            Sleep(static_cast<DWORD>(port->lineBusyUntil - now));
    }
    return kFtOk;
}

FT_STATUS WINAPI FT_SetBaudRate(void* handle, ULONG baudRate) {
    Port* port = PortFrom(handle);
    FT_STATUS status = kFtOk;
    if (port == nullptr) {
        status = kFtInvalidHandle;
    } else if (baudRate == 0 || devices[port->number].badBaud) {
        status = kFtInvalidBaudRate;
    } else {
        port->baudRate = baudRate;
    }
    Log("FT_SetBaudRate %lu = %lu", baudRate, status);
    return status;
}

FT_STATUS WINAPI FT_SetDataCharacteristics(void* handle, UCHAR wordLength, UCHAR stopBits,
                                           UCHAR parity) {
    FT_STATUS status = PortFrom(handle) ? kFtOk : kFtInvalidHandle;
    Log("FT_SetDataCharacteristics %u %u %u = %lu", wordLength, stopBits, parity, status);
    return status;
}

FT_STATUS WINAPI FT_SetFlowControl(void* handle, USHORT flowControl, UCHAR xon, UCHAR xoff) {
    FT_STATUS status = PortFrom(handle) ? kFtOk : kFtInvalidHandle;
    Log("FT_SetFlowControl %u %u %u = %lu", flowControl, xon, xoff, status);
    return status;
}

FT_STATUS WINAPI FT_ClrDtr(void* handle) {
    FT_STATUS status = PortFrom(handle) ? kFtOk : kFtInvalidHandle;
    Log("FT_ClrDtr = %lu", status);
    return status;
}

FT_STATUS WINAPI FT_ClrRts(void* handle) {
    FT_STATUS status = PortFrom(handle) ? kFtOk : kFtInvalidHandle;
    Log("FT_ClrRts = %lu", status);
    return status;
}

FT_STATUS WINAPI FT_SetChars(void* handle, UCHAR eventChar, UCHAR eventEnable, UCHAR errorChar,
                             UCHAR errorEnable) {
    FT_STATUS status = PortFrom(handle) ? kFtOk : kFtInvalidHandle;
    Log("FT_SetChars %u %u %u %u = %lu", eventChar, eventEnable, errorChar, errorEnable, status);
    return status;
}

FT_STATUS WINAPI FT_Purge(void* handle, ULONG mask) {
    Port* port = PortFrom(handle);
    if (port == nullptr)
        return kFtInvalidHandle;
    if (mask & kPurgeRx)
        DiscardPending(port);
    Log("FT_Purge %lu = 0", mask);
    return kFtOk;
}

FT_STATUS WINAPI FT_SetTimeouts(void* handle, ULONG readTimeout, ULONG writeTimeout) {
    Port* port = PortFrom(handle);
    if (port != nullptr)
        port->readTimeout = readTimeout;
    FT_STATUS status = port ? kFtOk : kFtInvalidHandle;
    Log("FT_SetTimeouts %lu %lu = %lu", readTimeout, writeTimeout, status);
    return status;
}

FT_STATUS WINAPI FT_ListDevices(void* first, void* second, DWORD flags) {
    FT_STATUS status = kFtOk;
    if (flags != kListNumberOnly || first == nullptr) {
        status = kFtInvalidParameter;
    } else if (listStatus != kFtOk) {
        status = listStatus;
    } else {
        *static_cast<DWORD*>(first) = static_cast<DWORD>(devices.size());
    }
    Log("FT_ListDevices %p %lx = %lu", second, flags, status);
    return status;
}

FT_STATUS WINAPI FT_GetDeviceInfo(void* handle, ULONG* type, DWORD* id, char* serial,
                                  char* description, void* reserved) {
    Port* port = PortFrom(handle);
    if (port == nullptr)
        return kFtInvalidHandle;
    (void)reserved;
    const Device& device = devices[port->number];
    if (type)
        *type = kDeviceType232R;
    if (id)
        *id = device.id;
    if (serial)
        lstrcpynA(serial, device.serial.c_str(), 16);
    if (description)
        lstrcpynA(description, device.description.c_str(), 64);
    Log("FT_GetDeviceInfo %d = 0", port->number);
    return kFtOk;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&guard);
        LoadScript();
    }
    return TRUE;
}

} // extern "C"
