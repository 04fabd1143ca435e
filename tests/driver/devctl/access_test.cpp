// Who gets in and what each handle may do: the device's security applies
// to every open of the port, a name below the port is no port, codes that
// send print data, drop a job or change a setting need a handle that may
// write, and what goes down to the port driver from a program is only what
// the port answers for anyone.

#include "driver_rig.h"
#include "kmsim.h"
#include "prnsbp.h"
#include "sbp2sim.h"

#include <gtest/gtest.h>

#include <ntddscsi.h>
#include <ntddstor.h>

#include <vector>

namespace
{

constexpr ACCESS_MASK kRead = FILE_GENERIC_READ;
constexpr ACCESS_MASK kReadWrite = FILE_GENERIC_READ | FILE_GENERIC_WRITE;

class PortAccessTest : public rig::DriverRig<>
{
  protected:
    void SetUp() override
    {
        DriverRig::SetUp();
        ASSERT_TRUE(Load());
        Plug(sbp2sim::Completion::kSync);
        ASSERT_EQ(PlugUnits(), STATUS_SUCCESS);
    }

    NTSTATUS OpenWith(ACCESS_MASK access, const std::string& trailing = "", bool privileged = false,
                      KPROCESSOR_MODE mode = UserMode)
    {
        kmsim::OpenOptions o;
        o.access = access;
        o.trailing = trailing;
        o.privileged = privileged;
        o.mode = mode;
        return Open(0, o).status;
    }

    NTSTATUS ControlOnLastHandle(ULONG code, std::vector<UCHAR> in = {}, ULONG out = 0)
    {
        return Control(code, in, out).status;
    }
    size_t Bus(UCHAR opcode)
    {
        size_t n = 0;
        for (const auto& e : printer->Trace())
            n += e.kind == sbp2sim::BusEvent::kSrb && e.cdb[0] == opcode ? 1 : 0;
        return n;
    }
};

TEST_F(PortAccessTest, CodesThatChangeThePrinterNeedAHandleThatMayWrite)
{
    ASSERT_EQ(OpenWith(kReadWrite), STATUS_SUCCESS); // the spooler's
    ASSERT_EQ(OpenWith(kRead), STATUS_SUCCESS);      // a status monitor's
    size_t sent = Bus(0xC0);
    for (ULONG code : {IOCTL_PRNSBP_WRITE, IOCTL_PRNSBP_WRITE_VENDOR, IOCTL_PRNSBP_DATA_CLEAR,
                       IOCTL_PRNSBP_DISCARD, IOCTL_PRNSBP_CLEAR, IOCTL_PRNSBP_LEGACY_CLEAR,
                       IOCTL_PRNSBP_FLUSH, IOCTL_PRNSBP_STATUS_CLEAR, IOCTL_SERIAL_SET_TIMEOUTS})
        EXPECT_EQ(ControlOnLastHandle(code, std::vector<UCHAR>(20, 0x41), 20), STATUS_ACCESS_DENIED)
            << std::hex << code;
    EXPECT_EQ(Bus(0xC0), sent);
    // Asking is for anyone who may open the port.
    for (ULONG code : {IOCTL_PRNSBP_READ_STATUS, IOCTL_PRNSBP_GET_DEVICE_ID,
                       IOCTL_PRNSBP_UNIT0_INFO_A, IOCTL_SERIAL_GET_TIMEOUTS})
        EXPECT_NE(ControlOnLastHandle(code, {}, 64), STATUS_ACCESS_DENIED) << std::hex << code;
    Close();
    EXPECT_EQ(ControlOnLastHandle(IOCTL_PRNSBP_WRITE, std::vector<UCHAR>(10, 0x41), 10),
              STATUS_SUCCESS);
    Close();
}

TEST_F(PortAccessTest, AProgramReachesThePortDriverOnlyWithWhatThePortAnswersForAnyone)
{
    ASSERT_EQ(OpenWith(kReadWrite), STATUS_SUCCESS);
    kmsim::WatchPassedRequests(driver);
    const ULONG kUnknown = 0x00220000;
    EXPECT_EQ(ControlOnLastHandle(kUnknown), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(ControlOnLastHandle(IOCTL_STORAGE_QUERY_PROPERTY, std::vector<UCHAR>(12, 0), 64),
              STATUS_SUCCESS);
    std::vector<UCHAR> passThrough(48, 0);
    NTSTATUS rw = ControlOnLastHandle(IOCTL_SCSI_PASS_THROUGH, passThrough, 48);
    // Only the two allowed reach the port driver.
    EXPECT_EQ(kmsim::PassedRequests().size(), 2u);
    // Pass-through needs read and write access, as its code says.
    ASSERT_EQ(OpenWith(kRead), STATUS_SUCCESS);
    EXPECT_EQ(ControlOnLastHandle(IOCTL_SCSI_PASS_THROUGH, passThrough, 48), STATUS_ACCESS_DENIED);
    Close();
    // A driver above (kernel mode) is trusted with everything.
    ASSERT_EQ(OpenWith(kReadWrite, "", false, KernelMode), STATUS_SUCCESS);
    EXPECT_EQ(ControlOnLastHandle(kUnknown), STATUS_INVALID_DEVICE_REQUEST); // the port's answer
    EXPECT_EQ(kmsim::PassedRequests().size(), 3u);
    kmsim::WatchPassedRequests(nullptr);
    (void)rw;
    Close();
    Close();
}

TEST_F(PortAccessTest, TheDevicesSecurityHoldsForANameBelowThePortToo)
{
    // An administrator restricted the port to administrators.
    kmsim::SetDeviceUserAccess(Fdo(0), 0);
    EXPECT_EQ(OpenWith(kReadWrite), STATUS_ACCESS_DENIED);
    EXPECT_EQ(OpenWith(kReadWrite, "\\x"), STATUS_ACCESS_DENIED);
    // Nor may an administrator open something below the port: there is none.
    EXPECT_EQ(OpenWith(kReadWrite, "\\x", true), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(kmsim::OpenFileCount(), 0u);
    EXPECT_EQ(OpenWith(kReadWrite, "", true), STATUS_SUCCESS);
    Close();
}

} // namespace
