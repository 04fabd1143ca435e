// Device interfaces and device registry keys of devnodes.
#include "registry.h"

#include <map>

namespace kmsim
{

namespace
{
struct Iface {
    std::u16string link; // "\??\..." as handed out
    PDEVICE_OBJECT pdo;
    GUID guid;
    bool enabled;
    std::u16string keyPath;
    std::vector<std::string> valuesAtArrival;
};
std::map<std::u16string, Iface> interfaces; // lower-case link

std::u16string GuidText(const GUID& g)
{
    char buf[64];
    snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             (unsigned)g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
             g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return U16(buf);
}

// The devnode's instance path, made from the PDO's name.
std::u16string InstancePath(PDEVICE_OBJECT pdo)
{
    std::u16string byIds = IdInstancePath(pdo);
    if (!byIds.empty())
        return byIds;
    std::u16string name = Info(pdo)->name;
    if (name.empty()) {
        char buf[40];
        snprintf(buf, sizeof buf, "ROOT\\UNNAMED\\%p", (void*)pdo);
        return U16(buf);
    }
    std::u16string prefix = U16("\\Device\\");
    if (name.compare(0, prefix.size(), prefix) == 0)
        name = name.substr(prefix.size());
    return name;
}
} // namespace

std::string DeviceKeyPath(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + Narrow(InstancePath(pdo)) +
           "\\Device Parameters";
}

std::vector<InterfaceInfo> Interfaces()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    std::vector<InterfaceInfo> r;
    for (auto& i : interfaces)
        r.push_back(InterfaceInfo{Narrow(i.second.link), i.second.pdo, i.second.guid,
                                  i.second.enabled, Narrow(i.second.keyPath),
                                  i.second.valuesAtArrival});
    return r;
}

size_t EnabledInterfaceCount()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    size_t n = 0;
    for (auto& i : interfaces)
        n += i.second.enabled ? 1 : 0;
    return n;
}

void ResetInterfaces()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    interfaces.clear();
}

} // namespace kmsim

using namespace kmsim;

extern "C" {

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                         const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString,
                                         PUNICODE_STRING SymbolicLinkName)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        Violation("IoRegisterDeviceInterface above PASSIVE_LEVEL");
    std::u16string link;
    std::u16string keyPath;
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        if (!IsLiveDevice(PhysicalDeviceObject))
            return STATUS_INVALID_DEVICE_REQUEST;
        std::u16string instance = InstancePath(PhysicalDeviceObject);
        for (auto& c : instance)
            if (c == u'\\')
                c = u'#';
        std::u16string guid = GuidText(*InterfaceClassGuid);
        link = U16("\\??\\") + instance + u"#" + guid;
        if (ReferenceString && ReferenceString->Length)
            link += u"\\" + ToU16(ReferenceString);
        keyPath = U16("\\Registry\\Machine\\System\\CurrentControlSet\\Control\\DeviceClasses\\") +
                  guid + U16("\\##?#") + instance + u"#" + guid + U16("\\#\\Device Parameters");
        auto it = interfaces.find(Lower(link));
        if (it == interfaces.end())
            interfaces[Lower(link)] =
                Iface{link, PhysicalDeviceObject, *InterfaceClassGuid, false, keyPath, {}};
        else
            it->second.pdo = PhysicalDeviceObject;
    }
    USHORT bytes = (USHORT)(link.size() * 2);
    PWSTR buffer = (PWSTR)PoolAllocate(PagedPool, bytes + 2u, kTagString);
    if (buffer == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    for (size_t i = 0; i < link.size(); i++)
        buffer[i] = (WCHAR)link[i];
    buffer[link.size()] = 0;
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = bytes;
    SymbolicLinkName->MaximumLength = (USHORT)(bytes + 2);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto it = interfaces.find(Lower(ToU16(SymbolicLinkName)));
    if (it == interfaces.end())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (Enable && !it->second.enabled)
        it->second.valuesAtArrival = RegValueNames(Narrow(it->second.keyPath));
    it->second.enabled = Enable != FALSE;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoOpenDeviceInterfaceRegistryKey(PUNICODE_STRING SymbolicLinkName,
                                                ACCESS_MASK DesiredAccess,
                                                PHANDLE DeviceInterfaceKey)
{
    (void)DesiredAccess;
    *DeviceInterfaceKey = NULL;
    if (SymbolicLinkName == NULL || SymbolicLinkName->Buffer == NULL)
        return STATUS_INVALID_PARAMETER;
    std::u16string keyPath;
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        auto it = interfaces.find(Lower(ToU16(SymbolicLinkName)));
        if (it == interfaces.end())
            return STATUS_OBJECT_NAME_NOT_FOUND;
        keyPath = it->second.keyPath;
    }
    *DeviceInterfaceKey = RegOpenHandle(keyPath, true);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                       ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey)
{
    (void)DesiredAccess;
    *DevInstRegKey = NULL;
    if (!IsLiveDevice(DeviceObject))
        return STATUS_INVALID_DEVICE_REQUEST;
    if (DevInstKeyType != PLUGPLAY_REGKEY_DEVICE)
        return STATUS_INVALID_PARAMETER;
    *DevInstRegKey = RegOpenHandle(U16(DeviceKeyPath(DeviceObject)), true);
    return STATUS_SUCCESS;
}

VOID NTAPI IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type)
{
    if (Type == BusRelations)
        QueueInvalidation(DeviceObject);
}

} // extern "C"
