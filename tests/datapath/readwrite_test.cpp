// Read and write on the port, from either unit's device.
#include "datapath_fixture.h"

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

} // namespace
} // namespace datapath
