// Device control of the printer port: the private codes into the engine,
// the parallel device-ID request, the serial time-outs, pass-through and
// everything passed down, and SRBs carried by internal device control.

#include "driver_fixture.h"
#include "driver_rig.h"
#include "kmsim.h"
#include "prnsbp.h"
#include "sbp2sim.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <string>
#include <vector>

namespace
{
using spine::SendSrb;

constexpr LONGLONG kSecond = 10000000; // 100-ns units

struct Reply {
    NTSTATUS status;
    ULONG bytes;
    std::vector<UCHAR> buffer; // the whole system buffer afterwards
};

class DevCtlTest : public rig::DriverRig<>
{
  protected:
    void SetUp() override
    {
        DriverRig::SetUp();
        ASSERT_TRUE(Load());
        PlugPrinter(sbp2sim::Completion::kSync);
    }

    void PlugPrinter(sbp2sim::Completion mode)
    {
        Plug(mode);
        ASSERT_EQ(PlugUnits(), STATUS_SUCCESS);
        for (int unit = 0; unit < 2; unit++)
            fdo[unit] = PrinterSession::Fdo(unit);
    }

    void TearDown() override
    {
        printer->ClearFaults();
        if (portOpen)
            ClosePort();
        EXPECT_EQ(printer->Overlaps(), 0);
        DriverRig::TearDown();
    }

    PDEVICE_EXTENSION Ext(int unit = 0) { return session::Ext(fdo[unit]); }

    void OpenPort()
    {
        ASSERT_EQ(session::SendSimple(fdo[0], IRP_MJ_CREATE).status, STATUS_SUCCESS);
        portOpen = true;
        printer->ClearTrace();
    }
    void ClosePort()
    {
        portOpen = false;
        EXPECT_EQ(session::SendSimple(fdo[0], IRP_MJ_CLOSE).status, STATUS_SUCCESS);
    }

    // A METHOD_BUFFERED request: `buffer` is the system buffer (it may be
    // larger than both lengths, to catch writes past them).
    Reply Control(ULONG code, std::vector<UCHAR> buffer, ULONG inLength, ULONG outLength,
                  int unit = 0, bool nullBuffer = false)
    {
        session::Reply r =
            ControlTo(fdo[unit], code, nullBuffer ? nullptr : buffer.data(), inLength, outLength);
        return {r.status, (ULONG)r.bytes, buffer};
    }
    Reply Ask(ULONG code, ULONG outLength, ULONG guard = 16)
    {
        return Control(code, std::vector<UCHAR>(outLength + guard, 0xEE), 0, outLength);
    }
    Reply Send(ULONG code, const std::vector<UCHAR>& data, int unit = 0)
    {
        return Control(code, data, (ULONG)data.size(), (ULONG)data.size(), unit);
    }

    // A print-data write through the port (direct I/O).
    NTSTATUS WritePort(size_t n, UCHAR fill)
    {
        std::vector<UCHAR> data(n, fill);
        return TransferTo(fdo[0], IRP_MJ_WRITE, data.data(), (ULONG)n, (ULONG)n).status;
    }

    size_t SrbsWith(UCHAR op, UCHAR sub)
    {
        size_t n = 0;
        for (const sbp2sim::BusEvent& e : printer->Srbs())
            n += e.op() == op && e.sub() == sub ? 1 : 0;
        return n;
    }

    PDEVICE_OBJECT fdo[2] = {nullptr, nullptr};
    bool portOpen = false;
};

const ULONG kUnknownCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);

TEST_F(DevCtlTest, EveryCodeIsRefusedWhileThePortIsClosed)
{
    const ULONG codes[] = {IOCTL_PRNSBP_LEGACY_CLEAR,
                           IOCTL_PRNSBP_WRITE,
                           IOCTL_PRNSBP_READ_STATUS,
                           IOCTL_PRNSBP_GET_DEVICE_ID,
                           IOCTL_PRNSBP_DISCARD,
                           IOCTL_PAR_QUERY_DEVICE_ID,
                           IOCTL_SERIAL_GET_TIMEOUTS,
                           IOCTL_SERIAL_SET_TIMEOUTS,
                           IOCTL_SCSI_PASS_THROUGH,
                           IOCTL_STORAGE_QUERY_PROPERTY,
                           kUnknownCode};
    printer->ClearTrace();
    for (ULONG code : codes) {
        for (int unit = 0; unit < 2; unit++) {
            Reply r = Control(code, std::vector<UCHAR>(64, 0), 64, 64, unit);
            EXPECT_EQ(r.status, STATUS_DELETE_PENDING) << std::hex << code;
            EXPECT_EQ(r.bytes, 0u);
        }
    }
    EXPECT_EQ(printer->Srbs().size(), 0u);
    EXPECT_EQ(Ext()->IoCount, 1);
    // A port that was open and closed again refuses them too.
    OpenPort();
    ClosePort();
    EXPECT_EQ(Send(IOCTL_PRNSBP_WRITE, {1, 2, 3}).status, STATUS_DELETE_PENDING);
    // So does an open port after a transport error.
    OpenPort();
    printer->FailWith(SRB_STATUS_SELECTION_TIMEOUT, 1, 0xC1, 0x20);
    EXPECT_EQ(Ask(IOCTL_PRNSBP_READ_STATUS, 16).status, STATUS_SUCCESS);
    EXPECT_EQ(Ext()->DeviceError, 1u);
    EXPECT_EQ(Ask(IOCTL_SERIAL_GET_TIMEOUTS, 20).status, STATUS_DELETE_PENDING);
    portOpen = false; // the close after a transport error says so itself
    EXPECT_EQ(kmsim::SendIrp(fdo[0], IRP_MJ_CLOSE, 0, nullptr, STATUS_SUCCESS).status,
              STATUS_DELETE_PENDING);
}

TEST_F(DevCtlTest, ADeviceOutsideTheUnitTableIsRefused)
{
    sbp2sim::PrinterConfig config;
    config.key = "00A0B8C9D0E1F999";
    config.unitName[0] = "\\Device\\Sbp2\\NoAmpersandsHere0";
    config.unitPresent[1] = false;
    sbp2sim::Printer* odd = sbp2sim::Plug(config);
    ASSERT_EQ(kmsim::PlugIn(driver, sbp2sim::UnitPdo(odd, 0)), STATUS_SUCCESS);
    kmsim::IrpResult r = kmsim::SendIrp(
        sbp2sim::UnitPdo(odd, 0), IRP_MJ_DEVICE_CONTROL, 0, [](PIO_STACK_LOCATION s) {
            s->Parameters.DeviceIoControl.IoControlCode = IOCTL_PRNSBP_DISCARD;
        });
    EXPECT_EQ(r.status, STATUS_DELETE_PENDING);
    sbp2sim::Unplug(odd);
}

TEST_F(DevCtlTest, DeviceIdReplyBecomesTheTerminatedText)
{
    OpenPort();
    std::string text(80, 'x');
    text.replace(0, 17, "MFG:Acme;MDL:P-1;");
    printer->SetDeviceId(text); // 82 bytes: length field 0x0052 and the text
    for (ULONG code : {(ULONG)IOCTL_PAR_QUERY_DEVICE_ID, (ULONG)IOCTL_PRNSBP_GET_DEVICE_ID}) {
        Reply r = Ask(code, 200);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.bytes, 81u);
        EXPECT_EQ(std::string((char*)r.buffer.data()), text);
    }
    EXPECT_EQ(Ext()->ActivityFlags & ACTIVITY_DEVICE_CONTROL, (ULONG)ACTIVITY_DEVICE_CONTROL);
}

TEST_F(DevCtlTest, DeviceIdLengthFieldIsBoundedByTheReplyAndTheBuffer)
{
    OpenPort();
    struct Case {
        const char* what;
        std::vector<UCHAR> reply;
        ULONG capacity;
        ULONG strip;
        NTSTATUS status;
        ULONG bytes;
        std::vector<UCHAR> start; // the buffer's first bytes afterwards
    } cases[] = {
        {"field of 2: its own bytes and a zero",
         {0x00, 0x02},
         64,
         1,
         STATUS_SUCCESS,
         3,
         {0x00, 0x02, 0x00}},
        {"field beyond the reply",
         {0x01, 0x00, 'A', 'B', 'C'},
         64,
         1,
         STATUS_SUCCESS,
         4,
         {'A', 'B', 'C', 0}},
        {"empty reply", {}, 64, 1, STATUS_SUCCESS, 0, {0xEE}},
        // Bytes after the text the field announces are not the caller's.
        {"field shorter than the reply",
         {0x00, 0x04, 'A', 'B', 'C', 'D'},
         64,
         1,
         STATUS_SUCCESS,
         3,
         {'A', 'B', 0}},
        {"one byte: no length field", {0x41}, 64, 1, STATUS_SUCCESS, 0, {}},
        {"reply larger than the buffer",
         std::vector<UCHAR>(100, 'Z'),
         64,
         1,
         STATUS_BUFFER_TOO_SMALL,
         0,
         {}},
        // Kept length prefix: no room left for the terminating zero.
        {"text fills the buffer", {0x00, 0x04, 'A', 'B'}, 4, 0, STATUS_BUFFER_TOO_SMALL, 0, {}},
        {"text and zero just fit",
         {0x00, 0x04, 'A', 'B'},
         5,
         0,
         STATUS_SUCCESS,
         5,
         {0x00, 0x04, 'A', 'B', 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        printer->SetDeviceIdReply(c.reply);
        Ext()->StripIdLength = c.strip;
        Reply r = Ask(IOCTL_PAR_QUERY_DEVICE_ID, c.capacity);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.bytes, c.bytes);
        for (size_t i = 0; i < c.start.size(); i++)
            EXPECT_EQ(r.buffer[i], c.start[i]) << "byte " << i;
        for (size_t i = c.capacity; i < r.buffer.size(); i++)
            ASSERT_EQ(r.buffer[i], 0xEE) << "written past the caller's buffer at " << i;
    }
}

// A caller may send the device-ID code without any buffer.
TEST_F(DevCtlTest, DeviceIdWithoutASystemBufferIsTooSmall)
{
    OpenPort();
    printer->SetDeviceId("MFG:Acme;MDL:P-1;");
    for (ULONG code : {(ULONG)IOCTL_PAR_QUERY_DEVICE_ID, (ULONG)IOCTL_PRNSBP_GET_DEVICE_ID}) {
        Reply r = Control(code, {}, 0, 64, 0, true);
        EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(r.bytes, 0u);
    }
}

SERIAL_TIMEOUTS Timeouts(ULONG writeConstant)
{
    SERIAL_TIMEOUTS t = {1, 2, 3, 4, writeConstant};
    return t;
}

std::vector<UCHAR> Bytes(const SERIAL_TIMEOUTS& t)
{
    const UCHAR* p = (const UCHAR*)&t;
    return std::vector<UCHAR>(p, p + sizeof t);
}

TEST_F(DevCtlTest, SerialTimeoutsSetAndReportTheWriteTimeout)
{
    OpenPort();
    ASSERT_EQ(sizeof(SERIAL_TIMEOUTS), 20u);
    EXPECT_EQ(Ext()->TimeoutSeconds, 90u);
    EXPECT_EQ(Send(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(Timeouts(2500))).status, STATUS_SUCCESS);
    EXPECT_EQ(Ext()->TimeoutSeconds, 2u);

    Reply got = Ask(IOCTL_SERIAL_GET_TIMEOUTS, 20);
    EXPECT_EQ(got.status, STATUS_SUCCESS);
    EXPECT_EQ(got.bytes, 20u);
    SERIAL_TIMEOUTS t;
    memcpy(&t, got.buffer.data(), sizeof t);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 2000u);
    EXPECT_EQ(t.ReadIntervalTimeout + t.ReadTotalTimeoutMultiplier + t.ReadTotalTimeoutConstant +
                  t.WriteTotalTimeoutMultiplier,
              0u);
    EXPECT_EQ(got.buffer[20], 0xEE);

    struct Case {
        const char* what;
        std::vector<UCHAR> buffer;
        ULONG inLength;
        bool nullBuffer;
        NTSTATUS status;
    } refused[] = {
        {"below two seconds", Bytes(Timeouts(1999)), 20, false, STATUS_INVALID_PARAMETER},
        {"short input", Bytes(Timeouts(5000)), 19, false, STATUS_BUFFER_TOO_SMALL},
        {"no buffer", {}, 20, true, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.what);
        Reply r = Control(IOCTL_SERIAL_SET_TIMEOUTS, c.buffer, c.inLength, 0, 0, c.nullBuffer);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.bytes, 0u);
        EXPECT_EQ(Ext()->TimeoutSeconds, 2u);
    }
    EXPECT_EQ(Ask(IOCTL_SERIAL_GET_TIMEOUTS, 19).status, STATUS_BUFFER_TOO_SMALL);

    // A "TIME_OUT" too long for milliseconds in 32 bits reports the longest
    // time-out there is, not what is left after the product wraps.
    Ext()->TimeoutSeconds = 5000000; // as the service key's value sets it at the start
    got = Ask(IOCTL_SERIAL_GET_TIMEOUTS, 20);
    memcpy(&t, got.buffer.data(), sizeof t);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0xFFFFFFFFu);
}

TEST_F(DevCtlTest, UnknownCodesGoDownToUnitZeroUnchanged)
{
    OpenPort();
    // A storage query is not ours: the port driver answers it as if it had
    // been sent to it directly, whichever unit it was sent to.
    for (int unit = 0; unit < 2; unit++) {
        STORAGE_PROPERTY_QUERY query = {};
        query.PropertyId = StorageAdapterProperty;
        query.QueryType = PropertyStandardQuery;
        std::vector<UCHAR> buffer(256, 0);
        memcpy(buffer.data(), &query, sizeof query);
        int before = sbp2sim::CountersOf(bus).storageQueries;
        Reply r = Control(IOCTL_STORAGE_QUERY_PROPERTY, buffer, sizeof query, 256, unit);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(sbp2sim::CountersOf(bus).storageQueries, before + 1);
        PSTORAGE_ADAPTER_DESCRIPTOR adapter = (PSTORAGE_ADAPTER_DESCRIPTOR)r.buffer.data();
        EXPECT_EQ(r.bytes, adapter->Size);
        EXPECT_EQ(adapter->BusType, BusType1394);
        EXPECT_EQ(Ext()->IoCount, 1);
    }
    EXPECT_EQ(Ask(kUnknownCode, 8).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Ext()->IoCount, 1);
}

TEST_F(DevCtlTest, PassThroughNeedsAWholeRequestAndGoesToUnitZero)
{
    OpenPort();
    EXPECT_EQ(Control(IOCTL_SCSI_PASS_THROUGH, std::vector<UCHAR>(64, 0), 43, 0).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Control(IOCTL_SCSI_PASS_THROUGH_DIRECT, std::vector<UCHAR>(64, 0), 0, 64).status,
              STATUS_INVALID_PARAMETER);
    // The simulated port driver does not serve pass-through: its answer
    // shows the request reached it.
    EXPECT_EQ(Control(IOCTL_SCSI_PASS_THROUGH, std::vector<UCHAR>(64, 0), 44, 0).status,
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Ext()->IoCount, 1);
}

TEST_F(DevCtlTest, WritesGoThroughTheEngineWithTheirCommand)
{
    OpenPort();
    std::vector<UCHAR> data(100);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (UCHAR)i;
    Reply r = Send(IOCTL_PRNSBP_WRITE, data);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 100u);
    r = Send(IOCTL_PRNSBP_WRITE_VENDOR, data, 1); // on unit 1: unit 0's engine
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 100u);
    std::vector<sbp2sim::BusEvent> sent = printer->DataSrbs();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].op(), 0x0A);
    EXPECT_EQ(sent[1].op(), 0xC0);
    std::vector<UCHAR> both = data;
    both.insert(both.end(), data.begin(), data.end());
    EXPECT_EQ(printer->PrintData(), both);
    EXPECT_EQ(Ext()->WriteCount, 0u);

    // Data beyond what the caller handed in is never sent.
    r = Control(IOCTL_PRNSBP_WRITE, std::vector<UCHAR>(64, 0x55), 10, 64);
    EXPECT_EQ(r.bytes, 10u);
    EXPECT_EQ(printer->PrintData().size(), 210u);
}

TEST_F(DevCtlTest, RefusedWritesReportShortCountsThenOffLine)
{
    OpenPort();
    printer->RefuseData();
    Reply r = Send(IOCTL_PRNSBP_WRITE, std::vector<UCHAR>(100, 1));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 0u);
    kmsim::AdvanceClock(61 * kSecond);
    r = Send(IOCTL_PRNSBP_WRITE, std::vector<UCHAR>(100, 1));
    EXPECT_EQ(r.status, STATUS_DEVICE_OFF_LINE);
    EXPECT_EQ(r.bytes, 0u);
    printer->ClearFaults();
}

TEST_F(DevCtlTest, ClearCodesAndTheirStatus)
{
    OpenPort();
    // The data clear reports the printer's answer.
    EXPECT_EQ(Send(IOCTL_PRNSBP_DATA_CLEAR, {}).status, STATUS_SUCCESS);
    printer->AddFault({sbp2sim::Fault::kRefuse, 0, 0xC0, 0x01, 1});
    Reply r = Send(IOCTL_PRNSBP_DATA_CLEAR, {});
    EXPECT_EQ(r.status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(r.bytes, 0u);
    // The status clear succeeds whatever the printer says.
    printer->AddFault({sbp2sim::Fault::kRefuse, 1, 0xC1, 0x21, 1});
    EXPECT_EQ(Send(IOCTL_PRNSBP_STATUS_CLEAR, {}).status, STATUS_SUCCESS);
    // The combined clear falls back to the status clear.
    for (ULONG code : {(ULONG)IOCTL_PRNSBP_CLEAR, (ULONG)IOCTL_PRNSBP_LEGACY_CLEAR}) {
        printer->ClearTrace();
        EXPECT_EQ(Send(code, {}).status, STATUS_SUCCESS);
        EXPECT_EQ(SrbsWith(0xC1, 0x21), 0u);
        printer->AddFault({sbp2sim::Fault::kRefuse, 0, 0xC0, 0x01, 1});
        EXPECT_EQ(Send(code, {}).status, STATUS_SUCCESS);
        EXPECT_EQ(SrbsWith(0xC0, 0x01), 2u);
        EXPECT_EQ(SrbsWith(0xC1, 0x21), 1u);
    }
}

TEST_F(DevCtlTest, StatusAndInfoReplies)
{
    OpenPort();
    printer->SetStatusReply({1, 2, 3, 4, 5});
    Reply r = Ask(IOCTL_PRNSBP_READ_STATUS, 64);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 5u);
    EXPECT_EQ(std::vector<UCHAR>(r.buffer.begin(), r.buffer.begin() + 5),
              (std::vector<UCHAR>{1, 2, 3, 4, 5}));

    struct Info {
        ULONG code;
        int unit;
        UCHAR opcode;
    } infos[] = {{IOCTL_PRNSBP_UNIT0_INFO_A, 0, 0xC2},
                 {IOCTL_PRNSBP_UNIT1_INFO_A, 1, 0xC2},
                 {IOCTL_PRNSBP_UNIT0_INFO_B, 0, 0xC3},
                 {IOCTL_PRNSBP_UNIT1_INFO_B, 1, 0xC3}};
    for (const Info& i : infos) {
        std::vector<UCHAR> reply = {i.opcode, (UCHAR)i.unit, 3, 4, 5, 6, 7, 8, 9, 10};
        printer->SetInfoReply(i.unit, i.opcode, reply);
        r = Ask(i.code, 64);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.bytes, 8u);
        EXPECT_EQ(std::vector<UCHAR>(r.buffer.begin(), r.buffer.begin() + 8),
                  std::vector<UCHAR>(reply.begin(), reply.begin() + 8));
        EXPECT_EQ(r.buffer[8], 0xEE);

        // Too small for the 8 bytes: refused without asking the printer.
        printer->ClearTrace();
        r = Ask(i.code, 7, 1);
        EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(r.bytes, 0u);
        EXPECT_EQ(r.buffer, std::vector<UCHAR>(8, 0xEE));
        EXPECT_EQ(printer->Srbs().size(), 0u);
    }
    // A printer that delivers less: the rest of the 8 bytes are zeros, not
    // the earlier reply or the pool the reply buffer came from.
    printer->SetInfoReply(0, 0xC2, {0xA0, 0xB0});
    r = Ask(IOCTL_PRNSBP_UNIT0_INFO_A, 64);
    EXPECT_EQ(r.bytes, 8u);
    EXPECT_EQ(std::vector<UCHAR>(r.buffer.begin(), r.buffer.begin() + 8),
              (std::vector<UCHAR>{0xA0, 0xB0, 0, 0, 0, 0, 0, 0}));

    // A printer that fails them: success with nothing delivered.
    printer->AddFault({sbp2sim::Fault::kRefuse, 1, 0xC1, 0x20, 0});
    r = Ask(IOCTL_PRNSBP_READ_STATUS, 64);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 0u);
    printer->ClearFaults();
}

TEST_F(DevCtlTest, DiscardDropsBufferedDataAndFlushSendsIt)
{
    OpenPort();
    // Nothing buffered yet: a flush has nothing to send.
    EXPECT_EQ(Send(IOCTL_PRNSBP_FLUSH, {}).status, STATUS_SUCCESS);
    EXPECT_EQ(printer->DataSrbs().size(), 0u);
    ASSERT_EQ(WritePort(100, 0x11), STATUS_SUCCESS); // the connection's first write goes at once
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(WritePort(4096, 0x22), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->PrintFill, 12288u);
    size_t sent = printer->DataSrbs().size();

    EXPECT_EQ(Send(IOCTL_PRNSBP_DISCARD, {}).status, STATUS_SUCCESS);
    EXPECT_EQ(Ext()->PrintFill, 0u);
    EXPECT_EQ(Send(IOCTL_PRNSBP_FLUSH, {}).status, STATUS_SUCCESS);
    EXPECT_EQ(printer->DataSrbs().size(), sent);
    EXPECT_EQ(printer->PrintData().size(), 100u);

    // Without the discard the flush sends what was buffered.
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(WritePort(4096, 0x33), STATUS_SUCCESS);
    EXPECT_EQ(Send(IOCTL_PRNSBP_FLUSH, {}).status, STATUS_SUCCESS);
    ASSERT_EQ(printer->DataSrbs().size(), sent + 1);
    EXPECT_EQ(printer->DataSrbs().back().transferLength, 12288u);
}

TEST_F(DevCtlTest, InternalDeviceControlCarriesSrbsToTheUnits)
{
    printer->ClearTrace();
    EXPECT_EQ(SendSrb(fdo[1], 0xC1, 0x21), STATUS_SUCCESS);
    EXPECT_EQ(SendSrb(fdo[0], 0xC0, 0x01), STATUS_SUCCESS);
    std::vector<sbp2sim::BusEvent> srbs = printer->Srbs();
    ASSERT_EQ(srbs.size(), 2u);
    EXPECT_EQ(srbs[0].unit, 1);
    EXPECT_EQ(srbs[0].op(), 0xC1);
    EXPECT_EQ(srbs[1].unit, 0);
    EXPECT_EQ(srbs[1].op(), 0xC0);

    // The child hands them to the top of its parent's stack: unit 0.
    std::vector<PDEVICE_OBJECT> children = kmsim::ChildrenOf(sbp2sim::UnitPdo(bus, 0));
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(SendSrb(children[0], 0xC0, 0x01), STATUS_SUCCESS);
    ASSERT_EQ(printer->Srbs().size(), 3u);
    EXPECT_EQ(printer->Srbs()[2].unit, 0);
    EXPECT_EQ(Ext()->IoCount, 1);

    // A stopped unit takes none.
    PDEVICE_OBJECT pdo = sbp2sim::UnitPdo(bus, 1);
    kmsim::SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE);
    kmsim::SendPnp(pdo, IRP_MN_STOP_DEVICE);
    EXPECT_EQ(SendSrb(fdo[1], 0xC1, 0x21), STATUS_DELETE_PENDING);
    EXPECT_EQ(printer->Srbs().size(), 3u);
    EXPECT_EQ(kmsim::StartDevice(pdo), STATUS_SUCCESS);
}

NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT, PIRP, PVOID)
{
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The same SRB as a caller at DISPATCH_LEVEL sends it: nothing may wait, so
// only a request completed before IoCallDriver returns is supported here.
NTSTATUS SendSrbAtDispatch(PDEVICE_OBJECT device)
{
    SCSI_REQUEST_BLOCK srb = {};
    srb.Length = sizeof(SCSI_REQUEST_BLOCK);
    srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
    srb.SrbFlags = SRB_FLAGS_NO_DATA_TRANSFER;
    PIRP irp = IoAllocateIrp((CCHAR)(device->StackSize + 1), FALSE);
    IoSetNextIrpStackLocation(irp);
    IoSetCompletionRoutine(irp, KeepIrp, NULL, TRUE, TRUE, TRUE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Scsi.Srb = &srb;
    irp->IoStatus.Status = STATUS_SUCCESS;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS returned = IoCallDriver(device, irp);
    KeLowerIrql(old);
    NTSTATUS status = irp->IoStatus.Status;
    EXPECT_EQ(returned, status);
    IoFreeIrp(irp);
    return status;
}

// Callers may send SRBs at up to DISPATCH_LEVEL; refusing one on a stopped
// unit or a removed child drops the device's in-progress count to zero
// there, which must not take anything a raised IRQL forbids.
TEST_F(DevCtlTest, SrbRefusedAtDispatchLevelOnAStoppedUnitOrARemovedChild)
{
    PDEVICE_OBJECT pdo0 = sbp2sim::UnitPdo(bus, 0);
    std::vector<PDEVICE_OBJECT> children = kmsim::ChildrenOf(pdo0);
    ASSERT_EQ(children.size(), 1u);
    ASSERT_EQ(kmsim::SendPnp(pdo0, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    ASSERT_EQ(kmsim::SendPnp(pdo0, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(SendSrbAtDispatch(children[0]), STATUS_DELETE_PENDING);
    EXPECT_EQ(SendSrbAtDispatch(fdo[0]), STATUS_DELETE_PENDING);
    EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());
    ASSERT_EQ(kmsim::StartDevice(pdo0), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->IoCount, 1);

    ASSERT_EQ(kmsim::RemoveDevice(children[0]), STATUS_SUCCESS);
    EXPECT_EQ(SendSrbAtDispatch(children[0]), STATUS_DELETE_PENDING);
    EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());
    // Reported again, the child is usable as before.
    kmsim::ProcessInvalidations();
    EXPECT_EQ(((PCHILD_EXTENSION)children[0]->DeviceExtension)->IoCount, 1);
}

// Device control from one thread and writes from another share the
// printer's engine: the printer must never see two of their SRBs at once.
TEST_F(DevCtlTest, DeviceControlNeverOverlapsOtherEngineWork)
{
    Unplug(bus);
    PlugPrinter(sbp2sim::Completion::kAsync);
    OpenPort();
    printer->SetStatusReply({1, 2, 3});
    std::thread writer([this] {
        for (int i = 0; i < 40; i++)
            EXPECT_EQ(WritePort(i % 2 ? 4096 : 300, (UCHAR)i), STATUS_SUCCESS);
    });
    for (int i = 0; i < 40; i++) {
        EXPECT_EQ(Ask(IOCTL_PRNSBP_READ_STATUS, 16).bytes, 3u);
        EXPECT_EQ(Send(IOCTL_PRNSBP_WRITE_VENDOR, std::vector<UCHAR>(100, 7)).bytes, 100u);
    }
    writer.join();
    EXPECT_EQ(printer->Overlaps(), 0);
}

} // namespace
