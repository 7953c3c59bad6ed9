// The application threads of a stress sequence. They use the instruments as programs written for
// Windows do, through the Win32 calls: handles on the device and its pipes, synchronous and
// overlapped reads (some given up after a while and cancelled, some waiting as long as it
// takes), writes, control codes, and cancels of other threads' reads.
#include <windows.h>

#include "kestrune_ioctl.h"
#include "world.h"

#include <cstdio>
#include <cstring>
#include <random>

namespace stress {
namespace {

constexpr DWORD kDriverVersion = 27010;
constexpr DWORD kMaxTransfer = 65536;
const char kBuildDate[] = "Oct 29 2018 15:54:50";
constexpr auto kWaitLimit = std::chrono::seconds(15);
// A read that waits for data as long as it takes may wait until the end of the sequence.
constexpr auto kPatientLimit = std::chrono::seconds(60);

enum class Kind { Device, In, Out };

struct Handle {
    HANDLE file = INVALID_HANDLE_VALUE;
    std::shared_ptr<Slot> slot;
    Kind kind = Kind::Device;
    bool overlapped = false;
};

// Synchronous reads in progress, which any application thread may cancel. An entry is taken
// out, under the lock, before its handle can be closed.
struct SyncRead {
    HANDLE file;
    bool patient;
    std::chrono::steady_clock::time_point deadline; // when the application gives up
};

struct SyncReads {
    std::mutex mutex;
    std::map<uint64_t, SyncRead> reads;
    uint64_t next = 1;
};

SyncReads& Reads() {
    static SyncReads reads;
    return reads;
}

class ApplicationThread {
  public:
    ApplicationThread(World& world, int index, uint64_t randomStart)
        : world_(world), index_(index), random_(randomStart * 0x9E3779B97F4A7C15ull + index) {}

    void Run() {
        while (!world_.stopping.load()) {
            Step();
        }
        while (!handles_.empty())
            Close(handles_.size() - 1);
    }

  private:
    uint32_t Pick(uint32_t low, uint32_t high) {
        return std::uniform_int_distribution<uint32_t>(low, high)(random_);
    }
    bool Chance(uint32_t percent) { return Pick(1, 100) <= percent; }

    static std::string Code(DWORD code) {
        char text[16];
        std::snprintf(text, sizeof(text), "0x%06X", code);
        return text;
    }

    std::string Where(const Handle& handle) const {
        return "instrument " + std::to_string(handle.slot->number) + " (application thread " +
               std::to_string(index_) + ")";
    }

    void Step() {
        // Handles on an instrument that is about to be removed are closed first.
        for (size_t i = handles_.size(); i-- > 0;) {
            if (handles_[i].slot->Closing())
                Close(i);
        }
        uint32_t choice = Pick(1, 100);
        if (handles_.empty() || (choice <= 12 && handles_.size() < 6)) {
            Open();
        } else if (choice <= 18) {
            Close(Pick(0, static_cast<uint32_t>(handles_.size() - 1)));
        } else if (choice <= 58) {
            if (Handle* handle = Any(Kind::In))
                Read(*handle);
        } else if (choice <= 68) {
            if (Handle* handle = Any(Kind::Out))
                Write(*handle);
        } else if (choice <= 90) {
            Control(handles_[Pick(0, static_cast<uint32_t>(handles_.size() - 1))]);
        } else if (choice <= 96) {
            CancelAnotherRead();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(Pick(1, 5)));
        }
    }

    Handle* Any(Kind kind) {
        std::vector<Handle*> matching;
        for (Handle& handle : handles_) {
            if (handle.kind == kind)
                matching.push_back(&handle);
        }
        if (matching.empty()) {
            Open();
            return nullptr;
        }
        return matching[Pick(0, static_cast<uint32_t>(matching.size() - 1))];
    }

    void Open() {
        std::vector<std::shared_ptr<Slot>> slots = world_.Slots();
        if (slots.empty())
            return;
        std::shared_ptr<Slot> slot = slots[Pick(0, static_cast<uint32_t>(slots.size() - 1))];
        Handle handle;
        handle.slot = slot;
        uint32_t kind = Pick(0, 9);
        handle.kind = kind < 2 ? Kind::Device : kind < 7 ? Kind::In : Kind::Out;
        handle.overlapped = Chance(60);
        std::u16string path = slot->path;
        if (handle.kind == Kind::In)
            path += Chance(50) ? u"\\ep00" : u"\\0";
        else if (handle.kind == Kind::Out)
            path += Chance(50) ? u"\\ep01" : u"\\1";
        std::vector<WCHAR> name(path.begin(), path.end());
        name.push_back(0);
        if (!slot->TryAddHandle())
            return;
        Watchdog::Guard guard = world_.watchdog.Watch(
            "opening a handle on instrument " + std::to_string(slot->number), kWaitLimit);
        handle.file =
            CreateFileW(name.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        handle.overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        if (handle.file != INVALID_HANDLE_VALUE)
            handles_.push_back(handle);
        else
            slot->DropHandle();
    }

    void Close(size_t position) {
        Handle handle = handles_[position];
        handles_.erase(handles_.begin() + static_cast<std::ptrdiff_t>(position));
        Watchdog::Guard guard =
            world_.watchdog.Watch("closing a handle on " + Where(handle), kWaitLimit);
        if (!CloseHandle(handle.file))
            world_.Report("closing a handle on " + Where(handle) + " failed");
        handle.slot->DropHandle();
    }

    // Checks what a read put into its buffer (filled with kUnwritten before) against the byte
    // count reported (`reported` false: a cancelled synchronous read, whose count kernel32 does
    // not report) and records the words with the instrument's ledger.
    void Account(const Handle& handle, const std::vector<uint8_t>& buffer, bool succeeded,
                 bool cancelled, bool reported, DWORD bytes, uint64_t issue, DWORD error) {
        size_t delivered = handle.slot->ledger->DeliveredBytes(buffer.data(), buffer.size());
        if (!succeeded && !cancelled) {
            if (delivered != 0)
                world_.Report("a read on " + Where(handle) + " failed with error " +
                              std::to_string(error) + " but delivered " +
                              std::to_string(delivered) + " bytes");
            if (error == ERROR_NOT_READY && world_.options.checkHeldRequests)
                world_.Report(
                    "a read on " + Where(handle) +
                    " failed as not ready: it reached the bus while the device was stopped or "
                    "out of D0");
            return;
        }
        if (reported && bytes != delivered) {
            world_.Report("a read on " + Where(handle) + " reported " + std::to_string(bytes) +
                          " bytes and delivered " + std::to_string(delivered) +
                          (cancelled ? " (cancelled)" : ""));
            return;
        }
        std::string fault = handle.slot->ledger->Receive(buffer.data(), delivered, index_, issue);
        if (!fault.empty())
            world_.Report("instrument " + std::to_string(handle.slot->number) + ": " + fault);
    }

    void Read(Handle& handle) {
        if (handle.overlapped && Chance(25)) {
            ReadOverlappedBurst(handle);
            return;
        }
        uint32_t words = Chance(5) ? Pick(1, 16384) : Pick(1, 1024);
        std::vector<uint8_t> buffer(words * kWordBytes, kUnwritten);
        uint64_t issue = ++issued_;
        if (handle.overlapped) {
            OverlappedRead read(handle, std::move(buffer), issue);
            Start(read);
            Finish(read, Chance(25) && world_.options.patientReads
                             ? INFINITE
                             : static_cast<DWORD>(Pick(0, 150)));
            return;
        }
        bool patient = Chance(25) && world_.options.patientReads;
        uint64_t entry = 0;
        {
            std::lock_guard<std::mutex> lock(Reads().mutex);
            entry = Reads().next++;
            Reads().reads[entry] = SyncRead{handle.file, patient,
                                            std::chrono::steady_clock::now() +
                                                std::chrono::milliseconds(Pick(0, 300))};
        }
        std::atomic<bool> returned{false};
        uint64_t pending = handle.slot->Register("synchronous read on " + Where(handle),
                                                 [&returned] { return returned.load(); });
        DWORD bytes = 0;
        BOOL ok;
        {
            Watchdog::Guard guard =
                world_.watchdog.Watch("synchronous read of " + std::to_string(buffer.size()) +
                                          " bytes on " + Where(handle),
                                      patient ? kPatientLimit : kWaitLimit);
            ok = ReadFile(handle.file, buffer.data(), static_cast<DWORD>(buffer.size()), &bytes,
                          nullptr);
        }
        DWORD error = ok ? 0 : GetLastError();
        returned.store(true);
        handle.slot->Unregister(pending);
        {
            std::lock_guard<std::mutex> lock(Reads().mutex);
            Reads().reads.erase(entry);
        }
        bool cancelled = error == ERROR_OPERATION_ABORTED;
        Account(handle, buffer, ok != FALSE, cancelled, !cancelled, bytes, issue, error);
        if (error == ERROR_GEN_FAILURE)
            ResetPipe(handle);
    }

    struct OverlappedRead {
        OverlappedRead(Handle& handle, std::vector<uint8_t> bytes, uint64_t issue)
            : handle(handle), buffer(std::move(bytes)), issue(issue) {
            event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            overlapped.hEvent = event;
        }
        ~OverlappedRead() { CloseHandle(event); }
        OverlappedRead(const OverlappedRead&) = delete;
        OverlappedRead& operator=(const OverlappedRead&) = delete;
        Handle& handle;
        std::vector<uint8_t> buffer;
        uint64_t issue;
        OVERLAPPED overlapped{};
        HANDLE event;
        bool started = false;
        BOOL immediate = FALSE;
        DWORD error = 0;
        uint64_t pending = 0;
    };

    void Start(OverlappedRead& read) {
        OVERLAPPED* overlapped = &read.overlapped;
        read.pending =
            read.handle.slot->Register("overlapped read on " + Where(read.handle), [overlapped] {
                return __atomic_load_n(&overlapped->Internal, __ATOMIC_SEQ_CST) != STATUS_PENDING;
            });
        Watchdog::Guard guard = world_.watchdog.Watch(
            "sending an overlapped read on " + Where(read.handle), kWaitLimit);
        read.immediate = ReadFile(read.handle.file, read.buffer.data(),
                                  static_cast<DWORD>(read.buffer.size()), nullptr, overlapped);
        read.error = read.immediate ? 0 : GetLastError();
        read.started = read.immediate || read.error == ERROR_IO_PENDING;
    }

    // Waits up to `patience` for the read, cancels it if it is still in flight, and accounts it.
    void Finish(OverlappedRead& read, DWORD patience) {
        DWORD bytes = 0;
        BOOL ok = read.immediate;
        DWORD error = read.error;
        if (read.error == ERROR_IO_PENDING) {
            if (patience == INFINITE) {
                Watchdog::Guard guard = world_.watchdog.Watch(
                    "overlapped read of " + std::to_string(read.buffer.size()) +
                        " bytes waiting for data on " + Where(read.handle),
                    kPatientLimit);
                while (WaitForSingleObject(read.event, 20) == WAIT_TIMEOUT) {
                    if (world_.closing.load() > 0) {
                        CancelIoEx(read.handle.file, &read.overlapped);
                        break;
                    }
                }
            } else if (WaitForSingleObject(read.event, patience) == WAIT_TIMEOUT) {
                Watchdog::Guard guard = world_.watchdog.Watch(
                    "cancelling an overlapped read on " + Where(read.handle), kWaitLimit);
                CancelIoEx(read.handle.file, &read.overlapped);
            }
            Watchdog::Guard guard = world_.watchdog.Watch(
                "overlapped read on " + Where(read.handle) + " to end after its cancel",
                std::chrono::seconds(10));
            ok = GetOverlappedResult(read.handle.file, &read.overlapped, &bytes, TRUE);
            error = ok ? 0 : GetLastError();
        } else if (ok) {
            bytes = static_cast<DWORD>(read.overlapped.InternalHigh);
        }
        read.handle.slot->Unregister(read.pending);
        bool cancelled = error == ERROR_OPERATION_ABORTED;
        if (cancelled)
            bytes = static_cast<DWORD>(read.overlapped.InternalHigh);
        Account(read.handle, read.buffer, ok != FALSE, cancelled, true, bytes, read.issue, error);
        if (error == ERROR_GEN_FAILURE)
            ResetPipe(read.handle);
    }

    // Several reads in flight on one handle at once; they take their turns in the driver.
    void ReadOverlappedBurst(Handle& handle) {
        std::vector<std::unique_ptr<OverlappedRead>> reads;
        uint32_t count = Pick(2, 4);
        for (uint32_t i = 0; i < count; ++i) {
            std::vector<uint8_t> buffer(Pick(1, 512) * kWordBytes, kUnwritten);
            reads.push_back(std::make_unique<OverlappedRead>(handle, std::move(buffer), ++issued_));
            Start(*reads.back());
        }
        for (auto& read : reads)
            Finish(*read, static_cast<DWORD>(Pick(0, 100)));
    }

    void Write(Handle& handle) {
        uint32_t length = Chance(3) ? kMaxTransfer : Pick(1, 4096);
        std::vector<uint8_t> buffer(length, static_cast<uint8_t>(index_));
        DWORD bytes = 0;
        BOOL ok;
        DWORD error;
        if (handle.overlapped) {
            OVERLAPPED overlapped{};
            overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            OVERLAPPED* watched = &overlapped;
            uint64_t pending =
                handle.slot->Register("overlapped write on " + Where(handle), [watched] {
                    return __atomic_load_n(&watched->Internal, __ATOMIC_SEQ_CST) != STATUS_PENDING;
                });
            {
                Watchdog::Guard guard = world_.watchdog.Watch(
                    "sending an overlapped write on " + Where(handle), kWaitLimit);
                ok = WriteFile(handle.file, buffer.data(), length, nullptr, &overlapped);
            }
            error = ok ? 0 : GetLastError();
            if (error == ERROR_IO_PENDING) {
                Watchdog::Guard guard = world_.watchdog.Watch(
                    "overlapped write of " + std::to_string(length) + " bytes on " + Where(handle),
                    kWaitLimit);
                ok = GetOverlappedResult(handle.file, &overlapped, &bytes, TRUE);
                error = ok ? 0 : GetLastError();
            } else if (ok) {
                bytes = static_cast<DWORD>(overlapped.InternalHigh);
            }
            handle.slot->Unregister(pending);
            CloseHandle(overlapped.hEvent);
        } else {
            std::atomic<bool> returned{false};
            uint64_t pending = handle.slot->Register("synchronous write on " + Where(handle),
                                                     [&returned] { return returned.load(); });
            Watchdog::Guard guard = world_.watchdog.Watch(
                "synchronous write of " + std::to_string(length) + " bytes on " + Where(handle),
                kWaitLimit);
            ok = WriteFile(handle.file, buffer.data(), length, &bytes, nullptr);
            error = ok ? 0 : GetLastError();
            returned.store(true);
            handle.slot->Unregister(pending);
        }
        if (ok && bytes != length)
            world_.Report("a write of " + std::to_string(length) + " bytes on " + Where(handle) +
                          " reported " + std::to_string(bytes));
        if (error == ERROR_NOT_READY && world_.options.checkHeldRequests)
            world_.Report(
                "a write on " + Where(handle) +
                " failed as not ready: it reached the bus while the device was stopped or "
                "out of D0");
    }

    // One control code, synchronously; what is certain about its answer is checked.
    bool Ioctl(Handle& handle, DWORD code, const void* input, DWORD inputLength, void* output,
               DWORD outputLength, DWORD* bytes, DWORD* error) {
        std::atomic<bool> returned{false};
        uint64_t pending =
            handle.slot->Register("control code " + Code(code) + " on " + Where(handle),
                                  [&returned] { return returned.load(); });
        BOOL ok;
        {
            Watchdog::Guard guard = world_.watchdog.Watch(
                "control code " + Code(code) + " on " + Where(handle), kWaitLimit);
            if (handle.overlapped) {
                OVERLAPPED overlapped{};
                overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
                ok = DeviceIoControl(handle.file, code, const_cast<void*>(input), inputLength,
                                     output, outputLength, nullptr, &overlapped);
                if (!ok && GetLastError() == ERROR_IO_PENDING)
                    ok = GetOverlappedResult(handle.file, &overlapped, bytes, TRUE);
                else if (ok)
                    *bytes = static_cast<DWORD>(overlapped.InternalHigh);
                *error = ok ? 0 : GetLastError();
                CloseHandle(overlapped.hEvent);
            } else {
                ok = DeviceIoControl(handle.file, code, const_cast<void*>(input), inputLength,
                                     output, outputLength, bytes, nullptr);
                *error = ok ? 0 : GetLastError();
            }
        }
        returned.store(true);
        handle.slot->Unregister(pending);
        if (*error == ERROR_NOT_READY && world_.options.checkHeldRequests)
            world_.Report(
                "control code " + Code(code) + " on " + Where(handle) +
                " failed as not ready: it reached the bus while the device was stopped or "
                "out of D0");
        return ok != FALSE;
    }

    void ResetPipe(Handle& handle) {
        DWORD bytes = 0;
        DWORD error = 0;
        Ioctl(handle, IOCTL_KESTRUNE_RESET_PIPE, nullptr, 0, nullptr, 0, &bytes, &error);
    }

    void Control(Handle& handle) {
        static const DWORD kCodes[] = {
            IOCTL_KESTRUNE_GET_CONFIG_DESCRIPTOR,
            IOCTL_KESTRUNE_RESET_PORT,
            IOCTL_KESTRUNE_RESET_PIPE,
            IOCTL_KESTRUNE_SET_OPTIONS,
            IOCTL_KESTRUNE_GET_OPTIONS,
            IOCTL_KESTRUNE_GET_VERSION,
            IOCTL_KESTRUNE_GET_BUILD_DATE,
            IOCTL_KESTRUNE_GET_MAX_TRANSFER_A,
            IOCTL_KESTRUNE_GET_MAX_TRANSFER_B,
            IOCTL_KESTRUNE_GET_SERIAL_NUMBER,
            IOCTL_KESTRUNE_GET_START_TICK,
            IOCTL_KESTRUNE_SET_READ_CHUNK_SIZE,
            IOCTL_KESTRUNE_SET_WRITE_CHUNK_SIZE,
            IOCTL_KESTRUNE_GET_READ_CHUNK_SIZE,
            IOCTL_KESTRUNE_GET_WRITE_CHUNK_SIZE,
            IOCTL_KESTRUNE_GET_MANUFACTURER_STRING,
            IOCTL_KESTRUNE_GET_PRODUCT_STRING,
            IOCTL_KESTRUNE_CLEAR_READ_BUFFER,
        };
        DWORD code = kCodes[Pick(0, sizeof(kCodes) / sizeof(kCodes[0]) - 1)];
        uint8_t output[512];
        std::memset(output, 0xB9, sizeof(output));
        DWORD input = 0;
        switch (code) {
        case IOCTL_KESTRUNE_SET_OPTIONS:
            input = Chance(50) ? KESTRUNE_OPTION_PARTIAL_READS : 0;
            break;
        case IOCTL_KESTRUNE_SET_READ_CHUNK_SIZE: {
            static const DWORD kChunks[] = {64, 512, 2048, 4096, 65536};
            input = Chance(20) ? Pick(1, kMaxTransfer) : kChunks[Pick(0, 4)];
            break;
        }
        case IOCTL_KESTRUNE_SET_WRITE_CHUNK_SIZE:
            input = Pick(1, kMaxTransfer);
            break;
        case IOCTL_KESTRUNE_CLEAR_READ_BUFFER:
            // Noted before it is sent: it may discard what arrives from now on.
            handle.slot->ledger->NoteClear();
            break;
        default:
            break;
        }
        DWORD bytes = 0;
        DWORD error = 0;
        if (!Ioctl(handle, code, &input, sizeof(input), output, sizeof(output), &bytes, &error))
            return;
        auto wrong = [&](const std::string& what) {
            world_.Report("control code " + Code(code) + " on " + Where(handle) +
                          " succeeded with " + what);
        };
        DWORD word = 0;
        std::memcpy(&word, output, sizeof(word));
        switch (code) {
        case IOCTL_KESTRUNE_GET_VERSION:
            if (bytes != 4 || word != kDriverVersion)
                wrong("version " + std::to_string(word));
            break;
        case IOCTL_KESTRUNE_GET_MAX_TRANSFER_A:
        case IOCTL_KESTRUNE_GET_MAX_TRANSFER_B:
            if (bytes != 4 || word != kMaxTransfer)
                wrong("maximum transfer " + std::to_string(word));
            break;
        case IOCTL_KESTRUNE_GET_BUILD_DATE:
            if (bytes != sizeof(kBuildDate) ||
                std::memcmp(output, kBuildDate, sizeof(kBuildDate)) != 0)
                wrong("a build date that is not the driver's");
            break;
        case IOCTL_KESTRUNE_GET_SERIAL_NUMBER: {
            std::string text(reinterpret_cast<const char*>(output),
                             bytes > 0 && bytes <= sizeof(output) ? bytes - 1 : 0);
            if (bytes != handle.slot->serialNumber.size() + 1 ||
                text != handle.slot->serialNumber || output[bytes - 1] != 0)
                wrong("serial number \"" + text + "\" (" + std::to_string(bytes) +
                      " bytes); the instrument's is \"" + handle.slot->serialNumber + "\"");
            break;
        }
        case IOCTL_KESTRUNE_GET_CONFIG_DESCRIPTOR:
            if (bytes < 9 || output[1] != 2 ||
                static_cast<DWORD>(output[2] | output[3] << 8) != bytes)
                wrong("a configuration descriptor of " + std::to_string(bytes) + " bytes");
            break;
        default:
            break;
        }
    }

    void CancelAnotherRead() {
        std::lock_guard<std::mutex> lock(Reads().mutex);
        std::vector<HANDLE> impatient;
        for (const auto& [id, read] : Reads().reads) {
            if (!read.patient)
                impatient.push_back(read.file);
        }
        if (impatient.empty())
            return;
        HANDLE file = impatient[Pick(0, static_cast<uint32_t>(impatient.size() - 1))];
        Watchdog::Guard guard = world_.watchdog.Watch(
            "cancelling another thread's synchronous read (application thread " +
                std::to_string(index_) + ")",
            kWaitLimit);
        CancelIoEx(file, nullptr);
    }

    World& world_;
    int index_;
    std::mt19937_64 random_;
    std::vector<Handle> handles_;
    uint64_t issued_ = 0;
};

} // namespace

void CancelPatientReads() {
    std::lock_guard<std::mutex> lock(Reads().mutex);
    for (const auto& [id, read] : Reads().reads) {
        if (read.patient)
            CancelIoEx(read.file, nullptr);
    }
}

void CancelOverdueReads() {
    std::lock_guard<std::mutex> lock(Reads().mutex);
    auto now = std::chrono::steady_clock::now();
    for (auto& [id, read] : Reads().reads) {
        if (!read.patient && now > read.deadline) {
            CancelIoEx(read.file, nullptr);
            // Once is enough; a cancel that found nothing yet is tried again later.
            read.deadline = now + std::chrono::milliseconds(50);
        }
    }
}

void RunApplicationThread(World& world, int index, uint64_t randomStart) {
    ApplicationThread thread(world, index, randomStart);
    thread.Run();
}

} // namespace stress
