// Windows and per-thread message queues shared by the window and dialog parts of the stand-in.
//
// Every window belongs to the thread that created it. A message sent from another thread is
// queued to the owner and the sender blocks until the owner has handled it (handling messages
// sent to its own thread meanwhile); posted messages are queued and handled in order by the
// owner's message loop (here: the modal dialog loop). Control state is guarded by stateLock.
#ifndef KS_STANDIN_WIN32_WINDOW_INTERNAL_H
#define KS_STANDIN_WIN32_WINDOW_INTERNAL_H

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace win32sim {

enum class WindowClass { Dialog, Static, Button, ComboBox, Progress };

struct Window {
    HWND handle = nullptr;
    WindowClass kind = WindowClass::Static;
    std::string className;
    DWORD style = 0;
    int id = 0;
    HWND parent = nullptr;
    std::thread::id owner;
    int x = 0, y = 0, cx = 0, cy = 0;
    DLGPROC dialogProc = nullptr;  // dialogs only
    std::atomic<bool> ended{false};  // dialogs: EndDialog was called
    std::atomic<bool> destroyed{false};
    INT_PTR result = 0;              // dialogs: EndDialog's value; owner thread only
    std::string fontName;            // dialogs
    int pointSize = 0;               // dialogs

    // Guarded by stateLock.
    std::string text;
    bool enabled = true;
    std::vector<std::pair<std::string, LPARAM>> items;  // combo box
    int rangeMin = 0, rangeMax = 100, position = 0, step = 10, stepCount = 0;  // progress bar
    std::vector<HWND> children;
};

extern std::mutex stateLock;

struct PostedMessage {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

struct ThreadQueue;

struct SentMessage {
    PostedMessage message;
    std::shared_ptr<ThreadQueue> replyTo;
    LRESULT result = 0;  // guarded by replyTo->lock
    bool done = false;   // guarded by replyTo->lock
};

struct ThreadQueue {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::shared_ptr<SentMessage>> sent;  // guarded by lock
    std::deque<PostedMessage> posted;               // guarded by lock
    bool quit = false;                              // guarded by lock
    int quitCode = 0;                               // guarded by lock
};

std::shared_ptr<ThreadQueue> CurrentQueue();

std::shared_ptr<Window> CreateWindowObject(WindowClass kind, const std::string& className,
                                           DWORD style, int id, HWND parent);
std::shared_ptr<Window> FindWindowObject(HWND handle);
// Destroys the window, its children and the windows it owns; each gets WM_DESTROY first.
void DestroyWindowObject(HWND handle);
// Wakes the owner's loop, for instance after EndDialog from another thread.
void WakeOwner(const Window& window);

// Handles one message on the owner's thread.
LRESULT DispatchToWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Waits until the current thread has a message or stop() is true; handles sent messages
// first, then one posted message. A quit message (WM_QUIT posted, or PostQuitMessage once no
// posted message is left) is not handled but taken and returned with its exit code.
enum class Pumped { Message, Stopped, Quit };
Pumped PumpOne(const std::function<bool()>& stop, int* quitCode);

bool CommonControlsInitialized();
std::string LowerCase(std::string text);

}  // namespace win32sim

#endif
