// modelc: compiles the readable model source (modeldb/tables/*.model) into the
// packed tables of the model database.
#ifndef MODELC_H
#define MODELC_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace modelc
{

struct SourceFile {
    std::string name; // for messages and the generated file's header
    std::string text;
};

struct IndexList {
    std::string name;
    std::vector<uint32_t> entries;
};

// Driver tables that modelc lays out from the route, composed and values
// statements (see drvtables.h for their C++ form).
struct ComposedRow {
    uint16_t id, firstPart, partCount;
};
struct ValueRow {
    uint16_t setting, firstValue, valueCount;
};
struct DriverRoute {
    uint16_t id;
    uint8_t kind, details;
    uint16_t nameSetting, defaultPair;
    uint16_t firstRule, ruleCount; // an adjustment's rule lists in adjustmentRules
};

struct PrintModeRecordRow {
    int16_t keys[6];
    uint16_t mode, mediaGroup; // rows of the two parameter tables
};

// The parameter rows of the print-mode record (PrintModeParameters,
// MediaGroupParameters).
struct ModeParameterRow {
    uint16_t block;
    uint8_t modeBytes[3];
    uint8_t pattern;
    uint16_t resolutions[4];
    std::string colourTable;
};
struct MediaGroupRow {
    uint16_t group, media, dryTimeTenths, inkLimitPercent;
};

// The media override's tables (MediaClassRow, MediaQualityRow).
struct MediaClassRecordRow {
    uint32_t mediaClass;
    int32_t paperSize; // AnyPaperSize: the class's row for every other paper
    uint32_t media;
};
struct MediaQualityRecordRow {
    uint32_t media;
    int32_t quality;
};

// A setting with a name (modelformat.h) and the values the model knows of
// it, each with its name from a `setting` statement ("" where none).
struct NamedSetting {
    std::string name;
    uint16_t number;
    std::vector<std::pair<int32_t, std::string>> values;
};

// A Drv id as the tools show it: how it is answered (a DriverIdKind, 0 for
// its key's tree), what it answers in words (an about statement), and the
// settings its answer reads.
struct DrvId {
    uint16_t id = 0;
    uint8_t kind = 0;
    std::string about;
    std::vector<uint16_t> reads;
};

// What a setting may take (an offers statement): the items of a Drv list
// asked with the job's request, or fixed values; conditional: only where
// setting whenSetting has the value whenValue.
struct SettingOffer {
    uint16_t setting;
    uint16_t list; // 0: the values below
    std::vector<int32_t> values;
    bool conditional;
    uint16_t whenSetting;
    int32_t whenValue;
};

struct CompiledModel {
    std::vector<std::pair<uint32_t, uint32_t>> entries; // TypeOffset, TagCount
    std::vector<std::pair<uint16_t, uint32_t>> keys;    // ascending by id
    std::vector<uint8_t> bytePool;
    std::vector<uint16_t> shortPool;
    std::vector<int32_t> longPool;
    std::vector<uint8_t> matchPool;
    std::vector<IndexList> indexLists;
    bool hasDriverTables = false; // any route, composed or values statement
    std::vector<ComposedRow> composedRows;
    std::vector<uint32_t> composedParts; // entry-table indices
    std::vector<ValueRow> valueRows;
    std::vector<uint16_t> values;
    std::vector<int32_t> valueNames;
    std::vector<DriverRoute> routes; // ascending by id
    std::vector<uint16_t> adjustmentRules;
    bool hasPrintModes = false; // a printmodes statement
    std::vector<PrintModeRecordRow> printModes;
    uint16_t printModeKeys[6] = {};
    std::vector<ModeParameterRow> modeParameters;
    std::vector<MediaGroupRow> mediaGroups;
    bool hasMediaTables = false; // a mediaclass or mediaquality statement
    std::vector<MediaClassRecordRow> mediaClasses;
    std::vector<MediaQualityRecordRow> mediaQualities;
    std::vector<NamedSetting> settings; // every named setting, in modelformat.h's order
    std::vector<DrvId> drvIds;          // ascending
    std::vector<SettingOffer> offers;   // in the order written
};

// Checks and packs the whole model. On failure returns false with
// "file:line: message" in error.
bool CompileModel(const std::vector<SourceFile>& sources, CompiledModel& out, std::string& error);

// The generated C++ translation unit that defines the table set `tableSetName`
// (the library's is ModelTableSet) and the index lists.
std::string EmitCpp(const CompiledModel& model, const std::vector<std::string>& sourceNames,
                    const std::string& tableSetName = "ModelTableSet");

// The generated C++ translation unit of the settings' names (modelnames.h),
// for the tools; the library does not carry them.
std::string EmitNamesCpp(const CompiledModel& model, const std::vector<std::string>& sourceNames);

} // namespace modelc

#endif
