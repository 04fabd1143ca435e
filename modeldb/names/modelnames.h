// The names of the model's settings and of their values, for the tools that
// read and write settings by name (xdbq, prnsim). The setting names are those
// of modelformat.h; the values and their names come from the model source
// (`values` lists and `setting` statements, tables/FORMAT.md), compiled by
// modelc into model_names.cpp. prnmodel itself does not carry them.
#ifndef PRNMODEL_MODELNAMES_H
#define PRNMODEL_MODELNAMES_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace modelnames
{

struct Value {
    int32_t value;
    const char* name; // "" where the model gives the value no name
};

struct Setting {
    const char* name;
    uint16_t number;
    const Value* values;
    size_t valueCount;
};

// Every named setting, in modelformat.h's order.
extern const Setting kSettings[];
extern const size_t kSettingCount;

// A Drv id of the model: how it is answered (the DriverIdKind of
// modelformat.h, 0 for its key's tree), what it answers in words (the model
// source's `about`, "" where it says nothing) and the settings its answer
// reads (the selections on the way to it; builders read settings of their
// own).
struct DrvId {
    uint16_t id;
    uint8_t kind;
    const char* about;
    const uint16_t* reads;
    size_t readCount;
};
extern const DrvId kDrvIds[]; // ascending by id
extern const size_t kDrvIdCount;
const DrvId* DrvIdOf(uint32_t id); // nullptr for an id the model does not answer

// What a setting may take (the model source's `offers`): the values of the
// items of Drv list `list` asked with the job's request, or, for list 0,
// the fixed values; a conditional offer holds only where setting
// whenSetting has the value whenValue.
struct Offer {
    uint16_t setting;
    uint16_t list;
    const int32_t* values;
    size_t valueCount;
    bool conditional;
    uint16_t whenSetting;
    int32_t whenValue;
};
extern const Offer kOffers[];
extern const size_t kOfferCount;
// "Quality", or "setting 9" for a setting without a name.
std::string SettingName(uint32_t number);

// By name, in any case ("PaperSize", "papersize"); nullptr when unknown.
const Setting* FindSetting(const std::string& name);
// By number; nullptr for a setting without a name.
const Setting* SettingOf(uint32_t number);
// The value a name stands for, in any case.
bool ValueOf(const Setting& setting, const std::string& name, int32_t* value);
// The name of a setting's value; "" when the model names none.
std::string NameOf(uint32_t setting, int32_t value);

// A setting as people write it: "PaperSize=A4", "28=9", "PaperSize=9" or
// "28=A4" (setting by number or name, value as a signed decimal, 0x-hex
// taken as its bit pattern, or the name of one of the setting's values).
// Returns "" with the number and value, or what is wrong with the text.
std::string ParseAssignment(const std::string& text, uint32_t* number, int32_t* value);
// "PaperSize A4 (28 = 9)", "Quality (8 = 3)", "setting 9 = 0": a setting
// and its value in words where the model names them.
std::string Describe(uint32_t number, int32_t value);

} // namespace modelnames

#endif
