// Reads, writes and engine calls of one printer from several threads at
// once: the printer must never see two SRBs of this printer in flight, and
// every write must arrive whole.
#include "datapath_fixture.h"

#include <atomic>
#include <thread>

namespace datapath
{
namespace
{

class ConcurrencyTest : public DataPathTest
{
};
DATAPATH_SUITE(ConcurrencyTest);

// A record: writer id, record number (16 bits), body length (16 bits), body.
std::vector<UCHAR> Record(int writer, int number, size_t body)
{
    std::vector<UCHAR> r = {(UCHAR)writer, (UCHAR)(number >> 8), (UCHAR)number, (UCHAR)(body >> 8),
                            (UCHAR)body};
    for (size_t i = 0; i < body; i++)
        r.push_back((UCHAR)(writer * 31 + number + i));
    return r;
}

TEST_P(ConcurrencyTest, EngineOperationsOfOnePrinterNeverOverlap)
{
    const int kWriters = 3;
    const int kRecords = 60;
    ASSERT_EQ(Open(), STATUS_SUCCESS);

    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; w++) {
        threads.emplace_back([this, w] {
            for (int n = 0; n < kRecords; n++) {
                // Mostly odd sizes (sent at once), some page-sized records
                // (gathered), from either unit's device.
                size_t body = n % 5 == 0 ? 4096 - 5 : 37 + (size_t)(n * 13 % 700);
                std::vector<UCHAR> rec = Record(w, n, body);
                Result r =
                    Transfer(w % 2, IRP_MJ_WRITE, rec.data(), (ULONG)rec.size(), (ULONG)rec.size());
                EXPECT_EQ(r.status, STATUS_SUCCESS);
                EXPECT_EQ(r.bytes, rec.size());
            }
        });
    }
    threads.emplace_back([this] {
        for (int i = 0; i < kRecords; i++) {
            std::vector<UCHAR> got;
            EXPECT_EQ(Read(&got, 64, 1).status, STATUS_SUCCESS);
            ULONG length = 4096;
            std::vector<UCHAR> id(4096);
            Command(CMD_DEVICE_ID, id.data(), &length);
        }
    });
    for (std::thread& t : threads)
        t.join();
    ASSERT_EQ(Close(), STATUS_SUCCESS);

    EXPECT_EQ(printer->Overlaps(), 0);
    // Every record arrives whole and each writer's records in order.
    std::vector<UCHAR> stream = printer->PrintData();
    std::vector<int> next(kWriters, 0);
    size_t at = 0;
    while (at + 5 <= stream.size()) {
        int w = stream[at];
        int n = stream[at + 1] << 8 | stream[at + 2];
        size_t body = (size_t)(stream[at + 3] << 8 | stream[at + 4]);
        ASSERT_LT(w, kWriters);
        ASSERT_EQ(n, next[w]) << "writer " << w;
        std::vector<UCHAR> expected = Record(w, n, body);
        ASSERT_LE(at + expected.size(), stream.size());
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), stream.begin() + (long)at));
        next[w]++;
        at += expected.size();
    }
    EXPECT_EQ(at, stream.size());
    EXPECT_EQ(next, std::vector<int>(kWriters, kRecords));

    // The write sequence numbers every vendor transfer exactly once.
    int expectedSeq = 0;
    for (const sbp2sim::BusEvent& e : printer->DataSrbs())
        EXPECT_EQ(e.cdb[5], (UCHAR)expectedSeq++);
}

// A request entering through unit 1 works on unit 0's FDO. Unit 0's
// removal runs exactly after the request found that FDO in the unit table
// and before it used it: the removal must wait for the request, and the
// request must find a live extension that refuses it.
TEST_P(ConcurrencyTest, UnitZeroRemovedUnderARequestEnteringThroughUnitOne)
{
    struct Kind {
        const char* name;
        std::function<NTSTATUS()> send;
        bool refused; // a close may still close the units
    };
    const Kind kinds[] = {
        {"write", [this] { return Write(100, 1).status; }, true},
        {"close", [this] { return Close(1); }, false},
        {"device control",
         [this] {
             return kmsim::SendIrp(
                        fdo[1], IRP_MJ_DEVICE_CONTROL, 0,
                        [](PIO_STACK_LOCATION s) {
                            s->Parameters.DeviceIoControl.IoControlCode = IOCTL_PRNSBP_DISCARD;
                        },
                        STATUS_SUCCESS)
                 .status;
         },
         true},
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        Restart(Options());
        ASSERT_EQ(Open(), STATUS_SUCCESS);
        PDEVICE_OBJECT pdo0 = sbp2sim::UnitPdo(bus, 0);
        PVOID idle = &Ext()->IoIdleEvent; // only compared, never read
        std::atomic<bool> removed{false};
        std::thread removal;
        kmsim::OnFastMutexRelease(&UnitTableLock, [&] {
            removal = std::thread([&] {
                kmsim::RemoveDevice(pdo0);
                removed = true;
            });
            while (!removed && kmsim::WaitersOn(idle) == 0)
                std::this_thread::yield();
            return true;
        });
        NTSTATUS status = kind.send();
        if (kind.refused) {
            EXPECT_EQ(status, STATUS_DELETE_PENDING);
        }
        removal.join();
        EXPECT_EQ(UnitTableGetUnit0Fdo(fdo[1]), nullptr);
        kmsim::CheckQuarantine();
        EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());
    }
}

} // namespace
} // namespace datapath
