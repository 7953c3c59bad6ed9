// Test controls of the Win32 stand-in: what a test sets up (files, modules, code page, faults)
// and what it reads back (controls, dialogs) beyond the Win32 calls themselves.
#ifndef KS_STANDIN_WIN32_SIM_H
#define KS_STANDIN_WIN32_SIM_H

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace win32sim {

// --- Modules and resources -------------------------------------------------------------------

// Registers a module whose resources are the given compiled resource file (.res, as windres
// -O res writes it) and returns its instance handle. The bytes must outlive the process.
HINSTANCE RegisterModule(const std::string& name, const unsigned char* resources, size_t size);

// Registers the module and calls its entry point with DLL_PROCESS_ATTACH, as the loader does.
using DllEntry = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);
HINSTANCE LoadModule(const std::string& name, const unsigned char* resources, size_t size,
                     DllEntry entry);

// References the module holds (0 once unloaded). A module registered or loaded here starts with
// one; LoadLibraryA by its name adds one, and loads it again after it was unloaded.
int ModuleReferences(HINSTANCE module);

// An unload of a module, with the start routines of the threads that were still running their
// own code at that moment (a thread inside FreeLibraryAndExitThread has left it). A thread of
// the module still running when its module goes is running unmapped code.
struct ModuleUnload {
    HINSTANCE module = nullptr;
    std::string name;
    std::vector<LPTHREAD_START_ROUTINE> threadsRunning;
};
std::vector<ModuleUnload> ModuleUnloads();

// Looks a resource up by type and id in a loaded module.
std::optional<std::vector<uint8_t>> FindResourceData(HINSTANCE module, WORD type, WORD id);

// A dialog template (DLGTEMPLATE with its items) decoded from its binary form.
struct TemplateItem {
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    WORD id = 0;
    WORD classOrdinal = 0;  // 0x80 button ... 0x85 combo box, or 0 when named
    std::string className;  // the name, or the predefined class's name for an ordinal
    std::string text;
};
struct DialogTemplate {
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::string menu;
    std::string className;
    std::string caption;
    WORD pointSize = 0;
    std::string fontName;
    std::vector<TemplateItem> items;
};
// Returns false when the bytes are not a complete template.
bool ParseDialogTemplate(const uint8_t* data, size_t size, DialogTemplate& result);

// --- Files -----------------------------------------------------------------------------------

// A file that CreateFileA opens by exactly this name, ahead of the host file system.
void AddVirtualFile(const std::string& path, std::vector<uint8_t> contents);
// A virtual file on a medium that cannot be read at offset badByte: every ReadFile whose range
// covers that byte fails (FALSE, nothing read, ERROR_CRC), as at a bad sector.
void AddUnreadableVirtualFile(const std::string& path, std::vector<uint8_t> contents,
                              size_t badByte);
void ClearVirtualFiles();

struct CreateFileCall {
    std::string path;
    DWORD access = 0, share = 0, disposition = 0, flags = 0;
};
std::vector<CreateFileCall> CreateFileCalls();
void ClearCreateFileCalls();

// Number of open handles of a kind ("file", "thread").
size_t CountHandles(const std::string& kind);

// --- Threads ---------------------------------------------------------------------------------

// The next CreateThread calls fail (NULL, ERROR_NOT_ENOUGH_MEMORY).
void FailCreateThread(int count);

// --- Code pages ------------------------------------------------------------------------------

// Sets the ANSI code page GetACP reports (1252 at start); 932, 936, 949 and 950 have lead bytes.
void SetAnsiCodePage(UINT codePage);

// --- Windows, dialogs and controls ----------------------------------------------------------

// Called on the owning thread after each message a window of the stand-in has handled.
using MessageHook = std::function<void(HWND window, UINT message, WPARAM wParam, LPARAM lParam)>;
void SetMessageHook(MessageHook hook);

// The next PostMessageA calls fail (FALSE, ERROR_NOT_ENOUGH_QUOTA), as on a full queue.
void FailPostMessage(int count);

// Whether the calling thread has a quit message waiting (PostQuitMessage, or WM_QUIT passed on
// by a modal loop that ended on it); takes it, with its exit code.
bool TakeQuitMessage(int* exitCode);

// Clicks a dialog's button from any thread: the click reaches the dialog's thread as BM_CLICK.
void PressButton(HWND dialog, int id);

struct ControlState {
    int id = 0;
    std::string className;
    std::string text;
    DWORD style = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    int rangeMin = 0, rangeMax = 0, position = 0, step = 0;
    int stepCount = 0;  // PBM_STEPIT messages received
};
struct DialogState {
    HWND window = nullptr;
    HWND parent = nullptr;
    std::string caption;
    DWORD style = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    std::string fontName;
    int pointSize = 0;
    std::vector<ControlState> controls;
    const ControlState* Control(int id) const;
};
// The state of a live dialog (any thread), or of the last dialog that ended.
std::optional<DialogState> InspectDialog(HWND dialog);
std::optional<DialogState> LastDialog();

// Forgets hooks, virtual files, recorded calls, faults, module unloads and the last dialog;
// code page 1252.
void Reset();

}  // namespace win32sim

#endif
