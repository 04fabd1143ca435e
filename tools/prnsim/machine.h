// The simulated machine prnsim drives: the simulated kernel with the real
// driver loaded, printers on the simulated SBP-2 bus, and the requests a
// user-mode program makes on their ports. Every command of prnsim goes
// through here, so the demo, `print` and scripts see the same machine.
#ifndef PRNSIM_MACHINE_H
#define PRNSIM_MACHINE_H

#include "gate.h"
#include "kmsim.h"
#include "sbp2sim.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace prnsim
{

constexpr LONGLONG kMs = 10000; // 100-ns units per millisecond

// How the PnP manager takes a new printer's units: which first, and which
// it only adds (AddDevice) without starting.
struct PlugOrder {
    bool unit1First = false;
    bool start[2] = {true, true};
};

// One printer as prnsim knows it: its bus object and the model behind it.
struct SimulatedPrinter {
    std::string name;
    sbp2sim::Printer* bus = nullptr;
    std::shared_ptr<sbp2sim::SimPrinter> model;
    std::shared_ptr<PrinterGate> gate; // in front of the model: holds SRBs
    size_t traceSeen = 0;              // bus events already shown
    size_t requestsSeen = 0;           // port driver requests already shown
    bool plugged = false;
};

// The outcome of one request, as the caller of the port sees it.
struct Outcome {
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    std::vector<unsigned char> data; // read, or device-control output
};

// An SRB as a driver above would send it through IRP_MJ_INTERNAL_DEVICE_CONTROL.
struct SrbRequest {
    std::vector<unsigned char> cdb;     // 1 to 16 bytes
    ULONG flags = 0;                    // SrbFlags; the direction comes from the data
    std::vector<unsigned char> dataOut; // sent to the device
    ULONG dataIn = 0;                   // bytes expected from it
    ULONG timeout = 90;                 // seconds
    UCHAR queueTag = 0;
    UCHAR queueAction = 0x20; // SRB_SIMPLE_TAG_REQUEST
    UCHAR senseLength = 18;
};

struct SrbOutcome : Outcome {
    UCHAR srbStatus = 0;
    ULONG transferred = 0; // DataTransferLength after completion
    std::vector<unsigned char> sense;
};

// A bus event with the printer it happened on.
struct SeenEvent {
    std::string printer;
    sbp2sim::BusEvent event;
};

class Machine
{
  public:
    Machine();
    ~Machine();

    void Boot(bool legacy);
    bool DriverLoaded() const { return driver_ != nullptr; }
    PDRIVER_OBJECT Driver() const { return driver_; }
    NTSTATUS LoadDriver();
    // False when the driver still has devices.
    bool UnloadDriver();
    void SetConfig(const std::string& name, ULONG value); // service-key REG_DWORD
    std::string ServiceKey() const;

    // Creates the printer's unit PDOs and lets the PnP manager add and
    // start the driver on each unit present; returns each unit's status.
    std::vector<NTSTATUS> Plug(const std::string& name, const sbp2sim::PrinterConfig& config,
                               const PlugOrder& order = PlugOrder());
    void Unplug(const std::string& name);
    void UnplugAll();
    SimulatedPrinter* Find(const std::string& name);
    // Lets every SRB held in any printer go on.
    void ReleaseAll();
    std::vector<std::string> PrinterNames() const;

    // Devices of a plugged printer: unit 0 or 1's FDO, its PDO, the child.
    PDEVICE_OBJECT Fdo(const std::string& name, int unit);
    PDEVICE_OBJECT Pdo(const std::string& name, int unit);
    PDEVICE_OBJECT Child(const std::string& name);

    // A program's handles, by the port named in the script ("p.0"): Open
    // adds one (a file object on the device), Close closes the port's last
    // one. The port's requests go on its last handle (`file`), or with none
    // open straight to the device, as only a kernel-mode caller could.
    Outcome Open(const std::string& port, PDEVICE_OBJECT device,
                 const kmsim::OpenOptions& options = kmsim::OpenOptions());
    Outcome Close(const std::string& port, PDEVICE_OBJECT device);
    PFILE_OBJECT HandleOf(const std::string& port) const;
    // Every handle still open, by port, and closing them as a program's
    // exit does; returns the ports whose handles were closed.
    std::vector<std::string> CloseAllHandles();
    // The removals the PnP manager sent since the last call, each as the
    // device a script names ("p.0", "p.child").
    std::vector<std::string> TakeRemovals();
    // Units of `name` whose removal waits for handles open on them.
    std::vector<std::string> RemovalsWaiting(const std::string& name);
    std::string LabelOf(PDEVICE_OBJECT pdo);
    Outcome Write(PDEVICE_OBJECT device, PFILE_OBJECT file, const std::vector<unsigned char>& data);
    Outcome Read(PDEVICE_OBJECT device, PFILE_OBJECT file, ULONG length);
    Outcome DeviceControl(PDEVICE_OBJECT device, PFILE_OBJECT file, ULONG code,
                          const std::vector<unsigned char>& in, ULONG outLength,
                          bool systemBuffer = true);
    SrbOutcome Internal(PDEVICE_OBJECT device, const SrbRequest& request);
    // IRP_MJ_SYSTEM_CONTROL with a WMI minor code.
    Outcome SystemControl(PDEVICE_OBJECT device, UCHAR minor);

    // Bus events since the last call, printers in plug order.
    std::vector<SeenEvent> NewBusEvents();
    // Claims, releases, storage queries and device-ID requests the port
    // driver answered since the last call, printers in plug order.
    std::vector<std::pair<std::string, sbp2sim::PortRequest>> NewPortRequests();
    // Milliseconds of simulated time since boot.
    double ElapsedMs() const;
    LONGLONG BootTime() const { return bootTime_; }

    // Registry keys and values, one line each, under `prefix` (all when empty).
    std::vector<std::string> RegistryDump(const std::string& prefix);

    // Everything unplugged and the driver unloaded; then what is left:
    // leaked pool by tag, open key handles, verifier reports. Empty when clean.
    std::vector<std::string> ShutdownAndCheck();

  private:
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<SimulatedPrinter>> printers_;
    // Printers unplugged and plugged in again: the old units may still wait
    // for a handle's close, and are named by what they were.
    std::vector<std::unique_ptr<SimulatedPrinter>> replaced_;
    // Started requests open and close beside the script's own commands.
    mutable std::mutex handleLock_;
    std::map<std::string, std::vector<PFILE_OBJECT>> handles_;
    std::vector<std::string> removals_; // guarded by handleLock_
    LONGLONG bootTime_ = 0;
};

// Why the driver keeps a unit of this PDO name out of its unit table (so
// that its printer's port can never be opened): no '&', no unit number 0 or
// 1 after the next-to-last '&', or a printer key (after the last '&')
// shorter than 16 characters. "" when it takes the unit.
std::string UnitNameRefusal(const std::string& pdoName);
// Why the driver cannot open the port of printer `name` now: a unit missing,
// without a device, out of the unit table, stopped or not started, or the
// two units not paired. "" when nothing the simulator can see stops it.
std::string WhyPortCannotOpen(Machine& m, const std::string& name);

// "[  12.0031 ms] p/1 SCSI C1 20 00 10 00 00 00 00 in  4096 -> SUCCESS 12 (status read)", with
// ", sense 18: 70 00 .." (SenseInfoBufferLength, then the bytes) when the sense is valid
std::string FormatBusEvent(const SeenEvent& seen, LONGLONG bootTime);
// The SRB fields the line above leaves out, for an SRB event:
// "function 00, flags 00000040, queue tag 0 action 20, time-out 90 s, CDB length 8, sense 18, CDB
// 8-15 00 .."
std::string FormatSrbDetail(const sbp2sim::BusEvent& e);
// "[   0.0000 ms] p/0 CLAIM flags 00000000, time-out 0 s -> STATUS_SUCCESS"
std::string FormatPortRequest(const std::string& printer, const sbp2sim::PortRequest& r,
                              LONGLONG bootTime);

// A registry value as text: a REG_DWORD as its number, a string as its text
// in quotes without terminators (RegistryText). "(not set)" when there is no
// such value.
std::string RegistryValueText(const std::string& key, const std::string& name);
// REG_SZ (or, multi, REG_MULTI_SZ) data as the reader of the value takes its
// text, in quotes, with a flag where the stored length is not what the text
// needs: "(no terminator)", "(38 bytes: 2 code units after the terminator)".
std::string RegistryText(const std::vector<unsigned char>& data, bool multi);

} // namespace prnsim

#endif
