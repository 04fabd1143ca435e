// Data races between schedule points: a happens-before checker (vector
// clocks, as FastTrack keeps them) over the bytes of live device
// extensions, fed by the synchronisation the scheduler sees and by the
// accesses of code built with -fsanitize=thread (platform/km/racehooks).
//
// Only scheduled threads are checked, and only one of them runs at a
// time, so the state below needs no lock of its own while a run is
// explored. Layouts and suppressions are declared from any thread, hence
// `nameLock`. Only devices made by scheduled threads are checked (each
// run makes its machine anew).
#include "core.h"
#include "explore.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace kmsim
{
namespace
{

// Threads of one run whose accesses are checked (main, the scenario's,
// the port driver's completion thread); later ones are not.
constexpr size_t kThreads = 8;
using Clock = std::array<uint32_t, kThreads>;

struct Layout {
    std::string name;
    size_t size = 0;
    std::vector<ExtensionField> fields; // by offset
};

struct Suppression {
    std::string layout, field, reason;
    bool readsOnly = false;
};

// Where an access was made, as an offset from this file's code: the
// instrumented code is linked into the same program, so it fits.
int32_t CodeOffset(const void* pc);
const void* CodeAt(int32_t offset);

struct Access {
    uint32_t clock = 0; // 0: none
    int32_t pc = 0;
};

// One byte of an extension: its last write and each thread's last read
// since. Small, as a run makes fresh ones for every byte it touches.
struct Cell {
    uint8_t writer = 0;
    Access write;
    std::array<Access, kThreads> reads;
};

// Cells are made for the chunks of an extension a run touches.
constexpr size_t kChunk = 64;
struct Region {
    const UCHAR* start;
    size_t size;
    std::vector<std::unique_ptr<Cell[]>> chunks;
    Cell& At(size_t offset)
    {
        std::unique_ptr<Cell[]>& chunk = chunks[offset / kChunk];
        if (!chunk)
            chunk.reset(new Cell[kChunk]());
        return chunk[offset % kChunk];
    }
};

std::atomic<bool> armed{false};
std::mutex nameLock;
std::vector<Region> regions;
// Below and above every region: most accesses (the stack, other pool) are
// told apart here.
const UCHAR* lowest = nullptr;
const UCHAR* highest = nullptr;
std::vector<Layout> layouts;
std::vector<Suppression> suppressions;
std::map<std::string, size_t> suppressed; // "layout.field" -> races it hid

std::vector<Clock> clocks; // per thread of the run under way
std::unordered_map<const void*, Clock> syncs;
std::vector<std::string> reportedThisRun;

Clock& ClockOf(size_t thread)
{
    if (clocks.size() <= thread) {
        size_t from = clocks.size();
        clocks.resize(thread + 1, Clock{});
        for (size_t t = from; t <= thread; t++)
            clocks[t][t] = 1;
    }
    return clocks[thread];
}

void Join(Clock& into, const Clock& from)
{
    for (size_t i = 0; i < kThreads; i++)
        into[i] = std::max(into[i], from[i]);
}

// The calling thread's id when its accesses and synchronisation count.
bool Checked(size_t* thread)
{
    if (!armed.load(std::memory_order_relaxed))
        return false;
    long id = ScheduledThreadId();
    if (id < 0 || (size_t)id >= kThreads)
        return false;
    *thread = (size_t)id;
    return true;
}

const Layout* LayoutOf(size_t regionSize)
{
    for (const Layout& l : layouts)
        if (((l.size + 15) & ~(size_t)15) == regionSize)
            return &l;
    return nullptr;
}

// The field at offset (its whole name however far into it), or the
// offset's word when the layout does not name it.
std::string FieldName(const Layout* layout, size_t offset, const ExtensionField** field)
{
    *field = nullptr;
    if (layout != nullptr)
        for (const ExtensionField& f : layout->fields)
            if (offset >= f.offset && offset < f.offset + f.size) {
                *field = &f;
                return layout->name + "." + f.name;
            }
    char text[48];
    snprintf(text, sizeof text, "+0x%zx", offset & ~(size_t)3);
    return (layout != nullptr ? layout->name : std::string("extension")) + text;
}

// The function a return address lies in, as the dynamic symbols name it
// (the test binaries export theirs), else the address in its object.
std::string Where(const void* pc)
{
    if (pc == nullptr)
        return "?";
    Dl_info info;
    const ElfW(Sym)* symbol = nullptr;
    if (dladdr1(pc, &info, (void**)&symbol, RTLD_DL_SYMENT) == 0)
        return "?";
    const char* base = info.dli_fname ? strrchr(info.dli_fname, '/') : nullptr;
    std::string object = base ? base + 1 : (info.dli_fname ? info.dli_fname : "?");
    char text[48];
    if (info.dli_sname != nullptr && symbol != nullptr &&
        (const char*)pc < (const char*)info.dli_saddr + symbol->st_size) {
        int status = 0;
        char* plain = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        std::string name = status == 0 && plain != nullptr ? plain : info.dli_sname;
        free(plain);
        size_t paren = name.find('(');
        if (paren != std::string::npos)
            name.erase(paren);
        return name;
    }
    snprintf(text, sizeof text, "+0x%zx", (size_t)((const char*)pc - (const char*)info.dli_fbase));
    return object + text;
}

bool Suppressed(const Layout* layout, const ExtensionField* field, bool bothWrites)
{
    if (layout == nullptr || field == nullptr)
        return false;
    for (const Suppression& s : suppressions)
        if (s.layout == layout->name && s.field == field->name && !(s.readsOnly && bothWrites)) {
            suppressed[s.layout + "." + s.field]++;
            return true;
        }
    return false;
}

void Race(const Region& region, size_t offset, bool write, size_t thread, const void* pc,
          bool otherWrote, size_t other, const void* otherPc)
{
    const Layout* layout = LayoutOf(region.size);
    const ExtensionField* field = nullptr;
    std::string name = FieldName(layout, offset, &field);
    std::string key = name + (write ? "w" : "r") + std::to_string(thread) +
                      (otherWrote ? "w" : "r") + std::to_string(other);
    if (std::find(reportedThisRun.begin(), reportedThisRun.end(), key) != reportedThisRun.end())
        return;
    reportedThisRun.push_back(key);
    if (Suppressed(layout, field, write && otherWrote))
        return;
    Violation("data race on " + name + ": " + (write ? "write" : "read") + " by " +
              ScheduledThreadName(thread) + " in " + Where(pc) + " after " +
              (otherWrote ? "a write" : "a read") + " by " + ScheduledThreadName(other) + " in " +
              Where(otherPc) + ", with no happens-before between them");
}

// One byte accessed by `thread`, whose clock is `now`.
void Check(Region& region, size_t offset, bool write, size_t thread, const Clock& now,
           const void* pc)
{
    Cell& c = region.At(offset);
    if (c.write.clock != 0 && c.writer != thread && c.write.clock > now[c.writer])
        Race(region, offset, write, thread, pc, true, c.writer, CodeAt(c.write.pc));
    if (!write) {
        c.reads[thread] = Access{now[thread], CodeOffset(pc)};
        return;
    }
    for (size_t t = 0; t < kThreads; t++)
        if (t != thread && c.reads[t].clock != 0 && c.reads[t].clock > now[t])
            Race(region, offset, write, thread, pc, false, t, CodeAt(c.reads[t].pc));
    c.writer = (uint8_t)thread;
    c.write = Access{now[thread], CodeOffset(pc)};
    c.reads = {};
}

int32_t CodeOffset(const void* pc)
{
    return (int32_t)((const char*)pc - (const char*)(const void*)&CodeOffset);
}

const void* CodeAt(int32_t offset)
{
    return (const char*)(const void*)&CodeOffset + offset;
}

void Bounds()
{
    lowest = highest = nullptr;
    for (const Region& r : regions) {
        if (lowest == nullptr || r.start < lowest)
            lowest = r.start;
        if (r.start + r.size > highest)
            highest = r.start + r.size;
    }
}

} // namespace

void ArmRaceCheck()
{
    armed = true;
}

bool RaceCheckArmed()
{
    return armed.load();
}

void DeclareExtensionLayout(const std::string& name, size_t size,
                            const std::vector<ExtensionField>& fields)
{
    std::lock_guard<std::mutex> g(nameLock);
    for (Layout& l : layouts)
        if (l.name == name && l.size == size && l.fields.size() == fields.size())
            return;
    layouts.erase(std::remove_if(layouts.begin(), layouts.end(),
                                 [&](const Layout& l) { return l.name == name; }),
                  layouts.end());
    Layout l{name, size, fields};
    std::sort(l.fields.begin(), l.fields.end(),
              [](const ExtensionField& a, const ExtensionField& b) { return a.offset < b.offset; });
    layouts.push_back(std::move(l));
}

void SuppressRace(const std::string& layout, const std::string& field, const std::string& reason,
                  bool readsOnly)
{
    std::lock_guard<std::mutex> g(nameLock);
    for (Suppression& s : suppressions)
        if (s.layout == layout && s.field == field) {
            s.reason = reason;
            s.readsOnly = readsOnly;
            return;
        }
    suppressions.push_back(Suppression{layout, field, reason, readsOnly});
}

void ResetRaceNames()
{
    std::lock_guard<std::mutex> g(nameLock);
    layouts.clear();
    suppressions.clear();
    suppressed.clear();
}

std::map<std::string, size_t> SuppressedRaces()
{
    std::lock_guard<std::mutex> g(nameLock);
    return suppressed;
}

void RaceRunBegins()
{
    clocks.clear();
    syncs.clear();
    reportedThisRun.clear();
}

void RaceSpawn(size_t parent, size_t child)
{
    if (!armed.load(std::memory_order_relaxed) || parent >= kThreads || child >= kThreads)
        return;
    Clock start = ClockOf(parent);
    Clock& c = ClockOf(child);
    Join(c, start);
    ClockOf(parent)[parent]++;
}

void RaceJoin(size_t joiner, size_t joined)
{
    if (!armed.load(std::memory_order_relaxed) || joiner >= kThreads || joined >= kThreads)
        return;
    Clock end = ClockOf(joined);
    Join(ClockOf(joiner), end);
}

void RaceAcquire(const void* object)
{
    size_t t;
    if (!Checked(&t))
        return;
    auto it = syncs.find(object);
    if (it != syncs.end())
        Join(ClockOf(t), it->second);
}

void RaceRelease(const void* object)
{
    size_t t;
    if (!Checked(&t))
        return;
    Clock& mine = ClockOf(t);
    Join(syncs[object], mine);
    mine[t]++;
}

void RaceForget(const void* object)
{
    size_t t;
    if (Checked(&t))
        syncs.erase(object);
}

void RaceDeviceCreated(PDEVICE_OBJECT device)
{
    size_t t;
    if (!Checked(&t) || device->DeviceExtension == NULL)
        return;
    size_t size = device->Size - sizeof(DEVICE_OBJECT);
    regions.push_back(Region{(const UCHAR*)device->DeviceExtension, size, {}});
    regions.back().chunks.resize((size + kChunk - 1) / kChunk);
    Bounds();
}

void RaceDeviceFreed(PDEVICE_OBJECT device)
{
    if (!armed.load(std::memory_order_relaxed))
        return;
    regions.erase(
        std::remove_if(regions.begin(), regions.end(),
                       [device](const Region& r) { return r.start == (UCHAR*)(device + 1); }),
        regions.end());
    Bounds();
}

void RaceForgetDevices()
{
    regions.clear();
    Bounds();
}

void RaceAccess(const void* address, size_t size, bool write, const void* pc)
{
    const UCHAR* at = (const UCHAR*)address;
    size_t t;
    if (at + size <= lowest || at >= highest || !Checked(&t))
        return;
    for (Region& r : regions) {
        if (at + size <= r.start || at >= r.start + r.size)
            continue;
        const Clock& now = ClockOf(t);
        size_t from = at < r.start ? 0 : (size_t)(at - r.start);
        size_t to = std::min(r.size, (size_t)(at + size - r.start));
        for (size_t offset = from; offset < to; offset++)
            Check(r, offset, write, t, now, pc);
    }
}

} // namespace kmsim
