// Self-tests of failure injection by call number in the Win32 stand-in: which calls count, under
// which name, and that a failed call returns what Windows returns, sets its last error and
// changes nothing else.
#include <windows.h>
#include <commctrl.h>

#include "win32_faults.h"
#include "win32_sim.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace {

std::atomic<int> threadRuns{0};

DWORD WINAPI CountRun(LPVOID)
{
    ++threadRuns;
    return 0;
}

std::atomic<int> dialogMessages{0};

INT_PTR CALLBACK CountMessages(HWND, UINT, WPARAM, LPARAM)
{
    ++dialogMessages;
    return FALSE;
}

class Win32Faults : public ::testing::Test {
  protected:
    void SetUp() override
    {
        win32sim::Reset();
        InitCommonControls();
    }
    void TearDown() override { win32sim::Reset(); }
};

// One call of each kind; each round fails one of them and checks that it failed as Windows
// fails it and had no effect, and that the others ran as usual.
TEST_F(Win32Faults, EachKindOfCallFailsAsWindowsFailsItAndChangesNothing)
{
    struct Step {
        const char* function;
        DWORD error;                            // the last error a failure sets; 0: none
        std::function<bool(bool failed)> call;  // true when the call reported failure
    };
    HANDLE file = INVALID_HANDLE_VALUE;
    HWND combo = nullptr, label = nullptr, owner = nullptr;
    HINSTANCE module = nullptr;
    const std::vector<Step> steps = {
        {"CreateFileA", ERROR_SHARING_VIOLATION,
         [&](bool failed) {
             size_t before = win32sim::CountHandles("file");
             file = CreateFileA("C:\\fw.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
             EXPECT_EQ(win32sim::CountHandles("file"), before + (failed ? 0 : 1));
             if (failed) {
                 file = CreateFileA("C:\\fw.bin", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
                 EXPECT_NE(file, INVALID_HANDLE_VALUE);
                 return true;
             }
             return file == INVALID_HANDLE_VALUE;
         }},
        {"GetFileSize", ERROR_NOT_ENOUGH_MEMORY,
         [&](bool failed) {
             DWORD size = GetFileSize(file, nullptr);
             EXPECT_EQ(size, failed ? INVALID_FILE_SIZE : 5u);
             return size == INVALID_FILE_SIZE;
         }},
        {"ReadFile", ERROR_READ_FAULT,
         [&](bool failed) {
             char bytes[2] = {0, 0};
             DWORD read = 9;
             BOOL ok = ReadFile(file, bytes, 2, &read, nullptr);
             EXPECT_EQ(read, failed ? 0u : 2u);
             if (failed) {
                 EXPECT_TRUE(ReadFile(file, bytes, 2, &read, nullptr));
                 EXPECT_EQ(read, 2u);
             }
             EXPECT_EQ(bytes[0], 'a') << "a failed read keeps the file position";
             return !ok;
         }},
        {"CreateThread", ERROR_NOT_ENOUGH_MEMORY,
         [&](bool failed) {
             int runs = threadRuns;
             HANDLE thread = CreateThread(nullptr, 0, CountRun, nullptr, 0, nullptr);
             if (thread) {
                 EXPECT_EQ(WaitForSingleObject(thread, 5000), static_cast<DWORD>(WAIT_OBJECT_0))
                     << "waited for the thread";
                 CloseHandle(thread);
             }
             EXPECT_EQ(threadRuns, runs + (failed ? 0 : 1));
             return thread == nullptr;
         }},
        {"LoadLibraryA", ERROR_NOT_ENOUGH_MEMORY,
         [&](bool failed) {
             HMODULE loaded = LoadLibraryA("C:\\host\\faults.dll");
             EXPECT_EQ(win32sim::ModuleReferences(module), failed ? 1 : 2);
             if (loaded)
                 FreeLibrary(loaded);
             return loaded == nullptr;
         }},
        {"DialogBoxParamA", ERROR_NOT_ENOUGH_MEMORY,
         [&](bool failed) {
             int before = dialogMessages;
             // The module has no template: the dialog fails either way, with its own reason.
             INT_PTR result =
                 DialogBoxParamA(module, MAKEINTRESOURCEA(101), owner, CountMessages, 0);
             EXPECT_EQ(result, -1);
             EXPECT_EQ(GetLastError(), failed ? static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY)
                                              : static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
             EXPECT_EQ(dialogMessages, before);
             EXPECT_TRUE(IsWindowEnabled(owner));
             return failed;  // the failure itself is checked through the last error
         }},
        {"SendMessageA", 0,
         [&](bool failed) {
             LRESULT index = SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("one"));
             EXPECT_EQ(index, failed ? CB_ERRSPACE : 0);
             EXPECT_EQ(SendMessageA(combo, CB_GETCOUNT, 0, 0), failed ? 0 : 1);
             return index < 0;
         }},
        {"SetWindowTextA", 0,
         [&](bool failed) {
             BOOL ok = SetWindowTextA(label, "new");
             char text[8];
             GetWindowTextA(label, text, sizeof text);
             EXPECT_STREQ(text, failed ? "old" : "new");
             return !ok;
         }},
        {"PostMessageA", ERROR_NOT_ENOUGH_QUOTA,
         [&](bool failed) {
             BOOL ok = PostMessageA(label, WM_QUIT, 3, 0);
             int code = 0;
             EXPECT_EQ(win32sim::TakeQuitMessage(&code), !failed) << "a failed post queues nothing";
             return !ok;
         }},
    };

    // Modules stay registered across the rounds; the loader finds the first by its name.
    static HINSTANCE faultsModule = win32sim::RegisterModule("faults.dll", nullptr, 0);
    module = faultsModule;
    for (size_t k = 0; k < steps.size(); ++k) {
        SCOPED_TRACE(steps[k].function);
        win32sim::Reset();
        win32sim::AddVirtualFile("C:\\fw.bin", {'a', 'b', 'c', 'd', 'e'});
        owner = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr,
                                nullptr);
        combo = CreateWindowExA(0, "COMBOBOX", "", WS_CHILD, 0, 0, 1, 1, owner, nullptr, nullptr,
                                nullptr);
        label = CreateWindowExA(0, "STATIC", "old", WS_CHILD, 0, 0, 1, 1, owner, nullptr, nullptr,
                                nullptr);
        for (size_t i = 0; i < steps.size(); ++i) {
            bool failing = i == k;
            if (failing)
                win32sim::CountCalls(1);  // the step's call is the first counted
            SetLastError(0);
            bool reportedFailure = steps[i].call(failing);
            EXPECT_EQ(reportedFailure, failing) << steps[i].function;
            if (!failing)
                continue;
            if (steps[i].error != 0) {
                EXPECT_EQ(GetLastError(), steps[i].error);
            }
            auto calls = win32sim::CountedCalls();
            ASSERT_FALSE(calls.empty());
            EXPECT_EQ(calls[0].function, steps[i].function);
            EXPECT_TRUE(calls[0].failed);
            for (size_t later = 1; later < calls.size(); ++later)
                EXPECT_FALSE(calls[later].failed) << calls[later].function;
            win32sim::StopCountingCalls();
        }
        CloseHandle(file);
        DestroyWindow(owner);
        EXPECT_EQ(win32sim::CountHandles("file"), 0u);
    }
}

// Messages that cannot fail on their own thread are not counted, calls of the stand-in made on
// its own behalf are not counted, and a call made through another is counted under the outer
// name; a send to another thread's window fails undelivered.
TEST_F(Win32Faults, CountsTheCallersCallsUnderTheNamesItCalled)
{
    HWND owner =
        CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    HWND combo =
        CreateWindowExA(0, "COMBOBOX", "", WS_CHILD, 0, 0, 1, 1, owner, nullptr, nullptr, nullptr);
    HWND bar = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD, 0, 0, 1, 1, owner,
                               reinterpret_cast<HMENU>(7), nullptr, nullptr);
    win32sim::CountCalls(0);
    SendMessageA(combo, CB_RESETCONTENT, 0, 0);
    SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("x"));
    SendMessageA(combo, CB_SETITEMDATA, 0, 5);
    SendMessageA(bar, PBM_SETPOS, 1, 0);
    win32sim::PressButton(owner, IDCANCEL);
    auto calls = win32sim::CountedCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].function, "SendMessageA");
    EXPECT_EQ(calls[0].detail, "CB_ADDSTRING x");

    // From another thread a message is counted and, failed, never arrives (a send that
    // succeeded would wait for this thread to handle it).
    for (const char* function : {"SendDlgItemMessageA", "SendMessageA"}) {
        win32sim::CountCalls(1);
        LRESULT result = -1;
        DWORD error = 0;
        std::thread other([&] {
            result = std::string(function) == "SendMessageA"
                         ? SendMessageA(bar, PBM_STEPIT, 0, 0)
                         : SendDlgItemMessageA(owner, 7, PBM_STEPIT, 0, 0);
            error = GetLastError();
        });
        other.join();
        EXPECT_EQ(result, 0);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
        calls = win32sim::CountedCalls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].function, function);
        EXPECT_EQ(calls[0].detail, "PBM_STEPIT");
        EXPECT_TRUE(calls[0].failed);
    }
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 1) << "the failed step never arrived";
    DestroyWindow(owner);
}

}  // namespace
