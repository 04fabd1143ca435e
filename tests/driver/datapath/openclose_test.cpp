// Opening and closing the port: the units' creates and closes, their order
// and spacing on the bus, and the flush of the last close.
#include "datapath_fixture.h"

namespace datapath
{
namespace
{

using sbp2sim::BusEvent;

class OpenCloseTest : public DataPathTest
{
  protected:
    // Creates and closes only, as "C0" "C1" "X1" "X0".
    std::vector<std::string> UnitTraffic()
    {
        std::vector<std::string> out;
        for (const BusEvent& e : printer->Trace())
            if (e.kind != BusEvent::kSrb)
                out.push_back((e.kind == BusEvent::kCreate ? "C" : "X") + std::to_string(e.unit));
        return out;
    }
    // The port is closed: the next open is a first open, reaching both
    // units, and its port carries data.
    void ExpectClosedPortOpensAfresh()
    {
        EXPECT_EQ(Ext()->OpenCount, 0u);
        printer->ClearTrace();
        EXPECT_EQ(Open(), STATUS_SUCCESS);
        EXPECT_EQ(UnitTraffic(), std::vector<std::string>({"C0", "C1"}));
        EXPECT_EQ(Write(100).bytes, 100u);
        EXPECT_EQ(Close(), STATUS_SUCCESS);
    }
    std::vector<BusEvent> UnitEvents()
    {
        std::vector<BusEvent> out;
        for (const BusEvent& e : printer->Trace())
            if (e.kind != BusEvent::kSrb)
                out.push_back(e);
        return out;
    }
};
DATAPATH_SUITE(OpenCloseTest);

TEST_P(OpenCloseTest, UnitsOpenInOrderAndCloseInReverseMoreThanAMillisecondApart)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    LONGLONG opened = Ext()->LastOpenTime.QuadPart;
    ASSERT_EQ(Close(), STATUS_SUCCESS); // at once: the close must wait
    ASSERT_EQ(Open(), STATUS_SUCCESS);  // at once again

    EXPECT_EQ(UnitTraffic(), std::vector<std::string>({"C0", "C1", "X1", "X0", "C0", "C1"}));
    std::vector<BusEvent> e = UnitEvents();
    EXPECT_GT(e[1].time - e[0].time, kMs); // unit 1 after unit 0's create ended
    EXPECT_GT(e[2].time - opened, kMs);    // close after the open sequence ended
    EXPECT_GT(e[3].time - e[2].time, kMs);
    EXPECT_GT(e[4].time - e[3].time, kMs); // the next open after the close ended
    EXPECT_GT(e[5].time - e[4].time, kMs);
    // Paced by the simulated clock: no step waits much longer than needed.
    EXPECT_LE(e[5].time - e[0].time, 5 * 3 * kMs);
}

// The time set back (by a user, by a time server) does not stretch the
// spacing of the unit steps, nor the window a refusing printer gets: both
// are measured on a clock that only goes forward.
TEST_P(OpenCloseTest, TimeSetBackHoldsUpNeitherTheNextOpenNorTheRefusalWindow)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    ASSERT_EQ(Close(), STATUS_SUCCESS);
    kmsim::SetSystemTimeBack(60 * kSecond);
    LONGLONG before = kmsim::Now();
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    EXPECT_LE(kmsim::Now() - before, 5 * kMs);

    Write(10);
    printer->RefuseData();
    EXPECT_EQ(Write(100).status, STATUS_SUCCESS); // the window begins
    kmsim::SetSystemTimeBack(60 * kSecond);
    kmsim::AdvanceClock(61 * kSecond);
    EXPECT_EQ(Write(100).status, STATUS_DEVICE_OFF_LINE);
    printer->ClearFaults();
}

TEST_P(OpenCloseTest, OnlyTheFirstOpenAndTheLastCloseReachTheUnits)
{
    ASSERT_EQ(Open(0), STATUS_SUCCESS);
    ASSERT_EQ(Open(1), STATUS_SUCCESS); // unit 1's device: the same port
    EXPECT_EQ(Ext()->OpenCount, 2u);
    Write(10);
    Write(4096); // stays buffered
    ASSERT_EQ(Close(1), STATUS_SUCCESS);
    EXPECT_EQ(UnitTraffic(), std::vector<std::string>({"C0", "C1"}));
    EXPECT_EQ(Ext()->PrintFill, 4096u);
    ASSERT_EQ(Close(0), STATUS_SUCCESS);
    EXPECT_EQ(UnitTraffic(), std::vector<std::string>({"C0", "C1", "X1", "X0"}));
    EXPECT_EQ(printer->PrintData(), written);
    EXPECT_EQ(Ext()->OpenCount, 0u);
    EXPECT_EQ(Ext()->Unit0Open | Ext()->Unit1Open, 0u);
    EXPECT_EQ(Ext()->ActivityFlags & (ACTIVITY_OPENED | ACTIVITY_CLOSED),
              ACTIVITY_OPENED | ACTIVITY_CLOSED);
    // The engine's buffers live only as long as the connection.
    EXPECT_EQ(kmsim::PoolOutstanding(TAG_DATA_BUFFER), 0u);
    EXPECT_EQ(kmsim::PoolOutstanding(TAG_SENSE_BUFFER), 0u);
    EXPECT_EQ(Ext()->IoCount, 1);
}

TEST_P(OpenCloseTest, LegacyPlatformRefusesASecondOpen)
{
    Options o;
    o.legacy = true;
    Restart(o);
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    EXPECT_EQ(Open(1), STATUS_DEVICE_BUSY);
    EXPECT_EQ(Ext()->OpenCount, 1u);
    EXPECT_EQ(Write(100).bytes, 100u);
    ASSERT_EQ(Close(), STATUS_SUCCESS);
    EXPECT_EQ(UnitTraffic(), std::vector<std::string>({"C0", "C1", "X1", "X0"}));
}

TEST_P(OpenCloseTest, UnitZeroRefusingTheCreateKeepsThePortClosed)
{
    printer->SetCreateResult(0, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Open(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(UnitTraffic(), std::vector<std::string>({"C0"}));
    EXPECT_EQ(Ext()->OpenCount, 0u);
    Result r = Write(100);
    EXPECT_EQ(r.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(Ext()->WriteCount, 1u); // counted, though refused

    printer->SetCreateResult(0, STATUS_SUCCESS);
    EXPECT_EQ(Open(), STATUS_SUCCESS);
}

TEST_P(OpenCloseTest, UnitOneRefusingTheCreateIsIgnored)
{
    printer->SetCreateResult(1, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Open(), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->Unit1Open, 1u);
    EXPECT_EQ(Write(100).bytes, 100u);
}

TEST_P(OpenCloseTest, LastCloseSendsWhatIsBufferedInOneCommandFirst)
{
    Options o;
    o.mdlSize = 60536; // a 65536-byte write leaves 5000 bytes behind
    Restart(o);
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    Write(10);
    Write(65536);
    EXPECT_EQ(Ext()->PrintFill, 5000u);
    printer->ClearTrace();
    ASSERT_EQ(Close(), STATUS_SUCCESS);
    std::vector<BusEvent> trace = printer->Trace();
    ASSERT_EQ(trace.size(), 3u);
    EXPECT_EQ(trace[0].kind, BusEvent::kSrb);
    EXPECT_EQ(trace[0].op(), 0xC0);
    EXPECT_EQ(trace[0].sub(), 0x00);
    EXPECT_EQ(trace[0].cdbLengthField(), 5000u);
    EXPECT_EQ(trace[0].cdb[5], 2); // the third vendor write of the connection
    EXPECT_EQ(trace[1].kind, BusEvent::kClose);
    EXPECT_EQ(trace[1].unit, 1);
    EXPECT_EQ(trace[2].unit, 0);
}

TEST_P(OpenCloseTest, LastCloseAfterARefusedFlushDropsTheData)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    Write(10);
    Write(4096);
    printer->RefuseData(1);
    Write(100);
    ASSERT_EQ(Ext()->FlushFailed, 1u);
    printer->ClearTrace();
    ASSERT_EQ(Close(), STATUS_SUCCESS);
    EXPECT_EQ(UnitTraffic(), std::vector<std::string>({"X1", "X0"}));
    EXPECT_TRUE(printer->Srbs().empty());
    EXPECT_EQ(kmsim::PoolOutstanding(TAG_DATA_BUFFER), 0u);
}

TEST_P(OpenCloseTest, LastCloseRetriesABusyPrinterForAtMostTheRefusalWindow)
{
    struct Case {
        const char* name;
        int refusals; // 0: for ever
        bool delivered;
    };
    const Case cases[] = {{"printer busy for a moment", 3, true},
                          {"printer never takes the data", 0, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart(Options());
        ASSERT_EQ(Open(), STATUS_SUCCESS);
        Write(10);
        Write(4096);
        printer->RefuseData(c.refusals);
        LONGLONG start = kmsim::Now();
        ASSERT_EQ(Close(), STATUS_SUCCESS);
        LONGLONG spent = kmsim::Now() - start;
        EXPECT_EQ(UnitTraffic(), std::vector<std::string>({"C0", "C1", "X1", "X0"}));
        EXPECT_EQ(printer->PrintData().size(), c.delivered ? 4106u : 10u);
        if (c.delivered)
            EXPECT_LT(spent, kSecond);
        else
            EXPECT_GE(spent, 60 * kSecond);
        EXPECT_LT(spent, 62 * kSecond);
    }
}

TEST_P(OpenCloseTest, TransportFailureAtTheLastCloseSendsNoUnitClose)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    Write(10);
    Write(4096);
    printer->FailWith(SRB_STATUS_SELECTION_TIMEOUT, 1, 0xC0);
    LONGLONG lastClose = Ext()->LastCloseTime.QuadPart;
    EXPECT_EQ(Close(), STATUS_DELETE_PENDING);
    EXPECT_EQ(UnitTraffic(), std::vector<std::string>({"C0", "C1"}));
    EXPECT_EQ(Ext()->Unit0Open | Ext()->Unit1Open, 0u);
    EXPECT_EQ(Ext()->LastCloseTime.QuadPart, lastClose);
    // The next open is a first open again and works.
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    EXPECT_EQ(Write(100).bytes, 100u);
}

TEST_P(OpenCloseTest, HandlesFromBeforeARestartedConnectionCloseHarmlessly)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS); // handle A
    ASSERT_EQ(Open(), STATUS_SUCCESS); // handle B
    Write(10);
    printer->FailWith(SRB_STATUS_SELECTION_TIMEOUT, 1, 0xC0);
    Write(10);
    ASSERT_EQ(Ext()->DeviceError, 1u);
    ASSERT_EQ(Open(), STATUS_SUCCESS);  // handle C: a new connection
    EXPECT_EQ(Close(), STATUS_SUCCESS); // A
    EXPECT_EQ(Close(), STATUS_SUCCESS); // B
    EXPECT_EQ(Close(), STATUS_SUCCESS); // C: the last close
    EXPECT_EQ(Ext()->OpenCount, 0u);
    printer->ClearTrace();
    // The next open is a first open again and the port works.
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    EXPECT_EQ(UnitTraffic(), std::vector<std::string>({"C0", "C1"}));
    EXPECT_EQ(Write(4096).bytes, 4096u);
    EXPECT_EQ(DataLengths(), std::vector<ULONG>({4096}));
}

// A status monitor keeps its handle while the spooler opens its own after a
// transport failure: the monitor's close must not take the spooler's new
// connection down.
TEST_P(OpenCloseTest, OldHandleClosedAfterARestartKeepsTheNewConnection)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS); // handle A
    printer->FailWith(SRB_STATUS_SELECTION_TIMEOUT, 1, 0xC0);
    Write(10);
    ASSERT_EQ(Ext()->DeviceError, 1u);
    ASSERT_EQ(Open(), STATUS_SUCCESS); // handle B: a new connection
    printer->ClearTrace();
    EXPECT_EQ(Close(), STATUS_SUCCESS); // A
    EXPECT_EQ(UnitTraffic(), std::vector<std::string>());
    EXPECT_EQ(Write(100).status, STATUS_SUCCESS);
    EXPECT_EQ(DataLengths(), std::vector<ULONG>({100}));
    EXPECT_EQ(Close(), STATUS_SUCCESS); // B: the last close
    EXPECT_EQ(UnitTraffic(), std::vector<std::string>({"X1", "X0"}));
}

TEST_P(OpenCloseTest, FailedOpenUndoesWhatItReached)
{
    // Fail each allocation of an open in turn. No close comes for a failed
    // open, so what it reached is undone: unit 0, once created, is closed
    // again, and the next open is a first open whose port carries data.
    bool undone = false;
    for (unsigned long n = 1; n <= 4; n++) {
        SCOPED_TRACE(n);
        Restart(Options());
        kmsim::FailNthAllocation(n);
        NTSTATUS s = Open();
        kmsim::ClearFailures();
        if (s == STATUS_SUCCESS || s == STATUS_INSUFFICIENT_RESOURCES)
            continue; // the open went through, or never reached the driver
        EXPECT_EQ(s, STATUS_DELETE_PENDING);
        std::vector<std::string> traffic = UnitTraffic();
        if (!traffic.empty()) {
            undone = true;
            ASSERT_EQ(traffic, std::vector<std::string>({"C0", "X0"}));
            std::vector<BusEvent> e = UnitEvents();
            EXPECT_GT(e[1].time - e[0].time, kMs);
        }
        ExpectClosedPortOpensAfresh();
    }
    EXPECT_TRUE(undone);
}

TEST_P(OpenCloseTest, LastCloseThatCannotReachUnitOneStillClosesThePort)
{
    // Fail each allocation of the last close in turn. A close cannot be
    // refused: whatever it could not send, the port ends closed (unit 0 is
    // closed on the bus unless its own packet was the one refused) and the
    // next open is a first open again.
    bool unreached = false;
    for (unsigned long n = 1; n <= 3; n++) {
        SCOPED_TRACE(n);
        Restart(Options());
        ASSERT_EQ(Open(), STATUS_SUCCESS);
        printer->ClearTrace();
        kmsim::FailNthAllocation(n);
        NTSTATUS s = Close();
        kmsim::ClearFailures();
        if (s == STATUS_INSUFFICIENT_RESOURCES)
            continue; // never reached the driver
        std::vector<std::string> traffic = UnitTraffic();
        if (traffic == std::vector<std::string>({"X0"})) {
            unreached = true;
        } else if (traffic != std::vector<std::string>({"X1"})) { // unit 0's packet refused
            EXPECT_EQ(traffic, std::vector<std::string>({"X1", "X0"}));
        }
        EXPECT_EQ(Ext()->Unit0Open, 0u);
        ExpectClosedPortOpensAfresh();
    }
    EXPECT_TRUE(unreached);
}

// A unit between its stop and its next start (a rebalance under way) gets
// nothing from the port: an open is refused before either unit sees it; on
// a port already open the status read answers empty, print data still goes
// to unit 0, and the last close closes unit 0 only.
TEST_P(OpenCloseTest, StoppedUnitOneGetsNothingUntilItStartsAgain)
{
    auto stopUnitOne = [this] {
        ASSERT_EQ(kmsim::SendPnp(Pdo(1), IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
        ASSERT_EQ(kmsim::SendPnp(Pdo(1), IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
        printer->ClearTrace();
    };
    stopUnitOne();
    EXPECT_EQ(Open(), STATUS_DELETE_PENDING);
    EXPECT_EQ(printer->Trace().size(), 0u);
    ASSERT_EQ(kmsim::StartDevice(Pdo(1)), STATUS_SUCCESS);

    ASSERT_EQ(Open(), STATUS_SUCCESS);
    EXPECT_EQ(Write(100).bytes, 100u); // the connection's unit-1 preamble goes now
    stopUnitOne();
    EXPECT_EQ(Write(100).bytes, 100u);
    std::vector<UCHAR> status;
    Result read = Read(&status, 64);
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.bytes, 0u);
    Close();
    for (const BusEvent& e : printer->Trace())
        EXPECT_EQ(e.unit, 0) << "a request reached the stopped unit 1";
    EXPECT_EQ(UnitTraffic(), std::vector<std::string>({"X0"}));
    EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());

    ASSERT_EQ(kmsim::StartDevice(Pdo(1)), STATUS_SUCCESS);
    ExpectClosedPortOpensAfresh();
}

// A printer whose unit 1 leaves the unit table while unit 0 is being
// opened: the removal of unit 1 runs on the PnP manager's thread and waits
// only for unit 1's own requests, not for an open counted on unit 0.
class UnitOneLeavesPrinter : public sbp2sim::SimPrinter
{
  public:
    PDEVICE_OBJECT unit1Fdo = nullptr;
    NTSTATUS Handle(const sbp2sim::UnitRequest& request, ULONG_PTR* information) override
    {
        if (request.major == IRP_MJ_CREATE && request.unit == 0 && unit1Fdo != nullptr) {
            UnitTableDropFdo(unit1Fdo);
            unit1Fdo = nullptr;
        }
        return SimPrinter::Handle(request, information);
    }
};

class VanishingUnitTest : public OpenCloseTest
{
  protected:
    std::shared_ptr<sbp2sim::SimPrinter> MakePrinter() override
    {
        return std::make_shared<UnitOneLeavesPrinter>();
    }
};

// Only the synchronous port: the unit table is changed from inside the
// create, at PASSIVE_LEVEL as the PnP manager would.
TEST_P(VanishingUnitTest, UnitOneGoneDuringTheOpenFailsItAndClosesUnitZero)
{
    auto* vanishing = static_cast<UnitOneLeavesPrinter*>(printer.get());
    vanishing->unit1Fdo = fdo[1];
    EXPECT_EQ(Open(), STATUS_DELETE_PENDING);
    EXPECT_EQ(UnitTraffic(), std::vector<std::string>({"C0", "X0"})); // unit 0 closed again
    EXPECT_EQ(Ext()->Unit0Open, 0u);
    EXPECT_EQ(Ext()->OpenCount, 0u);
    EXPECT_EQ(Ext()->IoCount, 1);
}
INSTANTIATE_TEST_SUITE_P(Completion, VanishingUnitTest, ::testing::Values(false),
                         ::datapath::CompletionName);

} // namespace
} // namespace datapath
