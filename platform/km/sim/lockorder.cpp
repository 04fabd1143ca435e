// Lock order as Driver Verifier's deadlock detection checks it: each
// thread's held fast mutexes, the order pairs seen so far, the declared
// ranks.
#include "core.h"
#include "verifier.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <vector>

namespace kmsim
{
namespace
{

struct Named {
    std::string name;
    int rank;
};

std::mutex orderLock; // guards everything below but `held`
std::map<size_t, Named> extensionLocks;
std::map<const void*, Named> globalLocks;
// Lock classes ("EngineMutex", "extension+0x1c4", "lock at 0x...") and the
// order pairs seen: edges[a] holds b when b was taken while a was held.
std::map<std::string, std::set<std::string>> edges;
std::set<std::pair<std::string, std::string>> reported;

struct Held {
    PFAST_MUTEX mutex;
    std::string lockClass;
    const Named* named;
    unsigned long machine; // the machine it was taken on (NewMachine)
};
thread_local std::vector<Held> held;
// Bumped at every Reset: what a thread still held on the machine before
// (a run abandoned in a deadlock) orders nothing on this one.
std::atomic<unsigned long> machine{0};

// Caller holds orderLock.
const Named* NameOf(PFAST_MUTEX mutex, std::string* lockClass)
{
    auto g = globalLocks.find(mutex);
    if (g != globalLocks.end()) {
        *lockClass = g->second.name;
        return &g->second;
    }
    size_t offset;
    if (ExtensionOffsetOf(mutex, &offset)) {
        auto e = extensionLocks.find(offset);
        if (e != extensionLocks.end()) {
            *lockClass = e->second.name;
            return &e->second;
        }
        char text[40];
        snprintf(text, sizeof text, "extension+0x%zx", offset);
        *lockClass = text;
        return nullptr;
    }
    char text[40];
    snprintf(text, sizeof text, "lock at %p", (void*)mutex);
    *lockClass = text;
    return nullptr;
}

// Caller holds orderLock. A path from `from` to `to` in the pairs seen.
bool Reaches(const std::string& from, const std::string& to, std::set<std::string>* seen)
{
    if (from == to)
        return true;
    if (!seen->insert(from).second)
        return false;
    auto it = edges.find(from);
    if (it == edges.end())
        return false;
    for (const std::string& next : it->second)
        if (Reaches(next, to, seen))
            return true;
    return false;
}

// Caller holds orderLock. Each pair is reported once per process.
void ReportOnce(const std::string& before, const std::string& after, const std::string& what)
{
    if (reported.insert({before, after}).second)
        Violation(what);
}

} // namespace

void NameExtensionLock(const std::string& name, size_t offset, int rank)
{
    NameExtensionObject(name, offset);
    std::lock_guard<std::mutex> g(orderLock);
    extensionLocks[offset] = Named{name, rank};
}

void NameGlobalLock(const std::string& name, PFAST_MUTEX mutex, int rank)
{
    NameGlobalObject(name, mutex);
    std::lock_guard<std::mutex> g(orderLock);
    globalLocks[mutex] = Named{name, rank};
}

void ResetLockOrder()
{
    std::lock_guard<std::mutex> g(orderLock);
    extensionLocks.clear();
    globalLocks.clear();
    edges.clear();
    reported.clear();
    held.clear();
}

void LockOrderNewMachine()
{
    machine++;
}

void LockTaken(PFAST_MUTEX mutex)
{
    unsigned long current = machine.load();
    held.erase(std::remove_if(held.begin(), held.end(),
                              [current](const Held& h) { return h.machine != current; }),
               held.end());
    Held now{mutex, std::string(), nullptr, current};
    if (!held.empty()) {
        std::lock_guard<std::mutex> g(orderLock);
        now.named = NameOf(mutex, &now.lockClass);
        for (Held& h : held) {
            if (h.lockClass.empty())
                h.named = NameOf(h.mutex, &h.lockClass);
            if (h.lockClass == now.lockClass)
                continue; // two of one class (the same lock of two printers)
            if (h.named != nullptr && now.named != nullptr && h.named->rank >= now.named->rank)
                ReportOnce(h.lockClass, now.lockClass,
                           "lock order: " + now.lockClass + " taken while holding " + h.lockClass +
                               ", against the declared order");
            if (edges[h.lockClass].insert(now.lockClass).second) {
                std::set<std::string> seen;
                if (Reaches(now.lockClass, h.lockClass, &seen))
                    ReportOnce(h.lockClass, now.lockClass,
                               "lock order: " + now.lockClass + " taken while holding " +
                                   h.lockClass + ", and the other way round before (a cycle)");
            }
        }
    }
    // A lock taken alone orders nothing: it is named once another comes.
    held.push_back(now);
}

void LockGiven(PFAST_MUTEX mutex)
{
    for (size_t i = held.size(); i-- > 0;)
        if (held[i].mutex == mutex) {
            held.erase(held.begin() + (long)i);
            return;
        }
}

} // namespace kmsim
