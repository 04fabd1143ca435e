// The packed format of the model tables and the names the model source and
// the engine share. modelc (tools/modelc) writes the tables with these
// definitions and the engine walks them with the same ones, so neither can
// drift from the other. Plain integers only: modelc runs on the build
// machine without the Windows headers.
#ifndef PRNMODEL_MODELFORMAT_H
#define PRNMODEL_MODELFORMAT_H

#include <stdint.h>

// Entry types (bits 31..24 of an entry's first word).
enum class EntryType : uint8_t {
    Bytes = 1,
    Int32Array = 2,
    SignedBytes = 3,
    SignedShorts = 4,
    UnsignedBytes = 5,
    UnsignedShorts = 6,
    Text = 7,
    Sequence = 8,
    FilteredSequence = 9,
    WhenSetting = 10,
    SelectBySetting = 11,
    SelectByString = 12,
    SelectByPrinterData = 13,
    SelectByLocale = 14,
    CaseEquals = 15,
    CaseString = 16,
    CaseDefault = 17,
    Built = 18,
    SelectByMaskedSetting = 19,
    MaskHeader = 20,
    CaseRange = 21,
};

// One entry is two words.
//   TypeOffset: bits 31..24 entry type, bits 23..0 pool offset or entry index.
//   TagCount:   bits 31..16 tag, bits 15..0 count (some types use the whole word).
const uint32_t EntryOffsetLimit = 0x00FFFFFFu; // largest offset or index
const uint32_t EntryCountLimit = 0xFFFFu;      // largest count or tag

inline uint32_t PackTypeOffset(EntryType type, uint32_t offset)
{
    return (uint32_t)type << 24 | (offset & EntryOffsetLimit);
}
inline uint32_t PackTagCount(uint32_t tag, uint32_t count)
{
    return tag << 16 | (count & EntryCountLimit);
}
inline uint8_t EntryTypeOf(uint32_t typeOffset)
{
    return (uint8_t)(typeOffset >> 24);
}
inline uint32_t EntryOffsetOf(uint32_t typeOffset)
{
    return typeOffset & EntryOffsetLimit;
}
inline uint16_t EntryTagOf(uint32_t tagCount)
{
    return (uint16_t)(tagCount >> 16);
}
inline uint16_t EntryCountOf(uint32_t tagCount)
{
    return (uint16_t)(tagCount & EntryCountLimit);
}

// Value-name entry of printer-data selectors (Root entry 8) and the only
// tag a locale selector may carry.
const uint16_t PrinterDataNameId = 8;
const uint16_t LocaleSelectorTag = 0x500F;

// The engine fails a walk deeper than this many entries, so modelc rejects
// a tree that could never answer.
const uint32_t MaxWalkDepth = 256;

// Names the model source may use instead of numbers, each with the number
// the tables carry. X(NAME, NUMBER) lists feed both the C++ enumerators
// (Builder::PageFormat, InternalId::Piece) and modelc's name lookup, so a
// name means the same number on both sides.

// Builders behind leaves of type Built (`built @ID NAME`), see builders.h.
#define PRN_BUILDER_NAMES(X)                                                                       \
    X(PageFormat, 1)                                                                               \
    X(PrintableArea, 2)                                                                            \
    X(MediaPrintableArea, 3)                                                                       \
    X(PaperLength, 4)                                                                              \
    X(SetTime, 5)                                                                                  \
    X(DollarCommand, 6)                                                                            \
    X(SilentMode, 7)                                                                               \
    X(CodePair, 12)                                                                                \
    X(MediaOverrides, 13)                                                                          \
    X(MCommand, 14)

// Driver-database ids the engine reads for itself (`@NAME`, `key NAME`);
// the exports never reach them (they lie outside the Drv range).
#define PRN_INTERNAL_ID_NAMES(X)                                                                   \
    X(DefaultSetting7, 20482)                                                                      \
    X(DefaultSetting4, 20483)                                                                      \
    X(DefaultSetting5, 20484)                                                                      \
    X(DefaultQuality, 20485)                                                                       \
    X(QualityName, 20486)                                                                          \
    X(QualityDetail, 20487)                                                                        \
    X(Piece, 20488)                                                                                \
    X(Setting4Detail2, 20491)                                                                      \
    X(Setting4Detail1, 20492)                                                                      \
    X(Default4116, 20493)                                                                          \
    X(PaperDetail, 20494)                                                                          \
    X(Default4173, 20496)                                                                          \
    X(Default4180, 20497)                                                                          \
    X(Rules2, 20498)                                                                               \
    X(Rules3, 20499)                                                                               \
    X(Rules4192, 20500)                                                                            \
    X(Rules1, 20501)                                                                               \
    X(Default4196, 20502)                                                                          \
    X(Default4202, 20503)                                                                          \
    X(Default4200, 20504)                                                                          \
    X(Default4201, 20505)                                                                          \
    X(Rules0, 20506)

// Settings of the request that have a meaning of their own (`sel NAME`,
// `filt NAME`, `mask NAME & M`, beside `sN`).
#define PRN_SETTING_NAMES(X)                                                                       \
    X(Colour, 4)                                                                                   \
    X(Media, 5)                                                                                    \
    X(MediaCompanion, 6)                                                                           \
    X(PaperSource, 7)                                                                              \
    X(Quality, 8)                                                                                  \
    X(PaperSize, 28)                                                                               \
    X(MediaAllowedCheck, 70)                                                                       \
    X(DollarFlags, 79)                                                                             \
    X(DollarParameter, 80)                                                                         \
    X(Borderless, 81)                                                                              \
    X(MediaFromReport, 106)                                                                        \
    X(RequestedMedia, 108)                                                                         \
    X(ReportMediaClass, 109)                                                                       \
    X(KeepMedia, 110)                                                                              \
    X(DollarSelector, 112)                                                                         \
    X(ProposedMediaClass, 118)

// How the driver database answers a routed Drv id (`route ID = KIND ...`,
// `composed ID = ...`); an id without a route answers its key's tree.
#define PRN_DRIVER_ID_KINDS(X)                                                                     \
    X(EntryList, 1)                                                                                \
    X(ValueList, 2)                                                                                \
    X(QualityList, 3)                                                                              \
    X(Composed, 4)                                                                                 \
    X(PrintModeRecord, 5)                                                                          \
    X(Adjustment, 6)

// What a list fills in beside the names and default marks (`details NAME`).
#define PRN_LIST_DETAILS(X)                                                                        \
    X(NoDetails, 0)                                                                                \
    X(ColourDetails, 1)                                                                            \
    X(PaperDetails, 2)                                                                             \
    X(PaperDetailsMarked, 3)                                                                       \
    X(QualityNames, 4)

// The paper size of a media class row that holds on every paper size.
const int32_t AnyPaperSize = -1;

// A route's setting or default pair that is not given.
const uint16_t NoRouteSetting = 0xFFFF;
const uint16_t NoRouteDefault = 0;

#define PRN_NAMED_ENUMERATOR(name, number) name = (number),

namespace Builder
{
enum : uint16_t { PRN_BUILDER_NAMES(PRN_NAMED_ENUMERATOR) };
}

namespace SettingId
{
enum : uint16_t { PRN_SETTING_NAMES(PRN_NAMED_ENUMERATOR) };
}

namespace InternalId
{
enum : uint16_t { PRN_INTERNAL_ID_NAMES(PRN_NAMED_ENUMERATOR) };
}

namespace DriverIdKind
{
enum : uint8_t { PRN_DRIVER_ID_KINDS(PRN_NAMED_ENUMERATOR) };
}

namespace ListDetails
{
enum : uint8_t { PRN_LIST_DETAILS(PRN_NAMED_ENUMERATOR) };
}

#undef PRN_NAMED_ENUMERATOR

#endif // PRNMODEL_MODELFORMAT_H
