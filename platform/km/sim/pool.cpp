// Pool with per-tag accounting, leak report and failure injection;
// lookaside lists on top of it.
#include "verifier.h"

#include <cstdlib>
#include <map>
#include <mutex>

namespace kmsim
{

const ULONG kTagIrp = 0x20707249;       // "Irp "
const ULONG kTagMdl = 0x206c644d;       // "Mdl "
const ULONG kTagDevice = 0x69766544;    // "Devi"
const ULONG kTagIoBuffer = 0x66426f49;  // "IoBf"
const ULONG kTagString = 0x67727453;    // "Strg"
const ULONG kTagInterface = 0x66746e49; // "Intf"
const ULONG kTagMapping = 0x70614d53;   // "SMap"
const ULONG kTagRtlString = 0x536c7452; // "RtlS"

namespace
{
struct Allocation {
    ULONG tag;
    SIZE_T bytes;
    SIZE_T alignment;
    PDRIVER_OBJECT owner; // the driver the allocating thread ran for
};
std::mutex poolLock;
// Never destroyed: pool still held at exit stays reachable for the leak
// checker (the pool has its own leak report).
std::map<PVOID, Allocation>& allocations = *new std::map<PVOID, Allocation>;
unsigned long allocationCount = 0;
unsigned long failAt = 0;
// Failure injection limited to one driver's own allocations (its pool, and
// the IRPs and MDLs it asks for), leaving the kernel's and other drivers' alone.
std::string watchedDriver;
unsigned long watchedCount = 0;
unsigned long watchedFailAt = 0;
std::set<ULONG> failTags;
std::map<PNPAGED_LOOKASIDE_LIST, long> lookasideOutstanding;
} // namespace

ULONG Tag(const char (&l)[5])
{
    return (ULONG)(UCHAR)l[0] | ((ULONG)(UCHAR)l[1] << 8) | ((ULONG)(UCHAR)l[2] << 16) |
           ((ULONG)(UCHAR)l[3] << 24);
}

std::string TagName(ULONG tag)
{
    std::string s;
    for (int i = 0; i < 4; i++) {
        char c = (char)((tag >> (8 * i)) & 0xFF);
        s.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    }
    return s;
}

bool ShouldFailAllocation(ULONG tag)
{
    PDRIVER_OBJECT owner = CurrentDriver();
    bool watched = false;
    if (owner != nullptr) {
        std::string path = DriverPath(owner);
        std::lock_guard<std::mutex> g(poolLock);
        watched = !watchedDriver.empty() && path == watchedDriver;
    }
    std::lock_guard<std::mutex> g(poolLock);
    if (watched) {
        watchedCount++;
        if (watchedFailAt != 0 && watchedCount == watchedFailAt)
            return true;
    }
    allocationCount++;
    if (failAt != 0 && allocationCount == failAt)
        return true;
    return failTags.count(tag) != 0;
}

PVOID PoolAllocate(POOL_TYPE type, SIZE_T bytes, ULONG tag)
{
    if (ShouldFailAllocation(tag))
        return NULL;
    SIZE_T alignment = type == NonPagedPoolCacheAligned || type == PagedPoolCacheAligned ? 64 : 16;
    PVOID p = GuardedAllocate(bytes, alignment);
    if (p == NULL)
        return NULL;
    memset(p, 0xCD, bytes); // pool memory is not zeroed: make that visible
    std::lock_guard<std::mutex> g(poolLock);
    allocations[p] = Allocation{tag, bytes, alignment, CurrentDriver()};
    return p;
}

void PoolFree(PVOID p)
{
    Allocation a;
    {
        std::lock_guard<std::mutex> g(poolLock);
        auto it = allocations.find(p);
        if (it == allocations.end()) {
            Violation("ExFreePool of memory that is not allocated (double free?)");
            return;
        }
        a = it->second;
        allocations.erase(it);
    }
    GuardedFree(p, a.bytes, a.alignment, a.tag);
}

SIZE_T PoolBlockSize(PVOID p)
{
    std::lock_guard<std::mutex> g(poolLock);
    auto it = allocations.find(p);
    return it == allocations.end() ? 0 : it->second.bytes;
}

ULONG PoolBlockTag(PVOID p)
{
    std::lock_guard<std::mutex> g(poolLock);
    auto it = allocations.find(p);
    return it == allocations.end() ? 0 : it->second.tag;
}

size_t PoolOutstanding(ULONG tag)
{
    std::lock_guard<std::mutex> g(poolLock);
    size_t n = 0;
    for (auto& a : allocations)
        if (a.second.tag == tag)
            n++;
    return n;
}

size_t PoolOutstandingTotal()
{
    std::lock_guard<std::mutex> g(poolLock);
    return allocations.size();
}

std::string LeakReport()
{
    return LeakReportOf(nullptr);
}

std::string LeakReportOf(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> g(poolLock);
    std::map<ULONG, std::pair<size_t, size_t>> byTag;
    for (auto& a : allocations) {
        if (driver != nullptr && a.second.owner != driver)
            continue;
        byTag[a.second.tag].first++;
        byTag[a.second.tag].second += a.second.bytes;
    }
    std::string report;
    for (auto& t : byTag)
        report += TagName(t.first) + ": " + std::to_string(t.second.first) + " (" +
                  std::to_string(t.second.second) + " bytes)\n";
    return report;
}

unsigned long AllocationCount()
{
    std::lock_guard<std::mutex> g(poolLock);
    return allocationCount;
}

void FailNthAllocation(unsigned long n)
{
    std::lock_guard<std::mutex> g(poolLock);
    failAt = n == 0 ? 0 : allocationCount + n;
}

void FailNthAllocationOf(const std::string& service, unsigned long n)
{
    std::lock_guard<std::mutex> g(poolLock);
    watchedDriver = "\\Driver\\" + service;
    watchedCount = 0;
    watchedFailAt = n;
}

unsigned long AllocationsOfWatchedDriver()
{
    std::lock_guard<std::mutex> g(poolLock);
    return watchedCount;
}

void FailTag(ULONG tag)
{
    std::lock_guard<std::mutex> g(poolLock);
    failTags.insert(tag);
}

void ClearFailures()
{
    std::lock_guard<std::mutex> g(poolLock);
    failAt = 0;
    failTags.clear();
    watchedDriver.clear();
    watchedCount = 0;
    watchedFailAt = 0;
}

void ResetPool()
{
    std::lock_guard<std::mutex> g(poolLock);
    for (auto& a : allocations)
        GuardedDiscard(a.first, a.second.bytes, a.second.alignment);
    allocations.clear();
    DropQuarantine();
    allocationCount = 0;
    failAt = 0;
    failTags.clear();
    watchedDriver.clear();
    watchedCount = 0;
    watchedFailAt = 0;
    lookasideOutstanding.clear();
}

} // namespace kmsim

using namespace kmsim;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL ||
        (irql > APC_LEVEL && (PoolType == PagedPool || PoolType == PagedPoolCacheAligned)))
        Violation("pool allocation at IRQL " + std::to_string(irql));
    return PoolAllocate(PoolType, NumberOfBytes, Tag);
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x656e6f4e); // "None"
}

VOID NTAPI ExFreePool(PVOID P)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        Violation("ExFreePool above DISPATCH_LEVEL");
    if (P == NULL) {
        Violation("ExFreePool(NULL)");
        return;
    }
    // Wine keeps these in another heap than the pool; only
    // RtlFreeUnicodeString or RtlFreeAnsiString give them back there.
    if (PoolBlockTag(P) == kTagRtlString)
        Violation("ExFreePool of a string that an Rtl routine allocated");
    PoolFree(P);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    (void)Tag;
    ExFreePool(P);
}

VOID NTAPI ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside,
                                           PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free,
                                           ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth)
{
    (void)Flags;
    memset(Lookaside, 0, sizeof *Lookaside);
    Lookaside->L.Depth = Depth;
    Lookaside->L.MaximumDepth = 256;
    Lookaside->L.Type = NonPagedPool;
    Lookaside->L.Tag = Tag;
    Lookaside->L.Size = (ULONG)Size;
    Lookaside->L.Allocate = Allocate;
    Lookaside->L.Free = Free;
    std::lock_guard<std::mutex> g(poolLock);
    if (lookasideOutstanding.count(Lookaside))
        Violation("lookaside list initialised twice");
    lookasideOutstanding[Lookaside] = 0;
}

VOID NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    std::lock_guard<std::mutex> g(poolLock);
    auto it = lookasideOutstanding.find(Lookaside);
    if (it == lookasideOutstanding.end()) {
        Violation("ExDeleteNPagedLookasideList of a list that is not initialised");
        return;
    }
    if (it->second != 0)
        Violation("lookaside list deleted with " + std::to_string(it->second) +
                  " entries still out");
    lookasideOutstanding.erase(it);
}

PVOID NTAPI ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    {
        std::lock_guard<std::mutex> g(poolLock);
        if (!lookasideOutstanding.count(Lookaside)) {
            Violation("allocation from a lookaside list that is not initialised");
            return NULL;
        }
    }
    Lookaside->L.TotalAllocates++;
    PVOID entry =
        Lookaside->L.Allocate
            ? Lookaside->L.Allocate(Lookaside->L.Type, Lookaside->L.Size, Lookaside->L.Tag)
            : PoolAllocate(NonPagedPool, Lookaside->L.Size, Lookaside->L.Tag);
    if (entry != NULL) {
        std::lock_guard<std::mutex> g(poolLock);
        lookasideOutstanding[Lookaside]++;
    }
    return entry;
}

VOID NTAPI ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    {
        std::lock_guard<std::mutex> g(poolLock);
        auto it = lookasideOutstanding.find(Lookaside);
        if (it == lookasideOutstanding.end()) {
            Violation("free to a lookaside list that is not initialised");
            return;
        }
        it->second--;
    }
    Lookaside->L.TotalFrees++;
    if (Lookaside->L.Free)
        Lookaside->L.Free(Entry);
    else
        PoolFree(Entry);
}

} // extern "C"
