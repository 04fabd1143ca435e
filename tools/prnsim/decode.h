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

// The page as the page format command (ESC ( p) describes it, in dots of
// 1/600 inch from the paper's top-left corner. A borderless page has a
// negative origin and a printable area larger than the paper.
struct PageGeometry {
    bool known = false;
    long width = 0, length = 0;                   // the paper
    long left = 0, top = 0;                       // where the printable area starts
    long printableWidth = 0, printableLength = 0; // its size
};

// One piece of the stream, in order: a command or a run of other bytes.
struct StreamItem {
    enum Kind { kCommand, kModeBlock, kReset, kFormFeed, kRaster, kStray } kind;
    size_t offset;
    size_t length;           // a command's data bytes; a run's bytes
    char letter = 0;         // ESC ( letter
    unsigned char first = 0; // a command's first data byte
};

struct StreamSummary {
    std::vector<std::string> lines; // one per command, mode-block lines indented
    size_t commands = 0;
    size_t dataBytes = 0;   // bytes outside commands (raster data)
    size_t rasterBytes = 0; // of those, the runs longer than a control byte or two
    size_t strayBytes = 0;  // the shorter runs, no form feed: not a command, not raster
    std::string paper;      // what the paper size command selects, "" if none
    std::string page;       // paper and printable area of the page format command
    std::string printMode;  // what the print mode command selects, "" if none
    PageGeometry geometry;  // from the last page format command
    std::vector<StreamItem> items;
};

StreamSummary DecodeStream(const unsigned char* data, size_t n);

// Paper named by the printer's paper size code ("A4"), or "" when unknown.
std::string PaperOfCode(unsigned code);

} // namespace prnsim

#endif
