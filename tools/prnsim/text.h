// Small text helpers shared by the prnsim commands: numbers as people type
// them, hex dumps, and the split of a script line into words.
#ifndef PRNSIM_TEXT_H
#define PRNSIM_TEXT_H

#include <cstdint>
#include <string>
#include <vector>

namespace prnsim
{

// Decimal or 0x-hex, the whole text, within [0, max].
bool ParseNumber(const std::string& text, uint64_t max, uint64_t* value);
// "1B 28 62" or "1b2862": pairs of hex digits, blanks ignored.
bool ParseHexBytes(const std::string& text, std::vector<unsigned char>* bytes);
// C-style escapes \n \r \t \\ \" \xNN in a quoted script word.
std::string Unescape(const std::string& text);
// printf into a std::string (at most 1023 characters).
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string HexBytes(const unsigned char* data, size_t n, size_t max = SIZE_MAX);
std::string Hex32(uint32_t value);
// Printable ASCII as is, anything else as \xNN.
std::string Printable(const unsigned char* data, size_t n);
// Words separated by blanks; "double quoted" words may hold blanks; a '#'
// outside quotes starts a comment. Returns false on an unterminated quote.
bool SplitWords(const std::string& line, std::vector<std::string>* words);
// "key=value" → key, value; false when there is no '='.
bool SplitOption(const std::string& word, std::string* key, std::string* value);
// "--mixed" or "--mixed=SEED" (SEED non-zero): the seed of the port driver's
// mixed completion; false for any other word or a bad seed.
bool ParseMixedOption(const std::string& word, unsigned* seed);

} // namespace prnsim

#endif
