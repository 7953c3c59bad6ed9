// ANSI code page with its lead bytes, narrow string helpers and wsprintfA.
#include "win32_sim.h"

#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstring>

namespace win32sim {
namespace {

std::atomic<UINT> ansiCodePage{1252};

const size_t kWsprintfLimit = 1024;

// Appends to a bounded buffer; counts what fits.
struct Output {
    char* buffer;
    size_t length;
    void Put(char c)
    {
        if (length < kWsprintfLimit)
            buffer[length++] = c;
    }
    void Pad(size_t count, char c)
    {
        while (count-- > 0)
            Put(c);
    }
};

void PutField(Output& out, const char* text, size_t textLength, size_t width, bool left, char pad,
              const char* prefix)
{
    size_t prefixLength = std::strlen(prefix);
    size_t total = textLength + prefixLength;
    size_t padding = width > total ? width - total : 0;
    if (!left && pad == ' ')
        out.Pad(padding, ' ');
    for (const char* p = prefix; *p; ++p)
        out.Put(*p);
    if (!left && pad == '0')
        out.Pad(padding, '0');
    for (size_t i = 0; i < textLength; ++i)
        out.Put(text[i]);
    if (left)
        out.Pad(padding, ' ');
}

int Format(char* buffer, const char* format, va_list args)
{
    Output out{buffer, 0};
    for (const char* f = format; *f; ++f) {
        if (*f != '%') {
            out.Put(*f);
            continue;
        }
        ++f;
        bool left = false, zero = false, alternate = false;
        for (;; ++f) {
            if (*f == '-')
                left = true;
            else if (*f == '0')
                zero = true;
            else if (*f == '#')
                alternate = true;
            else
                break;
        }
        size_t width = 0;
        while (std::isdigit(static_cast<unsigned char>(*f)))
            width = width * 10 + static_cast<size_t>(*f++ - '0');
        long precision = -1;
        if (*f == '.') {
            ++f;
            precision = 0;
            while (std::isdigit(static_cast<unsigned char>(*f)))
                precision = precision * 10 + (*f++ - '0');
        }
        while (*f == 'l' || *f == 'h')
            ++f;  // every integer argument is 32 bits, as on Windows
        char digits[16];
        switch (*f) {
        case 's': {
            const char* s = va_arg(args, const char*);
            if (!s)
                s = "(null)";
            size_t n = std::strlen(s);
            if (precision >= 0 && static_cast<size_t>(precision) < n)
                n = static_cast<size_t>(precision);
            PutField(out, s, n, width, left, ' ', "");
            break;
        }
        case 'c': {
            char c = static_cast<char>(va_arg(args, int));
            PutField(out, &c, 1, width, left, ' ', "");
            break;
        }
        case 'd':
        case 'i': {
            int32_t value = va_arg(args, int32_t);
            uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : value;
            size_t n = 0;
            do {
                digits[sizeof digits - 1 - n++] = static_cast<char>('0' + magnitude % 10);
                magnitude /= 10;
            } while (magnitude);
            PutField(out, digits + sizeof digits - n, n, width, left, zero && !left ? '0' : ' ',
                     value < 0 ? "-" : "");
            break;
        }
        case 'u':
        case 'x':
        case 'X': {
            uint32_t value = va_arg(args, uint32_t);
            unsigned base = *f == 'u' ? 10 : 16;
            const char* set = *f == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
            size_t n = 0;
            uint32_t v = value;
            do {
                digits[sizeof digits - 1 - n++] = set[v % base];
                v /= base;
            } while (v);
            const char* prefix = alternate && base == 16 && value ? (*f == 'X' ? "0X" : "0x") : "";
            PutField(out, digits + sizeof digits - n, n, width, left, zero && !left ? '0' : ' ',
                     prefix);
            break;
        }
        case '\0':
            --f;
            break;
        default:
            out.Put(*f);  // "%%" and unknown conversions print the character
            break;
        }
    }
    buffer[out.length] = '\0';
    return static_cast<int>(out.length);
}

}  // namespace

void SetAnsiCodePage(UINT codePage) { ansiCodePage = codePage; }

}  // namespace win32sim

extern "C" {

UINT WINAPI GetACP(void) { return win32sim::ansiCodePage; }

BOOL WINAPI IsDBCSLeadByteEx(UINT codePage, BYTE testChar)
{
    if (codePage == CP_ACP)
        codePage = GetACP();
    switch (codePage) {
    case 932:  // Shift-JIS
        return (testChar >= 0x81 && testChar <= 0x9F) || (testChar >= 0xE0 && testChar <= 0xFC);
    case 936:  // GBK
    case 949:  // Unified Hangul
    case 950:  // Big5
        return testChar >= 0x81 && testChar <= 0xFE;
    default:
        return FALSE;
    }
}

BOOL WINAPI IsDBCSLeadByte(BYTE testChar) { return IsDBCSLeadByteEx(CP_ACP, testChar); }

LPSTR WINAPI CharNextA(LPCSTR current)
{
    if (*current == '\0')
        return const_cast<LPSTR>(current);
    // A lead byte followed by the terminator is a character by itself.
    if (IsDBCSLeadByte(static_cast<BYTE>(*current)) && current[1] != '\0')
        return const_cast<LPSTR>(current + 2);
    return const_cast<LPSTR>(current + 1);
}

LPSTR WINAPI CharPrevA(LPCSTR start, LPCSTR current)
{
    if (current <= start)
        return const_cast<LPSTR>(start);
    LPCSTR previous = start;
    for (LPCSTR p = start; p < current; p = CharNextA(p))
        previous = p;
    return const_cast<LPSTR>(previous);
}

LPSTR WINAPI lstrcpynA(LPSTR destination, LPCSTR source, int maxLength)
{
    if (maxLength <= 0)
        return destination;
    int i = 0;
    for (; i < maxLength - 1 && source[i]; ++i)
        destination[i] = source[i];
    destination[i] = '\0';
    return destination;
}

int WINAPI lstrlenA(LPCSTR string) { return string ? static_cast<int>(std::strlen(string)) : 0; }

int WINAPI lstrcmpiA(LPCSTR first, LPCSTR second)
{
    for (;; ++first, ++second) {
        int a = std::tolower(static_cast<unsigned char>(*first));
        int b = std::tolower(static_cast<unsigned char>(*second));
        if (a != b)
            return a < b ? -1 : 1;
        if (a == 0)
            return 0;
    }
}

int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...)
{
    va_list args;
    va_start(args, format);
    int length = win32sim::Format(buffer, format, args);
    va_end(args);
    return length;
}
}
