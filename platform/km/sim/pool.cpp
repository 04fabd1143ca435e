// Pool with per-tag accounting, leak report and failure injection;
// lookaside lists on top of it.
#include "explore.h"
#include "verifier.h"

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

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
// The initialised lookaside lists, with the entries each has out; in a
// checked kernel also which list every entry out came from.
std::map<PNPAGED_LOOKASIDE_LIST, long> lookasideOutstanding;
std::map<PVOID, PNPAGED_LOOKASIDE_LIST> lookasideEntries;

// A block of the retail pool: its record sits just before the caller's
// bytes and links it into one list, so counting it costs no lookup and no
// allocation of its own.
struct RetailBlock {
    RetailBlock* prev;
    RetailBlock* next;
    void* base; // what malloc returned
    PDRIVER_OBJECT owner;
    SIZE_T bytes;
    ULONG tag;
    ULONG live; // kRetailLive while allocated
};
static_assert(sizeof(RetailBlock) % 16 == 0, "the caller's bytes stay 16-byte aligned");
const ULONG kRetailLive = 0x6576694c; // "Live"
RetailBlock* retailBlocks = nullptr;  // under retailLock
size_t retailCount = 0;

// A spin lock: held for a few instructions, and given back with a plain
// store where a mutex costs a second locked operation.
struct SpinLock {
    std::atomic<bool> held{false};
    void lock()
    {
        while (held.exchange(true, std::memory_order_acquire))
            while (held.load(std::memory_order_relaxed))
                std::this_thread::yield();
    }
    void unlock() { held.store(false, std::memory_order_release); }
};
SpinLock retailLock;

// Freed IRPs wait here for the next IRP of the same size, as on the system,
// whose IRP lookaside lists spare the pool a request for each one. They are
// off the block list: freed, as far as counting and leak reports go.
struct RecycleBin {
    SIZE_T bytes = 0;
    RetailBlock* head = nullptr; // linked through `next`
    unsigned count = 0;
};
constexpr unsigned kRecycleDepth = 16;
RecycleBin recycleBins[4]; // under retailLock

bool Recyclable(ULONG tag, SIZE_T alignment)
{
    return tag == kTagIrp && alignment <= 16;
}

// Caller holds retailLock.
void RetailLink(RetailBlock* b)
{
    b->live = kRetailLive;
    b->prev = nullptr;
    b->next = retailBlocks;
    if (retailBlocks != nullptr)
        retailBlocks->prev = b;
    retailBlocks = b;
    retailCount++;
}

// Caller holds retailLock. A block of that size from its bin, or NULL.
RetailBlock* TakeRecycled(SIZE_T bytes)
{
    for (RecycleBin& bin : recycleBins)
        if (bin.bytes == bytes && bin.head != nullptr) {
            RetailBlock* b = bin.head;
            bin.head = b->next;
            bin.count--;
            return b;
        }
    return nullptr;
}

// Caller holds retailLock; b is off the block list. False when its bin is full.
bool KeepRecycled(RetailBlock* b)
{
    for (RecycleBin& bin : recycleBins)
        if (bin.bytes == b->bytes || bin.head == nullptr) {
            if (bin.head == nullptr)
                bin.bytes = b->bytes;
            else if (bin.count == kRecycleDepth)
                return false;
            b->next = bin.head;
            bin.head = b;
            bin.count++;
            return true;
        }
    return false;
}

void DropRecycled()
{
    for (RecycleBin& bin : recycleBins) {
        while (bin.head != nullptr) {
            RetailBlock* b = bin.head;
            bin.head = b->next;
            free(b->base);
        }
        bin = RecycleBin();
    }
}

PVOID RetailAllocate(SIZE_T bytes, SIZE_T alignment, ULONG tag)
{
    if (Recyclable(tag, alignment)) {
        std::lock_guard<SpinLock> g(retailLock);
        if (RetailBlock* b = TakeRecycled(bytes)) {
            b->owner = CurrentDriver();
            RetailLink(b);
            return b + 1;
        }
    }
    SIZE_T front = alignment > sizeof(RetailBlock) ? alignment : sizeof(RetailBlock);
    void* base =
        alignment > 16
            ? aligned_alloc(alignment, (front + bytes + alignment - 1) / alignment * alignment)
            : malloc(front + bytes);
    if (base == NULL)
        return NULL;
    UCHAR* user = (UCHAR*)base + front;
    RetailBlock* b = (RetailBlock*)user - 1;
    b->base = base;
    b->owner = CurrentDriver();
    b->bytes = bytes;
    b->tag = tag;
    std::lock_guard<SpinLock> g(retailLock);
    RetailLink(b);
    return user;
}

// Caller holds retailLock.
void RetailUnlink(RetailBlock* b)
{
    if (b->prev != nullptr)
        b->prev->next = b->next;
    else
        retailBlocks = b->next;
    if (b->next != nullptr)
        b->next->prev = b->prev;
    b->live = 0;
    retailCount--;
}

void RetailFree(PVOID p)
{
    RetailBlock* b = (RetailBlock*)p - 1;
    {
        std::lock_guard<SpinLock> g(retailLock);
        if (b->live != kRetailLive) {
            Violation("ExFreePool of memory that is not allocated (double free?)");
            return;
        }
        RetailUnlink(b);
        if (Recyclable(b->tag, 16) && (SIZE_T)((UCHAR*)p - (UCHAR*)b->base) == sizeof *b &&
            KeepRecycled(b))
            return;
    }
    free(b->base);
}

// Caller holds poolLock. Every live block as (address, tag, bytes, owner).
template <typename F> void ForEachBlock(F f)
{
    for (auto& a : allocations)
        f(a.first, a.second.tag, a.second.bytes, a.second.owner);
    std::lock_guard<SpinLock> g(retailLock);
    for (RetailBlock* b = retailBlocks; b != nullptr; b = b->next)
        f((PVOID)(b + 1), b->tag, b->bytes, b->owner);
}
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
    if (Retail())
        return false;
    PDRIVER_OBJECT owner = CurrentDriver();
    bool watching;
    {
        std::lock_guard<std::mutex> g(poolLock);
        watching = !watchedDriver.empty();
    }
    bool watched = false;
    if (watching && owner != nullptr) {
        std::string path = DriverPath(owner);
        std::lock_guard<std::mutex> g(poolLock);
        watched = path == watchedDriver;
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
    if (Retail())
        return RetailAllocate(bytes, alignment, tag);
    PVOID p = GuardedAllocate(bytes, alignment);
    if (p == NULL)
        return NULL;
    memset(p, 0xCD, bytes); // pool memory is not zeroed: make that visible
    std::lock_guard<std::mutex> g(poolLock);
    allocations[p] = Allocation{tag, bytes, alignment, CurrentDriver()};
    return p;
}

// A lookaside list lives in memory its driver owns; memory that goes while
// a list in it is still initialised leaves the system a dangling list (the
// kernel keeps every list on a list of its own). Each such list is reported
// once and forgotten. Caller holds poolLock.
static void ForgetListsInside(const void* start, SIZE_T bytes, const std::string& what)
{
    const UCHAR* from = (const UCHAR*)start;
    auto it = lookasideOutstanding.lower_bound((PNPAGED_LOOKASIDE_LIST)from);
    while (it != lookasideOutstanding.end() && (const UCHAR*)it->first < from + bytes) {
        Violation(what + " while it holds a lookaside list that is still initialised "
                         "(ExDeleteNPagedLookasideList first)");
        it = lookasideOutstanding.erase(it);
    }
}

void PoolFree(PVOID p)
{
    if (Retail()) {
        RetailFree(p);
        return;
    }
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
        ForgetListsInside(p, a.bytes, "pool block '" + TagName(a.tag) + "' freed");
    }
    GuardedFree(p, a.bytes, a.alignment, a.tag);
}

SIZE_T PoolBlockSize(PVOID p)
{
    std::lock_guard<std::mutex> g(poolLock);
    SIZE_T size = 0;
    ForEachBlock([&](PVOID block, ULONG, SIZE_T bytes, PDRIVER_OBJECT) {
        if (block == p)
            size = bytes;
    });
    return size;
}

ULONG PoolBlockTag(PVOID p)
{
    std::lock_guard<std::mutex> g(poolLock);
    ULONG found = 0;
    ForEachBlock([&](PVOID block, ULONG tag, SIZE_T, PDRIVER_OBJECT) {
        if (block == p)
            found = tag;
    });
    return found;
}

size_t PoolOutstanding(ULONG tag)
{
    std::lock_guard<std::mutex> g(poolLock);
    size_t n = 0;
    ForEachBlock([&](PVOID, ULONG t, SIZE_T, PDRIVER_OBJECT) {
        if (t == tag)
            n++;
    });
    return n;
}

size_t PoolOutstandingTotal()
{
    std::lock_guard<std::mutex> g(poolLock);
    std::lock_guard<SpinLock> r(retailLock);
    return allocations.size() + retailCount;
}

std::string LeakReport()
{
    return LeakReportOf(nullptr);
}

std::string LeakReportOf(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> g(poolLock);
    std::map<ULONG, std::pair<size_t, size_t>> byTag;
    ForEachBlock([&](PVOID, ULONG tag, SIZE_T bytes, PDRIVER_OBJECT owner) {
        if (driver != nullptr && owner != driver)
            return;
        byTag[tag].first++;
        byTag[tag].second += bytes;
    });
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
    std::lock_guard<SpinLock> r(retailLock);
    while (retailBlocks != nullptr) {
        RetailBlock* b = retailBlocks;
        RetailUnlink(b);
        free(b->base);
    }
    DropRecycled();
    DropQuarantine();
    allocationCount = 0;
    failAt = 0;
    failTags.clear();
    watchedDriver.clear();
    watchedCount = 0;
    watchedFailAt = 0;
    lookasideOutstanding.clear();
    lookasideEntries.clear();
}

std::vector<LookasideInfo> LookasideLists()
{
    std::lock_guard<std::mutex> g(poolLock);
    std::vector<LookasideInfo> lists;
    for (auto& l : lookasideOutstanding)
        lists.push_back({l.first->L.Tag, l.first->L.Depth, l.first->L.Size, l.second});
    return lists;
}

void CheckNoLookasideListInside(const void* start, SIZE_T bytes, const std::string& what)
{
    std::lock_guard<std::mutex> g(poolLock);
    ForgetListsInside(start, bytes, what);
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
    Point(PointKind::kFree, P);
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
    {
        std::lock_guard<std::mutex> g(poolLock);
        auto entry = lookasideEntries.find(P);
        if (entry != lookasideEntries.end()) {
            Violation("ExFreePool of a lookaside list's entry (ExFreeToNPagedLookasideList gives "
                      "it back)");
            lookasideOutstanding[entry->second]--;
            lookasideEntries.erase(entry);
        }
    }
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
    // Reserved before Windows 8, where later systems take it as pool-type
    // bits (2 would make every entry a must-succeed allocation).
    if (Flags != 0)
        Violation("ExInitializeNPagedLookasideList with Flags " + std::to_string(Flags) +
                  ": the argument is reserved and must be 0");
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        Violation("ExInitializeNPagedLookasideList above DISPATCH_LEVEL");
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

// A retail kernel keeps up to Depth freed entries on the list's ListHead
// (their first bytes link them; Future[0] counts them) and hands them out
// again, as the system does; a checked kernel gives every entry back to the
// pool at once, so that a stale pointer into one is caught. The list's own
// lock word guards the cached entries.
namespace
{
struct LookasideLock {
    explicit LookasideLock(PNPAGED_LOOKASIDE_LIST list) : word(&list->Lock__ObsoleteButDoNotDelete)
    {
        while (__atomic_exchange_n(word, 1u, __ATOMIC_ACQUIRE) != 0)
            std::this_thread::yield();
    }
    ~LookasideLock() { __atomic_store_n(word, 0u, __ATOMIC_RELEASE); }
    LookasideLock(const LookasideLock&) = delete;
    LookasideLock& operator=(const LookasideLock&) = delete;
    ULONG* word;
};
} // namespace

static PVOID PopCachedEntry(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    LookasideLock g(Lookaside);
    PSINGLE_LIST_ENTRY entry = Lookaside->L.ListHead.Next;
    if (entry != NULL) {
        Lookaside->L.ListHead.Next = entry->Next;
        Lookaside->L.Future[0]--;
    }
    return entry;
}

static bool PushCachedEntry(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    LookasideLock g(Lookaside);
    ULONG depth = Lookaside->L.Depth != 0 ? Lookaside->L.Depth : 4;
    if (Lookaside->L.Future[0] >= depth || Lookaside->L.Size < sizeof(SINGLE_LIST_ENTRY))
        return false;
    PSINGLE_LIST_ENTRY entry = (PSINGLE_LIST_ENTRY)Entry;
    entry->Next = Lookaside->L.ListHead.Next;
    Lookaside->L.ListHead.Next = entry;
    Lookaside->L.Future[0]++;
    return true;
}

static void FreeLookasideEntry(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    if (Lookaside->L.Free)
        Lookaside->L.Free(Entry);
    else
        PoolFree(Entry);
}

VOID NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    for (PVOID cached; (cached = PopCachedEntry(Lookaside)) != NULL;)
        FreeLookasideEntry(Lookaside, cached);
    if (Retail()) {
        std::lock_guard<std::mutex> g(poolLock);
        lookasideOutstanding.erase(Lookaside);
        return;
    }
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
    for (auto e = lookasideEntries.begin(); e != lookasideEntries.end();)
        e = e->second == Lookaside ? lookasideEntries.erase(e) : std::next(e);
}

PVOID NTAPI ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        Violation("ExAllocateFromNPagedLookasideList above DISPATCH_LEVEL");
    if (Retail()) {
        Lookaside->L.TotalAllocates++;
        PVOID cached = PopCachedEntry(Lookaside);
        if (cached != NULL)
            return cached;
        Lookaside->L.AllocateMisses++;
        return Lookaside->L.Allocate
                   ? Lookaside->L.Allocate(Lookaside->L.Type, Lookaside->L.Size, Lookaside->L.Tag)
                   : PoolAllocate(NonPagedPool, Lookaside->L.Size, Lookaside->L.Tag);
    }
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
        lookasideEntries[entry] = Lookaside;
    }
    return entry;
}

VOID NTAPI ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        Violation("ExFreeToNPagedLookasideList above DISPATCH_LEVEL");
    if (Retail()) {
        Lookaside->L.TotalFrees++;
        if (!PushCachedEntry(Lookaside, Entry)) {
            Lookaside->L.FreeMisses++;
            FreeLookasideEntry(Lookaside, Entry);
        }
        return;
    }
    {
        std::lock_guard<std::mutex> g(poolLock);
        auto it = lookasideOutstanding.find(Lookaside);
        if (it == lookasideOutstanding.end()) {
            Violation("free to a lookaside list that is not initialised");
            return;
        }
        auto entry = lookasideEntries.find(Entry);
        if (entry == lookasideEntries.end() || entry->second != Lookaside) {
            Violation("ExFreeToNPagedLookasideList of an entry this list does not have out "
                      "(given back twice, or another list's)");
            return;
        }
        lookasideEntries.erase(entry);
        it->second--;
    }
    Lookaside->L.TotalFrees++;
    FreeLookasideEntry(Lookaside, Entry);
}

} // extern "C"
