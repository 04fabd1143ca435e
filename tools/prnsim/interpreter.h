// The interpreter of prnsim's scripting language. Its commands come in
// families, one file each: the machine (script_machine.cpp), port requests
// (script_port.cpp), printer behaviour (script_printer.cpp), concurrency
// and exploring (script_concurrency.cpp), and looking (script_looking.cpp).
// Each family's table holds every command's name, the member that runs it
// and its lines of `prnsim --help`, so the help cannot drift from the
// commands.
#ifndef PRNSIM_INTERPRETER_H
#define PRNSIM_INTERPRETER_H

#include "machine.h"
#include "names.h"
#include "text.h"

#include "explore.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace prnsim::script
{

// What went wrong with the command the calling thread ran.
extern thread_local std::string tError;
// Where a started request writes its result lines until it is waited for.
extern thread_local FILE* tOut;

// A command running on its own thread: every command does, so that one
// that blocks is noticed instead of hanging the script; `start` leaves it
// running and `wait` collects it.
struct Task {
    std::string name;
    std::thread thread;
    std::atomic<bool> done{false};
    bool ok = true;
    std::string error;
    char* text = nullptr; // its output, when started
    size_t size = 0;
    FILE* out = nullptr;
    ~Task()
    {
        if (thread.joinable())
            thread.join();
        if (out)
            fclose(out);
        free(text);
    }
};

class Interpreter;
using Words = std::vector<std::string>;

// One command of the language: its first word, what runs it, and its lines
// of the help (empty where the row above describes it too).
struct CommandRow {
    const char* name;
    bool (Interpreter::*run)(const Words&);
    const char* help;
};

// The same for a behaviour of `printer NAME ...`.
struct PrinterRow {
    const char* name;
    bool (Interpreter::*run)(SimulatedPrinter&, const Words&);
    const char* help;
};

template <typename Row> struct Rows {
    const Row* rows;
    size_t count;
    const Row* begin() const { return rows; }
    const Row* end() const { return rows + count; }
};

class Interpreter
{
  public:
    Interpreter(const std::string& source, FILE* out, bool async, unsigned mixedSeed,
                bool lowerFilter)
        : source_(source), out_(out), async_(async), mixedSeed_(mixedSeed),
          lowerFilter_(lowerFilter)
    {
    }

    int Run(std::istream& in, const std::string& registryFile);
    // Runs of trace lines alike but for their time (and a write's sequence
    // byte) as their first line and a count.
    void SetFold(bool fold) { fold_ = fold; }

    // The script language's lines of `prnsim --help`.
    static std::string Help();

  private:
    // The command families, in the order the help lists them.
    static std::vector<Rows<CommandRow>> Families();
    static Rows<CommandRow> MachineCommands();
    static Rows<CommandRow> PortCommands();
    static Rows<CommandRow> PrinterCommands();
    static Rows<PrinterRow> PrinterBehaviours();
    static Rows<CommandRow> ConcurrencyCommands();
    static Rows<CommandRow> LookingCommands();

    bool Execute(const Words& w);
    bool RunLine(const Words& w);
    void Launch(Task& task, const Words& w);
    void RunTask(Task& task, const Words& w);
    bool Settle();
    void Drain();
    void ShowHeld();
    bool StartCommand(const Words& w);
    bool WaitCommand(const Words& w);
    Task* FindTask(const std::string& name);
    bool EndStartedRequests();
    std::string WhereBlocked(Task& task);
    bool Fail(const std::string& message)
    {
        tError = message;
        return false;
    }
    void Result(NTSTATUS status, ULONG_PTR information, const std::string& extra = "")
    {
        fprintf(Out(), "= %s, information %lu%s\n", StatusName(status).c_str(),
                (unsigned long)information, extra.c_str());
    }
    void Note(const std::string& text) { fprintf(Out(), "= %s\n", text.c_str()); }
    FILE* Out() const { return tOut ? tOut : out_; }
    void ShowBusEvents();

    bool Number(const std::string& text, uint64_t max, uint64_t* value, const char* what)
    {
        if (ParseNumber(text, max, value))
            return true;
        return Fail("bad number '" + text + "' for " + what);
    }
    bool Arity(const Words& w, size_t min, size_t max)
    {
        if (w.size() - 1 < min || w.size() - 1 > max)
            return Fail("'" + w[0] + "' takes " +
                        (min == max ? std::to_string(min)
                                    : std::to_string(min) + " to " + std::to_string(max)) +
                        " argument(s)");
        return true;
    }
    bool Status(const std::string& text, NTSTATUS* status)
    {
        if (ParseStatus(text, status))
            return true;
        return Fail("unknown status '" + text + "'");
    }
    // NAME.0, NAME.1 (the unit FDOs) or NAME.child; pdo: the unit PDO instead.
    bool Device(const std::string& text, PDEVICE_OBJECT* device, bool pdo = false);
    SimulatedPrinter* Printer(const std::string& name)
    {
        SimulatedPrinter* p = m_.Find(name);
        if (p == nullptr)
            Fail("no printer named '" + name + "'");
        return p;
    }

    bool Plug(const Words& w);
    bool Show(const std::string& name);
    bool Ids(const std::string& name);
    bool Pnp(const Words& w);
    bool Power(const Words& w);
    bool Manager(const Words& w);
    bool WriteCommand(const Words& w);
    std::string BufferedNote(PDEVICE_OBJECT device);
    bool Ioctl(const Words& w);
    bool PrinterCommand(const Words& w);
    bool InternalCommand(const Words& w);
    bool WmiCommand(const Words& w);
    void WatchDriver();
    std::string PassedLine(const kmsim::PassedRequest& r, std::string* printer);
    bool FaultTarget(const Words& w, size_t from, const char* what, uint64_t* count, int* opcode,
                     int* subcode);
    bool PrinterRefuse(SimulatedPrinter& p, const Words& w);
    bool PrinterDeliver(SimulatedPrinter& p, const Words& w);
    bool PrinterFail(SimulatedPrinter& p, const Words& w);
    bool PrinterReply(SimulatedPrinter& p, const Words& w);
    bool PrinterCreate(SimulatedPrinter& p, const Words& w);
    bool PrinterAsync(SimulatedPrinter& p, const Words& w);
    bool PrinterClear(SimulatedPrinter& p, const Words& w);
    bool PrinterHold(SimulatedPrinter& p, const Words& w);
    bool PrinterRefuseNext(SimulatedPrinter& p, const Words& w);
    bool PrinterRelease(SimulatedPrinter& p, const Words& w);
    bool Restart();
    void Leaks();
    bool PlatformCommand(const Words& w);
    bool ConfigCommand(const Words& w);
    bool LoadCommand(const Words& w);
    bool UnloadCommand(const Words& w);
    bool RestartCommand(const Words& w);
    bool UnplugCommand(const Words& w);
    bool IdsCommand(const Words& w);
    bool ShowCommand(const Words& w);
    bool OpenCommand(const Words& w);
    bool CloseCommand(const Words& w);
    // A port request's way in: the port's last handle, or with none open
    // the device itself, said in a note.
    bool Port(const std::string& text, PDEVICE_OBJECT* device, PFILE_OBJECT* file);
    bool ReadCommand(const Words& w);
    bool ClockCommand(const Words& w);
    bool RepeatCommand(const Words& w);
    bool RegistryCommand(const Words& w);
    bool CountersCommand(const Words& w);
    bool ReceivedCommand(const Words& w);
    bool LeaksCommand(const Words& w);
    bool EchoCommand(const Words& w);
    bool DetailCommand(const Words& w);
    bool AllocFailCommand(const Words& w);
    void ShowCounters(SimulatedPrinter& p);

    std::string source_;
    FILE* out_;
    Machine m_;
    bool async_ = false;         // every printer completes from the port driver's thread
    unsigned mixedSeed_ = 0;     // non-zero: every printer mixes both completions
    bool lowerFilter_ = false;   // a lower filter below the driver on every printer
    bool fold_ = false;          // --fold
    bool stoppedByHang_ = false; // a `wait` for a request that can never end
    bool legacy_ = false;
    bool detail_ = false;     // `detail on`: SRB fields and where requests went
    bool interleave_ = false; // `interleave on`: bus events of all printers by time
    // Unit PDO names of the printers plugged so far, as "p/0"; the printers
    // plugged with `filter`, whose lower filter the trace names (one added
    // by --lower-filter is left out, so that every mode shows the same).
    std::map<std::string, std::string> unitOfPdo_;
    std::set<std::string> namedFilters_;
    std::vector<bool> passedShown_; // entries of kmsim::PassedRequests() shown
    std::vector<SeenEvent> seen_;   // every bus event shown, for the summary at the end
    unsigned long long patternSeed_ = 0;
    std::vector<std::unique_ptr<Task>> tasks_; // started and not yet waited for
    Task* command_ = nullptr;                  // the script's current command
    unsigned launched_ = 0;                    // lines run so far, explored
    std::mutex progressLock_;
    std::condition_variable progress_; // a task finished
};

// The options of `run` and `explore`.
struct ScriptOptions {
    std::string script, registry, schedule;
    bool async = false, lowerFilter = false, fold = false;
    unsigned mixedSeed = 0;
    // explore
    bool explore = false, pct = false;
    uint64_t bound = 2, runs = 1000, depth = 2, maxSchedules = 200000;
};

// 0 when the options are good, else the exit code.
int ParseScriptOptions(const std::vector<std::string>& args, bool explore, ScriptOptions* o);
// One run of a script's text, its output into `out`; the exit code of run.
int RunScriptOnce(const ScriptOptions& o, const std::string& text, FILE* out);
bool ReadScript(const std::string& path, std::string* text);
// Runs of trace lines that differ only in their time and, in a vendor data
// write, the sequence byte: the first line, then "... N more like it".
std::vector<std::string> FoldRuns(const std::vector<std::string>& lines);
// A script under one schedule (`run --schedule`).
int RunScheduled(const ScriptOptions& o, const std::string& text);

} // namespace prnsim::script

#endif
