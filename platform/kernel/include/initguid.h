// Included before headers that use DEFINE_GUID, makes them define the GUIDs instead of declaring
// them.
#pragma once

#include <ntdef.h>

#ifndef INITGUID
#define INITGUID
#endif
#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                               \
    extern "C" const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
