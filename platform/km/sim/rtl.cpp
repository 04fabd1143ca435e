// Counted-string routines of the run-time library.
#include "core.h"

using namespace kmsim;

extern "C" {

BOOLEAN KmNlsMbCodePageTag = FALSE;

} // extern "C"

namespace
{
// The system's ANSI code page is Windows-1252: bytes 0x80-0x9F are not the
// code units of the same value (0x99 is U+2122, the trade mark sign).
const WCHAR kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                               0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                               0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                               0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

WCHAR AnsiToUnit(UCHAR c)
{
    return c >= 0x80 && c < 0xA0 ? kCp1252High[c - 0x80] : (WCHAR)c;
}

CHAR UnitToAnsi(WCHAR c)
{
    for (int i = 0; i < 32; i++)
        if (kCp1252High[i] == c)
            return (CHAR)(0x80 + i);
    return c < 0x100 && (c < 0x80 || c >= 0xA0) ? (CHAR)c : '?';
}
} // namespace

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = (PWSTR)SourceString;
    if (SourceString) {
        size_t n = km_wcslen(SourceString) * 2;
        if (n > 0xFFFC)
            n = 0xFFFC;
        DestinationString->Length = (USHORT)n;
        DestinationString->MaximumLength = (USHORT)(n + 2);
    } else {
        DestinationString->Length = DestinationString->MaximumLength = 0;
    }
}

VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString)
{
    DestinationString->Buffer = (PCHAR)SourceString;
    if (SourceString) {
        size_t n = strlen(SourceString);
        if (n > 0xFFFE)
            n = 0xFFFE;
        DestinationString->Length = (USHORT)n;
        DestinationString->MaximumLength = (USHORT)(n + 1);
    } else {
        DestinationString->Length = DestinationString->MaximumLength = 0;
    }
}

ULONG NTAPI RtlxAnsiStringToUnicodeSize(PANSI_STRING AnsiString)
{
    return (ULONG)AnsiString->Length * 2 + 2;
}

NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                            PANSI_STRING SourceString,
                                            BOOLEAN AllocateDestinationString)
{
    ULONG size = RtlxAnsiStringToUnicodeSize(SourceString);
    if (size > 0xFFFF)
        return STATUS_INVALID_PARAMETER;
    if (AllocateDestinationString) {
        DestinationString->Buffer = (PWSTR)PoolAllocate(PagedPool, size, kTagRtlString);
        if (DestinationString->Buffer == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
        DestinationString->MaximumLength = (USHORT)size;
    } else if (DestinationString->MaximumLength < size - 2) {
        return STATUS_BUFFER_OVERFLOW;
    }
    USHORT n = SourceString->Length;
    for (USHORT i = 0; i < n; i++)
        DestinationString->Buffer[i] = AnsiToUnit((UCHAR)SourceString->Buffer[i]);
    DestinationString->Length = (USHORT)(n * 2);
    if (DestinationString->MaximumLength >= DestinationString->Length + 2)
        DestinationString->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                            PUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString)
{
    USHORT n = (USHORT)(SourceString->Length / 2);
    if (AllocateDestinationString) {
        DestinationString->Buffer = (PCHAR)PoolAllocate(PagedPool, n + 1u, kTagRtlString);
        if (DestinationString->Buffer == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
        DestinationString->MaximumLength = (USHORT)(n + 1);
    } else if (DestinationString->MaximumLength < n) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < n; i++) {
        DestinationString->Buffer[i] = UnitToAnsi(SourceString->Buffer[i]);
    }
    DestinationString->Length = n;
    if (DestinationString->MaximumLength > n)
        DestinationString->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer)
        PoolFree(UnicodeString->Buffer);
    UnicodeString->Buffer = NULL;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString)
{
    if (AnsiString->Buffer)
        PoolFree(AnsiString->Buffer);
    AnsiString->Buffer = NULL;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (SourceString == NULL || SourceString->Buffer == NULL) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = SourceString->Length;
    if (n > DestinationString->MaximumLength)
        n = DestinationString->MaximumLength;
    memcpy(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    if (n + 2 <= DestinationString->MaximumLength)
        DestinationString->Buffer[n / 2] = 0;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (Source == NULL)
        return STATUS_SUCCESS;
    size_t n = km_wcslen(Source) * 2;
    if (Destination->Length + n > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    memcpy((PCHAR)Destination->Buffer + Destination->Length, Source, n);
    Destination->Length = (USHORT)(Destination->Length + n);
    if (Destination->Length + 2u <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / 2] = 0;
    return STATUS_SUCCESS;
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive)
{
    std::u16string a = ToU16(String1), b = ToU16(String2);
    if (CaseInSensitive) {
        a = Lower(a);
        b = Lower(b);
    }
    return a == b;
}

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length)
{
    const UCHAR* a = (const UCHAR*)Source1;
    const UCHAR* b = (const UCHAR*)Source2;
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i])
        i++;
    return i;
}

} // extern "C"
