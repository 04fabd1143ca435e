// `prnsim demo`: the driver's whole life with one printer, told step by step.
#include "commands.h"

#include "decode.h"
#include "jobcheck.h"
#include "pagesvg.h"
#include "job.h"
#include "machine.h"
#include "names.h"
#include "session.h"
#include "text.h"

#include "modelnames.h"
#include "prnsbp.h"

#include <algorithm>
#include <set>
#include <unistd.h>

namespace prnsim
{

namespace
{

const char kDeviceId[] = "MFG:Orvex;CMD:ZRL,ESCPL2;MDL:Tessa 4410x;CLS:PRINTER;DES:Orvex Tessa "
                         "4410x;";
const char kStatusReply[] = "@BDC ST2\r\nST:04;ER:00;IQ:88,71,64,90;PC:0001;\r\n";
const size_t kRasterBytes = 300000;
const size_t kPieceSize = 4096;

std::string Join(const std::vector<std::string>& items)
{
    std::string s;
    for (const std::string& i : items)
        s += (s.empty() ? "" : ", ") + i;
    return s.empty() ? "(none)" : s;
}

void Step(FILE* out, int n, const char* title)
{
    fprintf(out, "\n%d. %s\n", n, title);
}

// What the driver made of the printer: device names, port, child IDs.
void ShowIdentification(Machine& m, FILE* out)
{
    for (int unit = 0; unit < 2; unit++) {
        PDEVICE_OBJECT fdo = m.Fdo("printer", unit);
        fprintf(out, "   unit %d device          %s\n", unit,
                fdo ? kmsim::DeviceName(fdo).c_str() : "(none)");
    }
    PDEVICE_OBJECT fdo0 = m.Fdo("printer", 0);
    if (fdo0 == nullptr)
        return;
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)fdo0->DeviceExtension;
    fprintf(out, "   identification         %s\n",
            ext->DeviceIdString ? ext->DeviceIdString : "(none)");
    fprintf(out, "   manufacturer, model    %s, %s\n", ext->Manufacturer, ext->Model);
    for (const kmsim::InterfaceInfo& i : kmsim::Interfaces()) {
        if (i.pdo != m.Pdo("printer", 0))
            continue;
        fprintf(out, "   port interface         %s (%s)\n", i.symbolicLink.c_str(),
                i.enabled ? "enabled" : "disabled");
        fprintf(out, "   Port Number            %s\n",
                RegistryValueText(i.keyPath, "Port Number").c_str());
        fprintf(out, "   Base Name              %s\n",
                RegistryValueText(i.keyPath, "Base Name").c_str());
        fprintf(out, "   Port Description       %s\n",
                RegistryValueText(i.keyPath, "Port Description").c_str());
    }
    PDEVICE_OBJECT child = m.Child("printer");
    if (child == nullptr) {
        fprintf(out, "   child device           (none reported)\n");
        return;
    }
    kmsim::DeviceIds ids = kmsim::IdsOf(child);
    fprintf(out, "   child device ID        %s\n", ids.deviceId.c_str());
    fprintf(out, "   child instance ID      %s\n", ids.instanceId.c_str());
    fprintf(out, "   child hardware IDs     %s\n", Join(ids.hardwareIds).c_str());
    fprintf(out, "   child compatible IDs   %s\n", Join(ids.compatibleIds).c_str());
    fprintf(out, "   child PortName         %s\n",
            RegistryValueText(kmsim::DeviceKeyPath(child), "PortName").c_str());
}

// "A4, PlainPaper", numbers where the model names no value.
std::string PaperAndMedia(const Job& job)
{
    auto word = [&](uint32_t setting) {
        std::string name = modelnames::NameOf(setting, job.settings[setting]);
        return name.empty() ? modelnames::Describe(setting, job.settings[setting]) : name;
    };
    return word(28) + ", " + word(5);
}

void ShowJob(const Job& job, FILE* out)
{
    for (const JobPiece& p : job.pieces) {
        std::string id = p.id ? "Drv " + std::to_string(p.id) : "       ";
        std::string code = !p.id ? "" : p.code == 0 ? "DB_OK" : std::to_string(p.code);
        fprintf(out, "   %s  %-28s %-8s %8s bytes\n", id.c_str(), p.what.c_str(), code.c_str(),
                Grouped(p.bytes).c_str());
    }
    fprintf(out, "   job                                              %8s bytes\n",
            Grouped(job.bytes.size()).c_str());
    if (!job.error.empty())
        fprintf(out, "   warning: %s\n", job.error.c_str());
}

struct PrintRun {
    WriteResult written;
    std::vector<SeenEvent> events;
    LONGLONG start = 0;
    LONGLONG duration = 0;
};

// Open, write in page-sized pieces, read the status, close: what a port
// monitor does with one job.
PrintRun PrintJob(Machine& m, PDEVICE_OBJECT port, const Job& job, FILE* out)
{
    PrintRun run;
    SimulatedPrinter* printer = m.Find("printer");
    printer->model->SetStatusReply(
        std::vector<UCHAR>(kStatusReply, kStatusReply + sizeof kStatusReply - 1));
    printer->model->ClearTrace();
    m.NewBusEvents();
    run.start = kmsim::Now();
    Outcome opened = m.Open(kJobPort, port);
    fprintf(out, "   open                   %s\n", StatusName(opened.status).c_str());
    fprintf(out, "   write in %zu-byte pieces:\n", kPieceSize);
    run.written = WriteInPieces(m, port, job.bytes, kPieceSize, isatty(fileno(out)), out);
    fprintf(out, "   write                  %s, %s bytes in %zu requests\n",
            StatusName(run.written.status).c_str(), Grouped(run.written.accepted).c_str(),
            run.written.requests);
    Outcome status = m.Read(port, m.HandleOf(kJobPort), 4096);
    fprintf(out, "   read status            %s, %lu bytes: \"%s\"\n",
            StatusName(status.status).c_str(), (unsigned long)status.information,
            Printable(status.data.data(), status.data.size()).c_str());
    Outcome closed = m.Close(kJobPort, port);
    fprintf(out, "   close                  %s\n", StatusName(closed.status).c_str());
    run.duration = kmsim::Now() - run.start;
    run.events = m.NewBusEvents();
    return run;
}

void ShowSummary(const PrintRun& run, size_t received, bool same, FILE* out)
{
    fprintf(out, "\nSummary\n");
    fprintf(out, "  bytes written to the port    %s\n", Grouped(run.written.accepted).c_str());
    fprintf(out, "  bytes received by printer    %s (%s)\n", Grouped(received).c_str(),
            same ? "identical to the job" : "DIFFERENT from the job");
    fprintf(out, "  write requests               %zu of at most %zu bytes\n", run.written.requests,
            kPieceSize);
    PrintBusSummary(run.events, out);
    fprintf(out, "  simulated time               %.4f ms for open, write, read and close\n",
            (double)run.duration / kMs);
}

// The settings of the job's requests that are not 0, in words where the
// model names them.
std::vector<std::pair<uint32_t, int32_t>> SettingsOf(const Job& job)
{
    std::vector<std::pair<uint32_t, int32_t>> set;
    for (size_t i = 0; i < job.settings.size(); i++)
        if (job.settings[i] != 0)
            set.emplace_back((uint32_t)i, job.settings[i]);
    return set;
}

// Returns false when the page picture was asked for and could not be written.
bool ShowDecoded(const Job& job, const std::vector<unsigned char>& received,
                 const std::string& svgPath, FILE* out)
{
    StreamSummary decoded = DecodeStream(received.data(), received.size());
    fprintf(out, "\nCommands the printer received (%zu commands, %s bytes of raster data)\n",
            decoded.commands, Grouped(decoded.rasterBytes).c_str());
    std::string asked;
    for (const auto& [number, value] : SettingsOf(job))
        asked += (asked.empty() ? "" : ", ") + modelnames::Describe(number, value);
    fprintf(out, "  the job asked for     %s; every other setting 0\n", asked.c_str());
    fprintf(out, "  the printer was told  paper %s; page %s; print mode %s\n",
            decoded.paper.empty() ? "(none)" : decoded.paper.c_str(),
            decoded.page.empty() ? "(none)" : decoded.page.c_str(),
            decoded.printMode.empty() ? "(none)" : decoded.printMode.c_str());
    for (const std::string& line : decoded.lines)
        fprintf(out, "  %s\n", line.c_str());
    if (svgPath.empty())
        return true;
    if (!decoded.geometry.known) {
        fprintf(out, "  no page to draw: the job has no page format command (ESC ( p)\n");
        return true;
    }
    PageContext context;
    context.settingsKnown = true;
    context.settings = SettingsOf(job);
    context.source = "the demo's job, raster data made up";
    std::string sheet;
    std::string error = WritePageSvg(decoded, svgPath, context, &sheet);
    if (!error.empty()) {
        fprintf(stderr, "prnsim: %s\n", error.c_str());
        return false;
    }
    fprintf(out, "  the page as the printer was told: %s (%s)\n", svgPath.c_str(), sheet.c_str());
    return true;
}

// What the model's check says of the demo's job: its settings against what
// the model offers (for the job start and the job setup), then the job
// setup against the commands the printer needs.
std::vector<std::string> JobProblems(const std::map<uint32_t, int32_t>& changed)
{
    std::vector<int32_t> settings = DemoSettings(changed);
    std::set<uint32_t> given;
    for (const auto& c : changed)
        given.insert(c.first);
    std::vector<std::string> problems = CheckSettings(4121, settings, given);
    for (const std::string& p : CheckSettings(4120, settings, given))
        if (std::find(problems.begin(), problems.end(), p) == problems.end())
            problems.push_back(p);
    if (problems.empty())
        problems = CheckJobSetupOf(settings);
    return problems;
}

// One line that says plainly whether the demo did what it shows.
void ShowVerdict(const std::vector<std::string>& failures, FILE* out)
{
    if (failures.empty()) {
        fprintf(out, "\nDemo passed: the printer received the job byte for byte, and the driver "
                     "and prnmodel left nothing behind.\n");
        return;
    }
    std::string text;
    for (const std::string& f : failures)
        text += (text.empty() ? "" : "; ") + f;
    fprintf(out, "\nDemo FAILED: %s.\n", text.c_str());
}

void ShowLeakCheck(const std::vector<std::string>& problems, FILE* out)
{
    fprintf(out, "\nLeak check\n");
    if (problems.empty())
        fprintf(out, "  nothing left: no pool, device objects, references, links, interfaces, "
                     "registry handles or power requests of the driver, no verifier reports, no "
                     "memory or printer handles of prnmodel\n");
    for (const std::string& p : problems)
        fprintf(out, "  %s\n", p.c_str());
}

} // namespace

int RunDemo(const std::vector<std::string>& args)
{
    std::string svgPath;
    std::map<uint32_t, int32_t> changed;
    bool lenient = false;
    for (size_t i = 0; i < args.size(); i++) {
        uint32_t number;
        int32_t value;
        if (args[i] == "--svg" && i + 1 < args.size()) {
            svgPath = args[++i];
        } else if (args[i] == "--lenient") {
            lenient = true;
        } else if (args[i] == "-s" && i + 1 < args.size()) {
            std::string error = modelnames::ParseAssignment(args[++i], &number, &value);
            if (error.empty() && number >= kJobSettingCount)
                error = "setting " + std::to_string(number) + " is beyond the job's " +
                        std::to_string(kJobSettingCount);
            if (!error.empty()) {
                fprintf(stderr, "prnsim: %s\n", error.c_str());
                return 2;
            }
            changed[number] = value;
        } else {
            fprintf(stderr,
                    "prnsim: demo takes only -s SETTING=VALUE, --svg FILE and --lenient (got "
                    "'%s')\n",
                    args[i].c_str());
            return 2;
        }
    }
    std::vector<std::string> unbuildable = JobProblems(changed);
    if (!unbuildable.empty() && !lenient) {
        for (const std::string& p : unbuildable)
            fprintf(stderr, "prnsim: %s\n", p.c_str());
        fprintf(stderr, "prnsim: not a job the model can build (--lenient runs it anyway)\n");
        return kExitNotBuildable;
    }
    FILE* out = stdout;
    Machine m;
    ResetModelStandIns();
    m.Boot(false);
    fprintf(out, "prnsim demo: the prnsbp driver and a simulated IEEE 1394 printer\n");

    Step(out, 1, "Loading the driver");
    NTSTATUS s = m.LoadDriver();
    fprintf(out, "   DriverEntry            %s (service key %s)\n", StatusName(s).c_str(),
            m.ServiceKey().c_str());
    if (!m.DriverLoaded()) {
        ShowVerdict({"the driver did not load (" + StatusName(s) + ")"}, out);
        return 1;
    }

    Step(out, 2, "Plugging in the printer: two SBP-2 units on the 1394 bus");
    sbp2sim::PrinterConfig config;
    config.vendor = "ORVEX";
    config.product = "ZR_4410X";
    config.deviceId = kDeviceId;
    config.key = "00A0B8C9D0E1F2031";
    std::vector<NTSTATUS> plugged = m.Plug("printer", config);
    for (int unit = 0; unit < 2; unit++)
        fprintf(out, "   unit %d AddDevice+start %s\n", unit, StatusName(plugged[unit]).c_str());
    ShowIdentification(m, out);
    PDEVICE_OBJECT port = m.Fdo("printer", 0);
    if (port == nullptr) {
        ShowLeakCheck(m.ShutdownAndCheck(), out);
        ShowVerdict({"the printer's port did not appear"}, out);
        return 1;
    }

    Job job = BuildDemoJob(kRasterBytes, changed);
    Step(out, 3, ("Building a print job with prnmodel (" + PaperAndMedia(job) + ")").c_str());
    ShowJob(job, out);
    for (const std::string& p : unbuildable)
        fprintf(out, "   warning: %s\n", p.c_str());

    Step(out, 4, "Printing through the port");
    PrintRun run = PrintJob(m, port, job, out);

    Step(out, 5, "What reached the bus");
    for (const SeenEvent& e : run.events)
        fprintf(out, "   %s\n", FormatBusEvent(e, run.start).c_str());

    Step(out, 6, "Unplugging the printer and unloading the driver");
    std::vector<unsigned char> received = m.Find("printer")->model->PrintData();
    std::vector<std::string> problems = m.ShutdownAndCheck();
    fprintf(out, "   unplugged, driver unloaded\n");
    std::vector<std::string> modelProblems = ModelLeaks();
    problems.insert(problems.end(), modelProblems.begin(), modelProblems.end());

    bool same = received == job.bytes;
    ShowSummary(run, received.size(), same, out);
    bool drawn = ShowDecoded(job, received, svgPath, out);
    ShowLeakCheck(problems, out);

    std::vector<std::string> failures;
    if (!unbuildable.empty())
        failures.push_back("the job is not one the model can build (the warnings above)");
    if (!job.error.empty())
        failures.push_back("prnmodel: " + job.error);
    if (!run.written.complete)
        failures.push_back("the writes stopped with " + StatusName(run.written.status) + " after " +
                           Grouped(run.written.accepted) + " of " + Grouped(job.bytes.size()) +
                           " bytes");
    if (!same)
        failures.push_back("the printer received " + Grouped(received.size()) +
                           " bytes that are not the job's " + Grouped(job.bytes.size()));
    if (!problems.empty())
        failures.push_back(std::to_string(problems.size()) +
                           " thing(s) left behind (the leak check)");
    if (!drawn)
        failures.push_back("the page picture could not be written");
    ShowVerdict(failures, out);
    if (!drawn)
        return 2;
    if (!unbuildable.empty())
        return kExitNotBuildable;
    return failures.empty() ? 0 : 1;
}

} // namespace prnsim
