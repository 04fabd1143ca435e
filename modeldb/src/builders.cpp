// Maps the builder id of a Built leaf to its builder.
#include "builders.h"

LONG BuildComputedEntry(DWORD builderId, const DataBaseRequest* request, DWORD bufferSize,
                        void* buffer, DWORD* outSize)
{
    BYTE* out = static_cast<BYTE*>(buffer);
    DWORD id = builderId & 0xFFFF;
    switch (id) {
    case BUILDER_PAGE_FORMAT:
    case BUILDER_PAPER_LENGTH:
        return BuildPageFormat(id, request, bufferSize, out, outSize);
    case BUILDER_PRINTABLE_AREA:
        return BuildPrintableArea(request, bufferSize, out, outSize);
    case BUILDER_MEDIA_PRINTABLE_AREA:
        return BuildMediaPrintableArea(request, bufferSize, out, outSize);
    case BUILDER_SET_TIME:
        return BuildSetTimeBlock(request, bufferSize, out, outSize);
    case BUILDER_DOLLAR_COMMAND:
        return BuildDollarCommand(request, bufferSize, out, outSize);
    case BUILDER_SILENT_MODE:
        return BuildSilentModeBlock(request, bufferSize, out, outSize);
    case BUILDER_CODE_PAIR:
        return BuildCodePair(request, bufferSize, out, outSize);
    case BUILDER_MEDIA_OVERRIDES:
        return BuildMediaOverrides(request, bufferSize, out, outSize);
    case BUILDER_M_COMMAND:
        return BuildMCommand(request, bufferSize, out, outSize);
    default:
        return DB_NO_ANSWER;
    }
}
