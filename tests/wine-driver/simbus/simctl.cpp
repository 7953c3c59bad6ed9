// simctl: installs the simulated USB bus and scripts its instruments under Wine.
//
//   simctl add-inf INF                   put a driver package where Plug and Play finds it
//   simctl install-bus INF               create the root device and install the bus on it
//   simctl wait PATH SECONDS             wait until PATH opens
//   simctl queue INDEX FILE              the instrument sends FILE's bytes on its bulk IN pipe
//   simctl take-kept INDEX FILE          write the bulk OUT bytes the instrument kept to FILE
//   simctl modes INDEX BITS              set the instrument's mode bits
//   simctl counters INDEX                print the instrument's counters as key=value
//   simctl unplug INDEX                  pull the instrument out
//   simctl hold SECONDS                  stay running (keeps the prefix's drivers loaded)
//   simctl write PATH FILE               one write of FILE's bytes on PATH
//   simctl read PATH COUNT FILE          one read of COUNT bytes on PATH (5 s, then cancelled)
//
// Exit status 0 on success; otherwise a line on stderr naming the failed call and its error.
#include <windows.h>
#include <devguid.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "simbus_control.h"

namespace {

int Fail(const char* what) {
    std::fprintf(stderr, "simctl: %s failed: error %lu\n", what, GetLastError());
    return 1;
}

bool FullPath(const wchar_t* path, wchar_t (&full)[MAX_PATH]) {
    return GetFullPathNameW(path, MAX_PATH, full, nullptr) != 0;
}

int AddInf(const wchar_t* inf) {
    wchar_t full[MAX_PATH];
    if (!FullPath(inf, full)) {
        return Fail("GetFullPathNameW");
    }
    wchar_t destination[MAX_PATH] = L"";
    if (!SetupCopyOEMInfW(full, nullptr, SPOST_PATH, 0, destination, MAX_PATH, nullptr, nullptr)) {
        return Fail("SetupCopyOEMInfW");
    }
    std::printf("inf=%ls\n", destination);
    return 0;
}

// A root-enumerated device, as a bus driver without hardware of its own is installed.
int InstallBus(const wchar_t* inf) {
    static const wchar_t kHardwareIds[] = L"root\\ksusbsim\0";
    wchar_t full[MAX_PATH];
    if (!FullPath(inf, full)) {
        return Fail("GetFullPathNameW");
    }
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_SYSTEM, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        return Fail("SetupDiCreateDeviceInfoList");
    }
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    if (!SetupDiCreateDeviceInfoW(set, L"KsUsbSim", &GUID_DEVCLASS_SYSTEM, nullptr, nullptr,
                                  DICD_GENERATE_ID, &device)) {
        return Fail("SetupDiCreateDeviceInfoW");
    }
    if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE*>(kHardwareIds),
                                           sizeof(kHardwareIds))) {
        return Fail("SetupDiSetDeviceRegistryPropertyW");
    }
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
        return Fail("SetupDiCallClassInstaller");
    }
    SetupDiDestroyDeviceInfoList(set);
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, L"root\\ksusbsim", full, INSTALLFLAG_FORCE,
                                            &reboot)) {
        return Fail("UpdateDriverForPlugAndPlayDevicesW");
    }
    return 0;
}

int WaitFor(const wchar_t* path, const wchar_t* seconds) {
    DWORD limit = GetTickCount() + DWORD(std::wcstoul(seconds, nullptr, 10) * 1000);
    for (;;) {
        HANDLE file =
            CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            return 0;
        }
        if (LONG(GetTickCount() - limit) >= 0) {
            std::fprintf(stderr, "simctl: %ls did not appear: error %lu\n", path, GetLastError());
            return 1;
        }
        Sleep(50);
    }
}

HANDLE OpenControl() {
    return CreateFileW(KSUSBSIM_CONTROL_NAME, GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool Control(DWORD code, const std::vector<unsigned char>& in, std::vector<unsigned char>& out,
             DWORD& returned) {
    HANDLE control = OpenControl();
    if (control == INVALID_HANDLE_VALUE) {
        return false;
    }
    BOOL ok =
        DeviceIoControl(control, code, const_cast<unsigned char*>(in.data()), DWORD(in.size()),
                        out.empty() ? nullptr : out.data(), DWORD(out.size()), &returned, nullptr);
    DWORD error = GetLastError();
    CloseHandle(control);
    SetLastError(error);
    return ok != FALSE;
}

std::vector<unsigned char> IndexWord(const wchar_t* index) {
    unsigned long value = std::wcstoul(index, nullptr, 0);
    std::vector<unsigned char> bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}

void PutWord(std::vector<unsigned char>& bytes, unsigned long value) {
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<unsigned char>(value >> (8 * i)));
    }
}

int Queue(const wchar_t* index, const wchar_t* path) {
    std::vector<unsigned char> in = IndexWord(index);
    FILE* file = _wfopen(path, L"rb");
    if (file == nullptr) {
        std::fprintf(stderr, "simctl: cannot open %ls\n", path);
        return 1;
    }
    unsigned char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof(chunk), file)) > 0) {
        in.insert(in.end(), chunk, chunk + n);
    }
    std::fclose(file);
    std::vector<unsigned char> out;
    DWORD returned = 0;
    return Control(IOCTL_KSUSBSIM_QUEUE_IN, in, out, returned) ? 0
                                                               : Fail("IOCTL_KSUSBSIM_QUEUE_IN");
}

int TakeKept(const wchar_t* index, const wchar_t* path) {
    std::vector<unsigned char> out(32u << 20);
    DWORD returned = 0;
    if (!Control(IOCTL_KSUSBSIM_TAKE_KEPT, IndexWord(index), out, returned)) {
        return Fail("IOCTL_KSUSBSIM_TAKE_KEPT");
    }
    FILE* file = _wfopen(path, L"wb");
    if (file == nullptr || std::fwrite(out.data(), 1, returned, file) != returned) {
        std::fprintf(stderr, "simctl: cannot write %ls\n", path);
        return 1;
    }
    std::fclose(file);
    std::printf("kept=%lu\n", returned);
    return 0;
}

int Modes(const wchar_t* index, const wchar_t* bits) {
    std::vector<unsigned char> in = IndexWord(index);
    PutWord(in, std::wcstoul(bits, nullptr, 0));
    std::vector<unsigned char> out;
    DWORD returned = 0;
    return Control(IOCTL_KSUSBSIM_SET_MODES, in, out, returned) ? 0
                                                                : Fail("IOCTL_KSUSBSIM_SET_MODES");
}

int Counters(const wchar_t* index) {
    std::vector<unsigned char> out(sizeof(SimCounters));
    DWORD returned = 0;
    if (!Control(IOCTL_KSUSBSIM_GET_COUNTERS, IndexWord(index), out, returned)) {
        return Fail("IOCTL_KSUSBSIM_GET_COUNTERS");
    }
    SimCounters c;
    std::memcpy(&c, out.data(), sizeof(c));
    std::printf("counters vendorProbes=%u selects=%u inTransfers=%u outTransfers=%u inPending=%u "
                "inQueued=%u "
                "keptBytes=%u largestInRequest=%u cancelledIn=%u outBytesTotal=%u opens=%u "
                "lastOpenStatus=%u\n",
                c.vendorProbes, c.selects, c.inTransfers, c.outTransfers, c.inPending, c.inQueued,
                c.keptBytes, c.largestInRequest, c.cancelledIn, c.outBytesTotal, c.opens,
                c.lastOpenStatus);
    return 0;
}

int Unplug(const wchar_t* index) {
    std::vector<unsigned char> out;
    DWORD returned = 0;
    return Control(IOCTL_KSUSBSIM_UNPLUG, IndexWord(index), out, returned)
               ? 0
               : Fail("IOCTL_KSUSBSIM_UNPLUG");
}

HANDLE OpenPath(const wchar_t* path, DWORD flags) {
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, flags, nullptr);
}

int WriteFromFile(const wchar_t* path, const wchar_t* source) {
    FILE* file = _wfopen(source, L"rb");
    if (file == nullptr) {
        return 1;
    }
    std::vector<unsigned char> data;
    unsigned char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof(chunk), file)) > 0) {
        data.insert(data.end(), chunk, chunk + n);
    }
    std::fclose(file);
    HANDLE pipe = OpenPath(path, 0);
    if (pipe == INVALID_HANDLE_VALUE) {
        return Fail("CreateFileW");
    }
    DWORD written = 0;
    BOOL ok = WriteFile(pipe, data.data(), DWORD(data.size()), &written, nullptr);
    std::printf("write ok=%d written=%lu error=%lu\n", ok, written, ok ? 0 : GetLastError());
    CloseHandle(pipe);
    return ok ? 0 : 1;
}

int ReadToFile(const wchar_t* path, const wchar_t* count, const wchar_t* target) {
    HANDLE pipe = OpenPath(path, FILE_FLAG_OVERLAPPED);
    if (pipe == INVALID_HANDLE_VALUE) {
        return Fail("CreateFileW");
    }
    std::vector<unsigned char> data(std::wcstoul(count, nullptr, 0));
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD got = 0;
    BOOL ok = ReadFile(pipe, data.data(), DWORD(data.size()), nullptr, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(overlapped.hEvent, 5000) != WAIT_OBJECT_0) {
            CancelIoEx(pipe, &overlapped);
        }
    }
    ok = GetOverlappedResult(pipe, &overlapped, &got, TRUE);
    std::printf("read ok=%d got=%lu error=%lu\n", ok, got, ok ? 0 : GetLastError());
    FILE* file = _wfopen(target, L"wb");
    std::fwrite(data.data(), 1, got, file);
    std::fclose(file);
    CloseHandle(pipe);
    return ok ? 0 : 1;
}

int Hold(const wchar_t* seconds) {
    Sleep(DWORD(std::wcstoul(seconds, nullptr, 10) * 1000));
    return 0;
}

int Usage() {
    std::fprintf(
        stderr,
        "usage: simctl add-inf INF | install-bus INF | wait PATH SECONDS | queue INDEX FILE |\n"
        "       take-kept INDEX FILE | modes INDEX BITS | counters INDEX | unplug INDEX |\n"
        "       hold SECONDS | write PATH FILE | read PATH COUNT FILE\n");
    return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 2) {
        return Usage();
    }
    const std::wstring command = argv[1];
    if (command == L"add-inf" && argc == 3) {
        return AddInf(argv[2]);
    }
    if (command == L"install-bus" && argc == 3) {
        return InstallBus(argv[2]);
    }
    if (command == L"wait" && argc == 4) {
        return WaitFor(argv[2], argv[3]);
    }
    if (command == L"queue" && argc == 4) {
        return Queue(argv[2], argv[3]);
    }
    if (command == L"take-kept" && argc == 4) {
        return TakeKept(argv[2], argv[3]);
    }
    if (command == L"modes" && argc == 4) {
        return Modes(argv[2], argv[3]);
    }
    if (command == L"counters" && argc == 3) {
        return Counters(argv[2]);
    }
    if (command == L"unplug" && argc == 3) {
        return Unplug(argv[2]);
    }
    if (command == L"hold" && argc == 3) {
        return Hold(argv[2]);
    }
    if (command == L"write" && argc == 4) {
        return WriteFromFile(argv[2], argv[3]);
    }
    if (command == L"read" && argc == 5) {
        return ReadToFile(argv[2], argv[3], argv[4]);
    }
    return Usage();
}
