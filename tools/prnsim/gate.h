// A printer that can keep SRBs: the thread that carries a held SRB (the
// sender's, or the port driver's completion thread) waits in the printer
// until the script lets it go, so a request can stay blocked in the printer
// while other requests, PnP and power arrive.
#ifndef PRNSIM_GATE_H
#define PRNSIM_GATE_H

#include "sbp2sim.h"

#include <memory>
#include <string>
#include <vector>

namespace prnsim
{

class PrinterGate : public sbp2sim::PrinterModel
{
  public:
    PrinterGate(std::string name, std::shared_ptr<sbp2sim::SimPrinter> inner);
    ~PrinterGate() override;
    NTSTATUS Handle(const sbp2sim::UnitRequest& request, ULONG_PTR* information) override;

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
    std::shared_ptr<sbp2sim::SimPrinter> inner_;
    std::vector<Rule> rules_;
    unsigned long generation_ = 0; // bumped by Release
};

// SRBs held in every printer now, by the thread that carries them.
struct HeldCounts {
    size_t onCompletionThread = 0; // the port driver's (at DISPATCH_LEVEL)
    size_t elsewhere = 0;          // the sender's own thread
};
HeldCounts HeldNow();
// "p/0 SCSI C0 00 00 10 00 00 00 00" for every SRB held since the last call.
std::vector<std::string> NewlyHeld();

} // namespace prnsim

#endif
