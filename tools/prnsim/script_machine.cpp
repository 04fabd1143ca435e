// The machine in a script: the platform, the service key, the driver's
// load and unload, a reboot, printers plugged in and pulled out, and
// allocation failures.
#include "interpreter.h"

#include <unistd.h>

namespace prnsim::script
{

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
    // Two printers with one key would be one printer to the system. A
    // printer unplugged whose units still wait for a handle's close is
    // another matter: the one plugged in with its key is that printer come
    // back, and the bus names its units anew.
    for (int unit = 0; unit < 2; unit++) {
        std::string unitName = sbp2sim::UnitName(c, unit);
        if (!c.unitPresent[unit] || kmsim::FindDevice(unitName) == nullptr)
            continue;
        auto owner = unitOfPdo_.find(unitName);
        std::string ownerName =
            owner == unitOfPdo_.end() ? "" : owner->second.substr(0, owner->second.find('/'));
        SimulatedPrinter* holder = ownerName.empty() ? nullptr : m_.Find(ownerName);
        if (holder != nullptr && !holder->plugged && c.unitName[unit].empty())
            continue;
        std::string other = ownerName.empty() ? "another device" : "printer '" + ownerName + "'";
        return Fail("printer '" + name + "' would have the key " + c.key + " of " + other +
                    " (its unit " + std::to_string(unit) + " is " + unitName +
                    "); give it its own key=");
    }
    kmsim::SetLowerFilter(filter);
    std::vector<NTSTATUS> results = m_.Plug(name, c, order);
    kmsim::SetLowerFilter(kmsim::LowerFilterOptions());
    for (int unit = 0; unit < 2; unit++)
        if (PDEVICE_OBJECT pdo = m_.Pdo(name, unit))
            unitOfPdo_[kmsim::DeviceName(pdo)] = name + "/" + std::to_string(unit);
    ShowBusEvents();
    for (int unit = 0; unit < 2; unit++) {
        if (!c.unitPresent[unit])
            continue;
        PDEVICE_OBJECT fdo = m_.Fdo(name, unit);
        PDEVICE_OBJECT pdo = m_.Pdo(name, unit);
        std::string refusal = fdo && pdo ? UnitNameRefusal(kmsim::DeviceName(pdo)) : std::string();
        fprintf(Out(), "= unit %d: %s%s%s\n", unit, StatusName(results[unit]).c_str(),
                fdo ? (" " + kmsim::DeviceName(fdo)).c_str() : "",
                refusal.empty() ? ""
                                : ("; the driver keeps it out of its unit table, so the port "
                                   "cannot be opened: " +
                                   refusal)
                                      .c_str());
    }
    for (int unit = 0; unit < 2; unit++) {
        std::string dev = name + "." + std::to_string(unit);
        if (m_.HandleOf(dev) != nullptr)
            Note(dev +
                 ": the handle opened before the printer was pulled stays on the old "
                 "unit; requests on " +
                 dev + " go there until it is closed");
    }
    return true;
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
    m_.TakeRemovals();
    m_.Unplug(w[1]);
    ShowBusEvents();
    Note("unplugged");
    std::vector<std::string> waiting = m_.RemovalsWaiting(w[1]);
    for (const std::string& unit : waiting)
        Note(unit + ": surprise-removed; its removal waits for its last handle to close");
    if (legacy_ && m_.HandleOf(w[1] + ".0") != nullptr)
        Note("removed at once with its handle still open (no surprise removal on this "
             "platform); the handle's requests and close reach the removed device");
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

Rows<CommandRow> Interpreter::MachineCommands()
{
    static const CommandRow kRows[] = {
        {"platform", &Interpreter::PlatformCommand,
         R"(  platform legacy|current       Windows 98/Me, or Windows 2000 and later
)"},
        {"config", &Interpreter::ConfigCommand,
         R"(  config NAME VALUE             REG_DWORD under the service key (TIME_OUT,
                                USE_SCSI_PRINT, MDL_SIZE)
)"},
        {"load", &Interpreter::LoadCommand,
         R"(  load | unload                 DriverEntry | DriverUnload
)"},
        {"unload", &Interpreter::UnloadCommand, ""},
        {"restart", &Interpreter::RestartCommand,
         R"(  restart                       unplug all, unload, keep only the registry,
                                boot again (same platform) and load
)"},
        {"plug", &Interpreter::Plug,
         R"(  plug NAME [OPTIONS]           a printer appears; the PnP manager adds and
                                starts the driver on each unit. A printer
                                plugged in again while a handle still holds
                                its old unit is that printer come back: the
                                bus names its units anew, and the handle
                                stays on the old unit until it is closed
      key=TEXT                    printer key (after the last '&' of the names);
                                  the driver takes a unit only with a key of
                                  16 characters or more (it tells printers
                                  apart by the first 17), and a unit number
                                  0 or 1 after the next-to-last '&': plug and
                                  open say so when a unit fails that
      id="MFG:..;MDL:..;"         IEEE 1284 device ID
      bus=1394|scsi               the adapter's bus type
      vendor=TEXT product=TEXT    storage descriptor strings
      name0=TEXT name1=TEXT       whole PDO names (malformed ones too)
      units=01|0|1                which units appear
      claim=STATUS idstatus=STATUS storage=STATUS   refusals of the port driver
      async                       complete from the port driver's thread
      filter                      a pass-through lower filter between the
                                  unit PDOs and the driver (as an INF's
                                  LowerFilters value loads one)
      nostart0 nostart1           AddDevice only for that unit; start it
                                  later with "start-device p.1"
      unit1-first                 the PnP manager takes unit 1 first
)"},
        {"unplug", &Interpreter::UnplugCommand,
         R"(  unplug NAME                   the cable is pulled: the printer leaves the
                                bus, so what it holds and every later SRB
                                fails as to a unit that is gone (SRB status
                                NO_DEVICE); then surprise removal and, once
                                no handle is open on a unit, its removal. On
                                the legacy platform the removal at once
)"},
        {"allocfail", &Interpreter::AllocFailCommand,
         R"(  allocfail N | allocfail off   the driver's Nth allocation from now fails
                                (pool, IRP, MDL, device object), e.g.
                                "allocfail 1" before "open p.0"
)"},
    };
    return {kRows, sizeof kRows / sizeof kRows[0]};
}

} // namespace prnsim::script
