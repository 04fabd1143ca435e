// Values stored with the printer in the spooler, and the user's locale.
#include <windows.h>

#include "store.h"

// The UTF-16 name under which the value of valueCode is stored, from the
// printer-data name entry of the Root database; a GlobalAlloc block or NULL.
static WCHAR* ReadValueName(HANDLE printer, DWORD context, DWORD valueCode)
{
    LONG code = static_cast<LONG>(valueCode);
    DataBaseRequest nameRequest = {printer, context, 0, NULL, 1, &code, NULL};
    DWORD need = 0;
    if (XDB_AccessRootDataBase(PrinterDataNameId, &nameRequest, 0, NULL, &need) != DB_MORE_DATA ||
        need == 0)
        return NULL;
    // One spare zeroed unit keeps the name terminated even if the entry
    // answering it were not a terminated text; an odd byte count is rounded
    // up first so that unit lies wholly inside the block.
    DWORD bytes = need + sizeof(WCHAR) + (need & 1u);
    WCHAR* name = static_cast<WCHAR*>(GlobalAlloc(GPTR, bytes));
    if (name == NULL)
        return NULL;
    DWORD got = 0;
    if (XDB_AccessRootDataBase(PrinterDataNameId, &nameRequest, need, name, &got) != DB_OK) {
        GlobalFree(name);
        return NULL;
    }
    return name;
}

LONG ReadPrinterDataDword(HANDLE printer, DWORD context, DWORD valueCode, LONG* out)
{
    if (out == NULL)
        return 0;
    WCHAR* name = ReadValueName(printer, context, valueCode);
    if (name == NULL)
        return 0;
    DWORD type = REG_DWORD;
    DWORD value = 0;
    DWORD needed = sizeof value;
    LONG read = 0;
    if (ReadPrinterValue(printer, name, &type, reinterpret_cast<LPBYTE>(&value), sizeof value,
                         &needed) == ERROR_SUCCESS) {
        *out = static_cast<LONG>(value);
        read = 1;
    }
    GlobalFree(name);
    return read;
}

WCHAR* ReadPrinterDataString(HANDLE printer, DWORD context, DWORD valueCode)
{
    WCHAR* name = ReadValueName(printer, context, valueCode);
    if (name == NULL)
        return NULL;
    WCHAR* text = NULL;
    DWORD type = REG_NONE;
    DWORD needed = 0;
    DWORD result = ReadPrinterValue(printer, name, &type, NULL, 0, &needed);
    if ((result == ERROR_SUCCESS || result == ERROR_MORE_DATA) && needed != 0 && type == REG_SZ) {
        // A stored string need not end in a terminator (or even fill whole
        // units); the spare zeroed unit guarantees that the caller's text is
        // terminated.
        DWORD bytes = needed + sizeof(WCHAR) + (needed & 1u);
        text = static_cast<WCHAR*>(GlobalAlloc(GPTR, bytes));
        if (text != NULL) {
            DWORD got = 0;
            if (ReadPrinterValue(printer, name, &type, reinterpret_cast<LPBYTE>(text), needed,
                                 &got) != ERROR_SUCCESS) {
                GlobalFree(text);
                text = NULL;
            }
        }
    }
    GlobalFree(name);
    return text;
}

LONG GetUserCountryCode(DWORD selectorTag, LONG* out)
{
    if (out == NULL || (selectorTag & 0xFFFFu) != LocaleSelectorTag)
        return DB_FAILED;
    int length = GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_ICOUNTRY, NULL, 0);
    // A failed length query reports 0; reading into a zero-sized block would
    // then parse memory that was never written.
    if (length <= 0)
        return DB_FAILED;
    char* text = static_cast<char*>(GlobalAlloc(GPTR, static_cast<SIZE_T>(length) + 1));
    if (text == NULL)
        return DB_FAILED;
    LONG result = DB_FAILED;
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_ICOUNTRY, text, length) != 0) {
        *out = atoi(text);
        result = DB_OK;
    }
    GlobalFree(text);
    return result;
}
