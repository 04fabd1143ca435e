// Minimal kernel images, some with a known fault, to show that the PE check
// rejects what a driver must not be.
#include <ntddk.h>

#ifdef WITH_KERNEL32
extern "C" __declspec(dllimport) void __stdcall Sleep(unsigned long);
#endif

#ifdef WITH_STATIC_CONSTRUCTOR
struct Counter {
    Counter() : value(KeQueryActiveProcessorCount(nullptr)) {}
    ULONG value;
};
static Counter counter;
#endif

#ifdef WITH_RESIDENT_ENTRY
#define ENTRY_SECTION
#else
#define ENTRY_SECTION __attribute__((section("INIT")))
#endif

extern "C" ENTRY_SECTION NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    (void)path;
    driver->DriverUnload = nullptr;
#ifdef WITH_KERNEL32
    Sleep(1);
#endif
#ifdef WITH_SAFE_MDL_MAPPING
    if (path == nullptr)
        return MmGetSystemAddressForMdlSafe((PMDL)driver, NormalPagePriority) != nullptr
                   ? STATUS_SUCCESS
                   : STATUS_UNSUCCESSFUL;
#endif
#ifdef WITH_HEADER_ONLY_IMPORT
    if (path == nullptr) {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        return now.QuadPart != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
#endif
#ifdef WITH_STATIC_CONSTRUCTOR
    return counter.value ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
#else
    return STATUS_SUCCESS;
#endif
}

extern "C" NTSTATUS NTAPI OtherEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    return DriverEntry(driver, path);
}
