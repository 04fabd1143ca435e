// The identifiers of a devnode, as the PnP manager asks a bus driver for
// them when the bus reports a new child: its capabilities (whether it
// claims UniqueID), IRP_MN_QUERY_ID for the device ID and the instance ID
// (they name the devnode's key under Enum), then the hardware and
// compatible IDs. The answers are the PnP manager's to free; it keeps a copy
// for tests.
//
// An instance ID claimed unique names the devnode on its own; any other is
// made unique under the parent with a prefix of the parent's. Two devnodes
// with one device ID and instance path stop Windows
// (PNP_DETECTED_FATAL_ERROR, duplicate PDO): a violation here. A devnode
// whose surprise removal has completed no longer holds its instance path,
// though it stays until its handles are closed: the device plugged in again
// meanwhile is enumerated with the same path, as on Windows.
#include "core.h"

#include <cstdio>
#include <map>
#include <set>

namespace kmsim
{

namespace
{
std::map<PDEVICE_OBJECT, DeviceIds> ids;
std::set<PDEVICE_OBJECT> released; // surprise-removed: their paths are free

// Multi-strings end with an empty string; a missing terminator is a bus
// driver's fault, so reading stops at the pool block's last character.
std::vector<std::string> SplitMultiString(const WCHAR* text, size_t maxChars)
{
    std::vector<std::string> out;
    std::string current;
    for (size_t i = 0; i < maxChars; i++) {
        if (text[i] == 0) {
            if (current.empty())
                return out;
            out.push_back(current);
            current.clear();
        } else {
            current += text[i] < 0x80 ? (char)text[i] : '?';
        }
    }
    Violation("multi-string ID without its terminating empty string");
    return out;
}

// One IRP_MN_QUERY_ID. The status the request comes with tells whether
// anyone answered it at all.
NTSTATUS QueryOneId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, bool multi,
                    std::vector<std::string>* values)
{
    IrpResult r = SendPnp(pdo, IRP_MN_QUERY_ID,
                          [type](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; });
    values->clear();
    if (!NT_SUCCESS(r.status)) {
        if (r.information != 0)
            Violation("IRP_MN_QUERY_ID failed but left a buffer in Information");
        return r.status;
    }
    if (r.information == 0)
        return r.status;
    const WCHAR* text = (const WCHAR*)r.information;
    size_t maxChars = PoolBlockSize((PVOID)r.information) / sizeof(WCHAR);
    if (multi) {
        *values = SplitMultiString(text, maxChars);
    } else {
        std::u16string one;
        size_t i = 0;
        for (; i < maxChars && text[i] != 0; i++)
            one += (char16_t)text[i];
        if (i == maxChars)
            Violation("ID string without its terminating zero");
        values->push_back(Narrow(one));
    }
    ExFreePool((PVOID)r.information);
    return r.status;
}

// UniqueID of the capabilities; a PDO that does not answer claims nothing.
bool QueryUniqueId(PDEVICE_OBJECT pdo)
{
    DEVICE_CAPABILITIES caps;
    memset(&caps, 0, sizeof caps);
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = (ULONG)-1;
    caps.UINumber = (ULONG)-1;
    IrpResult r = SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES, [&caps](PIO_STACK_LOCATION s) {
        s->Parameters.DeviceCapabilities.Capabilities = &caps;
    });
    return NT_SUCCESS(r.status) && caps.UniqueID;
}

// The parent's prefix of an instance ID that is not unique on its own: the
// same for every child of one parent, stable from run to run.
std::string ParentIdPrefix(PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT parent = ParentOf(pdo);
    std::string name = parent != nullptr ? DeviceName(parent) : std::string();
    if (name.empty() && parent != nullptr) // an unnamed parent: its address, within a run
        name = std::to_string((uintptr_t)parent);
    uint32_t hash = 2166136261u; // FNV-1a
    for (unsigned char c : name)
        hash = (hash ^ c) * 16777619u;
    char prefix[32];
    snprintf(prefix, sizeof prefix, "7&%x&0&", hash);
    return prefix;
}

std::string Lowered(const std::string& s)
{
    std::string r = s;
    for (char& c : r)
        c = (char)tolower((unsigned char)c);
    return r;
}

// Under g_lock: "<device ID>\<instance path>", or "" before both are known.
std::string InstancePathOf(const DeviceIds& d)
{
    if (d.deviceId.empty() || d.instanceId.empty())
        return "";
    return d.deviceId + "\\" + d.instancePrefix + d.instanceId;
}

void CheckUniqueInstance(PDEVICE_OBJECT pdo, const DeviceIds& d)
{
    std::string path = Lowered(InstancePathOf(d));
    if (path.empty())
        return;
    for (const auto& other : ids)
        if (other.first != pdo && released.count(other.first) == 0 &&
            Lowered(InstancePathOf(other.second)) == path)
            Violation("two devnodes with the device ID " + d.deviceId + " and the instance ID " +
                      d.instanceId + (d.instancePrefix.empty() ? " (UniqueID claimed)" : "") +
                      ": PNP_DETECTED_FATAL_ERROR, duplicate PDO");
}
} // namespace

DeviceIds QueryDeviceIds(PDEVICE_OBJECT pdo)
{
    DeviceIds result;
    std::vector<std::string> values;
    result.uniqueId = QueryUniqueId(pdo);
    if (!result.uniqueId)
        result.instancePrefix = ParentIdPrefix(pdo);
    result.deviceIdStatus = QueryOneId(pdo, BusQueryDeviceID, false, &values);
    result.deviceId = values.empty() ? "" : values[0];
    result.instanceIdStatus = QueryOneId(pdo, BusQueryInstanceID, false, &values);
    result.instanceId = values.empty() ? "" : values[0];
    {
        // The devnode's key exists from here on: the bus driver may open it
        // while it answers the remaining queries.
        std::lock_guard<std::recursive_mutex> g(g_lock);
        CheckUniqueInstance(pdo, result);
        ids[pdo] = result;
    }
    result.hardwareIdsStatus = QueryOneId(pdo, BusQueryHardwareIDs, true, &result.hardwareIds);
    result.compatibleIdsStatus =
        QueryOneId(pdo, BusQueryCompatibleIDs, true, &result.compatibleIds);
    std::lock_guard<std::recursive_mutex> g(g_lock);
    ids[pdo] = result;
    return result;
}

DeviceIds IdsOf(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto it = ids.find(pdo);
    return it == ids.end() ? DeviceIds{} : it->second;
}

std::u16string IdInstancePath(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto it = ids.find(pdo);
    return it == ids.end() ? std::u16string() : U16(InstancePathOf(it->second));
}

void ReleaseInstancePath(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    released.insert(pdo);
}

void ForgetDeviceIds(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    ids.erase(pdo);
    released.erase(pdo);
}

void ResetDeviceIds()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    ids.clear();
    released.clear();
}

} // namespace kmsim
