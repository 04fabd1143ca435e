// The registry: an in-memory tree of keys reachable by absolute paths, with
// the run-time library's query and write routines, key handles, and saving
// to and loading from a file.
#include "registry.h"

#include <fstream>
#include <map>
#include <sstream>

namespace kmsim
{

namespace
{
struct Value {
    std::u16string name;
    ULONG type;
    std::vector<unsigned char> data;
};
struct Key {
    std::u16string path;                    // as first created
    std::map<std::u16string, Value> values; // lower-case name
};
std::map<std::u16string, Key> keys; // lower-case path
std::map<uintptr_t, std::u16string> handles;
uintptr_t nextHandle = 0x100;

std::u16string Normalise(const std::u16string& path)
{
    std::u16string p = path;
    while (p.size() > 1 && p.back() == u'\\')
        p.pop_back();
    return p;
}

Key* FindKey(const std::u16string& path)
{
    auto it = keys.find(Lower(Normalise(path)));
    return it == keys.end() ? nullptr : &it->second;
}

Value* FindValue(const std::u16string& path, const std::u16string& name)
{
    Key* k = FindKey(path);
    if (!k)
        return nullptr;
    auto it = k->values.find(Lower(name));
    return it == k->values.end() ? nullptr : &it->second;
}

std::u16string BaseOf(ULONG relativeTo, PCWSTR path)
{
    switch (relativeTo & ~(ULONG)(RTL_REGISTRY_OPTIONAL)) {
    case RTL_REGISTRY_SERVICES:
        return U16("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\") + ToU16(path);
    case RTL_REGISTRY_CONTROL:
        return U16("\\Registry\\Machine\\System\\CurrentControlSet\\Control\\") + ToU16(path);
    case RTL_REGISTRY_WINDOWS_NT:
        return U16("\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\") +
               ToU16(path);
    case RTL_REGISTRY_DEVICEMAP:
        return U16("\\Registry\\Machine\\Hardware\\DeviceMap\\") + ToU16(path);
    default:
        return ToU16(path);
    }
}

std::string Hex(const void* p, size_t n)
{
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = ((const unsigned char*)p)[i];
        s.push_back(digits[c >> 4]);
        s.push_back(digits[c & 15]);
    }
    return s.empty() ? "-" : s;
}

std::vector<unsigned char> Unhex(const std::string& s)
{
    std::vector<unsigned char> r;
    if (s == "-")
        return r;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        r.push_back((unsigned char)std::stoi(s.substr(i, 2), nullptr, 16));
    return r;
}

std::string HexU16(const std::u16string& s)
{
    return Hex(s.data(), s.size() * 2);
}

std::u16string UnhexU16(const std::string& s)
{
    auto b = Unhex(s);
    std::u16string r;
    for (size_t i = 0; i + 1 < b.size(); i += 2)
        r.push_back((char16_t)(b[i] | (b[i + 1] << 8)));
    return r;
}
} // namespace

void RegCreateKey(const std::u16string& path)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    std::u16string p = Normalise(path);
    size_t pos = 1;
    while (true) {
        size_t next = p.find(u'\\', pos);
        std::u16string prefix = next == std::u16string::npos ? p : p.substr(0, next);
        std::u16string lower = Lower(prefix);
        if (!keys.count(lower))
            keys[lower].path = prefix;
        if (next == std::u16string::npos)
            break;
        pos = next + 1;
    }
}

HANDLE RegOpenHandle(const std::u16string& path, bool create)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    if (create)
        RegCreateKey(path);
    else if (!FindKey(path))
        return NULL;
    uintptr_t h = nextHandle;
    nextHandle += 4;
    handles[h] = Lower(Normalise(path));
    return (HANDLE)h;
}

bool RegSetValue(const std::u16string& path, const std::u16string& name, ULONG type,
                 const void* data, size_t size)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    Key* k = FindKey(path);
    if (!k)
        return false;
    Value& v = k->values[Lower(name)];
    v.name = name;
    v.type = type;
    v.data.assign((const unsigned char*)data, (const unsigned char*)data + size);
    return true;
}

void RegSetDword(const std::string& key, const std::string& name, ULONG value)
{
    RegCreateKey(U16(key));
    RegSetValue(U16(key), U16(name), REG_DWORD, &value, 4);
}

void RegSetString(const std::string& key, const std::string& name, const std::u16string& value)
{
    RegCreateKey(U16(key));
    std::u16string z = value;
    z.push_back(0);
    RegSetValue(U16(key), U16(name), REG_SZ, z.data(), z.size() * 2);
}

void RegSetBinary(const std::string& key, const std::string& name, ULONG type,
                  const std::vector<unsigned char>& data)
{
    RegCreateKey(U16(key));
    RegSetValue(U16(key), U16(name), type, data.data(), data.size());
}

bool RegGetRaw(const std::string& key, const std::string& name, ULONG* type,
               std::vector<unsigned char>* data)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    Value* v = FindValue(U16(key), U16(name));
    if (!v)
        return false;
    if (type)
        *type = v->type;
    if (data)
        *data = v->data;
    return true;
}

bool RegGetDword(const std::string& key, const std::string& name, ULONG* value)
{
    ULONG type;
    std::vector<unsigned char> data;
    if (!RegGetRaw(key, name, &type, &data) || type != REG_DWORD || data.size() != 4)
        return false;
    memcpy(value, data.data(), 4);
    return true;
}

bool RegGetString(const std::string& key, const std::string& name, std::u16string* value)
{
    ULONG type;
    std::vector<unsigned char> data;
    if (!RegGetRaw(key, name, &type, &data) || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    value->clear();
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        value->push_back((char16_t)(data[i] | (data[i + 1] << 8)));
    return true;
}

bool RegKeyExists(const std::string& key)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return FindKey(U16(key)) != nullptr;
}

void RegDeleteKey(const std::string& key)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    std::u16string p = Lower(Normalise(U16(key)));
    for (auto it = keys.begin(); it != keys.end();) {
        if (it->first == p || it->first.compare(0, p.size() + 1, p + u"\\") == 0)
            it = keys.erase(it);
        else
            ++it;
    }
}

void RegDeleteValue(const std::string& key, const std::string& name)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    if (Key* k = FindKey(U16(key)))
        k->values.erase(Lower(U16(name)));
}

std::vector<std::string> RegSubkeys(const std::string& key)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    std::u16string p = Lower(Normalise(U16(key))) + u"\\";
    std::vector<std::string> r;
    for (auto& k : keys)
        if (k.first.compare(0, p.size(), p) == 0 &&
            k.first.find(u'\\', p.size()) == std::u16string::npos)
            r.push_back(Narrow(k.second.path.substr(p.size())));
    return r;
}

std::vector<std::string> RegValueNames(const std::string& key)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    std::vector<std::string> r;
    if (Key* k = FindKey(U16(key)))
        for (auto& v : k->values)
            r.push_back(Narrow(v.second.name));
    return r;
}

bool RegSave(const std::string& file)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    std::ofstream out(file);
    if (!out)
        return false;
    for (auto& k : keys) {
        out << "K " << HexU16(k.second.path) << "\n";
        for (auto& v : k.second.values)
            out << "V " << HexU16(k.second.path) << " " << HexU16(v.second.name) << " "
                << v.second.type << " " << Hex(v.second.data.data(), v.second.data.size()) << "\n";
    }
    return (bool)out;
}

bool RegLoad(const std::string& file)
{
    std::ifstream in(file);
    if (!in)
        return false;
    std::lock_guard<std::recursive_mutex> g(g_lock);
    keys.clear();
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream s(line);
        std::string kind, path, name, data;
        ULONG type = 0;
        s >> kind >> path;
        if (kind == "K") {
            RegCreateKey(UnhexU16(path));
        } else if (kind == "V") {
            s >> name >> type >> data;
            RegCreateKey(UnhexU16(path));
            auto bytes = Unhex(data);
            RegSetValue(UnhexU16(path), UnhexU16(name), type, bytes.data(), bytes.size());
        }
    }
    return true;
}

size_t OpenKeyHandles()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return handles.size();
}

void ResetRegistry()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    keys.clear();
    handles.clear();
}

} // namespace kmsim

using namespace kmsim;

namespace
{

// Stores one value into a direct query's EntryContext, as the platform does
// for the types the driver reads.
NTSTATUS StoreDirect(PRTL_QUERY_REGISTRY_TABLE entry, ULONG type, const void* data, ULONG size)
{
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        PUNICODE_STRING dest = (PUNICODE_STRING)entry->EntryContext;
        if (dest->Buffer == NULL) {
            dest->Buffer = (PWSTR)PoolAllocate(PagedPool, size ? size : 2, kTagString);
            if (dest->Buffer == NULL)
                return STATUS_INSUFFICIENT_RESOURCES;
            dest->MaximumLength = (USHORT)(size ? size : 2);
        } else if (size > dest->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        memcpy(dest->Buffer, data, size);
        ULONG chars = size / 2;
        while (chars > 0 && dest->Buffer[chars - 1] == 0)
            chars--;
        dest->Length = (USHORT)(chars * 2);
        if (chars * 2 + 2 <= dest->MaximumLength)
            dest->Buffer[chars] = 0;
        return STATUS_SUCCESS;
    }
    if (size <= sizeof(ULONG)) {
        memset(entry->EntryContext, 0, sizeof(ULONG));
        memcpy(entry->EntryContext, data, size);
        return STATUS_SUCCESS;
    }
    // Larger data: the destination starts with a LONG giving its size. A
    // negative size takes the data alone; a positive one takes the data's
    // length and type in front of it.
    LONG room = *(PLONG)entry->EntryContext;
    if (room < 0) {
        if ((ULONG)0 - (ULONG)room < size)
            return STATUS_BUFFER_TOO_SMALL;
        memcpy(entry->EntryContext, data, size);
        return STATUS_SUCCESS;
    }
    if ((ULONG)room < 2 * sizeof(ULONG) + size)
        return STATUS_BUFFER_TOO_SMALL;
    PULONG head = (PULONG)entry->EntryContext;
    head[0] = size;
    head[1] = type;
    memcpy(head + 2, data, size);
    return STATUS_SUCCESS;
}

// The key a registry routine works on: an open handle's key, or a path
// relative to one of the predefined keys. FALSE for an unknown handle.
bool ResolveKeyPath(ULONG relativeTo, PCWSTR path, std::u16string* out)
{
    if (relativeTo & RTL_REGISTRY_HANDLE) {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        auto it = handles.find((uintptr_t)path);
        if (it == handles.end())
            return false;
        *out = it->second;
        return true;
    }
    *out = BaseOf(relativeTo, path);
    return true;
}

} // namespace

extern "C" {

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                      PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                      PVOID Environment)
{
    (void)Environment;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        Violation("RtlQueryRegistryValues above PASSIVE_LEVEL");
    std::u16string path;
    if (!ResolveKeyPath(RelativeTo, Path, &path))
        return STATUS_INVALID_HANDLE;
    for (PRTL_QUERY_REGISTRY_TABLE e = QueryTable; e->QueryRoutine || e->Name; e++) {
        if (e->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY))
            continue;
        ULONG type = REG_NONE;
        std::vector<unsigned char> data;
        bool found;
        {
            std::lock_guard<std::recursive_mutex> g(g_lock);
            if (!FindKey(path))
                return STATUS_OBJECT_NAME_NOT_FOUND;
            Value* v = e->Name ? FindValue(path, ToU16(e->Name)) : nullptr;
            found = v != nullptr;
            if (found) {
                type = v->type;
                data = v->data;
            }
        }
        if (!found) {
            if (e->Flags & RTL_QUERY_REGISTRY_REQUIRED)
                return STATUS_OBJECT_NAME_NOT_FOUND;
            if (e->DefaultType == REG_NONE)
                continue;
            type = e->DefaultType;
            ULONG len = e->DefaultLength;
            if (len == 0 && (type == REG_SZ || type == REG_EXPAND_SZ) && e->DefaultData)
                len = (ULONG)(km_wcslen((PCWSTR)e->DefaultData) + 1) * 2;
            const unsigned char* p = (const unsigned char*)e->DefaultData;
            data.assign(p, p + (p ? len : 0));
        }
        NTSTATUS status;
        if (e->Flags & RTL_QUERY_REGISTRY_DIRECT)
            status = StoreDirect(e, type, data.data(), (ULONG)data.size());
        else
            status = e->QueryRoutine((PWSTR)e->Name, type, data.data(), (ULONG)data.size(), Context,
                                     e->EntryContext);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                     ULONG ValueType, PVOID ValueData, ULONG ValueLength)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        Violation("RtlWriteRegistryValue above PASSIVE_LEVEL");
    std::u16string path;
    if (!ResolveKeyPath(RelativeTo, Path, &path))
        return STATUS_INVALID_HANDLE;
    if (!(RelativeTo & RTL_REGISTRY_HANDLE))
        RegCreateKey(path);
    return RegSetValue(path, ToU16(ValueName), ValueType, ValueData, ValueLength)
               ? STATUS_SUCCESS
               : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                             ULONG Type, PVOID Data, ULONG DataSize)
{
    (void)TitleIndex;
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto it = handles.find((uintptr_t)KeyHandle);
    if (it == handles.end())
        return STATUS_INVALID_HANDLE;
    return RegSetValue(it->second, ToU16(ValueName), Type, Data, DataSize)
               ? STATUS_SUCCESS
               : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto it = handles.find((uintptr_t)KeyHandle);
    if (it == handles.end())
        return STATUS_INVALID_HANDLE;
    if (KeyValueInformationClass != KeyValuePartialInformation)
        return STATUS_INVALID_PARAMETER;
    Value* v = FindValue(it->second, ToU16(ValueName));
    if (!v)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    ULONG needed = (ULONG)(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + v->data.size());
    *ResultLength = needed;
    if (Length < needed)
        return STATUS_BUFFER_TOO_SMALL;
    PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)KeyValueInformation;
    info->TitleIndex = 0;
    info->Type = v->type;
    info->DataLength = (ULONG)v->data.size();
    memcpy(info->Data, v->data.data(), v->data.size());
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                         POBJECT_ATTRIBUTES ObjectAttributes)
{
    (void)DesiredAccess;
    *KeyHandle = RegOpenHandle(ToU16(ObjectAttributes->ObjectName), false);
    return *KeyHandle ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    if (handles.erase((uintptr_t)Handle) == 0) {
        Violation("ZwClose of a handle that is not open");
        return STATUS_INVALID_HANDLE;
    }
    return STATUS_SUCCESS;
}

} // extern "C"
