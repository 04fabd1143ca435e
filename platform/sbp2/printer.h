// The printer behind the simulated SBP-2 port driver. The port driver hands
// every SCSI request block, create and close that reaches one of the
// printer's unit PDOs to the printer's model and completes the request with
// what the model says.
//
// Two models:
// - PrinterModel, the default: completes every SRB with SRB_STATUS_SUCCESS
//   and every byte transferred.
// - SimPrinter, the printer of the data-path tests and of prnsim: it answers
//   the printer's command set, keeps a bus trace and the print data it
//   accepted, and can be told to misbehave.
//
// Using SimPrinter:
//   auto printer = std::make_shared<sbp2sim::SimPrinter>();
//   sbp2sim::PrinterConfig config;
//   config.model = printer;          // config.async picks the completion mode
//   sbp2sim::Plug(config);
//   ... open the port, write ...
//   printer->PrintData();            // every byte it accepted, in order
//   printer->Trace();                // creates, closes and SRBs, in order
//
// Command set (CDB byte 0, byte 1; the unit it belongs to):
//   0A --  unit 0  PRINT: data out, accepted into PrintData()
//   C0 00  unit 0  vendor data write: data out, accepted into PrintData()
//   C0 01  unit 0  data clear
//   C2 00  unit 0  unit information A (8 bytes)   C3 00  information B
//   C1 20  unit 1  status read: the status reply, any length
//   C1 21  unit 1  status clear
//   C1 22  unit 1  IEEE 1284 device ID, with its 2-byte big-endian length
//   C2 20  unit 1  unit information A (8 bytes)   C3 20  information B
// Anything else, or a command sent to the other unit, completes with
// SRB_STATUS_INVALID_REQUEST.
//
// Misbehaviour (each rule matches by unit, CDB bytes 0 and 1, lets `after`
// matching SRBs through and then applies to the next `count` of them, or to
// all of them when count is 0):
//   RefuseData()      SRB_STATUS_ERROR, sense byte 8 non-zero: data refused
//   ShortDelivery()   SRB_STATUS_ERROR, sense byte 8 zero, bytes 10-12 the
//                     bytes really delivered (a reply) or taken (print data:
//                     the first that many bytes)
//   FailWith()        any other SRB status (SRB_STATUS_SELECTION_TIMEOUT...)
//   SetCreateResult() a unit answers IRP_MJ_CREATE with the given status
// Errors carry SRB_STATUS_AUTOSENSE_VALID and complete the IRP with
// STATUS_IO_DEVICE_ERROR and 0 bytes, as a port driver does.
//
// Checks: an SRB whose MDL does not describe its data buffer, or whose data
// buffer is missing for a transfer, is reported with kmsim::Violation.
// Overlaps() counts SRBs that arrived while another SRB of this printer was
// still being handled (engine operations of one printer must not overlap).
#ifndef PRN_SBP2_PRINTER_H
#define PRN_SBP2_PRINTER_H

#include <wdm.h>
#include <srb.h>

#include <array>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace sbp2sim
{

struct UnitRequest {
    int unit;                 // 0 or 1
    UCHAR major;              // IRP_MJ_SCSI, IRP_MJ_CREATE or IRP_MJ_CLOSE
    PIRP irp;                 // the request, MdlAddress included
    PIO_STACK_LOCATION stack; // the port driver's stack location
    PSCSI_REQUEST_BLOCK srb;  // IRP_MJ_SCSI only, with Function SRB_FUNCTION_EXECUTE_SCSI
    LONGLONG arrived = 0;     // simulated time the port driver took it (its timer's start)
};

// One thing the printer saw on the bus, in arrival order.
struct BusEvent {
    enum Kind { kCreate, kClose, kSrb };
    // Who ended it: the printer's answer, or the port driver for an SRB
    // the printer kept (its request timer, or the printer leaving the bus).
    enum Ending { kAnswered, kTimedOut, kOffBus };
    Kind kind = kSrb;
    Ending ending = kAnswered;
    int unit = 0;
    LONGLONG time = 0;    // simulated system time at arrival (100-ns units); at its end
                          // for an SRB the port driver ended
    LONGLONG arrived = 0; // at arrival, whoever ended it
    // the SRB as received (kSrb only)
    USHORT srbLength = 0;
    UCHAR function = 0;
    UCHAR queueTag = 0;
    UCHAR queueAction = 0;
    UCHAR cdbLength = 0;
    UCHAR senseLength = 0;
    ULONG srbFlags = 0;
    ULONG transferLength = 0;
    ULONG timeout = 0;
    std::array<UCHAR, 16> cdb{};
    // the printer's answer
    NTSTATUS status = STATUS_SUCCESS; // IRP completion status
    UCHAR srbStatus = 0;
    ULONG delivered = 0; // IoStatus.Information
    // the sense data returned with SRB_STATUS_AUTOSENSE_VALID (at most 32 bytes)
    UCHAR senseReturned = 0;
    std::array<UCHAR, 32> sense{};

    UCHAR op() const { return cdb[0]; }
    UCHAR sub() const { return cdb[1]; }
    ULONG cdbLengthField() const { return (ULONG)cdb[2] << 16 | (ULONG)cdb[3] << 8 | cdb[4]; }
    bool isDataOut() const
    {
        return kind == kSrb && (cdb[0] == 0x0A || (cdb[0] == 0xC0 && cdb[1] == 0));
    }
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
    // The port driver ended an SRB the printer never answered (it was kept
    // waiting, see sbp2sim::TimedOut): `how` says why; the SRB carries the
    // SRB status and `status` is what the request completes with. The printer's own answer never
    // comes.
    virtual void Unanswered(const UnitRequest& request, BusEvent::Ending how, NTSTATUS status)
    {
        (void)request;
        (void)how;
        (void)status;
    }
};

// A rule that makes the printer misbehave.
struct Fault {
    enum Action {
        kRefuse,    // SRB_STATUS_ERROR, sense byte 8 non-zero, bytes 10-12 = shortCount
                    // (0 unless a refusal after part of the transfer is wanted)
        kShort,     // SRB_STATUS_ERROR, sense byte 8 zero, bytes 10-12 = shortCount
        kSrbStatus, // srbStatus, nothing taken
    };
    Action action = kRefuse;
    int unit = -1;    // -1: either unit
    int opcode = -1;  // CDB byte 0, -1: any
    int subcode = -1; // CDB byte 1, -1: any
    int count = 1;    // matching SRBs it applies to; 0: all of them
    int after = 0;    // matching SRBs let through before it applies
    ULONG shortCount = 0;
    UCHAR srbStatus = SRB_STATUS_SELECTION_TIMEOUT;
};

class SimPrinter : public PrinterModel
{
  public:
    SimPrinter();
    NTSTATUS Handle(const UnitRequest& request, ULONG_PTR* information) override;
    void Unanswered(const UnitRequest& request, BusEvent::Ending how, NTSTATUS status) override;

    // ---- replies ----
    void SetStatusReply(const std::vector<UCHAR>& reply);
    // The reply becomes the 2-byte big-endian length (which counts itself)
    // followed by the text.
    void SetDeviceId(const std::string& text);
    void SetDeviceIdReply(const std::vector<UCHAR>& raw); // sent exactly as given
    // Opcode 0xC2 (A) or 0xC3 (B) of unit 0 or 1.
    void SetInfoReply(int unit, UCHAR opcode, const std::vector<UCHAR>& reply);

    // ---- misbehaviour ----
    void AddFault(const Fault& fault);
    // Data-out SRBs (PRINT, vendor write) refused; count 0: until cleared.
    void RefuseData(int count = 0);
    void ShortDelivery(UCHAR opcode, UCHAR subcode, ULONG delivered, int count = 1);
    void FailWith(UCHAR srbStatus, int count = 1, int opcode = -1, int subcode = -1);
    void ClearFaults();
    void SetCreateResult(int unit, NTSTATUS status);

    // ---- observation ----
    std::vector<BusEvent> Trace() const;
    std::vector<BusEvent> Srbs() const;     // SRBs only
    std::vector<BusEvent> DataSrbs() const; // accepted or refused data-out SRBs
    std::vector<UCHAR> PrintData() const;   // accepted print data, one stream
    void ClearTrace();                      // trace and print data
    int Overlaps() const { return overlaps_.load(); }

  private:
    NTSTATUS HandleSrb(const UnitRequest& request, ULONG_PTR* information);
    NTSTATUS ApplyFault(const Fault& fault, PSCSI_REQUEST_BLOCK srb, ULONG_PTR* information);
    bool TakeFault(int unit, const UCHAR* cdb, Fault* out);
    static void RecordSrb(const PSCSI_REQUEST_BLOCK srb, BusEvent* event);
    std::vector<UCHAR> ReplyFor(int unit, UCHAR opcode, UCHAR subcode, bool* known);
    void CheckBuffers(const UnitRequest& request);

    mutable std::mutex lock_;
    std::vector<BusEvent> trace_;
    std::vector<UCHAR> printData_;
    std::vector<Fault> faults_;
    std::vector<UCHAR> statusReply_;
    std::vector<UCHAR> deviceIdReply_;
    std::vector<UCHAR> info_[2][2]; // [unit][A/B]
    NTSTATUS createResult_[2] = {STATUS_SUCCESS, STATUS_SUCCESS};
    std::atomic<int> inFlight_{0};
    std::atomic<int> overlaps_{0};
};

} // namespace sbp2sim

#endif
