// What `demo` and `print` share: writing a job through the port in pieces
// with a progress display, and the summary of what reached the bus.
#ifndef PRNSIM_SESSION_H
#define PRNSIM_SESSION_H

#include "machine.h"

#include <cstdio>
#include <string>
#include <vector>

namespace prnsim
{

struct WriteResult {
    size_t accepted = 0; // bytes the driver reported written
    size_t requests = 0; // write requests made
    size_t retries = 0;  // writes repeated after a short count
    NTSTATUS status = 0; // the last write's status
    bool complete = false;
};

// The handle the demo and `print` open the port with.
constexpr const char* kJobPort = "job";

// Writes `data` in pieces of `pieceSize` bytes on the handle open as
// kJobPort. A short count is retried with the rest after one simulated
// second, as a port monitor does, until the driver fails the write. `bar`:
// redraw a progress bar in place (a terminal); otherwise a progress line
// at every quarter.
WriteResult WriteInPieces(Machine& machine, PDEVICE_OBJECT port,
                          const std::vector<unsigned char>& data, size_t pieceSize, bool bar,
                          FILE* out);

// Transfers and CDBs by opcode, with the bytes each carried.
void PrintBusSummary(const std::vector<SeenEvent>& events, FILE* out);

// "1,234,567"
std::string Grouped(unsigned long long n);

} // namespace prnsim

#endif
