// The spooler calls, on every platform the DLL is installed on. Windows 98
// and Me export the wide forms of OpenPrinter and GetPrinterData only as
// stubs that fail with ERROR_CALL_NOT_IMPLEMENTED; there the same call goes
// through the ANSI form, its names converted with the system code page and a
// text value's data converted back, so callers see what they see on Windows
// 2000 and XP.
#include <windows.h>
#include <winspool.h>

#include "store.h"

// Windows 98 has no lstrcmpW either.
static BOOL SameText(const WCHAR* a, const WCHAR* b)
{
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// The text in the system code page, in a new GlobalAlloc block; NULL when it
// cannot be converted exactly (a character the code page lacks, or one it
// only approximates, would name another printer or value).
static char* ToSystemCodePage(LPCWSTR text)
{
    int bytes = WideCharToMultiByte(CP_ACP, 0, text, -1, NULL, 0, NULL, NULL);
    if (bytes <= 0)
        return NULL;
    char* narrow = static_cast<char*>(GlobalAlloc(GPTR, static_cast<SIZE_T>(bytes)));
    if (narrow == NULL)
        return NULL;
    BOOL defaulted = FALSE;
    BOOL exact =
        WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, bytes, NULL, &defaulted) == bytes &&
        !defaulted;
    // Best-fit mappings are not reported as defaulted: only a round trip
    // shows that the bytes still spell the same text.
    int units = exact ? MultiByteToWideChar(CP_ACP, 0, narrow, bytes, NULL, 0) : 0;
    WCHAR* back =
        units > 0 ? static_cast<WCHAR*>(GlobalAlloc(GPTR, static_cast<SIZE_T>(units) * 2)) : NULL;
    exact = back != NULL && MultiByteToWideChar(CP_ACP, 0, narrow, bytes, back, units) == units &&
            SameText(back, text);
    if (back != NULL)
        GlobalFree(back);
    if (!exact) {
        GlobalFree(narrow);
        return NULL;
    }
    return narrow;
}

BOOL OpenPrinterByName(LPCWSTR name, HANDLE* printer)
{
    *printer = NULL;
    if (OpenPrinterW(const_cast<LPWSTR>(name), printer, NULL))
        return *printer != NULL;
    if (GetLastError() != ERROR_CALL_NOT_IMPLEMENTED)
        return FALSE;
    char* narrow = ToSystemCodePage(name);
    if (narrow == NULL)
        return FALSE;
    BOOL opened = OpenPrinterA(narrow, printer, NULL);
    GlobalFree(narrow);
    if (!opened)
        *printer = NULL;
    return opened && *printer != NULL;
}

static BOOL IsTextType(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// A text value read through the ANSI form: its bytes in the system code
// page, converted to the UTF-16 the wide form would have given, with the
// same size query (ERROR_MORE_DATA and the size in *needed while data is
// NULL or short).
static DWORD ConvertTextValue(const BYTE* ansi, DWORD ansiBytes, BYTE* data, DWORD size,
                              DWORD* needed)
{
    int units = ansiBytes == 0 ? 0
                               : MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<const char*>(ansi),
                                                     static_cast<int>(ansiBytes), NULL, 0);
    if (ansiBytes != 0 && units <= 0)
        return ERROR_INVALID_DATA;
    *needed = static_cast<DWORD>(units) * sizeof(WCHAR);
    if (data == NULL || size < *needed)
        return ERROR_MORE_DATA;
    if (units != 0)
        MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<const char*>(ansi),
                            static_cast<int>(ansiBytes), reinterpret_cast<WCHAR*>(data), units);
    return ERROR_SUCCESS;
}

static DWORD ReadValueThroughAnsi(HANDLE printer, const char* name, DWORD* type, BYTE* data,
                                  DWORD size, DWORD* needed)
{
    DWORD kind = REG_NONE;
    DWORD ansiBytes = 0;
    DWORD result = GetPrinterDataA(printer, const_cast<LPSTR>(name), &kind, NULL, 0, &ansiBytes);
    if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA)
        return result;
    if (type != NULL)
        *type = kind;
    if (!IsTextType(kind))
        return GetPrinterDataA(printer, const_cast<LPSTR>(name), type, data, size, needed);
    // A text's wide size is known only from its bytes: read them whole.
    BYTE* ansi = static_cast<BYTE*>(GlobalAlloc(GPTR, ansiBytes + 1));
    if (ansi == NULL)
        return ERROR_NOT_ENOUGH_MEMORY;
    DWORD got = 0;
    result = GetPrinterDataA(printer, const_cast<LPSTR>(name), &kind, ansi, ansiBytes, &got);
    if (result == ERROR_SUCCESS)
        result = ConvertTextValue(ansi, got < ansiBytes ? got : ansiBytes, data, size, needed);
    GlobalFree(ansi);
    return result;
}

DWORD ReadPrinterValue(HANDLE printer, LPCWSTR name, DWORD* type, BYTE* data, DWORD size,
                       DWORD* needed)
{
    DWORD result = GetPrinterDataW(printer, const_cast<LPWSTR>(name), type, data, size, needed);
    if (result != ERROR_CALL_NOT_IMPLEMENTED)
        return result;
    char* narrow = ToSystemCodePage(name);
    if (narrow == NULL)
        return ERROR_FILE_NOT_FOUND;
    result = ReadValueThroughAnsi(printer, narrow, type, data, size, needed);
    GlobalFree(narrow);
    return result;
}
