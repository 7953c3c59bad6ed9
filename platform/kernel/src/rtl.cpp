// Run-time library: version, time, counted strings, GUID text and the formatting routines, which
// work on 16-bit WCHAR text themselves (the C library's wide functions assume 32-bit wchar_t).
#include "internal.h"

#include <ntstrsafe.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

using namespace kstandin;
using namespace kstandin::detail;

namespace {

size_t Length16(const WCHAR* text) {
    size_t n = 0;
    while (text[n])
        ++n;
    return n;
}

WCHAR Upcase(WCHAR c) {
    return (c >= L'a' && c <= L'z') ? static_cast<WCHAR>(c - L'a' + L'A') : c;
}

// printf-style formatting as the Windows kernel's routines do it: 'l' is 32 bits (LLP64), 'I64'
// and 'll' 64 bits; in wide formats %s and %ls/%ws are WCHAR strings, %S and %hs char strings.
template <typename Out, typename FormatChar>
void Format(std::basic_string<Out>& out, const FormatChar* format, va_list args, bool wideFormat) {
    for (const FormatChar* p = format; *p; ++p) {
        if (*p != '%') {
            out += static_cast<Out>(*p);
            continue;
        }
        ++p;
        if (*p == '%') {
            out += static_cast<Out>('%');
            continue;
        }
        bool left = false, zero = false, plus = false, space = false, alternate = false;
        for (;; ++p) {
            if (*p == '-')
                left = true;
            else if (*p == '0')
                zero = true;
            else if (*p == '+')
                plus = true;
            else if (*p == ' ')
                space = true;
            else if (*p == '#')
                alternate = true;
            else
                break;
        }
        int width = 0;
        if (*p == '*') {
            width = va_arg(args, int);
            ++p;
        } else {
            while (*p >= '0' && *p <= '9')
                width = width * 10 + (*p++ - '0');
        }
        int precision = -1;
        if (*p == '.') {
            ++p;
            precision = 0;
            if (*p == '*') {
                precision = va_arg(args, int);
                ++p;
            } else {
                while (*p >= '0' && *p <= '9')
                    precision = precision * 10 + (*p++ - '0');
            }
        }
        enum { Int, Short, Char8, Long64, Size } size = Int;
        int stringKind = 0; // 1 narrow, 2 wide
        for (;;) {
            if (*p == 'h') {
                size = size == Short ? Char8 : Short;
                stringKind = 1;
                ++p;
            } else if (*p == 'l') {
                if (p[1] == 'l') {
                    size = Long64;
                    p += 2;
                } else {
                    stringKind = 2;
                    ++p;
                }
            } else if (*p == 'w') {
                stringKind = 2;
                ++p;
            } else if (*p == 'I' && p[1] == '6' && p[2] == '4') {
                size = Long64;
                p += 3;
            } else if (*p == 'I' && p[1] == '3' && p[2] == '2') {
                size = Int;
                p += 3;
            } else if (*p == 'I' || *p == 'z') {
                size = Size;
                ++p;
            } else {
                break;
            }
        }
        std::basic_string<Out> field;
        char conversion = static_cast<char>(*p);
        if (!*p)
            break;
        switch (conversion) {
        case 'd':
        case 'i': {
            long long value =
                size == Long64 || size == Size ? va_arg(args, long long) : va_arg(args, int);
            if (size == Short)
                value = static_cast<short>(value);
            if (size == Char8)
                value = static_cast<signed char>(value);
            unsigned long long magnitude =
                value < 0 ? 0ULL - static_cast<unsigned long long>(value) : value;
            std::string digits = std::to_string(magnitude);
            if (precision >= 0 && static_cast<int>(digits.size()) < precision)
                digits.insert(0, precision - digits.size(), '0');
            std::string sign = value < 0 ? "-" : plus ? "+" : space ? " " : "";
            if (zero && !left && precision < 0 &&
                static_cast<int>(digits.size() + sign.size()) < width) {
                digits.insert(0, width - digits.size() - sign.size(), '0');
            }
            for (char c : sign + digits)
                field += static_cast<Out>(c);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o':
        case 'p': {
            unsigned long long value;
            if (conversion == 'p') {
                value = reinterpret_cast<uintptr_t>(va_arg(args, void*));
                if (precision < 0)
                    precision = 16;
            } else {
                value = size == Long64 || size == Size ? va_arg(args, unsigned long long)
                                                       : va_arg(args, unsigned int);
            }
            if (size == Short)
                value = static_cast<unsigned short>(value);
            if (size == Char8)
                value = static_cast<unsigned char>(value);
            int base = conversion == 'o' ? 8 : (conversion == 'u' ? 10 : 16);
            const char* symbols = conversion == 'x' ? "0123456789abcdef" : "0123456789ABCDEF";
            std::string digits;
            do {
                digits.insert(digits.begin(), symbols[value % base]);
                value /= base;
            } while (value);
            if (precision >= 0 && static_cast<int>(digits.size()) < precision)
                digits.insert(0, precision - digits.size(), '0');
            std::string prefix = alternate && base == 16 ? (conversion == 'x' ? "0x" : "0X") : "";
            if (zero && !left && static_cast<int>(digits.size() + prefix.size()) < width) {
                digits.insert(0, width - digits.size() - prefix.size(), '0');
            }
            for (char c : prefix + digits)
                field += static_cast<Out>(c);
            break;
        }
        case 'c':
        case 'C': {
            int value = va_arg(args, int);
            field += static_cast<Out>(value);
            break;
        }
        case 's':
        case 'S':
        case 'Z': {
            bool wide = stringKind == 2 || (stringKind == 0 && ((conversion == 's') == wideFormat));
            if (conversion == 'Z') {
                auto* counted = va_arg(args, PUNICODE_STRING);
                if (counted && counted->Buffer) {
                    for (size_t i = 0; i < counted->Length / sizeof(WCHAR); ++i)
                        field += static_cast<Out>(counted->Buffer[i]);
                } else {
                    for (char c : std::string("(null)"))
                        field += static_cast<Out>(c);
                }
            } else if (wide) {
                const WCHAR* text = va_arg(args, const WCHAR*);
                if (!text)
                    text = L"(null)";
                for (size_t i = 0; text[i] && (precision < 0 || static_cast<int>(i) < precision);
                     ++i) {
                    field += static_cast<Out>(text[i]);
                }
            } else {
                const char* text = va_arg(args, const char*);
                if (!text)
                    text = "(null)";
                for (size_t i = 0; text[i] && (precision < 0 || static_cast<int>(i) < precision);
                     ++i) {
                    field += static_cast<Out>(static_cast<unsigned char>(text[i]));
                }
            }
            break;
        }
        default:
            field += static_cast<Out>('%');
            field += static_cast<Out>(conversion);
            break;
        }
        if (static_cast<int>(field.size()) < width) {
            std::basic_string<Out> pad(width - field.size(), static_cast<Out>(' '));
            field = left ? field + pad : pad + field;
        }
        out += field;
    }
}

// Wide text is kept in std::u16string: std::wstring's compiled code assumes a 32-bit wchar_t.
NTSTATUS CopyTruncated(WCHAR* destination, size_t capacity, const std::u16string& text) {
    if (capacity == 0 || capacity > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    size_t count = text.size() < capacity - 1 ? text.size() : capacity - 1;
    memcpy(destination, text.data(), count * sizeof(WCHAR));
    destination[count] = 0;
    return count == text.size() ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

template <typename Char>
NTSTATUS CopyTruncated(Char* destination, size_t capacity, const std::basic_string<Char>& text) {
    if (capacity == 0 || capacity > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    size_t count = text.size() < capacity - 1 ? text.size() : capacity - 1;
    memcpy(destination, text.data(), count * sizeof(Char));
    destination[count] = 0;
    return count == text.size() ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

std::u16string FormatWide(NTSTRSAFE_PCWSTR format, va_list args) {
    std::u16string out;
    Format(out, format, args, true);
    return out;
}

std::string FormatNarrow(const char* format, va_list args) {
    std::string out;
    Format(out, format, args, false);
    return out;
}

} // namespace

namespace kstandin::detail {
void* AllocateStringBuffer(size_t bytes) {
    return AllocateInternalPool(bytes, 0x72745355);
} // 'UStr'
} // namespace kstandin::detail

namespace kstandin {

bool SystemVersionAtLeast(ULONG major, ULONG minor) {
    std::lock_guard<std::mutex> lock(K().mu);
    return K().versionMajor > major || (K().versionMajor == major && K().versionMinor >= minor);
}

void SetOsVersion(ULONG major, ULONG minor, NTSTATUS result, ULONG build) {
    std::lock_guard<std::mutex> lock(K().mu);
    K().versionMajor = major;
    K().versionMinor = minor;
    K().versionBuild = build;
    K().versionResult = result;
}

void SetTickCount(ULONGLONG ticks) {
    K().tickCount = ticks;
}
void AdvanceTickCount(ULONGLONG ticks) {
    K().tickCount += ticks;
}

std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string ToU16(const UNICODE_STRING& text) {
    return FromUnicodeString(&text);
}
std::u16string ToU16(const WCHAR* text) {
    return text ? std::u16string(reinterpret_cast<const char16_t*>(text), Length16(text))
                : std::u16string();
}

} // namespace kstandin

extern "C" {

NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation) {
    std::lock_guard<std::mutex> lock(K().mu);
    if (!NT_SUCCESS(K().versionResult))
        return K().versionResult;
    ULONG size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOW) && size != sizeof(OSVERSIONINFOEXW))
        return STATUS_INVALID_PARAMETER;
    lpVersionInformation->dwMajorVersion = K().versionMajor;
    lpVersionInformation->dwMinorVersion = K().versionMinor;
    lpVersionInformation->dwBuildNumber = K().versionBuild;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    memset(lpVersionInformation->szCSDVersion, 0, sizeof lpVersionInformation->szCSDVersion);
    if (size == sizeof(OSVERSIONINFOEXW)) {
        auto ex = reinterpret_cast<PRTL_OSVERSIONINFOEXW>(lpVersionInformation);
        ex->wServicePackMajor = ex->wServicePackMinor = ex->wSuiteMask = 0;
        ex->wProductType = 1;
        ex->wReserved = 0;
    }
    return K().versionResult;
}

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
    CurrentCount->QuadPart = static_cast<LONGLONG>(K().tickCount.load());
}

ULONG NTAPI KeQueryTimeIncrement(VOID) {
    return 156250;
} // 15.625 ms per tick, in 100 ns units

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    // 100 ns units since 1601-01-01.
    auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    CurrentTime->QuadPart =
        std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count() / 100 +
        116444736000000000LL;
}

ULONGLONG NTAPI KeQueryInterruptTime(VOID) {
    return static_cast<ULONGLONG>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      std::chrono::steady_clock::now().time_since_epoch())
                                      .count() /
                                  100);
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = Length16(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC)
        bytes = 0xFFFC;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    CheckIrql(PASSIVE_LEVEL, "RtlFreeUnicodeString");
    if (UnicodeString->Buffer)
        ExFreePoolWithTag(UnicodeString->Buffer, 0);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!SourceString || !SourceString->Buffer) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength
                       ? SourceString->Length
                       : DestinationString->MaximumLength;
    bytes &= ~1;
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive) {
    size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
    for (size_t i = 0; i < n1 && i < n2; ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = Upcase(a);
            b = Upcase(b);
        }
        if (a != b)
            return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive) {
    return String1->Length == String2->Length &&
           RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                              PCUNICODE_STRING Source) {
    if (!Source || Source->Length == 0)
        return STATUS_SUCCESS;
    if (Destination->Length + Source->Length > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer,
            Source->Length);
    Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength) {
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (!Source)
        return STATUS_SUCCESS;
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, Source);
    return RtlAppendUnicodeStringToString(Destination, &source);
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0)
        Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    std::u16string digits;
    do {
        digits.insert(digits.begin(), static_cast<char16_t>("0123456789ABCDEF"[Value % Base]));
        Value /= Base;
    } while (Value);
    size_t bytes = digits.size() * sizeof(WCHAR);
    if (bytes > String->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    memcpy(String->Buffer, digits.data(), bytes);
    String->Length = static_cast<USHORT>(bytes);
    if (bytes + sizeof(WCHAR) <= String->MaximumLength)
        String->Buffer[digits.size()] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  Guid.Data1, Guid.Data2, Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2],
                  Guid.Data4[3], Guid.Data4[4], Guid.Data4[5], Guid.Data4[6], Guid.Data4[7]);
    size_t count = strlen(text);
    auto buffer = static_cast<PWSTR>(AllocateStringBuffer((count + 1) * sizeof(WCHAR)));
    for (size_t i = 0; i <= count; ++i)
        buffer[i] = static_cast<WCHAR>(text[i]);
    GuidString->Buffer = buffer;
    GuidString->Length = static_cast<USHORT>(count * sizeof(WCHAR));
    GuidString->MaximumLength = static_cast<USHORT>((count + 1) * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto a = static_cast<const unsigned char*>(Source1);
    auto b = static_cast<const unsigned char*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i])
        ++i;
    return i;
}

ULONG __cdecl DbgPrint(PCSTR Format, ...) {
    static const bool enabled = std::getenv("KSTANDIN_DBGPRINT") != nullptr;
    if (!enabled)
        return 0;
    va_list args;
    va_start(args, Format);
    std::string text = FormatNarrow(Format, args);
    va_end(args);
    std::fputs(text.c_str(), stderr);
    return 0;
}

NTSTATUS NTAPI RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest,
                                    NTSTRSAFE_PCWSTR pszFormat, va_list argList) {
    return CopyTruncated(pszDest, cchDest, FormatWide(pszFormat, argList));
}

NTSTATUS NTAPI RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest,
                                   NTSTRSAFE_PCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlStringCchVPrintfW(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS NTAPI RtlStringCbVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest,
                                   NTSTRSAFE_PCWSTR pszFormat, va_list argList) {
    return RtlStringCchVPrintfW(pszDest, cbDest / sizeof(WCHAR), pszFormat, argList);
}

NTSTATUS NTAPI RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest,
                                  NTSTRSAFE_PCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlStringCbVPrintfW(pszDest, cbDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS NTAPI RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc) {
    return CopyTruncated(pszDest, cchDest, ToU16(pszSrc));
}

NTSTATUS NTAPI RtlStringCbCopyW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc) {
    return RtlStringCchCopyW(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

NTSTATUS NTAPI RtlStringCchCatW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc) {
    size_t used = 0;
    while (used < cchDest && pszDest[used])
        ++used;
    if (used == cchDest)
        return STATUS_INVALID_PARAMETER;
    return CopyTruncated(pszDest + used, cchDest - used, ToU16(pszSrc));
}

NTSTATUS NTAPI RtlStringCbCatW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc) {
    return RtlStringCchCatW(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

NTSTATUS NTAPI RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t* pcchLength) {
    size_t n = 0;
    while (n < cchMax && psz[n])
        ++n;
    if (n == cchMax) {
        if (pcchLength)
            *pcchLength = 0;
        return STATUS_INVALID_PARAMETER;
    }
    if (pcchLength)
        *pcchLength = n;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlStringCbLengthW(NTSTRSAFE_PCWSTR psz, size_t cbMax, size_t* pcbLength) {
    size_t count = 0;
    NTSTATUS status = RtlStringCchLengthW(psz, cbMax / sizeof(WCHAR), &count);
    if (pcbLength)
        *pcbLength = count * sizeof(WCHAR);
    return status;
}

NTSTATUS NTAPI RtlStringCbPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat,
                                  ...) {
    va_list args;
    va_start(args, pszFormat);
    std::string text = FormatNarrow(pszFormat, args);
    va_end(args);
    return CopyTruncated(pszDest, cbDest, text);
}

NTSTATUS NTAPI RtlStringCchPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest,
                                   NTSTRSAFE_PCSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    std::string text = FormatNarrow(pszFormat, args);
    va_end(args);
    return CopyTruncated(pszDest, cchDest, text);
}

NTSTATUS NTAPI RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat,
                                      ...) {
    va_list args;
    va_start(args, pszFormat);
    std::u16string text = FormatWide(pszFormat, args);
    va_end(args);
    size_t capacity = DestinationString->MaximumLength / sizeof(WCHAR);
    size_t count = text.size() < capacity ? text.size() : capacity;
    memcpy(DestinationString->Buffer, text.data(), count * sizeof(WCHAR));
    DestinationString->Length = static_cast<USHORT>(count * sizeof(WCHAR));
    return count == text.size() ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

} // extern "C"
