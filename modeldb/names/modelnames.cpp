#include "modelnames.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace modelnames
{

namespace
{

bool SameName(const char* a, const std::string& b)
{
    size_t i = 0;
    for (; a[i] != '\0' && i < b.size(); i++)
        if (std::tolower((unsigned char)a[i]) != std::tolower((unsigned char)b[i]))
            return false;
    return a[i] == '\0' && i == b.size();
}

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value)
{
    if (text.empty() || !std::isdigit((unsigned char)text[0]))
        return false;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::string digits = hex ? text.substr(2) : text;
    for (char c : digits)
        if (!(hex ? std::isxdigit((unsigned char)c) : std::isdigit((unsigned char)c)))
            return false;
    errno = 0;
    unsigned long long v = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (errno == ERANGE || v > max)
        return false;
    *value = v;
    return true;
}

// A 32-bit value: signed decimal, or 0x-hex taken as its bit pattern.
bool ParseValue(const std::string& text, int32_t* value)
{
    uint64_t v;
    if (!text.empty() && text[0] == '-') {
        if (!ParseUnsigned(text.substr(1), 0x80000000u, &v))
            return false;
        *value = (int32_t)(-(int64_t)v);
        return true;
    }
    if (!ParseUnsigned(text, 0xFFFFFFFFu, &v))
        return false;
    *value = (int32_t)(uint32_t)v;
    return true;
}

} // namespace

const Setting* FindSetting(const std::string& name)
{
    for (size_t i = 0; i < kSettingCount; i++)
        if (SameName(kSettings[i].name, name))
            return &kSettings[i];
    return nullptr;
}

const Setting* SettingOf(uint32_t number)
{
    for (size_t i = 0; i < kSettingCount; i++)
        if (kSettings[i].number == number)
            return &kSettings[i];
    return nullptr;
}

bool ValueOf(const Setting& setting, const std::string& name, int32_t* value)
{
    for (size_t i = 0; i < setting.valueCount; i++)
        if (setting.values[i].name[0] != '\0' && SameName(setting.values[i].name, name)) {
            *value = setting.values[i].value;
            return true;
        }
    return false;
}

std::string NameOf(uint32_t setting, int32_t value)
{
    const Setting* s = SettingOf(setting);
    if (s != nullptr)
        for (size_t i = 0; i < s->valueCount; i++)
            if (s->values[i].value == value)
                return s->values[i].name;
    return "";
}

const DrvId* DrvIdOf(uint32_t id)
{
    for (size_t i = 0; i < kDrvIdCount; i++)
        if (kDrvIds[i].id == id)
            return &kDrvIds[i];
    return nullptr;
}

std::string SettingName(uint32_t number)
{
    const Setting* s = SettingOf(number);
    return s ? std::string(s->name) : "setting " + std::to_string(number);
}

std::string ParseAssignment(const std::string& text, uint32_t* number, int32_t* value)
{
    size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == text.size())
        return "bad setting '" + text + "' (NAME=VALUE or N=VALUE)";
    std::string key = text.substr(0, eq), word = text.substr(eq + 1);
    uint64_t n;
    const Setting* setting = nullptr;
    if (ParseUnsigned(key, 0xFFFF, &n)) {
        setting = SettingOf((uint32_t)n);
    } else if ((setting = FindSetting(key)) != nullptr) {
        n = setting->number;
    } else {
        return std::isdigit((unsigned char)key[0])
                   ? "bad setting number '" + key + "' in '" + text + "' (0 to 65535)"
                   : "unknown setting '" + key + "' in '" + text + "' (xdbq settings lists them)";
    }
    if (ParseValue(word, value) || (setting && ValueOf(*setting, word, value))) {
        *number = (uint32_t)n;
        return "";
    }
    if (setting == nullptr || std::isdigit((unsigned char)word[0]) || word[0] == '-')
        return "bad value '" + word + "' in '" + text +
               "' (a 32-bit number; only named settings have named values)";
    return "setting " + std::string(setting->name) + " has no value named '" + word +
           "' (xdbq settings lists them)";
}

std::string Describe(uint32_t number, int32_t value)
{
    const Setting* s = SettingOf(number);
    std::string numbers = std::to_string(number) + " = " + std::to_string(value);
    if (s == nullptr)
        return "setting " + numbers;
    std::string name = NameOf(number, value);
    return std::string(s->name) + (name.empty() ? "" : " " + name) + " (" + numbers + ")";
}

} // namespace modelnames
