#include "gate.h"

#include "text.h"

#include "explore.h"
#include "kmsim.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace prnsim
{

namespace
{
// One lock for every gate: the counts are read across printers at once.
std::mutex lock;
std::condition_variable released;
// Every SRB held now; one that is released counts no more, even before
// its thread has woken up.
struct HeldSrb {
    const PrinterGate* gate;
    const unsigned long* generation; // the gate's
    unsigned long heldAt;
    bool onCompletionThread;
    std::thread::id thread;
    std::string what; // "p/0 SCSI C0 00 .."
    const sbp2sim::UnitRequest* request;
    // Released, or its time-out came: held no more, even before its thread
    // has woken up (the port driver ends it then).
    bool Held() const { return *generation == heldAt && !sbp2sim::TimedOut(*request); }
};
std::vector<HeldSrb*> heldSrbs;
std::vector<std::string> announcements;
// A held SRB that nobody releases would hang the run; after this much real
// time it goes on and the verifier says so.
const auto kHoldGuard = std::chrono::seconds(30);

// The clock moved: a held SRB whose time-out has come goes.
void LookAtTimers()
{
    std::lock_guard<std::mutex> g(lock);
    for (const HeldSrb* h : heldSrbs)
        if (!h->Held()) {
            released.notify_all();
            return;
        }
}
} // namespace

PrinterGate::PrinterGate(std::string name) : name_(std::move(name))
{
    static int watch = kmsim::WatchClock(LookAtTimers);
    (void)watch;
}

PrinterGate::~PrinterGate()
{
    Release();
}

bool PrinterGate::TakeRule(const UCHAR* cdb)
{
    for (size_t i = 0; i < rules_.size(); i++) {
        Rule& r = rules_[i];
        if ((r.opcode >= 0 && r.opcode != cdb[0]) || (r.subcode >= 0 && r.subcode != cdb[1]))
            continue;
        if (r.count > 0 && --r.count == 0)
            rules_.erase(rules_.begin() + (long)i);
        return true;
    }
    return false;
}

void PrinterGate::Arrive(const sbp2sim::UnitRequest& request)
{
    if (request.srb != nullptr) {
        std::unique_lock<std::mutex> g(lock);
        if (TakeRule(request.srb->Cdb)) {
            std::string what = name_ + "/" + std::to_string(request.unit) + " SCSI " +
                               HexBytes(request.srb->Cdb, 8);
            HeldSrb me{this,
                       &generation_,
                       generation_,
                       kmsim::CurrentIrql() >= DISPATCH_LEVEL,
                       std::this_thread::get_id(),
                       what,
                       &request};
            heldSrbs.push_back(&me);
            announcements.push_back(what);
            auto goes = [&] { return !me.Held(); };
            if (kmsim::Scheduled()) {
                // Explored: the scheduler runs the others until the script
                // releases it (only one thread runs, so no lock is needed).
                g.unlock();
                if (!kmsim::Block(goes, "held in the printer"))
                    kmsim::Violation("prnsim: an SRB held in printer " + name_ +
                                     " was never released");
                g.lock();
            } else if (!released.wait_for(g, kHoldGuard, goes)) {
                kmsim::Violation("prnsim: an SRB held in printer " + name_ + " was never released");
            }
            heldSrbs.erase(std::find(heldSrbs.begin(), heldSrbs.end(), &me));
        }
    }
}

void PrinterGate::Hold(int count, int opcode, int subcode)
{
    std::lock_guard<std::mutex> g(lock);
    rules_.push_back({count, opcode, subcode});
}

void PrinterGate::Release()
{
    std::lock_guard<std::mutex> g(lock);
    rules_.clear();
    generation_++;
    released.notify_all();
}

HeldCounts HeldNow()
{
    std::lock_guard<std::mutex> g(lock);
    HeldCounts held;
    for (const HeldSrb* h : heldSrbs)
        if (h->Held())
            (h->onCompletionThread ? held.onCompletionThread : held.elsewhere)++;
    return held;
}

std::string HeldBy(std::thread::id thread)
{
    std::lock_guard<std::mutex> g(lock);
    for (const HeldSrb* h : heldSrbs)
        if (h->thread == thread && h->Held())
            return h->what;
    return "";
}

std::vector<std::string> NewlyHeld()
{
    std::lock_guard<std::mutex> g(lock);
    std::vector<std::string> out;
    out.swap(announcements);
    return out;
}

} // namespace prnsim
