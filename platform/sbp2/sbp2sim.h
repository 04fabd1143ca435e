// Control API of the simulated IEEE 1394 SBP-2 port driver, for tests and
// tools. A simulated printer shows up as two unit PDOs; the PnP manager of
// the simulated kernel (kmsim) then adds and starts the function driver.
#ifndef PRN_SBP2_SBP2SIM_H
#define PRN_SBP2_SBP2SIM_H

#include "printer.h"

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace sbp2sim
{

struct PrinterConfig {
    std::string key = "00A0B8C9D0E1F203"; // after the last '&' of both unit names
    // Full PDO names; empty gives "\Device\Sbp2\QXZR&P-1&<unit>&<key>".
    std::string unitName[2];
    bool unitPresent[2] = {true, true};
    bool is1394 = true; // adapter BusType 4, else SCSI (1)
    std::string vendor = "QXZR";
    std::string product = "P-1";
    std::string deviceId = "MFG:Acme;MDL:P-1;CLS:PRINTER;";
    std::optional<std::vector<unsigned char>> rawLeaf; // replaces header + device ID
    NTSTATUS deviceIdStatus = STATUS_SUCCESS;          // failure of the ID request
    NTSTATUS claimStatus = STATUS_SUCCESS;             // refuse the claim
    NTSTATUS storageStatus = STATUS_SUCCESS;           // failure of the descriptor queries
    // The device descriptor claims only this many bytes (0: all of it), as a
    // port driver with a short descriptor would.
    ULONG deviceDescriptorSize = 0;
    bool async = false; // complete on the port driver's own thread with STATUS_PENDING
    // Non-zero: every request independently completes at once or as with
    // async, as a generator seeded with this value decides; the same seed
    // gives the same choices for the same sequence of requests.
    unsigned mixedSeed = 0;
    // Decides for each request whether it pends (true) or completes at once;
    // takes precedence over async and mixedSeed.
    std::function<bool(PIO_STACK_LOCATION)> pends;
    std::shared_ptr<PrinterModel> model; // null: the default model
    // Called in the sender's thread for every SRB, create and close before
    // the request goes to the model, whatever the completion mode (a tool
    // holds a request in the printer here: while it keeps an SRB, the
    // printer has not answered it, and the port driver's request timer runs,
    // see TimedOut).
    std::function<void(const UnitRequest&)> onArrival;
};

// The port driver's request timer, as the platform's runs one per SRB: an
// SRB the printer has not answered once its TimeOutValue seconds have
// passed on the simulated clock since it arrived has timed out (an SRB with
// TimeOutValue 0 has no timer). A hook that keeps an SRB waiting
// (onArrival) lets it go once this holds (kmsim::WatchClock tells it when
// to look again); the port driver then completes it with
// SRB_STATUS_TIMEOUT and STATUS_IO_TIMEOUT, the printer never sees it, and
// the printer model's Unanswered puts it on the trace.
bool TimedOut(const UnitRequest& request);

// A request the port driver answered itself (not the printer), as it came.
struct PortRequest {
    enum Kind { kClaim, kRelease, kStorageQuery, kDeviceId };
    Kind kind = kClaim;
    int unit = 0;
    LONGLONG time = 0; // simulated system time at arrival
    NTSTATUS status = 0;
    // claim, release: the SRB's SrbFlags, TimeOutValue, Length
    // storage query: PropertyId, QueryType, OutputBufferLength
    // device ID: RequestNumber, Flags, LeafFlags, Key
    ULONG field[4] = {0, 0, 0, 0};
};

// The three ways a suite runs the port driver: every request completed
// before the call returns, every request pended, or a seeded mix of both.
enum class Completion { kSync, kAsync, kMixed };
constexpr unsigned kMixedSeed = 0x5EED;
void SetCompletion(PrinterConfig& config, Completion mode, unsigned seed = kMixedSeed);
const char* CompletionName(Completion mode); // "Sync", "Async", "Mixed"
inline void PrintTo(Completion mode, std::ostream* os)
{
    *os << CompletionName(mode);
}

struct Counters {
    int claims[2] = {0, 0};
    int releases[2] = {0, 0};
    int creates[2] = {0, 0};
    int closes[2] = {0, 0};
    int scsi[2] = {0, 0};
    int storageQueries = 0;
    int deviceIdRequests = 0;
    std::vector<UCHAR> pnp[2]; // minor codes seen by each unit PDO
    std::vector<UCHAR> power[2];
    std::vector<UCHAR> systemControl[2];
    std::vector<PortRequest> requests; // claims, releases, queries, device-ID requests
};

struct Printer;

// Creates the unit PDOs (reported to the PnP manager, not yet started).
// The name a unit's PDO is created with: the configured one or the default.
std::string UnitName(const PrinterConfig& config, int unit);
Printer* Plug(const PrinterConfig& config);
PDEVICE_OBJECT UnitPdo(Printer* printer, int unit);
Counters& CountersOf(Printer* printer);
PrinterConfig& ConfigOf(Printer* printer); // may be changed between requests
// The printer is pulled off the bus: surprise removal and removal of both
// units as the platform orders them (on Windows 2000 and later a removal
// waits for the handles open on the unit); the PDOs are deleted at their
// removal.
void Unplug(Printer* printer);
// The printer leaves the bus: from now on every request to its units
// fails as to a unit that is gone (SRB_STATUS_NO_DEVICE), a request a hook
// kept waiting too once it goes on. Unplug does this first, then the PnP
// manager's part.
void TakeOffBus(Printer* printer);
// Deletes what is left (PDOs without a function driver) once the
// completion thread has finished every pended request (the thread stays,
// waiting for the next machine). Call before checking for leaks.
void Shutdown();
PDRIVER_OBJECT PortDriver();
// Requests pended to the completion thread and not completed yet.
size_t CompletionsInProgress();

} // namespace sbp2sim

#endif
