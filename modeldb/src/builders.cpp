// Maps the builder id of a Built leaf to its builder.
#include "builders.h"

LONG BuildComputedEntry(DWORD builderId, const DataBaseRequest* request, DWORD bufferSize,
                        void* buffer, DWORD* outSize)
{
    BYTE* out = static_cast<BYTE*>(buffer);
    DWORD id = builderId & 0xFFFF;
    switch (id) {
    case Builder::PageFormat:
    case Builder::PaperLength:
        return BuildPageFormat(id, request, bufferSize, out, outSize);
    case Builder::PrintableArea:
        return BuildPrintableArea(request, bufferSize, out, outSize);
    case Builder::MediaPrintableArea:
        return BuildMediaPrintableArea(request, bufferSize, out, outSize);
    case Builder::SetTime:
        return BuildSetTimeBlock(request, bufferSize, out, outSize);
    case Builder::DollarCommand:
        return BuildDollarCommand(request, bufferSize, out, outSize);
    case Builder::SilentMode:
        return BuildSilentModeBlock(request, bufferSize, out, outSize);
    case Builder::CodePair:
        return BuildCodePair(request, bufferSize, out, outSize);
    case Builder::MediaOverrides:
        return BuildMediaOverrides(request, bufferSize, out, outSize);
    case Builder::MCommand:
        return BuildMCommand(request, bufferSize, out, outSize);
    default:
        return DB_NO_ANSWER;
    }
}
