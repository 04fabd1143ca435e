#include "prnmodel.h"

// The media report decoder is not wired in yet: every report is refused,
// as any unreadable report is, without writing anything.
LONG WINAPI GetMediaInfo(LPCWSTR text, MediaInfo* info, DWORD* size)
{
    (void)text;
    (void)info;
    (void)size;
    return 0;
}
