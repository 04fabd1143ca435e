// Device control through an open printer port: codes near the driver's own
// and the published ones it answers (other functions, methods, access bits
// and device types around them) or any code at all, with random input and
// output lengths and bytes, on either unit, several in a row.
#include "driver_session.h"

namespace
{

ULONG PickCode(FuzzInput& in)
{
    const std::vector<ULONG>& known = session::PortControlCodes();
    ULONG base = known[in.Byte() % known.size()];
    switch (in.Byte() % 6) {
    case 0:
    case 1:
        return base;
    case 2: // a neighbouring function
        return base + (((ULONG)(int8_t)in.Byte()) << 2);
    case 3: // another transfer method or access
        return (base & ~0xC003u) | (in.Byte() & 3) | ((ULONG)(in.Byte() & 3) << 14);
    case 4: // another device type
        return (base & 0xFFFFu) | ((ULONG)in.U16() << 16);
    default:
        return in.U32();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    kmsim::Reset();
    session::PrinterSession s;
    FUZZ_CHECK(s.Load(), "the driver loads");
    s.Plug(in.Flag() ? sbp2sim::Completion::kAsync : sbp2sim::Completion::kSync);
    s.AddDevices();
    s.StartDevices();
    bool open = NT_SUCCESS(s.Open().status);
    for (int i = 0, n = 1 + in.Byte() % 6; i < n; i++) {
        ULONG code = PickCode(in);
        ULONG outLength = in.U16() % 4200;
        std::string bytes = in.Text(255);
        std::vector<UCHAR> input(bytes.begin(), bytes.end());
        if (in.Flag()) // a large input buffer now and then
            input.resize(input.size() + in.U16() % 70000, (UCHAR)in.Byte());
        int unit = in.Byte() & 1;
        std::vector<UCHAR> out;
        session::Reply r = s.Control(code, input, outLength, &out, unit);
        FUZZ_CHECK(r.status != STATUS_PENDING, "device control answered with its final status");
        if ((code & 3) == METHOD_BUFFERED)
            FUZZ_CHECK(r.bytes <= (outLength > input.size() ? outLength : input.size()),
                       "no more bytes reported than the system buffer holds");
        if (NT_SUCCESS(r.status) && (code & 3) == METHOD_BUFFERED)
            FUZZ_CHECK(r.bytes <= outLength || outLength == 0,
                       "no more bytes returned than the caller's output buffer takes");
    }
    if (open)
        s.Close();
    DriverFuzzCheckClean(s);
    return 0;
}
