// The printer class driver on Wine's kernel, end to end: installs the
// stand-in SBP-2 port driver on a root-enumerated bus and prnsbp from its own
// INF onto the printer's two units, then drives the port as the spooler's
// port monitor and a print job would, and compares what the stand-in printer
// received. Prints one line per step it saw; exits 0 when every step held.
//
//   prnsbp_winecheck DRIVER_INF STANDIN_INF PRNMODEL_DLL [--offline]
//
// --offline also waits out the driver's refusal window (real time on Wine)
// to see the write that reports the printer off line.
#include <windows.h>
#include <winternl.h>
#include <setupapi.h>
#include <newdev.h>
#include <ntddpar.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "prnmodel.h"
#include "standin.h"

namespace
{

// The child the driver reports for the printer on a 1394 adapter: its
// instance and hardware ID, from the printer's device ID and port number 1.
#define CHILD_INSTANCE "LPTENUM\\ORVEXZR 4410X\\QXZR1394_001"
#define CHILD_HARDWARE_ID "LPTENUM\\OrvexZR_4410xB47D"

int failures = 0;
// The step under way, for the line that says where the drivers' host died.
const char* currentStep = "start";

void Step(bool ok, const char* what, const std::string& detail = "")
{
    std::printf("%s: %s%s%s\n", ok ? "ok" : "FAIL", what, detail.empty() ? "" : ": ",
                detail.c_str());
    std::fflush(stdout);
    if (!ok)
        failures++;
}

std::string Num(unsigned long v)
{
    return std::to_string(v);
}

std::wstring Wide(const char* text)
{
    std::wstring w;
    for (; *text; text++)
        w += (wchar_t)(unsigned char)*text;
    return w;
}

std::string Narrow(const wchar_t* text)
{
    std::string s;
    for (; *text; text++)
        s += (char)*text;
    return s;
}

// The last line: how many steps failed. A step that cannot go on without
// an earlier one ends the check here too.
int Summary()
{
    std::printf("%s: %d step(s) failed\n", failures ? "FAIL" : "PASS", failures);
    return failures ? 1 : 0;
}

// ---- the stand-in's control device ----

HANDLE OpenStandIn()
{
    return CreateFileA(STANDIN_WIN32_NAME, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0,
                       NULL);
}

bool Control(HANDLE standIn, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
             DWORD* got = nullptr)
{
    DWORD n = 0;
    BOOL ok = DeviceIoControl(standIn, code, const_cast<void*>(in), inSize, out, outSize, &n, NULL);
    if (got)
        *got = n;
    return ok != FALSE;
}

// The step under way cannot be checked: it fails, and so does the check.
[[noreturn]] void StopCheck(const std::string& why)
{
    Step(false, currentStep, why);
    std::exit(Summary());
}

// The stand-in answers from the process that hosts the drivers (Wine's
// winedevice.exe). When it stops answering, that process has died: the
// counts it would give are not the driver's.
[[noreturn]] void HostLost(DWORD error)
{
    StopCheck("the process that hosts the drivers (winedevice.exe) stopped answering (the "
              "stand-in's control device gave error " +
              Num(error) + "); Wine's \"Unhandled\" line above, if there is one, says how it died");
}

STANDIN_STATE ReadState(HANDLE standIn)
{
    STANDIN_STATE s = {};
    if (!Control(standIn, IOCTL_STANDIN_GET_STATE, NULL, 0, &s, sizeof(s)))
        HostLost(GetLastError());
    if (s.Size != sizeof(s))
        StopCheck("the stand-in's record is " + Num(s.Size) + " bytes, the check's " +
                  Num(sizeof(s)) + ": the two come from different builds");
    return s;
}

void SetValue(HANDLE standIn, DWORD code, ULONG value)
{
    if (!Control(standIn, code, &value, sizeof(value), NULL, 0))
        HostLost(GetLastError());
}

std::vector<unsigned char> PrintData(HANDLE standIn)
{
    std::vector<unsigned char> data(1024 * 1024);
    DWORD got = 0;
    Control(standIn, IOCTL_STANDIN_GET_DATA, NULL, 0, data.data(), (DWORD)data.size(), &got);
    data.resize(got);
    return data;
}

// Waits until the condition holds on the stand-in's state, for at most
// `seconds`; Wine's PnP manager works on its own thread.
template <typename Condition>
bool WaitFor(HANDLE standIn, int seconds, Condition done, STANDIN_STATE* last)
{
    for (int i = 0; i < seconds * 10; i++) {
        *last = ReadState(standIn);
        if (done(*last))
            return true;
        Sleep(100);
    }
    return false;
}

// ---- installation ----

// A device instance with its hardware IDs ('|' between them), as a bus
// would report it.
bool RegisterDevice(const char* instance, const char* hardwareIds)
{
    std::wstring ids = Wide(hardwareIds);
    for (wchar_t& c : ids)
        c = c == L'|' ? 0 : c;
    ids.push_back(0);
    HDEVINFO set = SetupDiCreateDeviceInfoList(NULL, NULL);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    GUID none = {};
    bool ok =
        SetupDiCreateDeviceInfoW(set, Wide(instance).c_str(), &none, NULL, NULL, 0, &device) &&
        SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, (const BYTE*)ids.data(),
                                          (DWORD)(ids.size() * sizeof(wchar_t))) &&
        SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device);
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

bool CreateDeviceKey(const char* instance)
{
    HDEVINFO set = SetupDiCreateDeviceInfoList(NULL, NULL);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    bool ok = SetupDiOpenDeviceInfoW(set, Wide(instance).c_str(), NULL, 0, &device);
    HKEY key =
        ok ? SetupDiCreateDevRegKeyW(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, NULL, NULL)
           : (HKEY)INVALID_HANDLE_VALUE;
    ok = key != INVALID_HANDLE_VALUE;
    if (ok)
        RegCloseKey(key);
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

bool InstallDriver(const char* hardwareId, const std::wstring& inf)
{
    BOOL reboot = FALSE;
    return UpdateDriverForPlugAndPlayDevicesW(NULL, Wide(hardwareId).c_str(), inf.c_str(),
                                              INSTALLFLAG_FORCE, &reboot) != FALSE;
}

struct DeviceInfo {
    std::string instance;
    std::string service;
    std::string hardwareIds;
    std::string compatibleIds; // set by the PnP manager from the device's answer
    std::string portName;      // "PortName" of the device key
};

// Devices of one enumerator ("SBP2", "SCSI", "LPTENUM") as setupapi lists them.
std::vector<DeviceInfo> DevicesOf(const wchar_t* enumerator)
{
    std::vector<DeviceInfo> out;
    HDEVINFO set = SetupDiGetClassDevsW(NULL, enumerator, NULL, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE)
        return out;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); i++) {
        wchar_t buffer[512] = {};
        DeviceInfo info;
        if (SetupDiGetDeviceInstanceIdW(set, &device, buffer, 511, NULL))
            info.instance = Narrow(buffer);
        memset(buffer, 0, sizeof(buffer));
        if (SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_SERVICE, NULL, (BYTE*)buffer,
                                              sizeof(buffer) - 4, NULL))
            info.service = Narrow(buffer);
        memset(buffer, 0, sizeof(buffer));
        if (SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, NULL, (BYTE*)buffer,
                                              sizeof(buffer) - 4, NULL)) {
            for (const wchar_t* p = buffer; *p; p += wcslen(p) + 1)
                info.hardwareIds += (info.hardwareIds.empty() ? "" : " ") + Narrow(p);
        }
        memset(buffer, 0, sizeof(buffer));
        if (SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_COMPATIBLEIDS, NULL,
                                              (BYTE*)buffer, sizeof(buffer) - 4, NULL)) {
            for (const wchar_t* p = buffer; *p; p += wcslen(p) + 1)
                info.compatibleIds += (info.compatibleIds.empty() ? "" : " ") + Narrow(p);
        }
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key != INVALID_HANDLE_VALUE) {
            char name[64] = {};
            DWORD size = sizeof(name) - 1;
            if (RegQueryValueExA(key, "PortName", NULL, NULL, (BYTE*)name, &size) == ERROR_SUCCESS)
                info.portName.assign(name, strnlen(name, size));
            RegCloseKey(key);
        }
        out.push_back(info);
    }
    SetupDiDestroyDeviceInfoList(set);
    return out;
}

// ---- the port ----

// The path of the enabled port interface, "" when there is none.
std::string PortInterfacePath()
{
    static const GUID printerClass = {
        0x28D78FAD, 0x5A12, 0x11D1, {0xAE, 0x5B, 0x00, 0x00, 0xF8, 0x03, 0xA8, 0xC2}};
    std::string path;
    HDEVINFO set =
        SetupDiGetClassDevsW(&printerClass, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return path;
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof(iface);
    if (SetupDiEnumDeviceInterfaces(set, NULL, &printerClass, 0, &iface)) {
        union {
            SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
            wchar_t room[600];
        } u;
        u.detail.cbSize = sizeof(u.detail);
        if (SetupDiGetDeviceInterfaceDetailW(set, &iface, &u.detail, sizeof(u), NULL, NULL))
            path = Narrow(u.detail.DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return path;
}

// The port monitor finds the port by its device interface; without one
// (the driver publishes it on 1394 adapters only) the FDO is opened by name.
HANDLE OpenPort(std::string* how)
{
    std::string path = PortInterfacePath();
    if (!path.empty()) {
        *how = "device interface " + path;
        return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0,
                           NULL);
    }
    *how = "name \\Device\\Printer0";
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\Printer0");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    IO_STATUS_BLOCK io;
    HANDLE port = INVALID_HANDLE_VALUE;
    NTSTATUS status =
        NtCreateFile(&port, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, NULL, 0,
                     0, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    return status == 0 ? port : INVALID_HANDLE_VALUE;
}

bool DeviceExists(const wchar_t* path)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    IO_STATUS_BLOCK io;
    HANDLE handle;
    NTSTATUS status = NtOpenFile(&handle, SYNCHRONIZE, &attributes, &io, 0, 0);
    if (status == 0)
        CloseHandle(handle);
    return status != (NTSTATUS)0xC0000034L; // STATUS_OBJECT_NAME_NOT_FOUND
}

// ---- the port's publication (1394 adapters) ----

std::string RegText(HKEY root, const std::string& path, const char* value)
{
    char data[512] = {};
    DWORD size = sizeof(data) - 1, type = 0;
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "(no key)";
    LONG r = RegQueryValueExA(key, value, NULL, &type, (BYTE*)data, &size);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS)
        return "(none)";
    if (type == REG_DWORD)
        return Num(*(DWORD*)data);
    return std::string(data, strnlen(data, size));
}

// The printer's port number kept under the service key, and the values the
// port monitor reads from the port's device interface.
void CheckPublication()
{
    const std::string service = "System\\CurrentControlSet\\Services\\prnsbp\\PortNumber";
    std::string max = RegText(HKEY_LOCAL_MACHINE, service, "MaxPortNumber");
    std::string guid = RegText(HKEY_LOCAL_MACHINE, service + "\\Port1", "Guid");
    Step(max == "1" && guid == STANDIN_PRINTER_KEY, "port number 1 kept for the printer",
         "MaxPortNumber " + max + ", Port1\\Guid " + guid);

    std::string path = PortInterfacePath();
    // \\?\\<instance>#{class} is the key ##?#<instance>#{class} of the class.
    std::string key;
    if (path.size() > 4 + 38)
        key = "System\\CurrentControlSet\\Control\\DeviceClasses\\" +
              path.substr(path.size() - 38) + "\\##?#" + path.substr(4) + "\\#\\Device Parameters";
    std::string number = RegText(HKEY_LOCAL_MACHINE, key, "Port Number");
    std::string base = RegText(HKEY_LOCAL_MACHINE, key, "Base Name");
    std::string description = RegText(HKEY_LOCAL_MACHINE, key, "Port Description");
    Step(!path.empty(), "port interface enabled on unit 0", path);
    Step(number == "1" && base == "QXZR1394_" && description.find("Orvex") == 0,
         "port values on the interface",
         "Port Number " + number + ", Base Name " + base + ", Port Description " + description);
}

// ---- the job ----

typedef LONG(WINAPI* AccessFn)(DWORD, const DataBaseRequest*, DWORD, void*, DWORD*);

// Job start 4120, job setup 4121 for A4 plain paper, raster data, then
// 4125, 4124, 4123, 4122: the pieces the printer driver sends for one page.
bool BuildJob(const wchar_t* dll, std::vector<unsigned char>* job, std::string* detail)
{
    HMODULE module = LoadLibraryW(dll);
    AccessFn drv = module ? (AccessFn)(void*)GetProcAddress(module, "XDB_AccessDrvDataBase") : NULL;
    if (drv == NULL) {
        *detail = "prnmodel.dll or XDB_AccessDrvDataBase not found";
        return false;
    }
    std::vector<LONG> settings(132, 0);
    settings[4] = 3; // the model's print-mode family
    settings[5] = 1; // plain paper
    settings[6] = 1;
    settings[8] = 3;  // standard quality
    settings[28] = 9; // A4
    DataBaseRequest request = {};
    request.SettingCount = (DWORD)settings.size();
    request.Settings = settings.data();
    auto piece = [&](DWORD id) {
        DWORD size = 0;
        LONG code = drv(id, &request, 0, NULL, &size);
        if (code == DB_OK && size == 0)
            return true;
        if (code != DB_MORE_DATA) {
            *detail += "Drv " + Num(id) + " answered " + std::to_string(code) + "; ";
            return false;
        }
        std::vector<unsigned char> bytes(size);
        DWORD written = 0;
        code = drv(id, &request, size, bytes.data(), &written);
        if (code != DB_OK) {
            *detail += "Drv " + Num(id) + " answered " + std::to_string(code) + "; ";
            return false;
        }
        job->insert(job->end(), bytes.begin(), bytes.begin() + written);
        *detail += Num(id) + ":" + Num(written) + " ";
        return true;
    };
    bool ok = piece(4120) && piece(4121);
    for (size_t i = 0; ok && i < 20000; i++) {
        unsigned char b = (unsigned char)((i / 64) * 37 + (i % 64) * 3);
        job->push_back(b == 0x1B ? 0x1C : b);
    }
    *detail += "raster:20000 ";
    ok = ok && piece(4125) && piece(4124) && piece(4123) && piece(4122);
    FreeLibrary(module);
    return ok;
}

// Page-sized pieces as a print processor writes them, and the rest.
bool WriteJob(HANDLE port, const std::vector<unsigned char>& job, std::string* detail)
{
    size_t at = 0;
    int writes = 0;
    while (at < job.size()) {
        DWORD chunk = (DWORD)(job.size() - at >= 4096 ? 4096 : job.size() - at);
        DWORD written = 0;
        if (!WriteFile(port, job.data() + at, chunk, &written, NULL) || written != chunk) {
            *detail = "write " + Num(writes) + " of " + Num(chunk) + " bytes gave " + Num(written) +
                      ", error " + Num(GetLastError());
            return false;
        }
        at += chunk;
        writes++;
    }
    *detail = Num((unsigned long)job.size()) + " bytes in " + Num(writes) + " writes";
    return true;
}

std::string Hex(const unsigned long* cdb)
{
    const unsigned char* b = (const unsigned char*)cdb;
    char text[40];
    std::snprintf(text, sizeof(text), "%02X %02X %02X %02X %02X", b[0], b[1], b[2], b[3], b[4]);
    return text;
}

void ShowLog(const STANDIN_STATE& s)
{
    unsigned long first = s.LogCount > STANDIN_LOG_ENTRIES ? s.LogCount - STANDIN_LOG_ENTRIES : 0;
    for (unsigned long i = first; i < s.LogCount; i++) {
        const unsigned long* e = s.Log[i % STANDIN_LOG_ENTRIES];
        std::printf("  unit %lu major %02lx minor %02lx code %08lx in %lu out %lu -> %08lx\n",
                    e[0] >> 16, (e[0] >> 8) & 0xFF, e[0] & 0xFF, e[1], e[2], e[3], e[4]);
    }
}

bool UnitsStarted(const STANDIN_STATE& s)
{
    // Each start asks for the adapter and the device descriptor, twice each.
    return s.Unit[0].Starts >= 1 && s.Unit[1].Starts >= 1 && s.Unit[0].StorageQueries >= 4 &&
           s.Unit[1].StorageQueries >= 4;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s DRIVER_INF STANDIN_INF PRNMODEL_DLL [--offline]\n",
                     argv[0]);
        return 2;
    }
    std::wstring driverInf = Wide(argv[1]);
    std::wstring standInInf = Wide(argv[2]);
    std::wstring modelDll = Wide(argv[3]);
    bool offline = false, ieee1394 = false;
    for (int i = 4; i < argc; i++) {
        offline |= std::strcmp(argv[i], "--offline") == 0;
        ieee1394 |= std::strcmp(argv[i], "--1394") == 0;
    }

    // The units as the bus will report them, with prnsbp installed on them
    // from its INF before they appear: Wine's PnP manager then loads it for
    // them. (Found by itself among the system's INFs it would need
    // SetupCopyOEMInf, which Wine refuses for an INF whose catalog is not
    // there.)
    Step(RegisterDevice(STANDIN_UNIT_INSTANCE("0"), STANDIN_UNIT_HARDWARE_IDS("0")) &&
             RegisterDevice(STANDIN_UNIT_INSTANCE("1"), STANDIN_UNIT_HARDWARE_IDS("1")),
         "printer units registered", STANDIN_UNIT_INSTANCE("0") " and 1");
    Step(InstallDriver(STANDIN_UNIT_HARDWARE_ID, driverInf), "prnsbp installed from its INF",
         "hardware ID " STANDIN_UNIT_HARDWARE_ID);
    if (ieee1394) {
        // Wine's RtlWriteRegistryValue does not create a missing key, as
        // Windows does: the keys of the printer's port number are made here.
        HKEY port;
        bool made =
            RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                            "System\\CurrentControlSet\\Services\\prnsbp\\PortNumber\\Port1", 0,
                            NULL, 0, KEY_ALL_ACCESS, NULL, &port, NULL) == ERROR_SUCCESS;
        if (made)
            RegCloseKey(port);
        // Wine registers a new device only after asking for its IDs, so the
        // driver could not write the child's device key when asked for them
        // (Windows creates the instance key first): the child's instance is
        // registered here, with its device key.
        made = made && RegisterDevice(CHILD_INSTANCE, CHILD_HARDWARE_ID "|") &&
               CreateDeviceKey(CHILD_INSTANCE);
        Step(made, "keys Wine does not create made beforehand",
             "PortNumber\\Port1 and " CHILD_INSTANCE "\\Device Parameters");
        HKEY key;
        DWORD one = 1;
        bool set =
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\sbp2standin",
                            0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL) == ERROR_SUCCESS &&
            RegSetValueExA(key, "Ieee1394", 0, REG_DWORD, (const BYTE*)&one, sizeof(one)) ==
                ERROR_SUCCESS;
        Step(set, "stand-in adapter set to report an IEEE 1394 bus");
    }
    Step(RegisterDevice("ROOT\\PRNSBPSTANDIN\\0000", STANDIN_HARDWARE_ID "|") &&
             InstallDriver(STANDIN_HARDWARE_ID, standInInf),
         "stand-in bus installed on ROOT\\PRNSBPSTANDIN\\0000");

    HANDLE standIn = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 300 && standIn == INVALID_HANDLE_VALUE; i++) {
        standIn = OpenStandIn();
        if (standIn == INVALID_HANDLE_VALUE)
            Sleep(100);
    }
    Step(standIn != INVALID_HANDLE_VALUE, "stand-in port driver loaded");
    if (standIn == INVALID_HANDLE_VALUE)
        return Summary();

    STANDIN_STATE s;
    currentStep = "both units added and started";
    // Added within 30 s (the broken driver's test waits no longer), started
    // within a minute.
    bool added = WaitFor(
        standIn, 30,
        [](const STANDIN_STATE& st) { return st.Unit[0].Claims >= 1 && st.Unit[1].Claims >= 1; },
        &s);
    bool started = added && WaitFor(standIn, 60, UnitsStarted, &s);
    Step(s.BusStarted && s.RelationsQueries >= 1, "bus started and both units reported",
         "relations queries " + Num(s.RelationsQueries));
    Step(s.Unit[0].Claims >= 1 && s.Unit[1].Claims >= 1 && s.Unit[0].Attached && s.Unit[1].Attached,
         "both units added (claimed, FDO attached)",
         "claims " + Num(s.Unit[0].Claims) + "/" + Num(s.Unit[1].Claims));
    Step(started, "both units started (start passed down, storage descriptors read)",
         "starts " + Num(s.Unit[0].Starts) + "/" + Num(s.Unit[1].Starts) + ", queries " +
             Num(s.Unit[0].StorageQueries) + "/" + Num(s.Unit[1].StorageQueries) +
             ", device-ID leaves " + Num(s.Unit[0].LeafRequests + s.Unit[1].LeafRequests));
    if (!started) {
        ShowLog(s);
        return Summary();
    }
    int onDriver = 0;
    for (const DeviceInfo& d : DevicesOf(L"SBP2")) {
        std::printf("  unit %s: service %s, IDs %s\n", d.instance.c_str(), d.service.c_str(),
                    d.hardwareIds.c_str());
        onDriver += d.service == "prnsbp";
    }
    Step(onDriver == 2, "prnsbp installed from its INF on both units", Num(onDriver) + " of 2");
    Step(s.ReferenceRoutine, "class driver given ObReferenceObjectByPointer");
    if (ieee1394) {
        Step(s.InterfaceKeyRoutine, "class driver given IoOpenDeviceInterfaceRegistryKey");
        Step(s.Unit[0].LeafRequests == 1 && s.Unit[1].LeafRequests == 1,
             "printer identified from the device-ID leaf at each unit's first start");
        CheckPublication();
    }

    // The child: reported in unit 0's bus relations.
    currentStep = "child reported";
    SetValue(standIn, IOCTL_STANDIN_ENUM_UNIT0, 0);
    std::vector<DeviceInfo> children;
    for (int i = 0; i < 100; i++) {
        children = DevicesOf(L"SCSI");
        std::vector<DeviceInfo> lpt = DevicesOf(L"LPTENUM");
        children.insert(children.end(), lpt.begin(), lpt.end());
        if (!children.empty() && !children[0].compatibleIds.empty() &&
            (!ieee1394 || !children[0].portName.empty()))
            break;
        Sleep(100);
    }
    Step(!children.empty() && !children[0].compatibleIds.empty(),
         "child reported and its IDs seen by the PnP manager",
         children.empty() ? "none"
                          : children[0].instance + ", IDs " + children[0].hardwareIds +
                                ", compatible " + children[0].compatibleIds);
    if (ieee1394 && !children.empty())
        Step(children[0].portName == "QXZR1394_001", "child's PortName", children[0].portName);
    s = ReadState(standIn);
    Step(s.ReferencesTaken >= 1, "child referenced for the PnP manager when reported",
         Num(s.ReferencesTaken) + " reference(s)");

    // A job, written and received byte for byte.
    currentStep = "job written and received";
    std::vector<unsigned char> job;
    std::string detail;
    Step(BuildJob(modelDll.c_str(), &job, &detail), "job built by prnmodel.dll", detail);
    std::string how;
    HANDLE port = OpenPort(&how);
    Step(port != INVALID_HANDLE_VALUE, "port opened", how);
    if (port == INVALID_HANDLE_VALUE)
        return Summary();
    s = ReadState(standIn);
    Step(s.Unit[0].Creates == 1 && s.Unit[1].Creates == 1, "open reached both units",
         "creates " + Num(s.Unit[0].Creates) + "/" + Num(s.Unit[1].Creates));
    Step(WriteJob(port, job, &detail), "job written", detail);
    char status[64] = {};
    DWORD got = 0;
    BOOL read = ReadFile(port, status, sizeof(status) - 1, &got, NULL);
    Step(read && std::string(status, got) == STANDIN_STATUS_REPLY, "status read",
         std::string(status, got));
    char id[300] = {};
    BOOL idOk =
        DeviceIoControl(port, IOCTL_PAR_QUERY_DEVICE_ID, NULL, 0, id, sizeof(id) - 1, &got, NULL);
    Step(idOk && std::strstr(id, "MFG:Orvex") != NULL, "device ID read (IOCTL_PAR_QUERY_DEVICE_ID)",
         Num(got) + " bytes");
    CloseHandle(port);
    s = ReadState(standIn);
    Step(s.Unit[0].Closes == 1 && s.Unit[1].Closes == 1, "close reached both units");
    std::vector<unsigned char> received = PrintData(standIn);
    Step(received == job, "job received byte-identical by the printer",
         Num((unsigned long)received.size()) + " bytes in " + Num(s.DataSrbs) +
             " data SRBs, first CDB " + Hex(s.FirstCdb));
    Step(s.Unit[0].BadSrbs == 0 && s.Unit[1].BadSrbs == 0,
         "every SRB carried an MDL describing its data buffer");

    // A printer that refuses data: short counts, then off line.
    currentStep = "refused data";
    SetValue(standIn, IOCTL_STANDIN_REFUSE, 1);
    port = OpenPort(&how);
    static const unsigned char chunk[100] = {0x1B, 'x'};
    DWORD written = 1;
    BOOL wrote = WriteFile(port, chunk, sizeof(chunk), &written, NULL);
    s = ReadState(standIn);
    Step(wrote && written == 0 && s.RefusedSrbs >= 1, "refused data gives a short count",
         Num(written) + " of 100 bytes, " + Num(s.RefusedSrbs) + " refused SRBs");
    if (offline) {
        Sleep(61000);
        wrote = WriteFile(port, chunk, sizeof(chunk), &written, NULL);
        DWORD error = GetLastError();
        Step(!wrote && error == ERROR_NOT_READY, "still refused after 60 s: off line",
             "error " + Num(error));
    }
    SetValue(standIn, IOCTL_STANDIN_REFUSE, 0);
    CloseHandle(port);

    currentStep = "transport error";
    // A transport error: the write that met it comes back short, and the
    // port refuses further requests until it is opened again.
    SetValue(standIn, IOCTL_STANDIN_FAIL_NEXT, 1);
    port = OpenPort(&how);
    wrote = WriteFile(port, chunk, sizeof(chunk), &written, NULL);
    s = ReadState(standIn);
    Step(wrote && written == 0 && s.FailedSrbs == 1, "transport error gives a short count",
         Num(written) + " of 100 bytes");
    wrote = WriteFile(port, chunk, sizeof(chunk), &written, NULL);
    DWORD error = GetLastError();
    Step(!wrote, "after a transport error the next write fails", "error " + Num(error));
    CloseHandle(port);

    // Surprise removal with the port open, then removal.
    currentStep = "surprise removal and removal of both units with the port open";
    port = OpenPort(&how);
    Step(port != INVALID_HANDLE_VALUE, "port open before the printer leaves the bus");
    SetValue(standIn, IOCTL_STANDIN_UNPLUG, 0);
    bool removed = WaitFor(
        standIn, 30,
        [](const STANDIN_STATE& st) { return st.Unit[0].Removes >= 1 && st.Unit[1].Removes >= 1; },
        &s);
    Step(removed && s.Unit[0].Surprises >= 1 && s.Unit[1].Surprises >= 1,
         "surprise removal and removal of both units with the port open",
         "surprise " + Num(s.Unit[0].Surprises) + "/" + Num(s.Unit[1].Surprises) + ", remove " +
             Num(s.Unit[0].Removes) + "/" + Num(s.Unit[1].Removes));
    Step(!s.Unit[0].Present && !s.Unit[1].Present, "unit PDOs deleted at their removal");
    wrote = WriteFile(port, chunk, sizeof(chunk), &written, NULL);
    Step(!wrote, "write on the open port after removal fails", "error " + Num(GetLastError()));
    CloseHandle(port);
    Step(!DeviceExists(L"\\Device\\Printer0") && !DeviceExists(L"\\Device\\Printer1"),
         "both FDOs deleted (\\Device\\Printer0 and 1 gone)");
    CloseHandle(standIn);

    return Summary();
}
