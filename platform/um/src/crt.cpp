// The C runtime's wide-string routines for 16-bit WCHAR, with the platform's
// 32-bit long for wcstol.
#include <windows.h>

extern "C" {

size_t um_wcslen(const wchar_t* s)
{
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

wchar_t* um_wcscpy(wchar_t* dst, const wchar_t* src)
{
    size_t i = 0;
    do {
        dst[i] = src[i];
    } while (src[i++] != 0);
    return dst;
}

// Copies at most n units and pads with zeros; no terminator when src is n
// units or longer, as the C library specifies.
wchar_t* um_wcsncpy(wchar_t* dst, const wchar_t* src, size_t n)
{
    size_t i = 0;
    for (; i < n && src[i] != 0; ++i)
        dst[i] = src[i];
    for (; i < n; ++i)
        dst[i] = 0;
    return dst;
}

wchar_t* um_wcscat(wchar_t* dst, const wchar_t* src)
{
    um_wcscpy(dst + um_wcslen(dst), src);
    return dst;
}

int um_wcsncmp(const wchar_t* a, const wchar_t* b, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        unsigned short x = static_cast<unsigned short>(a[i]);
        unsigned short y = static_cast<unsigned short>(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
        if (x == 0)
            return 0;
    }
    return 0;
}

int um_wcscmp(const wchar_t* a, const wchar_t* b)
{
    return um_wcsncmp(a, b, static_cast<size_t>(-1));
}

static int DigitValue(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'z')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'Z')
        return c - L'A' + 10;
    return 99;
}

// long is 32 bits on the platform: out-of-range values clamp to its limits.
long um_wcstol(const wchar_t* s, wchar_t** end, int base)
{
    const long kMax = 2147483647L;
    const long kMin = -kMax - 1;
    const wchar_t* p = s;
    while (*p == L' ' || (*p >= L'\t' && *p <= L'\r'))
        ++p;
    bool negative = false;
    if (*p == L'+' || *p == L'-')
        negative = *p++ == L'-';
    if ((base == 0 || base == 16) && p[0] == L'0' && (p[1] == L'x' || p[1] == L'X') &&
        DigitValue(p[2]) < 16) {
        p += 2;
        base = 16;
    } else if (base == 0) {
        base = p[0] == L'0' ? 8 : 10;
    }
    if (base < 2 || base > 36) {
        if (end)
            *end = const_cast<wchar_t*>(s);
        return 0;
    }
    const wchar_t* digits = p;
    long long value = 0;
    bool overflow = false;
    for (; DigitValue(*p) < base; ++p) {
        value = value * base + DigitValue(*p);
        if (value > kMax + 1LL) {
            overflow = true;
            value = kMax + 1LL;
        }
    }
    if (end)
        *end = const_cast<wchar_t*>(p == digits ? s : p);
    if (negative)
        value = -value;
    if (overflow || value > kMax || value < kMin)
        return negative ? kMin : kMax;
    return static_cast<long>(value);
}

} // extern "C"
