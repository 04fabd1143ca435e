// A readable view of the byte stream the printer received: its commands
// (ESC ( letter with a 16-bit little-endian length), mode blocks framed by
// "ZRLSTART" and "ZRLEND", and the raster data between them.
#ifndef PRNSIM_DECODE_H
#define PRNSIM_DECODE_H

#include <cstddef>
#include <string>
#include <vector>

namespace prnsim
{

struct StreamSummary {
    std::vector<std::string> lines; // one per command, mode-block lines indented
    size_t commands = 0;
    size_t dataBytes = 0;  // bytes outside commands (raster data)
    std::string paper;     // what the paper size command selects, "" if none
    std::string page;      // paper and printable area of the page format command
    std::string printMode; // what the print mode command selects, "" if none
};

StreamSummary DecodeStream(const unsigned char* data, size_t n);

// Paper named by the printer's paper size code ("A4"), or "" when unknown.
std::string PaperOfCode(unsigned code);

} // namespace prnsim

#endif
