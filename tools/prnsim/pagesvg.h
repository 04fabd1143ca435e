// The page the printer was told about, as an SVG picture: the paper, the
// printable area, its margins and a borderless page's overspray band from the
// page format command, the paper, media, quality, paper source and print mode
// in words with the settings that produced them, a legend, and where the
// raster data falls. Coordinates in the SVG are the command's own dots (1/600
// inch), so its numbers can be checked against the command byte for byte; its
// width and height are in millimetres, so that printed at 100 % the paper
// comes out at its own size, on the larger sheet the picture names.
#ifndef PRNSIM_PAGESVG_H
#define PRNSIM_PAGESVG_H

#include "decode.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace prnsim
{

// What made the stream: the job's settings (number, value) where the tool
// knows them, and what asked for it ("xdbq drv 4121", "the demo's job").
struct PageContext {
    bool settingsKnown = false;
    std::vector<std::pair<uint32_t, int32_t>> settings;
    std::string source;
};

// The picture of a decoded stream; "" when the stream has no page format.
std::string PageSvg(const StreamSummary& stream, const PageContext& context = PageContext());

// Writes PageSvg to path. Returns "" or a one-line reason it could not;
// *sheet (when given) says the picture's size at 100 % and the smallest ISO
// A sheet it fits on ("at 100 %: 238 x 392 mm, an A3 sheet").
std::string WritePageSvg(const StreamSummary& stream, const std::string& path,
                         const PageContext& context = PageContext(), std::string* sheet = nullptr);

} // namespace prnsim

#endif
