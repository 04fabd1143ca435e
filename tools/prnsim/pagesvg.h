// The page the printer was told about, as an SVG picture: the paper, the
// printable area and its margins from the page format command, the paper and
// print-mode names, and where the raster data falls. Coordinates in the SVG
// are the command's own dots (1/600 inch), so its numbers can be checked
// against the command byte for byte.
#ifndef PRNSIM_PAGESVG_H
#define PRNSIM_PAGESVG_H

#include "decode.h"

#include <string>

namespace prnsim
{

// The picture of a decoded stream; "" when the stream has no page format.
std::string PageSvg(const StreamSummary& stream);

// Writes PageSvg to path. Returns "" or a one-line reason it could not.
std::string WritePageSvg(const StreamSummary& stream, const std::string& path);

} // namespace prnsim

#endif
