// Modules with compiled resources, dialog templates and the modal dialog box.
#include "call_faults.h"
#include "thread_internal.h"
#include "win32_sim.h"
#include "window_internal.h"

#include <cstring>
#include <map>

namespace win32sim {
namespace {

struct Module {
    std::string name;
    const unsigned char* resources = nullptr;
    size_t size = 0;
    DllEntry entry = nullptr;
    int references = 0;
};

std::mutex modulesLock;
std::map<HINSTANCE, Module> modules;  // guarded by modulesLock
uintptr_t nextModule = 0x10000000;    // guarded by modulesLock
std::vector<ModuleUnload> unloads;    // guarded by modulesLock

// The file name part of a path, lower case: modules are found by it, as the loader finds a
// module that is already loaded.
std::string BaseName(const std::string& path)
{
    size_t slash = path.find_last_of("\\/");
    return LowerCase(slash == std::string::npos ? path : path.substr(slash + 1));
}

std::mutex lastDialogLock;
std::optional<DialogState> lastDialog;  // guarded by lastDialogLock

// Reads the binary structures in little-endian order, refusing to run past the end.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool ok() const { return ok_; }
    size_t offset() const { return offset_; }
    void AlignDword() { offset_ = (offset_ + 3) & ~size_t(3); }
    void Skip(size_t n) { Need(n) ? void(offset_ += n) : void(); }
    WORD Word()
    {
        if (!Need(2))
            return 0;
        WORD value = static_cast<WORD>(data_[offset_] | data_[offset_ + 1] << 8);
        offset_ += 2;
        return value;
    }
    DWORD Dword()
    {
        DWORD low = Word();
        return low | static_cast<DWORD>(Word()) << 16;
    }
    // A NUL-terminated UTF-16 string, narrowed (characters beyond ASCII become '?').
    std::string String()
    {
        std::string text;
        for (WORD c = Word(); ok_ && c != 0; c = Word())
            text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        return text;
    }
    // A name or an ordinal (0xFFFF followed by the number).
    std::string NameOrOrdinal(WORD* ordinal)
    {
        *ordinal = 0;
        if (!Need(2))
            return {};
        WORD first = static_cast<WORD>(data_[offset_] | data_[offset_ + 1] << 8);
        if (first == 0xFFFF) {
            Word();
            *ordinal = Word();
            return {};
        }
        return String();
    }

private:
    bool Need(size_t n)
    {
        if (offset_ + n > size_)
            ok_ = false;
        return ok_;
    }
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
    bool ok_ = true;
};

std::string PredefinedClass(WORD ordinal)
{
    switch (ordinal) {
    case 0x80: return "button";
    case 0x81: return "edit";
    case 0x82: return "static";
    case 0x83: return "listbox";
    case 0x84: return "scrollbar";
    case 0x85: return "combobox";
    default: return "#" + std::to_string(ordinal);
    }
}

bool ClassKind(const std::string& name, WindowClass* kind)
{
    std::string lower = LowerCase(name);
    if (lower == "static")
        *kind = WindowClass::Static;
    else if (lower == "button")
        *kind = WindowClass::Button;
    else if (lower == "combobox")
        *kind = WindowClass::ComboBox;
    else if (lower == "msctls_progress32" && CommonControlsInitialized())
        *kind = WindowClass::Progress;
    else
        return false;
    return true;
}

DialogState Snapshot(const Window& dialog)
{
    DialogState state;
    state.window = dialog.handle;
    state.parent = dialog.parent;
    state.style = dialog.style;
    state.x = dialog.x;
    state.y = dialog.y;
    state.cx = dialog.cx;
    state.cy = dialog.cy;
    state.fontName = dialog.fontName;
    state.pointSize = dialog.pointSize;
    std::vector<HWND> children;
    {
        std::lock_guard<std::mutex> lock(stateLock);
        state.caption = dialog.text;
        children = dialog.children;
    }
    for (HWND child : children) {
        auto control = FindWindowObject(child);
        if (!control)
            continue;
        std::lock_guard<std::mutex> lock(stateLock);
        ControlState c;
        c.id = control->id;
        c.className = control->className;
        c.text = control->text;
        c.style = control->style;
        c.x = control->x;
        c.y = control->y;
        c.cx = control->cx;
        c.cy = control->cy;
        c.rangeMin = control->rangeMin;
        c.rangeMax = control->rangeMax;
        c.position = control->position;
        c.step = control->step;
        c.stepCount = control->stepCount;
        state.controls.push_back(c);
    }
    return state;
}

}  // namespace

HINSTANCE RegisterModule(const std::string& name, const unsigned char* resources, size_t size)
{
    std::lock_guard<std::mutex> lock(modulesLock);
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(nextModule);
    nextModule += 0x10000;
    Module module;
    module.name = name;
    module.resources = resources;
    module.size = size;
    module.references = 1;
    modules[instance] = module;
    return instance;
}

HINSTANCE LoadModule(const std::string& name, const unsigned char* resources, size_t size,
                     DllEntry entry)
{
    HINSTANCE instance = RegisterModule(name, resources, size);
    {
        std::lock_guard<std::mutex> lock(modulesLock);
        modules[instance].entry = entry;
    }
    if (entry && !entry(instance, DLL_PROCESS_ATTACH, nullptr))
        return nullptr;
    return instance;
}

int ModuleReferences(HINSTANCE instance)
{
    std::lock_guard<std::mutex> lock(modulesLock);
    auto it = modules.find(instance);
    return it == modules.end() ? 0 : it->second.references;
}

std::vector<ModuleUnload> ModuleUnloads()
{
    std::lock_guard<std::mutex> lock(modulesLock);
    return unloads;
}

void ForgetModuleUnloads()
{
    std::lock_guard<std::mutex> lock(modulesLock);
    unloads.clear();
}

std::optional<std::vector<uint8_t>> FindResourceData(HINSTANCE instance, WORD type, WORD id)
{
    Module module;
    {
        std::lock_guard<std::mutex> lock(modulesLock);
        auto it = modules.find(instance);
        if (it == modules.end() || it->second.references == 0)
            return std::nullopt;
        module = it->second;
    }
    // The .res file is a sequence of resources, each a header and DWORD-aligned data.
    size_t start = 0;
    while (start + 8 <= module.size) {
        Reader header(module.resources + start, module.size - start);
        DWORD dataSize = header.Dword();
        DWORD headerSize = header.Dword();
        WORD typeOrdinal = 0, nameOrdinal = 0;
        header.NameOrOrdinal(&typeOrdinal);
        header.NameOrOrdinal(&nameOrdinal);
        if (!header.ok() || headerSize < 8 || start + headerSize + dataSize > module.size)
            break;
        if (typeOrdinal == type && nameOrdinal == id) {
            const unsigned char* data = module.resources + start + headerSize;
            return std::vector<uint8_t>(data, data + dataSize);
        }
        start += (headerSize + dataSize + 3) & ~size_t(3);
    }
    return std::nullopt;
}

bool ParseDialogTemplate(const uint8_t* data, size_t size, DialogTemplate& result)
{
    Reader r(data, size);
    result = DialogTemplate();
    result.style = r.Dword();
    if (result.style == 0xFFFF0001)
        return false;  // the extended template is not modelled
    result.exStyle = r.Dword();
    WORD count = r.Word();
    result.x = static_cast<short>(r.Word());
    result.y = static_cast<short>(r.Word());
    result.cx = static_cast<short>(r.Word());
    result.cy = static_cast<short>(r.Word());
    WORD ordinal;
    result.menu = r.NameOrOrdinal(&ordinal);
    if (ordinal)
        result.menu = "#" + std::to_string(ordinal);
    result.className = r.NameOrOrdinal(&ordinal);
    result.caption = r.String();
    if (result.style & DS_SETFONT) {
        result.pointSize = r.Word();
        result.fontName = r.String();
    }
    for (WORD i = 0; i < count && r.ok(); ++i) {
        r.AlignDword();
        TemplateItem item;
        item.style = r.Dword();
        item.exStyle = r.Dword();
        item.x = static_cast<short>(r.Word());
        item.y = static_cast<short>(r.Word());
        item.cx = static_cast<short>(r.Word());
        item.cy = static_cast<short>(r.Word());
        item.id = r.Word();
        item.className = r.NameOrOrdinal(&item.classOrdinal);
        if (item.classOrdinal)
            item.className = PredefinedClass(item.classOrdinal);
        WORD textOrdinal;
        item.text = r.NameOrOrdinal(&textOrdinal);
        r.Skip(r.Word());
        result.items.push_back(item);
    }
    return r.ok();
}

const ControlState* DialogState::Control(int id) const
{
    for (const auto& control : controls)
        if (control.id == id)
            return &control;
    return nullptr;
}

std::optional<DialogState> InspectDialog(HWND dialog)
{
    auto window = FindWindowObject(dialog);
    if (!window || window->kind != WindowClass::Dialog)
        return std::nullopt;
    return Snapshot(*window);
}

std::optional<DialogState> LastDialog()
{
    std::lock_guard<std::mutex> lock(lastDialogLock);
    return lastDialog;
}

void ForgetLastDialog()
{
    std::lock_guard<std::mutex> lock(lastDialogLock);
    lastDialog.reset();
}

}  // namespace win32sim

extern "C" {

INT_PTR WINAPI DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND parent,
                               DLGPROC dialogProc, LPARAM initParam)
{
    using namespace win32sim;
    if (parent && !IsWindow(parent)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (!IS_INTRESOURCE(templateName)) {
        SetLastError(ERROR_NOT_SUPPORTED);  // templates are looked up by number only
        return -1;
    }
    WORD id = static_cast<WORD>(reinterpret_cast<uintptr_t>(templateName));
    if (FailCountedCall("DialogBoxParamA", "#" + std::to_string(id), ERROR_NOT_ENOUGH_MEMORY))
        return -1;
    auto data = FindResourceData(instance, 5, id);
    DialogTemplate dialogTemplate;
    if (!data) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return -1;
    }
    if (!ParseDialogTemplate(data->data(), data->size(), dialogTemplate)) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return -1;
    }

    auto dialog = CreateWindowObject(WindowClass::Dialog, "#32770", dialogTemplate.style, 0, parent);
    dialog->dialogProc = dialogProc;
    dialog->x = dialogTemplate.x;
    dialog->y = dialogTemplate.y;
    dialog->cx = dialogTemplate.cx;
    dialog->cy = dialogTemplate.cy;
    dialog->fontName = dialogTemplate.fontName;
    dialog->pointSize = dialogTemplate.pointSize;
    {
        std::lock_guard<std::mutex> lock(stateLock);
        dialog->text = dialogTemplate.caption;
    }
    // Positions and sizes stay in dialog units; there is no screen to map them to.
    for (const auto& item : dialogTemplate.items) {
        WindowClass kind;
        if (!ClassKind(item.className, &kind)) {
            DestroyWindowObject(dialog->handle);
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return -1;
        }
        auto control = CreateWindowObject(kind, LowerCase(item.className), item.style, item.id,
                                          dialog->handle);
        control->x = item.x;
        control->y = item.y;
        control->cx = item.cx;
        control->cy = item.cy;
        std::lock_guard<std::mutex> lock(stateLock);
        control->text = item.text;
    }

    // Modal: the owner takes no input while the dialog runs.
    BOOL parentWasEnabled = parent ? IsWindowEnabled(parent) : FALSE;
    if (parent)
        EnableWindow(parent, FALSE);

    DispatchToWindow(dialog->handle, WM_INITDIALOG, 0, initParam);
    // The modal loop also ends when the dialog is destroyed (with its owner) and on a quit
    // message, which it passes on to the caller's loop.
    int quitCode = 0;
    bool quit = false;
    auto over = [&dialog] { return dialog->ended.load() || dialog->destroyed.load(); };
    while (!over() && !quit)
        quit = PumpOne(over, &quitCode) == Pumped::Quit;
    if (quit)
        PostQuitMessage(quitCode);
    if (dialog->destroyed)
        return 0;

    {
        DialogState state = Snapshot(*dialog);
        std::lock_guard<std::mutex> lock(lastDialogLock);
        lastDialog = std::move(state);
    }
    if (parent && parentWasEnabled)
        EnableWindow(parent, TRUE);
    INT_PTR result = dialog->result;
    DestroyWindowObject(dialog->handle);
    return result;
}

HMODULE WINAPI LoadLibraryA(LPCSTR fileName)
{
    using namespace win32sim;
    if (!fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    if (FailCountedCall("LoadLibraryA", fileName, ERROR_NOT_ENOUGH_MEMORY))
        return NULL;
    std::string wanted = BaseName(fileName);
    HINSTANCE found = nullptr;
    DllEntry attach = nullptr;
    {
        std::lock_guard<std::mutex> lock(modulesLock);
        for (auto& entry : modules) {
            if (BaseName(entry.second.name) != wanted)
                continue;
            found = entry.first;
            if (entry.second.references++ == 0)
                attach = entry.second.entry;  // loaded afresh
            break;
        }
    }
    if (!found) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return NULL;
    }
    if (attach)
        attach(found, DLL_PROCESS_ATTACH, nullptr);
    return found;
}

BOOL WINAPI FreeLibrary(HMODULE module)
{
    using namespace win32sim;
    DllEntry detach = nullptr;
    {
        std::lock_guard<std::mutex> lock(modulesLock);
        auto it = modules.find(module);
        if (it == modules.end() || it->second.references == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (--it->second.references > 0)
            return TRUE;
        unloads.push_back({module, it->second.name, ThreadsInOwnCode()});
        detach = it->second.entry;
    }
    if (detach)
        detach(module, DLL_PROCESS_DETACH, nullptr);
    return TRUE;
}

void WINAPI FreeLibraryAndExitThread(HMODULE module, DWORD exitCode)
{
    win32sim::LeaveOwnCode();
    FreeLibrary(module);
    throw win32sim::ThreadExit{exitCode};
}

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size)
{
    using namespace win32sim;
    std::string name = "host.exe";
    if (module) {
        std::lock_guard<std::mutex> lock(modulesLock);
        auto it = modules.find(module);
        if (it == modules.end() || it->second.references == 0) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        name = it->second.name;
    }
    if (size == 0)
        return 0;
    // A name that does not fit is cut and the full size returned, as on Windows XP and later.
    DWORD length = static_cast<DWORD>(name.size());
    DWORD copied = length < size ? length : size - 1;
    std::memcpy(fileName, name.data(), copied);
    fileName[copied] = '\0';
    SetLastError(length < size ? ERROR_SUCCESS : ERROR_INSUFFICIENT_BUFFER);
    return length < size ? length : size;
}

BOOL WINAPI EndDialog(HWND handle, INT_PTR result)
{
    using namespace win32sim;
    auto dialog = FindWindowObject(handle);
    if (!dialog || dialog->kind != WindowClass::Dialog) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    dialog->result = result;
    dialog->ended = true;
    WakeOwner(*dialog);
    return TRUE;
}
}
