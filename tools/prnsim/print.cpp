// `prnsim print FILE`: a file written through the printer's port, as a
// port monitor writes a spooled job.
#include "commands.h"

#include "decode.h"
#include "jobcheck.h"
#include "pagesvg.h"
#include "machine.h"
#include "names.h"
#include "session.h"
#include "text.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace prnsim
{

namespace
{

// From this size on the job runs on a retail kernel (verifier off), as a
// free build of the system would run it: the verifier's guards, poison and
// bookkeeping would otherwise cost more than the driver.
const size_t kRetailFromBytes = 1u << 20;

struct PrintOptions {
    std::string file;
    uint64_t writeSize = 4096;
    uint64_t useScsiPrint = 0;
    uint64_t mdlSize = 0;
    bool legacy = false;
    bool async = false;
    unsigned mixedSeed = 0;
    bool decode = false;
    bool lenient = false; // print a job the model cannot have built anyway
    std::string svg;      // where to draw the page, "" for no picture
};

// Returns an error message, empty when the arguments are good.
std::string ParsePrintOptions(const std::vector<std::string>& args, PrintOptions* o)
{
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& a = args[i];
        auto number = [&](uint64_t min, uint64_t max, uint64_t* value) -> std::string {
            if (i + 1 >= args.size())
                return a + " needs a number";
            if (!ParseNumber(args[i + 1], max, value) || *value < min)
                return "bad number '" + args[i + 1] + "' for " + a;
            i++;
            return "";
        };
        std::string error;
        if (a == "--write-size")
            error = number(1, 16u << 20, &o->writeSize);
        else if (a == "--use-scsi-print")
            error = number(0, 0xFFFFFFFFu, &o->useScsiPrint);
        else if (a == "--mdl-size")
            error = number(0, 0xFFFFFFFFu, &o->mdlSize);
        else if (a == "--legacy")
            o->legacy = true;
        else if (a == "--async")
            o->async = true;
        else if (a.compare(0, 7, "--mixed") == 0) {
            if (!ParseMixedOption(a, &o->mixedSeed))
                error = "bad option '" + a + "' (--mixed or --mixed=SEED, SEED not 0)";
        } else if (a == "--decode")
            o->decode = true;
        else if (a == "--lenient")
            o->lenient = true;
        else if (a == "--svg" && i + 1 >= args.size())
            error = "--svg needs a FILE";
        else if (a == "--svg")
            o->svg = args[++i];
        else if (a.size() > 1 && a[0] == '-')
            error = "unknown option '" + a + "'";
        else if (o->file.empty())
            o->file = a;
        else
            error = "more than one file ('" + a + "')";
        if (!error.empty())
            return error;
    }
    if (o->file.empty())
        return "print needs a FILE";
    return "";
}

} // namespace

int RunPrint(const std::vector<std::string>& args)
{
    PrintOptions o;
    std::string error = ParsePrintOptions(args, &o);
    if (!error.empty()) {
        fprintf(stderr, "prnsim: %s\n", error.c_str());
        return 2;
    }
    std::ifstream in(o.file, std::ios::binary);
    if (!in) {
        fprintf(stderr, "prnsim: cannot open '%s': %s\n", o.file.c_str(), strerror(errno));
        return 2;
    }
    std::vector<unsigned char> data((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (in.bad()) {
        fprintf(stderr, "prnsim: cannot read '%s'\n", o.file.c_str());
        return 2;
    }
    // A job setup in the file that lacks what the printer needs was not
    // built by the model: said before anything is printed.
    std::vector<std::string> unbuildable = CheckJobSetup(DecodeStream(data.data(), data.size()));
    if (!unbuildable.empty() && !o.lenient) {
        for (const std::string& p : unbuildable)
            fprintf(stderr, "prnsim: %s: %s\n", o.file.c_str(), p.c_str());
        fprintf(stderr, "prnsim: not a job the model builds (--lenient prints it anyway)\n");
        return kExitNotBuildable;
    }

    FILE* out = stdout;
    Machine m;
    m.Boot(o.legacy);
    bool retail = data.size() >= kRetailFromBytes;
    kmsim::SetRetailKernel(retail);
    fprintf(out, "kernel: %s\n", retail ? "retail (verifier off)" : "checked (verifier on)");
    for (const std::string& p : unbuildable)
        fprintf(out, "warning: %s\n", p.c_str());
    m.SetConfig("USE_SCSI_PRINT", (ULONG)o.useScsiPrint);
    m.SetConfig("MDL_SIZE", (ULONG)o.mdlSize);
    NTSTATUS loaded = m.LoadDriver();
    if (!m.DriverLoaded()) {
        fprintf(stderr, "prnsim: DriverEntry failed: %s\n", StatusName(loaded).c_str());
        return 1;
    }
    sbp2sim::PrinterConfig config;
    config.async = o.async;
    config.mixedSeed = o.mixedSeed;
    std::vector<NTSTATUS> plugged = m.Plug("printer", config);
    PDEVICE_OBJECT port = m.Fdo("printer", 0);
    fprintf(out, "printer plugged in: unit 0 %s, unit 1 %s; port %s\n",
            StatusName(plugged[0]).c_str(), StatusName(plugged[1]).c_str(),
            port ? kmsim::DeviceName(port).c_str() : "(none)");
    SimulatedPrinter* printer = m.Find("printer");
    printer->model->ClearTrace();
    m.NewBusEvents();
    LONGLONG start = kmsim::Now();

    WriteResult written;
    Outcome opened = port ? m.Open(kJobPort, port) : Outcome{STATUS_NO_SUCH_DEVICE, 0, {}};
    fprintf(out, "open: %s\n", StatusName(opened.status).c_str());
    if (NT_SUCCESS(opened.status)) {
        written = WriteInPieces(m, port, data, (size_t)o.writeSize, isatty(fileno(out)), out);
        fprintf(out, "write: %s, %s of %s bytes in %zu requests (%zu retried)\n",
                StatusName(written.status).c_str(), Grouped(written.accepted).c_str(),
                Grouped(data.size()).c_str(), written.requests, written.retries);
        Outcome closed = m.Close(kJobPort, port);
        fprintf(out, "close: %s\n", StatusName(closed.status).c_str());
    }
    LONGLONG elapsed = kmsim::Now() - start;
    std::vector<SeenEvent> events = m.NewBusEvents();
    std::vector<unsigned char> received = printer->model->PrintData();
    std::vector<std::string> problems = m.ShutdownAndCheck();

    bool same = received == data;
    fprintf(out, "\nSummary\n");
    fprintf(out, "  file                         %s, %s bytes\n", o.file.c_str(),
            Grouped(data.size()).c_str());
    fprintf(out, "  bytes received by printer    %s (%s)\n", Grouped(received.size()).c_str(),
            same ? "identical to the file" : "DIFFERENT from the file");
    PrintBusSummary(events, out);
    fprintf(out, "  simulated time               %.4f ms\n", (double)elapsed / kMs);
    StreamSummary decoded = DecodeStream(received.data(), received.size());
    if (o.decode) {
        fprintf(out, "\nCommands the printer received\n");
        for (const std::string& line : decoded.lines)
            fprintf(out, "  %s\n", line.c_str());
    }
    // No page format is no fault of the run: said, and nothing drawn. A
    // picture that cannot be written is a bad command line.
    std::string svgError, sheet;
    if (!o.svg.empty() && !decoded.geometry.known)
        fprintf(out, "\nno page to draw: the data has no page format command (ESC ( p)\n");
    else if (!o.svg.empty() &&
             !(svgError = WritePageSvg(decoded, o.svg, PageContext(), &sheet)).empty())
        fprintf(stderr, "prnsim: %s\n", svgError.c_str());
    else if (!o.svg.empty())
        fprintf(out, "\nThe page as the printer was told: %s (%s)\n", o.svg.c_str(), sheet.c_str());
    fprintf(out, "\nLeak check: %s\n", problems.empty() ? "nothing left allocated" : "");
    for (const std::string& p : problems)
        fprintf(out, "  %s\n", p.c_str());
    if (!svgError.empty())
        return 2;
    if (!unbuildable.empty())
        return kExitNotBuildable;
    return problems.empty() && same && written.complete ? 0 : 1;
}

} // namespace prnsim
