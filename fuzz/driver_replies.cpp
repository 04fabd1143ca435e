// What the printer answers: its IEEE 1284 device ID (configuration ROM leaf
// and reply), status and information replies, sense data and SRB statuses
// of misbehaving commands, refused creates; the driver identifies it, opens
// the port, prints, reads and asks through device control.
#include "driver_session.h"

namespace
{

std::vector<UCHAR> Bytes(FuzzInput& in, size_t limit)
{
    std::string t = in.Text(limit);
    return std::vector<UCHAR>(t.begin(), t.end());
}

sbp2sim::Fault PickFault(FuzzInput& in)
{
    static const int opcodes[] = {-1, 0x0A, 0xC0, 0xC1, 0xC2, 0xC3};
    static const int subcodes[] = {-1, 0x00, 0x01, 0x20, 0x21, 0x22};
    sbp2sim::Fault f;
    f.action = (sbp2sim::Fault::Action)(in.Byte() % 3);
    f.unit = (int)(in.Byte() % 3) - 1;
    f.opcode = opcodes[in.Byte() % 6];
    f.subcode = subcodes[in.Byte() % 6];
    f.count = in.Byte() % 4;
    f.after = in.Byte() % 4;
    f.shortCount = in.Flag() ? in.U32() : in.U16();
    f.srbStatus = in.Byte();
    return f;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    kmsim::Reset();
    auto printer = std::make_shared<sbp2sim::SimPrinter>();
    sbp2sim::PrinterConfig config;
    config.model = printer;
    config.async = in.Flag();
    if (in.Flag())
        config.rawLeaf = Bytes(in, 255);
    else
        config.deviceId = in.Text(255);
    printer->SetDeviceIdReply(Bytes(in, 255));
    printer->SetStatusReply(Bytes(in, 255));
    for (int unit = 0; unit < 2; unit++)
        for (UCHAR op : {0xC2, 0xC3})
            if (in.Flag())
                printer->SetInfoReply(unit, op, Bytes(in, 16));
    for (int i = 0, n = in.Byte() % 4; i < n; i++)
        printer->AddFault(PickFault(in));
    if (in.Byte() % 8 == 0)
        printer->SetCreateResult(in.Byte() & 1, STATUS_DEVICE_NOT_READY);

    session::PrinterSession s;
    FUZZ_CHECK(s.Load(), "the driver loads");
    s.printer = printer;
    s.Plug(config);
    s.AddDevices();
    s.StartDevices();
    if (NT_SUCCESS(s.Open().status)) {
        static const ULONG codes[] = {IOCTL_PRNSBP_GET_DEVICE_ID, IOCTL_PAR_QUERY_DEVICE_ID,
                                      IOCTL_PRNSBP_READ_STATUS,   IOCTL_PRNSBP_UNIT0_INFO_A,
                                      IOCTL_PRNSBP_UNIT1_INFO_B,  IOCTL_PRNSBP_FLUSH,
                                      IOCTL_PRNSBP_WRITE,         IOCTL_PRNSBP_STATUS_CLEAR};
        for (int i = 0, n = 1 + in.Byte() % 6; i < n; i++) {
            ULONG length = in.U16() % 5000;
            switch (in.Byte() % 3) {
            case 0: {
                session::Reply r = s.Write(std::vector<UCHAR>(length, 0x41), in.Byte() & 1);
                FUZZ_CHECK(r.status != STATUS_PENDING, "write answered with its final status");
                FUZZ_CHECK(r.bytes <= length, "no more written than offered");
                break;
            }
            case 1: {
                session::Reply r = s.Read(length, nullptr, in.Byte() & 1);
                FUZZ_CHECK(r.status != STATUS_PENDING, "read answered with its final status");
                FUZZ_CHECK(r.bytes <= length, "no more read than the buffer takes");
                break;
            }
            default: {
                ULONG code = codes[in.Byte() % 8];
                std::vector<UCHAR> input(code == IOCTL_PRNSBP_WRITE ? length : 0, 0x42);
                ULONG out = code == IOCTL_PRNSBP_WRITE ? 0 : length;
                session::Reply r = s.Control(code, input, out);
                FUZZ_CHECK(r.status != STATUS_PENDING, "device control answered with its status");
                FUZZ_CHECK(r.bytes <= (out > input.size() ? out : input.size()),
                           "no more bytes reported than the system buffer holds");
            }
            }
        }
        s.Close();
    }
    DriverFuzzCheckClean(s);
    return 0;
}
