// The in-memory registry, for the other files of the simulated kernel.
#ifndef PRN_KM_SIM_REGISTRY_H
#define PRN_KM_SIM_REGISTRY_H

#include "core.h"

#include <vector>

namespace kmsim
{

void RegCreateKey(const std::u16string& path);
// A handle to an existing key, or (create) to a key made with its parents.
HANDLE RegOpenHandle(const std::u16string& path, bool create);
bool RegSetValue(const std::u16string& path, const std::u16string& name, ULONG type,
                 const void* data, size_t size);

} // namespace kmsim

#endif
