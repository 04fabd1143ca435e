// Heap copies of a request that derived questions can change freely.
#include "driverdb.h"

DataBaseRequest* CloneRequest(const DataBaseRequest* source)
{
    DWORD bytes = sizeof(DataBaseRequest) + CloneSettingCount * sizeof(LONG);
    DataBaseRequest* copy = static_cast<DataBaseRequest*>(GlobalAlloc(GPTR, bytes));
    if (copy == NULL) {
        return NULL;
    }
    LONG* settings = reinterpret_cast<LONG*>(copy + 1);
    copy->SettingCount = CloneSettingCount;
    copy->Settings = settings;
    if (source != NULL) {
        copy->Printer = source->Printer;
        copy->Context = source->Context;
        DWORD n =
            source->SettingCount < CloneSettingCount ? source->SettingCount : CloneSettingCount;
        // A count without an array carries no settings to copy.
        if (source->Settings == NULL) {
            n = 0;
        }
        for (DWORD i = 0; i < n; ++i) {
            settings[i] = source->Settings[i];
        }
    }
    return copy;
}

void FreeBlock(void* block)
{
    if (block != NULL) {
        GlobalFree(block);
    }
}
