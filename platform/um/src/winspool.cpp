// The spooler on the host: named printers holding named values, opened by
// name through handles that are counted so tests can see every one closed.
// Both forms of OpenPrinter and GetPrinterData, the ANSI ones converting
// names and text values with the system code page; playing Windows 98/Me,
// the wide forms are the stubs those systems export.
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <winspool.h>

#include "state.h"
#include "um_control.h"

namespace
{

// Printer and value names are kept as lower-case ASCII keys; the spooler
// compares them without regard to case.
using Key = std::u16string;

struct Value {
    DWORD type;
    std::vector<BYTE> bytes;
};

struct Printer {
    std::map<Key, Value> values;
};

struct SpoolerState {
    std::map<Key, Printer> printers;
    std::map<HANDLE, Key> handles;
    uintptr_t nextHandle = 0x5000;
    unsigned long opens = 0;
    unsigned long openFailures = 0;
    unsigned long closes = 0;
    unsigned long badCloses = 0;
    unsigned long dataCalls = 0;
    bool failOpen = false;
    DWORD failData = 0;
    bool windows9x = false;
};

SpoolerState& Spooler()
{
    static SpoolerState state;
    return state;
}

char16_t Fold(char16_t c)
{
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

Key KeyOf(const char* ascii)
{
    Key key;
    for (const char* p = ascii ? ascii : ""; *p; ++p)
        key.push_back(Fold(static_cast<unsigned char>(*p)));
    return key;
}

Key KeyOf(const WCHAR* wide)
{
    Key key;
    for (const WCHAR* p = wide; p && *p; ++p)
        key.push_back(Fold(static_cast<char16_t>(*p)));
    return key;
}

} // namespace

namespace um
{

void ResetSpooler()
{
    SpoolerState& s = Spooler();
    s.printers.clear();
    s.handles.clear();
    s.opens = s.openFailures = s.closes = s.badCloses = s.dataCalls = 0;
    s.failOpen = false;
    s.failData = 0;
    s.windows9x = false;
}

} // namespace um

namespace
{

// Called with the lock held.
WINBOOL OpenPrinterNamed(const Key* name, LPHANDLE phPrinter)
{
    SpoolerState& s = Spooler();
    if (phPrinter == NULL) {
        ++s.openFailures;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (um::FailPointNow(UM_POINT_OPENPRINTER)) {
        ++s.openFailures;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    if (s.failOpen || name == NULL || s.printers.count(*name) == 0) {
        ++s.openFailures;
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    HANDLE handle = reinterpret_cast<HANDLE>(s.nextHandle);
    s.nextHandle += 4;
    s.handles.emplace(handle, *name);
    ++s.opens;
    *phPrinter = handle;
    return TRUE;
}

Key FoldedKey(const std::u16string& text)
{
    Key key;
    for (char16_t c : text)
        key.push_back(Fold(c));
    return key;
}

// The stored value, or an error; called with the lock held.
DWORD FindValue(HANDLE hPrinter, const Key* valueName, LPDWORD pcbNeeded, const Value** found)
{
    SpoolerState& s = Spooler();
    ++s.dataCalls;
    auto handle = s.handles.find(hPrinter);
    if (handle == s.handles.end())
        return ERROR_INVALID_HANDLE;
    if (valueName == NULL || pcbNeeded == NULL)
        return ERROR_INVALID_PARAMETER;
    if (um::FailPointNow(UM_POINT_PRINTERDATA))
        return ERROR_NOT_ENOUGH_MEMORY;
    if (s.failData != 0)
        return s.failData;
    auto printer = s.printers.find(handle->second);
    if (printer == s.printers.end())
        return ERROR_INVALID_HANDLE; // removed while open
    auto value = printer->second.values.find(*valueName);
    if (value == printer->second.values.end())
        return ERROR_FILE_NOT_FOUND;
    *found = &value->second;
    return ERROR_SUCCESS;
}

DWORD CopyValue(DWORD type, const std::vector<BYTE>& bytes, LPDWORD pType, LPBYTE pData,
                DWORD nSize, LPDWORD pcbNeeded)
{
    DWORD need = static_cast<DWORD>(bytes.size());
    if (pType != NULL)
        *pType = type;
    *pcbNeeded = need;
    if (pData == NULL || nSize < need)
        return ERROR_MORE_DATA;
    if (need != 0)
        std::memcpy(pData, bytes.data(), need);
    return ERROR_SUCCESS;
}

// A text value as the ANSI form gives it: its UTF-16 units in the system
// code page (an odd trailing byte is no unit and is dropped).
std::vector<BYTE> AnsiText(const std::vector<BYTE>& wide)
{
    std::u16string units;
    for (size_t i = 0; i + 1 < wide.size(); i += 2)
        units.push_back(static_cast<char16_t>(wide[i] | (wide[i + 1] << 8)));
    std::string bytes = um::ToSystemCodePage(units);
    return std::vector<BYTE>(bytes.begin(), bytes.end());
}

} // namespace

extern "C" {

WINBOOL WINAPI OpenPrinterW(LPWSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSW pDefault)
{
    (void)pDefault;
    std::lock_guard<std::mutex> guard(um::Lock());
    if (Spooler().windows9x) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    Key name = KeyOf(pPrinterName);
    return OpenPrinterNamed(pPrinterName != NULL ? &name : NULL, phPrinter);
}

WINBOOL WINAPI OpenPrinterA(LPSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSA pDefault)
{
    (void)pDefault;
    std::lock_guard<std::mutex> guard(um::Lock());
    if (pPrinterName == NULL)
        return OpenPrinterNamed(NULL, phPrinter);
    Key name = FoldedKey(um::FromSystemCodePage(pPrinterName, std::strlen(pPrinterName)));
    return OpenPrinterNamed(&name, phPrinter);
}

WINBOOL WINAPI ClosePrinter(HANDLE hPrinter)
{
    std::lock_guard<std::mutex> guard(um::Lock());
    SpoolerState& s = Spooler();
    if (s.handles.erase(hPrinter) == 0) {
        ++s.badCloses;
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ++s.closes;
    return TRUE;
}

DWORD WINAPI GetPrinterDataW(HANDLE hPrinter, LPWSTR pValueName, LPDWORD pType, LPBYTE pData,
                             DWORD nSize, LPDWORD pcbNeeded)
{
    std::lock_guard<std::mutex> guard(um::Lock());
    if (Spooler().windows9x)
        return ERROR_CALL_NOT_IMPLEMENTED;
    Key name = KeyOf(pValueName);
    const Value* value = NULL;
    DWORD result = FindValue(hPrinter, pValueName != NULL ? &name : NULL, pcbNeeded, &value);
    if (result != ERROR_SUCCESS)
        return result;
    return CopyValue(value->type, value->bytes, pType, pData, nSize, pcbNeeded);
}

DWORD WINAPI GetPrinterDataA(HANDLE hPrinter, LPSTR pValueName, LPDWORD pType, LPBYTE pData,
                             DWORD nSize, LPDWORD pcbNeeded)
{
    std::lock_guard<std::mutex> guard(um::Lock());
    Key name;
    if (pValueName != NULL)
        name = FoldedKey(um::FromSystemCodePage(pValueName, std::strlen(pValueName)));
    const Value* value = NULL;
    DWORD result = FindValue(hPrinter, pValueName != NULL ? &name : NULL, pcbNeeded, &value);
    if (result != ERROR_SUCCESS)
        return result;
    if (value->type == REG_SZ || value->type == REG_EXPAND_SZ || value->type == REG_MULTI_SZ)
        return CopyValue(value->type, AnsiText(value->bytes), pType, pData, nSize, pcbNeeded);
    return CopyValue(value->type, value->bytes, pType, pData, nSize, pcbNeeded);
}

void UmAddPrinter(const char* name)
{
    std::lock_guard<std::mutex> guard(um::Lock());
    Spooler().printers[KeyOf(name)];
}

void UmRemovePrinter(const char* name)
{
    std::lock_guard<std::mutex> guard(um::Lock());
    Spooler().printers.erase(KeyOf(name));
}

void UmSetPrinterValue(const char* printer, const char* valueName, DWORD type, const void* data,
                       DWORD size)
{
    std::lock_guard<std::mutex> guard(um::Lock());
    Value value{type, {}};
    const BYTE* bytes = static_cast<const BYTE*>(data);
    if (bytes != NULL)
        value.bytes.assign(bytes, bytes + size);
    Spooler().printers[KeyOf(printer)].values[KeyOf(valueName)] = value;
}

void UmSetPrinterDword(const char* printer, const char* valueName, DWORD value)
{
    UmSetPrinterValue(printer, valueName, REG_DWORD, &value, sizeof value);
}

void UmSetPrinterString(const char* printer, const char* valueName, const char* text)
{
    std::vector<BYTE> bytes;
    for (const char* p = text ? text : "";; ++p) {
        WCHAR unit = static_cast<unsigned char>(*p);
        bytes.push_back(static_cast<BYTE>(unit & 0xFF));
        bytes.push_back(static_cast<BYTE>(unit >> 8));
        if (*p == '\0')
            break;
    }
    UmSetPrinterValue(printer, valueName, REG_SZ, bytes.data(), static_cast<DWORD>(bytes.size()));
}

void UmRemovePrinterValue(const char* printer, const char* valueName)
{
    std::lock_guard<std::mutex> guard(um::Lock());
    auto it = Spooler().printers.find(KeyOf(printer));
    if (it != Spooler().printers.end())
        it->second.values.erase(KeyOf(valueName));
}

#define UM_COUNTER(name, field)                                                                    \
    unsigned long name(void)                                                                       \
    {                                                                                              \
        std::lock_guard<std::mutex> guard(um::Lock());                                             \
        return static_cast<unsigned long>(Spooler().field);                                        \
    }
UM_COUNTER(UmPrinterOpens, opens)
UM_COUNTER(UmPrinterOpenFailures, openFailures)
UM_COUNTER(UmPrinterCloses, closes)
UM_COUNTER(UmPrinterBadCloses, badCloses)
UM_COUNTER(UmPrintersOpen, handles.size())
UM_COUNTER(UmPrinterDataCalls, dataCalls)
#undef UM_COUNTER

void UmFailOpenPrinter(BOOL on)
{
    std::lock_guard<std::mutex> guard(um::Lock());
    Spooler().failOpen = on != FALSE;
}

void UmPlayWindows9xSpooler(BOOL on)
{
    std::lock_guard<std::mutex> guard(um::Lock());
    Spooler().windows9x = on != FALSE;
}

void UmFailPrinterData(DWORD error)
{
    std::lock_guard<std::mutex> guard(um::Lock());
    Spooler().failData = error;
}

} // extern "C"
