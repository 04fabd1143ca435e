// The SCSI request engine as the printer sees it: command blocks, SRB fields,
// coalescing of print data, refusals, replies and sequence counters.
#include "datapath_fixture.h"

namespace datapath
{
namespace
{

using sbp2sim::BusEvent;

class EngineTest : public DataPathTest
{
};
DATAPATH_SUITE(EngineTest);

struct CommandCase {
    USHORT command;
    int unit;
    UCHAR op, sub;
    bool in;
    ULONG length;
};

TEST_P(EngineTest, EveryCommandTravelsAsOneEightByteCdbInAStandardSrb)
{
    const CommandCase cases[] = {
        {CMD_VENDOR_DATA, 0, 0xC0, 0x00, false, 100},
        {CMD_PRINT_DATA, 0, 0x0A, 0x00, false, 100},
        {CMD_DATA_CLEAR, 0, 0xC0, 0x01, false, 0},
        {CMD_UNIT0_INFO_B, 0, 0xC3, 0x00, true, 4096},
        {CMD_STATUS_READ, 1, 0xC1, 0x20, true, 4096},
        {CMD_STATUS_CLEAR, 1, 0xC1, 0x21, true, 0},
        {CMD_DEVICE_ID, 1, 0xC1, 0x22, true, 4096},
        {CMD_UNIT1_INFO_B, 1, 0xC3, 0x20, true, 4096},
        {CMD_UNIT0_INFO_A, 0, 0xC2, 0x00, true, 4096},
        {CMD_UNIT1_INFO_A, 1, 0xC2, 0x20, true, 4096},
    };
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.command);
        std::vector<UCHAR> buffer(4096, 0x55);
        ULONG length = c.in ? 4096 : c.length;
        Command(c.command, buffer.data(), &length);
        BusEvent e = printer->Srbs().back();
        EXPECT_EQ(e.unit, c.unit);
        EXPECT_EQ(e.op(), c.op);
        EXPECT_EQ(e.sub(), c.sub);
        EXPECT_EQ(e.cdbLengthField(), c.length);
        EXPECT_EQ(e.transferLength, c.length);
        EXPECT_EQ(e.srbFlags, (c.in ? SRB_FLAGS_DATA_IN : SRB_FLAGS_DATA_OUT) |
                                  SRB_FLAGS_DISABLE_SYNCH_TRANSFER);
        EXPECT_EQ(e.function, SRB_FUNCTION_EXECUTE_SCSI);
        EXPECT_EQ(e.srbLength, sizeof(SCSI_REQUEST_BLOCK));
        EXPECT_EQ(e.queueTag, SP_UNTAGGED);
        EXPECT_EQ(e.queueAction, SRB_SIMPLE_TAG_REQUEST);
        EXPECT_EQ(e.cdbLength, 8);
        EXPECT_EQ(e.senseLength, 18);
        EXPECT_EQ(e.timeout, 90u);
        for (int i = 8; i < 16; i++)
            EXPECT_EQ(e.cdb[i], 0) << "CDB byte " << i;
    }
}

TEST_P(EngineTest, EachConnectionStartsWithBothUnitsInformation)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    Write(10);
    Write(20);
    std::vector<BusEvent> srbs = printer->Srbs();
    ASSERT_EQ(srbs.size(), 4u);
    EXPECT_EQ(srbs[0].unit, 0);
    EXPECT_EQ(srbs[0].op(), 0xC2);
    EXPECT_EQ(srbs[0].sub(), 0x00);
    EXPECT_EQ(srbs[1].unit, 1);
    EXPECT_EQ(srbs[1].op(), 0xC2);
    EXPECT_EQ(srbs[1].sub(), 0x20);
    EXPECT_TRUE(srbs[2].isDataOut());
    EXPECT_TRUE(srbs[3].isDataOut());

    ASSERT_EQ(Close(), STATUS_SUCCESS);
    printer->ClearTrace();
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    std::vector<UCHAR> reply;
    Read(&reply, 4096);
    srbs = printer->Srbs();
    ASSERT_EQ(srbs.size(), 3u);
    EXPECT_EQ(srbs[0].op(), 0xC2);
    EXPECT_EQ(srbs[1].op(), 0xC2);
    EXPECT_EQ(srbs[2].op(), 0xC1);
}

struct CoalesceCase {
    const char* name;
    ULONG mdlSize;
    std::vector<size_t> writes;
    std::vector<ULONG> transfers;
};

TEST_P(EngineTest, PageSizedWritesAreGatheredIntoFullBuffers)
{
    const CoalesceCase cases[] = {
        {"first write goes at once whatever its size", 0, {4096}, {4096}},
        {"65536 bytes become two full buffers", 0, {10, 65536}, {10, 32768, 32768}},
        {"eight pages make one transfer",
         0,
         {10, 4096, 4096, 4096, 4096, 4096, 4096, 4096, 4096},
         {10, 32768}},
        {"three pages then 100 bytes", 0, {10, 4096, 4096, 4096, 100}, {10, 12388}},
        {"a 1000-byte buffer cuts transfers", 1000, {10, 2500}, {10, 1000, 1000, 500}},
        {"a buffer size beyond 24 bits falls back to 32768",
         0x1000000,
         {10, 40000},
         {10, 32768, 7232}},
    };
    for (const CoalesceCase& c : cases) {
        SCOPED_TRACE(c.name);
        Options o;
        o.mdlSize = c.mdlSize;
        Restart(o);
        written.clear();
        ASSERT_EQ(Open(), STATUS_SUCCESS);
        for (size_t n : c.writes) {
            Result r = Write(n);
            EXPECT_EQ(r.status, STATUS_SUCCESS);
            EXPECT_EQ(r.bytes, n);
        }
        EXPECT_EQ(DataLengths(), c.transfers);
        EXPECT_EQ(printer->PrintData(), written);
    }
}

TEST_P(EngineTest, ConfiguredBufferThePoolCannotGiveFallsBackToTheDefault)
{
    Options o;
    o.mdlSize = 100000;
    bool fellBack = false;
    // Fail each allocation around the engine's setup in turn: whichever
    // fails, the port either works or refuses cleanly; when only the large
    // buffer is refused, the default one takes its place.
    for (unsigned long n = 1; n <= 6; n++) {
        Restart(o);
        ASSERT_EQ(Open(), STATUS_SUCCESS);
        failAllocation = n;
        Result r = Write(50000);
        kmsim::ClearFailures();
        if (r.status != STATUS_SUCCESS)
            continue;
        EXPECT_EQ(r.bytes, 50000u);
        ULONG size = Ext()->PrintBufferSize;
        EXPECT_TRUE(size == 100000 || size == 32768) << size;
        if (size == 32768) {
            fellBack = true;
            EXPECT_EQ(DataLengths(), std::vector<ULONG>({32768, 17232}));
        }
    }
    EXPECT_TRUE(fellBack);
}

TEST_P(EngineTest, PrintCommandFollowsTheConfiguration)
{
    for (ULONG scsi : {0u, 1u}) {
        Options o;
        o.useScsiPrint = scsi;
        Restart(o);
        ASSERT_EQ(Open(), STATUS_SUCCESS);
        Write(100);
        Write(100);
        std::vector<BusEvent> data = printer->DataSrbs();
        ASSERT_EQ(data.size(), 2u);
        for (size_t i = 0; i < data.size(); i++) {
            EXPECT_EQ(data[i].op(), scsi ? 0x0A : 0xC0);
            // Only the vendor command carries the write sequence.
            EXPECT_EQ(data[i].cdb[5], scsi ? 0 : i);
            EXPECT_EQ(data[i].cdb[6], 0);
        }
    }
}

TEST_P(EngineTest, RefusedDataGivesShortCountsForSixtySecondsThenOffLine)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    Write(10);
    printer->RefuseData();
    struct Step {
        LONGLONG advance;
        NTSTATUS status;
    };
    // 0 s: first refusal, 59.9 s: still inside the window, 60.1 s: off line.
    const Step steps[] = {{0, STATUS_SUCCESS},
                          {59900 * kMs, STATUS_SUCCESS},
                          {200 * kMs, STATUS_DEVICE_OFF_LINE},
                          {10 * kSecond, STATUS_DEVICE_OFF_LINE}};
    for (const Step& s : steps) {
        kmsim::AdvanceClock(s.advance);
        Result r = Write(100);
        EXPECT_EQ(r.status, s.status);
        EXPECT_EQ(r.bytes, 0u);
    }
    // The printer takes data again: the write goes through, and a new
    // refusal starts a new window.
    printer->ClearFaults();
    EXPECT_EQ(Write(100).status, STATUS_SUCCESS);
    printer->RefuseData();
    kmsim::AdvanceClock(61 * kSecond);
    EXPECT_EQ(Write(100).status, STATUS_SUCCESS);
}

// The window is "more than 60 s": a refusal exactly 60 s after the first one
// still counts as inside it, one 100 ns later does not.
TEST_P(EngineTest, RefusalWindowEndsStrictlyAfterSixtySeconds)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    Write(10);
    printer->RefuseData();
    ASSERT_EQ(Write(100).status, STATUS_SUCCESS); // the first refusal starts the window
    kmsim::AdvanceClock(60 * kSecond);
    EXPECT_EQ(Write(100).status, STATUS_SUCCESS);
    kmsim::AdvanceClock(1);
    EXPECT_EQ(Write(100).status, STATUS_DEVICE_OFF_LINE);
}

TEST_P(EngineTest, RefusalInTheMiddleOfAWriteReportsTheBytesAcceptedBeforeIt)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    Write(10);
    sbp2sim::Fault f;
    f.unit = 0;
    f.opcode = 0xC0;
    f.subcode = 0;
    f.after = 1;
    f.count = 0;
    printer->AddFault(f);
    Result r = Write(65536);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 32768u);
    EXPECT_EQ(Ext()->FlushFailed, 1u);
    // While the flush is failed nothing is sent, whatever is buffered.
    size_t before = printer->Srbs().size();
    EXPECT_EQ(Flush(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(printer->Srbs().size(), before);
}

TEST_P(EngineTest, NextWriteRetriesWhatARefusedFlushLeftBuffered)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    Write(10);
    Write(4096);
    Write(4096);
    printer->RefuseData(1);
    std::vector<UCHAR> refused = Pattern(100, 1);
    Result r = Write(refused);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_EQ(Ext()->PrintFill, 8192u);
    written.resize(written.size() - refused.size()); // the caller writes it again
    EXPECT_EQ(Write(refused).bytes, 100u);
    EXPECT_EQ(DataLengths(), std::vector<ULONG>({10, 8292, 8292}));
    EXPECT_EQ(printer->PrintData(), written);
    EXPECT_EQ(Ext()->RetryPending, 0u);
}

TEST_P(EngineTest, StatusReadTellsWhatThePrinterReallyDelivered)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    std::vector<UCHAR> reply = Pattern(300, 9);
    printer->SetStatusReply(reply);
    std::vector<UCHAR> got;

    printer->ShortDelivery(0xC1, 0x20, 42);
    Result r = Read(&got, 4096);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 42u);
    EXPECT_EQ(got, std::vector<UCHAR>(reply.begin(), reply.begin() + 42));

    sbp2sim::Fault refuse;
    refuse.opcode = 0xC1;
    refuse.subcode = 0x20;
    printer->AddFault(refuse);
    r = Read(&got, 4096);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 0u);

    // A sense count beyond the reply buffer is bounded by it.
    printer->ShortDelivery(0xC1, 0x20, 0x10000);
    r = Read(&got, 8192);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 4096u);
}

// A printer that takes only part of a transfer (no refusal, the count in
// the sense bytes): the write reports the bytes taken, as a refusal's short
// count does, and a program that writes the rest again, as the spooler does,
// loses nothing; bytes that earlier writes were told were taken stay
// buffered until the printer has them. One that takes nothing is refusing.
TEST_P(EngineTest, PartOfATransferTakenReportsTheBytesTaken)
{
    std::vector<UCHAR> sent;
    // The spooler's loop: after a short count the rest is written again.
    auto writeAll = [&](size_t n, std::vector<ULONG>* counts) {
        std::vector<UCHAR> data = Pattern(n, (UCHAR)sent.size());
        sent.insert(sent.end(), data.begin(), data.end());
        for (size_t done = 0, tries = 0; done < n && tries < 5; tries++) {
            std::vector<UCHAR> rest(data.begin() + (long)done, data.end());
            Result r =
                Transfer(0, IRP_MJ_WRITE, rest.data(), (ULONG)rest.size(), (ULONG)rest.size());
            ASSERT_EQ(r.status, STATUS_SUCCESS);
            counts->push_back(r.bytes);
            done += r.bytes;
        }
    };
    std::vector<ULONG> counts;
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    writeAll(10, &counts);
    printer->ShortDelivery(0xC0, 0x00, 60);
    counts.clear();
    writeAll(100, &counts);
    EXPECT_EQ(counts, std::vector<ULONG>({60, 40}));

    // Page-sized writes gather; the eighth's flush is taken in part, so the
    // first seven's bytes stay buffered and the eighth is written again.
    for (int i = 0; i < 7; i++)
        writeAll(4096, &counts);
    printer->ShortDelivery(0xC0, 0x00, 100);
    counts.clear();
    writeAll(4096, &counts);
    EXPECT_EQ(counts, std::vector<ULONG>({0, 4096}));

    printer->ShortDelivery(0xC0, 0x00, 0);
    counts.clear();
    writeAll(100, &counts);
    EXPECT_EQ(counts, std::vector<ULONG>({0, 100})); // nothing taken: a refusal
    EXPECT_EQ(Close(), STATUS_SUCCESS);
    EXPECT_EQ(printer->PrintData(), sent);
}

TEST_P(EngineTest, TransportFailureRefusesFurtherRequestsUntilTheNextOpen)
{
    for (bool legacy : {false, true}) {
        SCOPED_TRACE(legacy ? "legacy" : "current");
        Options o;
        o.legacy = legacy;
        Restart(o);
        ASSERT_EQ(Open(), STATUS_SUCCESS);
        Write(10);
        printer->FailWith(SRB_STATUS_SELECTION_TIMEOUT, 1, 0xC0);
        Result r = Write(100);
        EXPECT_EQ(r.status, legacy ? STATUS_ACCESS_VIOLATION : STATUS_SUCCESS);
        EXPECT_EQ(r.bytes, 0u);
        EXPECT_EQ(Ext()->DeviceError, 1u);
        size_t sent = printer->Srbs().size();
        r = Write(100);
        EXPECT_EQ(r.status, legacy ? STATUS_ACCESS_VIOLATION : STATUS_DELETE_PENDING);
        std::vector<UCHAR> got;
        EXPECT_EQ(Read(&got, 100).status, legacy ? STATUS_ACCESS_VIOLATION : STATUS_DELETE_PENDING);
        EXPECT_EQ(printer->Srbs().size(), sent);
        // An open now starts a new connection, though a handle is open: both
        // units are created again and the next write is a first write.
        printer->ClearTrace();
        ASSERT_EQ(Open(), STATUS_SUCCESS);
        EXPECT_EQ(printer->Trace().size(), 2u);
        r = Write(4096);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.bytes, 4096u);
        EXPECT_EQ(DataLengths(), std::vector<ULONG>({4096}));
    }
}

TEST_P(EngineTest, SequenceCountersAdvanceAsThePrinterExpects)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    std::vector<UCHAR> got;
    sbp2sim::Fault refuseStatus;
    refuseStatus.opcode = 0xC1;
    refuseStatus.subcode = 0x20;
    ULONG length = 4096;
    std::vector<UCHAR> buffer(4096);

    Write(10);        // write sequence 0, accepted
    Read(&got, 4096); // status sequence 0, CDB sequence 0, accepted
    printer->RefuseData(1);
    Write(10); // write sequence 1, refused
    printer->AddFault(refuseStatus);
    Read(&got, 4096);                                  // status sequence 1, CDB sequence 1, refused
    Write(10);                                         // write sequence 1 again
    Read(&got, 4096);                                  // status sequence 1 again, CDB sequence 2
    Command(CMD_UNIT0_INFO_A, buffer.data(), &length); // opcode C2: no CDB sequence
    Command(CMD_DEVICE_ID, buffer.data(), &length);    // CDB sequence 3
    Command(CMD_STATUS_CLEAR, nullptr, nullptr);       // CDB sequence 4

    std::vector<int> writeSeq, statusSeq, cdbSeq;
    for (const BusEvent& e : printer->Srbs()) {
        if (e.isDataOut()) {
            writeSeq.push_back(e.cdb[5]);
            EXPECT_EQ(e.cdb[6] | e.cdb[7], 0);
        } else if (e.op() == 0xC2) {
            EXPECT_EQ(e.cdb[5] | e.cdb[6] | e.cdb[7], 0);
        } else {
            cdbSeq.push_back(e.cdb[6] | e.cdb[7] << 8);
            if (e.op() == 0xC1 && e.sub() == 0x20)
                statusSeq.push_back(e.cdb[5]);
        }
    }
    EXPECT_EQ(writeSeq, std::vector<int>({0, 1, 1}));
    EXPECT_EQ(statusSeq, std::vector<int>({0, 1, 1}));
    EXPECT_EQ(cdbSeq, std::vector<int>({0, 1, 2, 3, 4}));
}

TEST_P(EngineTest, DeviceIdReplyIsBoundedByTheCallerAndByWhatArrived)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    struct Case {
        const char* name;
        std::vector<UCHAR> reply;
        ULONG capacity;
        NTSTATUS status;
        ULONG length;
    };
    std::vector<UCHAR> ten = {0x00, 0x0A, 'M', 'F', 'G', ':', 'A', ';', 'x', 'y'};
    std::vector<UCHAR> liar = {0x00, 0x50, 'M', 'F', 'G', ':', 'A', ';'};
    const Case cases[] = {
        {"length field counts itself", ten, 100, STATUS_SUCCESS, 10},
        {"exactly fits", ten, 10, STATUS_SUCCESS, 10},
        {"does not fit", ten, 9, STATUS_BUFFER_TOO_SMALL, 0},
        {"field larger than the reply", liar, 100, STATUS_SUCCESS, 8},
        {"empty reply", {}, 100, STATUS_SUCCESS, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        printer->SetDeviceIdReply(c.reply);
        std::vector<UCHAR> buffer(c.capacity, 0xEE);
        ULONG length = c.capacity;
        EXPECT_EQ(Command(CMD_DEVICE_ID, buffer.data(), &length), c.status);
        EXPECT_EQ(length, c.length);
        if (c.status == STATUS_SUCCESS) {
            EXPECT_TRUE(std::equal(c.reply.begin(), c.reply.end(), buffer.begin()));
        }
    }
}

TEST_P(EngineTest, InfoRepliesNeedRoomForEightBytes)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    std::vector<UCHAR> info = {1, 2, 3, 4, 5, 6, 7, 8};
    printer->SetInfoReply(1, 0xC3, info);
    for (ULONG capacity : {0u, 7u, 8u, 64u}) {
        SCOPED_TRACE(capacity);
        std::vector<UCHAR> buffer(capacity + 1, 0xEE); // one guard byte
        ULONG length = capacity;
        size_t before = printer->Srbs().size();
        NTSTATUS s = Command(CMD_UNIT1_INFO_B, buffer.data(), &length);
        std::vector<BusEvent> srbs = printer->Srbs();
        if (capacity < 8) {
            EXPECT_EQ(s, STATUS_BUFFER_TOO_SMALL);
            EXPECT_EQ(length, 0u);
            EXPECT_EQ(buffer, std::vector<UCHAR>(capacity + 1, 0xEE));
            // only the connection preamble, never the INFO command itself
            for (size_t i = before; i < srbs.size(); i++)
                EXPECT_EQ(srbs[i].op(), 0xC2);
        } else {
            EXPECT_EQ(s, STATUS_SUCCESS);
            EXPECT_EQ(length, 8u);
            EXPECT_EQ(std::vector<UCHAR>(buffer.begin(), buffer.begin() + 8), info);
            EXPECT_EQ(buffer[capacity], 0xEE);
        }
    }
}

TEST_P(EngineTest, SetupFailureRefusesTheWholeConnection)
{
    // Fail each allocation of the engine's setup in turn.
    for (ULONG tag : {TAG_DATA_BUFFER, TAG_SENSE_BUFFER}) {
        SCOPED_TRACE(kmsim::TagName(tag));
        Restart(Options());
        ASSERT_EQ(Open(), STATUS_SUCCESS);
        kmsim::FailTag(tag);
        Result r = Write(100);
        kmsim::ClearFailures();
        EXPECT_EQ(r.status, STATUS_DEVICE_BUSY);
        EXPECT_EQ(r.bytes, 0u);
        // Not tried again within this connection.
        EXPECT_EQ(Write(100).status, STATUS_DEVICE_BUSY);
        std::vector<UCHAR> got;
        EXPECT_EQ(Read(&got, 100).bytes, 0u);
        EXPECT_TRUE(printer->Srbs().empty());
        // Whatever setup obtained is released by the close.
        EXPECT_EQ(Close(), STATUS_SUCCESS);
        EXPECT_EQ(kmsim::PoolOutstanding(TAG_DATA_BUFFER), 0u);
        EXPECT_EQ(kmsim::PoolOutstanding(TAG_SENSE_BUFFER), 0u);
        ASSERT_EQ(Open(), STATUS_SUCCESS);
        EXPECT_EQ(Write(100).bytes, 100u);
    }
}

// A connection's SRBs come from its lookaside list ("Scs$", depth 8), which
// the last close deletes with no SRB out. An SRB the list cannot give sends
// nothing: the write is refused as by the printer, and the next one sends.
TEST_P(EngineTest, SrbsComeFromTheConnectionsLookasideList)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    EXPECT_EQ(Write(100).bytes, 100u);
    std::vector<kmsim::LookasideInfo> lists = kmsim::LookasideLists();
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0].tag, TAG_SRB_LOOKASIDE);
    EXPECT_EQ(lists[0].depth, 8u);
    EXPECT_EQ(lists[0].size, sizeof(SCSI_REQUEST_BLOCK));
    EXPECT_EQ(lists[0].out, 0);
    size_t sent = printer->Srbs().size();
    kmsim::FailTag(TAG_SRB_LOOKASIDE);
    Result refused = Write(100);
    kmsim::ClearFailures();
    EXPECT_EQ(refused.status, STATUS_SUCCESS);
    EXPECT_EQ(refused.bytes, 0u);
    EXPECT_EQ(printer->Srbs().size(), sent);
    EXPECT_EQ(Write(100).bytes, 100u);
    EXPECT_EQ(Close(), STATUS_SUCCESS);
    EXPECT_TRUE(kmsim::LookasideLists().empty());
}

} // namespace
} // namespace datapath
