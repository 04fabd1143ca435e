#include "text.h"

#include <cctype>
#include <cstdarg>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace prnsim
{

bool ParseNumber(const std::string& text, uint64_t max, uint64_t* value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || isspace((unsigned char)text[0]))
        return false;
    int base = 10;
    std::string digits = text;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        digits = text.substr(2);
    }
    for (char c : digits)
        if (!(base == 16 ? isxdigit((unsigned char)c) : isdigit((unsigned char)c)))
            return false;
    errno = 0;
    unsigned long long v = strtoull(digits.c_str(), nullptr, base);
    if (errno == ERANGE || v > max)
        return false;
    *value = v;
    return true;
}

static int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ParseHexBytes(const std::string& text, std::vector<unsigned char>* bytes)
{
    bytes->clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ',' || c == ':')
            continue;
        int d = HexDigit(c);
        if (d < 0)
            return false;
        if (high < 0) {
            high = d;
        } else {
            bytes->push_back((unsigned char)(high << 4 | d));
            high = -1;
        }
    }
    return high < 0;
}

std::string Unescape(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c != '\\' || i + 1 == text.size()) {
            out += c;
            continue;
        }
        char e = text[++i];
        switch (e) {
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'x':
            if (i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
                out += (char)(HexDigit(text[i + 1]) << 4 | HexDigit(text[i + 2]));
                i += 2;
            } else {
                out += "\\x";
            }
            break;
        default:
            out += e;
        }
    }
    return out;
}

std::string HexBytes(const unsigned char* data, size_t n, size_t max)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n && i < max; i++) {
        snprintf(b, sizeof b, "%02X", data[i]);
        if (i)
            s += ' ';
        s += b;
    }
    if (n > max)
        s += " ...";
    return s;
}

std::string Hex32(uint32_t value)
{
    char b[16];
    snprintf(b, sizeof b, "0x%08X", value);
    return b;
}

std::string Printable(const unsigned char* data, size_t n)
{
    std::string s;
    char b[8];
    for (size_t i = 0; i < n; i++) {
        if (data[i] >= 0x20 && data[i] < 0x7F && data[i] != '\\') {
            s += (char)data[i];
        } else {
            snprintf(b, sizeof b, "\\x%02X", data[i]);
            s += b;
        }
    }
    return s;
}

bool SplitWords(const std::string& line, std::vector<std::string>* words)
{
    words->clear();
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isspace((unsigned char)line[i]))
            i++;
        if (i == line.size() || line[i] == '#')
            break;
        std::string word;
        bool quoted = false;
        while (i < line.size()) {
            char c = line[i];
            if (c == '"') {
                quoted = !quoted;
                i++;
                continue;
            }
            if (!quoted && isspace((unsigned char)c))
                break;
            if (c == '\\' && quoted && i + 1 < line.size()) {
                word += c;
                word += line[i + 1];
                i += 2;
                continue;
            }
            word += c;
            i++;
        }
        if (quoted)
            return false;
        words->push_back(word);
    }
    return true;
}

bool SplitOption(const std::string& word, std::string* key, std::string* value)
{
    size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0)
        return false;
    *key = word.substr(0, eq);
    *value = word.substr(eq + 1);
    return true;
}

bool ParseMixedOption(const std::string& word, unsigned* seed)
{
    const std::string option = "--mixed";
    if (word == option) {
        *seed = 0x5EED;
        return true;
    }
    uint64_t value = 0;
    if (word.compare(0, option.size() + 1, option + "=") != 0 ||
        !ParseNumber(word.substr(option.size() + 1), 0xFFFFFFFFu, &value) || value == 0)
        return false;
    *seed = (unsigned)value;
    return true;
}

std::string Format(const char* format, ...)
{
    char buffer[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

} // namespace prnsim
