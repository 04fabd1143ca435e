// Port requests in a script: PnP and power requests alone and as the PnP
// manager sequences them, and what a user-mode program or a driver above
// sends the port (open, close, read, write, device control, SRBs, WMI).
#include "interpreter.h"

#include "prnsbp.h"

namespace prnsim::script
{

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
        std::string veto;
        NTSTATUS s = kmsim::RemoveDevice(pdo, &veto);
        kmsim::ProcessInvalidations();
        ShowBusEvents();
        Result(s, 0, NT_SUCCESS(s) ? "" : ", vetoed: " + veto);
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

// What a handle may do: CreateFile's desired access, by name.
static bool ParseAccess(const std::string& text, ACCESS_MASK* access)
{
    static const struct {
        const char* name;
        ACCESS_MASK access;
    } kAccess[] = {
        {"readwrite", FILE_GENERIC_READ | FILE_GENERIC_WRITE},
        {"read", FILE_GENERIC_READ},
        {"write", FILE_GENERIC_WRITE},
        // CreateFile with no access asks for these two.
        {"none", SYNCHRONIZE | FILE_READ_ATTRIBUTES},
    };
    for (const auto& a : kAccess)
        if (text == a.name) {
            *access = a.access;
            return true;
        }
    return false;
}

bool Interpreter::Port(const std::string& text, PDEVICE_OBJECT* device, PFILE_OBJECT* file)
{
    *file = m_.HandleOf(text);
    if (*file != nullptr) {
        *device = kmsim::FileDevice(*file);
        return true;
    }
    if (!Device(text, device))
        return false;
    Note(text + " is not open: sent without a handle, as no program could (open it first)");
    return true;
}

bool Interpreter::OpenCommand(const Words& w)
{
    PDEVICE_OBJECT d;
    if (!Arity(w, 1, 5) || !Device(w[1], &d))
        return false;
    kmsim::OpenOptions options;
    for (size_t i = 2; i < w.size(); i++) {
        if (w[i] == "admin") {
            options.privileged = true;
            continue;
        }
        std::string key, value;
        if (!SplitOption(w[i], &key, &value))
            return Fail("bad open option '" + w[i] + "' (access=, name=, mode=kernel, admin)");
        if (key == "access") {
            if (!ParseAccess(value, &options.access))
                return Fail("bad access '" + value + "' (readwrite, read, write or none)");
        } else if (key == "name") {
            options.trailing = value.empty() || value[0] == '\\' ? value : "\\" + value;
        } else if (key == "mode" && value == "kernel") {
            options.mode = KernelMode;
        } else {
            return Fail("bad open option '" + w[i] + "' (access=, name=, mode=kernel, admin)");
        }
    }
    Outcome o = m_.Open(w[1], d, options);
    ShowBusEvents();
    Result(o.status, o.information);
    if (o.status == STATUS_DELETE_PENDING) {
        std::string why = WhyPortCannotOpen(m_, w[1].substr(0, w[1].rfind('.')));
        if (!why.empty())
            Note("the port cannot be opened: " + why);
    }
    return true;
}

bool Interpreter::CloseCommand(const Words& w)
{
    if (!Arity(w, 1, 1))
        return false;
    PDEVICE_OBJECT d = nullptr;
    if (m_.HandleOf(w[1]) == nullptr) {
        if (!Device(w[1], &d))
            return false;
        Note(w[1] + " is not open: a close without a handle, as no program could send it");
    }
    m_.TakeRemovals();
    Outcome o = m_.Close(w[1], d);
    ShowBusEvents();
    Result(o.status, o.information);
    for (const std::string& removed : m_.TakeRemovals())
        Note("the last handle is closed: the PnP manager sends the removal of " + removed);
    return true;
}

bool Interpreter::WriteCommand(const Words& w)
{
    if (!Arity(w, 2, 2))
        return false;
    PDEVICE_OBJECT device;
    PFILE_OBJECT file;
    if (!Port(w[1], &device, &file))
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
    Outcome o = m_.Write(device, file, data);
    ShowBusEvents();
    Result(o.status, o.information, o.status == STATUS_SUCCESS ? BufferedNote(device) : "");
    return true;
}

// A write the driver took into its buffer has not reached the printer yet:
// without this, page-sized writes to a refusing printer look like any other.
std::string Interpreter::BufferedNote(PDEVICE_OBJECT device)
{
    PDEVICE_OBJECT fdo = UnitTableGetUnit0Fdo(device);
    if (fdo == nullptr)
        return "";
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)fdo->DeviceExtension;
    ULONG fill = ext->PrintBuffer != nullptr ? ext->PrintFill : 0;
    if (fill == 0)
        return "";
    return "; " + std::to_string(fill) + " bytes buffered in the driver, not yet sent";
}

bool Interpreter::ReadCommand(const Words& w)
{
    PDEVICE_OBJECT d;
    PFILE_OBJECT file;
    uint64_t n;
    if (!Arity(w, 2, 2) || !Number(w[2], 1u << 20, &n, "read") || !Port(w[1], &d, &file))
        return false;
    Outcome o = m_.Read(d, file, (ULONG)n);
    ShowBusEvents();
    Result(o.status, o.information,
           o.data.empty() ? "" : ": \"" + Printable(o.data.data(), o.data.size()) + "\"");
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
    PFILE_OBJECT file;
    ULONG code;
    if (!ParseIoctl(w[2], &code))
        return Fail("unknown control code '" + w[2] + "' (a number, or one of " + IoctlNames() +
                    ")");
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
    if (!Port(w[1], &device, &file))
        return false;
    Outcome o = m_.DeviceControl(device, file, code, in, (ULONG)out, systemBuffer);
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

Rows<CommandRow> Interpreter::PortCommands()
{
    static const CommandRow kRows[] = {
        {"pnp", &Interpreter::Pnp,
         R"(  pnp DEV MINOR [ARG]           one PnP request: start stop query-stop
                                cancel-stop query-remove cancel-remove
                                surprise-removal remove query-capabilities
                                usage (ARG paging|hibernation|dumpfile|
                                undefined [out: not in the path])
                                query-id (ARG device|hardware|compatible|
                                instance|serial|N) query-relations (ARG
                                ejection|power|removal|target|N) query-text
                                (ARG description|location), or any minor by
                                number: "pnp p.0 0x18"
)"},
        {"power", &Interpreter::Power,
         R"(  power DEV MINOR [D0..D3|S0..S5]
                                set-power query-power wait-wake power-sequence,
                                for a device power state or a system one, or
                                any minor by number
)"},
        {"rebalance", &Interpreter::Manager,
         R"(  rebalance DEV | remove-device DEV | surprise DEV | enumerate DEV
                                what the PnP manager does (query and stop and
                                start; query-remove and removal; surprise
                                removal and removal; bus relations). With a
                                handle open on the device, Windows 2000 and
                                later cancel the removal after the queries
                                (vetoed: PNP_VetoOutstandingOpen); the
                                legacy platform removes it anyway
)"},
        {"remove-device", &Interpreter::Manager, ""},
        {"surprise", &Interpreter::Manager, ""},
        {"enumerate", &Interpreter::Manager, ""},
        {"start-device", &Interpreter::Manager,
         R"(  start-device DEV              IRP_MN_START_DEVICE as the PnP manager sends it
)"},
        {"surprise-only", &Interpreter::Manager,
         R"(  surprise-only DEV | finish-removal DEV
                                the two halves of a surprise removal, with
                                the handles closed in between
)"},
        {"finish-removal", &Interpreter::Manager, ""},
        {"open", &Interpreter::OpenCommand,
         R"(  open DEV [access=A] [name=TEXT] [admin] [mode=kernel]
                                CreateFile on the unit's device: a handle,
                                with access A (readwrite, the default, read,
                                write or none) through the device's name
                                followed by \TEXT when given; admin: an
                                administrator's; mode=kernel: a driver
                                above opening it (trusted with every
                                control code). Writes, reads
                                and ioctls on DEV go on its last handle,
                                even once the printer is gone, until
  close DEV                     closes that handle (CloseHandle: cleanup and
                                close). On Windows 2000 and later the
                                removal of a surprise-removed unit waits for
                                its last handle; the run closes handles
                                left open at its end, as a program's exit
                                does
)"},
        {"close", &Interpreter::CloseCommand, ""},
        {"write", &Interpreter::WriteCommand,
         R"(  write DEV N | write DEV hex=1B40 | write DEV text="..."
)"},
        {"read", &Interpreter::ReadCommand,
         R"(  read DEV N
)"},
        {"ioctl", &Interpreter::Ioctl,
         R"(  ioctl DEV CODE [in=HEX] [out=N] [nobuffer]
                                CODE by name (IOCTL_PRNSBP_FLUSH...) or number;
                                nobuffer: no system buffer at all; where a
                                code the driver passes down went: "detail on"
)"},
        {"internal", &Interpreter::InternalCommand,
         R"(  internal DEV CDB [in=N|out=HEX] [flags=N timeout=S tag=N action=N sense=N]
                                an SRB through IRP_MJ_INTERNAL_DEVICE_CONTROL,
                                e.g. "internal p.child C200000008000000 in=8"
)"},
        {"wmi", &Interpreter::WmiCommand,
         R"(  wmi DEV [MINOR]               IRP_MJ_SYSTEM_CONTROL (MINOR number, default 0)
)"},
    };
    return {kRows, sizeof kRows / sizeof kRows[0]};
}

} // namespace prnsim::script
