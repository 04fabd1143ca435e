#include "decode.h"

#include "text.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace prnsim
{

namespace
{

const unsigned char kEsc = 0x1B;
const char kBlockStart[] = "ZRLSTART\n";
const char kBlockEnd[] = "ZRLEND\n";

unsigned Be16(const unsigned char* p)
{
    return (unsigned)p[0] << 8 | p[1];
}

long Be32(const unsigned char* p)
{
    return (long)(int32_t)((uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 |
                           p[3]);
}

std::string Millimetres(long dots)
{
    return Format("%.1f", dots * 25.4 / 600.0);
}

// Three-byte groups written as runs: "24 00 06 x4, 00 00 00 x7".
std::string Groups(const unsigned char* p, size_t groups)
{
    std::string s;
    size_t i = 0;
    while (i < groups) {
        size_t run = 1;
        while (i + run < groups && memcmp(p + 3 * i, p + 3 * (i + run), 3) == 0)
            run++;
        if (!s.empty())
            s += ", ";
        s += HexBytes(p + 3 * i, 3);
        if (run > 1)
            s += " x" + std::to_string(run);
        i += run;
    }
    return s;
}

// Under a command's line, its further fields.
const char kMore[] = "                   ";

std::string PageFormat(const unsigned char* d, size_t n, std::string* page, PageGeometry* geometry)
{
    if (n != 46)
        return "page format, unexpected length " + std::to_string(n);
    // Lengths in dots of 1/600 inch (bytes 12-13 say 600), but for the
    // printable length and width of bytes 0-1 and 4-5, in 1/60 inch.
    long printableWidth = Be32(d + 22), printableLength = Be32(d + 26);
    long width = Be32(d + 38), length = Be32(d + 42);
    geometry->known = true;
    geometry->width = width;
    geometry->length = length;
    geometry->left = Be32(d + 14);
    geometry->top = Be32(d + 18);
    geometry->printableWidth = printableWidth;
    geometry->printableLength = printableLength;
    *page = Millimetres(width) + " x " + Millimetres(length) + " mm, printable " +
            Millimetres(printableWidth) + " x " + Millimetres(printableLength) + " mm";
    long left = geometry->left, top = geometry->top;
    long right = width - left - printableWidth, bottom = length - top - printableLength;
    bool borderless = left < 0 || top < 0 || right < 0 || bottom < 0;
    unsigned length60 = Be16(d), width60 = Be16(d + 4);
    std::string text = Format("page format: paper %s x %s mm (%ld x %ld dots of 1/%u in)\n",
                              Millimetres(width).c_str(), Millimetres(length).c_str(), width,
                              length, Be16(d + 12));
    text +=
        kMore + Format("printable area %s x %s mm (%ld x %ld dots) from %ld, %ld dots\n",
                       Millimetres(printableWidth).c_str(), Millimetres(printableLength).c_str(),
                       printableWidth, printableLength, left, top);
    text +=
        kMore + Format("margins: left %s mm, top %s mm, right %s mm, bottom %s mm%s\n",
                       Millimetres(left).c_str(), Millimetres(top).c_str(),
                       Millimetres(right).c_str(), Millimetres(bottom).c_str(),
                       borderless ? " (borderless: the printable area runs over the edges)" : "");
    // The same area in a coarser unit: 1/60 inch is 10 dots, so within 10
    // dots of the printable area it is that area rounded, not another one.
    bool rounded = std::labs(length60 * 10L - printableLength) < 10 &&
                   std::labs(width60 * 10L - printableWidth) < 10;
    std::string which = length60 == 0 && width60 == 0 ? "0 for borderless"
                        : rounded ? "the printable area above, rounded to 1/60 in"
                                  : Format("%.1f x %.1f mm: not the printable area above",
                                           length60 * 25.4 / 60, width60 * 25.4 / 60);
    text += kMore + Format("printable length %u, width %u in 1/60 in (%s)", length60, width60,
                           which.c_str());
    if (Be16(d + 6) != 0)
        text += Format("; bytes 6-7: %u", Be16(d + 6));
    return text;
}

std::string Dollar(const unsigned char* d, size_t n)
{
    if (n != 9)
        return "parameters, unexpected length " + std::to_string(n);
    return Format("parameters %02X: a %u, e %u, f 0x%02X, c %u", d[0], Be16(d + 1), Be16(d + 3),
                  Be16(d + 5), Be16(d + 7));
}

struct Decoder {
    StreamSummary out;

    void Line(size_t offset, const std::string& text)
    {
        out.lines.push_back(Format("%8zu  ", offset) + text);
    }

    // A command whose fields take more than one line.
    void CommandLines(size_t offset, const std::string& text)
    {
        size_t start = 0, end;
        bool first = true;
        while ((end = text.find('\n', start)) != std::string::npos || start < text.size()) {
            std::string line = text.substr(start, end == std::string::npos ? end : end - start);
            if (first)
                Line(offset, line);
            else
                out.lines.push_back(line);
            first = false;
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
    }

    // ESC ( letter nL nH data
    std::string Command(char letter, const unsigned char* d, size_t n)
    {
        std::string data = HexBytes(d, n, 16);
        switch (letter) {
        case 'b':
            return n == 1 ? Format("switch %s", d[0] ? "on" : "off") : "switch " + data;
        case 'c':
            out.printMode = data;
            return "print mode " + data + " (the mode block's ESC ( c data)";
        case 'd':
            return n == 4 ? Format("resolution %u x %u dpi", Be16(d), Be16(d + 2))
                          : "resolution " + data;
        case 't':
            return n == 36 ? "print mode table: head " + HexBytes(d, 3) + "; " + Groups(d + 3, 11)
                           : "print mode table " + data;
        case 'p':
            return PageFormat(d, n, &out.page, &out.geometry);
        case 'P':
            if (n == 2) {
                std::string paper = PaperOfCode(Be16(d));
                out.paper = paper.empty() ? Format("code %u", Be16(d)) : paper;
                return Format("paper size code %u (%s)", Be16(d),
                              paper.empty() ? "not a paper of the model" : paper.c_str());
            }
            return "paper size " + data;
        case 'l':
            return n == 3 ? "paper source and media " + data +
                                " (bytes by paper source, media, paper source)"
                          : "paper source and media " + data;
        case '$':
            return Dollar(d, n);
        case 'M':
            if (n == 3)
                return d[0] ? Format("media parameters on: %u, %u", d[1], d[2])
                            : "media parameters off";
            return "media parameters " + data;
        default:
            return n ? data : std::string("(no data)");
        }
    }

    // A mode block: header ESC [ K, then its text lines. Returns the bytes used.
    size_t ModeBlock(size_t offset, const unsigned char* p, size_t n)
    {
        size_t length = p[3] | p[4] << 8;
        if (5 + length > n) {
            Line(offset, "ESC [ K  truncated");
            return n;
        }
        const unsigned char* d = p + 5;
        size_t used = 5 + length;
        size_t textStart = used;
        size_t startLength = strlen(kBlockStart);
        if (n - textStart >= startLength && memcmp(p + textStart, kBlockStart, startLength) == 0) {
            const unsigned char* text = p + textStart;
            size_t rest = n - textStart;
            size_t endLength = strlen(kBlockEnd);
            size_t end = rest;
            for (size_t i = 0; i + endLength <= rest; i++)
                if (memcmp(text + i, kBlockEnd, endLength) == 0) {
                    end = i + endLength;
                    break;
                }
            Line(offset, "ESC [ K  mode block " + HexBytes(d, length) + " (" +
                             std::to_string(used + end) + " bytes)");
            size_t lineStart = 0;
            for (size_t i = 0; i < end; i++)
                if (text[i] == '\n') {
                    out.lines.push_back("              | " +
                                        Printable(text + lineStart, i - lineStart));
                    lineStart = i + 1;
                }
            if (lineStart < end)
                out.lines.push_back("              | " +
                                    Printable(text + lineStart, end - lineStart) +
                                    "  (no line end)");
            return used + end;
        }
        Line(offset, "ESC [ K  mode header " + HexBytes(d, length));
        return used;
    }

    void Data(size_t offset, const unsigned char* p, size_t n)
    {
        out.dataBytes += n;
        StreamItem::Kind kind = n == 1 && p[0] == 0x0C ? StreamItem::kFormFeed
                                : n <= 8               ? StreamItem::kStray
                                                       : StreamItem::kRaster;
        out.items.push_back({kind, offset, n});
        if (kind == StreamItem::kFormFeed) {
            Line(offset, "FF       form feed");
        } else if (kind == StreamItem::kStray) {
            // Too short for raster data: what is left of a command, as when
            // a sequence misses a piece because a setting it needs is not
            // given.
            out.strayBytes += n;
            Line(offset, Format("warning  %zu byte%s that %s not a command: ", n, n == 1 ? "" : "s",
                                n == 1 ? "is" : "are") +
                             HexBytes(p, n) + " (a sequence left incomplete?)");
        } else {
            out.rasterBytes += n;
            Line(offset, Format("data     %zu bytes of raster data", n));
        }
    }

    void Run(const unsigned char* p, size_t n)
    {
        size_t i = 0, dataStart = 0;
        auto flushData = [&](size_t end) {
            if (end > dataStart)
                Data(dataStart, p + dataStart, end - dataStart);
        };
        while (i < n) {
            if (p[i] != kEsc || i + 1 >= n) {
                i++;
                continue;
            }
            unsigned char next = p[i + 1];
            if (next == '(' && i + 5 <= n) {
                size_t length = p[i + 3] | p[i + 4] << 8;
                if (i + 5 + length > n) {
                    i++;
                    continue;
                }
                flushData(i);
                char letter = (char)p[i + 2];
                out.items.push_back({StreamItem::kCommand, i, length, letter,
                                     length ? p[i + 5] : (unsigned char)0});
                CommandLines(i, Format("ESC ( %c  ", letter) + Command(letter, p + i + 5, length));
                out.commands++;
                i += 5 + length;
                dataStart = i;
            } else if (next == '[' && i + 5 <= n && p[i + 2] == 'K') {
                flushData(i);
                out.commands++;
                size_t start = i;
                i += ModeBlock(i, p + i, n - i);
                out.items.push_back({StreamItem::kModeBlock, start, i - start});
                dataStart = i;
            } else if (next == '@') {
                flushData(i);
                out.items.push_back({StreamItem::kReset, i, 0});
                Line(i, "ESC @    reset");
                out.commands++;
                i += 2;
                dataStart = i;
            } else {
                i++;
            }
        }
        flushData(n);
    }
};

} // namespace

StreamSummary DecodeStream(const unsigned char* data, size_t n)
{
    Decoder d;
    d.Run(data, n);
    return d.out;
}

} // namespace prnsim
