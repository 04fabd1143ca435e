// kernel32's code-page conversions on the host, for the system code page
// only (CP_ACP), which is Windows-1252 here as on a Western European system:
// bytes 0x80-0x9F are not the code units of the same value (0x99 is U+2122),
// and a few characters the code page lacks are mapped to a look-alike
// ("best fit", U+0100 to 'A') without being reported as defaulted, as the
// system does.
#include <cstring>

#include "state.h"

namespace
{

const WCHAR kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                               0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                               0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                               0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

struct BestFit {
    WCHAR unit;
    char byte;
};
const BestFit kBestFit[] = {{0x0100, 'A'}, {0x0101, 'a'}, {0x0141, 'L'}, {0x0142, 'l'}};

WCHAR ByteToUnit(unsigned char c)
{
    return c >= 0x80 && c < 0xA0 ? kCp1252High[c - 0x80] : static_cast<WCHAR>(c);
}

// The byte of a code unit; false when the code page has none (*out is then
// the default character '?').
bool UnitToByte(WCHAR c, char* out)
{
    for (int i = 0; i < 32; i++)
        if (kCp1252High[i] == c) {
            *out = static_cast<char>(0x80 + i);
            return true;
        }
    if (c < 0x100 && (c < 0x80 || c >= 0xA0)) {
        *out = static_cast<char>(c);
        return true;
    }
    for (const BestFit& f : kBestFit)
        if (f.unit == c) {
            *out = f.byte;
            return true;
        }
    *out = '?';
    return false;
}

} // namespace

namespace um
{

std::u16string FromSystemCodePage(const char* bytes, size_t count)
{
    std::u16string text;
    for (size_t i = 0; i < count; ++i)
        text.push_back(static_cast<char16_t>(ByteToUnit(static_cast<unsigned char>(bytes[i]))));
    return text;
}

std::string ToSystemCodePage(const std::u16string& text)
{
    std::string bytes;
    for (char16_t unit : text) {
        char c;
        UnitToByte(static_cast<WCHAR>(unit), &c);
        bytes.push_back(c);
    }
    return bytes;
}

} // namespace um

extern "C" {

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar)
{
    if (CodePage != CP_ACP || dwFlags != 0 || lpMultiByteStr == NULL || cchWideChar < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t count =
        cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    if (cchWideChar == 0)
        return static_cast<int>(count);
    if (static_cast<size_t>(cchWideChar) < count) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (size_t i = 0; i < count; ++i)
        lpWideCharStr[i] = ByteToUnit(static_cast<unsigned char>(lpMultiByteStr[i]));
    return static_cast<int>(count);
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                               LPBOOL lpUsedDefaultChar)
{
    if (CodePage != CP_ACP || dwFlags != 0 || lpWideCharStr == NULL || lpDefaultChar != NULL ||
        cbMultiByte < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t count = 0;
    if (cchWideChar < 0)
        while (lpWideCharStr[count++] != 0) {
        }
    else
        count = static_cast<size_t>(cchWideChar);
    if (cbMultiByte == 0)
        return static_cast<int>(count);
    if (static_cast<size_t>(cbMultiByte) < count) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    BOOL defaulted = FALSE;
    for (size_t i = 0; i < count; ++i)
        if (!UnitToByte(lpWideCharStr[i], &lpMultiByteStr[i]))
            defaulted = TRUE;
    if (lpUsedDefaultChar != NULL)
        *lpUsedDefaultChar = defaulted;
    return static_cast<int>(count);
}

} // extern "C"
