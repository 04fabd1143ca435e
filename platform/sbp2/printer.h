// The printer behind the simulated SBP-2 port driver. The port driver hands
// every SCSI request block, create and close that reaches one of the
// printer's unit PDOs to the printer's model and completes the request with
// what the model says.
#ifndef PRN_SBP2_PRINTER_H
#define PRN_SBP2_PRINTER_H

#include <wdm.h>
#include <srb.h>

namespace sbp2sim
{

struct UnitRequest {
    int unit;                 // 0 or 1
    UCHAR major;              // IRP_MJ_SCSI, IRP_MJ_CREATE or IRP_MJ_CLOSE
    PIRP irp;                 // the request, MdlAddress included
    PIO_STACK_LOCATION stack; // the port driver's stack location
    PSCSI_REQUEST_BLOCK srb;  // IRP_MJ_SCSI only, with Function SRB_FUNCTION_EXECUTE_SCSI
};

class PrinterModel
{
  public:
    virtual ~PrinterModel() = default;
    // Returns the completion status and sets *information (bytes
    // transferred). For SRBs the model sets SrbStatus (and the sense bytes).
    // Runs in the sender's thread, or on the port driver's completion thread
    // at DISPATCH_LEVEL when the port completes asynchronously.
    virtual NTSTATUS Handle(const UnitRequest& request, ULONG_PTR* information);
};

} // namespace sbp2sim

#endif
