/* user32 subset used by the firmware download library: windows and their messages, the modal
   dialog built from a resource template, static, button and combo box controls, narrow
   character walking in the ANSI code page, and wsprintfA. */
#ifndef KS_STANDIN_WIN32_USER32_LIBRARY_H
#define KS_STANDIN_WIN32_USER32_LIBRARY_H

#include "win32/base_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);

#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)
#define MAKEINTRESOURCEA(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))
#define MAKEINTRESOURCE MAKEINTRESOURCEA
#define RT_DIALOG MAKEINTRESOURCEA(5)

#define WM_NULL 0x0000
#define WM_DESTROY 0x0002
#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_GETTEXTLENGTH 0x000E
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_USER 0x0400

#define IDOK 1
#define IDCANCEL 2

#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_DISABLED 0x08000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_VSCROLL 0x00200000L
#define WS_SYSMENU 0x00080000L
#define WS_GROUP 0x00020000L
#define WS_TABSTOP 0x00010000L

#define DS_SETFONT 0x40L
#define DS_MODALFRAME 0x80L

#define SS_LEFT 0x00000000L
#define SS_CENTER 0x00000001L

#define BS_PUSHBUTTON 0x00000000L
#define BS_DEFPUSHBUTTON 0x00000001L
#define BM_CLICK 0x00F5
#define BN_CLICKED 0

#define CBS_DROPDOWN 0x0002L
#define CBS_DROPDOWNLIST 0x0003L
#define CBS_SORT 0x0100L
#define CB_OKAY 0
#define CB_ERR (-1)
#define CB_ERRSPACE (-2)
#define CB_ADDSTRING 0x0143
#define CB_DELETESTRING 0x0144
#define CB_GETCOUNT 0x0146
#define CB_GETCURSEL 0x0147
#define CB_GETLBTEXT 0x0148
#define CB_GETLBTEXTLEN 0x0149
#define CB_INSERTSTRING 0x014A
#define CB_RESETCONTENT 0x014B
#define CB_SETCURSEL 0x014E
#define CB_GETITEMDATA 0x0150
#define CB_SETITEMDATA 0x0151

LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
/* Asks the calling thread's message loop to end: WM_QUIT is retrieved once no posted message
   is left. */
void WINAPI PostQuitMessage(int exitCode);
LRESULT WINAPI SendDlgItemMessageA(HWND dialog, int itemId, UINT message, WPARAM wParam,
                                   LPARAM lParam);
HWND WINAPI GetDlgItem(HWND dialog, int itemId);
int WINAPI GetDlgCtrlID(HWND window);
HWND WINAPI GetParent(HWND window);
BOOL WINAPI SetDlgItemTextA(HWND dialog, int itemId, LPCSTR text);
UINT WINAPI GetDlgItemTextA(HWND dialog, int itemId, LPSTR text, int maxCount);
BOOL WINAPI SetWindowTextA(HWND window, LPCSTR text);
int WINAPI GetWindowTextA(HWND window, LPSTR text, int maxCount);
BOOL WINAPI IsWindow(HWND window);
BOOL WINAPI EnableWindow(HWND window, BOOL enable);
BOOL WINAPI IsWindowEnabled(HWND window);

/* Creates the combo box, static and button classes (and the progress bar once common controls
   are initialised); the window belongs to the calling thread. */
HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style,
                            int x, int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, LPVOID param);
BOOL WINAPI DestroyWindow(HWND window);

INT_PTR WINAPI DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND parent,
                               DLGPROC dialogProc, LPARAM initParam);
BOOL WINAPI EndDialog(HWND dialog, INT_PTR result);

LPSTR WINAPI CharNextA(LPCSTR current);
LPSTR WINAPI CharPrevA(LPCSTR start, LPCSTR current);

/* Formats at most 1024 characters, as the system's wsprintfA: %s %c %d %i %u %x %X with
   flags, width and precision; the l and h size prefixes are 32-bit as on Windows. */
int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...);

#ifdef __cplusplus
}
#endif

#endif
