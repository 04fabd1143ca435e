#include "driverdb.h"

#include "store.h"

// Only the plain lookup so far: every Drv id with an entry is answered from
// the store.
LONG QueryDriverDataBase(DWORD id, const DataBaseRequest* request, DWORD size, void* buffer,
                         DWORD* outSize)
{
    EntryDescriptor leaf;
    LONG result = FindEntry(id, request, &leaf);
    if (result != DB_OK)
        return result;
    return ReadEntry(request, size, buffer, outSize, &leaf);
}

static const DWORD CloneSettingCount = 132;

DataBaseRequest* CloneRequest(const DataBaseRequest* source)
{
    DWORD bytes = sizeof(DataBaseRequest) + CloneSettingCount * sizeof(LONG);
    DataBaseRequest* copy = static_cast<DataBaseRequest*>(GlobalAlloc(GPTR, bytes));
    if (copy == NULL)
        return NULL;
    LONG* settings = reinterpret_cast<LONG*>(copy + 1);
    copy->SettingCount = CloneSettingCount;
    copy->Settings = settings;
    if (source != NULL) {
        copy->Printer = source->Printer;
        copy->Context = source->Context;
        DWORD n =
            source->SettingCount < CloneSettingCount ? source->SettingCount : CloneSettingCount;
        if (source->Settings == NULL)
            n = 0;
        for (DWORD i = 0; i < n; ++i)
            settings[i] = source->Settings[i];
    }
    return copy;
}

void FreeBlock(void* block)
{
    if (block != NULL)
        GlobalFree(block);
}
