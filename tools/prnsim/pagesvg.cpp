#include "pagesvg.h"

#include "text.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace prnsim
{

namespace
{

double Mm(long dots)
{
    return dots * 25.4 / 600.0;
}

std::string Escaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else
            out += c;
    }
    return out;
}

std::string Rect(const char* id, long x, long y, long w, long h, const char* style)
{
    return Format("  <rect id=\"%s\" x=\"%ld\" y=\"%ld\" width=\"%ld\" height=\"%ld\" %s/>\n", id,
                  x, y, w, h, style);
}

} // namespace

std::string PageSvg(const StreamSummary& stream)
{
    const PageGeometry& g = stream.geometry;
    if (!g.known || g.width <= 0 || g.length <= 0)
        return "";
    // Room around the paper for a printable area that runs over its edges
    // (borderless) and for the captions below it.
    long pad = std::max(g.width, g.length) / 20;
    long right = g.width - g.left - g.printableWidth;
    long bottom = g.length - g.top - g.printableLength;
    long font = std::max(g.width, g.length) / 50;
    long minX = std::min(0L, g.left) - pad, minY = std::min(0L, g.top) - pad;
    long maxX = std::max(g.width, g.left + g.printableWidth) + pad;
    long captionTop = std::max(g.length, g.top + g.printableLength) + pad;
    long maxY = captionTop + 6 * font + pad;
    long viewW = maxX - minX, viewH = maxY - minY;

    std::string svg;
    // No width or height: a browser fits the whole page to its window; the
    // captions give the sizes in millimetres.
    svg += Format("<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"%ld %ld %ld %ld\">\n", minX,
                  minY, viewW, viewH);
    std::string paper = stream.paper.empty() ? "paper size not named" : stream.paper;
    svg += "  <title>" + Escaped(paper + ": " + stream.page) + "</title>\n";
    svg +=
        "  <defs><pattern id=\"rows\" width=\"40\" height=\"40\" patternUnits=\"userSpaceOnUse\">"
        "<rect width=\"40\" height=\"20\" fill=\"#9cc3e6\"/></pattern></defs>\n";
    svg += Format("  <rect x=\"%ld\" y=\"%ld\" width=\"%ld\" height=\"%ld\" fill=\"#e8e8e8\"/>\n",
                  minX, minY, viewW, viewH);
    svg += Rect("paper", 0, 0, g.width, g.length,
                "fill=\"white\" stroke=\"black\" stroke-width=\"6\"");
    // The printer lays the raster lines out from the printable area's
    // top-left corner, so that is where the data falls.
    if (stream.rasterBytes > 0)
        svg += Rect("raster", g.left, g.top, g.printableWidth, g.printableLength,
                    "fill=\"url(#rows)\" fill-opacity=\"0.6\"");
    svg += Rect("printable", g.left, g.top, g.printableWidth, g.printableLength,
                "fill=\"none\" stroke=\"#c00000\" stroke-width=\"8\" stroke-dasharray=\"40 20\"");

    std::vector<std::string> captions = {
        Format("%s: %.1f x %.1f mm (%ld x %ld dots)", paper.c_str(), Mm(g.width), Mm(g.length),
               g.width, g.length),
        Format("printable %.1f x %.1f mm (%ld x %ld dots) at %ld, %ld", Mm(g.printableWidth),
               Mm(g.printableLength), g.printableWidth, g.printableLength, g.left, g.top),
        Format("margins: left %.1f, top %.1f, right %.1f, bottom %.1f mm%s", Mm(g.left), Mm(g.top),
               Mm(right), Mm(bottom),
               (g.left < 0 || g.top < 0 || right < 0 || bottom < 0) ? " (borderless)" : ""),
        "print mode: " + (stream.printMode.empty() ? std::string("(none)") : stream.printMode),
        Format("raster data: %zu bytes", stream.rasterBytes),
    };
    long y = captionTop;
    for (const std::string& line : captions) {
        y += font + font / 5;
        svg += Format("  <text x=\"%ld\" y=\"%ld\" font-family=\"sans-serif\" font-size=\"%ld\">",
                      minX + pad / 2, y, font) +
               Escaped(line) + "</text>\n";
    }
    svg += Format("  <desc id=\"margins\" data-left=\"%ld\" data-top=\"%ld\" data-right=\"%ld\" "
                  "data-bottom=\"%ld\">margins in dots</desc>\n",
                  g.left, g.top, right, bottom);
    svg += "</svg>\n";
    return svg;
}

std::string WritePageSvg(const StreamSummary& stream, const std::string& path)
{
    std::string svg = PageSvg(stream);
    if (svg.empty())
        return "no page format command in the data: no page to draw";
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return "cannot write '" + path + "'";
    bool ok = fwrite(svg.data(), 1, svg.size(), f) == svg.size();
    ok = fclose(f) == 0 && ok;
    return ok ? "" : "cannot write '" + path + "'";
}

} // namespace prnsim
