// The session helper under GoogleTest: every test starts on a freshly reset
// machine and ends with the one end-of-run check, whatever the suite.
#pragma once

#include "kmsim.h"
#include "printer_session.h"

#include <gtest/gtest.h>

namespace rig
{

template <class Base = ::testing::Test>
class DriverRig : public Base, protected session::PrinterSession
{
  protected:
    void SetUp() override { kmsim::Reset(); }

    void TearDown() override
    {
        ShutDownClean();
        kmsim::Reset();
    }

    // Injected failures lifted, every printer off the bus, the driver
    // unloaded: nothing may be left.
    void ShutDownClean()
    {
        kmsim::ClearFailures();
        Shutdown();
        EXPECT_EQ(session::LeftBehind(), "");
    }
};

} // namespace rig
