// A simulated machine with prnsbp loaded and simulated printers plugged in;
// after every test it unplugs them, unloads the driver and checks that
// nothing is left behind.
#pragma once

#include "kmsim.h"
#include "printer_session.h"
#include "prnsbp.h"
#include "sbp2sim.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace spine
{

inline const std::string kService = std::string(kmsim::kServicesKey) + "prnsbp";

inline PDEVICE_EXTENSION Ext(PDEVICE_OBJECT device)
{
    return (PDEVICE_EXTENSION)device->DeviceExtension;
}

// An SRB from a driver above, as a class driver would send it.
inline NTSTATUS SendSrb(PDEVICE_OBJECT device, UCHAR opcode, UCHAR subcode)
{
    SCSI_REQUEST_BLOCK srb = {};
    srb.Length = sizeof(SCSI_REQUEST_BLOCK);
    srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
    srb.CdbLength = 8;
    srb.Cdb[0] = opcode;
    srb.Cdb[1] = subcode;
    srb.SrbFlags = SRB_FLAGS_NO_DATA_TRANSFER;
    srb.TimeOutValue = 10;
    return kmsim::SendIrpTo(
               device, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0,
               [&srb](PIO_STACK_LOCATION s) { s->Parameters.Scsi.Srb = &srb; }, STATUS_SUCCESS)
        .status;
}

// A printer on a SCSI-style adapter: started without the 1394 device-ID
// path, so these tests need only the spine.
inline sbp2sim::PrinterConfig ScsiPrinter(const std::string& key = "00A0B8C9D0E1F203")
{
    sbp2sim::PrinterConfig c;
    c.is1394 = false;
    c.key = key;
    return c;
}

class DriverFixture : public ::testing::Test
{
  protected:
    PDRIVER_OBJECT driver = nullptr;
    std::vector<sbp2sim::Printer*> printers;

    void SetUp() override { kmsim::Reset(); }

    void Load()
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver = kmsim::LoadDriver(DriverEntry, "prnsbp", &status);
        ASSERT_NE(driver, nullptr) << std::hex << status;
    }

    sbp2sim::Printer* Plug(const sbp2sim::PrinterConfig& config)
    {
        sbp2sim::Printer* p = sbp2sim::Plug(config);
        printers.push_back(p);
        return p;
    }

    NTSTATUS PlugUnit(sbp2sim::Printer* p, int unit)
    {
        return kmsim::PlugIn(driver, sbp2sim::UnitPdo(p, unit));
    }

    // Plugs a printer and brings both units up; returns the start statuses.
    sbp2sim::Printer* PlugBoth(const sbp2sim::PrinterConfig& config)
    {
        sbp2sim::Printer* p = Plug(config);
        EXPECT_EQ(PlugUnit(p, 0), STATUS_SUCCESS);
        EXPECT_EQ(PlugUnit(p, 1), STATUS_SUCCESS);
        return p;
    }

    // The top of the unit's stack: a lower filter may sit between.
    static PDEVICE_OBJECT Fdo(sbp2sim::Printer* p, int unit)
    {
        return session::FdoOf(sbp2sim::UnitPdo(p, unit));
    }

    void TearDownMachine()
    {
        kmsim::ClearFailures();
        for (auto* p : printers)
            sbp2sim::Unplug(p);
        printers.clear();
        if (driver) {
            kmsim::UnloadDriver(driver);
            driver = nullptr;
        }
        sbp2sim::Shutdown();
    }

    static void ExpectClean() { EXPECT_EQ(session::LeftBehind(), ""); }

    void TearDown() override
    {
        TearDownMachine();
        ExpectClean();
    }
};

} // namespace spine
