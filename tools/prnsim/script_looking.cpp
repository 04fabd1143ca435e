// Looking in a script: a printer's devices, IDs and counters, what it
// received, the registry, what is allocated, the clock; and tracing,
// repeating and echoing.
#include "interpreter.h"

#include "decode.h"

#include "prnsbp.h"

#include <sstream>

namespace prnsim::script
{

namespace
{

const std::string kControlSet = "\\Registry\\Machine\\System\\CurrentControlSet\\";

} // namespace

static std::string JoinIds(const std::vector<std::string>& ids)
{
    std::string s;
    for (const std::string& i : ids)
        s += (s.empty() ? "" : " | ") + i;
    return s;
}

bool Interpreter::Show(const std::string& name)
{
    SimulatedPrinter* p = Printer(name);
    if (!p)
        return false;
    if (!p->plugged) {
        Note(name + ": unplugged");
        return true;
    }
    for (int unit = 0; unit < 2; unit++) {
        PDEVICE_OBJECT fdo = m_.Fdo(name, unit);
        if (fdo == nullptr) {
            fprintf(Out(), "= unit %d: no device\n", unit);
            continue;
        }
        PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)fdo->DeviceExtension;
        std::string lpt =
            ext->LptNumber ? ", \\DosDevices\\LPT" + std::to_string(ext->LptNumber) : std::string();
        fprintf(Out(), "= unit %d: %s%s, %s, port number %lu\n", unit,
                kmsim::DeviceName(fdo).c_str(), lpt.c_str(),
                (ext->Flags & FLAG_STARTED) ? "started" : "not started",
                (unsigned long)ext->PortNumber);
    }
    for (const kmsim::InterfaceInfo& i : kmsim::Interfaces()) {
        if (i.pdo != m_.Pdo(name, 0) && i.pdo != m_.Pdo(name, 1))
            continue;
        fprintf(
            Out(), "= interface %s (%s): Port Number %s, Base Name %s, Port Description %s\n",
            i.symbolicLink.c_str(), i.enabled ? "enabled" : "disabled",
            RegistryValueText(i.keyPath, "Port Number").c_str(),
            RegistryValueText(i.keyPath, "Base Name").c_str(),
            (RegistryValueText(i.keyPath, "Port Description") +
             (detail_ ? ", Link Name " + RegistryValueText(i.keyPath, "Link Name") : std::string()))
                .c_str());
    }
    PDEVICE_OBJECT child = m_.Child(name);
    Note(child ? "child: " + kmsim::IdsOf(child).deviceId + "\\" + kmsim::IdsOf(child).instanceId
               : std::string("child: none reported"));
    return true;
}

bool Interpreter::Ids(const std::string& name)
{
    if (!Printer(name))
        return false;
    PDEVICE_OBJECT child = m_.Child(name);
    if (child == nullptr) {
        Note("no child reported");
        return true;
    }
    kmsim::DeviceIds ids = kmsim::QueryDeviceIds(child);
    ShowBusEvents();
    auto line = [&](const char* what, NTSTATUS s, const std::string& text) {
        fprintf(Out(), "= %-14s %s%s\n", what, StatusName(s).c_str(),
                NT_SUCCESS(s) ? (" " + text).c_str() : "");
    };
    line("device ID", ids.deviceIdStatus, ids.deviceId);
    line("instance ID", ids.instanceIdStatus, ids.instanceId);
    line("hardware IDs", ids.hardwareIdsStatus, JoinIds(ids.hardwareIds));
    line("compatible IDs", ids.compatibleIdsStatus, JoinIds(ids.compatibleIds));
    return true;
}

// What the port driver saw besides the bus: claims, descriptor and
// device-ID queries, and the PnP and power requests passed down to it.
void Interpreter::ShowCounters(SimulatedPrinter& p)
{
    sbp2sim::Counters& c = sbp2sim::CountersOf(p.bus);
    fprintf(Out(), "= storage queries %d, device-ID requests %d\n", c.storageQueries,
            c.deviceIdRequests);
    for (int unit = 0; unit < 2; unit++) {
        std::string pnp, power;
        for (UCHAR minor : c.pnp[unit])
            pnp += " " + PnpMinorName(minor);
        for (UCHAR minor : c.power[unit])
            power += " " + std::to_string(minor);
        fprintf(Out(),
                "= unit %d: claims %d, releases %d, creates %d, closes %d, SCSI %d; PnP%s; "
                "power%s\n",
                unit, c.claims[unit], c.releases[unit], c.creates[unit], c.closes[unit],
                c.scsi[unit], pnp.empty() ? " none" : pnp.c_str(),
                power.empty() ? " none" : power.c_str());
    }
}

void Interpreter::Leaks()
{
    std::string report = kmsim::LeakReport();
    if (report.empty()) {
        Note("nothing allocated");
        return;
    }
    std::istringstream s(report);
    std::string line;
    while (std::getline(s, line))
        if (!line.empty())
            Note(line);
}

bool Interpreter::IdsCommand(const Words& w)
{
    return Arity(w, 1, 1) && Ids(w[1]);
}

bool Interpreter::ShowCommand(const Words& w)
{
    return Arity(w, 1, 1) && Show(w[1]);
}

bool Interpreter::ClockCommand(const Words& w)
{
    uint64_t n;
    if (w.size() == 3 && w[1] == "set-back") {
        // The time of day set back (a user, a time server): the system time
        // reads less from now on, the clock itself goes on.
        if (!Number(w[2], 100000000, &n, "clock set-back"))
            return false;
        kmsim::SetSystemTimeBack((LONGLONG)n * kMs);
        Note("system time set back " + w[2] + " ms");
        return true;
    }
    if (!Arity(w, 1, 1) || !Number(w[1], 100000000, &n, "clock"))
        return false;
    // The time the clock was moved to: a request the move lets go (a
    // time-out) may move it on by itself before this is printed.
    double at = m_.ElapsedMs() + (double)n;
    kmsim::AdvanceClock((LONGLONG)n * kMs);
    char now[64];
    snprintf(now, sizeof now, "clock at %.4f ms", at);
    Note(now);
    return true;
}

bool Interpreter::RepeatCommand(const Words& w)
{
    uint64_t n;
    if (w.size() < 3)
        return Fail("repeat N COMMAND...");
    if (!Number(w[1], 100000, &n, "repeat"))
        return false;
    if (w[2] == "repeat")
        return Fail("repeat may not repeat a repeat");
    Words inner(w.begin() + 2, w.end());
    for (uint64_t i = 0; i < n; i++)
        if (!Execute(inner))
            return false;
    return true;
}

bool Interpreter::RegistryCommand(const Words& w)
{
    if (!Arity(w, 0, 1))
        return false;
    std::string prefix = w.size() > 1 ? w[1] : "";
    if (!prefix.empty() && prefix[0] != '\\')
        prefix = kControlSet + prefix;
    for (const std::string& line : m_.RegistryDump(prefix))
        fprintf(Out(), "  %s\n", line.c_str());
    return true;
}

bool Interpreter::CountersCommand(const Words& w)
{
    SimulatedPrinter* p = Arity(w, 1, 1) ? Printer(w[1]) : nullptr;
    if (!p)
        return false;
    ShowCounters(*p);
    return true;
}

bool Interpreter::ReceivedCommand(const Words& w)
{
    SimulatedPrinter* p = Arity(w, 1, 1) ? Printer(w[1]) : nullptr;
    if (!p)
        return false;
    std::vector<UCHAR> data = p->model->PrintData();
    StreamSummary decoded = DecodeStream(data.data(), data.size());
    Note(std::to_string(data.size()) + " bytes of print data, " + std::to_string(decoded.commands) +
         " commands");
    for (const std::string& line : decoded.lines)
        fprintf(Out(), "  %s\n", line.c_str());
    return true;
}

bool Interpreter::LeaksCommand(const Words& w)
{
    if (!Arity(w, 0, 0))
        return false;
    Leaks();
    return true;
}

bool Interpreter::DetailCommand(const Words& w)
{
    if (!Arity(w, 1, 1) || (w[1] != "on" && w[1] != "off"))
        return Fail(w[0] + " on|off");
    (w[0] == "detail" ? detail_ : interleave_) = w[1] == "on";
    return true;
}

bool Interpreter::EchoCommand(const Words& w)
{
    std::string text;
    for (size_t i = 1; i < w.size(); i++)
        text += (i > 1 ? " " : "") + w[i];
    fprintf(Out(), "%s\n", text.c_str());
    return true;
}

Rows<CommandRow> Interpreter::LookingCommands()
{
    static const CommandRow kRows[] = {
        {"detail", &Interpreter::DetailCommand,
         R"(  detail on|off                 every SRB's other fields on a line under it
                                (function, SrbFlags, queue tag and action,
                                time-out, CDB length, sense length, CDB bytes
                                8-15); the claims, storage queries and
                                device-ID requests the port driver answered
                                ("p/0 CLAIM ...", "p/0 STORAGE QUERY ...",
                                "p/1 SBP2 REQUEST ..."); every request the
                                driver passed down (PnP, power, WMI, SRBs,
                                control codes it does not handle, from a
                                kernel-mode handle) once it
                                has come back: the device it went to and
                                its status ("p/0 PASSED device control
                                0x00220000 -> STATUS_INVALID_DEVICE_REQUEST,
                                to \Device\Sbp2\..."; a filter of "plug
                                ... filter" is named, one of --lower-filter
                                is not)
)"},
        {"interleave", &Interpreter::DetailCommand,
         R"(  interleave on|off             bus lines of all printers by time instead of
                                printer by printer
)"},
        {"ids", &Interpreter::IdsCommand,
         R"(  ids NAME                      ask the child for its IDs and show them
)"},
        {"show", &Interpreter::ShowCommand,
         R"(  show NAME                     devices, port and child of a printer
)"},
        {"clock", &Interpreter::ClockCommand,
         R"(  clock MS                      advance the simulated clock by MS milliseconds
  clock set-back MS             set the system time back MS milliseconds (a
                                user or a time server); the clock goes on
)"},
        {"repeat", &Interpreter::RepeatCommand,
         R"(  repeat N COMMAND...           run COMMAND N times
)"},
        {"received", &Interpreter::ReceivedCommand,
         R"(  received NAME                 the print data the printer took, decoded
)"},
        {"counters", &Interpreter::CountersCommand,
         R"(  counters NAME                 what the port driver saw: claims, descriptor
                                and device-ID queries, PnP and power minors
)"},
        {"registry", &Interpreter::RegistryCommand,
         R"(  registry [PREFIX]             dump the registry (under PREFIX)
)"},
        {"leaks", &Interpreter::LeaksCommand,
         R"(  leaks                         what is allocated now, by pool tag
)"},
        {"echo", &Interpreter::EchoCommand,
         R"(  echo TEXT                     print TEXT
)"},
    };
    return {kRows, sizeof kRows / sizeof kRows[0]};
}

} // namespace prnsim::script
