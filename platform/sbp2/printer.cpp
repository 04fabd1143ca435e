// The printer models behind the simulated SBP-2 port driver.
#include "printer.h"

#include "kmsim.h"

#include <algorithm>
#include <cstring>
#include <thread>

#ifndef STATUS_IO_DEVICE_ERROR
#define STATUS_IO_DEVICE_ERROR ((NTSTATUS)0xC0000185L)
#endif

namespace sbp2sim
{

// Default printer model: accepts every command and transfers every byte.
NTSTATUS PrinterModel::Handle(const UnitRequest& request, ULONG_PTR* information)
{
    *information = 0;
    if (request.srb != NULL) {
        request.srb->SrbStatus = SRB_STATUS_SUCCESS;
        *information = request.srb->DataTransferLength;
    }
    return STATUS_SUCCESS;
}

namespace
{

const UCHAR kOpPrint = 0x0A;
const UCHAR kOpVendorOut = 0xC0;
const UCHAR kOpUnit1 = 0xC1;
const UCHAR kOpInfoA = 0xC2;
const UCHAR kOpInfoB = 0xC3;
const UCHAR kSenseRefused = 0x01;

bool Matches(const Fault& f, int unit, const UCHAR* cdb)
{
    return (f.unit < 0 || f.unit == unit) && (f.opcode < 0 || f.opcode == cdb[0]) &&
           (f.subcode < 0 || f.subcode == cdb[1]);
}

// Fills as much of the request sense data as the caller's buffer holds
// (byte 8: refused, bytes 10-12: bytes taken); false when there is no
// buffer, so the sense must not be claimed valid.
bool SetSense(PSCSI_REQUEST_BLOCK srb, UCHAR refused, ULONG delivered)
{
    UCHAR* buffer = (UCHAR*)srb->SenseInfoBuffer;
    if (buffer == NULL || srb->SenseInfoBufferLength == 0) {
        return false;
    }
    UCHAR sense[18] = {0x70};
    sense[8] = refused;
    sense[10] = (UCHAR)(delivered >> 16);
    sense[11] = (UCHAR)(delivered >> 8);
    sense[12] = (UCHAR)delivered;
    memset(buffer, 0, srb->SenseInfoBufferLength);
    memcpy(buffer, sense, std::min<size_t>(sizeof sense, srb->SenseInfoBufferLength));
    return true;
}

NTSTATUS ErrorStatus(PSCSI_REQUEST_BLOCK srb, UCHAR srbStatus, ULONG_PTR* information)
{
    srb->SrbStatus = srbStatus;
    *information = 0;
    return STATUS_IO_DEVICE_ERROR;
}

} // namespace

SimPrinter::SimPrinter()
{
    const char* status = "STS:IDLE;";
    statusReply_.assign(status, status + strlen(status));
    SetDeviceId("MFG:Acme;MDL:P-1;CMD:ZRL;CLS:PRINTER;");
    for (int unit = 0; unit < 2; unit++) {
        for (int which = 0; which < 2; which++) {
            info_[unit][which] = {(UCHAR)(0xA0 + unit), (UCHAR)(0xB0 + which), 1, 2, 3, 4, 5, 6};
        }
    }
}

void SimPrinter::SetStatusReply(const std::vector<UCHAR>& reply)
{
    std::lock_guard<std::mutex> g(lock_);
    statusReply_ = reply;
}

void SimPrinter::SetDeviceId(const std::string& text)
{
    std::vector<UCHAR> reply;
    size_t length = text.size() + 2;
    reply.push_back((UCHAR)(length >> 8));
    reply.push_back((UCHAR)length);
    reply.insert(reply.end(), text.begin(), text.end());
    SetDeviceIdReply(reply);
}

void SimPrinter::SetDeviceIdReply(const std::vector<UCHAR>& raw)
{
    std::lock_guard<std::mutex> g(lock_);
    deviceIdReply_ = raw;
}

void SimPrinter::SetInfoReply(int unit, UCHAR opcode, const std::vector<UCHAR>& reply)
{
    std::lock_guard<std::mutex> g(lock_);
    info_[unit & 1][opcode == kOpInfoB ? 1 : 0] = reply;
}

void SimPrinter::AddFault(const Fault& fault)
{
    std::lock_guard<std::mutex> g(lock_);
    faults_.push_back(fault);
}

void SimPrinter::RefuseData(int count)
{
    Fault f;
    f.action = Fault::kRefuse;
    f.unit = 0;
    f.count = count;
    // PRINT and vendor write: two rules, both unit 0.
    f.opcode = kOpPrint;
    AddFault(f);
    f.opcode = kOpVendorOut;
    f.subcode = 0;
    AddFault(f);
}

void SimPrinter::ShortDelivery(UCHAR opcode, UCHAR subcode, ULONG delivered, int count)
{
    Fault f;
    f.action = Fault::kShort;
    f.opcode = opcode;
    f.subcode = subcode;
    f.shortCount = delivered;
    f.count = count;
    AddFault(f);
}

void SimPrinter::FailWith(UCHAR srbStatus, int count, int opcode, int subcode)
{
    Fault f;
    f.action = Fault::kSrbStatus;
    f.srbStatus = srbStatus;
    f.count = count;
    f.opcode = opcode;
    f.subcode = subcode;
    AddFault(f);
}

void SimPrinter::ClearFaults()
{
    std::lock_guard<std::mutex> g(lock_);
    faults_.clear();
}

void SimPrinter::SetCreateResult(int unit, NTSTATUS status)
{
    std::lock_guard<std::mutex> g(lock_);
    createResult_[unit & 1] = status;
}

std::vector<BusEvent> SimPrinter::Trace() const
{
    std::lock_guard<std::mutex> g(lock_);
    return trace_;
}

std::vector<BusEvent> SimPrinter::Srbs() const
{
    std::vector<BusEvent> out;
    for (const BusEvent& e : Trace()) {
        if (e.kind == BusEvent::kSrb) {
            out.push_back(e);
        }
    }
    return out;
}

std::vector<BusEvent> SimPrinter::DataSrbs() const
{
    std::vector<BusEvent> out;
    for (const BusEvent& e : Trace()) {
        if (e.isDataOut()) {
            out.push_back(e);
        }
    }
    return out;
}

std::vector<UCHAR> SimPrinter::PrintData() const
{
    std::lock_guard<std::mutex> g(lock_);
    return printData_;
}

void SimPrinter::ClearTrace()
{
    std::lock_guard<std::mutex> g(lock_);
    trace_.clear();
    printData_.clear();
}

// Takes one use of the first rule that matches; a rule used up goes.
bool SimPrinter::TakeFault(int unit, const UCHAR* cdb, Fault* out)
{
    std::lock_guard<std::mutex> g(lock_);
    for (size_t i = 0; i < faults_.size(); i++) {
        if (!Matches(faults_[i], unit, cdb)) {
            continue;
        }
        if (faults_[i].after > 0) {
            faults_[i].after--;
            return false;
        }
        *out = faults_[i];
        if (faults_[i].count > 0 && --faults_[i].count == 0) {
            faults_.erase(faults_.begin() + (long)i);
        }
        return true;
    }
    return false;
}

std::vector<UCHAR> SimPrinter::ReplyFor(int unit, UCHAR opcode, UCHAR subcode, bool* known)
{
    std::lock_guard<std::mutex> g(lock_);
    *known = true;
    UCHAR unitCode = unit == 0 ? 0x00 : 0x20;
    if ((opcode == kOpInfoA || opcode == kOpInfoB) && subcode == unitCode) {
        return info_[unit][opcode == kOpInfoB ? 1 : 0];
    }
    if (unit == 1 && opcode == kOpUnit1 && subcode == 0x20) {
        return statusReply_;
    }
    if (unit == 1 && opcode == kOpUnit1 && subcode == 0x22) {
        return deviceIdReply_;
    }
    *known = false;
    return {};
}

// The engine hands the port driver an SRB whose DataBuffer must be what the
// request's MDL describes; a port driver maps the MDL, not the pointer.
void SimPrinter::CheckBuffers(const UnitRequest& request)
{
    PSCSI_REQUEST_BLOCK srb = request.srb;
    if (srb->DataTransferLength == 0) {
        return;
    }
    PMDL mdl = request.irp->MdlAddress;
    if (srb->DataBuffer == NULL || mdl == NULL) {
        kmsim::Violation("printer: data transfer without a data buffer or MDL");
        return;
    }
    PUCHAR start = (PUCHAR)MmGetMdlVirtualAddress(mdl);
    PUCHAR data = (PUCHAR)srb->DataBuffer;
    if (data < start || data + srb->DataTransferLength > start + MmGetMdlByteCount(mdl)) {
        kmsim::Violation("printer: SRB data buffer outside the request's MDL");
    }
}

NTSTATUS SimPrinter::ApplyFault(const Fault& fault, PSCSI_REQUEST_BLOCK srb, ULONG_PTR* information)
{
    switch (fault.action) {
    case Fault::kRefuse:
    case Fault::kShort: {
        UCHAR refused = fault.action == Fault::kRefuse ? kSenseRefused : 0;
        bool sense = SetSense(srb, refused, fault.shortCount);
        return ErrorStatus(srb, SRB_STATUS_ERROR | (sense ? SRB_STATUS_AUTOSENSE_VALID : 0),
                           information);
    }
    case Fault::kSrbStatus:
    default:
        return ErrorStatus(srb, fault.srbStatus, information);
    }
}

NTSTATUS SimPrinter::HandleSrb(const UnitRequest& request, ULONG_PTR* information)
{
    PSCSI_REQUEST_BLOCK srb = request.srb;
    int unit = request.unit;
    UCHAR op = srb->Cdb[0];
    UCHAR sub = srb->Cdb[1];
    ULONG length = srb->DataTransferLength;
    CheckBuffers(request);

    Fault fault;
    if (TakeFault(unit, srb->Cdb, &fault)) {
        NTSTATUS status = ApplyFault(fault, srb, information);
        // A short delivery still moves the bytes it reports: the first part
        // of print data is taken, the first part of a reply delivered.
        bool printOut = unit == 0 && (op == kOpPrint || (op == kOpVendorOut && sub == 0));
        if (fault.action == Fault::kShort && printOut && srb->DataBuffer != NULL) {
            size_t n = std::min<size_t>(length, fault.shortCount);
            std::lock_guard<std::mutex> g(lock_);
            const UCHAR* data = (const UCHAR*)srb->DataBuffer;
            printData_.insert(printData_.end(), data, data + n);
        }
        if (fault.action == Fault::kShort && (srb->SrbFlags & SRB_FLAGS_DATA_IN) &&
            srb->DataBuffer != NULL) {
            bool known;
            std::vector<UCHAR> reply = ReplyFor(unit, op, sub, &known);
            size_t n = std::min<size_t>({reply.size(), (size_t)length, (size_t)fault.shortCount});
            if (n != 0) {
                memcpy(srb->DataBuffer, reply.data(), n);
            }
        }
        return status;
    }

    bool dataOut = unit == 0 && (op == kOpPrint || (op == kOpVendorOut && sub == 0));
    if (dataOut) {
        if (length != 0 && srb->DataBuffer != NULL) {
            std::lock_guard<std::mutex> g(lock_);
            const UCHAR* data = (const UCHAR*)srb->DataBuffer;
            printData_.insert(printData_.end(), data, data + length);
        }
        srb->SrbStatus = SRB_STATUS_SUCCESS;
        *information = length;
        return STATUS_SUCCESS;
    }
    bool noData = (unit == 0 && op == kOpVendorOut && sub == 0x01) ||
                  (unit == 1 && op == kOpUnit1 && sub == 0x21);
    if (noData) {
        srb->SrbStatus = SRB_STATUS_SUCCESS;
        *information = 0;
        return STATUS_SUCCESS;
    }
    bool known = false;
    std::vector<UCHAR> reply = ReplyFor(unit, op, sub, &known);
    if (!known) {
        return ErrorStatus(srb, SRB_STATUS_INVALID_REQUEST, information);
    }
    size_t n = std::min<size_t>(reply.size(), length);
    if (n != 0 && srb->DataBuffer != NULL) {
        memcpy(srb->DataBuffer, reply.data(), n);
    }
    srb->SrbStatus = SRB_STATUS_SUCCESS;
    *information = n;
    return STATUS_SUCCESS;
}

void SimPrinter::RecordSrb(const PSCSI_REQUEST_BLOCK srb, BusEvent* event)
{
    event->kind = BusEvent::kSrb;
    event->srbLength = srb->Length;
    event->function = srb->Function;
    event->queueTag = srb->QueueTag;
    event->queueAction = srb->QueueAction;
    event->cdbLength = srb->CdbLength;
    event->senseLength = srb->SenseInfoBufferLength;
    event->srbFlags = srb->SrbFlags;
    event->transferLength = srb->DataTransferLength;
    event->timeout = srb->TimeOutValue;
    memcpy(event->cdb.data(), srb->Cdb, 16);
}

// On the trace at the time the port driver ended it, so that the bus lines
// stay in the order things happened.
void SimPrinter::Unanswered(const UnitRequest& request, BusEvent::Ending how, NTSTATUS status)
{
    if (request.srb == NULL)
        return;
    BusEvent event;
    event.unit = request.unit;
    event.time = kmsim::Now();
    event.arrived = request.arrived;
    event.ending = how;
    RecordSrb(request.srb, &event);
    event.srbStatus = request.srb->SrbStatus;
    event.status = status;
    std::lock_guard<std::mutex> g(lock_);
    trace_.push_back(event);
}

NTSTATUS SimPrinter::Handle(const UnitRequest& request, ULONG_PTR* information)
{
    *information = 0;
    BusEvent event;
    event.unit = request.unit;
    event.time = kmsim::Now();
    if (request.major != IRP_MJ_SCSI || request.srb == NULL) {
        event.kind = request.major == IRP_MJ_CREATE ? BusEvent::kCreate : BusEvent::kClose;
        {
            std::lock_guard<std::mutex> g(lock_);
            event.status =
                request.major == IRP_MJ_CREATE ? createResult_[request.unit & 1] : STATUS_SUCCESS;
            trace_.push_back(event);
        }
        return event.status;
    }

    // Another SRB of this printer still being handled means two engine
    // operations overlap; stay a little to give such an overlap a chance to
    // show (not on a retail kernel, which runs for speed).
    if (inFlight_.fetch_add(1) != 0) {
        overlaps_++;
    }
    if (!kmsim::IsRetailKernel()) {
        std::this_thread::yield();
    }

    PSCSI_REQUEST_BLOCK srb = request.srb;
    event.arrived = event.time;
    RecordSrb(srb, &event);

    event.status = HandleSrb(request, information);
    event.srbStatus = srb->SrbStatus;
    if ((srb->SrbStatus & SRB_STATUS_AUTOSENSE_VALID) && srb->SenseInfoBuffer != NULL) {
        event.senseReturned =
            (UCHAR)std::min<size_t>(srb->SenseInfoBufferLength, event.sense.size());
        memcpy(event.sense.data(), srb->SenseInfoBuffer, event.senseReturned);
    }
    event.delivered = (ULONG)*information;
    {
        std::lock_guard<std::mutex> g(lock_);
        trace_.push_back(event);
    }
    inFlight_.fetch_sub(1);
    return event.status;
}

} // namespace sbp2sim
