// Why a printer's port cannot be opened, in words: the driver refuses the
// open with STATUS_DELETE_PENDING for every reason below, so the status
// alone does not tell a unit it never took from one not started yet.
#include "machine.h"

#include "prnsbp.h"

namespace prnsim
{

namespace
{
// The driver compares 17 code units of the key, its terminator among them
// for a key of 16 characters; a shorter key would run past the name.
const size_t kPrinterKeyMinimum = PRINTER_KEY_CHARS - 1;
} // namespace

std::string UnitNameRefusal(const std::string& pdoName)
{
    size_t last = pdoName.rfind('&');
    if (last == std::string::npos)
        return "its PDO name " + pdoName + " has no '&' before a printer key";
    size_t beforeLast = last == 0 ? std::string::npos : pdoName.rfind('&', last - 1);
    if (beforeLast == std::string::npos ||
        (pdoName[beforeLast + 1] != '0' && pdoName[beforeLast + 1] != '1'))
        return "its PDO name " + pdoName +
               " has no unit number (0 or 1) after its next-to-last '&'";
    std::string key = pdoName.substr(last + 1);
    if (key.size() < kPrinterKeyMinimum)
        return "its printer key '" + key + "' (after the last '&' of " + pdoName + ") has " +
               std::to_string(key.size()) + " character" + (key.size() == 1 ? "" : "s") +
               "; a printer key needs " + std::to_string(kPrinterKeyMinimum);
    return "";
}

std::string WhyPortCannotOpen(Machine& m, const std::string& name)
{
    SimulatedPrinter* printer = m.Find(name);
    if (printer == nullptr || !printer->plugged)
        return "";
    PDEVICE_OBJECT fdo[2] = {m.Fdo(name, 0), m.Fdo(name, 1)};
    for (int unit = 0; unit < 2; unit++) {
        std::string which = "unit " + std::to_string(unit);
        PDEVICE_OBJECT pdo = m.Pdo(name, unit);
        if (pdo == nullptr)
            return which + " is not on the bus (plug ... units=)";
        if (fdo[unit] == nullptr)
            return "the driver has no device for " + which + " (its AddDevice failed)";
        std::string refusal = UnitNameRefusal(kmsim::DeviceName(pdo));
        if (!refusal.empty())
            return "the driver keeps " + which + " out of its unit table: " + refusal;
        if (!UnitTableIsInSlot((ULONG)unit, nullptr, fdo[unit]))
            return "the driver keeps " + which + " out of its unit table";
        PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)fdo[unit]->DeviceExtension;
        if (ext->Flags & FLAG_STOPPED)
            return which + " is stopped (start-device " + name + "." + std::to_string(unit) +
                   " starts it again)";
        if (!(ext->Flags & FLAG_STARTED) || !ext->StartComplete)
            return which + " has not been started (start-device " + name + "." +
                   std::to_string(unit) + ")";
    }
    if (UnitTableGetUnit1Fdo(fdo[0]) != fdo[1])
        return "the driver pairs another unit 1 with unit 0, or none: the two units' printer "
               "keys differ";
    return "";
}

} // namespace prnsim
