// Basic NT types with the widths they have on 64-bit Windows (LLP64): LONG and ULONG are 32 bits,
// pointers and *_PTR types 64 bits, WCHAR a 16-bit wchar_t (the host build uses -fshort-wchar).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#if !defined(__cplusplus)
#error "the kernel stand-in headers are C++ only"
#endif

static_assert(sizeof(wchar_t) == 2, "compile with -fshort-wchar: WCHAR is 16 bits on Windows");
static_assert(sizeof(void*) == 8, "the kernel stand-in models 64-bit Windows");

#define NTAPI
#define NTSYSAPI
#define NTKERNELAPI
#define NTHALAPI
#define NTSYSCALLAPI
#define DDKAPI
#define FASTCALL
#ifndef __cdecl
#define __cdecl
#endif
#define DECLSPEC_IMPORT
#define DECLSPEC_EXPORT
#define DECLSPEC_NORETURN __attribute__((noreturn))
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
#define FORCEINLINE inline
#define NTAPI_INLINE
#define EXTERN_C extern "C"
#define CONST const
#define VOID void
#define IN
#define OUT
#define OPTIONAL
#define UNALIGNED
#define POINTER_ALIGNMENT DECLSPEC_ALIGN(8)

#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define DBG_UNREFERENCED_PARAMETER(P) ((void)(P))
#define DBG_UNREFERENCED_LOCAL_VARIABLE(V) ((void)(V))

// Source annotations: documentation only.
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_reads_(x)
#define _In_reads_bytes_(x)
#define _In_reads_bytes_opt_(x)
#define _Out_writes_(x)
#define _Out_writes_bytes_(x)
#define _Out_writes_bytes_opt_(x)
#define _Out_writes_bytes_to_(x, y)
#define _Inout_updates_bytes_(x)
#define _Outptr_
#define _Outptr_result_maybenull_
#define _Printf_format_string_
#define _Use_decl_annotations_
#define _Must_inspect_result_
#define _Success_(x)
#define _Check_return_
#define _Function_class_(x)
#define _Dispatch_type_(x)
#define _IRQL_requires_(x)
#define _IRQL_requires_max_(x)
#define _IRQL_requires_min_(x)
#define _IRQL_raises_(x)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_saves_global_(a, b)
#define _IRQL_restores_global_(a, b)
#define _IRQL_always_function_min_(x)
#define _IRQL_always_function_max_(x)
#define _IRQL_requires_same_
#define _IRQL_uses_cancel_
// The lock annotations mean what they say to a compiler with Clang's thread-safety attributes.
#if defined(__has_attribute) && __has_attribute(capability)
#define _Requires_lock_held_(x) __attribute__((requires_capability(x)))
#define _Requires_lock_not_held_(x) __attribute__((locks_excluded(x)))
#define _Acquires_lock_(x) __attribute__((acquire_capability(x)))
#define _Releases_lock_(x) __attribute__((release_capability(x)))
#else
#define _Requires_lock_held_(x)
#define _Requires_lock_not_held_(x)
#define _Acquires_lock_(x)
#define _Releases_lock_(x)
#endif
#define _When_(a, b)
#define _At_(a, b)
#define _Kernel_clear_do_init_(x)
#define _Kernel_requires_resource_held_(x)
#define _Post_satisfies_(x)
#define _Pre_satisfies_(x)
#define _Analysis_assume_(x)

typedef void* PVOID;
typedef void* LPVOID;
typedef const void* PCVOID;
typedef char CHAR;
typedef signed char SCHAR;
typedef unsigned char UCHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef int INT;
typedef unsigned int UINT;
typedef int LONG;
typedef unsigned int ULONG;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef int LONG32;
typedef unsigned int ULONG32;
typedef long long LONG64;
typedef unsigned long long ULONG64;
typedef long long INT64;
typedef unsigned long long UINT64;
typedef signed char INT8;
typedef unsigned char UINT8;
typedef short INT16;
typedef unsigned short UINT16;
typedef int INT32;
typedef unsigned int UINT32;
typedef unsigned long long DWORD64;
typedef unsigned int DWORD32;
typedef long long LONG_PTR;
typedef unsigned long long ULONG_PTR;
typedef long long INT_PTR;
typedef unsigned long long UINT_PTR;
typedef ULONG_PTR SIZE_T;
typedef LONG_PTR SSIZE_T;
typedef ULONG_PTR KAFFINITY;
typedef wchar_t WCHAR;
typedef UCHAR BOOLEAN;
typedef UCHAR BYTE;
typedef char CCHAR;
typedef short CSHORT;
typedef LONG NTSTATUS;
typedef LONG KPRIORITY;
typedef ULONG LOGICAL;
typedef ULONG CLONG;

typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef const CHAR* PCSZ;
typedef UCHAR* PUCHAR;
typedef SHORT* PSHORT;
typedef USHORT* PUSHORT;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef LONGLONG* PLONGLONG;
typedef ULONGLONG* PULONGLONG;
typedef LONG64* PLONG64;
typedef ULONG64* PULONG64;
typedef ULONG_PTR* PULONG_PTR;
typedef LONG_PTR* PLONG_PTR;
typedef SIZE_T* PSIZE_T;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWCH;
typedef WCHAR* PWSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* PCWCH;
typedef BOOLEAN* PBOOLEAN;
typedef PVOID* PPVOID;
typedef CCHAR* PCCHAR;
typedef NTSTATUS* PNTSTATUS;
typedef PVOID HANDLE;
typedef HANDLE* PHANDLE;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL nullptr
#endif

#define MAXUCHAR 0xff
#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffffU
#define MAXLONG 0x7fffffff
#define MINLONG (-MAXLONG - 1)

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define RTL_SIZEOF_THROUGH_FIELD(type, field)                                                      \
    (FIELD_OFFSET(type, field) + RTL_FIELD_SIZE(type, field))
#define CONTAINING_RECORD(address, type, field)                                                    \
    ((type*)((PCHAR)(address) - (ULONG_PTR)(&((type*)0)->field)))
#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))
#define ARRAYSIZE(A) RTL_NUMBER_OF(A)
#define ARGUMENT_PRESENT(ArgumentPointer) ((CHAR*)((ULONG_PTR)(ArgumentPointer)) != (CHAR*)NULL)
#define ALIGN_DOWN_BY(length, alignment) ((ULONG_PTR)(length) & ~((ULONG_PTR)(alignment)-1))
#define ALIGN_UP_BY(length, alignment)                                                             \
    (ALIGN_DOWN_BY(((ULONG_PTR)(length) + (alignment)-1), alignment))
#define MAKELONG(a, b) ((LONG)(((USHORT)(a)) | ((ULONG)((USHORT)(b))) << 16))
#define LOWORD(l) ((USHORT)((ULONG_PTR)(l)&0xffff))
#define HIWORD(l) ((USHORT)(((ULONG_PTR)(l) >> 16) & 0xffff))
#define LOBYTE(w) ((UCHAR)((ULONG_PTR)(w)&0xff))
#define HIBYTE(w) ((UCHAR)(((ULONG_PTR)(w) >> 8) & 0xff))

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY, *PRLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, *PSTRING, ANSI_STRING, *PANSI_STRING;
typedef const STRING* PCANSI_STRING;

#define UNICODE_NULL ((WCHAR)0)
#define ANSI_NULL ((CHAR)0)
#define RTL_CONSTANT_STRING(s)                                                                     \
    { sizeof(s) - sizeof((s)[0]), sizeof(s), (PWSTR)(s) }
#define DECLARE_CONST_UNICODE_STRING(_var, _string)                                                \
    const WCHAR _var##_buffer[] = _string;                                                         \
    const UNICODE_STRING _var = {sizeof(_string) - sizeof(WCHAR), sizeof(_string),                 \
                                 (PWCH)_var##_buffer}

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID;
#endif
typedef GUID* LPGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;
typedef GUID UUID;

#ifdef DEFINE_GUID
#undef DEFINE_GUID
#endif
#ifdef INITGUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                               \
    extern "C" const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) extern "C" const GUID name
#endif

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    return memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool InlineIsEqualGUID(REFGUID a, REFGUID b) {
    return IsEqualGUID(a, b);
}
inline bool operator==(REFGUID a, REFGUID b) {
    return IsEqualGUID(a, b);
}
inline bool operator!=(REFGUID a, REFGUID b) {
    return !IsEqualGUID(a, b);
}

typedef struct _OBJECT_ATTRIBUTES* POBJECT_ATTRIBUTES;

#include <ntstatus.h>
