// kestrunectl: console client for the kestrune USB bulk driver. It lists the maker's instruments,
// shows their descriptors and the driver's settings, reads and writes their bulk pipes, and
// measures throughput. It is also meant as an example of how a Windows application uses the
// driver: find the device through its interface class, open the device or one of its pipes,
// read with a time-out, write, and send the control codes of kestrune_ioctl.h.
#include <windows.h>
#include <setupapi.h>
#include <initguid.h> // makes kestrune_ioctl.h define the interface class GUID

#include "kestrune_ioctl.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const double kHighSpeedBulkMax = 53.248e6; // 13 packets of 512 bytes per 125 us microframe
const DWORD kDefaultTimeoutMs = 2000;
const DWORD kMaxTransfer = 65536; // IOCTL_KESTRUNE_GET_MAX_TRANSFER_A tells the same

// --- errors and text

std::string ErrorText(DWORD error) {
    char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                  error, 0, text, sizeof text, NULL);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                          text[length - 1] == ' ' || text[length - 1] == '.'))
        --length;
    if (length == 0)
        return "error " + std::to_string(error);
    return std::string(text, length) + " (error " + std::to_string(error) + ")";
}

// Prints "kestrunectl: <what>: <system text>" for the thread's last error; returns exit code 1.
int Fail(const std::string& what) {
    DWORD error = GetLastError();
    std::fprintf(stderr, "kestrunectl: %s: %s\n", what.c_str(), ErrorText(error).c_str());
    return 1;
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "kestrunectl: %s (see kestrunectl --help)\n", message.c_str());
    return 2;
}

std::vector<WCHAR> Wide(const std::string& text) {
    std::vector<WCHAR> wide(text.begin(), text.end());
    wide.push_back(0);
    return wide;
}

std::string Narrow(const WCHAR* text) {
    std::string narrow;
    for (; *text; ++text)
        narrow.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    return narrow;
}

bool ParseNumber(const std::string& text, unsigned long long* value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    *value = std::strtoull(text.c_str(), &end, 0);
    return *end == 0 && text[0] != '-';
}

// --- handles

// Every handle is opened for overlapped I/O, so that a read can be given up after a time-out
// and still report the bytes it received.
HANDLE OpenPath(const std::string& path) {
    return CreateFileW(Wide(path).data(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, NULL);
}

// --pipe-path: where a platform cannot pass a name after the device's to the driver, pipes are
// reached through paths of their own; "{pipe}" in the template stands for the two digits.
std::string pipeTemplate;

// A pipe is opened by a name after the device's path whose last digits give its index.
std::string PipePath(const std::string& device, unsigned pipe) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%02u", pipe);
    size_t at = pipeTemplate.find("{pipe}");
    if (at != std::string::npos)
        return std::string(pipeTemplate).replace(at, 6, digits);
    return device + "\\ep" + digits;
}

// Sends a control code and waits for it. Every code is METHOD_BUFFERED and completes in the
// caller's thread, but on a handle opened for overlapped I/O the call needs an OVERLAPPED.
// Closes a handle without losing the error of the call before it, which the caller reports.
void CloseKeepingError(HANDLE handle) {
    DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error);
}

bool Control(HANDLE handle, DWORD code, const void* input, DWORD inputLength, void* output,
             DWORD outputLength, DWORD* returned) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    DWORD count = 0;
    BOOL ok = DeviceIoControl(handle, code, const_cast<void*>(input), inputLength, output,
                              outputLength, NULL, &overlapped);
    if (ok || GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(handle, &overlapped, &count, TRUE);
    DWORD error = GetLastError();
    CloseHandle(overlapped.hEvent);
    SetLastError(error);
    if (returned)
        *returned = count;
    return ok != FALSE;
}

bool GetWord(HANDLE device, DWORD code, DWORD* value) {
    DWORD returned = 0;
    return Control(device, code, NULL, 0, value, sizeof *value, &returned);
}

bool SetWord(HANDLE device, DWORD code, DWORD value) {
    DWORD echo = 0, returned = 0; // the driver reports 4 bytes back for the set codes
    return Control(device, code, &value, sizeof value, &echo, sizeof echo, &returned);
}

bool GetText(HANDLE device, DWORD code, std::string* text) {
    char buffer[258] = {}; // 256 characters of a string descriptor and the NUL
    DWORD returned = 0;
    if (!Control(device, code, NULL, 0, buffer, sizeof buffer, &returned))
        return false;
    *text = std::string(buffer, strnlen(buffer, sizeof buffer));
    return true;
}

// --- reading and writing

// One read or write of at most 65536 bytes with a time-out. A write is one USB transfer. A read
// completes when `length` bytes have arrived, or, with partial reads switched on, as soon as
// any byte is there. When the time-out passes first, CancelIoEx cancels the request; a
// cancelled read still completes with the bytes the driver had buffered, and
// GetOverlappedResult reports their number together with ERROR_OPERATION_ABORTED. (A
// synchronous ReadFile would report 0 for them: the reason pipes are opened overlapped here.)
// Returns false with the last error set on failure; *timedOut says the request was cancelled.
bool Transfer(HANDLE pipe, HANDLE event, bool read, BYTE* buffer, DWORD length, DWORD timeoutMs,
              DWORD* done, bool* timedOut) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    *done = 0;
    *timedOut = false;
    BOOL ok = read ? ReadFile(pipe, buffer, length, NULL, &overlapped)
                   : WriteFile(pipe, buffer, length, NULL, &overlapped);
    if (!ok) {
        if (GetLastError() != ERROR_IO_PENDING)
            return false;
        if (WaitForSingleObject(event, timeoutMs) == WAIT_TIMEOUT) {
            // Fails with ERROR_NOT_FOUND if the request completed in the meantime: harmless.
            CancelIoEx(pipe, &overlapped);
            *timedOut = true;
        }
    }
    // Wait for the end in every case: the buffer and the OVERLAPPED belong to the request
    // until it has completed.
    if (GetOverlappedResult(pipe, &overlapped, done, TRUE))
        return true;
    return *timedOut && GetLastError() == ERROR_OPERATION_ABORTED;
}

// Progress on stderr for transfers above 1 MiB, a few times a second.
class Progress {
  public:
    Progress(const char* what, unsigned long long total) : what_(what), total_(total) {}
    void Update(unsigned long long done) {
        if (total_ < (1u << 20))
            return;
        ULONGLONG now = GetTickCount64();
        if (now - last_ < 250 && done < total_)
            return;
        last_ = now;
        std::fprintf(stderr, "\r%s: %.1f of %.1f MiB (%u%%)", what_,
                     static_cast<double>(done) / 1048576.0, static_cast<double>(total_) / 1048576.0,
                     static_cast<unsigned>(done * 100 / total_));
        shown_ = true;
    }
    ~Progress() {
        if (shown_)
            std::fprintf(stderr, "\n");
    }

  private:
    const char* what_;
    unsigned long long total_;
    ULONGLONG last_ = 0;
    bool shown_ = false;
};

// Moves `total` bytes through a pipe in transfers of at most `block` bytes. Reads go on until
// `total` bytes have arrived; a time-out that brings no byte at all ends the run.
bool Stream(HANDLE pipe, bool read, BYTE* data, unsigned long long total, DWORD block,
            DWORD timeoutMs, const char* label, unsigned long long* moved) {
    HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
    Progress progress(label, total);
    *moved = 0;
    bool ok = true;
    while (*moved < total) {
        DWORD length = static_cast<DWORD>(total - *moved < block ? total - *moved : block);
        DWORD done = 0;
        bool timedOut = false;
        if (!Transfer(pipe, event, read, data + *moved, length, timeoutMs, &done, &timedOut)) {
            ok = false;
            break;
        }
        *moved += done;
        progress.Update(*moved);
        if (timedOut && done == 0) {
            SetLastError(ERROR_SEM_TIMEOUT);
            ok = false;
            break;
        }
    }
    CloseKeepingError(event);
    return ok;
}

// --- finding devices

struct Device {
    std::string path;    // interface path, "\\?\..."
    std::string dosName; // "\\.\trelvousb1", or empty
    std::string vendor, product, serial;
};

// Takes the value of "VID_xxxx" or "PID_xxxx" from an interface path: USB device instance IDs
// read "USB\VID_xxxx&PID_xxxx\<serial>", and the interface path is built from it.
std::string IdFromPath(const std::string& path, const char* key) {
    std::string upper = path;
    for (char& c : upper)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    size_t at = upper.find(key);
    return at == std::string::npos ? "?" : upper.substr(at + std::strlen(key), 4);
}

// What tells two handles apart as devices: the serial number and the tick of configuration.
bool Identity(const std::string& path, std::string* identity) {
    HANDLE device = OpenPath(path);
    if (device == INVALID_HANDLE_VALUE)
        return false;
    std::string serial;
    DWORD tick = 0;
    GetText(device, IOCTL_KESTRUNE_GET_SERIAL_NUMBER, &serial);
    bool ok = GetWord(device, IOCTL_KESTRUNE_GET_START_TICK, &tick);
    CloseHandle(device);
    *identity = serial + "/" + std::to_string(tick);
    return ok;
}

// Lists the present devices of the interface class with the SetupDi calls, in the order the
// system gives them.
bool ListDevices(std::vector<Device>* devices) {
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_KESTRUNE, NULL, NULL,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    SP_DEVICE_INTERFACE_DATA interfaceData;
    interfaceData.cbSize = sizeof interfaceData;
    for (DWORD index = 0;
         SetupDiEnumDeviceInterfaces(set, NULL, &GUID_DEVINTERFACE_KESTRUNE, index, &interfaceData);
         ++index) {
        // First ask for the size, then fetch the path. cbSize is the size of the fixed part.
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, NULL, 0, &needed, NULL);
        std::vector<BYTE> storage(needed);
        auto detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, needed, NULL, NULL))
            continue;
        Device device;
        device.path = Narrow(detail->DevicePath);
        device.vendor = IdFromPath(device.path, "VID_");
        device.product = IdFromPath(device.path, "PID_");
        devices->push_back(device);
    }
    DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    if (error != ERROR_NO_MORE_ITEMS) {
        SetLastError(error);
        return false;
    }
    // The driver gives the maker's products 2, 3 and 4 the DOS names trelvousb1 to trelvousb3,
    // and others trelvousb; a DOS name belongs to the device whose identity it shows.
    static const char* const kDosNames[] = {"\\\\.\\trelvousb", "\\\\.\\trelvousb1",
                                            "\\\\.\\trelvousb2", "\\\\.\\trelvousb3"};
    for (Device& device : *devices) {
        std::string identity;
        if (!Identity(device.path, &identity))
            continue;
        device.serial = identity.substr(0, identity.find('/'));
        for (const char* name : kDosNames) {
            std::string other;
            if (Identity(name, &other) && other == identity)
                device.dosName = name;
        }
    }
    return true;
}

// --device: a number from `list`, a DOS name with or without "\\.\", or a path.
bool ResolveDevice(const std::string& selector, std::string* path) {
    unsigned long long number = 0;
    if (selector.empty() || ParseNumber(selector, &number)) {
        std::vector<Device> devices;
        if (!ListDevices(&devices))
            return false;
        if (number >= devices.size()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return false;
        }
        *path = devices[number].path;
        return true;
    }
    *path = selector.compare(0, 2, "\\\\") == 0 ? selector : "\\\\.\\" + selector;
    return true;
}

// --- commands

struct Arguments {
    std::string device; // --device
    std::vector<std::string> words;
    // Named options: "--out FILE" is stored as options["out"] = "FILE".
    std::vector<std::pair<std::string, std::string>> options;

    const std::string* Option(const char* name) const {
        for (const auto& option : options) {
            if (option.first == name)
                return &option.second;
        }
        return nullptr;
    }
    bool Number(const char* name, unsigned long long fallback, unsigned long long* value) const {
        const std::string* text = Option(name);
        if (!text) {
            *value = fallback;
            return true;
        }
        return ParseNumber(*text, value);
    }
};

int ListCommand(const Arguments&) {
    std::vector<Device> devices;
    if (!ListDevices(&devices))
        return Fail("listing the devices");
    if (devices.empty()) {
        std::printf("No kestrune device is present.\n");
        return 0;
    }
    for (size_t i = 0; i < devices.size(); ++i) {
        const Device& device = devices[i];
        std::printf("%zu  %s\n   DOS name %s  vendor %s  product %s  serial number %s\n", i,
                    device.path.c_str(), device.dosName.empty() ? "(none)" : device.dosName.c_str(),
                    device.vendor.c_str(), device.product.c_str(),
                    device.serial.empty() ? "(none)" : device.serial.c_str());
    }
    return 0;
}

// Walks the configuration descriptor: interfaces and their endpoints; the endpoints of the
// first interface are the pipes \ep00, \ep01, ... in their order.
void ShowConfiguration(const BYTE* data, DWORD length) {
    bool firstInterface = false;
    bool seenInterface = false;
    unsigned pipe = 0;
    for (DWORD at = 0; at + 2 <= length && data[at] >= 2 && at + data[at] <= length;
         at += data[at]) {
        const BYTE* d = data + at;
        switch (d[1]) {
        case 2: // configuration
            if (d[0] >= 9)
                std::printf("configuration %u: %u interface(s), attributes 0x%02X%s, %u mA\n", d[5],
                            d[4], d[7], (d[7] & 0x20) ? " (remote wake-up)" : "", d[8] * 2u);
            break;
        case 4: // interface
            if (d[0] >= 9) {
                firstInterface = !seenInterface || (firstInterface && d[3] != 0);
                seenInterface = true;
                std::printf("  interface %u alternate %u: class 0x%02X, %u endpoint(s)\n", d[2],
                            d[3], d[5], d[4]);
            }
            break;
        case 5: // endpoint
            if (d[0] >= 7) {
                static const char* const types[] = {"control", "isochronous", "bulk", "interrupt"};
                char name[16] = "";
                if (firstInterface)
                    std::snprintf(name, sizeof name, "pipe %u: ", pipe++);
                std::printf("    %sendpoint 0x%02X %-3s %s, max packet %u\n", name, d[2],
                            (d[2] & 0x80) ? "IN" : "OUT", types[d[3] & 3], d[4] | d[5] << 8);
            }
            break;
        default:
            std::printf("    descriptor type 0x%02X, %u bytes\n", d[1], d[0]);
        }
    }
}

int InfoCommand(const Arguments& arguments) {
    std::string path;
    if (!ResolveDevice(arguments.device, &path))
        return Fail("finding the device");
    HANDLE device = OpenPath(path);
    if (device == INVALID_HANDLE_VALUE)
        return Fail("opening " + path);
    std::printf("device         %s\n", path.c_str());
    static const struct {
        const char* label;
        DWORD code;
    } texts[] = {{"manufacturer", IOCTL_KESTRUNE_GET_MANUFACTURER_STRING},
                 {"product", IOCTL_KESTRUNE_GET_PRODUCT_STRING},
                 {"serial number", IOCTL_KESTRUNE_GET_SERIAL_NUMBER}};
    for (const auto& entry : texts) {
        std::string text;
        bool ok = GetText(device, entry.code, &text);
        std::printf("%-14s %s\n", entry.label,
                    ok ? text.c_str() : ("(none: " + ErrorText(GetLastError()) + ")").c_str());
    }
    char date[21] = {};
    DWORD version = 0, maxTransfer = 0, readChunk = 0, writeChunk = 0, options = 0, tick = 0;
    DWORD returned = 0;
    if (!GetWord(device, IOCTL_KESTRUNE_GET_VERSION, &version) ||
        !Control(device, IOCTL_KESTRUNE_GET_BUILD_DATE, NULL, 0, date, sizeof date, &returned) ||
        !GetWord(device, IOCTL_KESTRUNE_GET_MAX_TRANSFER_A, &maxTransfer) ||
        !GetWord(device, IOCTL_KESTRUNE_GET_READ_CHUNK_SIZE, &readChunk) ||
        !GetWord(device, IOCTL_KESTRUNE_GET_WRITE_CHUNK_SIZE, &writeChunk) ||
        !GetWord(device, IOCTL_KESTRUNE_GET_OPTIONS, &options) ||
        !GetWord(device, IOCTL_KESTRUNE_GET_START_TICK, &tick)) {
        int result = Fail("reading the driver's settings");
        CloseHandle(device);
        return result;
    }
    date[sizeof date - 1] = 0;
    std::printf("driver         version %lu (0x%04lX), built %s\n", (unsigned long)version,
                (unsigned long)version, date);
    std::printf("transfers      at most %lu bytes; read chunk %lu, write chunk %lu bytes\n",
                (unsigned long)maxTransfer, (unsigned long)readChunk, (unsigned long)writeChunk);
    std::printf("options        0x%08lX (partial reads %s)\n", (unsigned long)options,
                (options & KESTRUNE_OPTION_PARTIAL_READS) ? "on" : "off");
    std::printf("start tick     %lu\n", (unsigned long)tick);
    // The descriptor is as long as its wTotalLength: ask with the largest possible buffer.
    std::vector<BYTE> configuration(65535);
    if (!Control(device, IOCTL_KESTRUNE_GET_CONFIG_DESCRIPTOR, NULL, 0, configuration.data(),
                 static_cast<DWORD>(configuration.size()), &returned)) {
        int result = Fail("reading the configuration descriptor");
        CloseHandle(device);
        return result;
    }
    ShowConfiguration(configuration.data(), returned);
    CloseHandle(device);
    return 0;
}

// The first bulk IN and OUT pipes of the first interface, for loop and bench.
bool DefaultPipes(HANDLE device, unsigned* in, unsigned* out) {
    std::vector<BYTE> data(65535);
    DWORD length = 0;
    if (!Control(device, IOCTL_KESTRUNE_GET_CONFIG_DESCRIPTOR, NULL, 0, data.data(),
                 static_cast<DWORD>(data.size()), &length))
        return false;
    unsigned pipe = 0, interfaces = 0;
    *in = *out = ~0u;
    for (DWORD at = 0; at + 2 <= length && data[at] >= 2 && at + data[at] <= length;
         at += data[at]) {
        const BYTE* d = data.data() + at;
        if (d[1] == 4)
            ++interfaces;
        if (d[1] != 5 || interfaces != 1 || d[0] < 7)
            continue;
        if ((d[3] & 3) == 2) {
            unsigned* slot = (d[2] & 0x80) ? in : out;
            if (*slot == ~0u)
                *slot = pipe;
        }
        ++pipe;
    }
    if (*in == ~0u || *out == ~0u) {
        SetLastError(ERROR_NOT_FOUND);
        return false;
    }
    return true;
}

// 16 bytes a line; `offset` is where the data starts in the whole read.
void HexDump(const BYTE* data, size_t length, unsigned long long offset) {
    for (size_t line = 0; line < length; line += 16) {
        std::printf("%08llx ", offset + line);
        for (size_t i = line; i < line + 16; ++i) {
            if (i < length)
                std::printf(" %02x", data[i]);
            else
                std::printf("   ");
        }
        std::printf("  ");
        for (size_t i = line; i < line + 16 && i < length; ++i)
            std::printf("%c", data[i] >= 0x20 && data[i] < 0x7F ? data[i] : '.');
        std::printf("\n");
    }
}

bool ParsePipe(const std::string& text, unsigned* pipe) {
    unsigned long long value = 0;
    if (!ParseNumber(text, &value) || value > 5)
        return false;
    *pipe = static_cast<unsigned>(value);
    return true;
}

int ReadCommand(const Arguments& arguments) {
    unsigned pipe = 0;
    unsigned long long length = 0, timeout = 0;
    if (arguments.words.size() != 2 || !ParsePipe(arguments.words[0], &pipe) ||
        !ParseNumber(arguments.words[1], &length) || length == 0 ||
        !arguments.Number("timeout", kDefaultTimeoutMs, &timeout))
        return Usage("read needs a pipe (0-5) and a length");
    std::string path;
    if (!ResolveDevice(arguments.device, &path))
        return Fail("finding the device");
    HANDLE handle = OpenPath(PipePath(path, pipe));
    if (handle == INVALID_HANDLE_VALUE)
        return Fail("opening pipe " + std::to_string(pipe));
    // Block by block, so that any length can be read: each block goes to the file or the
    // hex dump as soon as it is there, also the bytes of a read cut short by its time-out.
    const std::string* name = arguments.Option("file");
    FILE* file = name ? std::fopen(name->c_str(), "wb") : NULL;
    if (name && !file) {
        std::fprintf(stderr, "kestrunectl: cannot create %s\n", name->c_str());
        CloseHandle(handle);
        return 1;
    }
    std::vector<BYTE> block(kMaxTransfer);
    HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
    Progress progress("read", length);
    unsigned long long got = 0;
    bool ok = true, saved = true;
    while (ok && got < length) {
        DWORD wanted =
            static_cast<DWORD>(length - got < kMaxTransfer ? length - got : kMaxTransfer);
        DWORD done = 0;
        bool timedOut = false;
        ok = Transfer(handle, event, true, block.data(), wanted, static_cast<DWORD>(timeout), &done,
                      &timedOut);
        if (ok && timedOut && done == 0) {
            SetLastError(ERROR_SEM_TIMEOUT);
            ok = false;
        }
        if (file)
            saved = saved && std::fwrite(block.data(), 1, done, file) == done;
        else
            HexDump(block.data(), done, got);
        got += done;
        progress.Update(got);
    }
    DWORD error = GetLastError();
    CloseHandle(event);
    CloseHandle(handle);
    if (file) {
        saved = std::fclose(file) == 0 && saved;
        if (!saved) {
            std::fprintf(stderr, "kestrunectl: cannot write %s\n", name->c_str());
            return 1;
        }
        std::printf("read %llu bytes into %s\n", got, name->c_str());
    }
    if (!ok) {
        SetLastError(error);
        return Fail("reading pipe " + std::to_string(pipe) + " after " + std::to_string(got) +
                    " of " + std::to_string(length) + " bytes");
    }
    return 0;
}

// The bytes to write: --text, --hex, --file or --pattern LENGTH.
bool WriteData(const Arguments& arguments, std::vector<BYTE>* data) {
    if (const std::string* text = arguments.Option("text")) {
        data->assign(text->begin(), text->end());
    } else if (const std::string* hex = arguments.Option("hex")) {
        std::string digits;
        for (char c : *hex) {
            if (c != ' ' && c != ':')
                digits.push_back(c);
        }
        if (digits.size() % 2)
            return false;
        for (size_t i = 0; i < digits.size(); i += 2) {
            char* end = nullptr;
            std::string pair = digits.substr(i, 2);
            data->push_back(static_cast<BYTE>(std::strtoul(pair.c_str(), &end, 16)));
            if (*end)
                return false;
        }
    } else if (const std::string* name = arguments.Option("file")) {
        FILE* file = std::fopen(name->c_str(), "rb");
        if (!file)
            return false;
        BYTE block[65536];
        size_t count;
        while ((count = std::fread(block, 1, sizeof block, file)) > 0)
            data->insert(data->end(), block, block + count);
        std::fclose(file);
    } else if (const std::string* length = arguments.Option("pattern")) {
        unsigned long long count = 0;
        if (!ParseNumber(*length, &count))
            return false;
        data->resize(count);
        for (unsigned long long i = 0; i < count; ++i)
            (*data)[i] = static_cast<BYTE>(i + i / 251); // not periodic in 256 bytes
    } else {
        return false;
    }
    return !data->empty();
}

int WriteCommand(const Arguments& arguments) {
    unsigned pipe = 0;
    unsigned long long timeout = 0;
    std::vector<BYTE> data;
    if (arguments.words.size() != 1 || !ParsePipe(arguments.words[0], &pipe) ||
        !arguments.Number("timeout", kDefaultTimeoutMs, &timeout))
        return Usage("write needs a pipe (0-5)");
    if (!WriteData(arguments, &data))
        return Usage("write needs --text, --hex, --file or --pattern with some bytes");
    std::string path;
    if (!ResolveDevice(arguments.device, &path))
        return Fail("finding the device");
    HANDLE handle = OpenPath(PipePath(path, pipe));
    if (handle == INVALID_HANDLE_VALUE)
        return Fail("opening pipe " + std::to_string(pipe));
    unsigned long long sent = 0;
    bool ok = Stream(handle, false, data.data(), data.size(), kMaxTransfer,
                     static_cast<DWORD>(timeout), "write", &sent);
    DWORD error = GetLastError();
    CloseHandle(handle);
    if (!ok) {
        SetLastError(error);
        return Fail("writing pipe " + std::to_string(pipe) + " after " + std::to_string(sent) +
                    " of " + std::to_string(data.size()) + " bytes");
    }
    std::printf("wrote %llu bytes to pipe %u\n", sent, pipe);
    return 0;
}

struct PipePair {
    HANDLE device = INVALID_HANDLE_VALUE, in = INVALID_HANDLE_VALUE, out = INVALID_HANDLE_VALUE;
    unsigned inPipe = 0, outPipe = 0;
    ~PipePair() {
        for (HANDLE handle : {in, out, device}) {
            if (handle != INVALID_HANDLE_VALUE)
                CloseHandle(handle);
        }
    }
};

// Opens the device, finds or takes its IN and OUT pipes (--in, --out) and opens both.
int OpenPipePair(const Arguments& arguments, PipePair* pair) {
    std::string path;
    if (!ResolveDevice(arguments.device, &path))
        return Fail("finding the device");
    pair->device = OpenPath(path);
    if (pair->device == INVALID_HANDLE_VALUE)
        return Fail("opening " + path);
    if (!DefaultPipes(pair->device, &pair->inPipe, &pair->outPipe))
        return Fail("finding a bulk IN and a bulk OUT pipe");
    const std::string* in = arguments.Option("in");
    const std::string* out = arguments.Option("out");
    if ((in && !ParsePipe(*in, &pair->inPipe)) || (out && !ParsePipe(*out, &pair->outPipe)))
        return Usage("a pipe is a number from 0 to 5");
    pair->in = OpenPath(PipePath(path, pair->inPipe));
    if (pair->in == INVALID_HANDLE_VALUE)
        return Fail("opening pipe " + std::to_string(pair->inPipe));
    pair->out = OpenPath(PipePath(path, pair->outPipe));
    if (pair->out == INVALID_HANDLE_VALUE)
        return Fail("opening pipe " + std::to_string(pair->outPipe));
    return 0;
}

int LoopCommand(const Arguments& arguments) {
    unsigned long long length = 0, block = 0, timeout = 0;
    if (arguments.words.size() != 1 || !ParseNumber(arguments.words[0], &length) || length == 0 ||
        !arguments.Number("block", kMaxTransfer, &block) || block == 0 || block > kMaxTransfer ||
        !arguments.Number("timeout", kDefaultTimeoutMs, &timeout))
        return Usage("loop needs a length (and --block of 1 to 65536 bytes)");
    PipePair pair;
    if (int result = OpenPipePair(arguments, &pair))
        return result;
    Arguments pattern;
    pattern.options.push_back({"pattern", std::to_string(length)});
    std::vector<BYTE> sent, received(length);
    WriteData(pattern, &sent);
    // Block by block: a loopback device holds only so much, so each block is read back before
    // the next one is written.
    Progress progress("loop", length);
    for (unsigned long long at = 0; at < length; at += block) {
        unsigned long long count = length - at < block ? length - at : block;
        unsigned long long moved = 0;
        if (!Stream(pair.out, false, sent.data() + at, count, kMaxTransfer,
                    static_cast<DWORD>(timeout), "", &moved))
            return Fail("writing pipe " + std::to_string(pair.outPipe) + " at byte " +
                        std::to_string(at));
        if (!Stream(pair.in, true, received.data() + at, count, kMaxTransfer,
                    static_cast<DWORD>(timeout), "", &moved))
            return Fail("reading pipe " + std::to_string(pair.inPipe) + " at byte " +
                        std::to_string(at + moved));
        progress.Update(at + count);
    }
    for (unsigned long long i = 0; i < length; ++i) {
        if (sent[i] != received[i]) {
            std::fprintf(stderr,
                         "kestrunectl: loop: byte %llu differs: wrote 0x%02X, read 0x%02X\n", i,
                         sent[i], received[i]);
            return 1;
        }
    }
    std::printf("loop: %llu bytes written to pipe %u and read back from pipe %u, identical\n",
                length, pair.outPipe, pair.inPipe);
    return 0;
}

double Seconds(const LARGE_INTEGER& start) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

void ShowRate(const char* what, unsigned long long bytes, double seconds) {
    double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
    std::printf("%-5s %llu bytes in %.3f s: %.2f MB/s, %.3f of 53.248 MB/s\n", what, bytes, seconds,
                rate / 1e6, rate / kHighSpeedBulkMax);
}

// Writes --total bytes to the OUT pipe, then reads as many from the IN pipe, one transfer of
// --block bytes at a time, and prints each rate as a figure and as a fraction of the USB 2.0
// high-speed bulk maximum. The read half expects a device that sends back what it was sent.
int BenchCommand(const Arguments& arguments) {
    unsigned long long total = 0, block = 0, timeout = 0;
    if (!arguments.words.empty() || !arguments.Number("total", 16u << 20, &total) || total == 0 ||
        !arguments.Number("block", kMaxTransfer, &block) || block == 0 || block > kMaxTransfer ||
        !arguments.Number("timeout", kDefaultTimeoutMs, &timeout))
        return Usage("bench takes --total BYTES and --block 1 to 65536");
    PipePair pair;
    if (int result = OpenPipePair(arguments, &pair))
        return result;
    std::vector<BYTE> data(total);
    unsigned long long moved = 0;
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    if (!Stream(pair.out, false, data.data(), total, static_cast<DWORD>(block),
                static_cast<DWORD>(timeout), "write", &moved))
        return Fail("writing pipe " + std::to_string(pair.outPipe));
    ShowRate("write", moved, Seconds(start));
    QueryPerformanceCounter(&start);
    if (!Stream(pair.in, true, data.data(), total, static_cast<DWORD>(block),
                static_cast<DWORD>(timeout), "read", &moved))
        return Fail("reading pipe " + std::to_string(pair.inPipe) + " after " +
                    std::to_string(moved) + " bytes");
    ShowRate("read", moved, Seconds(start));
    return 0;
}

// Commands that send one control code on the device or on a pipe (`pipe` 0-5; -1: the device).
int WithDevice(const Arguments& arguments, int pipe, HANDLE* handle) {
    std::string path;
    if (!ResolveDevice(arguments.device, &path))
        return Fail("finding the device");
    if (pipe >= 0)
        path = PipePath(path, static_cast<unsigned>(pipe));
    *handle = OpenPath(path);
    if (*handle == INVALID_HANDLE_VALUE)
        return Fail("opening " + path);
    return 0;
}

int ResetPipeCommand(const Arguments& arguments) {
    unsigned pipe = 0;
    if (arguments.words.size() != 1 || !ParsePipe(arguments.words[0], &pipe))
        return Usage("reset-pipe needs a pipe (0-5)");
    HANDLE handle;
    if (int result = WithDevice(arguments, static_cast<int>(pipe), &handle))
        return result;
    // The pipe to reset is the one the handle was opened on.
    bool ok = Control(handle, IOCTL_KESTRUNE_RESET_PIPE, NULL, 0, NULL, 0, NULL);
    CloseKeepingError(handle);
    if (!ok)
        return Fail("resetting pipe " + std::to_string(pipe));
    std::printf("pipe %u reset\n", pipe);
    return 0;
}

// A command without arguments that sends one control code with no data to the device.
int DeviceActionCommand(const Arguments& arguments, const char* name, DWORD code,
                        const char* failure, const char* success) {
    HANDLE handle;
    if (!arguments.words.empty())
        return Usage(std::string(name) + " takes no arguments");
    if (int result = WithDevice(arguments, -1, &handle))
        return result;
    bool ok = Control(handle, code, NULL, 0, NULL, 0, NULL);
    CloseKeepingError(handle);
    if (!ok)
        return Fail(failure);
    std::printf("%s\n", success);
    return 0;
}

int ResetPortCommand(const Arguments& arguments) {
    return DeviceActionCommand(arguments, "reset-port", IOCTL_KESTRUNE_RESET_PORT,
                               "resetting the port", "port reset");
}

int OptionsCommand(const Arguments& arguments) {
    DWORD value = 0;
    bool set = false;
    if (const std::string* partial = arguments.Option("partial-reads")) {
        if (*partial != "on" && *partial != "off")
            return Usage("--partial-reads is on or off");
        set = true;
        value = *partial == "on" ? KESTRUNE_OPTION_PARTIAL_READS : 0;
    } else if (arguments.words.size() == 1) {
        unsigned long long number = 0;
        if (!ParseNumber(arguments.words[0], &number) || number > 0xFFFFFFFFull)
            return Usage("options takes a 32-bit value");
        set = true;
        value = static_cast<DWORD>(number);
    } else if (!arguments.words.empty()) {
        return Usage("options takes one value");
    }
    HANDLE handle;
    if (int result = WithDevice(arguments, -1, &handle))
        return result;
    // The options belong to the driver: they apply to every device it serves.
    bool ok = (!set || SetWord(handle, IOCTL_KESTRUNE_SET_OPTIONS, value)) &&
              GetWord(handle, IOCTL_KESTRUNE_GET_OPTIONS, &value);
    CloseKeepingError(handle);
    if (!ok)
        return Fail(set ? "setting the options" : "reading the options");
    std::printf("options 0x%08lX (partial reads %s)\n", (unsigned long)value,
                (value & KESTRUNE_OPTION_PARTIAL_READS) ? "on" : "off");
    return 0;
}

int ChunkCommand(const Arguments& arguments) {
    const std::vector<std::string>& words = arguments.words;
    bool set = words.size() == 2;
    unsigned long long size = 0;
    if (words.size() > 2 || (words.size() >= 1 && words[0] != "read" && words[0] != "write") ||
        (set && (!ParseNumber(words[1], &size) || size == 0 || size > kMaxTransfer)))
        return Usage("chunk takes [read|write] [SIZE of 1 to 65536]");
    HANDLE handle;
    if (int result = WithDevice(arguments, -1, &handle))
        return result;
    bool ok = true;
    if (set)
        ok = SetWord(handle,
                     words[0] == "read" ? IOCTL_KESTRUNE_SET_READ_CHUNK_SIZE
                                        : IOCTL_KESTRUNE_SET_WRITE_CHUNK_SIZE,
                     static_cast<DWORD>(size));
    DWORD readChunk = 0, writeChunk = 0;
    ok = ok && GetWord(handle, IOCTL_KESTRUNE_GET_READ_CHUNK_SIZE, &readChunk) &&
         GetWord(handle, IOCTL_KESTRUNE_GET_WRITE_CHUNK_SIZE, &writeChunk);
    CloseKeepingError(handle);
    if (!ok)
        return Fail(set ? "setting the chunk size" : "reading the chunk sizes");
    if (words.empty() || words[0] == "read")
        std::printf("read chunk %lu bytes\n", (unsigned long)readChunk);
    if (words.empty() || words[0] == "write")
        std::printf("write chunk %lu bytes\n", (unsigned long)writeChunk);
    return 0;
}

int ClearCommand(const Arguments& arguments) {
    return DeviceActionCommand(arguments, "clear", IOCTL_KESTRUNE_CLEAR_READ_BUFFER,
                               "clearing the read-ahead buffer", "read-ahead buffer cleared");
}

struct Command {
    const char* name;
    int (*run)(const Arguments&);
    const char* synopsis;
    const char* help;
};

const Command kCommands[] = {
    {"list", ListCommand, "list",
     "Lists the present kestrune devices: the interface path, the DOS name (\\\\.\\trelvousbN)\n"
     "if the device has one, the USB vendor and product IDs and the serial number.\n"},
    {"info", InfoCommand, "info",
     "Shows the device's strings, the driver's version and build date, the transfer and chunk\n"
     "sizes, the options, the tick at which the device was configured, and the configuration\n"
     "descriptor with the pipe number of each endpoint of the first interface.\n"},
    {"read", ReadCommand, "read PIPE LENGTH [--file FILE] [--timeout MS]",
     "Reads LENGTH bytes from bulk IN pipe PIPE (0-5) in transfers of up to 65536 bytes and\n"
     "shows them as a hex dump, or writes them to FILE. Each transfer waits up to MS\n"
     "milliseconds (2000); a transfer that brings nothing in that time ends the read with an\n"
     "error after printing what arrived.\n"},
    {"write", WriteCommand,
     "write PIPE (--text TEXT | --hex BYTES | --file FILE | --pattern LENGTH) [--timeout MS]",
     "Writes the bytes to bulk OUT pipe PIPE (0-5), one USB transfer per 65536 bytes.\n"
     "--pattern writes LENGTH bytes of the test pattern that loop uses.\n"},
    {"loop", LoopCommand, "loop LENGTH [--out PIPE] [--in PIPE] [--block BYTES] [--timeout MS]",
     "Writes LENGTH bytes of a test pattern to the OUT pipe and reads them back from the IN pipe\n"
     "block by block (65536 bytes), then compares. The pipes default to the first bulk OUT and\n"
     "IN pipes of the first interface. For loopback instruments.\n"},
    {"reset-pipe", ResetPipeCommand, "reset-pipe PIPE",
     "Resets pipe PIPE: clears a halt (stall) on its endpoint.\n"},
    {"reset-port", ResetPortCommand, "reset-port",
     "Resets the USB port of the device if it is connected.\n"},
    {"options", OptionsCommand, "options [--partial-reads on|off | VALUE]",
     "Shows or sets the driver's options, which apply to every device. With partial reads on, a\n"
     "read returns as soon as any byte is there instead of waiting for its whole length.\n"},
    {"chunk", ChunkCommand, "chunk [read|write] [SIZE]",
     "Shows or sets the size of the driver's read-ahead transfers (read) or the write chunk\n"
     "size, which the driver keeps and reports (write). SIZE is 1 to 65536.\n"},
    {"clear", ClearCommand, "clear",
     "Drops the data the driver has buffered for reads from the device.\n"},
    {"bench", BenchCommand, "bench [--total BYTES] [--block BYTES] [--out PIPE] [--in PIPE]",
     "Writes BYTES (16 MiB) to the OUT pipe, then reads as many from the IN pipe, in transfers\n"
     "of --block bytes (65536), and prints each rate in MB/s and as a fraction of the USB 2.0\n"
     "high-speed bulk maximum of 53.248 MB/s. The read half needs a loopback instrument.\n"},
};

void ShowHelp() {
    std::printf("kestrunectl: console client for the kestrune USB bulk driver\n\n"
                "usage: kestrunectl [--device DEVICE] COMMAND [ARGUMENTS]\n"
                "       kestrunectl help COMMAND\n\n"
                "DEVICE is a number from `list` (0, the default), a DOS name such as trelvousb1,\n"
                "or an interface path. Numbers may be decimal or 0x hexadecimal.\n"
                "--pipe-path TEMPLATE opens pipes by TEMPLATE with {pipe} for the pipe's two\n"
                "digits instead of by the device's path followed by \\epNN.\n\ncommands:\n");
    for (const Command& command : kCommands)
        std::printf("  %s\n", command.synopsis);
}

int ShowCommandHelp(const Command& command) {
    std::printf("usage: kestrunectl [--device DEVICE] %s\n\n%s", command.synopsis, command.help);
    return 0;
}

// Output is checked once, before the program ends, rather than after each line: a full disk or
// a closed pipe must not end in exit code 0. A command that failed keeps its own exit code.
int Finish(int result) {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout) && !std::ferror(stderr))
        return result;
    std::fprintf(stderr, "kestrunectl: writing the output failed\n");
    return result != 0 ? result : 1;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty() || words[0] == "--help" || words[0] == "-h" ||
        (words[0] == "help" && words.size() == 1)) {
        ShowHelp();
        return Finish(words.empty() ? 2 : 0);
    }
    Arguments arguments;
    pipeTemplate.clear();
    const Command* command = nullptr;
    bool help = words[0] == "help";
    for (size_t i = help ? 1 : 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "--help" || word == "-h") {
            help = true;
        } else if (word.compare(0, 2, "--") == 0) {
            if (i + 1 == words.size())
                return Usage(word + " needs a value");
            if (word == "--device")
                arguments.device = words[++i];
            else if (word == "--pipe-path")
                pipeTemplate = words[++i];
            else
                arguments.options.push_back({word.substr(2), words[++i]});
        } else if (!command) {
            for (const Command& candidate : kCommands) {
                if (word == candidate.name)
                    command = &candidate;
            }
            if (!command)
                return Usage("unknown command " + word);
        } else {
            arguments.words.push_back(word);
        }
    }
    if (!command)
        return Usage("no command");
    if (help)
        return Finish(ShowCommandHelp(*command));
    int result = command->run(arguments);
    return Finish(result);
}
