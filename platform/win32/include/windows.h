/* Host stand-in for <windows.h>: the Win32 types, constants and calls that the project's
   Windows code uses, with their Windows widths (DWORD and LONG 32 bits, WCHAR 16 bits with
   -fshort-wchar). The declarations are grouped by the system library that provides them. */
#ifndef KS_STANDIN_WINDOWS_H
#define KS_STANDIN_WINDOWS_H

#include "win32/base_types.h"
#include "win32/kernel32_library.h"
#include "win32/kernel32_devices.h"
#include "win32/user32_library.h"

#endif
