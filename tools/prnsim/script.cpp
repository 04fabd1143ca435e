// `prnsim run SCRIPT`: a scenario of the driver's life, one command per
// line, so any situation can be reproduced and kept as a test. The
// interpreter's core: devices by name, the trace of what reached the bus,
// the script read line by line, and the commands of every family.
#include "commands.h"
#include "interpreter.h"
#include "regfile.h"
#include "session.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <sys/stat.h>

namespace prnsim::script
{

thread_local std::string tError;
thread_local FILE* tOut = nullptr;

std::vector<Rows<CommandRow>> Interpreter::Families()
{
    return {MachineCommands(), PortCommands(), PrinterCommands(), ConcurrencyCommands(),
            LookingCommands()};
}

bool Interpreter::Device(const std::string& text, PDEVICE_OBJECT* device, bool pdo)
{
    size_t dot = text.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return Fail("bad device '" + text + "' (NAME.0, NAME.1 or NAME.child)");
    std::string name = text.substr(0, dot), which = text.substr(dot + 1);
    if (!Printer(name))
        return false;
    if (which == "child")
        *device = m_.Child(name);
    else if (which == "0" || which == "1")
        *device = pdo ? m_.Pdo(name, which[0] - '0') : m_.Fdo(name, which[0] - '0');
    else
        return Fail("bad device '" + text + "' (NAME.0, NAME.1 or NAME.child)");
    if (*device == nullptr)
        return Fail("device '" + text + "' does not exist now");
    return true;
}

// Bus events of every printer, and with `detail on` the port driver's own
// requests with every SRB's other fields; by time across printers with
// `interleave on`, else printer by printer.
void Interpreter::ShowBusEvents()
{
    if (tOut)
        return; // a started request: the script shows them once all is quiet
    struct Line {
        std::string printer;
        LONGLONG time;
        std::string text;
    };
    std::vector<Line> lines;
    for (const SeenEvent& e : m_.NewBusEvents()) {
        seen_.push_back(e);
        std::string text = FormatBusEvent(e, m_.BootTime());
        if (detail_ && e.event.kind == sbp2sim::BusEvent::kSrb)
            text += "\n        " + FormatSrbDetail(e.event);
        lines.push_back({e.printer, e.event.time, text});
    }
    for (const auto& r : m_.NewPortRequests())
        if (detail_)
            lines.push_back(
                {r.first, r.second.time, FormatPortRequest(r.first, r.second, m_.BootTime())});
    // A passed-down request is shown once it has come back.
    std::vector<kmsim::PassedRequest> passed = kmsim::PassedRequests();
    passedShown_.resize(passed.size());
    for (size_t i = 0; i < passed.size(); i++) {
        if (passedShown_[i] || !passed[i].completed)
            continue;
        passedShown_[i] = true;
        std::string printer;
        std::string text = PassedLine(passed[i], &printer);
        if (detail_)
            lines.push_back({printer, passed[i].time, text});
    }
    // Port requests and bus events of one printer by time; printers one
    // after another unless interleaved.
    std::vector<std::string> order;
    for (const Line& l : lines)
        if (std::find(order.begin(), order.end(), l.printer) == order.end())
            order.push_back(l.printer);
    std::stable_sort(lines.begin(), lines.end(), [&](const Line& a, const Line& b) {
        if (!interleave_ && a.printer != b.printer)
            return std::find(order.begin(), order.end(), a.printer) <
                   std::find(order.begin(), order.end(), b.printer);
        return a.time < b.time;
    });
    std::vector<std::string> texts;
    for (const Line& l : lines)
        texts.push_back(l.text);
    for (const std::string& text : fold_ ? FoldRuns(texts) : texts)
        fprintf(out_, "  %s\n", text.c_str());
}

namespace
{

// A trace line without what changes from one request of a run to the next:
// its time, and in a vendor data write (C0 00) the sequence byte (CDB byte 5).
std::string Unchanging(const std::string& line, std::string* sequence)
{
    size_t timeEnd = line.find("] ");
    std::string rest = timeEnd == std::string::npos ? line : line.substr(timeEnd + 2);
    size_t cdb = rest.find(" SCSI C0 00 ");
    sequence->clear();
    if (cdb != std::string::npos && rest.size() > cdb + 6 + 17) {
        *sequence = rest.substr(cdb + 6 + 15, 2);
        rest.replace(cdb + 6 + 15, 2, "..");
    }
    return rest;
}

} // namespace

std::vector<std::string> FoldRuns(const std::vector<std::string>& lines)
{
    std::vector<std::string> out;
    for (size_t i = 0; i < lines.size();) {
        std::string firstSequence, sequence, lastSequence;
        std::string key = Unchanging(lines[i], &firstSequence);
        size_t end = i + 1;
        while (end < lines.size() && Unchanging(lines[end], &sequence) == key) {
            lastSequence = sequence;
            end++;
        }
        out.push_back(lines[i]);
        size_t more = end - i - 1;
        if (more > 0) {
            std::string last = lines[end - 1].substr(0, lines[end - 1].find("] ") + 1);
            out.push_back(Format("... %zu more like it", more) +
                          (firstSequence.empty() ? "" : ", sequence bytes to " + lastSequence) +
                          ", the last " + last);
        }
        i = end;
    }
    return out;
}

// "[    2.0000 ms] p/0 PASSED device control 0x00220003 -> STATUS_INVALID_DEVICE_REQUEST,
// to \Device\Sbp2\QXZR&P-1&0&00A0B8C9D0E1F203"
std::string Interpreter::PassedLine(const kmsim::PassedRequest& r, std::string* printer)
{
    auto unit = unitOfPdo_.find(r.stackBottom);
    std::string where = unit == unitOfPdo_.end() ? r.stackBottom : unit->second;
    *printer = where.substr(0, where.rfind('/'));
    std::string what;
    switch (r.major) {
    case IRP_MJ_PNP:
        what = "PnP " + PnpMinorName(r.minor);
        break;
    case IRP_MJ_POWER:
        what = "power " + PowerMinorName(r.minor);
        break;
    case IRP_MJ_SYSTEM_CONTROL:
        what = "WMI " + std::to_string(r.minor);
        break;
    case IRP_MJ_DEVICE_CONTROL:
        what = "device control " + IoctlName(r.code);
        if (r.minor != 0)
            what += " minor " + std::to_string(r.minor);
        break;
    case IRP_MJ_SCSI:
        what = "SCSI minor " + std::to_string(r.minor);
        break;
    default:
        what = "major " + std::to_string(r.major) + " minor " + std::to_string(r.minor);
        break;
    }
    std::string target = r.target;
    if (!r.toStackBottom)
        target =
            namedFilters_.count(*printer) ? r.target + " above " + r.stackBottom : r.stackBottom;
    char time[32];
    snprintf(time, sizeof time, "[%10.4f ms] ", (double)(r.time - m_.BootTime()) / kMs);
    return time + where + " PASSED " + what + " -> " + StatusName(r.status) + ", to " + target;
}

bool Interpreter::Execute(const Words& w)
{
    for (const Rows<CommandRow>& family : Families())
        for (const CommandRow& command : family)
            if (w[0] == command.name)
                return (this->*command.run)(w);
    return Fail("unknown command '" + w[0] + "'");
}

int Interpreter::Run(std::istream& in, const std::string& registryFile)
{
    m_.Boot(false);
    passedShown_.clear();
    struct stat st;
    if (!registryFile.empty() && stat(registryFile.c_str(), &st) == 0) {
        std::string error = LoadRegistryFile(registryFile);
        if (!error.empty()) {
            fprintf(stderr, "prnsim: cannot load the registry from '%s': %s\n",
                    registryFile.c_str(), error.c_str());
            return 2;
        }
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        number++;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        Words w;
        if (!SplitWords(line, &w)) {
            fprintf(stderr, "prnsim: %s:%d: unterminated quote\n", source_.c_str(), number);
            Drain();
            m_.ShutdownAndCheck();
            return 2;
        }
        if (w.empty())
            continue;
        size_t start = line.find_first_not_of(" \t");
        fprintf(Out(), "> %s\n", line.substr(start).c_str());
        if (!RunLine(w)) {
            if (stoppedByHang_)
                break;
            fflush(out_);
            fprintf(stderr, "prnsim: %s:%d: %s\n", source_.c_str(), number, tError.c_str());
            // The machine still goes down in order, so nothing is left behind.
            Drain();
            m_.ShutdownAndCheck();
            return 2;
        }
    }
    if (in.bad() && !stoppedByHang_) {
        fprintf(stderr, "prnsim: cannot read '%s'\n", source_.c_str());
        return 2;
    }
    bool hang = EndStartedRequests() || stoppedByHang_;
    fprintf(Out(), "> (end of script: unplug every printer, unload the driver)\n");
    for (const std::string& port : m_.CloseAllHandles())
        Note("a handle on " + port + " was left open: closed, as the program's exit closes it");
    std::vector<std::string> problems = m_.ShutdownAndCheck();
    ShowBusEvents();
    // What the whole script put on the bus, as print's summary shows it.
    Note("the bus during the script:");
    PrintBusSummary(seen_, Out());
    if (problems.empty())
        Note("nothing left allocated, no verifier reports");
    for (const std::string& p : problems)
        Note(p);
    if (!registryFile.empty() && !SaveRegistryFile(registryFile)) {
        fprintf(stderr, "prnsim: cannot save the registry to '%s'\n", registryFile.c_str());
        return 2;
    }
    if (hang)
        return 3;
    return problems.empty() ? 0 : 1;
}

// At the end of the script: a started request still blocked is a hang,
// named with where it waits; one that finished unwaited shows its result.
// Then everything held goes on, so that the machine can go down.
bool Interpreter::EndStartedRequests()
{
    if (tasks_.empty())
        return false;
    Settle();
    bool hang = false;
    for (auto& t : tasks_) {
        if (t->done) {
            Note(t->name + " finished and was never waited for:");
            fflush(t->out);
            fwrite(t->text, 1, t->size, out_);
        } else {
            Note("hang: '" + t->name + "' is still blocked, " + WhereBlocked(*t));
            hang = true;
        }
    }
    if (hang)
        Note("what is held goes on and every blocked request is left to end");
    Drain();
    ShowBusEvents();
    return hang;
}

std::string Interpreter::WhereBlocked(Task& task)
{
    std::thread::id id = task.thread.get_id();
    std::string held = HeldBy(id);
    if (!held.empty())
        return "held in the printer: " + held;
    std::string wait = kmsim::WhereThreadWaits(id);
    if (!wait.empty())
        return "in the driver, " + wait;
    return "somewhere the simulator cannot name";
}

namespace
{

bool NumberOption(const std::vector<std::string>& args, size_t* i, uint64_t max, uint64_t* out)
{
    const std::string& name = args[*i];
    if (*i + 1 >= args.size()) {
        fprintf(stderr, "prnsim: %s needs a number\n", name.c_str());
        return false;
    }
    const std::string& text = args[++*i];
    char* end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v > max) {
        fprintf(stderr, "prnsim: bad %s '%s' (0 to %llu)\n", name.c_str(), text.c_str(),
                (unsigned long long)max);
        return false;
    }
    *out = v;
    return true;
}

} // namespace

// 0 when the options are good, else the exit code.
int ParseScriptOptions(const std::vector<std::string>& args, bool explore, ScriptOptions* o)
{
    o->explore = explore;
    const char* verb = explore ? "explore" : "run";
    for (size_t i = 0; i < args.size(); i++) {
        if (args[i] == "--async") {
            o->async = true;
        } else if (args[i] == "--lower-filter") {
            o->lowerFilter = true;
        } else if (args[i] == "--fold") {
            o->fold = true;
        } else if (args[i].compare(0, 7, "--mixed") == 0) {
            if (!ParseMixedOption(args[i], &o->mixedSeed)) {
                fprintf(stderr, "prnsim: bad option '%s' (--mixed or --mixed=SEED, SEED not 0)\n",
                        args[i].c_str());
                return 2;
            }
        } else if (args[i] == "--registry" && !explore) {
            if (i + 1 >= args.size()) {
                fprintf(stderr, "prnsim: --registry needs a FILE\n");
                return 2;
            }
            o->registry = args[++i];
        } else if (args[i] == "--schedule" && !explore) {
            if (i + 1 >= args.size()) {
                fprintf(stderr, "prnsim: --schedule needs a schedule (as explore printed it)\n");
                return 2;
            }
            o->schedule = args[++i];
        } else if (explore && args[i] == "--bound") {
            if (!NumberOption(args, &i, 4, &o->bound))
                return 2;
        } else if (explore && args[i] == "--max-schedules") {
            if (!NumberOption(args, &i, 100000000, &o->maxSchedules))
                return 2;
        } else if (explore && args[i] == "--pct") {
            o->pct = true;
        } else if (explore && args[i] == "--runs") {
            if (!NumberOption(args, &i, 100000000, &o->runs))
                return 2;
        } else if (explore && args[i] == "--depth") {
            if (!NumberOption(args, &i, 10, &o->depth))
                return 2;
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            fprintf(stderr, "prnsim: unknown option '%s' for %s\n", args[i].c_str(), verb);
            return 2;
        } else if (o->script.empty()) {
            o->script = args[i];
        } else {
            fprintf(stderr, "prnsim: %s takes one SCRIPT (got '%s' too)\n", verb, args[i].c_str());
            return 2;
        }
    }
    if (o->script.empty() || (explore && o->script == "-")) {
        fprintf(stderr, explore ? "prnsim: explore needs a SCRIPT file\n"
                                : "prnsim: run needs a SCRIPT (or - for standard input)\n");
        return 2;
    }
    return 0;
}

// One run of a script file, its output into `out`; the exit code of run.
int RunScriptOnce(const ScriptOptions& o, const std::string& text, FILE* out)
{
    Interpreter interpreter(o.script, out, o.async, o.mixedSeed, o.lowerFilter);
    interpreter.SetFold(o.fold);
    std::istringstream in(text);
    int code = interpreter.Run(in, o.registry);
    fflush(out);
    return code;
}

bool ReadScript(const std::string& path, std::string* text)
{
    std::ifstream file(path);
    if (!file) {
        fprintf(stderr, "prnsim: cannot open '%s': %s\n", path.c_str(), strerror(errno));
        return false;
    }
    std::ostringstream all;
    all << file.rdbuf();
    *text = all.str();
    return true;
}

// The help of every command, family by family; `printer`'s is that of
// its behaviours.
std::string Interpreter::Help()
{
    std::string text;
    for (const Rows<CommandRow>& family : Families())
        for (const CommandRow& command : family) {
            text += command.help;
            if (command.run == &Interpreter::PrinterCommand)
                for (const PrinterRow& behaviour : PrinterBehaviours())
                    text += behaviour.help;
        }
    return text;
}

} // namespace prnsim::script

namespace prnsim
{

using namespace script;

std::string ScriptLanguageHelp()
{
    return Interpreter::Help();
}

int RunScriptCommand(const std::vector<std::string>& args)
{
    ScriptOptions o;
    if (int code = ParseScriptOptions(args, false, &o))
        return code;
    if (!o.schedule.empty()) {
        std::string text;
        if (o.script == "-") {
            std::ostringstream all;
            all << std::cin.rdbuf();
            text = all.str();
        } else if (!ReadScript(o.script, &text)) {
            return 2;
        }
        return RunScheduled(o, text);
    }
    Interpreter interpreter(o.script == "-" ? "<stdin>" : o.script, stdout, o.async, o.mixedSeed,
                            o.lowerFilter);
    interpreter.SetFold(o.fold);
    if (o.script == "-")
        return interpreter.Run(std::cin, o.registry);
    std::ifstream file(o.script);
    if (!file) {
        fprintf(stderr, "prnsim: cannot open '%s': %s\n", o.script.c_str(), strerror(errno));
        return 2;
    }
    return interpreter.Run(file, o.registry);
}

} // namespace prnsim
