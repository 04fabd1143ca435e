// The session helper under GoogleTest: every test starts on a freshly reset
// machine and ends with the one end-of-run check, whatever the suite.
#pragma once

#include "kmsim.h"
#include "printer_session.h"

#include <gtest/gtest.h>

namespace rig
{

// The end of every driver test: injected failures lifted, every printer
// off the bus, the driver unloaded; nothing may be left.
inline void ShutDownClean(session::PrinterSession& s)
{
    kmsim::ClearFailures();
    s.Shutdown();
    EXPECT_EQ(session::LeftBehind(), "");
}

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

    void ShutDownClean() { rig::ShutDownClean(*this); }
};

} // namespace rig
