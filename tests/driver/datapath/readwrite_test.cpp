// Read and write on the port, from either unit's device.
#include "datapath_fixture.h"

#include <cstring>
#include <functional>
#include <thread>

namespace datapath
{
namespace
{

class ReadWriteTest : public DataPathTest
{
};
DATAPATH_SUITE(ReadWriteTest);

TEST_P(ReadWriteTest, WritesOnEitherUnitsDeviceReachUnitZero)
{
    ASSERT_EQ(Open(1), STATUS_SUCCESS);
    Result a = Write(300, 1);
    Result b = Write(200, 0);
    EXPECT_EQ(a.bytes, 300u);
    EXPECT_EQ(b.bytes, 200u);
    for (const sbp2sim::BusEvent& e : printer->DataSrbs())
        EXPECT_EQ(e.unit, 0);
    EXPECT_EQ(printer->PrintData(), written);
    EXPECT_EQ(Ext()->WriteCount, 2u);
    EXPECT_EQ(Ext()->ActivityFlags & ACTIVITY_WRITE, (ULONG)ACTIVITY_WRITE);
    EXPECT_EQ(Ext()->IoCount, 1);
}

TEST_P(ReadWriteTest, ReadReturnsAtMostTheCallersLengthOfTheStatusReply)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    std::vector<UCHAR> reply = Pattern(300, 3);
    printer->SetStatusReply(reply);
    struct Case {
        ULONG capacity;
        ULONG expected;
        int unit;
    };
    for (const Case& c : {Case{100, 100, 0}, Case{4096, 300, 0}, Case{300, 300, 1}}) {
        SCOPED_TRACE(c.capacity);
        std::vector<UCHAR> got;
        Result r = Read(&got, c.capacity, c.unit);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.bytes, c.expected);
        EXPECT_EQ(got, std::vector<UCHAR>(reply.begin(), reply.begin() + c.expected));
    }
    sbp2sim::BusEvent last = printer->Srbs().back();
    EXPECT_EQ(last.unit, 1);
    EXPECT_EQ(last.transferLength, 4096u); // the printer is always asked for 4096
    EXPECT_EQ(Ext()->ActivityFlags & ACTIVITY_READ, (ULONG)ACTIVITY_READ);
}

TEST_P(ReadWriteTest, ReadSendsBufferedDataFirst)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    Write(10);
    Write(4096);
    std::vector<UCHAR> got;
    Read(&got, 100);
    std::vector<sbp2sim::BusEvent> srbs = printer->Srbs();
    ASSERT_GE(srbs.size(), 2u);
    EXPECT_TRUE(srbs[srbs.size() - 2].isDataOut());
    EXPECT_EQ(srbs[srbs.size() - 2].transferLength, 4096u);
    EXPECT_EQ(srbs.back().op(), 0xC1);
}

TEST_P(ReadWriteTest, RequestsWithoutAnOpenPortAreRefusedButCounted)
{
    Result r = Write(100);
    EXPECT_EQ(r.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(r.bytes, 0u);
    std::vector<UCHAR> got;
    EXPECT_EQ(Read(&got, 100).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(Ext()->WriteCount, 1u);
    EXPECT_TRUE(printer->Trace().empty());
    EXPECT_EQ(Ext()->IoCount, 1);

    // After the port is closed again, too.
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    ASSERT_EQ(Close(), STATUS_SUCCESS);
    EXPECT_EQ(Write(100).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(kmsim::PoolOutstanding(TAG_DATA_BUFFER), 0u);
}

TEST_P(ReadWriteTest, ZeroLengthWriteCompletesWithoutTouchingThePrinter)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    Result r = Transfer(0, IRP_MJ_WRITE, nullptr, 0, 0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_TRUE(printer->Srbs().empty());
    // No MDL: not counted as a write, so the next one is still the first.
    Write(4096);
    EXPECT_EQ(printer->DataSrbs().size(), 1u);
}

TEST_P(ReadWriteTest, StatedLengthBeyondTheMdlIsCutToTheMdl)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    std::vector<UCHAR> data = Pattern(100, 5);
    Result r = Transfer(0, IRP_MJ_WRITE, data.data(), 100, 5000);
    EXPECT_EQ(r.bytes, 100u);
    EXPECT_EQ(printer->PrintData(), data);

    printer->SetStatusReply(Pattern(300, 1));
    std::vector<UCHAR> small(64, 0);
    r = Transfer(0, IRP_MJ_READ, small.data(), 64, 4096);
    EXPECT_EQ(r.bytes, 64u);
}

// A printer that lets a test act while it handles the status read.
class StatusReadHook : public sbp2sim::SimPrinter
{
  public:
    NTSTATUS Handle(const sbp2sim::UnitRequest& request, ULONG_PTR* information) override
    {
        if (request.srb != NULL && request.srb->Cdb[0] == 0xC1 && request.srb->Cdb[1] == 0x20 &&
            onStatusRead)
            onStatusRead();
        return SimPrinter::Handle(request, information);
    }
    std::function<void()> onStatusRead;
};

// The caller's buffer is a user-space buffer: the driver reaches it through
// the system mapping of its MDL, never through the user address, which is
// valid only in the caller's context and only while the caller keeps it.
class UserBufferTest : public DataPathTest
{
  protected:
    std::shared_ptr<sbp2sim::SimPrinter> MakePrinter() override
    {
        hook = std::make_shared<StatusReadHook>();
        return hook;
    }

    Result SendUser(UCHAR major, kmsim::UserBuffer& user)
    {
        ULONG length = (ULONG)user.size();
        kmsim::IrpResult r = kmsim::SendIrp(
            fdo[0], major, 0,
            [length](PIO_STACK_LOCATION s) { s->Parameters.Write.Length = length; }, STATUS_SUCCESS,
            user.Mdl());
        return {r.status, (ULONG)r.information};
    }

    std::shared_ptr<StatusReadHook> hook;
};
DATAPATH_SUITE(UserBufferTest);

// An upper driver may pass a write on from its own worker thread: another
// process's context, where the caller's user address means nothing.
TEST_P(UserBufferTest, WriteIssuedInAnotherContextIsReadThroughTheSystemMapping)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    kmsim::UserBuffer user(5000);
    std::vector<UCHAR> data = Pattern(5000, 3);
    memcpy(user.data(), data.data(), data.size());
    Result r = {};
    std::thread worker([&] { r = SendUser(IRP_MJ_WRITE, user); });
    worker.join();
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 5000u);
    EXPECT_EQ(printer->PrintData(), data);
    EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());
}

// Another thread of the caller frees the buffer while the printer answers:
// the reply still lands in the locked pages and nothing touches the range.
TEST_P(UserBufferTest, ReadIntoABufferUnmappedDuringTheWaitUsesTheLockedPages)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    printer->SetStatusReply({0x11, 0x22, 0x33});
    kmsim::UserBuffer user(64);
    hook->onStatusRead = [&user] { user.Unmap(); };
    Result r = SendUser(IRP_MJ_READ, user);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 3u);
    std::vector<UCHAR> contents = user.Contents();
    EXPECT_EQ(std::vector<UCHAR>(contents.begin(), contents.begin() + 3),
              std::vector<UCHAR>({0x11, 0x22, 0x33}));
    EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());
}

TEST_P(UserBufferTest, BufferThatCannotBeMappedFailsTheRequestCleanly)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    kmsim::UserBuffer user(100);
    kmsim::FailTag(kmsim::kTagMapping);
    Result w = SendUser(IRP_MJ_WRITE, user);
    Result r = SendUser(IRP_MJ_READ, user);
    kmsim::ClearFailures();
    EXPECT_EQ(w.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(w.bytes + r.bytes, 0u);
    EXPECT_EQ(printer->Srbs().size(), 0u);
    EXPECT_EQ(Ext()->IoCount, 1);
    EXPECT_EQ(SendUser(IRP_MJ_WRITE, user).bytes, 100u);
}

// Windows 98 does not export MmMapLockedPagesSpecifyCache: on both
// platforms the buffer is mapped with MmMapLockedPages under
// MDL_MAPPING_CAN_FAIL (the simulated kernel reports any other routine the
// platform lacks, and a mapping that would stop the system on failure), and
// the caller's MDL keeps the flags it came with.
TEST_P(UserBufferTest, BufferIsMappedTheWayEveryPlatformExports)
{
    for (bool legacy : {true, false}) {
        Options o;
        o.legacy = legacy;
        Restart(o);
        ASSERT_EQ(Open(), STATUS_SUCCESS);
        kmsim::UserBuffer user(300);
        std::vector<UCHAR> data = Pattern(300, 5);
        memcpy(user.data(), data.data(), data.size());
        EXPECT_EQ(SendUser(IRP_MJ_WRITE, user).bytes, 300u) << legacy;
        EXPECT_EQ(printer->PrintData(), data) << legacy;
        EXPECT_EQ(user.Mdl()->MdlFlags & MDL_MAPPING_CAN_FAIL, 0) << legacy;

        kmsim::UserBuffer unmappable(64);
        unmappable.Mdl()->MdlFlags |= MDL_MAPPING_CAN_FAIL;
        kmsim::FailTag(kmsim::kTagMapping);
        EXPECT_EQ(SendUser(IRP_MJ_READ, unmappable).status, STATUS_INSUFFICIENT_RESOURCES)
            << legacy;
        kmsim::ClearFailures();
        EXPECT_NE(unmappable.Mdl()->MdlFlags & MDL_MAPPING_CAN_FAIL, 0) << legacy;
        EXPECT_EQ(kmsim::Violations(), std::vector<std::string>()) << legacy;
        ASSERT_EQ(Close(), STATUS_SUCCESS);
    }
}

// What the driver itself sends to the units (creates, closes, SRBs) goes
// through a lower filter in the unit's stack like everything else: it is
// sent to the device the FDO is attached to, not to the port's PDO.
TEST_P(ReadWriteTest, OwnRequestsPassThroughALowerFilter)
{
    if (GetParam() != sbp2sim::Completion::kAsync)
        GTEST_SKIP() << "the lower filter is in the stack in the asynchronous runs";
    PDEVICE_OBJECT pdo[2] = {sbp2sim::UnitPdo(bus, 0), sbp2sim::UnitPdo(bus, 1)};
    unsigned before[2] = {kmsim::LowerFilterSeen(pdo[0]).requests,
                          kmsim::LowerFilterSeen(pdo[1]).requests};
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    ASSERT_EQ(Write(5000).status, STATUS_SUCCESS);
    ASSERT_EQ(Close(), STATUS_SUCCESS);
    unsigned onBus[2] = {0, 0};
    for (const sbp2sim::BusEvent& e : printer->Trace())
        onBus[e.unit]++;
    for (int unit = 0; unit < 2; unit++)
        EXPECT_EQ(kmsim::LowerFilterSeen(pdo[unit]).requests - before[unit], onBus[unit])
            << "unit " << unit;
}

} // namespace
} // namespace datapath
