// Self-tests of the Win32 application API: the results, last errors, OVERLAPPED fields and
// events that kernel32 gives for device files, on the driver with a simulated loopback
// instrument; and the SetupDi listing.
#include <windows.h>
#include <setupapi.h>
#include <initguid.h>

#include "kestrune_ioctl.h"
#include "simulated_pc.h"
#include "win32_app_sim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using kswin32::app::InstrumentConfig;
using kswin32::app::SimulatedPc;

std::vector<WCHAR> Wide(const std::string& text) {
    std::vector<WCHAR> wide(text.begin(), text.end());
    wide.push_back(0);
    return wide;
}

HANDLE Open(const std::string& path, bool overlapped = true) {
    return CreateFileW(Wide(path).data(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       overlapped ? FILE_FLAG_OVERLAPPED : 0, NULL);
}

std::vector<BYTE> Bytes(size_t count, unsigned start = 0) {
    std::vector<BYTE> data(count);
    for (size_t i = 0; i < count; ++i)
        data[i] = static_cast<BYTE>(start + i * 7 + i / 256);
    return data;
}

class Win32AppTest : public ::testing::Test {
  protected:
    void Boot(std::vector<InstrumentConfig> instruments = {InstrumentConfig{}}) {
        std::string error;
        findingsBefore_ = SimulatedPc::VerifierFindings();
        pc_ = SimulatedPc::Boot(KESTRUNE_DRIVER_PATH, instruments, &error);
        ASSERT_TRUE(pc_) << error;
    }
    void SetUp() override { Boot(); }
    void TearDown() override {
        pc_.reset();
        EXPECT_EQ(SimulatedPc::VerifierFindings(), findingsBefore_)
            << "the driver verifier reported findings (printed above)";
    }

    // Writes through the loopback instrument, so that the bytes come back on the IN pipe.
    void Loop(const std::vector<BYTE>& data) {
        HANDLE out = Open("\\\\.\\trelvousb1\\ep01", false);
        ASSERT_NE(out, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(out, data.data(), static_cast<DWORD>(data.size()), &written, NULL));
        EXPECT_EQ(written, data.size());
        CloseHandle(out);
    }

    std::unique_ptr<SimulatedPc> pc_;
    size_t findingsBefore_ = 0;
};

// Every failing call gives the Win32 error that RtlNtStatusToDosError makes of the driver's
// status, and FormatMessage has a text for it.
TEST_F(Win32AppTest, DriverStatusesBecomeTheWin32ErrorsWindowsReports) {
    struct Case {
        const char* what;
        const char* path;
        enum { Open, Read, Write, Control } call;
        DWORD length; // read and write length, or output length for a control code
        DWORD code;
        DWORD error;
    };
    const Case cases[] = {
        {"no such device", "\\\\.\\trelvousb3", Case::Open, 0, 0, ERROR_FILE_NOT_FOUND},
        {"not a device name", "C:\\data.bin", Case::Open, 0, 0, ERROR_PATH_NOT_FOUND},
        {"pipe index 6", "\\\\.\\trelvousb1\\ep06", Case::Open, 0, 0, ERROR_INVALID_PARAMETER},
        {"pipe beyond the interface's", "\\\\.\\trelvousb1\\ep05", Case::Open, 0, 0,
         ERROR_BAD_COMMAND},
        {"read on the device handle", "\\\\.\\trelvousb1", Case::Read, 10, 0, ERROR_INVALID_HANDLE},
        {"read above 65536 bytes", "\\\\.\\trelvousb1\\ep00", Case::Read, 65537, 0,
         ERROR_INVALID_PARAMETER},
        {"zero-length write has no buffer", "\\\\.\\trelvousb1\\ep01", Case::Write, 0, 0,
         ERROR_GEN_FAILURE},
        {"build date into 20 bytes", "\\\\.\\trelvousb1", Case::Control, 20,
         IOCTL_KESTRUNE_GET_BUILD_DATE, ERROR_INSUFFICIENT_BUFFER},
        {"code between two codes", "\\\\.\\trelvousb1", Case::Control, 4,
         IOCTL_KESTRUNE_GET_CONFIG_DESCRIPTOR + 2, ERROR_INVALID_FUNCTION},
        {"pipe reset on the device handle", "\\\\.\\trelvousb1", Case::Control, 0,
         IOCTL_KESTRUNE_RESET_PIPE, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HANDLE handle = Open(c.path, false);
        BOOL ok = handle != INVALID_HANDLE_VALUE;
        std::vector<BYTE> buffer(c.length + 1);
        DWORD count = 12345;
        if (ok && c.call == Case::Read)
            ok = ReadFile(handle, buffer.data(), c.length, &count, NULL);
        if (ok && c.call == Case::Write)
            ok = WriteFile(handle, buffer.data(), c.length, &count, NULL);
        if (ok && c.call == Case::Control)
            ok = DeviceIoControl(handle, c.code, NULL, 0, c.length ? buffer.data() : NULL, c.length,
                                 &count, NULL);
        DWORD error = GetLastError();
        EXPECT_FALSE(ok);
        EXPECT_EQ(error, c.error);
        if (c.call != Case::Open) {
            EXPECT_EQ(count, 0u) << "a failed call reports no bytes";
            EXPECT_TRUE(CloseHandle(handle));
        }
        char text[256];
        EXPECT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                 error, 0, text, sizeof text, NULL),
                  0u);
    }
}

TEST_F(Win32AppTest, FormatMessageGivesTheSystemTextsAndRefusesWhatItCannotDo) {
    char text[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, ERROR_OPERATION_ABORTED, 0,
                                  text, sizeof text, NULL);
    EXPECT_STREQ(text, "The I/O operation has been aborted because of either a thread exit or an "
                       "application request.\r\n");
    EXPECT_EQ(length, std::strlen(text));
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, ERROR_IO_PENDING, 0, text, 10, NULL),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, 0xDEAD, 0, text, sizeof text, NULL),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
    LPSTR allocated = nullptr;
    EXPECT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, NULL,
                             ERROR_BAD_COMMAND, 0, reinterpret_cast<LPSTR>(&allocated), 0, NULL),
              0u);
    ASSERT_NE(allocated, nullptr);
    EXPECT_STREQ(allocated, "The device does not recognize the command.\r\n");
    LocalFree(allocated);
}

// An overlapped read that has to wait: ERROR_IO_PENDING, Internal STATUS_PENDING, an event that
// is reset at the start and set only at completion, and then the bytes in InternalHigh.
TEST_F(Win32AppTest, AnOverlappedReadPendsUntilDataArrivesAndThenSignalsItsEvent) {
    HANDLE pipe = Open("\\\\.\\trelvousb1\\ep00");
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    HANDLE event = CreateEventW(NULL, TRUE, TRUE, NULL); // signalled: the read must reset it
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    std::vector<BYTE> buffer(300);
    DWORD count = 99;
    EXPECT_FALSE(ReadFile(pipe, buffer.data(), 300, &count, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(overlapped.Internal, static_cast<ULONG_PTR>(STATUS_PENDING));
    EXPECT_FALSE(HasOverlappedIoCompleted(&overlapped));
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(GetOverlappedResult(pipe, &overlapped, &count, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    std::vector<BYTE> data = Bytes(300);
    Loop(data);
    ASSERT_EQ(WaitForSingleObject(event, 5000), static_cast<DWORD>(WAIT_OBJECT_0))
        << "the read did not complete within 5 s of the data arriving";
    EXPECT_EQ(overlapped.Internal, 0u);
    EXPECT_EQ(overlapped.InternalHigh, 300u);
    ASSERT_TRUE(GetOverlappedResult(pipe, &overlapped, &count, FALSE));
    EXPECT_EQ(count, 300u);
    EXPECT_EQ(buffer, data);
    CloseHandle(event);
    CloseHandle(pipe);
}

// A read that completes in the dispatch routine (data already buffered) returns TRUE at once,
// also on an overlapped handle, and still fills the OVERLAPPED and sets the event.
TEST_F(Win32AppTest, AReadServedFromTheBufferCompletesAtOnceOnBothKindsOfHandle) {
    Loop(Bytes(600));
    HANDLE pipe = Open("\\\\.\\trelvousb1\\ep00");
    std::vector<BYTE> buffer(300);
    DWORD count = 0;
    OVERLAPPED overlapped = {};
    // The first read brings at least a packet of 512 bytes into the driver's buffer and takes
    // 200 of them; the next 100 are there already.
    ASSERT_TRUE(ReadFile(Open("\\\\.\\trelvousb1\\ep00", false), buffer.data(), 200, &count, NULL));
    EXPECT_EQ(count, 200u);
    EXPECT_TRUE(ReadFile(pipe, buffer.data() + 200, 100, &count, &overlapped))
        << "error " << GetLastError();
    EXPECT_EQ(count, 100u);
    EXPECT_EQ(overlapped.Internal, 0u);
    EXPECT_EQ(overlapped.InternalHigh, 100u);
    EXPECT_EQ(WaitForSingleObject(pipe, 0), static_cast<DWORD>(WAIT_OBJECT_0))
        << "without an event the file itself is signalled";
    std::vector<BYTE> expected = Bytes(600);
    expected.resize(300);
    EXPECT_EQ(buffer, expected);
    CloseHandle(pipe); // the synchronous handle above is closed by process exit
}

// CancelIoEx cancels a waiting read; the read hands over what the driver had buffered, which
// GetOverlappedResult reports with ERROR_OPERATION_ABORTED. A synchronous ReadFile cancelled
// from another thread reports 0 bytes, as kernel32 does for a failed synchronous read.
TEST_F(Win32AppTest, ACancelledReadKeepsItsBytesOnlyForOverlappedCallers) {
    // The read-ahead receives 10 bytes and a read of 100 waits for the rest.
    Loop(Bytes(10));
    HANDLE pipe = Open("\\\\.\\trelvousb1\\ep00");
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    std::vector<BYTE> buffer(100);
    ASSERT_FALSE(ReadFile(pipe, buffer.data(), 100, NULL, &overlapped));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(WaitForSingleObject(overlapped.hEvent, 200), static_cast<DWORD>(WAIT_TIMEOUT))
        << "a read of 100 bytes completed with only 10 there";
    EXPECT_TRUE(CancelIoEx(pipe, &overlapped));
    DWORD count = 0;
    EXPECT_FALSE(GetOverlappedResult(pipe, &overlapped, &count, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(count, 10u);
    EXPECT_EQ(std::vector<BYTE>(buffer.begin(), buffer.begin() + 10), Bytes(10));
    EXPECT_FALSE(CancelIoEx(pipe, &overlapped)) << "nothing left to cancel";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));

    Loop(Bytes(10, 50));
    HANDLE synchronous = Open("\\\\.\\trelvousb1\\ep00", false);
    BOOL ok = TRUE;
    DWORD error = 0, syncCount = 77;
    std::thread reader([&] {
        ok = ReadFile(synchronous, buffer.data(), 100, &syncCount, NULL);
        error = GetLastError();
    });
    // Cancel until the read is there to be cancelled.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!CancelIoEx(synchronous, NULL)) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline)
            << "the synchronous read never became cancellable";
        Sleep(1);
    }
    reader.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(syncCount, 0u);
    CloseHandle(overlapped.hEvent);
    CloseHandle(pipe);
    CloseHandle(synchronous);
}

TEST_F(Win32AppTest, CancelIoCancelsOnlyTheCallingThreadsRequests) {
    HANDLE pipe = Open("\\\\.\\trelvousb1\\ep00");
    OVERLAPPED overlapped = {};
    std::vector<BYTE> buffer(16);
    std::thread([&] {
        EXPECT_FALSE(ReadFile(pipe, buffer.data(), 16, NULL, &overlapped));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }).join();
    EXPECT_TRUE(CancelIo(pipe));
    EXPECT_FALSE(HasOverlappedIoCompleted(&overlapped))
        << "CancelIo cancelled another thread's read";
    std::thread other([&] { EXPECT_TRUE(CancelIoEx(pipe, NULL)); });
    other.join();
    DWORD count = 1;
    EXPECT_FALSE(GetOverlappedResult(pipe, &overlapped, &count, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(count, 0u);
    CloseHandle(pipe);
}

// Closing a handle sends cleanup at once but the close only after the file's last request;
// the driver does not end a read at cleanup, so the read completes when its data comes.
TEST_F(Win32AppTest, CloseHandleLetsAReadInFlightFinish) {
    HANDLE pipe = Open("\\\\.\\trelvousb1\\ep00");
    HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    std::vector<BYTE> buffer(40);
    ASSERT_FALSE(ReadFile(pipe, buffer.data(), 40, NULL, &overlapped));
    EXPECT_TRUE(CloseHandle(pipe));
    EXPECT_FALSE(CloseHandle(pipe)) << "a handle closes once";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(kswin32::app::OpenDeviceHandles(), 0u);
    EXPECT_EQ(WaitForSingleObject(event, 100), static_cast<DWORD>(WAIT_TIMEOUT));
    Loop(Bytes(40));
    ASSERT_EQ(WaitForSingleObject(event, 5000), static_cast<DWORD>(WAIT_OBJECT_0))
        << "the read on the closed handle did not complete within 5 s";
    EXPECT_EQ(overlapped.InternalHigh, 40u);
    EXPECT_EQ(buffer, Bytes(40));
    kswin32::app::FinishDeferredCloses();
    CloseHandle(event);
}

TEST_F(Win32AppTest, ControlCodesCarryBufferedInputAndOutput) {
    HANDLE device = Open("\\\\.\\trelvousb1", false);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    DWORD value = 4096, echo = 0, count = 0;
    ASSERT_TRUE(DeviceIoControl(device, IOCTL_KESTRUNE_SET_READ_CHUNK_SIZE, &value, 4, &echo, 4,
                                &count, NULL));
    EXPECT_EQ(count, 4u);
    value = 0;
    ASSERT_TRUE(DeviceIoControl(device, IOCTL_KESTRUNE_GET_READ_CHUNK_SIZE, NULL, 0, &value, 4,
                                &count, NULL));
    EXPECT_EQ(value, 4096u);
    char text[64] = {};
    ASSERT_TRUE(DeviceIoControl(device, IOCTL_KESTRUNE_GET_SERIAL_NUMBER, NULL, 0, text,
                                sizeof text, &count, NULL));
    EXPECT_STREQ(text, "KS0001");
    EXPECT_EQ(count, 7u);
    // Overlapped on an overlapped handle: the codes complete in the dispatch routine.
    HANDLE overlappedDevice = Open("\\\\.\\trelvousb1");
    OVERLAPPED overlapped = {};
    value = 0;
    EXPECT_TRUE(DeviceIoControl(overlappedDevice, IOCTL_KESTRUNE_GET_VERSION, NULL, 0, &value, 4,
                                NULL, &overlapped));
    EXPECT_EQ(value, 27010u);
    EXPECT_EQ(overlapped.InternalHigh, 4u);
    EXPECT_FALSE(
        DeviceIoControl(device, IOCTL_KESTRUNE_GET_VERSION, NULL, 0, &value, 4, NULL, NULL))
        << "a synchronous call needs somewhere to put its count";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(overlappedDevice);
    CloseHandle(device);
}

// Interfaces of two instruments, one of them then unplugged: DIGCF_PRESENT lists only the
// enabled interface; paths open; the buffer-size protocol of the detail call.
TEST_F(Win32AppTest, SetupDiListsThePresentInterfacesAndTheirPaths) {
    InstrumentConfig second;
    second.productId = 0x0010;
    second.serialNumber = u"KS0002";
    std::string error;
    ASSERT_NE(pc_->PlugIn(second, &error), SIZE_MAX) << error;

    auto list = [](DWORD flags, std::vector<std::string>* paths, std::vector<DWORD>* states) {
        HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_KESTRUNE, NULL, NULL,
                                            flags | DIGCF_DEVICEINTERFACE);
        ASSERT_NE(set, INVALID_HANDLE_VALUE);
        SP_DEVICE_INTERFACE_DATA data = {};
        data.cbSize = sizeof data;
        DWORD index = 0;
        for (; SetupDiEnumDeviceInterfaces(set, NULL, &GUID_DEVINTERFACE_KESTRUNE, index, &data);
             ++index) {
            DWORD needed = 0;
            EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, NULL, 0, &needed, NULL));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
            std::vector<BYTE> storage(needed);
            auto detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(storage.data());
            detail->cbSize = storage.size(); // a common mistake: the buffer's size
            EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, NULL, NULL));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            EXPECT_FALSE(
                SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed - 1, NULL, NULL));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
            ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, NULL, NULL));
            std::string path;
            for (const WCHAR* unit = detail->DevicePath; *unit; ++unit)
                path.push_back(static_cast<char>(*unit));
            EXPECT_EQ(needed, 4 + (path.size() + 1) * 2);
            paths->push_back(path);
            states->push_back(data.Flags);
        }
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        data.cbSize = 8;
        EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, NULL, &GUID_DEVINTERFACE_KESTRUNE, 0, &data));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
        EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    };
    std::vector<std::string> paths;
    std::vector<DWORD> states;
    list(DIGCF_PRESENT, &paths, &states);
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[0],
              "\\\\?\\USB#VID_2A4B&PID_0002#KS0001#{54654e76-dcf7-4a7f-878a-4e8fca0acc9a}");
    EXPECT_EQ(paths[1],
              "\\\\?\\USB#VID_2A4B&PID_0010#KS0002#{54654e76-dcf7-4a7f-878a-4e8fca0acc9a}");
    for (const std::string& path : paths) {
        HANDLE pipe = Open(path + "\\ep01", false);
        EXPECT_NE(pipe, INVALID_HANDLE_VALUE) << path;
        CloseHandle(pipe);
    }
    pc_->SurpriseRemove(0);
    paths.clear();
    states.clear();
    list(DIGCF_PRESENT, &paths, &states);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_NE(paths[0].find("PID_0010"), std::string::npos);
    paths.clear();
    states.clear();
    list(0, &paths, &states);
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(states, (std::vector<DWORD>{0, SPINT_ACTIVE}));
    EXPECT_EQ(Open(paths[0]), INVALID_HANDLE_VALUE) << "a disabled interface has no link";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// Surprise removal aborts a waiting read; later requests on the handle fail with the device's
// state, and the handle still closes.
TEST_F(Win32AppTest, UnpluggingEndsAWaitingReadAndLaterRequestsFail) {
    HANDLE pipe = Open("\\\\.\\trelvousb1\\ep00");
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    std::vector<BYTE> buffer(64);
    ASSERT_FALSE(ReadFile(pipe, buffer.data(), 64, NULL, &overlapped));
    pc_->SurpriseRemove(0);
    ASSERT_EQ(WaitForSingleObject(overlapped.hEvent, 5000), static_cast<DWORD>(WAIT_OBJECT_0))
        << "the read was not ended within 5 s of the surprise removal";
    DWORD count = 0;
    EXPECT_FALSE(GetOverlappedResult(pipe, &overlapped, &count, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_FALSE(ReadFile(pipe, buffer.data(), 64, NULL, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_COMMAND));
    EXPECT_TRUE(CloseHandle(pipe));
    CloseHandle(overlapped.hEvent);
}

// Random lengths (the longest allowed and one more among them) written and read back through
// overlapped and synchronous handles, with reads split at random points.
TEST_F(Win32AppTest, SeededLoopbackRunsMatchByteForByte) {
    for (unsigned run = 1; run <= 3; ++run) {
        SCOPED_TRACE("run number " + std::to_string(run));
        std::mt19937 random(run);
        HANDLE out = Open("\\\\.\\trelvousb1\\ep01", false);
        HANDLE in = Open("\\\\.\\trelvousb1\\ep00", run % 2 == 0);
        HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
        for (int round = 0; round < 20; ++round) {
            size_t length = std::uniform_int_distribution<size_t>(1, 65537)(random);
            if (round == 0)
                length = 65536;
            std::vector<BYTE> data = Bytes(length, random());
            DWORD count = 0;
            BOOL written = WriteFile(out, data.data(), static_cast<DWORD>(length), &count, NULL);
            if (length > 65536) {
                EXPECT_FALSE(written);
                EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
                continue;
            }
            ASSERT_TRUE(written) << "error " << GetLastError();
            std::vector<BYTE> back(length);
            size_t split = std::uniform_int_distribution<size_t>(0, length)(random);
            for (auto [at, part] : {std::pair<size_t, size_t>{0, split}, {split, length - split}}) {
                if (part == 0)
                    continue;
                OVERLAPPED overlapped = {};
                overlapped.hEvent = event;
                BOOL ok = ReadFile(in, back.data() + at, static_cast<DWORD>(part), &count,
                                   run % 2 == 0 ? &overlapped : NULL);
                if (!ok && GetLastError() == ERROR_IO_PENDING) {
                    ASSERT_EQ(WaitForSingleObject(event, 5000), static_cast<DWORD>(WAIT_OBJECT_0))
                        << "a read of " << part << " looped bytes did not complete within 5 s";
                    ok = GetOverlappedResult(in, &overlapped, &count, FALSE);
                }
                ASSERT_TRUE(ok) << "error " << GetLastError();
                ASSERT_EQ(count, part);
            }
            ASSERT_EQ(back, data) << "length " << length;
        }
        CloseHandle(event);
        CloseHandle(in);
        CloseHandle(out);
    }
}

} // namespace
