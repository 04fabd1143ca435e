// What the simulated platform exports: a driver built with KM_EXPORT_CHECKS
// has each call of a routine that some supported platform lacks checked here
// against the platform the kernel plays (km_export_checks.h, made from
// windows/exports); and MmMapLockedPages, the mapping a driver that must
// load on Windows 98 uses.
#include "core.h"
#include "verifier.h"

#include "km_export_checks.h"

#include <mutex>
#include <set>

namespace kmsim
{
namespace
{

std::mutex reportedLock;
std::set<std::string> reported; // routines reported since the log was last empty

} // namespace
} // namespace kmsim

using namespace kmsim;

extern "C" void km_ExportCheck(const char* routine, const char* import, unsigned platforms)
{
    unsigned needed = IsLegacyPlatform() ? KM_EXPORTS_LEGACY : KM_EXPORTS_CURRENT;
    unsigned missing = needed & ~platforms;
    if (missing == 0)
        return;
    static const char* const names[] = KM_EXPORT_PLATFORM_NAMES;
    std::string where;
    int count = 0;
    for (unsigned bit = 0; bit < sizeof(names) / sizeof(names[0]); bit++) {
        if (missing & (1u << bit)) {
            where += std::string(count++ ? " and " : "") + names[bit];
        }
    }
    std::string what = std::string(routine) + " called";
    if (import != nullptr)
        what += " (its inline code imports " + std::string(import) + ")";
    what += ", which " + where + (count > 1 ? " do" : " does") +
            " not export: the driver would not load there";
    std::lock_guard<std::mutex> g(reportedLock);
    if (Violations().empty())
        reported.clear();
    if (reported.insert(what).second)
        Violation(what);
}

extern "C" {

// Windows 2000 stops the system when a kernel-mode mapping fails unless the
// MDL carries MDL_MAPPING_CAN_FAIL; Windows 98 returns NULL. A call without
// the flag is reported on the current platform whether or not this mapping
// fails, so the fault shows without a failure armed.
PVOID NTAPI MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode)
{
    if (AccessMode == KernelMode && !(MemoryDescriptorList->MdlFlags & MDL_MAPPING_CAN_FAIL) &&
        !IsLegacyPlatform())
        Violation("MmMapLockedPages without MDL_MAPPING_CAN_FAIL: the system stops when the "
                  "mapping fails");
    return MmMapLockedPagesSpecifyCache(MemoryDescriptorList, AccessMode, 1, NULL, FALSE,
                                        NormalPagePriority);
}

} // extern "C"
