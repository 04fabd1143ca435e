// The driver's own C runtime routines (see kernelcrt.h).
#include "kernelcrt.h"

// GCC turns byte loops into calls of memmove and memset, which here would
// call themselves: these bodies stay loops.
#if defined(__GNUC__) && !defined(__clang__)
#define CRT_PLAIN_LOOPS __attribute__((optimize("no-tree-loop-distribute-patterns")))
#else
#define CRT_PLAIN_LOOPS
#endif

ULONG CrtStringLength(const CHAR* Text)
{
    ULONG n = 0;
    while (Text[n] != 0)
        n++;
    return n;
}

ULONG CrtWideLength(PCWSTR Text)
{
    ULONG n = 0;
    while (Text[n] != 0)
        n++;
    return n;
}

VOID FormatNumberedName(PWCHAR Out, PCWSTR Prefix, ULONG Number)
{
    ULONG n = 0;
    while (Prefix[n] != 0) {
        Out[n] = Prefix[n];
        n++;
    }
    WCHAR digits[10];
    ULONG count = 0;
    do {
        digits[count++] = (WCHAR)(L'0' + Number % 10);
        Number /= 10;
    } while (Number != 0);
    while (count > 0)
        Out[n++] = digits[--count];
    Out[n] = 0;
}

CRT_PLAIN_LOOPS VOID CrtMoveMemory(PVOID Destination, const VOID* Source, SIZE_T Count)
{
    PUCHAR to = (PUCHAR)Destination;
    const UCHAR* from = (const UCHAR*)Source;
    if (to == from || Count == 0)
        return;
    if (to < from || to >= from + Count) {
        for (SIZE_T i = 0; i < Count; i++)
            to[i] = from[i];
    } else {
        for (SIZE_T i = Count; i > 0; i--)
            to[i - 1] = from[i - 1];
    }
}

CRT_PLAIN_LOOPS VOID CrtFillMemory(PVOID Destination, UCHAR Value, SIZE_T Count)
{
    PUCHAR to = (PUCHAR)Destination;
    for (SIZE_T i = 0; i < Count; i++)
        to[i] = Value;
}

#if defined(_WIN32)
// What the compiler and the RtlCopyMemory, RtlMoveMemory and RtlZeroMemory
// macros call.
extern "C" void* __cdecl memcpy(void* Destination, const void* Source, size_t Count)
{
    CrtMoveMemory(Destination, Source, Count);
    return Destination;
}

extern "C" void* __cdecl memmove(void* Destination, const void* Source, size_t Count)
{
    CrtMoveMemory(Destination, Source, Count);
    return Destination;
}

extern "C" void* __cdecl memset(void* Destination, int Value, size_t Count)
{
    CrtFillMemory(Destination, (UCHAR)Value, Count);
    return Destination;
}
#endif
