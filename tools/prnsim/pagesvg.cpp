#include "pagesvg.h"

#include "modelnames.h"
#include "text.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace prnsim
{

namespace
{

const long kDotsPerInch = 600;
// Text and swatches keep one size on paper whatever the page's: 3.5 mm.
const long kFont = 83;

double Mm(long dots)
{
    return dots * 25.4 / kDotsPerInch;
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

std::string Rect(const char* id, long x, long y, long w, long h, const std::string& style)
{
    return Format("  <rect id=\"%s\" x=\"%ld\" y=\"%ld\" width=\"%ld\" height=\"%ld\" %s/>\n", id,
                  x, y, w, h, style.c_str());
}

std::string Text(long x, long y, const std::string& text, const char* extra = "")
{
    return Format("  <text x=\"%ld\" y=\"%ld\" font-family=\"sans-serif\" font-size=\"%ld\"%s>", x,
                  y, kFont, extra) +
           Escaped(text) + "</text>\n";
}

const char kPaperStyle[] = "fill=\"white\" stroke=\"black\" stroke-width=\"6\"";
const char kPrintableStyle[] =
    "fill=\"none\" stroke=\"#c00000\" stroke-width=\"8\" stroke-dasharray=\"40 20\"";
const char kMarginStyle[] = "fill=\"#d8d8d8\"";
const char kOversprayStyle[] = "fill=\"url(#overspray-hatch)\"";
const char kRasterStyle[] = "fill=\"url(#rows)\" fill-opacity=\"0.6\"";

// The setting's value in words, or that the job did not say.
std::string SettingLine(const char* what, uint32_t number, const PageContext& context)
{
    if (!context.settingsKnown)
        return std::string(what) + ": not known";
    for (const auto& s : context.settings)
        if (s.first == number)
            return std::string(what) + ": " + modelnames::Describe(s.first, s.second);
    return std::string(what) + ": not set (setting " + std::to_string(number) + " = 0)";
}

struct Edges {
    long left, top, right, bottom;
};

// Each margin labelled where it is: inside the strip between the paper's
// edge and the printable area, or, borderless, in the overspray band.
std::string MarginLabels(const PageGeometry& g, const Edges& m)
{
    auto label = [](long size) {
        return Format(size < 0 ? "over the edge by %.1f mm" : "margin %.1f mm",
                      Mm(std::labs(size)));
    };
    long midX = g.width / 2, midY = g.length / 2;
    std::string svg;
    // Top and bottom labels sit just inside the paper, the side ones turned.
    svg += Text(midX, std::max(0L, m.top) + kFont + 10, "top " + label(m.top),
                " text-anchor=\"middle\" id=\"label-top\"");
    svg += Text(midX, g.length - std::max(0L, m.bottom) - 20, "bottom " + label(m.bottom),
                " text-anchor=\"middle\" id=\"label-bottom\"");
    long leftX = std::max(0L, m.left) + kFont + 10;
    svg += Format("  <g transform=\"rotate(-90 %ld %ld)\">\n", leftX, midY) +
           Text(leftX, midY, "left " + label(m.left), " text-anchor=\"middle\" id=\"label-left\"") +
           "  </g>\n";
    long rightX = g.width - std::max(0L, m.right) - 20;
    svg += Format("  <g transform=\"rotate(-90 %ld %ld)\">\n", rightX, midY) +
           Text(rightX, midY, "right " + label(m.right),
                " text-anchor=\"middle\" id=\"label-right\"") +
           "  </g>\n";
    return svg;
}

// The smallest ISO A sheet a picture of this size fits on at 100 %, either
// way round: the paper drawn at its own size needs a larger one for the
// margins, legend and captions around it.
std::string SheetFor(double widthMm, double heightMm)
{
    static const struct {
        const char* name;
        double shortSide, longSide;
    } kSheets[] = {
        {"A4", 210, 297}, {"A3", 297, 420}, {"A2", 420, 594}, {"A1", 594, 841}, {"A0", 841, 1189}};
    double small = std::min(widthMm, heightMm), large = std::max(widthMm, heightMm);
    for (const auto& sheet : kSheets)
        if (small <= sheet.shortSide && large <= sheet.longSide)
            return std::string("an ") + sheet.name + " sheet";
    return "a sheet beyond A0";
}

} // namespace

std::string PageSvg(const StreamSummary& stream, const PageContext& context)
{
    const PageGeometry& g = stream.geometry;
    if (!g.known || g.width <= 0 || g.length <= 0)
        return "";
    Edges m = {g.left, g.top, g.width - g.left - g.printableWidth,
               g.length - g.top - g.printableLength};
    bool borderless = m.left < 0 || m.top < 0 || m.right < 0 || m.bottom < 0;
    bool raster = stream.rasterBytes > 0;

    std::string paper = stream.paper.empty() ? "paper size not named" : stream.paper;
    std::vector<std::string> captions = {
        Format("%s: %.1f x %.1f mm (%ld x %ld dots of 1/600 in)", paper.c_str(), Mm(g.width),
               Mm(g.length), g.width, g.length),
        Format("printable area %.1f x %.1f mm (%ld x %ld dots) from %ld, %ld dots",
               Mm(g.printableWidth), Mm(g.printableLength), g.printableWidth, g.printableLength,
               g.left, g.top),
        Format("margins: left %.1f, top %.1f, right %.1f, bottom %.1f mm%s", Mm(m.left), Mm(m.top),
               Mm(m.right), Mm(m.bottom),
               borderless ? " (borderless: the printable area runs over the paper's edges)" : ""),
        "print mode: " + (stream.printMode.empty() ? std::string("none (no ESC ( c)")
                                                   : stream.printMode + " (ESC ( c data)"),
        SettingLine("media", 5, context),
        SettingLine("quality", 8, context),
        SettingLine("paper source", 7, context),
        SettingLine("borderless", 81, context),
    };
    std::string settings = "settings that produced it: ";
    if (!context.settingsKnown) {
        settings += "not known (" +
                    (context.source.empty() ? std::string("the data alone") : context.source) + ")";
    } else {
        std::string list;
        for (const auto& s : context.settings)
            list += (list.empty() ? "" : ", ") + modelnames::Describe(s.first, s.second);
        settings += (list.empty() ? std::string("all 0") : list) +
                    (context.source.empty() ? "" : " (" + context.source + ")");
    }
    captions.push_back(settings);
    captions.push_back(
        raster ? Format("raster data: %zu bytes; the data gives no extent, so the area drawn is "
                        "assumed: the printable area",
                        stream.rasterBytes)
               : std::string("raster data: none"));

    // The legend: a swatch and a word for each kind of area drawn.
    struct Key {
        const char* text;
        const char* style;
    };
    std::vector<Key> keys = {{"paper", kPaperStyle}, {"printable area", kPrintableStyle}};
    if (m.left > 0 || m.top > 0 || m.right > 0 || m.bottom > 0)
        keys.push_back({"margin", kMarginStyle});
    if (borderless)
        keys.push_back({"overspray (printed off the paper)", kOversprayStyle});
    if (raster)
        keys.push_back({"raster data (extent assumed)", kRasterStyle});

    // Room around the paper for a printable area that runs over its edges,
    // then the legend and the captions below it.
    long pad = 4 * kFont;
    long minX = std::min(0L, g.left) - pad, minY = std::min(0L, g.top) - pad;
    long maxX = std::max(g.width, g.left + g.printableWidth) + pad;
    long legendTop = std::max(g.length, g.top + g.printableLength) + pad;
    long lineHeight = kFont * 6 / 5;
    // Legend entries side by side, on as many rows as the width needs.
    std::vector<std::pair<long, long>> keyPlaces; // x, y of each swatch
    long keyX = minX + pad / 2, keyY = legendTop;
    for (const Key& k : keys) {
        long width = 2 * kFont + kFont / 2 + (long)strlen(k.text) * kFont / 2 + 2 * kFont;
        if (keyX + width > maxX && keyX > minX + pad / 2) {
            keyX = minX + pad / 2;
            keyY += 2 * lineHeight;
        }
        keyPlaces.emplace_back(keyX, keyY);
        keyX += width;
    }
    long captionTop = keyY + 2 * kFont;
    // Captions wrap at the picture's width, about half a font per letter.
    size_t perLine = (size_t)std::max(40L, (maxX - minX - pad) * 2 / kFont);
    std::vector<std::string> lines;
    for (const std::string& c : captions)
        for (size_t at = 0; at < c.size();) {
            size_t n = std::min(perLine, c.size() - at);
            if (at + n < c.size()) {
                size_t blank = c.rfind(' ', at + n);
                if (blank != std::string::npos && blank > at)
                    n = blank - at + 1;
            }
            lines.push_back((at ? "    " : "") + c.substr(at, n));
            at += n;
        }
    // The last line says what sheet the picture needs at 100 %; short
    // enough never to wrap.
    long maxY = captionTop + (long)(lines.size() + 1) * lineHeight + pad;
    long viewW = maxX - minX, viewH = maxY - minY;
    std::string sheet = SheetFor(Mm(viewW), Mm(viewH));
    lines.push_back(Format("at 100 %%: %.0f x %.0f mm, %s", Mm(viewW), Mm(viewH), sheet.c_str()));

    std::string svg;
    // Width and height in millimetres: printed at 100 % the paper comes out
    // at its own size, 600 dots to the inch.
    svg += Format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.2fmm\" height=\"%.2fmm\" "
                  "viewBox=\"%ld %ld %ld %ld\">\n",
                  Mm(viewW), Mm(viewH), minX, minY, viewW, viewH);
    svg += "  <title>" + Escaped(paper + ": " + stream.page) + "</title>\n";
    svg += "  <defs>\n"
           "    <pattern id=\"rows\" width=\"40\" height=\"40\" patternUnits=\"userSpaceOnUse\">"
           "<rect width=\"40\" height=\"20\" fill=\"#9cc3e6\"/></pattern>\n"
           "    <pattern id=\"overspray-hatch\" width=\"30\" height=\"30\" "
           "patternUnits=\"userSpaceOnUse\" patternTransform=\"rotate(45)\">"
           "<rect width=\"30\" height=\"30\" fill=\"#ffd9a8\"/>"
           "<rect width=\"12\" height=\"30\" fill=\"#f08c00\"/></pattern>\n";
    svg += Format("    <mask id=\"off-paper\"><rect x=\"%ld\" y=\"%ld\" width=\"%ld\" "
                  "height=\"%ld\" fill=\"white\"/><rect x=\"0\" y=\"0\" width=\"%ld\" "
                  "height=\"%ld\" fill=\"black\"/></mask>\n",
                  minX, minY, viewW, viewH, g.width, g.length);
    svg += "  </defs>\n";
    svg += Format("  <rect x=\"%ld\" y=\"%ld\" width=\"%ld\" height=\"%ld\" fill=\"#f4f4f4\"/>\n",
                  minX, minY, viewW, viewH);
    svg += Rect("paper", 0, 0, g.width, g.length, kPaperStyle);
    // The margins: the paper outside the printable area, shaded.
    svg += Format("  <path id=\"margins\" fill-rule=\"evenodd\" %s d=\"M0 0H%ldV%ldH0Z "
                  "M%ld %ldH%ldV%ldH%ldZ\"/>\n",
                  kMarginStyle, g.width, g.length, std::max(0L, g.left), std::max(0L, g.top),
                  std::min(g.width, g.left + g.printableWidth),
                  std::min(g.length, g.top + g.printableLength), std::max(0L, g.left));
    if (borderless)
        svg += Rect("overspray", g.left, g.top, g.printableWidth, g.printableLength,
                    std::string(kOversprayStyle) + " mask=\"url(#off-paper)\"");
    // The printer lays the raster lines out from the printable area's
    // top-left corner; how far they run the data does not say.
    if (raster)
        svg += Rect("raster", g.left, g.top, g.printableWidth, g.printableLength,
                    std::string(kRasterStyle) + " data-extent=\"assumed\"");
    svg += Rect("printable", g.left, g.top, g.printableWidth, g.printableLength, kPrintableStyle);
    svg += Rect("paper-edge", 0, 0, g.width, g.length,
                "fill=\"none\" stroke=\"black\" stroke-width=\"6\"");
    svg += MarginLabels(g, m);

    svg += "  <g id=\"legend\">\n";
    for (size_t i = 0; i < keys.size(); i++) {
        long x = keyPlaces[i].first, y = keyPlaces[i].second;
        svg += Format("  <rect x=\"%ld\" y=\"%ld\" width=\"%ld\" height=\"%ld\" %s/>\n", x, y,
                      2 * kFont, kFont, keys[i].style);
        svg += Text(x + 2 * kFont + kFont / 2, y + kFont - 10, keys[i].text);
    }
    svg += "  </g>\n";
    long y = captionTop;
    for (const std::string& line : lines) {
        y += lineHeight;
        svg += Text(minX + pad / 2, y, line);
    }
    svg += Format("  <desc id=\"margin-dots\" data-left=\"%ld\" data-top=\"%ld\" "
                  "data-right=\"%ld\" data-bottom=\"%ld\">margins in dots</desc>\n",
                  m.left, m.top, m.right, m.bottom);
    svg += "  <desc id=\"sheet\">" + Escaped(lines.back()) + "</desc>\n";
    svg += "</svg>\n";
    return svg;
}

std::string WritePageSvg(const StreamSummary& stream, const std::string& path,
                         const PageContext& context, std::string* sheet)
{
    std::string svg = PageSvg(stream, context);
    if (svg.empty())
        return "no page format command in the data: no page to draw";
    if (sheet != nullptr) {
        size_t at = svg.find("<desc id=\"sheet\">") + 17;
        *sheet = svg.substr(at, svg.find("</desc>", at) - at);
    }
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return "cannot write '" + path + "'";
    bool ok = fwrite(svg.data(), 1, svg.size(), f) == svg.size();
    ok = fclose(f) == 0 && ok;
    return ok ? "" : "cannot write '" + path + "'";
}

} // namespace prnsim
