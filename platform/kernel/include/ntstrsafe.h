// Safe string routines of the Windows Driver Kit for UTF-16 strings. On Windows these are inline
// library code; the stand-in implements them itself so that formatting works with its 16-bit WCHAR
// (the C library's wide-character functions assume 32-bit wchar_t).
#pragma once

#include <stdarg.h>
#include <wdm.h>

typedef WCHAR* NTSTRSAFE_PWSTR;
typedef const WCHAR* NTSTRSAFE_PCWSTR;
typedef char* NTSTRSAFE_PSTR;
typedef const char* NTSTRSAFE_PCSTR;

#define NTSTRSAFE_MAX_CCH 2147483647
#define STATUS_STRSAFE_BUFFER_TOO_SMALL STATUS_BUFFER_OVERFLOW

extern "C" {
NTSTATUS NTAPI RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest,
                                    NTSTRSAFE_PCWSTR pszFormat, va_list argList);
NTSTATUS NTAPI RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest,
                                   NTSTRSAFE_PCWSTR pszFormat, ...);
NTSTATUS NTAPI RtlStringCbVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest,
                                   NTSTRSAFE_PCWSTR pszFormat, va_list argList);
NTSTATUS NTAPI RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest,
                                  NTSTRSAFE_PCWSTR pszFormat, ...);
NTSTATUS NTAPI RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc);
NTSTATUS NTAPI RtlStringCbCopyW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc);
NTSTATUS NTAPI RtlStringCchCatW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc);
NTSTATUS NTAPI RtlStringCbCatW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc);
NTSTATUS NTAPI RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t* pcchLength);
NTSTATUS NTAPI RtlStringCbLengthW(NTSTRSAFE_PCWSTR psz, size_t cbMax, size_t* pcbLength);
NTSTATUS NTAPI RtlStringCbPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat,
                                  ...);
NTSTATUS NTAPI RtlStringCchPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest,
                                   NTSTRSAFE_PCSTR pszFormat, ...);
NTSTATUS NTAPI RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat,
                                      ...);
}
