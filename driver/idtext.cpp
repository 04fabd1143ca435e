// Bounded building of the short texts that identification and publication
// put together (IDs, registry paths, port names). Every routine stops where
// the buffer ends and leaves it terminated, so a long device ID from the
// printer is cut rather than written past a buffer.

#include <ntddk.h>
#include "identify.h"

VOID IdAppendTextN(PCHAR Out, ULONG Size, PULONG Used, const CHAR* Text, ULONG MaxChars)
{
    ULONG used = *Used;
    if (Size == 0)
        return;
    for (ULONG i = 0; i < MaxChars && Text[i] != '\0' && used + 1 < Size; i++)
        Out[used++] = Text[i];
    Out[used] = '\0';
    *Used = used;
}

VOID IdAppendText(PCHAR Out, ULONG Size, PULONG Used, const CHAR* Text)
{
    IdAppendTextN(Out, Size, Used, Text, (ULONG)~0u);
}

// Decimal digits of Value, at least MinDigits of them (zero-padded), into
// Digits; returns their count.
static ULONG FormatDecimal(ULONG Value, ULONG MinDigits, CHAR* Digits)
{
    CHAR reversed[10];
    ULONG count = 0;
    do {
        reversed[count++] = (CHAR)('0' + Value % 10);
        Value /= 10;
    } while (Value != 0);
    ULONG total = 0;
    for (ULONG pad = count; pad < MinDigits && pad < 10; pad++)
        Digits[total++] = '0';
    while (count > 0)
        Digits[total++] = reversed[--count];
    Digits[total] = '\0';
    return total;
}

VOID IdAppendDecimal(PCHAR Out, ULONG Size, PULONG Used, ULONG Value, ULONG MinDigits)
{
    CHAR digits[24];
    FormatDecimal(Value, MinDigits, digits);
    IdAppendText(Out, Size, Used, digits);
}

VOID IdAppendWide(PWCHAR Out, ULONG Size, PULONG Used, const WCHAR* Text)
{
    ULONG used = *Used;
    if (Size == 0)
        return;
    for (ULONG i = 0; Text[i] != 0 && used + 1 < Size; i++)
        Out[used++] = Text[i];
    Out[used] = 0;
    *Used = used;
}

VOID IdAppendWideDecimal(PWCHAR Out, ULONG Size, PULONG Used, ULONG Value, ULONG MinDigits)
{
    CHAR digits[24];
    WCHAR wide[24];
    ULONG count = FormatDecimal(Value, MinDigits, digits);
    for (ULONG i = 0; i < count; i++)
        wide[i] = (WCHAR)digits[i];
    wide[count] = 0;
    IdAppendWide(Out, Size, Used, wide);
}
