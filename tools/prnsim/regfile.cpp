#include "regfile.h"

#include "text.h"

#include "kmsim.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace prnsim
{

namespace
{

const ULONG kRegSz = 1, kRegDword = 4;

std::vector<unsigned> Units(const std::vector<unsigned char>& bytes)
{
    std::vector<unsigned> units;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        units.push_back(bytes[i] | bytes[i + 1] << 8);
    return units;
}

std::vector<unsigned char> FromHex(const std::string& hex)
{
    std::vector<unsigned char> bytes;
    if (hex != "-")
        ParseHexBytes(hex, &bytes);
    return bytes;
}

std::string ToHex(const std::vector<unsigned char>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s.empty() ? "-" : s;
}

std::string Written(const std::vector<unsigned>& units, bool inQuotes)
{
    std::string s;
    for (unsigned u : units) {
        if (u >= 0x20 && u < 0x7F && u != '%' && !(inQuotes && u == '"'))
            s += (char)u;
        else
            s += Format("%%%04X", u);
    }
    return s;
}

// The %XXXX escapes back to UTF-16 bytes; false on a broken escape.
bool Read(const std::string& text, std::vector<unsigned char>* bytes)
{
    bytes->clear();
    for (size_t i = 0; i < text.size(); i++) {
        unsigned unit = (unsigned char)text[i];
        if (text[i] == '%') {
            uint64_t v;
            if (i + 4 >= text.size() || !ParseNumber("0x" + text.substr(i + 1, 4), 0xFFFF, &v))
                return false;
            unit = (unsigned)v;
            i += 4;
        }
        bytes->push_back((unsigned char)unit);
        bytes->push_back((unsigned char)(unit >> 8));
    }
    return true;
}

std::string ValueText(ULONG type, const std::vector<unsigned char>& data)
{
    if (type == kRegDword && data.size() == 4)
        return "dword:" +
               std::to_string(data[0] | data[1] << 8 | data[2] << 16 | (uint32_t)data[3] << 24);
    std::vector<unsigned> units = Units(data);
    bool oneTerminator =
        type == kRegSz && data.size() % 2 == 0 && !units.empty() && units.back() == 0;
    for (size_t i = 0; oneTerminator && i + 1 < units.size(); i++)
        oneTerminator = units[i] != 0;
    if (oneTerminator) {
        units.pop_back();
        return "sz:\"" + Written(units, true) + "\"";
    }
    // Another length: the code units as they stand, terminators as %0000.
    if (type == kRegSz && data.size() % 2 == 0)
        return "sz-exact:\"" + Written(units, true) + "\"";
    std::string hex = HexBytes(data.data(), data.size());
    return "hex(" + std::to_string(type) + "):" + hex;
}

// A line of the text form as a line of the hex form kmsim::RegLoad reads.
std::string ParseLine(const std::string& line, std::string* key, std::string* out)
{
    if (line[0] == '[') {
        size_t end = line.rfind(']');
        std::vector<unsigned char> path;
        if (end == std::string::npos || !Read(line.substr(1, end - 1), &path))
            return "bad key line";
        *key = ToHex(path);
        *out = "K " + *key;
        return "";
    }
    if (key->empty())
        return "a value before any [key]";
    std::string name;
    size_t at;
    if (line[0] == '@') {
        at = 1;
    } else if (line[0] == '"' && (at = line.find('"', 1)) != std::string::npos) {
        name = line.substr(1, at - 1);
        at++;
    } else {
        return "expected [KEY], \"NAME\" = VALUE or @ = VALUE";
    }
    size_t eq = line.find('=', at);
    if (eq == std::string::npos)
        return "no '=' after the value's name";
    size_t valueStart = line.find_first_not_of(' ', eq + 1);
    if (valueStart == std::string::npos)
        return "no value after '='";
    std::string value = line.substr(valueStart);
    std::vector<unsigned char> nameBytes, data;
    if (!Read(name, &nameBytes))
        return "bad escape in the name";
    ULONG type;
    uint64_t n;
    if (value.rfind("dword:", 0) == 0) {
        if (!ParseNumber(value.substr(6), 0xFFFFFFFFu, &n))
            return "bad dword '" + value.substr(6) + "'";
        type = kRegDword;
        data = {(unsigned char)n, (unsigned char)(n >> 8), (unsigned char)(n >> 16),
                (unsigned char)(n >> 24)};
    } else if (value.rfind("sz:\"", 0) == 0 && value.size() >= 5 && value.back() == '"') {
        if (!Read(value.substr(4, value.size() - 5), &data))
            return "bad escape in the text";
        type = kRegSz;
        data.insert(data.end(), {0, 0});
    } else if (value.rfind("sz-exact:\"", 0) == 0 && value.size() >= 11 && value.back() == '"') {
        if (!Read(value.substr(10, value.size() - 11), &data))
            return "bad escape in the text";
        type = kRegSz;
    } else if (value.rfind("hex(", 0) == 0 && value.find("):") != std::string::npos) {
        size_t close = value.find("):");
        if (!ParseNumber(value.substr(4, close - 4), 0xFFFFFFFFu, &n) ||
            !ParseHexBytes(value.substr(close + 2), &data))
            return "bad hex value '" + value + "'";
        type = (ULONG)n;
    } else {
        return "bad value '" + value + "' (dword:N, sz:\"TEXT\", sz-exact:\"TEXT\" or " +
               "hex(TYPE):BYTES)";
    }
    *out = "V " + *key + " " + ToHex(nameBytes) + " " + std::to_string(type) + " " + ToHex(data);
    return "";
}

std::string TemporaryFile()
{
    char path[] = "/tmp/prnsim-regfile-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return "";
    close(fd);
    return path;
}

} // namespace

bool SaveRegistryFile(const std::string& path)
{
    std::string hexForm = TemporaryFile();
    if (hexForm.empty() || !kmsim::RegSave(hexForm))
        return false;
    std::ifstream in(hexForm);
    std::ofstream out(path);
    out << "# prnsim registry (prnsim run --registry): [KEY], then its values as\n"
           "# \"NAME\" = dword:N | sz:\"TEXT\" (the text and one terminator) |\n"
           "# sz-exact:\"TEXT\" (a REG_SZ of other length: its code units, no terminator\n"
           "# added) | hex(TYPE):BYTES; @ is the default value; %XXXX a UTF-16 code unit\n"
           "# outside printable ASCII (%0000 a terminator), or '%' or '\"'.\n";
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream s(line);
        std::string kind, key, name, data;
        ULONG type = 0;
        s >> kind >> key;
        if (kind == "K") {
            out << "\n[" << Written(Units(FromHex(key)), false) << "]\n";
        } else if (kind == "V") {
            s >> name >> type >> data;
            std::vector<unsigned> units = Units(FromHex(name));
            out << (units.empty() ? std::string("@") : "\"" + Written(units, true) + "\"") << " = "
                << ValueText(type, FromHex(data)) << "\n";
        }
    }
    unlink(hexForm.c_str());
    return (bool)out;
}

std::string LoadRegistryFile(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        return "cannot read it";
    std::vector<std::string> lines;
    std::string line;
    bool hexForm = false, first = true;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#')
            continue;
        line = line.substr(start);
        if (first)
            hexForm = line.rfind("K ", 0) == 0 || line.rfind("V ", 0) == 0;
        first = false;
        lines.push_back(line);
    }
    if (hexForm)
        return kmsim::RegLoad(path) ? "" : "cannot read it";
    std::string converted = TemporaryFile();
    if (converted.empty())
        return "cannot make a temporary file";
    std::ofstream out(converted);
    std::string key, error;
    for (size_t i = 0; i < lines.size() && error.empty(); i++) {
        std::string hexLine;
        error = ParseLine(lines[i], &key, &hexLine);
        if (!error.empty())
            error = "'" + lines[i] + "': " + error;
        out << hexLine << "\n";
    }
    out.close();
    if (error.empty() && !kmsim::RegLoad(converted))
        error = "cannot read it";
    unlink(converted.c_str());
    return error;
}

} // namespace prnsim
