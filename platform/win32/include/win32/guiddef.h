/* GUIDs as <guiddef.h> declares them. DEFINE_GUID declares the name; after <initguid.h> it
   defines it. */
#ifndef KS_STANDIN_WIN32_GUIDDEF_H
#define KS_STANDIN_WIN32_GUIDDEF_H

#include <stdint.h>
#include <string.h>

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
#endif
typedef GUID* LPGUID;
typedef const GUID* LPCGUID;

#ifdef __cplusplus
#define KS_GUID_EXTERN extern "C"
#else
#define KS_GUID_EXTERN extern
#endif

#undef DEFINE_GUID
#ifdef INITGUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                               \
    KS_GUID_EXTERN const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) KS_GUID_EXTERN const GUID name
#endif

#endif
