// Two or three operations on the driver at once, in every interleaving with
// at most two preemptions (the explorer of the simulated kernel), each run
// checked by the verifier, the leak check, the scenario's own rules and,
// outside the sanitizer builds, the race checker on the extensions.
#include "driver_fixture.h"
#include "explore.h"
#include "kmsim.h"
#include "printer_session.h"
#include "prnsbp.h"
#include "sbp2sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <tuple>
#include <cstdio>
#include <string>
#include <vector>

namespace
{

using sbp2sim::Completion;
using session::Reply;

// One machine per run: booted, exercised, torn down and checked.
// The bound of the search: PRN_EXPLORE_BOUND, else 2.
int Bound()
{
    const char* text = getenv("PRN_EXPLORE_BOUND");
    return text != nullptr && *text != '\0' ? atoi(text) : 2;
}

// PCT for the three-thread scenarios: depth 3 (two priority changes per
// run), PRN_PCT_RUNS runs, else 1000 per unit of the bound.
const int kPctDepth = 3;
size_t PctRuns()
{
    const char* text = getenv("PRN_PCT_RUNS");
    return text != nullptr && *text != '\0' ? (size_t)atol(text) : 1000 * (size_t)Bound();
}

struct Machine : session::PrinterSession {
    PDEVICE_OBJECT fdo[2] = {nullptr, nullptr};
    PDEVICE_OBJECT pdo[2] = {nullptr, nullptr};
    Completion mode = Completion::kSync;

    // An open without a handle, as the scenarios whose known races were
    // found before handles existed play it: their requests and their close
    // go to the FDO they kept (session::SendSimple), with the same
    // schedule points as when the races were found.
    Reply BareOpen() { return session::SendSimple(fdo[0], IRP_MJ_CREATE); }

    // With start false the printer is only on the bus, not yet started.
    void Boot(Completion completion, bool filter, bool start = true, bool legacy = false)
    {
        mode = completion;
        kmsim::Reset();
        kmsim::SetLegacyPlatform(legacy);
        kmsim::LowerFilterOptions f;
        f.enabled = filter;
        kmsim::SetLowerFilter(f);
        if (!Load()) {
            kmsim::Report("the driver did not load");
            return;
        }
        Plug(mode);
        if (start && PlugUnits() != STATUS_SUCCESS)
            kmsim::Report("the printer did not start");
        for (int unit = 0; unit < 2; unit++) {
            fdo[unit] = Fdo(unit);
            pdo[unit] = Pdo(unit);
        }
    }
    void Expect(bool ok, const std::string& what)
    {
        if (!ok)
            kmsim::Report(what);
    }
    // Off the bus, unloaded, nothing left (the verifier's reports come to
    // the explorer on their own).
    void TearDown()
    {
        kmsim::ClearFailures();
        Shutdown();
        std::string left = kmsim::LeftBehind();
        for (size_t at = 0, end; at < left.size(); at = end + 1) {
            end = left.find('\n', at);
            std::string line = left.substr(at, end - at);
            if (line.rfind("violation: ", 0) != 0)
                kmsim::Report(line);
        }
    }
};

std::string StatusText(NTSTATUS s)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", (unsigned)s);
    return text;
}

// An SRB as a class driver above would send it (TEST UNIT READY).
NTSTATUS SendSrb(PDEVICE_OBJECT device)
{
    return spine::SendSrb(device, 0x00, 0x00);
}

PDEVICE_OBJECT ChildOf(PDEVICE_OBJECT pdo)
{
    std::vector<PDEVICE_OBJECT> children = kmsim::ChildrenOf(pdo);
    return children.empty() ? nullptr : children[0];
}

// A device object a sender keeps, referenced as an open handle keeps it:
// its memory stays while the sender may still send to it.
struct Kept {
    explicit Kept(PDEVICE_OBJECT d) : device(d)
    {
        if (device != nullptr)
            ObReferenceObject(device);
    }
    ~Kept() { Release(); }
    void Release()
    {
        if (device != nullptr)
            ObDereferenceObject(device);
        device = nullptr;
    }
    PDEVICE_OBJECT device;
};

// Operations at once on a started printer, threads a, b and c; `after`
// runs once they have ended, before the machine is torn down.
void Together(Machine& m, std::vector<std::function<void()>> operations,
              std::function<void()> after)
{
    const char* names[] = {"a", "b", "c"};
    for (size_t i = 0; i < operations.size(); i++)
        kmsim::Spawn(names[i], std::move(operations[i]));
    for (size_t i = 0; i < operations.size(); i++)
        kmsim::Join(names[i]);
    if (after)
        after();
    m.TearDown();
}

void Pair(Machine& m, std::function<void()> a, std::function<void()> b,
          std::function<void()> after = nullptr)
{
    Together(m, {std::move(a), std::move(b)}, std::move(after));
}

// A write against the cable being pulled: all its bytes or
// STATUS_DELETE_PENDING, never a hang; the handle closes afterwards and
// only then does the removal come.
void WriteAgainstSurpriseRemoval(Machine& m)
{
    m.Expect(m.BareOpen().status == STATUS_SUCCESS, "open failed");
    Reply w{};
    Pair(
        m, [&] { w = m.Write(std::vector<UCHAR>(100, 0x5A)); },
        [&] {
            kmsim::SurpriseRemoveOnly(m.pdo[0]);
            kmsim::SurpriseRemoveOnly(m.pdo[1]);
        },
        [&] {
            m.Expect((w.status == STATUS_SUCCESS && w.bytes == 100) ||
                         (w.status == STATUS_DELETE_PENDING && w.bytes == 0),
                     "write ended with " + StatusText(w.status) + ", " + std::to_string(w.bytes) +
                         " bytes");
            m.Expect(session::SendSimple(m.fdo[0], IRP_MJ_CLOSE).status == STATUS_SUCCESS,
                     "close failed");
            m.FinishRemoval();
        });
}

// The child's SRB goes through the parent's FDO: neither may be deleted
// under it, whether the parent is removed in order or pulled off the bus.
void ChildSrbAgainstParentRemoval(Machine& m)
{
    Kept child(ChildOf(m.pdo[0]));
    m.Expect(child.device != nullptr, "no child");
    Pair(
        m, [&] { SendSrb(child.device); }, [&] { kmsim::RemoveDevice(m.pdo[0]); },
        [&] { child.Release(); });
}

void ChildSrbAgainstUnplug(Machine& m)
{
    Kept child(ChildOf(m.pdo[0]));
    m.Expect(child.device != nullptr, "no child");
    sbp2sim::Printer* p = m.bus;
    Pair(
        m, [&] { SendSrb(child.device); }, [&] { m.Unplug(p); }, [&] { child.Release(); });
}

// An SRB from a driver above on the FDO, and a WMI request, against the
// printer pulled off the bus: the FDO is not deleted before they are down.
void FdoSrbAgainstUnplug(Machine& m)
{
    sbp2sim::Printer* p = m.bus;
    Kept fdo(m.fdo[0]);
    Pair(
        m, [&] { SendSrb(fdo.device); }, [&] { m.Unplug(p); }, [&] { fdo.Release(); });
}

void SystemControlAgainstUnplug(Machine& m)
{
    sbp2sim::Printer* p = m.bus;
    Kept fdo(m.fdo[1]);
    Pair(
        m, [&] { kmsim::SendIrpTo(fdo.device, IRP_MJ_SYSTEM_CONTROL, 0); }, [&] { m.Unplug(p); },
        [&] { fdo.Release(); });
}

// A control code the driver does not handle, from a driver above, passed
// down against the printer pulled off the bus.
void PassedDownControlAgainstUnplug(Machine& m)
{
    m.Expect(m.BareOpen().status == STATUS_SUCCESS, "open failed");
    sbp2sim::Printer* p = m.bus;
    Kept fdo(m.fdo[0]);
    Pair(
        m,
        [&] {
            kmsim::SendIrpTo(fdo.device, IRP_MJ_DEVICE_CONTROL, 0, [](PIO_STACK_LOCATION s) {
                s->Parameters.DeviceIoControl.IoControlCode =
                    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
            });
        },
        [&] { m.Unplug(p); }, [&] { fdo.Release(); });
}

// Our own status read goes to unit 1 (through its lower filter): unit 1's
// removal waits for it.
void StatusReadAgainstUnit1Removal(Machine& m)
{
    m.Expect(m.BareOpen().status == STATUS_SUCCESS, "open failed");
    Pair(
        m, [&] { m.Control(IOCTL_PRNSBP_READ_STATUS, {}, 64); },
        [&] { kmsim::RemoveDevice(m.pdo[1]); },
        [&] { session::SendSimple(m.fdo[0], IRP_MJ_CLOSE); });
}

// The last close against unit 1 going away: the port ends closed, and
// unit 0, opened on the bus, is closed on the bus.
void LastCloseAgainstUnit1Removal(Machine& m)
{
    m.Expect(m.BareOpen().status == STATUS_SUCCESS, "open failed");
    sbp2sim::Printer* p = m.bus;
    Pair(
        m, [&] { session::SendSimple(m.fdo[0], IRP_MJ_CLOSE); },
        [&] { kmsim::RemoveDevice(m.pdo[1]); },
        [&] {
            sbp2sim::Counters& c = sbp2sim::CountersOf(p);
            m.Expect(c.creates[0] == c.closes[0], "unit 0 created " + std::to_string(c.creates[0]) +
                                                      " times, closed " +
                                                      std::to_string(c.closes[0]));
            m.Expect(session::Ext(m.fdo[0])->OpenCount == 0,
                     "OpenCount " + std::to_string(session::Ext(m.fdo[0])->OpenCount) +
                         " after the last close");
        });
}

// The child's ID queries read the parent's identification and bus type,
// which the parent's surprise removal frees: each answer is the 1394 one
// or none.
void ChildIdsAgainstSurpriseRemoval(Machine& m)
{
    PDEVICE_OBJECT child = ChildOf(m.pdo[0]);
    m.Expect(child != nullptr, "no child");
    kmsim::DeviceIds ids;
    Pair(
        m, [&] { ids = kmsim::QueryDeviceIds(child); },
        [&] { kmsim::SurpriseRemoveOnly(m.pdo[0]); },
        [&] {
            m.Expect(ids.deviceIdStatus != STATUS_SUCCESS ||
                         ids.deviceId.rfind("LPTENUM\\", 0) == 0,
                     "the child's device ID is " + ids.deviceId);
            m.Expect(ids.instanceIdStatus != STATUS_SUCCESS ||
                         ids.instanceId.rfind("QXZR1394_", 0) == 0,
                     "the child's instance ID is " + ids.instanceId);
            m.FinishRemoval();
        });
}

// Two handles: a write on one while the other is closed; two opens; an
// open against a close. The count of open handles ends right, and the
// units are opened and closed on the bus once each.
void ExpectHandles(Machine& m, ULONG open)
{
    ULONG count = session::Ext(m.fdo[0])->OpenCount;
    m.Expect(count == open,
             "OpenCount " + std::to_string(count) + ", " + std::to_string(open) + " handles open");
}

void ExpectUnitsClosedOnTheBus(Machine& m, sbp2sim::Printer* p)
{
    sbp2sim::Counters& c = sbp2sim::CountersOf(p);
    for (int unit = 0; unit < 2; unit++)
        m.Expect(c.creates[unit] == c.closes[unit],
                 "unit " + std::to_string(unit) + " created " + std::to_string(c.creates[unit]) +
                     " times, closed " + std::to_string(c.closes[unit]));
}

void WriteAgainstCloseOfAnotherHandle(Machine& m)
{
    m.Expect(m.Open().status == STATUS_SUCCESS, "open failed");
    m.Expect(m.Open().status == STATUS_SUCCESS, "second open failed");
    Reply w{};
    sbp2sim::Printer* p = m.bus;
    Pair(
        m, [&] { w = m.Write(std::vector<UCHAR>(100, 0x5A)); }, [&] { m.Close(); },
        [&] {
            m.Expect(w.status == STATUS_SUCCESS && w.bytes == 100,
                     "write ended with " + StatusText(w.status));
            ExpectHandles(m, 1);
            m.Close();
            ExpectUnitsClosedOnTheBus(m, p);
        });
}

void TwoOpens(Machine& m)
{
    Reply a{}, b{};
    sbp2sim::Printer* p = m.bus;
    Pair(
        m, [&] { a = m.Open(); }, [&] { b = m.Open(); },
        [&] {
            m.Expect(a.status == STATUS_SUCCESS && b.status == STATUS_SUCCESS,
                     "opens ended with " + StatusText(a.status) + " and " + StatusText(b.status));
            ExpectHandles(m, 2);
            m.Close();
            m.Close();
            ExpectUnitsClosedOnTheBus(m, p);
        });
}

void OpenAgainstClose(Machine& m)
{
    m.Expect(m.Open().status == STATUS_SUCCESS, "open failed");
    Reply a{};
    sbp2sim::Printer* p = m.bus;
    Pair(
        m, [&] { a = m.Open(); }, [&] { m.Close(); },
        [&] {
            m.Expect(a.status == STATUS_SUCCESS, "open ended with " + StatusText(a.status));
            ExpectHandles(m, 1);
            m.Close();
            ExpectUnitsClosedOnTheBus(m, p);
        });
}

// A read and a status request against a stop and start of unit 0
// (rebalance), and against the cable pulled.
void ReadAgainstRebalance(Machine& m)
{
    m.Expect(m.Open().status == STATUS_SUCCESS, "open failed");
    Pair(
        m, [&] { m.Read(16); }, [&] { kmsim::Rebalance(m.pdo[0]); },
        [&] { m.Expect(m.Close().status == STATUS_SUCCESS, "close failed"); });
}

void DeviceControlAgainstSurpriseRemoval(Machine& m)
{
    m.Expect(m.BareOpen().status == STATUS_SUCCESS, "open failed");
    Pair(
        m, [&] { m.Control(IOCTL_PRNSBP_READ_STATUS, {}, 64); },
        [&] {
            kmsim::SurpriseRemoveOnly(m.pdo[0]);
            kmsim::SurpriseRemoveOnly(m.pdo[1]);
        },
        [&] {
            session::SendSimple(m.fdo[0], IRP_MJ_CLOSE);
            m.FinishRemoval();
        });
}

// The bus reports the printer's unit 0 anew (a bus reset) while the old
// unit 0 has its first start: the new unit's AddDevice replaces the
// printer's node in the unit table under the start's numbering, which must
// not number the port for whatever the freed node held. The first unit
// gets port 1 or none; no other port is numbered.
void SameUnitReportedAgainAgainstFirstStart(Machine& m)
{
    sbp2sim::Printer* first = m.bus;
    sbp2sim::PrinterConfig config = sbp2sim::ConfigOf(first);
    config.model = std::make_shared<sbp2sim::SimPrinter>();
    config.unitPresent[1] = false;
    PDEVICE_OBJECT fdo = nullptr;
    Pair(
        m,
        [&] {
            kmsim::PlugIn(m.driver, sbp2sim::UnitPdo(first, 0));
            fdo = session::FdoOf(first, 0);
        },
        [&] { kmsim::AddFunctionDriver(m.driver, sbp2sim::UnitPdo(m.Plug(config), 0)); },
        [&] {
            ULONG port = fdo != nullptr ? session::Ext(fdo)->PortNumber : 0;
            m.Expect(port <= 1, "the first unit has port " + std::to_string(port));
            std::u16string stored;
            if (kmsim::RegGetString(session::kService + "\\PortNumber\\Port1", "Guid", &stored))
                m.Expect(stored.compare(0, config.key.size(), kmsim::U16(config.key)) == 0,
                         "port 1 was numbered for the key " + kmsim::Narrow(stored));
        });
}

// Two printers' first starts at once: each gets a port number of its own.
void TwoPrintersFirstStart(Machine& m)
{
    sbp2sim::Printer* first = m.bus;
    sbp2sim::PrinterConfig config;
    config.key = "00A0B8C9D0E1F204";
    sbp2sim::SetCompletion(config, m.mode);
    sbp2sim::Printer* second = m.Plug(config);
    Pair(
        m, [&] { kmsim::PlugIn(m.driver, sbp2sim::UnitPdo(first, 0)); },
        [&] { kmsim::PlugIn(m.driver, sbp2sim::UnitPdo(second, 0)); },
        [&] {
            PDEVICE_OBJECT a = session::FdoOf(first, 0), b = session::FdoOf(second, 0);
            m.Expect(a != nullptr && b != nullptr, "a printer did not start");
            if (a != nullptr && b != nullptr)
                m.Expect(session::Ext(a)->PortNumber != session::Ext(b)->PortNumber,
                         "both printers got port " + std::to_string(session::Ext(a)->PortNumber));
        });
}

// A write against unit 1 stopped and started again (rebalance): all its
// bytes, or refused whole; never a request to the stopped unit.
void WriteAgainstUnit1Rebalance(Machine& m)
{
    m.Expect(m.Open().status == STATUS_SUCCESS, "open failed");
    Reply w{};
    Pair(
        m, [&] { w = m.Write(std::vector<UCHAR>(100, 0x5A)); }, [&] { kmsim::Rebalance(m.pdo[1]); },
        [&] {
            m.Expect(w.bytes == 0 || w.bytes == 100,
                     "write took " + std::to_string(w.bytes) + " of 100 bytes");
            m.Close();
        });
}

// Three operations at once: the handles' count and the requests' answers
// against the cable pulled or a rebalance. Too many schedules for the
// bounded search; explored with PCT.
void SurpriseRemoval(Machine& m)
{
    kmsim::SurpriseRemoveOnly(m.pdo[0]);
    kmsim::SurpriseRemoveOnly(m.pdo[1]);
}

// Handles: a write on the first while the second is closed.
void WriteCloseAndSurpriseRemoval(Machine& m)
{
    m.Expect(m.Open().status == STATUS_SUCCESS, "open failed");
    PFILE_OBJECT first = m.Handle(0);
    m.Expect(m.Open().status == STATUS_SUCCESS, "second open failed");
    std::vector<UCHAR> data(100, 0x5A);
    Reply w{}, c{};
    Together(m,
             {[&] { w = session::SendTransferOn(first, IRP_MJ_WRITE, data.data(), 100); },
              [&] { c = m.Close(); }, [&] { SurpriseRemoval(m); }},
             [&] {
                 m.Expect((w.status == STATUS_SUCCESS && w.bytes == 100) ||
                              (w.status == STATUS_DELETE_PENDING && w.bytes == 0),
                          "write ended with " + StatusText(w.status) + ", " +
                              std::to_string(w.bytes) + " bytes");
                 m.Expect(c.status == STATUS_SUCCESS, "close ended with " + StatusText(c.status));
                 m.Expect(m.Close().status == STATUS_SUCCESS, "last close failed");
                 ExpectHandles(m, 0);
                 m.FinishRemoval();
             });
}

void TwoOpensAndSurpriseRemoval(Machine& m)
{
    Reply a{}, b{};
    Together(m, {[&] { a = m.Open(); }, [&] { b = m.Open(); }, [&] { SurpriseRemoval(m); }}, [&] {
        for (const Reply& r : {a, b})
            m.Expect(r.status == STATUS_SUCCESS || r.status == STATUS_DELETE_PENDING ||
                         r.status == STATUS_NO_SUCH_DEVICE,
                     "open ended with " + StatusText(r.status));
        ExpectHandles(m, (ULONG)m.HandleCount(0));
        m.CloseAllHandles();
        ExpectHandles(m, 0);
        m.FinishRemoval();
    });
}

void WriteReadAndRebalance(Machine& m)
{
    m.Expect(m.Open().status == STATUS_SUCCESS, "open failed");
    Reply w{};
    Together(m,
             {[&] { w = m.Write(std::vector<UCHAR>(100, 0x5A)); }, [&] { m.Read(16); },
              [&] { kmsim::Rebalance(m.pdo[0]); }},
             [&] {
                 m.Expect(w.bytes == 0 || w.bytes == 100,
                          "write took " + std::to_string(w.bytes) + " of 100 bytes");
                 m.Expect(m.Close().status == STATUS_SUCCESS, "close failed");
             });
}

// An orderly removal against an open: Windows removes no device with a
// handle open. Either the open is first and the removal is vetoed (the
// port goes on working), or the removal is first and the open is refused;
// never both, never neither.
void RemovalAgainstOpen(Machine& m)
{
    Reply a{};
    NTSTATUS removal = STATUS_SUCCESS;
    Pair(
        m, [&] { a = m.Open(); }, [&] { removal = kmsim::RemoveDevice(m.pdo[0]); },
        [&] {
            bool opened = a.status == STATUS_SUCCESS, removed = NT_SUCCESS(removal);
            m.Expect(opened != removed, "open ended with " + StatusText(a.status) +
                                            ", removal with " + StatusText(removal));
            if (opened) {
                m.Expect(m.Write(std::vector<UCHAR>(10, 0x5A)).status == STATUS_SUCCESS,
                         "write after the vetoed removal failed");
                m.Close();
            }
        });
}

// The cable pulled with the handle open on Windows 98 and Me: no surprise
// removal, the removal at once against a write, and the retry and the close
// then on the removed device. The write reports the bytes taken (all, or
// a short count when its data could not be sent) or fails with none; the
// retry fails; nothing is left.
void WriteAgainstLegacyRemoval(Machine& m)
{
    m.Expect(m.Open().status == STATUS_SUCCESS, "open failed");
    sbp2sim::Printer* p = m.bus;
    Reply w{};
    Pair(
        m, [&] { w = m.Write(std::vector<UCHAR>(100, 0x5A)); }, [&] { m.Unplug(p); },
        [&] {
            m.Expect((w.status == STATUS_SUCCESS && w.bytes <= 100) ||
                         (!NT_SUCCESS(w.status) && w.bytes == 0),
                     "write ended with " + StatusText(w.status) + ", " + std::to_string(w.bytes) +
                         " bytes");
            Reply retry = m.Write(std::vector<UCHAR>(100, 0x5A));
            m.Expect(!NT_SUCCESS(retry.status), "a write after the removal succeeded");
            m.Close();
        });
}

// The printer pulled with the spooler's handle open and plugged in again
// while the old units still drain: the returning units' AddDevice and
// start run beside the old handle's last request and its close, which lets
// the old unit 0's removal go. The returning printer starts on its own
// devices with the port number it had, its child is the old child's devnode
// again (the PnP manager lets it take the path of a surprise-removed one),
// and nothing of the old is left.
void ReturningPrinterAgainstTheOldClose(Machine& m)
{
    m.Expect(m.Open().status == STATUS_SUCCESS, "open failed");
    sbp2sim::Printer* old = m.bus;
    kmsim::DeviceIds oldChild = kmsim::IdsOf(session::Ext(m.fdo[0])->ChildPdo);
    sbp2sim::PrinterConfig config = sbp2sim::ConfigOf(old);
    config.model = std::make_shared<sbp2sim::SimPrinter>();
    ULONG port = session::Ext(m.fdo[0])->PortNumber;
    m.Unplug(old);
    sbp2sim::Printer* back = nullptr;
    Pair(
        m,
        [&] {
            m.Write(std::vector<UCHAR>(100, 0x5A));
            m.Close();
        },
        [&] {
            back = m.Plug(config);
            m.PlugUnits();
        },
        [&] {
            PDEVICE_OBJECT fdo = back != nullptr ? session::FdoOf(back, 0) : nullptr;
            m.Expect(fdo != nullptr && kmsim::IsStarted(sbp2sim::UnitPdo(back, 0)),
                     "the returning printer did not start");
            if (fdo == nullptr)
                return;
            m.Expect(session::Ext(fdo)->PortNumber == port,
                     "the returning printer got port " +
                         std::to_string(session::Ext(fdo)->PortNumber) + ", not " +
                         std::to_string(port));
            PDEVICE_OBJECT child = session::Ext(fdo)->ChildPdo;
            kmsim::DeviceIds ids = child != nullptr ? kmsim::IdsOf(child) : kmsim::DeviceIds{};
            m.Expect(ids.uniqueId && ids.deviceId == oldChild.deviceId &&
                         ids.instanceId == oldChild.instanceId,
                     "the returning child is " + ids.deviceId + "\\" + ids.instanceId +
                         ", the old one was " + oldChild.deviceId + "\\" + oldChild.instanceId);
        });
}

struct Scenario {
    const char* name;
    void (*run)(Machine& m);
    bool filter;         // a lower filter below every FDO
    bool start = true;   // the printer started before the operations
    bool pct = false;    // three threads: PCT instead of the bounded search
    bool legacy = false; // Windows 98 and Me
};

const Scenario kScenarios[] = {
    {"WriteAgainstSurpriseRemoval", WriteAgainstSurpriseRemoval, false},
    {"ChildSrbAgainstParentRemoval", ChildSrbAgainstParentRemoval, false},
    {"ChildSrbAgainstUnplug", ChildSrbAgainstUnplug, false},
    {"FdoSrbAgainstUnplug", FdoSrbAgainstUnplug, true},
    {"SystemControlAgainstUnplug", SystemControlAgainstUnplug, true},
    {"PassedDownControlAgainstUnplug", PassedDownControlAgainstUnplug, true},
    {"StatusReadAgainstUnit1Removal", StatusReadAgainstUnit1Removal, true},
    {"LastCloseAgainstUnit1Removal", LastCloseAgainstUnit1Removal, false},
    {"ChildIdsAgainstSurpriseRemoval", ChildIdsAgainstSurpriseRemoval, false},
    {"WriteAgainstCloseOfAnotherHandle", WriteAgainstCloseOfAnotherHandle, false},
    {"TwoOpens", TwoOpens, false},
    {"RemovalAgainstOpen", RemovalAgainstOpen, false},
    {"WriteAgainstLegacyRemoval", WriteAgainstLegacyRemoval, false, true, false, true},
    {"OpenAgainstClose", OpenAgainstClose, false},
    {"ReadAgainstRebalance", ReadAgainstRebalance, true},
    {"DeviceControlAgainstSurpriseRemoval", DeviceControlAgainstSurpriseRemoval, false},
    {"TwoPrintersFirstStart", TwoPrintersFirstStart, false, false},
    {"SameUnitReportedAgainAgainstFirstStart", SameUnitReportedAgainAgainstFirstStart, false,
     false},
    {"ReturningPrinterAgainstTheOldClose", ReturningPrinterAgainstTheOldClose, false},
    {"WriteAgainstUnit1Rebalance", WriteAgainstUnit1Rebalance, true},
    {"WriteCloseAndSurpriseRemoval", WriteCloseAndSurpriseRemoval, false, true, true},
    {"TwoOpensAndSurpriseRemoval", TwoOpensAndSurpriseRemoval, false, true, true},
    {"WriteReadAndRebalance", WriteReadAndRebalance, true, true, true},
};

using Param = std::tuple<Scenario, Completion>;

// Races the checker was told to leave (DeclareDeliberateRaces), so far.
size_t RacesSuppressed()
{
    size_t n = 0;
    for (const auto& field : kmsim::SuppressedRaces())
        n += field.second;
    return n;
}

class Interleavings : public ::testing::TestWithParam<Param>
{
};

// Explores one scenario in one port mode and prints what it took.
void ExploreScenario(const Scenario& scenario, Completion mode,
                     const std::function<void(Machine&)>& run)
{
    kmsim::ExploreOptions options;
    options.bound = Bound();
    if (scenario.pct) {
        // Fixed, so that every run explores the same schedules.
        options.pct = true;
        options.depth = kPctDepth;
        options.runs = PctRuns();
        options.seed = 1;
    }
    auto start = std::chrono::steady_clock::now();
    size_t suppressed = RacesSuppressed();
    kmsim::ExploreResult r = kmsim::Explore(options, [&] {
        Machine m;
        m.Boot(mode, scenario.filter, scenario.start, scenario.legacy);
        run(m);
    });
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("%s/%s: %zu schedules%s in %.1f s (longest run %lu points, %zu decisions, %zu "
           "deliberate races)\n",
           scenario.name, sbp2sim::CompletionName(mode), r.schedules,
           r.complete ? "" : " (stopped early)", seconds, r.longestRun, r.decisions,
           RacesSuppressed() - suppressed);
    EXPECT_TRUE(r.failures.empty()) << kmsim::Describe(r);
    kmsim::Reset();
}

TEST_P(Interleavings, NoScheduleFails)
{
    const Scenario& scenario = std::get<0>(GetParam());
    ExploreScenario(scenario, std::get<1>(GetParam()), scenario.run);
}

// Each request of the port against each PnP event the printer's units
// meet, on unit 0 and on unit 1, through a handle as a program has it.
enum class Request { kWrite, kRead, kStatusRead };
enum class PnpEvent { kRebalance, kSurpriseRemoval, kRemoval };

struct Crossing {
    Request request;
    PnpEvent event;
    int unit;
};

const Request kRequests[] = {Request::kWrite, Request::kRead, Request::kStatusRead};
const PnpEvent kEvents[] = {PnpEvent::kRebalance, PnpEvent::kSurpriseRemoval, PnpEvent::kRemoval};

std::string CrossingName(const Crossing& c)
{
    const char* request[] = {"Write", "Read", "StatusRead"};
    const char* event[] = {"Rebalance", "SurpriseRemoval", "Removal"};
    return std::string(request[(int)c.request]) + "Against" + event[(int)c.event] + "OfUnit" +
           std::to_string(c.unit);
}

Reply SendRequest(Machine& m, Request request)
{
    switch (request) {
    case Request::kWrite:
        return m.Write(std::vector<UCHAR>(100, 0x5A));
    case Request::kRead:
        return m.Read(16);
    default:
        return m.Control(IOCTL_PRNSBP_READ_STATUS, {}, 64);
    }
}

void RunPnpEvent(Machine& m, PnpEvent event, int unit)
{
    switch (event) {
    case PnpEvent::kRebalance:
        kmsim::Rebalance(m.pdo[unit]);
        break;
    case PnpEvent::kSurpriseRemoval:
        kmsim::SurpriseRemove(m.pdo[unit]);
        break;
    default:
        // With the port open on unit 0 the PnP manager vetoes its removal
        // after the query; unit 1 has no handle and goes.
        kmsim::RemoveDevice(m.pdo[unit]);
        break;
    }
}

// The request ends with what it did (a failure moves no bytes), never a
// hang; where the printer stays (a rebalance, the vetoed removal) the port
// prints again afterwards; the close lets whatever removal waits for it go.
void RequestAgainstPnp(Machine& m, const Crossing& c)
{
    m.Expect(m.Open().status == STATUS_SUCCESS, "open failed");
    Reply r{};
    Pair(
        m, [&] { r = SendRequest(m, c.request); }, [&] { RunPnpEvent(m, c.event, c.unit); },
        [&] {
            m.Expect(NT_SUCCESS(r.status) ? r.bytes <= 100 : r.bytes == 0,
                     "the request ended with " + StatusText(r.status) + ", " +
                         std::to_string(r.bytes) + " bytes");
            bool stays =
                c.event == PnpEvent::kRebalance || (c.event == PnpEvent::kRemoval && c.unit == 0);
            if (stays) {
                Reply again = m.Write(std::vector<UCHAR>(10, 0x5A));
                m.Expect(again.status == STATUS_SUCCESS && again.bytes == 10,
                         "the write after it ended with " + StatusText(again.status) + ", " +
                             std::to_string(again.bytes) + " bytes");
            }
            m.Close();
        });
}

std::vector<Crossing> Crossings()
{
    std::vector<Crossing> all;
    for (Request request : kRequests)
        for (PnpEvent event : kEvents)
            for (int unit = 0; unit < 2; unit++)
                all.push_back({request, event, unit});
    return all;
}

using CrossingParam = std::tuple<Crossing, Completion>;
class RequestsAgainstPnp : public ::testing::TestWithParam<CrossingParam>
{
};

TEST_P(RequestsAgainstPnp, NoScheduleFails)
{
    Crossing c = std::get<0>(GetParam());
    std::string name = CrossingName(c);
    // The asynchronous port below a lower filter, which a removal deletes.
    Completion mode = std::get<1>(GetParam());
    Scenario scenario{name.c_str(), nullptr, mode == Completion::kAsync};
    ExploreScenario(scenario, mode, [c](Machine& m) { RequestAgainstPnp(m, c); });
}

INSTANTIATE_TEST_SUITE_P(Matrix, RequestsAgainstPnp,
                         ::testing::Combine(::testing::ValuesIn(Crossings()),
                                            ::testing::Values(Completion::kSync, Completion::kAsync,
                                                              Completion::kMixed)),
                         [](const ::testing::TestParamInfo<CrossingParam>& info) {
                             return CrossingName(std::get<0>(info.param)) + "_" +
                                    sbp2sim::CompletionName(std::get<1>(info.param));
                         });

// Schedules that failed before the driver's fixes, replayed as they were
// found: each hit the race it is named for.
TEST(KnownRaces, ReplayWithoutReports)
{
    struct Known {
        const char* scenario;
        Completion mode;
        const char* schedule;
    } known[] = {
        // the child's SRB sent after its count was released: the parent's
        // removal ran in between (a crash on the deleted FDO)
        {"ChildSrbAgainstParentRemoval", Completion::kSync, "a@5>b"},
        {"ChildSrbAgainstUnplug", Completion::kSync, "a@7>b"},
        // an SRB from above and WMI passed down after the count was released
        {"FdoSrbAgainstUnplug", Completion::kSync, "a@5>b"},
        {"SystemControlAgainstUnplug", Completion::kSync, "a@5>b"},
        // a control code passed down after the count was released: the
        // removal deleted the filter below under the call
        {"PassedDownControlAgainstUnplug", Completion::kSync, "a@11>b"},
        // WMI sent on after the removal, to the freed PDO below
        {"SystemControlAgainstUnplug", Completion::kSync, "a@2>b"},
        // our status read inside unit 1's stack while its removal went on
        {"StatusReadAgainstUnit1Removal", Completion::kSync, "a@24>b"},
        // the last close dropped when unit 1 went first: unit 0 never closed
        {"LastCloseAgainstUnit1Removal", Completion::kSync, "a@16>b"},
        // two printers' first starts read "MaxPortNumber" before either
        // wrote it: both got port 1
        {"TwoPrintersFirstStart", Completion::kSync, "a@37>b"},
        // the printer key handed out as a pointer into its node: the new
        // unit's AddDevice freed the node and port 1 was numbered for the
        // freed bytes
        {"SameUnitReportedAgainAgainstFirstStart", Completion::kSync, "a@44>b"},
        // the child's ID queries read the parent's adapter descriptor while
        // its surprise removal freed it: a race, and the child answered as
        // a SCSI one ("SCSI001")
        {"ChildIdsAgainstSurpriseRemoval", Completion::kSync, "a@38>b"},
        {"ChildIdsAgainstSurpriseRemoval", Completion::kSync, "a@15>b"},
    };
    for (const Known& k : known) {
        const Scenario* scenario = nullptr;
        for (const Scenario& s : kScenarios)
            if (std::string(s.name) == k.scenario)
                scenario = &s;
        ASSERT_NE(scenario, nullptr) << k.scenario;
        kmsim::ExploreResult r = kmsim::Replay(k.schedule, [&] {
            Machine m;
            m.Boot(k.mode, scenario->filter, scenario->start, scenario->legacy);
            scenario->run(m);
        });
        // A step the fixed driver no longer reaches is no failure.
        for (kmsim::ExploreFailure& f : r.failures)
            f.reports.erase(std::remove_if(f.reports.begin(), f.reports.end(),
                                           [](const std::string& line) {
                                               return line.find("never reached") !=
                                                      std::string::npos;
                                           }),
                            f.reports.end());
        for (const kmsim::ExploreFailure& f : r.failures)
            EXPECT_TRUE(f.reports.empty()) << k.scenario << ": " << kmsim::Describe(r);
    }
    kmsim::Reset();
}

INSTANTIATE_TEST_SUITE_P(Catalogue, Interleavings,
                         ::testing::Combine(::testing::ValuesIn(kScenarios),
                                            ::testing::Values(Completion::kSync, Completion::kAsync,
                                                              Completion::kMixed)),
                         [](const ::testing::TestParamInfo<Param>& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    sbp2sim::CompletionName(std::get<1>(info.param));
                         });

} // namespace
