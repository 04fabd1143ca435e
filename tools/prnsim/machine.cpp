#include "machine.h"

#include "names.h"
#include "text.h"

#include "printer_session.h"
#include "prnsbp.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace prnsim
{

Machine::Machine() = default;

Machine::~Machine()
{
    // Stops the port driver's thread and hands the simulated pool (which
    // keeps freed blocks to catch late use) back to the process.
    sbp2sim::Shutdown();
    kmsim::Reset();
}

void Machine::Boot(bool legacy)
{
    sbp2sim::Shutdown();
    kmsim::Reset();
    kmsim::SetLegacyPlatform(legacy);
    printers_.clear();
    replaced_.clear();
    driver_ = nullptr;
    bootTime_ = kmsim::Now();
    {
        std::lock_guard<std::mutex> g(handleLock_);
        handles_.clear();
        removals_.clear();
    }
    kmsim::OnRemoval([this](PDEVICE_OBJECT pdo, bool before) {
        if (!before)
            return;
        std::string label = LabelOf(pdo);
        std::lock_guard<std::mutex> g(handleLock_);
        removals_.push_back(label);
    });
}

static std::string LabelAmong(const std::vector<std::unique_ptr<SimulatedPrinter>>& printers,
                              PDEVICE_OBJECT pdo, const char* suffix)
{
    for (auto& p : printers)
        for (int unit = 0; unit < 2; unit++) {
            PDEVICE_OBJECT u = sbp2sim::UnitPdo(p->bus, unit);
            if (u == nullptr)
                continue;
            if (u == pdo)
                return p->name + "." + std::to_string(unit) + suffix;
            for (PDEVICE_OBJECT c : kmsim::ChildrenOf(u))
                if (c == pdo)
                    return p->name + ".child" + suffix;
        }
    return "";
}

std::string Machine::LabelOf(PDEVICE_OBJECT pdo)
{
    std::string label = LabelAmong(printers_, pdo, "");
    if (label.empty())
        label = LabelAmong(replaced_, pdo, " (before it was plugged in again)");
    if (!label.empty())
        return label;
    std::string name = kmsim::DeviceName(pdo);
    return name.empty() ? "a device" : name;
}

std::vector<std::string> Machine::TakeRemovals()
{
    std::lock_guard<std::mutex> g(handleLock_);
    std::vector<std::string> out;
    out.swap(removals_);
    return out;
}

std::vector<std::string> Machine::RemovalsWaiting(const std::string& name)
{
    std::vector<std::string> out;
    for (PDEVICE_OBJECT pdo : kmsim::RemovalsWaitingForHandles()) {
        std::string label = LabelOf(pdo);
        if (label.compare(0, name.size() + 1, name + ".") == 0)
            out.push_back(label);
    }
    return out;
}

std::string Machine::ServiceKey() const
{
    return std::string(kmsim::kServicesKey) + "prnsbp";
}

NTSTATUS Machine::LoadDriver()
{
    NTSTATUS status = STATUS_SUCCESS;
    session::DeclareDriverLocks();
    driver_ = kmsim::LoadDriver(DriverEntry, "prnsbp", &status);
    return status;
}

bool Machine::UnloadDriver()
{
    if (driver_ == nullptr)
        return true;
    if (!kmsim::DevicesOf(driver_).empty())
        return false;
    kmsim::UnloadDriver(driver_);
    driver_ = nullptr;
    return true;
}

void Machine::SetConfig(const std::string& name, ULONG value)
{
    kmsim::RegSetDword(ServiceKey(), name, value);
}

std::vector<NTSTATUS> Machine::Plug(const std::string& name, const sbp2sim::PrinterConfig& config,
                                    const PlugOrder& order)
{
    auto printer = std::make_unique<SimulatedPrinter>();
    printer->name = name;
    printer->model = std::make_shared<sbp2sim::SimPrinter>();
    // The same printer answers the port driver's device-ID leaf and its own
    // device-ID command.
    printer->model->SetDeviceId(config.deviceId);
    sbp2sim::PrinterConfig c = config;
    printer->gate = std::make_shared<PrinterGate>(name);
    c.model = printer->model;
    std::shared_ptr<PrinterGate> gate = printer->gate;
    c.onArrival = [gate](const sbp2sim::UnitRequest& r) { gate->Arrive(r); };
    printer->bus = sbp2sim::Plug(c);
    printer->plugged = true;
    std::vector<NTSTATUS> results(2, STATUS_NO_SUCH_DEVICE);
    for (int i = 0; i < 2; i++) {
        int unit = order.unit1First ? 1 - i : i;
        PDEVICE_OBJECT pdo = sbp2sim::UnitPdo(printer->bus, unit);
        if (pdo == nullptr || driver_ == nullptr)
            continue;
        results[unit] = order.start[unit] ? kmsim::PlugIn(driver_, pdo)
                                          : kmsim::AddFunctionDriver(driver_, pdo);
    }
    // A printer plugged in again under its old name replaces the old entry.
    for (auto& old : printers_)
        if (old->name == name) {
            replaced_.push_back(std::move(old));
            old = std::move(printer);
            return results;
        }
    printers_.push_back(std::move(printer));
    return results;
}

void Machine::Unplug(const std::string& name)
{
    SimulatedPrinter* p = Find(name);
    if (p == nullptr || !p->plugged)
        return;
    // Off the bus first, so that what the printer held fails as a printer
    // that is gone fails it, and only then the PnP manager's part.
    sbp2sim::TakeOffBus(p->bus);
    p->gate->Release();
    sbp2sim::Unplug(p->bus);
    p->plugged = false;
}

void Machine::UnplugAll()
{
    for (auto& p : printers_)
        Unplug(p->name);
}

void Machine::ReleaseAll()
{
    for (auto& p : printers_)
        p->gate->Release();
}

SimulatedPrinter* Machine::Find(const std::string& name)
{
    for (auto& p : printers_)
        if (p->name == name)
            return p.get();
    return nullptr;
}

std::vector<std::string> Machine::PrinterNames() const
{
    std::vector<std::string> names;
    for (auto& p : printers_)
        names.push_back(p->name);
    return names;
}

PDEVICE_OBJECT Machine::Pdo(const std::string& name, int unit)
{
    SimulatedPrinter* p = Find(name);
    if (p == nullptr || !p->plugged || unit < 0 || unit > 1)
        return nullptr;
    return sbp2sim::UnitPdo(p->bus, unit);
}

PDEVICE_OBJECT Machine::Fdo(const std::string& name, int unit)
{
    return session::FdoOf(Pdo(name, unit));
}

PDEVICE_OBJECT Machine::Child(const std::string& name)
{
    PDEVICE_OBJECT pdo = Pdo(name, 0);
    if (pdo == nullptr)
        return nullptr;
    std::vector<PDEVICE_OBJECT> children = kmsim::ChildrenOf(pdo);
    return children.empty() ? nullptr : children[0];
}

Outcome Machine::Open(const std::string& port, PDEVICE_OBJECT device,
                      const kmsim::OpenOptions& options)
{
    kmsim::OpenResult r = kmsim::OpenFile(device, options);
    if (r.file != nullptr) {
        std::lock_guard<std::mutex> g(handleLock_);
        handles_[port].push_back(r.file);
    }
    return {r.status, 0, {}};
}

Outcome Machine::Close(const std::string& port, PDEVICE_OBJECT device)
{
    PFILE_OBJECT file = nullptr;
    {
        std::lock_guard<std::mutex> g(handleLock_);
        auto it = handles_.find(port);
        if (it != handles_.end() && !it->second.empty()) {
            file = it->second.back();
            it->second.pop_back();
        }
    }
    if (file == nullptr) {
        session::Reply r = session::SendSimple(device, IRP_MJ_CLOSE);
        return {r.status, r.bytes, {}};
    }
    kmsim::IrpResult r = kmsim::CloseFile(file);
    return {r.status, r.information, {}};
}

PFILE_OBJECT Machine::HandleOf(const std::string& port) const
{
    std::lock_guard<std::mutex> g(handleLock_);
    auto it = handles_.find(port);
    return it == handles_.end() || it->second.empty() ? nullptr : it->second.back();
}

std::vector<std::string> Machine::CloseAllHandles()
{
    std::vector<std::string> closed;
    while (true) {
        std::string port;
        {
            std::lock_guard<std::mutex> g(handleLock_);
            for (auto& h : handles_)
                if (!h.second.empty()) {
                    port = h.first;
                    break;
                }
        }
        if (port.empty())
            return closed;
        Close(port, nullptr);
        closed.push_back(port);
    }
}

Outcome Machine::Write(PDEVICE_OBJECT device, PFILE_OBJECT file,
                       const std::vector<unsigned char>& data)
{
    std::vector<unsigned char> copy = data;
    ULONG length = (ULONG)copy.size();
    session::Reply r =
        file ? session::SendTransferOn(file, IRP_MJ_WRITE, copy.data(), length)
             : session::SendTransfer(device, IRP_MJ_WRITE, copy.data(), length, length);
    return {r.status, r.bytes, {}};
}

Outcome Machine::Read(PDEVICE_OBJECT device, PFILE_OBJECT file, ULONG length)
{
    std::vector<unsigned char> buffer(length, 0);
    session::Reply r =
        file ? session::SendTransferOn(file, IRP_MJ_READ, buffer.data(), length)
             : session::SendTransfer(device, IRP_MJ_READ, buffer.data(), length, length);
    // The driver reports what it delivered; never show more than the buffer.
    buffer.resize(r.bytes < length ? r.bytes : length);
    return {r.status, r.bytes, buffer};
}

Outcome Machine::DeviceControl(PDEVICE_OBJECT device, PFILE_OBJECT file, ULONG code,
                               const std::vector<unsigned char>& in, ULONG outLength,
                               bool systemBuffer)
{
    size_t size = in.size() > outLength ? in.size() : outLength;
    std::vector<unsigned char> buffer(size ? size : 1, 0);
    std::copy(in.begin(), in.end(), buffer.begin());
    PUCHAR system = systemBuffer ? buffer.data() : nullptr;
    session::Reply r =
        file ? session::SendControlOn(file, code, system, (ULONG)in.size(), outLength)
             : session::SendControl(device, code, system, (ULONG)in.size(), outLength);
    size_t shown = r.bytes < outLength ? r.bytes : outLength;
    if (!systemBuffer)
        shown = 0;
    buffer.resize(shown);
    return {r.status, r.bytes, buffer};
}

SrbOutcome Machine::Internal(PDEVICE_OBJECT device, const SrbRequest& request)
{
    ULONG length = request.dataOut.empty() ? request.dataIn : (ULONG)request.dataOut.size();
    // Data and sense in non-paged pool, the data described by an MDL, as a
    // class driver above would hand them over.
    PUCHAR data =
        length ? (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, length, kmsim::Tag("Test")) : nullptr;
    PMDL mdl = nullptr;
    if (data) {
        memset(data, 0, length);
        if (!request.dataOut.empty())
            memcpy(data, request.dataOut.data(), length);
        mdl = IoAllocateMdl(data, length, FALSE, FALSE, nullptr);
        if (mdl)
            MmBuildMdlForNonPagedPool(mdl);
    }
    std::vector<unsigned char> sense(request.senseLength ? request.senseLength : 1, 0);
    SCSI_REQUEST_BLOCK srb;
    memset(&srb, 0, sizeof srb);
    srb.Length = (USHORT)sizeof srb;
    srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
    srb.QueueTag = request.queueTag;
    srb.QueueAction = request.queueAction;
    srb.CdbLength = (UCHAR)request.cdb.size();
    srb.SenseInfoBufferLength = request.senseLength;
    srb.SenseInfoBuffer = sense.data();
    srb.SrbFlags = request.flags | (request.dataOut.empty() ? 0 : SRB_FLAGS_DATA_OUT) |
                   (request.dataIn ? SRB_FLAGS_DATA_IN : 0);
    srb.DataTransferLength = length;
    srb.DataBuffer = data;
    srb.TimeOutValue = request.timeout;
    memcpy(srb.Cdb, request.cdb.data(), request.cdb.size());
    kmsim::IrpResult r = kmsim::SendIrp(
        device, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0,
        [&srb](PIO_STACK_LOCATION s) { s->Parameters.Scsi.Srb = &srb; }, STATUS_NOT_SUPPORTED, mdl);
    SrbOutcome o;
    o.status = r.status;
    o.information = r.information;
    o.srbStatus = srb.SrbStatus;
    o.transferred = srb.DataTransferLength;
    if (request.dataIn && data)
        o.data.assign(data, data + std::min<ULONG>(length, (ULONG)r.information));
    if (srb.SrbStatus & SRB_STATUS_AUTOSENSE_VALID)
        o.sense.assign(sense.begin(), sense.begin() + request.senseLength);
    if (mdl)
        IoFreeMdl(mdl);
    if (data)
        ExFreePool(data);
    return o;
}

Outcome Machine::SystemControl(PDEVICE_OBJECT device, UCHAR minor)
{
    kmsim::IrpResult r = kmsim::SendIrp(device, IRP_MJ_SYSTEM_CONTROL, minor);
    return {r.status, r.information, {}};
}

std::vector<SeenEvent> Machine::NewBusEvents()
{
    std::vector<SeenEvent> out;
    for (auto& p : printers_) {
        std::vector<sbp2sim::BusEvent> trace = p->model->Trace();
        for (size_t i = p->traceSeen; i < trace.size(); i++)
            out.push_back({p->name, trace[i]});
        p->traceSeen = trace.size();
    }
    return out;
}

std::vector<std::pair<std::string, sbp2sim::PortRequest>> Machine::NewPortRequests()
{
    std::vector<std::pair<std::string, sbp2sim::PortRequest>> out;
    for (auto& p : printers_) {
        if (!p->plugged)
            continue;
        const std::vector<sbp2sim::PortRequest>& list = sbp2sim::CountersOf(p->bus).requests;
        for (size_t i = p->requestsSeen; i < list.size(); i++)
            out.push_back({p->name, list[i]});
        p->requestsSeen = list.size();
    }
    return out;
}

double Machine::ElapsedMs() const
{
    return (double)(kmsim::Now() - bootTime_) / kMs;
}

static std::string Unhex16(const std::string& hex)
{
    std::vector<unsigned char> bytes;
    if (hex != "-")
        ParseHexBytes(hex, &bytes);
    std::string s;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        unsigned unit = bytes[i] | bytes[i + 1] << 8;
        s += unit < 0x80 ? std::string(1, (char)unit) : std::string("?");
    }
    return s;
}

// REG_SZ and REG_MULTI_SZ data as their text, without the terminators, and
// a flag where the stored length is not what the text needs: the strings
// and one terminator each, and for a REG_MULTI_SZ one more at the end.
std::string RegistryText(const std::vector<unsigned char>& data, bool multi)
{
    std::vector<unsigned> units;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        units.push_back(data[i] | data[i + 1] << 8);
    // The strings as the reader of the value takes them: up to the first
    // terminator (a list: up to the empty string).
    std::vector<std::string> strings(1);
    size_t used = 0;
    bool ended = false;
    for (; used < units.size() && !ended; used++) {
        unsigned unit = units[used];
        if (unit == 0) {
            ended = !multi || strings.back().empty();
            if (!ended)
                strings.emplace_back();
        } else {
            strings.back() += unit >= 0x20 && unit < 0x7F ? (char)unit : '?';
        }
    }
    if (multi && !strings.empty() && strings.back().empty())
        strings.pop_back();
    std::string s;
    for (const std::string& text : strings)
        s += (s.empty() ? "\"" : " | \"") + text + "\"";
    if (s.empty())
        s = multi ? "(empty list)" : "\"\"";
    size_t extra = units.size() - used;
    if (data.size() % 2)
        s += Format(" (%zu bytes: an odd length)", data.size());
    else if (!ended)
        s += multi && !units.empty() && units.back() == 0 ? " (no list terminator)"
                                                          : " (no terminator)";
    else if (extra > 0)
        s += Format(" (%zu bytes: %zu code unit%s after the terminator)", data.size(), extra,
                    extra == 1 ? "" : "s");
    return s;
}

static std::string RegistryValue(ULONG type, const std::vector<unsigned char>& data)
{
    if (type == REG_DWORD && data.size() == 4) {
        uint32_t v = data[0] | data[1] << 8 | data[2] << 16 | (uint32_t)data[3] << 24;
        return "REG_DWORD " + Hex32(v) + " (" + std::to_string(v) + ")";
    }
    if (type == REG_SZ)
        return "REG_SZ " + RegistryText(data, false);
    if (type == REG_MULTI_SZ)
        return "REG_MULTI_SZ " + RegistryText(data, true);
    return "type " + std::to_string(type) + " [" + HexBytes(data.data(), data.size()) + "]";
}

static bool StartsWithNoCase(const std::string& s, const std::string& prefix)
{
    if (s.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); i++)
        if (tolower((unsigned char)s[i]) != tolower((unsigned char)prefix[i]))
            return false;
    return true;
}

std::vector<std::string> Machine::RegistryDump(const std::string& prefix)
{
    char path[] = "/tmp/prnsim-registry-XXXXXX";
    int fd = mkstemp(path);
    std::vector<std::string> lines;
    if (fd < 0)
        return {"(cannot save the registry to a temporary file)"};
    close(fd);
    kmsim::RegSave(path);
    std::ifstream in(path);
    std::string line, lastKey;
    while (std::getline(in, line)) {
        std::istringstream s(line);
        std::string kind, keyHex, nameHex, dataHex;
        ULONG type = 0;
        s >> kind >> keyHex;
        std::string key = Unhex16(keyHex);
        if (!prefix.empty() && !StartsWithNoCase(key, prefix))
            continue;
        if (kind == "K") {
            lines.push_back(key);
            lastKey = key;
        } else if (kind == "V") {
            s >> nameHex >> type >> dataHex;
            if (key != lastKey) {
                lines.push_back(key);
                lastKey = key;
            }
            std::vector<unsigned char> data;
            if (dataHex != "-")
                ParseHexBytes(dataHex, &data);
            std::string name = Unhex16(nameHex);
            lines.push_back("    " + (name.empty() ? std::string("(default)") : name) + " = " +
                            RegistryValue(type, data));
        }
    }
    unlink(path);
    return lines;
}

std::vector<std::string> Machine::ShutdownAndCheck()
{
    std::vector<std::string> problems;
    CloseAllHandles();
    UnplugAll();
    if (!UnloadDriver())
        problems.push_back("the driver still has " +
                           std::to_string(kmsim::DevicesOf(driver_).size()) +
                           " device object(s); it cannot be unloaded");
    sbp2sim::Shutdown();
    std::istringstream s(kmsim::LeftBehind());
    std::string line;
    while (std::getline(s, line))
        if (!line.empty())
            problems.push_back(line);
    return problems;
}

std::string FormatBusEvent(const SeenEvent& seen, LONGLONG bootTime)
{
    const sbp2sim::BusEvent& e = seen.event;
    char head[64];
    snprintf(head, sizeof head, "[%10.4f ms] %s/%d ", (double)(e.time - bootTime) / kMs,
             seen.printer.c_str(), e.unit);
    std::string s = head;
    if (e.kind == sbp2sim::BusEvent::kCreate)
        return s + "CREATE -> " + StatusName(e.status);
    if (e.kind == sbp2sim::BusEvent::kClose)
        return s + "CLOSE  -> " + StatusName(e.status);
    const char* direction = (e.srbFlags & SRB_FLAGS_DATA_OUT)  ? "out"
                            : (e.srbFlags & SRB_FLAGS_DATA_IN) ? "in "
                                                               : "-  ";
    char tail[96];
    snprintf(tail, sizeof tail, " %s %6lu -> %s %lu", direction, (unsigned long)e.transferLength,
             SrbStatusName(e.srbStatus).c_str(), (unsigned long)e.delivered);
    s += "SCSI " + HexBytes(e.cdb.data(), 8) + tail + " (" + CommandName(e.op(), e.sub()) + ")";
    if (e.srbStatus & SRB_STATUS_AUTOSENSE_VALID)
        s += ", sense " + std::to_string(e.senseLength) + ": " +
             (e.senseReturned ? HexBytes(e.sense.data(), e.senseReturned) : "none");
    if (e.ending == sbp2sim::BusEvent::kTimedOut)
        s += Format(", no answer since %.4f ms: the port driver's %lu s time-out ended it",
                    (double)(e.arrived - bootTime) / kMs, (unsigned long)e.timeout);
    else if (e.ending == sbp2sim::BusEvent::kOffBus)
        s += Format(", held since %.4f ms: the printer left the bus with it",
                    (double)(e.arrived - bootTime) / kMs);
    return s;
}

std::string FormatSrbDetail(const sbp2sim::BusEvent& e)
{
    char text[160];
    snprintf(text, sizeof text,
             "function %02X, flags %08lX, queue tag %u action %02X, time-out %lu s, CDB length %u, "
             "sense %u, CDB 8-15 ",
             e.function, (unsigned long)e.srbFlags, e.queueTag, e.queueAction,
             (unsigned long)e.timeout, e.cdbLength, e.senseLength);
    return text + HexBytes(e.cdb.data() + 8, 8);
}

std::string FormatPortRequest(const std::string& printer, const sbp2sim::PortRequest& r,
                              LONGLONG bootTime)
{
    char text[192];
    int n = snprintf(text, sizeof text, "[%10.4f ms] %s/%d ", (double)(r.time - bootTime) / kMs,
                     printer.c_str(), r.unit);
    const ULONG* f = r.field;
    switch (r.kind) {
    case sbp2sim::PortRequest::kClaim:
    case sbp2sim::PortRequest::kRelease:
        snprintf(text + n, sizeof text - n, "%s SRB length %lu, flags %08lX, time-out %lu s",
                 r.kind == sbp2sim::PortRequest::kClaim ? "CLAIM" : "RELEASE", (unsigned long)f[2],
                 (unsigned long)f[0], (unsigned long)f[1]);
        break;
    case sbp2sim::PortRequest::kStorageQuery:
        snprintf(text + n, sizeof text - n,
                 "STORAGE QUERY property %lu (%s), query type %lu, room %lu", (unsigned long)f[0],
                 f[0] == 0   ? "device"
                 : f[0] == 1 ? "adapter"
                             : "other",
                 (unsigned long)f[1], (unsigned long)f[2]);
        break;
    case sbp2sim::PortRequest::kDeviceId:
        snprintf(text + n, sizeof text - n,
                 "SBP2 REQUEST number %lu, flags %08lX, leaf flags %08lX, key %02lX",
                 (unsigned long)f[0], (unsigned long)f[1], (unsigned long)f[2],
                 (unsigned long)f[3]);
        break;
    }
    return std::string(text) + " -> " + StatusName(r.status);
}

std::string RegistryValueText(const std::string& key, const std::string& name)
{
    ULONG type = 0;
    std::vector<unsigned char> data;
    if (!kmsim::RegGetRaw(key, name, &type, &data))
        return "(not set)";
    if (type == REG_DWORD && data.size() == 4)
        return std::to_string(data[0] | data[1] << 8 | data[2] << 16 | data[3] << 24);
    return RegistryText(data, type == REG_MULTI_SZ);
}

} // namespace prnsim
