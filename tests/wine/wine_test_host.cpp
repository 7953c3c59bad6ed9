// Test host for the end-to-end runs under Wine: loads ambrix.dll as an application would,
// resolves its two exports by their decorated names and calls them with a real window and a
// real combo box. It reports what it saw as "key=value" lines on standard output.
//
// Usage: wine_test_host.exe DLL COMMAND...
//   enum FILTER INCLUDE          fill the combo box, list its entries
//   cancel-at BLOCKS             the next send presses Cancel once the bar reaches BLOCKS
//   close-at BLOCKS              the next send closes the host's main window once the bar
//                                reaches BLOCKS; the host then ends as an application does
//                                when its main window has gone (after its quit message)
//   pause-at BLOCKS READY GO     the next send writes the dialog's geometry to READY once the
//                                bar reaches BLOCKS, then waits for the file GO to appear
//   send PATH DEVICE BAUD        download PATH to DEVICE under the progress dialog
//   probe PATH                   tell whether PATH can be opened without sharing
//
// Exit status: 0 when every command ran (whatever the library returned) or the main window
// closed, 2 on a usage or set-up failure.

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

typedef LONG(WINAPI* GetInstrumentsProc)(HWND, DWORD, DWORD);
typedef LONG(WINAPI* DownloadProc)(HWND, const char*, DWORD, DWORD);

const char kDialogCaption[] = "XMODEM 1K over D2XX";
const UINT kDownloadEnd = WM_USER + 0x1000;
const int kFileNameControl = 1000;
const int kProgressControl = 1001;
const DWORD kWatchLimitMs = 60000;

HWND hostWindow;
HWND comboBox;

// What the watcher thread is asked to do during the next download.
struct WatchPlan {
    int cancelAt = -1;
    int closeAt = -1;
    int pauseAt = -1;
    std::string readyPath;
    std::string goPath;
};

// What was seen of the dialog; written by the watcher and the message hook, read after the call.
struct DialogReport {
    bool found = false;
    bool ownerIsHost = false;
    bool hostDisabled = false;
    std::string initialText;
    int rangeLow = -1;
    int rangeHigh = -1;
    bool endSeen = false;
    int endPosition = -1;
    std::string endText;
    bool cancelSent = false;
    bool closeSent = false;
    bool openAfterCancel = false;
    ULONGLONG cancelTick = 0;
    bool paused = false;
};

WatchPlan plan;
DialogReport report;
volatile LONG downloadRunning;

std::string Hex(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : text) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

std::string ControlText(HWND dialog, int id) {
    char text[512] = "";
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

void WriteTextFile(const std::string& path, const std::string& content) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
}

std::string RectText(HWND window) {
    RECT r;
    GetWindowRect(window, &r);
    char text[64];
    snprintf(text, sizeof text, "%ld,%ld,%ld,%ld", r.left, r.top, r.right - r.left,
             r.bottom - r.top);
    return text;
}

std::string ColourText(int element) {
    COLORREF colour = GetSysColor(element);
    char text[16];
    snprintf(text, sizeof text, "%02x%02x%02x", GetRValue(colour), GetGValue(colour),
             GetBValue(colour));
    return text;
}

// Runs beside the modal dialog: finds it by its caption, as a user's tool would, and reads it,
// pauses for a screenshot or presses Cancel.
DWORD WINAPI WatchDialog(LPVOID) {
    ULONGLONG limit = GetTickCount64() + kWatchLimitMs;
    HWND dialog = nullptr;
    while (downloadRunning && GetTickCount64() < limit) {
        dialog = FindWindowA(nullptr, kDialogCaption);
        // Visible only once WM_INITDIALOG has run and the modal loop has started.
        if (dialog != nullptr && IsWindowVisible(dialog))
            break;
        dialog = nullptr;
        Sleep(5);
    }
    if (dialog == nullptr)
        return 0;
    report.found = true;
    report.ownerIsHost = GetWindow(dialog, GW_OWNER) == hostWindow;
    report.hostDisabled = !IsWindowEnabled(hostWindow);
    report.initialText = ControlText(dialog, kFileNameControl);
    PBRANGE range = {};
    SendDlgItemMessageA(dialog, kProgressControl, PBM_GETRANGE, TRUE,
                        reinterpret_cast<LPARAM>(&range));
    report.rangeLow = range.iLow;
    report.rangeHigh = range.iHigh;

    int target = plan.pauseAt >= 0 ? plan.pauseAt : plan.cancelAt >= 0 ? plan.cancelAt : plan.closeAt;
    if (target < 0)
        return 0;
    while (downloadRunning && GetTickCount64() < limit && IsWindow(dialog)) {
        DWORD_PTR position = 0;
        if (!SendMessageTimeoutA(GetDlgItem(dialog, kProgressControl), PBM_GETPOS, 0, 0,
                                 SMTO_NORMAL, 1000, &position))
            break;
        if (static_cast<int>(position) >= target)
            break;
        Sleep(5);
    }
    if (!downloadRunning || !IsWindow(dialog))
        return 0;

    if (plan.pauseAt >= 0) {
        HWND progress = GetDlgItem(dialog, kProgressControl);
        DWORD_PTR position = 0;
        SendMessageTimeoutA(progress, PBM_GETPOS, 0, 0, SMTO_NORMAL, 1000, &position);
        char numbers[64];
        snprintf(numbers, sizeof numbers, "position=%u\nrange=%d\ncaption=%d\n",
                 static_cast<unsigned>(position), report.rangeHigh, GetSystemMetrics(SM_CYCAPTION));
        WriteTextFile(plan.readyPath, "dialog=" + RectText(dialog) +
                                          "\nprogress=" + RectText(progress) +
                                          "\nbar=" + ColourText(COLOR_HIGHLIGHT) +
                                          "\nactivecaption=" + ColourText(COLOR_ACTIVECAPTION) +
                                          "\ninactivecaption=" + ColourText(COLOR_INACTIVECAPTION) +
                                          "\n" + numbers);
        while (downloadRunning && GetTickCount64() < limit &&
               GetFileAttributesA(plan.goPath.c_str()) == INVALID_FILE_ATTRIBUTES)
            Sleep(20);
        report.paused = true;
    }
    if (plan.cancelAt >= 0 && downloadRunning) {
        report.cancelTick = GetTickCount64();
        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
        report.cancelSent = true;
        report.openAfterCancel = IsWindow(dialog) != FALSE;
    }
    if (plan.closeAt >= 0 && downloadRunning) {
        // As the user closing the main window: its default handling destroys it, and the
        // dialog it owns with it, on the host's thread.
        report.closeSent = PostMessageA(hostWindow, WM_CLOSE, 0, 0) != FALSE;
    }
    return 0;
}

// Sees the dialog's end message before the dialog handles it, while the bar still shows the
// final state.
LRESULT CALLBACK WatchMessages(int code, WPARAM wParam, LPARAM lParam) {
    MSG* message = reinterpret_cast<MSG*>(lParam);
    if (code == HC_ACTION && message->message == kDownloadEnd && !report.endSeen) {
        char caption[64] = "";
        GetWindowTextA(message->hwnd, caption, sizeof caption);
        if (lstrcmpA(caption, kDialogCaption) == 0) {
            report.endSeen = true;
            report.endText = ControlText(message->hwnd, kFileNameControl);
            report.endPosition = static_cast<int>(
                SendDlgItemMessageA(message->hwnd, kProgressControl, PBM_GETPOS, 0, 0));
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

void Enumerate(GetInstrumentsProc getInstruments, DWORD filter, DWORD include) {
    // A leftover entry proves that the call empties the box first.
    SendMessageA(comboBox, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("leftover"));
    LONG result = getInstruments(comboBox, filter, include);
    int count = static_cast<int>(SendMessageA(comboBox, CB_GETCOUNT, 0, 0));
    printf("enum filter=%lu include=%lu result=%ld count=%d\n", filter, include, result, count);
    for (int i = 0; i < count; ++i) {
        char label[256] = "";
        LRESULT length = SendMessageA(comboBox, CB_GETLBTEXTLEN, i, 0);
        if (length >= 0 && length < static_cast<LRESULT>(sizeof label))
            SendMessageA(comboBox, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(label));
        LRESULT data = SendMessageA(comboBox, CB_GETITEMDATA, i, 0);
        printf("item index=%d data=%ld label=%s\n", i, static_cast<long>(data), label);
    }
    fflush(stdout);
}

void Download(DownloadProc download, const std::string& path, DWORD device, DWORD baud) {
    report = DialogReport();
    InterlockedExchange(&downloadRunning, 1);
    HANDLE watcher = CreateThread(nullptr, 0, WatchDialog, nullptr, 0, nullptr);
    HHOOK hook = SetWindowsHookExA(WH_GETMESSAGE, WatchMessages, nullptr, GetCurrentThreadId());
    ULONGLONG start = GetTickCount64();
    LONG result = download(hostWindow, path.c_str(), device, baud);
    ULONGLONG end = GetTickCount64();
    InterlockedExchange(&downloadRunning, 0);
    if (hook)
        UnhookWindowsHookEx(hook);
    if (watcher) {
        WaitForSingleObject(watcher, 5000);
        CloseHandle(watcher);
    }
    printf("send result=%ld ms=%llu dialog=%d owner=%d hostdisabled=%d text=%s range=%d..%d end=%d "
           "endpos=%d endtext=%s"
           " paused=%d cancel=%d openaftercancel=%d cancelms=%lld hostenabledafter=%d close=%d\n",
           result, end - start, report.found, report.ownerIsHost, report.hostDisabled,
           Hex(report.initialText).c_str(), report.rangeLow, report.rangeHigh, report.endSeen,
           report.endPosition, Hex(report.endText).c_str(), report.paused, report.cancelSent,
           report.openAfterCancel,
           report.cancelSent ? static_cast<long long>(end - report.cancelTick) : -1LL,
           IsWindowEnabled(hostWindow) != FALSE, report.closeSent);
    fflush(stdout);
    plan = WatchPlan();
}

// The command line in the ANSI code page, as an application would hand paths to the library;
// a character the code page cannot hold is an error rather than a silent '?'.
bool AnsiArguments(std::vector<std::string>& arguments) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr)
        return false;
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
        BOOL lossy = FALSE;
        int length = WideCharToMultiByte(CP_ACP, 0, wide[i], -1, nullptr, 0, nullptr, &lossy);
        std::string text(length > 0 ? length : 1, '\0');
        WideCharToMultiByte(CP_ACP, 0, wide[i], -1, &text[0], length, nullptr, &lossy);
        text.resize(lstrlenA(text.c_str()));
        if (lossy) {
            printf("error=argument %d does not fit code page %u\n", i, GetACP());
            ok = false;
        }
        arguments.push_back(text);
    }
    LocalFree(wide);
    return ok;
}

// The main window of an application: its destruction ends the application's message loop.
LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// The main window has gone during a command: run the message loop until its quit message, as
// the application's own loop would, tell whether the last file sent is closed again, and end.
int EndAfterMainWindow(const std::string& lastPath) {
    bool quit = false;
    ULONGLONG limit = GetTickCount64() + 5000;
    MSG message;
    while (!quit && GetTickCount64() < limit) {
        if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            Sleep(5);
            continue;
        }
        if (message.message == WM_QUIT)
            quit = true;
        else
            DispatchMessageA(&message);
    }
    HANDLE file = CreateFileA(lastPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    printf("exit quit=%d probe=%d\n", quit, file != INVALID_HANDLE_VALUE);
    fflush(stdout);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return 0;
}

bool CreateHostWindow() {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = HostWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = "AmbrixWineTestHost";
    if (!RegisterClassA(&windowClass))
        return false;
    hostWindow = CreateWindowExA(0, windowClass.lpszClassName, "Firmware host",
                                 WS_OVERLAPPEDWINDOW | WS_VISIBLE, 600, 400, 360, 200, nullptr,
                                 nullptr, windowClass.hInstance, nullptr);
    if (hostWindow == nullptr)
        return false;
    // A drop-down list that keeps the order in which entries are added (no CBS_SORT).
    comboBox = CreateWindowExA(
        0, "COMBOBOX", "", WS_CHILD | WS_VISIBLE | WS_VSCROLL | CBS_DROPDOWNLIST, 10, 10, 320, 160,
        hostWindow, reinterpret_cast<HMENU>(100), windowClass.hInstance, nullptr);
    return comboBox != nullptr;
}

} // namespace

int main() {
    std::vector<std::string> arguments;
    if (!AnsiArguments(arguments))
        return 2;
    if (arguments.size() < 2) {
        printf("error=usage: wine_test_host.exe DLL COMMAND...\n");
        return 2;
    }
    printf("codepage=%u\n", GetACP());
    if (!CreateHostWindow()) {
        printf("error=no host window (%lu)\n", GetLastError());
        return 2;
    }
    HMODULE library = LoadLibraryA(arguments[1].c_str());
    if (library == nullptr) {
        printf("error=LoadLibrary failed (%lu)\n", GetLastError());
        return 2;
    }
    auto getInstruments = reinterpret_cast<GetInstrumentsProc>(
        reinterpret_cast<void*>(GetProcAddress(library, "_GetD2xxInstruments@12")));
    auto download = reinterpret_cast<DownloadProc>(
        reinterpret_cast<void*>(GetProcAddress(library, "_D2xxXmodem@16")));
    printf("exports getinstruments=%d download=%d\n", getInstruments != nullptr,
           download != nullptr);
    fflush(stdout);
    if (getInstruments == nullptr || download == nullptr)
        return 2;

    std::string lastPath;
    for (size_t i = 2; i < arguments.size();) {
        if (!IsWindow(hostWindow))
            return EndAfterMainWindow(lastPath);
        const std::string& command = arguments[i];
        size_t left = arguments.size() - i - 1;
        if (command == "enum" && left >= 2) {
            Enumerate(getInstruments, strtoul(arguments[i + 1].c_str(), nullptr, 0),
                      strtoul(arguments[i + 2].c_str(), nullptr, 0));
            i += 3;
        } else if (command == "cancel-at" && left >= 1) {
            plan.cancelAt = atoi(arguments[i + 1].c_str());
            i += 2;
        } else if (command == "close-at" && left >= 1) {
            plan.closeAt = atoi(arguments[i + 1].c_str());
            i += 2;
        } else if (command == "pause-at" && left >= 3) {
            plan.pauseAt = atoi(arguments[i + 1].c_str());
            plan.readyPath = arguments[i + 2];
            plan.goPath = arguments[i + 3];
            i += 4;
        } else if (command == "send" && left >= 3) {
            lastPath = arguments[i + 1];
            Download(download, arguments[i + 1], strtoul(arguments[i + 2].c_str(), nullptr, 0),
                     strtoul(arguments[i + 3].c_str(), nullptr, 0));
            i += 4;
        } else if (command == "probe" && left >= 1) {
            // Opening without sharing succeeds only when nobody else holds the file open.
            HANDLE file = CreateFileA(arguments[i + 1].c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            printf("probe exclusive=%d\n", file != INVALID_HANDLE_VALUE);
            fflush(stdout);
            if (file != INVALID_HANDLE_VALUE)
                CloseHandle(file);
            i += 2;
        } else {
            printf("error=bad command %s\n", command.c_str());
            return 2;
        }
    }
    if (!IsWindow(hostWindow))
        return EndAfterMainWindow(lastPath);
    FreeLibrary(library);
    DestroyWindow(hostWindow);
    return 0;
}
