// The few C runtime routines the driver needs, carried in the image itself.
// ntoskrnl exports some of the C runtime, but which of it each supported
// platform exports is not documented (windows/exports/README.md), so the
// driver imports none of it: it formats and measures its strings with the
// routines below, and the Windows build defines memcpy, memmove and memset
// (which the compiler may call on its own) on top of CrtMoveMemory and
// CrtFillMemory. The host build uses the same routines, so the suite runs
// them.
#ifndef PRNSBP_KERNELCRT_H
#define PRNSBP_KERNELCRT_H

#include <wdm.h>

// Characters before the terminator.
ULONG CrtStringLength(const CHAR* Text);
ULONG CrtWideLength(PCWSTR Text);

// Prefix followed by Number in decimal, terminated: "\Device\Printer" and 3
// give "\Device\Printer3". Out holds the prefix and 11 characters more.
VOID FormatNumberedName(PWCHAR Out, PCWSTR Prefix, ULONG Number);

// memmove and memset: Count bytes, the ranges may overlap.
VOID CrtMoveMemory(PVOID Destination, const VOID* Source, SIZE_T Count);
VOID CrtFillMemory(PVOID Destination, UCHAR Value, SIZE_T Count);

#endif // PRNSBP_KERNELCRT_H
