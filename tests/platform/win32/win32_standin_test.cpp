// Self-tests of the Win32 stand-in: message passing between threads, the modal dialog from a
// binary template, the controls, code pages, formatting, files and threads.
#include <windows.h>
#include <commctrl.h>

#include "win32_sim.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <algorithm>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Little-endian writer for a compiled resource file holding one dialog template.
struct Bytes {
    std::vector<uint8_t> data;
    void Word(uint16_t v) { data.insert(data.end(), {uint8_t(v), uint8_t(v >> 8)}); }
    void Dword(uint32_t v) { Word(uint16_t(v)), Word(uint16_t(v >> 16)); }
    void Text(const char* s)
    {
        for (; *s; ++s)
            Word(uint8_t(*s));
        Word(0);
    }
    void Align()
    {
        while (data.size() % 4)
            data.push_back(0);
    }
};

std::vector<uint8_t> DialogResource()
{
    Bytes t;
    t.Dword(0x80C800C0);
    t.Dword(0);
    t.Word(4);
    for (uint16_t v : {10, 20, 200, 80})
        t.Word(v);
    t.Word(0);
    t.Word(0);
    t.Text("Test dialog");
    t.Word(9);
    t.Text("Tahoma");
    struct Item {
        uint32_t style;
        uint16_t id;
        uint16_t ordinal;
        const char* name;
        const char* text;
    };
    const Item items[] = {{0x50000000, 10, 0x82, nullptr, "label"},
                          {0x50800000, 11, 0, "msctls_progress32", ""},
                          {0x50010000, IDCANCEL, 0x80, nullptr, "Cancel"},
                          {0x50200003, 12, 0x85, nullptr, ""}};
    for (const auto& item : items) {
        t.Align();
        t.Dword(item.style);
        t.Dword(0);
        for (uint16_t v : {1, 2, 3, 4})
            t.Word(v);
        t.Word(item.id);
        if (item.ordinal) {
            t.Word(0xFFFF);
            t.Word(item.ordinal);
        } else {
            t.Text(item.name);
        }
        t.Text(item.text);
        t.Word(0);
    }
    // The .res file: an empty first entry, then the dialog (type 5, id 77).
    Bytes res;
    for (uint32_t v : {0u, 32u, 0xFFFFu, 0xFFFFu, 0u, 0u, 0u, 0u})
        res.Dword(v);
    res.Dword(uint32_t(t.data.size()));
    res.Dword(32);
    res.Dword(0x0005FFFF);
    res.Dword(0x004DFFFF);
    res.Dword(0);
    res.Dword(0x04091030);
    res.Dword(0);
    res.Dword(0);
    res.data.insert(res.data.end(), t.data.begin(), t.data.end());
    res.Align();
    return res.data;
}

HINSTANCE TestModule()
{
    static std::vector<uint8_t> resources = DialogResource();
    static HINSTANCE module = win32sim::RegisterModule("test.dll", resources.data(), resources.size());
    return module;
}

INT_PTR CALLBACK EndOnCommand(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, 42);
        return TRUE;
    }
    return message == WM_INITDIALOG;
}

class Win32StandIn : public ::testing::Test {
protected:
    void SetUp() override
    {
        win32sim::Reset();
        InitCommonControls();
    }
    void TearDown() override { win32sim::Reset(); }
};

TEST_F(Win32StandIn, TemplateDecodesFieldByField)
{
    auto data = win32sim::FindResourceData(TestModule(), 5, 77);
    ASSERT_TRUE(data);
    win32sim::DialogTemplate t;
    ASSERT_TRUE(win32sim::ParseDialogTemplate(data->data(), data->size(), t));
    EXPECT_EQ(t.style, 0x80C800C0u);
    EXPECT_EQ(t.x, 10);
    EXPECT_EQ(t.cy, 80);
    EXPECT_EQ(t.caption, "Test dialog");
    EXPECT_EQ(t.pointSize, 9);
    EXPECT_EQ(t.fontName, "Tahoma");
    ASSERT_EQ(t.items.size(), 4u);
    EXPECT_EQ(t.items[0].className, "static");
    EXPECT_EQ(t.items[1].className, "msctls_progress32");
    EXPECT_EQ(t.items[2].id, IDCANCEL);
    EXPECT_EQ(t.items[2].text, "Cancel");
    EXPECT_EQ(t.items[3].className, "combobox");
    EXPECT_FALSE(win32sim::ParseDialogTemplate(data->data(), data->size() - 3, t));
    EXPECT_FALSE(win32sim::FindResourceData(TestModule(), 5, 78));
}

TEST_F(Win32StandIn, ModalDialogRunsUntilEndDialogWithTheOwnerDisabled)
{
    HWND owner = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    std::atomic<bool> ownerDisabled{false};
    win32sim::SetMessageHook([&](HWND window, UINT message, WPARAM, LPARAM) {
        if (message == WM_INITDIALOG) {
            ownerDisabled = !IsWindowEnabled(owner);
            PostMessageA(window, WM_CLOSE, 0, 0);  // the close box: Cancel
        }
    });
    EXPECT_EQ(DialogBoxParamA(TestModule(), MAKEINTRESOURCEA(77), owner, EndOnCommand, 0), 42);
    EXPECT_TRUE(ownerDisabled);
    EXPECT_TRUE(IsWindowEnabled(owner));
    auto last = win32sim::LastDialog();
    ASSERT_TRUE(last);
    EXPECT_EQ(last->caption, "Test dialog");
    EXPECT_FALSE(IsWindow(last->window));
    EXPECT_EQ(DialogBoxParamA(TestModule(), MAKEINTRESOURCEA(78), owner, EndOnCommand, 0), -1);
    DestroyWindow(owner);
}

TEST_F(Win32StandIn, SendFromAnotherThreadWaitsForTheOwnerAndPostsKeepTheirOrder)
{
    std::vector<UINT> handled;  // on the dialog's thread only
    std::thread::id dialogThread = std::this_thread::get_id();
    std::atomic<bool> onOwner{true};
    std::future<void> worker;
    win32sim::SetMessageHook([&](HWND window, UINT message, WPARAM, LPARAM) {
        if (std::this_thread::get_id() != dialogThread)
            onOwner = false;
        handled.push_back(message);
        if (message == PBM_STEPIT)
            std::this_thread::sleep_for(50ms);  // the sender must wait for this
        if (message != WM_INITDIALOG)
            return;
        worker = std::async(std::launch::async, [window] {
            HWND progress = GetDlgItem(window, 11);
            SendMessageA(progress, PBM_SETSTEP, 1, 0);
            auto start = std::chrono::steady_clock::now();
            SendMessageA(progress, PBM_STEPIT, 0, 0);
            EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
            EXPECT_EQ(SendMessageA(progress, PBM_GETPOS, 0, 0), 1);
            for (UINT m = 1; m <= 3; ++m)
                PostMessageA(window, WM_USER + m, 0, 0);
            win32sim::PressButton(window, IDCANCEL);
        });
    });
    EXPECT_EQ(DialogBoxParamA(TestModule(), MAKEINTRESOURCEA(77), nullptr, EndOnCommand, 0), 42);
    worker.get();
    EXPECT_TRUE(onOwner);
    std::vector<UINT> posted;
    for (UINT m : handled)
        if (m > WM_USER && m <= WM_USER + 3)
            posted.push_back(m);
    EXPECT_EQ(posted, (std::vector<UINT>{WM_USER + 1, WM_USER + 2, WM_USER + 3}));
    EXPECT_EQ(win32sim::LastDialog()->Control(11)->stepCount, 1);
}

TEST_F(Win32StandIn, ComboBoxesAppendOrSort)
{
    HWND plain = CreateWindowExA(0, "ComboBox", "", WS_CHILD, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    HWND sorted = CreateWindowExA(0, "COMBOBOX", "", WS_CHILD | CBS_SORT, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    for (const char* text : {"beta", "Alpha", "gamma"}) {
        SendMessageA(plain, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
        SendMessageA(sorted, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    }
    char text[16];
    SendMessageA(plain, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(text));
    EXPECT_STREQ(text, "beta");
    SendMessageA(sorted, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(text));
    EXPECT_STREQ(text, "Alpha");
    EXPECT_EQ(SendMessageA(sorted, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("b")), 1);
    EXPECT_EQ(SendMessageA(plain, CB_SETITEMDATA, 2, 77), TRUE);
    EXPECT_EQ(SendMessageA(plain, CB_GETITEMDATA, 2, 0), 77);
    EXPECT_EQ(SendMessageA(plain, CB_SETITEMDATA, 3, 1), CB_ERR);
    SendMessageA(plain, CB_RESETCONTENT, 0, 0);
    EXPECT_EQ(SendMessageA(plain, CB_GETCOUNT, 0, 0), 0);
    DestroyWindow(plain);
    DestroyWindow(sorted);
}

TEST_F(Win32StandIn, ProgressBarRangesPositionsAndSteps)
{
    HWND bar = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 3)), MAKELRESULT(0, 100));
    EXPECT_EQ(SendMessageA(bar, PBM_SETSTEP, 1, 0), 10);
    SendMessageA(bar, PBM_SETPOS, 9, 0);
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 3);  // clamped
    SendMessageA(bar, PBM_STEPIT, 0, 0);
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 0);  // past the end: starts over
    SendMessageA(bar, PBM_SETRANGE32, 0, 70000);
    EXPECT_EQ(SendMessageA(bar, PBM_GETRANGE, FALSE, 0), 70000);
    SendMessageA(bar, PBM_SETPOS, 65537, 0);
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 65537);
    DestroyWindow(bar);
}

TEST_F(Win32StandIn, CodePagesWalkDoubleByteCharacters)
{
    const char path[] = "a\x95\x5C\\b";
    EXPECT_EQ(CharNextA(path + 1), path + 2);  // 1252: every byte is a character
    win32sim::SetAnsiCodePage(932);
    EXPECT_EQ(GetACP(), 932u);
    EXPECT_EQ(CharNextA(path + 1), path + 3);
    EXPECT_EQ(CharPrevA(path, path + 3), path + 1);
    EXPECT_TRUE(IsDBCSLeadByte(0x81));
    EXPECT_TRUE(IsDBCSLeadByte(0xFC));
    EXPECT_FALSE(IsDBCSLeadByte(0xA0));
    EXPECT_FALSE(IsDBCSLeadByte(0xFD));
    EXPECT_TRUE(IsDBCSLeadByteEx(936, 0xFE));
    EXPECT_FALSE(IsDBCSLeadByteEx(1252, 0x95));
    const char lone[] = "\x95";
    EXPECT_EQ(CharNextA(lone), lone + 1);  // a lead byte before the end is one character
}

TEST_F(Win32StandIn, WsprintfAndLstrcpyn)
{
    char out[2048];
    EXPECT_EQ(wsprintfA(out, "%s - %s", "Desc", "SN1"), 10);
    EXPECT_STREQ(out, "Desc - SN1");
    wsprintfA(out, "[%5d|%-4s|%05u|%x|%#X|%c|%%|%lu]", -42, "ab", 7u, 255u, 171u, 'z', 4000000000u);
    EXPECT_STREQ(out, "[  -42|ab  |00007|ff|0XAB|z|%|4000000000]");
    std::string big(1500, 'x');
    EXPECT_EQ(wsprintfA(out, "%s", big.c_str()), 1024);
    EXPECT_EQ(std::strlen(out), 1024u);
    char small[5];
    lstrcpynA(small, "abcdefgh", sizeof small);
    EXPECT_STREQ(small, "abcd");
}

TEST_F(Win32StandIn, FilesReadFromVirtualAndHostFiles)
{
    win32sim::AddVirtualFile("C:\\fw\\a.bin", {1, 2, 3, 4, 5});
    HANDLE file = CreateFileA("C:\\fw\\a.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(win32sim::CountHandles("file"), 1u);
    EXPECT_EQ(GetFileSize(file, nullptr), 5u);
    uint8_t buffer[4];
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(file, buffer, 4, &read, nullptr));
    EXPECT_EQ(read, 4u);
    EXPECT_TRUE(ReadFile(file, buffer, 4, &read, nullptr));
    EXPECT_EQ(read, 1u);
    EXPECT_EQ(buffer[0], 5);
    EXPECT_TRUE(ReadFile(file, buffer, 4, &read, nullptr));
    EXPECT_EQ(read, 0u);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(CreateFileA("C:\\fw\\none.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(win32sim::CountHandles("file"), 0u);
}

DWORD WINAPI SleepThenReturn(LPVOID parameter)
{
    Sleep(static_cast<DWORD>(reinterpret_cast<uintptr_t>(parameter)));
    return 7;
}

TEST_F(Win32StandIn, ThreadsAreWaitedForAndCanFailToStart)
{
    HANDLE thread = CreateThread(nullptr, 0, SleepThenReturn, reinterpret_cast<LPVOID>(100), 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 10), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    CloseHandle(thread);
    win32sim::FailCreateThread(1);
    EXPECT_EQ(CreateThread(nullptr, 0, SleepThenReturn, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    thread = CreateThread(nullptr, 0, SleepThenReturn, nullptr, 0, nullptr);
    EXPECT_NE(thread, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}


// The modal loop ends as Windows' does when a quit message reaches it (passing the quit on) and
// when its owner is destroyed (taking the dialog with it); neither is an EndDialog.
TEST_F(Win32StandIn, ModalLoopEndsOnQuitAndWithItsOwner)
{
    std::vector<UINT> seen;  // on this thread only
    HWND owner = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    win32sim::SetMessageHook([&](HWND window, UINT message, WPARAM, LPARAM) {
        seen.push_back(message);
        if (message == WM_INITDIALOG) {
            PostMessageA(window, WM_USER + 1, 0, 0);
            PostQuitMessage(5);  // comes after the posted message
        }
    });
    EXPECT_EQ(DialogBoxParamA(TestModule(), MAKEINTRESOURCEA(77), owner, EndOnCommand, 0), 0);
    EXPECT_NE(std::find(seen.begin(), seen.end(), WM_USER + 1u), seen.end());
    int code = 0;
    EXPECT_TRUE(win32sim::TakeQuitMessage(&code)) << "the quit was not passed on";
    EXPECT_EQ(code, 5);
    EXPECT_FALSE(win32sim::TakeQuitMessage(&code));
    EXPECT_TRUE(IsWindowEnabled(owner));

    // The owner is closed from another thread: WM_CLOSE destroys it on its own thread, and the
    // dialog goes first, with WM_DESTROY.
    seen.clear();
    std::future<void> closer;
    win32sim::SetMessageHook([&](HWND window, UINT message, WPARAM, LPARAM) {
        seen.push_back(message);
        if (message == WM_INITDIALOG)
            closer = std::async(std::launch::async, [owner, window] {
                EXPECT_FALSE(DestroyWindow(owner)) << "destroyed from a thread that does not own it";
                EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
                EXPECT_TRUE(IsWindow(window));
                PostMessageA(owner, WM_CLOSE, 0, 0);
            });
    });
    EXPECT_EQ(DialogBoxParamA(TestModule(), MAKEINTRESOURCEA(77), owner, EndOnCommand, 0), 0);
    closer.get();
    EXPECT_FALSE(IsWindow(owner));
    EXPECT_EQ(std::count(seen.begin(), seen.end(), static_cast<UINT>(WM_DESTROY)), 1 + 1 + 4)
        << "the owner, the dialog and its four controls";
    EXPECT_FALSE(win32sim::TakeQuitMessage(&code));
}

BOOL WINAPI RecordEntry(HINSTANCE, DWORD reason, LPVOID);
std::vector<DWORD> entryReasons;  // guarded by entryLock
std::mutex entryLock;
BOOL WINAPI RecordEntry(HINSTANCE, DWORD reason, LPVOID)
{
    std::lock_guard<std::mutex> lock(entryLock);
    entryReasons.push_back(reason);
    return TRUE;
}

std::atomic<bool> ranOnAfterExit{false};
std::atomic<bool> releaseHolder{false};
HMODULE threadModule;

DWORD WINAPI LeaveThroughFreeLibrary(LPVOID)
{
    FreeLibraryAndExitThread(threadModule, 9);
    ranOnAfterExit = true;  // never reached
    return 1;
}

DWORD WINAPI HoldOn(LPVOID)
{
    while (!releaseHolder)
        std::this_thread::sleep_for(1ms);
    return 0;
}

TEST_F(Win32StandIn, ModulesAreCountedAndUnloadedUnderTheirThreadsNoticed)
{
    static const std::vector<uint8_t> resources = DialogResource();
    HINSTANCE module = win32sim::LoadModule("counted.dll", resources.data(), resources.size(), RecordEntry);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(LoadLibraryA("C:\\Program Files\\Host\\COUNTED.DLL"), module);
    EXPECT_EQ(LoadLibraryA("absent.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(win32sim::ModuleReferences(module), 2);
    char name[8];
    EXPECT_EQ(GetModuleFileNameA(module, name, sizeof name), sizeof name);  // cut
    EXPECT_STREQ(name, "counted");

    // A thread that leaves through FreeLibraryAndExitThread has left the module's code when the
    // last reference goes; one still running its own code is named in the unload.
    threadModule = module;
    HANDLE leaving = CreateThread(nullptr, 0, LeaveThroughFreeLibrary, nullptr, 0, nullptr);
    WaitForSingleObject(leaving, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(leaving, &code);
    EXPECT_EQ(code, 9u);
    EXPECT_FALSE(ranOnAfterExit);
    CloseHandle(leaving);
    EXPECT_EQ(win32sim::ModuleReferences(module), 1);
    EXPECT_TRUE(win32sim::ModuleUnloads().empty());

    HANDLE holder = CreateThread(nullptr, 0, HoldOn, nullptr, 0, nullptr);
    EXPECT_TRUE(FreeLibrary(module));
    releaseHolder = true;
    WaitForSingleObject(holder, INFINITE);
    CloseHandle(holder);
    auto unloads = win32sim::ModuleUnloads();
    ASSERT_EQ(unloads.size(), 1u);
    EXPECT_EQ(unloads[0].name, "counted.dll");
    EXPECT_EQ(unloads[0].threadsRunning, std::vector<LPTHREAD_START_ROUTINE>{HoldOn});
    EXPECT_FALSE(FreeLibrary(module));
    EXPECT_FALSE(win32sim::FindResourceData(module, 5, 77)) << "resources of an unloaded module";
    EXPECT_EQ(GetModuleFileNameA(module, name, sizeof name), 0u);

    // Loaded again by name, it is attached afresh.
    EXPECT_EQ(LoadLibraryA("counted.dll"), module);
    EXPECT_TRUE(win32sim::FindResourceData(module, 5, 77));
    std::lock_guard<std::mutex> lock(entryLock);
    EXPECT_EQ(entryReasons, (std::vector<DWORD>{DLL_PROCESS_ATTACH, DLL_PROCESS_DETACH, DLL_PROCESS_ATTACH}));
}

TEST_F(Win32StandIn, BadSectorsAndFullQueuesFail)
{
    std::vector<uint8_t> contents(3000, 0x5A);
    win32sim::AddUnreadableVirtualFile("C:\\bad.bin", contents, 2000);
    HANDLE file = CreateFileA("C:\\bad.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    uint8_t buffer[1024];
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(file, buffer, 1024, &read, nullptr));
    EXPECT_EQ(read, 1024u);
    for (int attempt = 0; attempt < 2; ++attempt) {  // the sector stays bad
        read = 7;
        EXPECT_FALSE(ReadFile(file, buffer, 1024, &read, nullptr));
        EXPECT_EQ(read, 0u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CRC));
    }
    EXPECT_TRUE(ReadFile(file, buffer, 976, &read, nullptr));  // up to the bad byte
    EXPECT_EQ(read, 976u);
    CloseHandle(file);

    HWND window = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    win32sim::FailPostMessage(2);
    EXPECT_FALSE(PostMessageA(window, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
    EXPECT_FALSE(PostMessageA(window, WM_USER, 0, 0));
    EXPECT_TRUE(PostMessageA(window, WM_USER, 0, 0));
    DestroyWindow(window);
}

}  // namespace
