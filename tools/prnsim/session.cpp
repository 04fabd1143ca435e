#include "session.h"

#include "names.h"
#include "text.h"

#include <algorithm>
#include <map>

namespace prnsim
{

std::string Grouped(unsigned long long n)
{
    std::string digits = std::to_string(n), s;
    for (size_t i = 0; i < digits.size(); i++) {
        if (i && (digits.size() - i) % 3 == 0)
            s += ',';
        s += digits[i];
    }
    return s;
}

static void ShowProgress(size_t done, size_t total, bool bar, int* lastQuarter, FILE* out)
{
    unsigned percent = total ? (unsigned)(done * 100 / total) : 100;
    if (bar) {
        const int width = 40;
        int filled = (int)(percent * width / 100);
        fprintf(out, "\r   [%s%s] %3u%%  %s of %s bytes", std::string(filled, '#').c_str(),
                std::string(width - filled, '.').c_str(), percent, Grouped(done).c_str(),
                Grouped(total).c_str());
        if (done >= total)
            fputc('\n', out);
        fflush(out);
        return;
    }
    int quarter = (int)(percent / 25);
    if (quarter > *lastQuarter) {
        *lastQuarter = quarter;
        fprintf(out, "   progress %3d%%: %s of %s bytes\n", quarter * 25, Grouped(done).c_str(),
                Grouped(total).c_str());
    }
}

WriteResult WriteInPieces(Machine& machine, PDEVICE_OBJECT port,
                          const std::vector<unsigned char>& data, size_t pieceSize, bool bar,
                          FILE* out)
{
    WriteResult result;
    int lastQuarter = 0;
    size_t offset = 0;
    const size_t kMaxRetries = 600; // ten simulated minutes of a printer refusing data
    while (offset < data.size()) {
        size_t n = std::min(pieceSize, data.size() - offset);
        std::vector<unsigned char> piece(data.begin() + offset, data.begin() + offset + n);
        Outcome o = machine.Write(port, machine.HandleOf(kJobPort), piece);
        result.requests++;
        result.status = o.status;
        if (!NT_SUCCESS(o.status) || o.status == STATUS_DEVICE_OFF_LINE) {
            if (bar)
                fputc('\n', out);
            return result;
        }
        size_t taken = std::min<size_t>(o.information, n);
        offset += taken;
        result.accepted += taken;
        if (taken < n) {
            if (++result.retries > kMaxRetries)
                return result;
            kmsim::AdvanceClock(1000 * kMs);
        }
        ShowProgress(offset, data.size(), bar, &lastQuarter, out);
    }
    if (data.empty())
        ShowProgress(0, 0, bar, &lastQuarter, out);
    result.complete = true;
    return result;
}

void PrintBusSummary(const std::vector<SeenEvent>& events, FILE* out)
{
    struct Count {
        unsigned long requests = 0;
        unsigned long long bytes = 0;
        unsigned long failed = 0;
    };
    std::map<unsigned, Count> byCdb; // opcode << 8 | sub-code
    unsigned long creates = 0, closes = 0, srbs = 0;
    for (const SeenEvent& s : events) {
        const sbp2sim::BusEvent& e = s.event;
        if (e.kind == sbp2sim::BusEvent::kCreate) {
            creates++;
            continue;
        }
        if (e.kind == sbp2sim::BusEvent::kClose) {
            closes++;
            continue;
        }
        srbs++;
        unsigned key = (unsigned)e.op() << 8 | (e.op() == 0x0A ? 0 : e.sub());
        Count& c = byCdb[key];
        c.requests++;
        c.bytes += e.delivered;
        if (SRB_STATUS(e.srbStatus) != SRB_STATUS_SUCCESS)
            c.failed++;
    }
    fprintf(out, "  transfers on the bus         %lu SCSI requests, %lu creates, %lu closes\n",
            srbs, creates, closes);
    fprintf(out, "  CDBs by opcode:\n");
    for (auto& [key, c] : byCdb) {
        unsigned char op = (unsigned char)(key >> 8), sub = (unsigned char)key;
        std::string code = op == 0x0A ? "0A --" : HexBytes(&op, 1) + " " + HexBytes(&sub, 1);
        fprintf(out, "    %s  %-14s %6lu  %12s bytes%s\n", code.c_str(),
                CommandName(op, sub).c_str(), c.requests, Grouped(c.bytes).c_str(),
                c.failed ? (" (" + std::to_string(c.failed) + " failed)").c_str() : "");
    }
}

} // namespace prnsim
