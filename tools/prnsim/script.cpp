// `prnsim run SCRIPT`: a scenario of the driver's life, one command per
// line, so any situation can be reproduced and kept as a test.
#include "commands.h"

#include "decode.h"
#include "machine.h"
#include "names.h"
#include "text.h"

#include "explore.h"
#include "prnsbp.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <set>
#include <iostream>
#include <sstream>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace prnsim
{

namespace
{

const std::string kControlSet = "\\Registry\\Machine\\System\\CurrentControlSet\\";

// What went wrong with the command the calling thread ran.
thread_local std::string tError;
// Where a started request writes its result lines until it is waited for.
thread_local FILE* tOut = nullptr;

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

  private:
    using Words = std::vector<std::string>;

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
    bool OpenCloseCommand(const Words& w);
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
    bool async_ = false;       // every printer completes from the port driver's thread
    unsigned mixedSeed_ = 0;   // non-zero: every printer mixes both completions
    bool lowerFilter_ = false; // a lower filter below the driver on every printer
    bool legacy_ = false;
    bool detail_ = false;     // `detail on`: SRB fields and where requests went
    bool interleave_ = false; // `interleave on`: bus events of all printers by time
    // Unit PDO names of the printers plugged so far, as "p/0"; the printers
    // plugged with `filter`, whose lower filter the trace names (one added
    // by --lower-filter is left out, so that every mode shows the same).
    std::map<std::string, std::string> unitOfPdo_;
    std::set<std::string> namedFilters_;
    std::vector<bool> passedShown_; // entries of kmsim::PassedRequests() shown
    unsigned long long patternSeed_ = 0;
    std::vector<std::unique_ptr<Task>> tasks_; // started and not yet waited for
    Task* command_ = nullptr;                  // the script's current command
    unsigned launched_ = 0;                    // lines run so far, explored
    std::mutex progressLock_;
    std::condition_variable progress_; // a task finished
};

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

bool Interpreter::Plug(const Words& w)
{
    if (w.size() < 2)
        return Fail("plug needs a printer NAME");
    const std::string& name = w[1];
    if (name.find('.') != std::string::npos)
        return Fail("a printer name may not contain '.'");
    if (SimulatedPrinter* p = m_.Find(name); p && p->plugged)
        return Fail("printer '" + name + "' is already plugged in");
    if (!m_.DriverLoaded())
        return Fail("plug: load the driver first");
    sbp2sim::PrinterConfig c;
    PlugOrder order;
    c.async = async_;
    c.mixedSeed = mixedSeed_;
    kmsim::LowerFilterOptions filter;
    filter.enabled = lowerFilter_;
    namedFilters_.erase(name);
    for (size_t i = 2; i < w.size(); i++) {
        std::string key, value;
        if (w[i] == "async") {
            c.async = true;
            c.mixedSeed = 0;
            continue;
        }
        if (w[i] == "filter") {
            filter.enabled = true;
            namedFilters_.insert(name);
            continue;
        }
        if (w[i] == "unit1-first") {
            order.unit1First = true;
            continue;
        }
        if (w[i] == "nostart0" || w[i] == "nostart1") {
            order.start[w[i].back() - '0'] = false;
            continue;
        }
        if (!SplitOption(w[i], &key, &value))
            return Fail("bad plug option '" + w[i] + "'");
        value = Unescape(value);
        if (key == "key")
            c.key = value;
        else if (key == "id")
            c.deviceId = value;
        else if (key == "bus" && (value == "1394" || value == "scsi"))
            c.is1394 = value == "1394";
        else if (key == "vendor")
            c.vendor = value;
        else if (key == "product")
            c.product = value;
        else if (key == "name0")
            c.unitName[0] = value;
        else if (key == "name1")
            c.unitName[1] = value;
        else if (key == "units" && (value == "01" || value == "0" || value == "1")) {
            c.unitPresent[0] = value.find('0') != std::string::npos;
            c.unitPresent[1] = value.find('1') != std::string::npos;
        } else if (key == "claim") {
            if (!Status(value, &c.claimStatus))
                return false;
        } else if (key == "idstatus") {
            if (!Status(value, &c.deviceIdStatus))
                return false;
        } else if (key == "storage") {
            if (!Status(value, &c.storageStatus))
                return false;
        } else {
            return Fail("bad plug option '" + w[i] + "'");
        }
    }
    for (int unit = 0; unit < 2; unit++)
        unitOfPdo_[sbp2sim::UnitName(c, unit)] = name + "/" + std::to_string(unit);
    kmsim::SetLowerFilter(filter);
    std::vector<NTSTATUS> results = m_.Plug(name, c, order);
    kmsim::SetLowerFilter(kmsim::LowerFilterOptions());
    ShowBusEvents();
    for (int unit = 0; unit < 2; unit++) {
        if (!c.unitPresent[unit])
            continue;
        PDEVICE_OBJECT fdo = m_.Fdo(name, unit);
        fprintf(Out(), "= unit %d: %s%s\n", unit, StatusName(results[unit]).c_str(),
                fdo ? (" " + kmsim::DeviceName(fdo)).c_str() : "");
    }
    return true;
}

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
        fprintf(Out(), "= interface %s (%s): Port Number %s, Base Name %s, Port Description %s\n",
                i.symbolicLink.c_str(), i.enabled ? "enabled" : "disabled",
                RegistryValueText(i.keyPath, "Port Number", true).c_str(),
                RegistryValueText(i.keyPath, "Base Name", true).c_str(),
                (RegistryValueText(i.keyPath, "Port Description", true) +
                 (detail_ ? ", Link Name " + RegistryValueText(i.keyPath, "Link Name", true)
                          : std::string()))
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

static bool ParseUsageType(const std::string& t, DEVICE_USAGE_NOTIFICATION_TYPE* usage)
{
    static const struct {
        const char* name;
        DEVICE_USAGE_NOTIFICATION_TYPE type;
    } kTypes[] = {{"paging", DeviceUsageTypePaging},
                  {"hibernation", DeviceUsageTypeHibernation},
                  {"dumpfile", DeviceUsageTypeDumpFile},
                  {"undefined", DeviceUsageTypeUndefined}};
    for (const auto& k : kTypes)
        if (t == k.name) {
            *usage = k.type;
            return true;
        }
    return false;
}

static bool ParseIdType(const std::string& t, BUS_QUERY_ID_TYPE* idType)
{
    static const struct {
        const char* name;
        BUS_QUERY_ID_TYPE type;
    } kTypes[] = {{"device", BusQueryDeviceID},
                  {"hardware", BusQueryHardwareIDs},
                  {"compatible", BusQueryCompatibleIDs},
                  {"instance", BusQueryInstanceID},
                  {"serial", BusQueryDeviceSerialNumber}};
    for (const auto& k : kTypes)
        if (t == k.name) {
            *idType = k.type;
            return true;
        }
    return false;
}

// The answer to IRP_MN_QUERY_ID is a pool string that the PnP manager owns
// and frees; hardware and compatible IDs are a list ending in an empty string.
static std::string TakeIdString(const kmsim::IrpResult& r, BUS_QUERY_ID_TYPE idType)
{
    std::string s;
    if (!NT_SUCCESS(r.status) || r.information == 0)
        return s;
    PWCHAR text = (PWCHAR)r.information;
    bool multi = idType == BusQueryHardwareIDs || idType == BusQueryCompatibleIDs;
    for (size_t i = 0;; i++) {
        if (text[i] == 0) {
            if (!multi || text[i + 1] == 0)
                break;
            s += " | ";
        } else {
            s += text[i] < 0x80 ? (char)text[i] : '?';
        }
    }
    ExFreePool(text);
    return s;
}

// Types by name or number (a type the driver does not know included).
static bool ParseRelationType(const std::string& t, DEVICE_RELATION_TYPE* type)
{
    static const char* kNames[] = {"bus", "ejection", "power", "removal", "target"};
    for (int i = 0; i < 5; i++)
        if (t == kNames[i]) {
            *type = (DEVICE_RELATION_TYPE)i;
            return true;
        }
    uint64_t n;
    if (!ParseNumber(t, 255, &n))
        return false;
    *type = (DEVICE_RELATION_TYPE)n;
    return true;
}

// A relations list belongs to whoever asked: its references go back and
// the list is freed.
static std::string TakeRelations(const kmsim::IrpResult& r)
{
    if (!NT_SUCCESS(r.status) || r.information == 0)
        return "";
    PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)r.information;
    std::string s = ": " + std::to_string(relations->Count) + " device(s)";
    for (ULONG i = 0; i < relations->Count; i++) {
        std::string name = kmsim::DeviceName(relations->Objects[i]);
        s += " " + (name.empty() ? std::string("(unnamed)") : name);
        ObDereferenceObject(relations->Objects[i]);
    }
    ExFreePool(relations);
    return s;
}

// A PnP request as the PnP manager would send it alone.
bool Interpreter::Pnp(const Words& w)
{
    if (!Arity(w, 2, 4))
        return false;
    PDEVICE_OBJECT device;
    UCHAR minor;
    if (!Device(w[1], &device, true))
        return false;
    if (!ParsePnpMinor(w[2], &minor))
        return Fail("unknown PnP request '" + w[2] + "'");
    DEVICE_CAPABILITIES caps = {};
    caps.Size = sizeof caps;
    caps.Version = 1;
    DEVICE_USAGE_NOTIFICATION_TYPE usage = DeviceUsageTypePaging;
    BUS_QUERY_ID_TYPE idType = BusQueryDeviceID;
    DEVICE_RELATION_TYPE relationType = BusRelations;
    DEVICE_TEXT_TYPE textType = DeviceTextDescription;
    uint64_t n;
    if (minor == IRP_MN_QUERY_DEVICE_RELATIONS) {
        if (w.size() < 4 || !ParseRelationType(w[3], &relationType))
            return Fail("pnp DEV query-relations ejection|power|removal|target|N");
        if (relationType == BusRelations)
            return Fail("ask for bus relations with 'enumerate DEV'");
    }
    if (minor == IRP_MN_DEVICE_USAGE_NOTIFICATION && w.size() > 3 && !ParseUsageType(w[3], &usage))
        return Fail("unknown usage type '" + w[3] + "'");
    if (minor == IRP_MN_QUERY_ID && w.size() > 3 && !ParseIdType(w[3], &idType)) {
        if (!ParseNumber(w[3], 255, &n))
            return Fail("unknown ID type '" + w[3] + "'");
        idType = (BUS_QUERY_ID_TYPE)n;
    }
    if (minor == IRP_MN_QUERY_DEVICE_TEXT && w.size() > 3) {
        if (w[3] == "location")
            textType = DeviceTextLocationInformation;
        else if (w[3] != "description")
            return Fail("unknown text type '" + w[3] + "' (description or location)");
    }
    bool inPath = !(w.size() > 4 && w[4] == "out");
    kmsim::IrpResult r = kmsim::SendPnp(device, minor, [&](PIO_STACK_LOCATION s) {
        if (minor == IRP_MN_QUERY_CAPABILITIES)
            s->Parameters.DeviceCapabilities.Capabilities = &caps;
        if (minor == IRP_MN_DEVICE_USAGE_NOTIFICATION) {
            s->Parameters.UsageNotification.Type = usage;
            s->Parameters.UsageNotification.InPath = inPath ? TRUE : FALSE;
        }
        if (minor == IRP_MN_QUERY_ID)
            s->Parameters.QueryId.IdType = idType;
        if (minor == IRP_MN_QUERY_DEVICE_RELATIONS)
            s->Parameters.QueryDeviceRelations.Type = relationType;
        if (minor == IRP_MN_QUERY_DEVICE_TEXT) {
            s->Parameters.QueryDeviceText.DeviceTextType = textType;
            s->Parameters.QueryDeviceText.LocaleId = 0x409;
        }
    });
    ShowBusEvents();
    std::string extra;
    if (minor == IRP_MN_QUERY_CAPABILITIES)
        extra = std::string(": UniqueID ") + (caps.UniqueID ? "1" : "0") + ", RawDeviceOK " +
                (caps.RawDeviceOK ? "1" : "0") + ", SurpriseRemovalOK " +
                (caps.SurpriseRemovalOK ? "1" : "0");
    if (minor == IRP_MN_QUERY_ID || minor == IRP_MN_QUERY_DEVICE_TEXT) {
        // A device text is one string, as the device ID is.
        std::string ids = TakeIdString(r, minor == IRP_MN_QUERY_ID ? idType : BusQueryDeviceID);
        Note(StatusName(r.status) + (ids.empty() ? "" : ": " + ids));
        return true;
    }
    if (minor == IRP_MN_QUERY_DEVICE_RELATIONS) {
        Note(StatusName(r.status) + TakeRelations(r));
        return true;
    }
    Result(r.status, r.information, extra);
    return true;
}

bool Interpreter::Power(const Words& w)
{
    if (!Arity(w, 2, 3))
        return false;
    PDEVICE_OBJECT device;
    UCHAR minor;
    if (!Device(w[1], &device, true))
        return false;
    if (!ParsePowerMinor(w[2], &minor))
        return Fail("unknown power request '" + w[2] + "'");
    // A device power state D0..D3, or a system one S0..S5 (S0 working, S5
    // shut down); a device's D0 when none is given.
    POWER_STATE_TYPE type = DevicePowerState;
    int state = PowerDeviceD0;
    if (w.size() > 3) {
        const std::string& t = w[3];
        if (t.size() == 2 && t[0] == 'D' && t[1] >= '0' && t[1] <= '3') {
            state = PowerDeviceD0 + (t[1] - '0');
        } else if (t.size() == 2 && t[0] == 'S' && t[1] >= '0' && t[1] <= '5') {
            type = SystemPowerState;
            state = PowerSystemWorking + (t[1] - '0');
        } else {
            return Fail("unknown power state '" + t + "' (D0 to D3, S0 to S5)");
        }
    }
    kmsim::IrpResult r = kmsim::SendPowerState(device, minor, type, state);
    ShowBusEvents();
    Result(r.status, r.information);
    return true;
}

// Sequences the PnP manager runs on its own.
bool Interpreter::Manager(const Words& w)
{
    if (!Arity(w, 1, 1))
        return false;
    PDEVICE_OBJECT pdo;
    if (!Device(w[1], &pdo, true))
        return false;
    if (w[0] == "rebalance") {
        NTSTATUS s = kmsim::Rebalance(pdo);
        ShowBusEvents();
        Result(s, 0);
    } else if (w[0] == "remove-device") {
        // The PnP manager acts on the bus queries the removal asked for.
        NTSTATUS s = kmsim::RemoveDevice(pdo);
        kmsim::ProcessInvalidations();
        ShowBusEvents();
        Result(s, 0);
    } else if (w[0] == "surprise") {
        kmsim::SurpriseRemove(pdo);
        ShowBusEvents();
        Note("surprise-removed and removed");
    } else if (w[0] == "surprise-only") {
        // The system holds the removal back until the last handle is closed.
        kmsim::SurpriseRemoveOnly(pdo);
        ShowBusEvents();
        Note("surprise-removed; removal waits for finish-removal");
    } else if (w[0] == "start-device") {
        NTSTATUS s = kmsim::StartDevice(pdo);
        ShowBusEvents();
        Result(s, 0);
    } else if (w[0] == "finish-removal") {
        kmsim::FinishRemoval(pdo);
        ShowBusEvents();
        Note("removed");
    } else {
        NTSTATUS s = kmsim::EnumerateBus(pdo);
        kmsim::ProcessInvalidations();
        ShowBusEvents();
        Result(s, 0, ", children " + std::to_string(kmsim::ChildrenOf(pdo).size()));
    }
    return true;
}

bool Interpreter::WriteCommand(const Words& w)
{
    if (!Arity(w, 2, 2))
        return false;
    PDEVICE_OBJECT device;
    if (!Device(w[1], &device))
        return false;
    std::vector<unsigned char> data;
    std::string key, value;
    if (SplitOption(w[2], &key, &value)) {
        if (key == "hex") {
            if (!ParseHexBytes(value, &data))
                return Fail("bad hex bytes '" + value + "'");
        } else if (key == "text") {
            std::string t = Unescape(value);
            data.assign(t.begin(), t.end());
        } else {
            return Fail("bad write data '" + w[2] + "' (N, hex=.. or text=..)");
        }
    } else {
        uint64_t n;
        if (!Number(w[2], 64u << 20, &n, "write"))
            return false;
        data.resize(n);
        for (uint64_t i = 0; i < n; i++)
            data[i] = (unsigned char)(patternSeed_ + i * 7 + (i >> 8));
        patternSeed_ += n;
    }
    Outcome o = m_.Write(device, data);
    ShowBusEvents();
    Result(o.status, o.information);
    return true;
}

// Text (a device ID, a status reply) as text, anything else in hex.
static std::string ShownData(const std::vector<unsigned char>& data)
{
    size_t n = data.size();
    if (n > 0 && data[n - 1] == 0)
        n--;
    bool text = n > 0;
    for (size_t i = 0; i < n && text; i++)
        text = data[i] >= 0x20 && data[i] < 0x7F;
    if (!text)
        return HexBytes(data.data(), data.size(), 64);
    return "\"" + std::string(data.begin(), data.begin() + n) + "\"" +
           (n < data.size() ? " and a zero byte" : "");
}

bool Interpreter::Ioctl(const Words& w)
{
    if (w.size() < 3)
        return Fail("ioctl needs DEV and CODE");
    PDEVICE_OBJECT device;
    ULONG code;
    if (!Device(w[1], &device))
        return false;
    if (!ParseIoctl(w[2], &code))
        return Fail("unknown control code '" + w[2] + "'");
    std::vector<unsigned char> in;
    uint64_t out = 0;
    bool systemBuffer = true;
    for (size_t i = 3; i < w.size(); i++) {
        std::string key, value;
        if (w[i] == "nobuffer") {
            systemBuffer = false;
            continue;
        }
        if (!SplitOption(w[i], &key, &value))
            return Fail("bad ioctl option '" + w[i] + "'");
        if (key == "in") {
            if (!ParseHexBytes(value, &in))
                return Fail("bad hex bytes '" + value + "'");
        } else if (key == "out") {
            if (!Number(value, 1u << 20, &out, "out"))
                return false;
        } else {
            return Fail("bad ioctl option '" + w[i] + "'");
        }
    }
    Outcome o = m_.DeviceControl(device, code, in, (ULONG)out, systemBuffer);
    ShowBusEvents();
    std::string extra;
    if (!o.data.empty())
        extra = ": " + ShownData(o.data);
    Result(o.status, o.information, extra);
    return true;
}

// An SRB from a driver above, through IRP_MJ_INTERNAL_DEVICE_CONTROL.
bool Interpreter::InternalCommand(const Words& w)
{
    if (w.size() < 3)
        return Fail("internal DEV CDB [in=N|out=HEX] [flags= timeout= tag= action= sense=]");
    PDEVICE_OBJECT device;
    if (!Device(w[1], &device))
        return false;
    SrbRequest r;
    if (!ParseHexBytes(w[2], &r.cdb) || r.cdb.empty() || r.cdb.size() > 16)
        return Fail("bad CDB '" + w[2] + "' (1 to 16 hex bytes)");
    for (size_t i = 3; i < w.size(); i++) {
        std::string key, value;
        uint64_t n = 0;
        if (!SplitOption(w[i], &key, &value))
            return Fail("bad internal option '" + w[i] + "'");
        if (key == "out") {
            if (!ParseHexBytes(value, &r.dataOut))
                return Fail("bad hex bytes '" + value + "'");
            continue;
        }
        static const struct {
            const char* name;
            uint64_t max;
        } kNumbers[] = {{"in", 1u << 20}, {"flags", 0xFFFFFFFFu}, {"timeout", 0xFFFFFFFFu},
                        {"tag", 255},     {"action", 255},        {"sense", 255}};
        bool known = false;
        for (const auto& k : kNumbers)
            if (key == k.name) {
                if (!Number(value, k.max, &n, k.name))
                    return false;
                known = true;
            }
        if (!known)
            return Fail("bad internal option '" + w[i] + "'");
        if (key == "in")
            r.dataIn = (ULONG)n;
        else if (key == "flags")
            r.flags = (ULONG)n;
        else if (key == "timeout")
            r.timeout = (ULONG)n;
        else if (key == "tag")
            r.queueTag = (UCHAR)n;
        else if (key == "action")
            r.queueAction = (UCHAR)n;
        else
            r.senseLength = (UCHAR)n;
    }
    if (r.dataIn && !r.dataOut.empty())
        return Fail("internal: in= and out= together");
    SrbOutcome o = m_.Internal(device, r);
    ShowBusEvents();
    std::string extra =
        ", SRB " + SrbStatusName(o.srbStatus) + ", length " + std::to_string(o.transferred);
    if (!o.sense.empty())
        extra += ", sense " + HexBytes(o.sense.data(), o.sense.size(), 18);
    if (!o.data.empty())
        extra += ": " + ShownData(o.data);
    Result(o.status, o.information, extra);
    return true;
}

bool Interpreter::WmiCommand(const Words& w)
{
    PDEVICE_OBJECT device;
    uint64_t minor = 0; // IRP_MN_QUERY_ALL_DATA
    if (!Arity(w, 1, 2) || !Device(w[1], &device) ||
        (w.size() > 2 && !Number(w[2], 255, &minor, "WMI minor")))
        return false;
    Outcome o = m_.SystemControl(device, (UCHAR)minor);
    ShowBusEvents();
    Result(o.status, o.information);
    return true;
}

// The words after a fault's value: a COUNT and op=XX / sub=XX (CDB bytes 0
// and 1, -1 when not given).
bool Interpreter::FaultTarget(const Words& w, size_t from, const char* what, uint64_t* count,
                              int* opcode, int* subcode)
{
    *count = 1;
    *opcode = *subcode = -1;
    for (size_t i = from; i < w.size(); i++) {
        std::string key, value;
        uint64_t v;
        if (SplitOption(w[i], &key, &value) && (key == "op" || key == "sub")) {
            if (!Number(value, 255, &v, key.c_str()))
                return false;
            (key == "op" ? *opcode : *subcode) = (int)v;
        } else if (!Number(w[i], 1000000, count, what)) {
            return false;
        }
    }
    return true;
}

bool Interpreter::PrinterRefuse(SimulatedPrinter& p, const Words& w)
{
    if (w.size() != 4 || (w[3] != "on" && w[3] != "off"))
        return Fail("printer NAME refuse on|off");
    if (w[3] == "on")
        p.model->RefuseData(0);
    else
        p.model->ClearFaults();
    return true;
}

// Sense byte 8 set: the printer refuses the command. Print data by
// default; op= and sub= pick any other command (a status or ID read);
// took=N puts N in sense bytes 10-12, a refusal after part of the transfer.
bool Interpreter::PrinterRefuseNext(SimulatedPrinter& p, const Words& w)
{
    sbp2sim::Fault f;
    f.action = sbp2sim::Fault::kRefuse;
    Words rest;
    for (size_t i = 0; i < w.size(); i++) {
        std::string key, value;
        uint64_t n;
        if (i >= 3 && SplitOption(w[i], &key, &value) && key == "took") {
            if (!Number(value, 0xFFFFFF, &n, "took"))
                return false;
            f.shortCount = (ULONG)n;
        } else {
            rest.push_back(w[i]);
        }
    }
    uint64_t count;
    if (!FaultTarget(rest, 3, "refuse-next count", &count, &f.opcode, &f.subcode))
        return false;
    f.count = (int)count;
    if (f.opcode >= 0) {
        p.model->AddFault(f);
        return true;
    }
    f.unit = 0;
    f.opcode = 0x0A; // PRINT
    p.model->AddFault(f);
    f.opcode = 0xC0; // vendor data write
    f.subcode = 0;
    p.model->AddFault(f);
    return true;
}

// Print data by default; op= and sub= pick another command (a reply).
bool Interpreter::PrinterDeliver(SimulatedPrinter& p, const Words& w)
{
    uint64_t n, count;
    int opcode, subcode;
    if (w.size() < 4)
        return Fail("printer NAME deliver N [COUNT] [op=XX sub=XX]");
    if (!Number(w[3], 0xFFFFFF, &n, "deliver") ||
        !FaultTarget(w, 4, "deliver count", &count, &opcode, &subcode))
        return false;
    if (opcode < 0) {
        p.model->ShortDelivery(0x0A, 0x00, (ULONG)n, (int)count);
        p.model->ShortDelivery(0xC0, 0x00, (ULONG)n, (int)count);
    } else {
        p.model->ShortDelivery((UCHAR)opcode, (UCHAR)(subcode < 0 ? 0 : subcode), (ULONG)n,
                               (int)count);
    }
    return true;
}

bool Interpreter::PrinterFail(SimulatedPrinter& p, const Words& w)
{
    UCHAR srbStatus;
    uint64_t count;
    int opcode, subcode;
    if (w.size() < 4)
        return Fail("printer NAME fail SRBSTATUS [COUNT] [op=XX sub=XX]");
    if (!ParseSrbStatus(w[3], &srbStatus))
        return Fail("unknown SRB status '" + w[3] + "'");
    if (!FaultTarget(w, 4, "fail count", &count, &opcode, &subcode))
        return false;
    p.model->FailWith(srbStatus, (int)count, opcode, subcode);
    return true;
}

// deviceid TEXT length=N: the reply's 2-byte length field says N, whatever
// the text's true length.
bool Interpreter::PrinterReply(SimulatedPrinter& p, const Words& w)
{
    if (!Arity(w, 3, w[2] == "deviceid" ? 4 : 3))
        return false;
    std::string text = Unescape(w[3]);
    if (w[2] == "status") {
        p.model->SetStatusReply(std::vector<UCHAR>(text.begin(), text.end()));
        return true;
    }
    if (w.size() < 5) {
        p.model->SetDeviceId(text);
        return true;
    }
    std::string key, value;
    uint64_t n;
    if (!SplitOption(w[4], &key, &value) || key != "length")
        return Fail("printer NAME deviceid TEXT [length=N]");
    if (!Number(value, 0xFFFF, &n, "length"))
        return false;
    std::vector<UCHAR> raw = {(UCHAR)(n >> 8), (UCHAR)n};
    // One by one: GCC 12 at -O2 takes a range insert here for an overflow
    // (-Warray-bounds) that cannot happen.
    for (char c : text)
        raw.push_back((UCHAR)c);
    p.model->SetDeviceIdReply(raw);
    return true;
}

bool Interpreter::PrinterCreate(SimulatedPrinter& p, const Words& w)
{
    uint64_t unit;
    NTSTATUS s;
    if (!Arity(w, 4, 4) || !Number(w[3], 1, &unit, "unit") || !Status(w[4], &s))
        return false;
    p.model->SetCreateResult((int)unit, s);
    return true;
}

bool Interpreter::PrinterAsync(SimulatedPrinter& p, const Words& w)
{
    if (w.size() != 4 || (w[3] != "on" && w[3] != "off"))
        return Fail("printer NAME async on|off");
    if (!p.plugged)
        return Fail("printer '" + w[1] + "' is unplugged");
    sbp2sim::ConfigOf(p.bus).async = w[3] == "on";
    sbp2sim::ConfigOf(p.bus).mixedSeed = 0;
    return true;
}

bool Interpreter::PrinterHold(SimulatedPrinter& p, const Words& w)
{
    uint64_t count;
    int opcode, subcode;
    if (!FaultTarget(w, 3, "hold count", &count, &opcode, &subcode))
        return false;
    p.gate->Hold((int)count, opcode, subcode);
    return true;
}

bool Interpreter::PrinterRelease(SimulatedPrinter& p, const Words& w)
{
    if (!Arity(w, 2, 2))
        return false;
    p.gate->Release();
    return true;
}

bool Interpreter::PrinterClear(SimulatedPrinter& p, const Words& w)
{
    if (!Arity(w, 2, 2))
        return false;
    p.model->ClearFaults();
    return true;
}

bool Interpreter::PrinterCommand(const Words& w)
{
    static const struct {
        const char* name;
        bool (Interpreter::*run)(SimulatedPrinter&, const Words&);
    } kBehaviours[] = {
        {"refuse", &Interpreter::PrinterRefuse},
        {"deliver", &Interpreter::PrinterDeliver},
        {"fail", &Interpreter::PrinterFail},
        {"status", &Interpreter::PrinterReply},
        {"deviceid", &Interpreter::PrinterReply},
        {"create", &Interpreter::PrinterCreate},
        {"async", &Interpreter::PrinterAsync},
        {"clear", &Interpreter::PrinterClear},
        {"refuse-next", &Interpreter::PrinterRefuseNext},
        {"hold", &Interpreter::PrinterHold},
        {"release", &Interpreter::PrinterRelease},
    };
    if (w.size() < 3)
        return Fail("printer needs NAME and what it should do");
    SimulatedPrinter* p = Printer(w[1]);
    if (!p)
        return false;
    for (const auto& b : kBehaviours)
        if (w[2] == b.name)
            return (this->*b.run)(*p, w);
    return Fail("unknown printer behaviour '" + w[2] + "'");
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

bool Interpreter::Restart()
{
    if (!tasks_.empty())
        return Fail("restart: wait for the started requests first");
    std::vector<std::string> problems = m_.ShutdownAndCheck();
    ShowBusEvents();
    for (const std::string& p : problems)
        Note("left behind: " + p);
    char path[] = "/tmp/prnsim-restart-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return Fail("restart: cannot make a temporary file");
    close(fd);
    kmsim::RegSave(path);
    m_.Boot(legacy_);
    kmsim::RegLoad(path);
    unlink(path);
    passedShown_.clear();
    NTSTATUS s = m_.LoadDriver();
    WatchDriver();
    Result(s, 0, problems.empty() ? ", nothing left behind" : "");
    return true;
}

bool Interpreter::PlatformCommand(const Words& w)
{
    if (!Arity(w, 1, 1) || (w[1] != "legacy" && w[1] != "current"))
        return Fail("platform legacy|current");
    legacy_ = w[1] == "legacy";
    kmsim::SetLegacyPlatform(legacy_);
    return true;
}

bool Interpreter::ConfigCommand(const Words& w)
{
    uint64_t n;
    if (!Arity(w, 2, 2) || !Number(w[2], 0xFFFFFFFFu, &n, "config"))
        return false;
    m_.SetConfig(w[1], (ULONG)n);
    return true;
}

bool Interpreter::LoadCommand(const Words& w)
{
    if (!Arity(w, 0, 0))
        return false;
    if (m_.DriverLoaded())
        return Fail("the driver is already loaded");
    Result(m_.LoadDriver(), 0);
    WatchDriver();
    return true;
}

// From the driver's load on, the requests it passes down are recorded.
void Interpreter::WatchDriver()
{
    kmsim::WatchPassedRequests(m_.Driver());
}

bool Interpreter::UnloadCommand(const Words& w)
{
    if (!Arity(w, 0, 0))
        return false;
    Note(m_.UnloadDriver() ? "unloaded" : "refused: the driver still has devices");
    return true;
}

bool Interpreter::RestartCommand(const Words& w)
{
    return Arity(w, 0, 0) && Restart();
}

bool Interpreter::UnplugCommand(const Words& w)
{
    if (!Arity(w, 1, 1))
        return false;
    SimulatedPrinter* p = Printer(w[1]);
    if (!p)
        return false;
    if (!p->plugged)
        return Fail("printer '" + w[1] + "' is not plugged in");
    m_.Unplug(w[1]);
    ShowBusEvents();
    Note("unplugged");
    return true;
}

bool Interpreter::IdsCommand(const Words& w)
{
    return Arity(w, 1, 1) && Ids(w[1]);
}

bool Interpreter::ShowCommand(const Words& w)
{
    return Arity(w, 1, 1) && Show(w[1]);
}

bool Interpreter::OpenCloseCommand(const Words& w)
{
    PDEVICE_OBJECT d;
    if (!Arity(w, 1, 1) || !Device(w[1], &d))
        return false;
    Outcome o = w[0] == "open" ? m_.Open(d) : m_.Close(d);
    ShowBusEvents();
    Result(o.status, o.information);
    return true;
}

bool Interpreter::ReadCommand(const Words& w)
{
    PDEVICE_OBJECT d;
    uint64_t n;
    if (!Arity(w, 2, 2) || !Device(w[1], &d) || !Number(w[2], 1u << 20, &n, "read"))
        return false;
    Outcome o = m_.Read(d, (ULONG)n);
    ShowBusEvents();
    Result(o.status, o.information,
           o.data.empty() ? "" : ": \"" + Printable(o.data.data(), o.data.size()) + "\"");
    return true;
}

bool Interpreter::ClockCommand(const Words& w)
{
    uint64_t n;
    if (!Arity(w, 1, 1) || !Number(w[1], 100000000, &n, "clock"))
        return false;
    kmsim::AdvanceClock((LONGLONG)n * kMs);
    char now[64];
    snprintf(now, sizeof now, "clock at %.4f ms", m_.ElapsedMs());
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

// The driver's Nth pool, IRP, MDL or device allocation from now on fails.
bool Interpreter::AllocFailCommand(const Words& w)
{
    uint64_t n;
    if (!Arity(w, 1, 1))
        return false;
    if (w[1] == "off") {
        kmsim::ClearFailures();
        return true;
    }
    if (!Number(w[1], 1000000, &n, "allocation") || n == 0)
        return Fail("allocfail N (1: the driver's next allocation) or allocfail off");
    kmsim::FailNthAllocationOf("prnsbp", (unsigned long)n);
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
    for (const Line& l : lines)
        fprintf(out_, "  %s\n", l.text.c_str());
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
        tError = "'" + w[0] +
                 "' does not finish: it waits for a request that is blocked; give it a name "
                 "with 'start NAME: " +
                 w[0] + " ...'";
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
    Note(name + (task.done ? ": finished" : ": blocked"));
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
    if (!task->done)
        return Fail("'" + w[1] + "' is still blocked");
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

bool Interpreter::Execute(const Words& w)
{
    static const struct {
        const char* name;
        bool (Interpreter::*run)(const Words&);
    } kCommands[] = {
        {"platform", &Interpreter::PlatformCommand},
        {"config", &Interpreter::ConfigCommand},
        {"load", &Interpreter::LoadCommand},
        {"unload", &Interpreter::UnloadCommand},
        {"restart", &Interpreter::RestartCommand},
        {"plug", &Interpreter::Plug},
        {"unplug", &Interpreter::UnplugCommand},
        {"pnp", &Interpreter::Pnp},
        {"power", &Interpreter::Power},
        {"rebalance", &Interpreter::Manager},
        {"remove-device", &Interpreter::Manager},
        {"surprise", &Interpreter::Manager},
        {"surprise-only", &Interpreter::Manager},
        {"finish-removal", &Interpreter::Manager},
        {"start-device", &Interpreter::Manager},
        {"enumerate", &Interpreter::Manager},
        {"ids", &Interpreter::IdsCommand},
        {"show", &Interpreter::ShowCommand},
        {"open", &Interpreter::OpenCloseCommand},
        {"close", &Interpreter::OpenCloseCommand},
        {"write", &Interpreter::WriteCommand},
        {"read", &Interpreter::ReadCommand},
        {"ioctl", &Interpreter::Ioctl},
        {"internal", &Interpreter::InternalCommand},
        {"wmi", &Interpreter::WmiCommand},
        {"printer", &Interpreter::PrinterCommand},
        {"clock", &Interpreter::ClockCommand},
        {"repeat", &Interpreter::RepeatCommand},
        {"registry", &Interpreter::RegistryCommand},
        {"counters", &Interpreter::CountersCommand},
        {"received", &Interpreter::ReceivedCommand},
        {"leaks", &Interpreter::LeaksCommand},
        {"echo", &Interpreter::EchoCommand},
        {"detail", &Interpreter::DetailCommand},
        {"interleave", &Interpreter::DetailCommand},
        {"allocfail", &Interpreter::AllocFailCommand},
    };
    for (const auto& command : kCommands)
        if (w[0] == command.name)
            return (this->*command.run)(w);
    return Fail("unknown command '" + w[0] + "'");
}

int Interpreter::Run(std::istream& in, const std::string& registryFile)
{
    m_.Boot(false);
    passedShown_.clear();
    struct stat st;
    if (!registryFile.empty() && stat(registryFile.c_str(), &st) == 0 &&
        !kmsim::RegLoad(registryFile)) {
        fprintf(stderr, "prnsim: cannot load the registry from '%s'\n", registryFile.c_str());
        return 2;
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
            fflush(out_);
            fprintf(stderr, "prnsim: %s:%d: %s\n", source_.c_str(), number, tError.c_str());
            // The machine still goes down in order, so nothing is left behind.
            Drain();
            m_.ShutdownAndCheck();
            return 2;
        }
    }
    if (in.bad()) {
        fprintf(stderr, "prnsim: cannot read '%s'\n", source_.c_str());
        return 2;
    }
    if (!tasks_.empty()) {
        fflush(out_);
        fprintf(stderr, "prnsim: %s: '%s' was started and never waited for\n", source_.c_str(),
                tasks_.front()->name.c_str());
        Drain();
        m_.ShutdownAndCheck();
        return 2;
    }
    fprintf(Out(), "> (end of script: unplug every printer, unload the driver)\n");
    std::vector<std::string> problems = m_.ShutdownAndCheck();
    ShowBusEvents();
    if (problems.empty())
        Note("nothing left allocated, no verifier reports");
    for (const std::string& p : problems)
        Note(p);
    if (!registryFile.empty() && !kmsim::RegSave(registryFile)) {
        fprintf(stderr, "prnsim: cannot save the registry to '%s'\n", registryFile.c_str());
        return 2;
    }
    return problems.empty() ? 0 : 1;
}

} // namespace

namespace
{

struct ScriptOptions {
    std::string script, registry, schedule;
    bool async = false, lowerFilter = false;
    unsigned mixedSeed = 0;
    // explore
    bool explore = false, pct = false;
    uint64_t bound = 2, runs = 1000, depth = 2, maxSchedules = 200000;
};

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
    std::istringstream in(text);
    int code = interpreter.Run(in, o.registry);
    fflush(out);
    return code;
}

bool ReadScript(const std::string& path, std::string* text)
{
    std::ifstream file(path);
    if (!file) {
        fprintf(stderr, "prnsim: cannot open '%s'\n", path.c_str());
        return false;
    }
    std::ostringstream all;
    all << file.rdbuf();
    *text = all.str();
    return true;
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

} // namespace

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
    if (o.script == "-")
        return interpreter.Run(std::cin, o.registry);
    std::ifstream file(o.script);
    if (!file) {
        fprintf(stderr, "prnsim: cannot open '%s'\n", o.script.c_str());
        return 2;
    }
    return interpreter.Run(file, o.registry);
}

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
