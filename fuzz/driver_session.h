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
    std::string left = session::LeftBehind();
    if (!left.empty())
        std::fprintf(stderr, "left behind:\n%s", left.c_str());
    FUZZ_CHECK(left.empty(), "something left after unplug and unload");
    kmsim::Reset();
}

#endif
