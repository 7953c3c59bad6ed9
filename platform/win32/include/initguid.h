/* Included before headers that use DEFINE_GUID in one source file, makes them define the GUIDs
   instead of declaring them. */
#ifndef INITGUID
#define INITGUID
#endif
#include "win32/guiddef.h"

#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                               \
    KS_GUID_EXTERN const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
