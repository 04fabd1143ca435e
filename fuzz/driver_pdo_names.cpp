// Names of the SBP-2 unit PDOs, from which the driver reads the printer key
// and the unit digit: any text, with or without the port driver's prefix and
// ampersands, for either unit or both; the printer is added, started,
// opened, written to, and removed or pulled off the bus.
#include "driver_session.h"

#include <cctype>

namespace
{

std::string PickName(FuzzInput& in)
{
    std::string text = in.Text(200);
    switch (in.Byte() % 4) {
    case 0:
        return text;
    case 1:
        return "\\Device\\Sbp2\\" + text;
    case 2:
        return "\\Device\\Sbp2\\QXZR&P-1&" + text;
    default:
        return "\\Device\\Sbp2\\QXZR&P-1&" + std::to_string(in.Byte() % 4) + "&" + text;
    }
}

// The name as the port driver creates it: up to its first NUL.
std::string AsCreated(const std::string& s)
{
    return s.substr(0, s.find('\0'));
}

std::string Lower(std::string s)
{
    for (char& c : s)
        c = (char)std::tolower((unsigned char)c);
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    kmsim::Reset();
    kmsim::SetLegacyPlatform(in.Byte() % 4 == 0);
    auto printer = std::make_shared<sbp2sim::SimPrinter>();
    sbp2sim::PrinterConfig config;
    config.model = printer;
    config.unitName[0] = AsCreated(PickName(in));
    config.unitName[1] = AsCreated(PickName(in));
    config.unitPresent[0] = in.Byte() % 8 != 0;
    config.unitPresent[1] = in.Byte() % 8 != 0;
    // One namespace: two units cannot carry the same name (an empty one
    // stands for the port driver's default, which the other may spell out).
    if (Lower(sbp2sim::UnitName(config, 0)) == Lower(sbp2sim::UnitName(config, 1)))
        config.unitPresent[1] = false;
    bool surprise = in.Flag();

    session::PrinterSession s;
    FUZZ_CHECK(s.Load(), "the driver loads");
    s.printer = printer;
    s.Plug(config);
    s.AddDevices();
    s.StartDevices();
    for (int unit = 0; unit < 2; unit++) {
        if (NT_SUCCESS(s.Open(unit).status)) {
            s.Write(std::vector<UCHAR>(100, 0x20), unit);
            s.Read(16, nullptr, unit);
            s.Close(unit);
        }
    }
    if (surprise) {
        s.SurpriseRemoveOnly();
        s.FinishRemoval();
    } else {
        s.Remove();
    }
    DriverFuzzCheckClean(s);
    return 0;
}
