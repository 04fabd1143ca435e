/* Small images with known faults, to show that the PE check rejects them. */
#include <windows.h>

#ifdef BY_DECLSPEC
#define EXPORTED __declspec(dllexport)
#else
#define EXPORTED
#endif

#define ACCESSOR(name)                                                                             \
    EXPORTED LONG WINAPI name(DWORD id, void* request, DWORD size, void* buffer, DWORD* outSize)   \
    {                                                                                              \
        (void)id;                                                                                  \
        (void)request;                                                                             \
        (void)size;                                                                                \
        (void)buffer;                                                                              \
        (void)outSize;                                                                             \
        return 1;                                                                                  \
    }

ACCESSOR(XDB_AccessRootDataBase)
ACCESSOR(XDB_AccessDrvDataBase)
ACCESSOR(XDB_AccessLMDataBase)
ACCESSOR(XDB_AccessMntDataBase)
ACCESSOR(XDB_AccessPADataBase)
ACCESSOR(XDB_AccessSMDataBase)

EXPORTED LONG WINAPI GetMediaInfo(LPCWSTR text, void* info, DWORD* size)
{
    (void)text;
    (void)info;
    (void)size;
#ifdef WITH_USER32
    MessageBoxA(NULL, "x", "y", 0);
#endif
    return 0;
}

LONG WINAPI Extra(void)
{
    return 0;
}
