// Concurrency in a script: every line runs on a thread of its own, `start`
// leaves a request running beside what follows and `wait` collects it;
// `explore` runs a script under every schedule of its threads, and
// `run --schedule` under one.
#include "interpreter.h"

#include <array>
#include <chrono>

namespace prnsim::script
{

Task* Interpreter::FindTask(const std::string& name)
{
    for (auto& t : tasks_)
        if (t->name == name)
            return t.get();
    return nullptr;
}

// The command of a task, run on the task's own thread.
void Interpreter::RunTask(Task& task, const Words& w)
{
    tOut = task.out;
    task.ok = Execute(w);
    task.error = tError;
    if (task.out)
        fflush(task.out);
    tOut = nullptr; // explored, the thread runs other tasks after
}

void Interpreter::Launch(Task& task, const Words& w)
{
    if (kmsim::Scheduled()) {
        // Explored: a thread of the schedule, named as schedule strings
        // name it (a started request by its name, a line by its command
        // and number).
        std::string name = task.name.empty() ? w[0] + "#" + std::to_string(++launched_) : task.name;
        kmsim::Spawn(name, [this, &task, w] {
            RunTask(task, w);
            task.done = true;
        });
        return;
    }
    task.thread = std::thread([this, &task, w] {
        RunTask(task, w);
        std::lock_guard<std::mutex> g(progressLock_);
        task.done = true;
        progress_.notify_all();
    });
}

// Waits until no thread of the script can go on by itself: each has
// finished, or waits in the driver for something another must do, or
// carries an SRB held in a printer, and the port driver has nothing left
// to complete. From there the script's next command is the only thing
// that happens, so its output does not depend on the threads' timing.
bool Interpreter::Settle()
{
    if (kmsim::Scheduled()) {
        kmsim::WaitUntilOthersRest("the script, for the machine to come to rest");
        return true;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    std::array<size_t, 4> last{};
    int quietPolls = 0;
    while (Clock::now() < deadline) {
        size_t live = command_ && !command_->done ? 1 : 0;
        for (auto& t : tasks_)
            live += t->done ? 0 : 1;
        HeldCounts held = HeldNow();
        size_t waiting = kmsim::ThreadsWaitingInVain();
        size_t completing = sbp2sim::CompletionsInProgress();
        bool quiet = completing == held.onCompletionThread && waiting + held.elsewhere == live;
        if (quiet && live == 0 && completing == 0)
            return true;
        std::array<size_t, 4> now{live, waiting, held.elsewhere, completing};
        // The counts are read one after another: the same quiet picture
        // several times running rules out one caught in passing.
        quietPolls = quiet && now == last ? quietPolls + 1 : 0;
        last = now;
        if (quietPolls >= 3)
            return true;
        std::unique_lock<std::mutex> g(progressLock_);
        progress_.wait_for(g, std::chrono::microseconds(300));
    }
    return false;
}

// Everything held goes on and every started request runs to its end.
void Interpreter::Drain()
{
    m_.ReleaseAll();
    if (kmsim::Scheduled()) {
        // Their threads are the schedule's: let them end before the tasks go.
        auto allDone = [this] {
            for (auto& t : tasks_)
                if (!t->done)
                    return false;
            return command_ == nullptr || command_->done.load();
        };
        while (!allDone())
            if (!kmsim::Block(allDone, "the script, for its requests to end"))
                kmsim::Point(kmsim::PointKind::kYield);
    }
    if (command_ && command_->thread.joinable())
        command_->thread.join();
    tasks_.clear();
}

void Interpreter::ShowHeld()
{
    for (const std::string& h : NewlyHeld())
        Note("held in the printer: " + h);
}

// One line of the script, on a thread of its own so that a command that
// blocks comes back as an error instead of a hang.
bool Interpreter::RunLine(const Words& w)
{
    if (w[0] == "start")
        return StartCommand(w);
    if (w[0] == "wait")
        return WaitCommand(w);
    Task task;
    command_ = &task;
    Launch(task, w);
    Settle();
    if (!task.done) {
        tError =
            "'" + w[0] + "' does not finish (" + WhereBlocked(task) +
            "): it waits for a request that is blocked; give it a name with 'start NAME: " + w[0] +
            " ...'";
        Drain();
        command_ = nullptr;
        return false;
    }
    if (task.thread.joinable())
        task.thread.join();
    command_ = nullptr;
    ShowBusEvents();
    ShowHeld();
    tError = task.error;
    return task.ok;
}

static bool Startable(const std::string& command)
{
    static const char* kStartable[] = {
        "open",          "close",    "write",         "read",           "ioctl",
        "internal",      "wmi",      "pnp",           "power",          "rebalance",
        "remove-device", "surprise", "surprise-only", "finish-removal", "enumerate",
        "ids",           "unplug",   "start-device"};
    for (const char* c : kStartable)
        if (command == c)
            return true;
    return false;
}

bool Interpreter::StartCommand(const Words& w)
{
    if (w.size() < 3 || w[1].size() < 2 || w[1].back() != ':')
        return Fail("start NAME: COMMAND ...");
    std::string name = w[1].substr(0, w[1].size() - 1);
    if (FindTask(name))
        return Fail("a request named '" + name + "' is already started");
    if (!Startable(w[2]))
        return Fail("'" + w[2] + "' cannot be started (a request, PnP, power or removal can)");
    tasks_.push_back(std::make_unique<Task>());
    Task& task = *tasks_.back();
    task.name = name;
    task.out = open_memstream(&task.text, &task.size);
    Launch(task, Words(w.begin() + 2, w.end()));
    if (kmsim::Scheduled()) {
        // Explored: what is started runs beside what comes next, in every
        // order the schedule gives, until 'wait'.
        Note(name + ": started");
        return true;
    }
    if (!Settle())
        return Fail("the machine did not come to rest after starting '" + name + "'");
    if (task.done && !task.ok) {
        tError = task.error;
        return false;
    }
    ShowBusEvents();
    ShowHeld();
    Note(name + (task.done ? ": finished" : ": blocked, " + WhereBlocked(task)));
    return true;
}

bool Interpreter::WaitCommand(const Words& w)
{
    if (!Arity(w, 1, 1))
        return false;
    Task* task = FindTask(w[1]);
    if (task == nullptr)
        return Fail("no started request named '" + w[1] + "'");
    if (!Settle())
        return Fail("the machine did not come to rest");
    if (!task->done) {
        // Nothing would ever end the wait: a hang, as at the script's end.
        Note("'" + w[1] + "' is still blocked: the script stops here");
        stoppedByHang_ = true;
        return false;
    }
    if (task->thread.joinable())
        task->thread.join();
    ShowBusEvents();
    ShowHeld();
    fflush(task->out);
    fwrite(task->text, 1, task->size, out_);
    for (auto it = tasks_.begin(); it != tasks_.end(); ++it)
        if (it->get() == task) {
            tasks_.erase(it);
            break;
        }
    return true;
}

Rows<CommandRow> Interpreter::ConcurrencyCommands()
{
    static const CommandRow kRows[] = {
        {"start", &Interpreter::StartCommand,
         R"(  start NAME: COMMAND...        run a request, PnP, power or removal command
                                and go on with the script once everything
                                has come to rest (finished, blocked in the
                                printer or waiting in the driver); e.g.
                                "start w: write p.0 4096"
)"},
        {"wait", &Interpreter::WaitCommand,
         R"(  wait NAME                     the started command's result; when it is
                                still blocked the script stops there: a
                                hang (exit code 3), as at the script's end
)"},
    };
    return {kRows, sizeof kRows / sizeof kRows[0]};
}

// A script under one schedule: its output as run prints it, then what the
// explorer reports.
int RunScheduled(const ScriptOptions& o, const std::string& text)
{
    int code = 0;
    kmsim::ExploreResult r =
        kmsim::Replay(o.schedule, [&] { code = RunScriptOnce(o, text, stdout); });
    if (r.failures.empty())
        return code;
    const std::vector<std::string>& reports = r.failures[0].reports;
    if (!reports.empty() && reports[0].rfind("bad schedule step", 0) == 0) {
        fprintf(stderr, "prnsim: %s\n", reports[0].c_str());
        return 2;
    }
    printf("schedule \"%s\":\n", o.schedule.c_str());
    for (const std::string& line : r.failures[0].reports)
        printf("  %s\n", line.c_str());
    return code != 0 ? code : 1;
}

} // namespace prnsim::script

namespace prnsim
{

using namespace script;

// Every schedule of a script's started requests within the bound, each run
// from the first line in-process; stops at the first run that fails and
// prints its schedule, what went wrong, its output and how to replay it.
int ExploreScriptCommand(const std::vector<std::string>& args)
{
    ScriptOptions o;
    if (int code = ParseScriptOptions(args, true, &o))
        return code;
    std::string text;
    if (!ReadScript(o.script, &text))
        return 2;
    kmsim::ExploreOptions options;
    options.bound = (int)o.bound;
    options.maxSchedules = (size_t)o.maxSchedules;
    options.pct = o.pct;
    options.runs = (size_t)o.runs;
    options.depth = (int)o.depth;
    options.progress = [](size_t n) {
        if (n % 1000 == 0)
            fprintf(stderr, "prnsim: %zu schedules so far\n", n);
    };
    std::string failedOutput;
    int failedCode = 0;
    kmsim::ExploreResult r = kmsim::Explore(options, [&] {
        char* buffer = nullptr;
        size_t size = 0;
        FILE* out = open_memstream(&buffer, &size);
        int code = RunScriptOnce(o, text, out);
        fclose(out);
        if (code != 0) {
            kmsim::Report("the run ended with exit code " + std::to_string(code));
            failedOutput.assign(buffer, size);
            failedCode = code;
        }
        free(buffer);
    });
    printf("%zu schedule%s%s, longest run %lu schedule points\n", r.schedules,
           r.schedules == 1 ? "" : "s",
           r.complete ? (o.pct ? "" : " (every one within the bound)") : " (stopped early)",
           r.longestRun);
    if (r.failures.empty()) {
        printf("no schedule failed\n");
        return 0;
    }
    const kmsim::ExploreFailure& f = r.failures[0];
    printf("schedule \"%s\" fails (%d preemption%s):\n", f.schedule.c_str(), f.preemptions,
           f.preemptions == 1 ? "" : "s");
    for (const std::string& line : f.reports)
        printf("  %s\n", line.c_str());
    if (!failedOutput.empty())
        printf("its output (exit code %d):\n%s", failedCode, failedOutput.c_str());
    std::string options_text = o.async ? " --async" : "";
    if (o.lowerFilter)
        options_text += " --lower-filter";
    if (o.mixedSeed != 0)
        options_text += " --mixed=" + std::to_string(o.mixedSeed);
    printf("replay: prnsim run %s%s --schedule \"%s\"\n", o.script.c_str(), options_text.c_str(),
           f.schedule.c_str());
    return 1;
}

} // namespace prnsim
