#include "query.h"

#include "modelnames.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace xdbq
{

namespace
{

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value)
{
    if (text.empty() || !isdigit((unsigned char)text[0]))
        return false;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::string digits = hex ? text.substr(2) : text;
    for (char c : digits)
        if (!(hex ? isxdigit((unsigned char)c) : isdigit((unsigned char)c)))
            return false;
    errno = 0;
    unsigned long long v = strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (errno == ERANGE || v > max)
        return false;
    *value = v;
    return true;
}

bool SplitPair(const std::string& text, std::string* key, std::string* value)
{
    size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0)
        return false;
    *key = text.substr(0, eq);
    *value = text.substr(eq + 1);
    return true;
}

// "2026-12-07T23:15" or "2026-12-07T23:15:30"
bool ParseTime(const std::string& text, int* t)
{
    int used = 0;
    t[5] = 0;
    if (sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d%n", &t[0], &t[1], &t[2], &t[3], &t[4], &used) !=
        5)
        return false;
    std::string rest = text.substr((size_t)used);
    if (!rest.empty()) {
        int more = 0;
        if (sscanf(rest.c_str(), ":%2d%n", &t[5], &more) != 1 || (size_t)more != rest.size())
            return false;
    }
    return t[1] >= 1 && t[1] <= 12 && t[2] >= 1 && t[2] <= 31 && t[3] >= 0 && t[3] <= 23 &&
           t[4] >= 0 && t[4] <= 59 && t[5] >= 0 && t[5] <= 59 && t[0] >= 1601 && t[0] <= 30827;
}

bool FormatOf(const std::string& option, Format* format)
{
    static const struct {
        const char* option;
        Format format;
    } kFormats[] = {{"--hex", Format::kHex},
                    {"--int32", Format::kInt32},
                    {"--text", Format::kText},
                    {"--items", Format::kItems},
                    {"--decode", Format::kCommands}};
    for (const auto& f : kFormats)
        if (option == f.option) {
            *format = f.format;
            return true;
        }
    return false;
}

// One option at args[*index] (with its value, which moves *index on).
// Returns an error message, empty when good.
std::string ParseOption(const std::vector<std::string>& args, size_t* index, Query* q)
{
    const std::string& a = args[*index];
    size_t& i = *index;
    uint64_t v;
    std::string key, value;
    auto next = [&](std::string* out) -> bool {
        if (i + 1 >= args.size())
            return false;
        *out = args[++i];
        return true;
    };
    std::string arg;
    if (a == "--no-request") {
        q->noRequest = true;
    } else if (a == "-s" || a == "--setting") {
        int32_t s;
        uint32_t n;
        if (!next(&arg))
            return a + " needs NAME=VALUE or N=VALUE";
        std::string error = modelnames::ParseAssignment(arg, &n, &s);
        if (!error.empty())
            return error;
        q->settings[n] = s;
    } else if (a == "--settings") {
        if (!next(&arg) || !ParseUnsigned(arg, 0xFFFF, &v))
            return "bad setting count '" + arg + "'";
        q->settingCount = (long)v;
    } else if (a == "--null-settings") {
        q->nullSettings = true;
    } else if (a == "-t" || a == "--string") {
        if (!next(&arg))
            return a + " needs K=TEXT";
        if (!SplitPair(arg, &key, &value) || !ParseUnsigned(key, 0xFFFF, &v))
            return "bad string '" + arg + "' (K=TEXT)";
        q->strings[(uint32_t)v] = value;
    } else if (a == "--null-string") {
        if (!next(&arg) || !ParseUnsigned(arg, 0xFFFF, &v))
            return "bad string index '" + arg + "'";
        q->nullStrings.push_back((uint32_t)v);
    } else if (a == "--strings") {
        if (!next(&arg) || !ParseUnsigned(arg, 0xFFFF, &v))
            return "bad string count '" + arg + "'";
        q->stringCount = (long)v;
    } else if (a == "--null-strings") {
        q->nullStringArray = true;
    } else if (a == "--context") {
        if (!next(&arg) || !ParseUnsigned(arg, 0xFFFFFFFFu, &v))
            return "bad context '" + arg + "'";
        q->context = (uint32_t)v;
    } else if (a == "--printer") {
        if (!next(&arg) || arg.empty())
            return "--printer needs a NAME";
        q->printer = arg;
    } else if (a == "--handle") {
        q->passHandle = true;
    } else if (a == "--data" || a == "--data-string") {
        if (!next(&arg) || !SplitPair(arg, &key, &value))
            return a + " needs NAME=VALUE";
        StoredValue stored;
        stored.isString = a == "--data-string";
        if (stored.isString) {
            stored.text = value;
        } else if (!ParseUnsigned(value, 0xFFFFFFFFu, &v)) {
            return "bad number '" + value + "' for " + key;
        } else {
            stored.number = (uint32_t)v;
        }
        q->printerData[key] = stored;
    } else if (a == "--time") {
        q->setTime = true;
        if (!next(&arg) || !ParseTime(arg, q->time))
            return "bad time '" + arg + "' (YYYY-MM-DDTHH:MM[:SS])";
    } else if (a == "--country") {
        if (!next(&q->country) || q->country.size() > 15)
            return "--country needs a code of at most 15 characters";
    } else if (a == "--size") {
        if (!next(&arg) || !ParseUnsigned(arg, 16u << 20, &v))
            return "bad buffer size '" + arg + "'";
        q->bufferSize = (long)v;
    } else if (FormatOf(a, &q->format)) {
        // One way to show the answer: a second would silently win.
        if (!q->formatOption.empty() && q->formatOption != a)
            return q->formatOption + " and " + a + " show the answer two ways: give one";
        q->formatOption = a;
    } else if (a == "--svg") {
        if (!next(&q->svg) || q->svg.empty())
            return "--svg needs a FILE";
    } else if (a == "--out") {
        if (!next(&q->out) || q->out.empty())
            return "--out needs a FILE";
    } else if (a == "--lenient") {
        q->lenient = true;
    } else {
        return "unknown option '" + a + "'";
    }
    return "";
}

// Options that only make sense together.
std::string CheckQuery(const Query* q)
{
    if (!q->printerData.empty() && q->printer.empty())
        return "--data needs --printer";
    if (q->passHandle && q->printer.empty())
        return "--handle needs --printer";
    if (!q->out.empty() && q->out == q->svg)
        return "--out and --svg name the same file '" + q->out + "'";
    if (q->settingCount >= 0)
        for (auto& s : q->settings)
            if (s.first >= (uint64_t)q->settingCount)
                return "setting " + std::to_string(s.first) + " is beyond --settings " +
                       std::to_string(q->settingCount);
    if (q->stringCount >= 0)
        for (auto& s : q->strings)
            if (s.first >= (uint64_t)q->stringCount)
                return "string " + std::to_string(s.first) + " is beyond --strings " +
                       std::to_string(q->stringCount);
    return "";
}

} // namespace

std::string ParseQuery(const std::vector<std::string>& args, Query* q)
{
    if (args.size() < 2)
        return "need DB and ID (try xdbq --help)";
    static const char* dbs[] = {"root", "drv", "lm", "mnt", "pa", "sm"};
    bool known = false;
    for (const char* d : dbs)
        known = known || args[0] == d;
    if (!known)
        return "unknown database '" + args[0] + "' (root, drv, lm, mnt, pa or sm)";
    q->db = args[0];
    uint64_t v;
    if (!ParseUnsigned(args[1], 0xFFFFFFFFu, &v))
        return "bad id '" + args[1] + "' (decimal or 0x-hex, 32 bits)";
    q->id = (uint32_t)v;

    for (size_t i = 2; i < args.size(); i++) {
        std::string error = ParseOption(args, &i, q);
        if (!error.empty())
            return error;
    }
    return CheckQuery(q);
}

} // namespace xdbq
