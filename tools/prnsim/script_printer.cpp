// Printer behaviour in a script: `printer NAME ...` makes the simulated
// printer refuse, shorten, fail, hold or answer as a test needs.
#include "interpreter.h"

#include <cctype>
#include <cstdlib>

namespace prnsim::script
{

// A CDB byte as every trace line shows it: hex, with or without 0x ("C0",
// "0xC0", "20").
static bool ParseCdbByte(std::string text, int* value)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text = text.substr(2);
    if (text.empty() || text.size() > 2)
        return false;
    for (char c : text)
        if (!isxdigit((unsigned char)c))
            return false;
    *value = (int)strtol(text.c_str(), nullptr, 16);
    return true;
}

// The words after a fault's value: a COUNT and op=XX / sub=XX (CDB bytes 0
// and 1 in hex, -1 when not given).
bool Interpreter::FaultTarget(const Words& w, size_t from, const char* what, uint64_t* count,
                              int* opcode, int* subcode)
{
    *count = 1;
    *opcode = *subcode = -1;
    for (size_t i = from; i < w.size(); i++) {
        std::string key, value;
        if (SplitOption(w[i], &key, &value) && (key == "op" || key == "sub")) {
            if (!ParseCdbByte(value, key == "op" ? opcode : subcode))
                return Fail("bad CDB byte '" + value + "' for " + key +
                            " (hex, as the trace shows it: C0 or 0xC0)");
        } else if (!Number(w[i], 1000000, count, what)) {
            return false;
        }
    }
    return true;
}

bool Interpreter::PrinterRefuse(SimulatedPrinter& p, const Words& w)
{
    if (w.size() != 4 || (w[3] != "on" && w[3] != "off"))
        return Fail("printer NAME refuse on|off");
    if (w[3] == "on")
        p.model->RefuseData(0);
    else
        p.model->ClearFaults();
    return true;
}

// Sense byte 8 set: the printer refuses the command. Print data by
// default; op= and sub= pick any other command (a status or ID read);
// took=N puts N in sense bytes 10-12, a refusal after part of the transfer.
bool Interpreter::PrinterRefuseNext(SimulatedPrinter& p, const Words& w)
{
    sbp2sim::Fault f;
    f.action = sbp2sim::Fault::kRefuse;
    Words rest;
    for (size_t i = 0; i < w.size(); i++) {
        std::string key, value;
        uint64_t n;
        if (i >= 3 && SplitOption(w[i], &key, &value) && key == "took") {
            if (!Number(value, 0xFFFFFF, &n, "took"))
                return false;
            f.shortCount = (ULONG)n;
        } else {
            rest.push_back(w[i]);
        }
    }
    uint64_t count;
    if (!FaultTarget(rest, 3, "refuse-next count", &count, &f.opcode, &f.subcode))
        return false;
    f.count = (int)count;
    if (f.opcode >= 0) {
        p.model->AddFault(f);
        return true;
    }
    f.unit = 0;
    f.opcode = 0x0A; // PRINT
    p.model->AddFault(f);
    f.opcode = 0xC0; // vendor data write
    f.subcode = 0;
    p.model->AddFault(f);
    return true;
}

// Print data by default; op= and sub= pick another command (a reply).
bool Interpreter::PrinterDeliver(SimulatedPrinter& p, const Words& w)
{
    uint64_t n, count;
    int opcode, subcode;
    if (w.size() < 4)
        return Fail("printer NAME deliver N [COUNT] [op=XX sub=XX]");
    if (!Number(w[3], 0xFFFFFF, &n, "deliver") ||
        !FaultTarget(w, 4, "deliver count", &count, &opcode, &subcode))
        return false;
    if (opcode < 0) {
        p.model->ShortDelivery(0x0A, 0x00, (ULONG)n, (int)count);
        p.model->ShortDelivery(0xC0, 0x00, (ULONG)n, (int)count);
    } else {
        p.model->ShortDelivery((UCHAR)opcode, (UCHAR)(subcode < 0 ? 0 : subcode), (ULONG)n,
                               (int)count);
    }
    return true;
}

bool Interpreter::PrinterFail(SimulatedPrinter& p, const Words& w)
{
    UCHAR srbStatus;
    uint64_t count;
    int opcode, subcode;
    if (w.size() < 4)
        return Fail("printer NAME fail SRBSTATUS [COUNT] [op=XX sub=XX]");
    if (!ParseSrbStatus(w[3], &srbStatus))
        return Fail("unknown SRB status '" + w[3] + "'");
    if (!FaultTarget(w, 4, "fail count", &count, &opcode, &subcode))
        return false;
    p.model->FailWith(srbStatus, (int)count, opcode, subcode);
    return true;
}

// deviceid TEXT length=N: the reply's 2-byte length field says N, whatever
// the text's true length.
bool Interpreter::PrinterReply(SimulatedPrinter& p, const Words& w)
{
    if (!Arity(w, 3, w[2] == "deviceid" ? 4 : 3))
        return false;
    std::string text = Unescape(w[3]);
    if (w[2] == "status") {
        p.model->SetStatusReply(std::vector<UCHAR>(text.begin(), text.end()));
        return true;
    }
    if (w.size() < 5) {
        p.model->SetDeviceId(text);
        return true;
    }
    std::string key, value;
    uint64_t n;
    if (!SplitOption(w[4], &key, &value) || key != "length")
        return Fail("printer NAME deviceid TEXT [length=N]");
    if (!Number(value, 0xFFFF, &n, "length"))
        return false;
    std::vector<UCHAR> raw = {(UCHAR)(n >> 8), (UCHAR)n};
    // One by one: GCC 12 at -O2 takes a range insert here for an overflow
    // (-Warray-bounds) that cannot happen.
    for (char c : text)
        raw.push_back((UCHAR)c);
    p.model->SetDeviceIdReply(raw);
    return true;
}

bool Interpreter::PrinterCreate(SimulatedPrinter& p, const Words& w)
{
    uint64_t unit;
    NTSTATUS s;
    if (!Arity(w, 4, 4) || !Number(w[3], 1, &unit, "unit") || !Status(w[4], &s))
        return false;
    p.model->SetCreateResult((int)unit, s);
    return true;
}

bool Interpreter::PrinterAsync(SimulatedPrinter& p, const Words& w)
{
    if (w.size() != 4 || (w[3] != "on" && w[3] != "off"))
        return Fail("printer NAME async on|off");
    if (!p.plugged)
        return Fail("printer '" + w[1] + "' is unplugged");
    sbp2sim::ConfigOf(p.bus).async = w[3] == "on";
    sbp2sim::ConfigOf(p.bus).mixedSeed = 0;
    return true;
}

bool Interpreter::PrinterHold(SimulatedPrinter& p, const Words& w)
{
    uint64_t count;
    int opcode, subcode;
    if (!FaultTarget(w, 3, "hold count", &count, &opcode, &subcode))
        return false;
    p.gate->Hold((int)count, opcode, subcode);
    return true;
}

bool Interpreter::PrinterRelease(SimulatedPrinter& p, const Words& w)
{
    if (!Arity(w, 2, 2))
        return false;
    p.gate->Release();
    return true;
}

bool Interpreter::PrinterClear(SimulatedPrinter& p, const Words& w)
{
    if (!Arity(w, 2, 2))
        return false;
    p.model->ClearFaults();
    return true;
}

bool Interpreter::PrinterCommand(const Words& w)
{
    if (w.size() < 3)
        return Fail("printer needs NAME and what it should do");
    SimulatedPrinter* p = Printer(w[1]);
    if (!p)
        return false;
    for (const PrinterRow& b : PrinterBehaviours())
        if (w[2] == b.name)
            return (this->*b.run)(*p, w);
    return Fail("unknown printer behaviour '" + w[2] + "'");
}

Rows<PrinterRow> Interpreter::PrinterBehaviours()
{
    static const PrinterRow kRows[] = {
        {"refuse", &Interpreter::PrinterRefuse,
         R"(  printer NAME refuse on|off    refuse print data until off, as a printer out
                                of paper does: each write returns at once
                                with a short count (0 bytes taken); once 60
                                simulated seconds have passed since the first
                                refusal the driver fails writes with
                                STATUS_DEVICE_OFF_LINE, whatever TIME_OUT
                                holds (TIME_OUT is only what
                                IOCTL_SERIAL_GET_TIMEOUTS reports); "clock MS"
                                lets the time pass
)"},
        {"deliver", &Interpreter::PrinterDeliver,
         R"(  printer NAME deliver N [COUNT] [op=XX sub=XX]
                                take (or, for a reply, send) only N bytes of
                                the next COUNT print data transfers (or of
                                the command with that CDB byte 0 and 1;
                                op= and sub= are hex, as in the trace: C0,
                                0xC0)
)"},
        {"fail", &Interpreter::PrinterFail,
         R"(  printer NAME fail SRBSTATUS [COUNT] [op=XX sub=XX]
                                fail the next COUNT SCSI requests (of that
                                CDB byte 0 and 1); COUNT 0: all of them
)"},
        {"status", &Interpreter::PrinterReply,
         R"(  printer NAME status TEXT      the status reply
)"},
        {"deviceid", &Interpreter::PrinterReply,
         R"(  printer NAME deviceid TEXT [length=N]
                                the device ID reply (unit 1, C1 22); length=N
                                puts N in its 2-byte length field instead of
                                the true length
)"},
        {"refuse-next", &Interpreter::PrinterRefuseNext,
         R"(  printer NAME refuse-next [COUNT] [op=XX sub=XX] [took=N]
                                refuse (sense byte 8 set) the next COUNT print
                                data transfers, or commands with that CDB byte
                                0 and 1 ("refuse-next op=0xC1 sub=0x20": a
                                status read); took=N: N bytes taken first
                                (sense bytes 10-12)
)"},
        {"create", &Interpreter::PrinterCreate,
         R"(  printer NAME create UNIT STATUS   answer IRP_MJ_CREATE of a unit with STATUS
)"},
        {"async", &Interpreter::PrinterAsync,
         R"(  printer NAME async on|off     completion from the port driver's thread
)"},
        {"clear", &Interpreter::PrinterClear,
         R"(  printer NAME clear            no more faults
)"},
        {"hold", &Interpreter::PrinterHold,
         R"(  printer NAME hold [COUNT] [op=XX sub=XX]
                                keep the next COUNT SCSI requests (of that
                                CDB byte 0 and 1; COUNT 0: all) in the
                                printer, unanswered: the request stays
                                blocked there until release; until its
                                time-out (the SRB's TimeOutValue, 90 s from
                                the driver) has passed on the simulated
                                clock ("clock 90000", or the driver's own
                                waits), when the port driver ends it with
                                SRB status TIMEOUT; or until the printer is
                                unplugged (then it fails, off the bus).
                                Without op= the first write's identification
                                queries (C2 00, C2 20) are caught too: hold
                                op=C0 keeps print data only
)"},
        {"release", &Interpreter::PrinterRelease,
         R"(  printer NAME release          let every held request go on
)"},
    };
    return {kRows, sizeof kRows / sizeof kRows[0]};
}

// The help of `printer` is its behaviours'.
Rows<CommandRow> Interpreter::PrinterCommands()
{
    static const CommandRow kRows[] = {
        {"printer", &Interpreter::PrinterCommand, ""},
    };
    return {kRows, 1};
}

} // namespace prnsim::script
