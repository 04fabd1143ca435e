// A loaded driver on a simulated machine whose printers are plugged into the
// 1394 bus, with the registry paths and ID strings the port monitor and the
// PnP manager see.
#pragma once

#include "driver_rig.h"
#include "kmsim.h"
#include "prnsbp.h"
#include "sbp2sim.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

namespace ident
{

using session::kService;
const std::string kPortNumbers = kService + "\\PortNumber";
// On Windows 98/Me the numbers sit under the parent of the service key.
const std::string kLegacyPortNumbers = std::string(kmsim::kServicesKey) + "PortNumber";
const std::string kUsbPrintClass = "{28D78FAD-5A12-11D1-AE5B-0000F803A8C2}";
const std::string kLegacyClass = "{79016500-6B8F-4147-9E51-8D3E7B343DD5}";

inline std::string GuidText(const GUID& g)
{
    char buf[64];
    snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             (unsigned)g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
             g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

// A REG_SZ value as stored, byte for byte, shown as text (zero code units
// as "\0" so a stored terminator is visible).
inline std::string StoredText(const std::string& key, const std::string& name)
{
    ULONG type = 0;
    std::vector<unsigned char> data;
    if (!kmsim::RegGetRaw(key, name, &type, &data))
        return "(missing)";
    std::string text = type == REG_SZ ? "" : "(type " + std::to_string(type) + ")";
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        unsigned unit = data[i] | data[i + 1] << 8;
        text += unit == 0 ? std::string("\\0") : std::string(1, (char)unit);
    }
    if (data.size() % 2)
        text += "(odd size)";
    return text;
}

inline ULONG StoredDword(const std::string& key, const std::string& name)
{
    ULONG value = 0xDEADBEEF;
    kmsim::RegGetDword(key, name, &value);
    return value;
}

class MachineTest : public rig::DriverRig<>
{
  protected:
    void SetUp() override { Boot(false); }

    void Boot(bool legacy)
    {
        if (driver != nullptr)
            ShutDownClean();
        kmsim::Reset();
        kmsim::SetLegacyPlatform(legacy);
        ASSERT_TRUE(Load());
    }

    // A restart of the machine: the registry is all that survives.
    void Restart(bool legacy = false)
    {
        std::string file =
            ::testing::TempDir() + "ident_registry-" + std::to_string(getpid()) + ".dump";
        ShutDownClean();
        ASSERT_TRUE(kmsim::RegSave(file));
        kmsim::Reset();
        ASSERT_TRUE(kmsim::RegLoad(file));
        kmsim::SetLegacyPlatform(legacy);
        ASSERT_TRUE(Load());
    }

    static sbp2sim::PrinterConfig Printer(const std::string& key,
                                          const std::string& deviceId = "MFG:Acme;MDL:P-1;")
    {
        sbp2sim::PrinterConfig config;
        config.key = key;
        config.deviceId = deviceId;
        return config;
    }

    // Plugs the printer in; the PnP manager adds and starts both units and
    // enumerates unit 0's children.
    sbp2sim::Printer* Connect(const sbp2sim::PrinterConfig& config,
                              NTSTATUS expected = STATUS_SUCCESS)
    {
        sbp2sim::Printer* p = Plug(config);
        for (int unit = 0; unit < 2; unit++) {
            if (!config.unitPresent[unit])
                continue;
            EXPECT_EQ(PlugUnit(p, unit), expected) << "unit " << unit;
        }
        return p;
    }

    static PDEVICE_EXTENSION Ext(sbp2sim::Printer* p, int unit)
    {
        return session::Ext(session::FdoOf(p, unit));
    }
    static PDEVICE_OBJECT Child(sbp2sim::Printer* p)
    {
        std::vector<PDEVICE_OBJECT> children = kmsim::ChildrenOf(sbp2sim::UnitPdo(p, 0));
        return children.size() == 1 ? children[0] : nullptr;
    }

    // The enabled interface of the printer's unit 0, or nothing.
    static const kmsim::InterfaceInfo* Interface(sbp2sim::Printer* p,
                                                 std::vector<kmsim::InterfaceInfo>& all)
    {
        all = kmsim::Interfaces();
        for (const kmsim::InterfaceInfo& i : all)
            if (i.pdo == sbp2sim::UnitPdo(p, 0))
                return &i;
        return nullptr;
    }
};

} // namespace ident
