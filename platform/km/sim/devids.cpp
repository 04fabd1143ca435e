// The identifiers of a devnode, as the PnP manager asks a bus driver for
// them when the bus reports a new child: IRP_MN_QUERY_ID for the device ID
// and the instance ID first (they name the devnode's key under Enum), then
// the hardware and compatible IDs. The answers are the PnP manager's to
// free; it keeps a copy for tests.
#include "core.h"

#include <map>

namespace kmsim
{

namespace
{
std::map<PDEVICE_OBJECT, DeviceIds> ids;

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
} // namespace

DeviceIds QueryDeviceIds(PDEVICE_OBJECT pdo)
{
    DeviceIds result;
    std::vector<std::string> values;
    result.deviceIdStatus = QueryOneId(pdo, BusQueryDeviceID, false, &values);
    result.deviceId = values.empty() ? "" : values[0];
    result.instanceIdStatus = QueryOneId(pdo, BusQueryInstanceID, false, &values);
    result.instanceId = values.empty() ? "" : values[0];
    {
        // The devnode's key exists from here on: the bus driver may open it
        // while it answers the remaining queries.
        std::lock_guard<std::recursive_mutex> g(g_lock);
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
    if (it == ids.end() || it->second.deviceId.empty() || it->second.instanceId.empty())
        return std::u16string();
    return U16(it->second.deviceId + "\\" + it->second.instanceId);
}

void ForgetDeviceIds(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    ids.erase(pdo);
}

void ResetDeviceIds()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    ids.clear();
}

} // namespace kmsim
