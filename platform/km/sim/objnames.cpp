// Names of the dispatcher objects drivers wait on, so that a tool can say
// where a blocked thread waits.
#include "core.h"

#include <cstdio>
#include <map>
#include <mutex>

namespace kmsim
{
namespace
{
// Kept across Reset, like the lock names: a driver's layout does not
// change between machines.
std::mutex namesLock;
std::map<size_t, std::string> extensionNames;
std::map<const void*, std::string> globalNames;
} // namespace

void NameExtensionObject(const std::string& name, size_t offset)
{
    std::lock_guard<std::mutex> g(namesLock);
    extensionNames[offset] = name;
}

void NameGlobalObject(const std::string& name, const void* object)
{
    std::lock_guard<std::mutex> g(namesLock);
    globalNames[object] = name;
}

std::string DescribeObject(const void* object)
{
    {
        std::lock_guard<std::mutex> g(namesLock);
        auto it = globalNames.find(object);
        if (it != globalNames.end())
            return it->second;
    }
    size_t offset = 0;
    if (PDEVICE_OBJECT device = DeviceOfExtension(object, &offset)) {
        std::string where = DeviceName(device);
        if (where.empty())
            where = "an unnamed device";
        std::lock_guard<std::mutex> g(namesLock);
        auto it = extensionNames.find(offset);
        if (it != extensionNames.end())
            return it->second + " of " + where;
        char text[64];
        snprintf(text, sizeof text, "at +0x%zx in the extension of ", offset);
        return text + where;
    }
    // Not in any extension: one of the waiting routine's own, on its stack
    // (the event of a request it sent down and waits for, say).
    return "of its own (not in a device extension)";
}

} // namespace kmsim
