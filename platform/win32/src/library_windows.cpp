// Windows, message queues and the static, button, combo box and progress bar controls.
#include <commctrl.h>

#include "call_faults.h"
#include "win32_sim.h"
#include "window_internal.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace win32sim {

std::mutex stateLock;

namespace {

std::mutex registryLock;
std::map<HWND, std::shared_ptr<Window>> windows;                     // guarded by registryLock
std::map<std::thread::id, std::shared_ptr<ThreadQueue>> queues;      // guarded by registryLock
uintptr_t nextWindow = 0x10000;                                      // guarded by registryLock
std::atomic<bool> commonControls{false};
std::atomic<int> failingPosts{0};

std::mutex hookLock;
MessageHook messageHook;  // guarded by hookLock

std::shared_ptr<ThreadQueue> QueueOf(std::thread::id thread)
{
    std::lock_guard<std::mutex> lock(registryLock);
    auto& queue = queues[thread];
    if (!queue)
        queue = std::make_shared<ThreadQueue>();
    return queue;
}

void Complete(const std::shared_ptr<SentMessage>& sent, LRESULT result)
{
    std::lock_guard<std::mutex> lock(sent->replyTo->lock);
    sent->result = result;
    sent->done = true;
    sent->replyTo->changed.notify_all();
}

void HandleSent(const std::shared_ptr<SentMessage>& sent)
{
    const PostedMessage& m = sent->message;
    Complete(sent, DispatchToWindow(m.window, m.message, m.wParam, m.lParam));
}

LRESULT CopyText(const std::string& text, WPARAM maxCount, LPARAM buffer)
{
    if (maxCount == 0 || !buffer)
        return 0;
    char* out = reinterpret_cast<char*>(buffer);
    size_t n = std::min(text.size(), static_cast<size_t>(maxCount) - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return static_cast<LRESULT>(n);
}

// Messages every window class understands.
bool HandleCommon(Window& w, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result,
                  bool& closing)
{
    std::lock_guard<std::mutex> lock(stateLock);
    switch (message) {
    case WM_SETTEXT:
        w.text = lParam ? reinterpret_cast<const char*>(lParam) : "";
        *result = TRUE;
        return true;
    case WM_GETTEXT:
        *result = CopyText(w.text, wParam, lParam);
        return true;
    case WM_GETTEXTLENGTH:
        *result = static_cast<LRESULT>(w.text.size());
        return true;
    case WM_CLOSE:
        // The default window procedure destroys the window (on its own thread).
        *result = 0;
        closing = true;
        return true;
    default:
        return false;
    }
}

LRESULT ComboBoxProc(Window& w, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::lock_guard<std::mutex> lock(stateLock);
    auto& items = w.items;
    size_t index = static_cast<size_t>(wParam);
    switch (message) {
    case CB_RESETCONTENT:
        items.clear();
        return CB_OKAY;
    case CB_ADDSTRING: {
        std::string text = lParam ? reinterpret_cast<const char*>(lParam) : "";
        size_t at = items.size();
        // A sorting box inserts before the first entry that compares greater.
        if (w.style & CBS_SORT) {
            at = 0;
            while (at < items.size() && lstrcmpiA(items[at].first.c_str(), text.c_str()) <= 0)
                ++at;
        }
        items.insert(items.begin() + static_cast<std::ptrdiff_t>(at), {text, 0});
        return static_cast<LRESULT>(at);
    }
    case CB_INSERTSTRING: {
        std::string text = lParam ? reinterpret_cast<const char*>(lParam) : "";
        size_t at = static_cast<int>(wParam) < 0 ? items.size() : index;
        if (at > items.size())
            return CB_ERR;
        items.insert(items.begin() + static_cast<std::ptrdiff_t>(at), {text, 0});
        return static_cast<LRESULT>(at);
    }
    case CB_DELETESTRING:
        if (index >= items.size())
            return CB_ERR;
        items.erase(items.begin() + static_cast<std::ptrdiff_t>(index));
        return static_cast<LRESULT>(items.size());
    case CB_GETCOUNT:
        return static_cast<LRESULT>(items.size());
    case CB_SETITEMDATA:
        if (index >= items.size())
            return CB_ERR;
        items[index].second = lParam;
        return TRUE;
    case CB_GETITEMDATA:
        return index < items.size() ? items[index].second : CB_ERR;
    case CB_GETLBTEXT:
        if (index >= items.size())
            return CB_ERR;
        std::strcpy(reinterpret_cast<char*>(lParam), items[index].first.c_str());
        return static_cast<LRESULT>(items[index].first.size());
    case CB_GETLBTEXTLEN:
        return index < items.size() ? static_cast<LRESULT>(items[index].first.size()) : CB_ERR;
    default:
        return 0;
    }
}

LRESULT ProgressProc(Window& w, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::lock_guard<std::mutex> lock(stateLock);
    auto clamp = [&w](int value) { return std::max(w.rangeMin, std::min(w.rangeMax, value)); };
    LRESULT previous;
    switch (message) {
    case PBM_SETRANGE:
        previous = MAKELRESULT(w.rangeMin, w.rangeMax);
        w.rangeMin = LOWORD(lParam);
        w.rangeMax = HIWORD(lParam);
        w.position = clamp(w.position);
        return previous;
    case PBM_SETRANGE32:
        previous = MAKELRESULT(w.rangeMin, w.rangeMax);
        w.rangeMin = static_cast<int>(wParam);
        w.rangeMax = static_cast<int>(lParam);
        w.position = clamp(w.position);
        return previous;
    case PBM_GETRANGE:
        if (lParam) {
            reinterpret_cast<PBRANGE*>(lParam)->iLow = w.rangeMin;
            reinterpret_cast<PBRANGE*>(lParam)->iHigh = w.rangeMax;
        }
        return wParam ? w.rangeMin : w.rangeMax;
    case PBM_SETPOS:
        previous = w.position;
        w.position = clamp(static_cast<int>(wParam));
        return previous;
    case PBM_DELTAPOS:
        previous = w.position;
        w.position = clamp(w.position + static_cast<int>(wParam));
        return previous;
    case PBM_SETSTEP:
        previous = w.step;
        w.step = static_cast<int>(wParam);
        return previous;
    case PBM_STEPIT:
        // Past the maximum the bar starts over from the minimum.
        previous = w.position;
        ++w.stepCount;
        w.position += w.step;
        if (w.position > w.rangeMax)
            w.position = w.rangeMin;
        return previous;
    case PBM_GETPOS:
        return w.position;
    default:
        return 0;
    }
}

LRESULT ButtonProc(Window& w, UINT message)
{
    if (message != BM_CLICK)
        return 0;
    {
        std::lock_guard<std::mutex> lock(stateLock);
        if (!w.enabled)
            return 0;
    }
    // A click reaches the parent as the button's notification.
    StandinOwnCall own;
    return SendMessageA(w.parent, WM_COMMAND, MAKEWPARAM(w.id, BN_CLICKED),
                        reinterpret_cast<LPARAM>(w.handle));
}

LRESULT DialogProc(Window& w, UINT message, WPARAM wParam, LPARAM lParam)
{
    INT_PTR handled = FALSE;
    if (w.dialogProc) {
        CallerCode callers;
        handled = w.dialogProc(w.handle, message, wParam, lParam);
    }
    // The default dialog procedure turns the close box into Cancel.
    StandinOwnCall own;
    if (!handled && message == WM_CLOSE)
        PostMessageA(w.handle, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    return handled;
}

}  // namespace

std::shared_ptr<ThreadQueue> CurrentQueue() { return QueueOf(std::this_thread::get_id()); }

std::string LowerCase(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool CommonControlsInitialized() { return commonControls; }

std::shared_ptr<Window> CreateWindowObject(WindowClass kind, const std::string& className,
                                           DWORD style, int id, HWND parent)
{
    auto window = std::make_shared<Window>();
    window->kind = kind;
    window->className = className;
    window->style = style;
    window->id = id;
    window->parent = parent;
    window->owner = std::this_thread::get_id();
    window->enabled = !(style & WS_DISABLED);
    {
        std::lock_guard<std::mutex> lock(registryLock);
        window->handle = reinterpret_cast<HWND>(nextWindow);
        nextWindow += 0x10;
        windows[window->handle] = window;
    }
    if (auto parentWindow = (style & WS_CHILD) ? FindWindowObject(parent) : nullptr) {
        std::lock_guard<std::mutex> lock(stateLock);
        parentWindow->children.push_back(window->handle);
    }
    return window;
}

std::shared_ptr<Window> FindWindowObject(HWND handle)
{
    std::lock_guard<std::mutex> lock(registryLock);
    auto it = windows.find(handle);
    return it == windows.end() ? nullptr : it->second;
}

void DestroyWindowObject(HWND handle)
{
    auto window = FindWindowObject(handle);
    if (!window || window->destroyed.exchange(true))
        return;
    // Windows it owns go first (a modal dialog among them), then the window itself gets
    // WM_DESTROY, then its children.
    std::vector<HWND> owned;
    {
        std::lock_guard<std::mutex> lock(registryLock);
        for (const auto& entry : windows)
            if (entry.second->parent == handle && !(entry.second->style & WS_CHILD))
                owned.push_back(entry.first);
    }
    for (HWND popup : owned)
        DestroyWindowObject(popup);
    DispatchToWindow(handle, WM_DESTROY, 0, 0);
    std::vector<HWND> children;
    {
        std::lock_guard<std::mutex> lock(stateLock);
        children = window->children;
    }
    for (HWND child : children)
        DestroyWindowObject(child);
    {
        std::lock_guard<std::mutex> lock(registryLock);
        windows.erase(handle);
    }
    WakeOwner(*window);
    // Senders still waiting on this window get 0, as from a destroyed window.
    auto queue = QueueOf(window->owner);
    std::vector<std::shared_ptr<SentMessage>> orphans;
    {
        std::lock_guard<std::mutex> lock(queue->lock);
        for (auto it = queue->sent.begin(); it != queue->sent.end();) {
            if ((*it)->message.window == handle) {
                orphans.push_back(*it);
                it = queue->sent.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& sent : orphans)
        Complete(sent, 0);
}

void WakeOwner(const Window& window)
{
    auto queue = QueueOf(window.owner);
    std::lock_guard<std::mutex> lock(queue->lock);
    queue->changed.notify_all();
}

LRESULT DispatchToWindow(HWND handle, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto window = FindWindowObject(handle);
    if (!window)
        return 0;
    LRESULT result = 0;
    bool closing = false;
    if (window->kind == WindowClass::Dialog)
        result = DialogProc(*window, message, wParam, lParam);
    else if (!HandleCommon(*window, message, wParam, lParam, &result, closing)) {
        switch (window->kind) {
        case WindowClass::ComboBox:
            result = ComboBoxProc(*window, message, wParam, lParam);
            break;
        case WindowClass::Progress:
            result = ProgressProc(*window, message, wParam, lParam);
            break;
        case WindowClass::Button:
            result = ButtonProc(*window, message);
            break;
        default:
            break;
        }
    }
    MessageHook hook;
    {
        std::lock_guard<std::mutex> lock(hookLock);
        hook = messageHook;
    }
    if (hook)
        hook(handle, message, wParam, lParam);
    if (closing)
        DestroyWindowObject(handle);
    return result;
}

Pumped PumpOne(const std::function<bool()>& stop, int* quitCode)
{
    auto queue = CurrentQueue();
    std::unique_lock<std::mutex> lock(queue->lock);
    queue->changed.wait(lock, [&] {
        return stop() || !queue->sent.empty() || !queue->posted.empty() || queue->quit;
    });
    if (!queue->sent.empty()) {
        auto sent = queue->sent.front();
        queue->sent.pop_front();
        lock.unlock();
        HandleSent(sent);
        return Pumped::Message;
    }
    if (stop())
        return Pumped::Stopped;
    if (queue->posted.empty()) {
        // PostQuitMessage's quit comes only after every posted message.
        queue->quit = false;
        *quitCode = queue->quitCode;
        return Pumped::Quit;
    }
    PostedMessage posted = queue->posted.front();
    queue->posted.pop_front();
    lock.unlock();
    if (posted.message == WM_QUIT) {
        *quitCode = static_cast<int>(posted.wParam);
        return Pumped::Quit;
    }
    DispatchToWindow(posted.window, posted.message, posted.wParam, posted.lParam);
    return Pumped::Message;
}

void FailPostMessage(int count) { failingPosts = count; }

bool TakeQuitMessage(int* exitCode)
{
    auto queue = CurrentQueue();
    std::lock_guard<std::mutex> lock(queue->lock);
    for (auto it = queue->posted.begin(); it != queue->posted.end(); ++it) {
        if (it->message == WM_QUIT) {
            *exitCode = static_cast<int>(it->wParam);
            queue->posted.erase(it);
            return true;
        }
    }
    if (!queue->quit)
        return false;
    queue->quit = false;
    *exitCode = queue->quitCode;
    return true;
}

void SetMessageHook(MessageHook hook)
{
    std::lock_guard<std::mutex> lock(hookLock);
    messageHook = std::move(hook);
}

void PressButton(HWND dialog, int id)
{
    StandinOwnCall own;
    PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

}  // namespace win32sim

extern "C" {

LRESULT WINAPI SendMessageA(HWND handle, UINT message, WPARAM wParam, LPARAM lParam)
{
    using namespace win32sim;
    auto window = FindWindowObject(handle);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    bool ownThread = window->owner == std::this_thread::get_id();
    if (ownThread) {
        // On its own thread a message goes straight to the control; only a control that must
        // allocate can fail it.
        bool addsItem = window->kind == WindowClass::ComboBox &&
                        (message == CB_ADDSTRING || message == CB_INSERTSTRING);
        if (addsItem || message == WM_SETTEXT) {
            std::string text = lParam ? reinterpret_cast<const char*>(lParam) : "";
            if (FailCountedCall("SendMessageA", MessageName(message) + " " + text, 0))
                return addsItem ? CB_ERRSPACE : FALSE;
        }
        return DispatchToWindow(handle, message, wParam, lParam);
    }
    if (FailCountedCall("SendMessageA", MessageName(message), ERROR_NOT_ENOUGH_MEMORY))
        return 0;

    // Another thread's window: queue the message to its owner and wait for the reply, handling
    // messages sent to this thread meanwhile, as the system does.
    auto self = CurrentQueue();
    auto sent = std::make_shared<SentMessage>();
    sent->message = {handle, message, wParam, lParam};
    sent->replyTo = self;
    auto target = QueueOf(window->owner);
    {
        std::lock_guard<std::mutex> lock(target->lock);
        target->sent.push_back(sent);
        target->changed.notify_all();
    }
    std::unique_lock<std::mutex> lock(self->lock);
    while (!sent->done) {
        if (!self->sent.empty()) {
            auto incoming = self->sent.front();
            self->sent.pop_front();
            lock.unlock();
            HandleSent(incoming);
            lock.lock();
            continue;
        }
        self->changed.wait(lock);
    }
    return sent->result;
}

BOOL WINAPI PostMessageA(HWND handle, UINT message, WPARAM wParam, LPARAM lParam)
{
    using namespace win32sim;
    auto window = FindWindowObject(handle);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (FailCountedCall("PostMessageA", MessageName(message), ERROR_NOT_ENOUGH_QUOTA))
        return FALSE;
    for (int left = failingPosts.load(); left > 0;) {
        if (failingPosts.compare_exchange_weak(left, left - 1)) {
            SetLastError(ERROR_NOT_ENOUGH_QUOTA);
            return FALSE;
        }
    }
    auto queue = QueueOf(window->owner);
    std::lock_guard<std::mutex> lock(queue->lock);
    queue->posted.push_back({handle, message, wParam, lParam});
    queue->changed.notify_all();
    return TRUE;
}

HWND WINAPI GetDlgItem(HWND dialog, int itemId)
{
    using namespace win32sim;
    auto window = FindWindowObject(dialog);
    if (!window)
        return NULL;
    std::vector<HWND> children;
    {
        std::lock_guard<std::mutex> lock(stateLock);
        children = window->children;
    }
    for (HWND child : children) {
        auto control = FindWindowObject(child);
        if (control && control->id == itemId)
            return child;
    }
    return NULL;
}

int WINAPI GetDlgCtrlID(HWND handle)
{
    auto window = win32sim::FindWindowObject(handle);
    return window ? window->id : 0;
}

HWND WINAPI GetParent(HWND handle)
{
    auto window = win32sim::FindWindowObject(handle);
    return window ? window->parent : NULL;
}

LRESULT WINAPI SendDlgItemMessageA(HWND dialog, int itemId, UINT message, WPARAM wParam,
                                   LPARAM lParam)
{
    win32sim::OuterCall outer("SendDlgItemMessageA");
    HWND control = GetDlgItem(dialog, itemId);
    return control ? SendMessageA(control, message, wParam, lParam) : 0;
}

BOOL WINAPI SetWindowTextA(HWND window, LPCSTR text)
{
    if (!win32sim::FindWindowObject(window))
        return FALSE;
    win32sim::OuterCall outer("SetWindowTextA");
    return static_cast<BOOL>(SendMessageA(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)));
}

int WINAPI GetWindowTextA(HWND window, LPSTR text, int maxCount)
{
    return static_cast<int>(
        SendMessageA(window, WM_GETTEXT, static_cast<WPARAM>(maxCount), reinterpret_cast<LPARAM>(text)));
}

BOOL WINAPI SetDlgItemTextA(HWND dialog, int itemId, LPCSTR text)
{
    win32sim::OuterCall outer("SetDlgItemTextA");
    HWND control = GetDlgItem(dialog, itemId);
    return control ? SetWindowTextA(control, text) : FALSE;
}

UINT WINAPI GetDlgItemTextA(HWND dialog, int itemId, LPSTR text, int maxCount)
{
    HWND control = GetDlgItem(dialog, itemId);
    if (!control) {
        if (maxCount > 0)
            text[0] = '\0';
        return 0;
    }
    return static_cast<UINT>(GetWindowTextA(control, text, maxCount));
}

BOOL WINAPI IsWindow(HWND window) { return win32sim::FindWindowObject(window) ? TRUE : FALSE; }

BOOL WINAPI EnableWindow(HWND handle, BOOL enable)
{
    auto window = win32sim::FindWindowObject(handle);
    if (!window)
        return FALSE;
    std::lock_guard<std::mutex> lock(win32sim::stateLock);
    BOOL wasDisabled = !window->enabled;
    window->enabled = enable != FALSE;
    return wasDisabled;
}

BOOL WINAPI IsWindowEnabled(HWND handle)
{
    auto window = win32sim::FindWindowObject(handle);
    if (!window)
        return FALSE;
    std::lock_guard<std::mutex> lock(win32sim::stateLock);
    return window->enabled ? TRUE : FALSE;
}

HWND WINAPI CreateWindowExA(DWORD, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                            int width, int height, HWND parent, HMENU menu, HINSTANCE, LPVOID)
{
    using namespace win32sim;
    std::string name = LowerCase(className ? className : "");
    WindowClass kind;
    if (name == "combobox")
        kind = WindowClass::ComboBox;
    else if (name == "static")
        kind = WindowClass::Static;
    else if (name == "button")
        kind = WindowClass::Button;
    else if (name == "msctls_progress32" && CommonControlsInitialized())
        kind = WindowClass::Progress;
    else {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return NULL;
    }
    int id = (style & WS_CHILD) ? static_cast<int>(reinterpret_cast<uintptr_t>(menu)) : 0;
    auto window = CreateWindowObject(kind, name, style, id, parent);
    window->x = x;
    window->y = y;
    window->cx = width;
    window->cy = height;
    std::lock_guard<std::mutex> lock(stateLock);
    window->text = windowName ? windowName : "";
    return window->handle;
}

BOOL WINAPI DestroyWindow(HWND window)
{
    auto object = win32sim::FindWindowObject(window);
    if (!object) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    // Only the thread that created a window may destroy it.
    if (object->owner != std::this_thread::get_id()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    win32sim::DestroyWindowObject(window);
    return TRUE;
}

void WINAPI PostQuitMessage(int exitCode)
{
    auto queue = win32sim::CurrentQueue();
    std::lock_guard<std::mutex> lock(queue->lock);
    queue->quit = true;
    queue->quitCode = exitCode;
    queue->changed.notify_all();
}

void WINAPI InitCommonControls(void) { win32sim::commonControls = true; }
}
