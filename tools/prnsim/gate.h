// A printer that can keep SRBs: the thread that sent a held SRB waits in
// the printer until the script lets it go, so a request can stay blocked in
// the printer while other requests, PnP and power arrive. It is held as it
// arrives, before the port driver's completion thread sees it, so the
// other printers go on in either completion mode.
#ifndef PRNSIM_GATE_H
#define PRNSIM_GATE_H

#include "sbp2sim.h"

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace prnsim
{

class PrinterGate
{
  public:
    explicit PrinterGate(std::string name);
    ~PrinterGate();
    // The port driver's arrival hook: waits while the SRB is held.
    void Arrive(const sbp2sim::UnitRequest& request);

    // The next `count` SRBs (0: every one until released) with CDB bytes 0
    // and 1 matching (-1: any) stay in the printer.
    void Hold(int count, int opcode, int subcode);
    // Every held SRB goes on to the printer; no more are held.
    void Release();

  private:
    struct Rule {
        int count, opcode, subcode;
    };
    bool TakeRule(const UCHAR* cdb);

    std::string name_;
    std::vector<Rule> rules_;
    unsigned long generation_ = 0; // bumped by Release
};

// SRBs held in every printer now, by the thread that carries them.
struct HeldCounts {
    size_t onCompletionThread = 0; // the port driver's (at DISPATCH_LEVEL)
    size_t elsewhere = 0;          // the sender's own thread
};
HeldCounts HeldNow();
// The SRB the thread carries held in a printer now ("p/0 SCSI C0 00 ..."),
// "" when none.
std::string HeldBy(std::thread::id thread);
// "p/0 SCSI C0 00 00 10 00 00 00 00" for every SRB held since the last call.
std::vector<std::string> NewlyHeld();

} // namespace prnsim

#endif
