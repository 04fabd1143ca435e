// What the driver fuzzers share: a freshly booted simulated machine per
// input, and the checks every run ends with (nothing left in the pool, no
// device left over, no rule of the kernel broken).
#ifndef FUZZ_DRIVER_SESSION_H
#define FUZZ_DRIVER_SESSION_H

#include "fuzz_input.h"
#include "printer_session.h"

#include <cstdio>

inline void DriverFuzzCheckClean(session::PrinterSession& s)
{
    s.Shutdown();
    for (const std::string& v : kmsim::Violations())
        std::fprintf(stderr, "violation: %s\n", v.c_str());
    FUZZ_CHECK(kmsim::Violations().empty(), "a rule of the kernel was broken");
    std::string leaks = kmsim::LeakReport();
    if (!leaks.empty())
        std::fprintf(stderr, "left in the pool:\n%s", leaks.c_str());
    FUZZ_CHECK(leaks.empty(), "pool left after unplug and unload");
    FUZZ_CHECK(kmsim::LiveDeviceCount() == 0, "devices left after unplug and unload");
    kmsim::Reset();
}

#endif
