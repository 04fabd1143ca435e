// A simulated machine with prnsbp loaded and simulated printers plugged in;
// after every test it unplugs them, unloads the driver and checks that
// nothing is left behind.
#pragma once

#include "driver_rig.h"
#include "kmsim.h"
#include "prnsbp.h"
#include "sbp2sim.h"

#include <gtest/gtest.h>

#include <string>

namespace spine
{

using session::Ext;
using session::kService;

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

class DriverFixture : public rig::DriverRig<>
{
  protected:
    void Load()
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        ASSERT_TRUE(PrinterSession::Load(&status)) << std::hex << status;
    }

    // Plugs a printer and brings both units up.
    sbp2sim::Printer* PlugBoth(const sbp2sim::PrinterConfig& config)
    {
        sbp2sim::Printer* p = Plug(config);
        EXPECT_EQ(PlugUnit(p, 0), STATUS_SUCCESS);
        EXPECT_EQ(PlugUnit(p, 1), STATUS_SUCCESS);
        return p;
    }

    // The top of the unit's stack: a lower filter may sit between.
    static PDEVICE_OBJECT Fdo(sbp2sim::Printer* p, int unit) { return session::FdoOf(p, unit); }
};

} // namespace spine
