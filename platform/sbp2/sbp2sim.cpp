// Simulated IEEE 1394 SBP-2 port driver: one PDO per logical unit of a
// simulated printer, answering what a printer class driver sends down.
#include "sbp2sim.h"

#include "explore.h"

#include "kmsim.h"

#include <ntddstor.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

// The request block of IOCTL_SBP2_REQUEST, as the driver lays it out.
#include "../../driver/sbp2req.h"

namespace sbp2sim
{

struct Printer {
    PrinterConfig config;
    Counters counters;
    PDEVICE_OBJECT pdo[2] = {nullptr, nullptr};
    bool gone = false;
    std::mutex mixLock;
    std::minstd_rand mix;
};

namespace
{

struct UnitExtension {
    Printer* printer;
    int unit;
    bool claimed;
};

const ULONG kTagLeaf = 0x32706253; // "Sbp2"

PDRIVER_OBJECT portDriver = nullptr;
std::vector<std::unique_ptr<Printer>> printers;
std::mutex queueLock;
std::condition_variable queueCv;
std::deque<std::function<void()>> queue;
std::thread worker;
bool stopping = false;
bool busy = false; // the completion thread is running a request
std::condition_variable idleCv;

// The completion thread outlives Shutdown, waiting for the next machine's
// requests (a thread per machine made short runs, a fuzzer's, slow); it
// stops with the process.
struct WorkerStopper {
    ~WorkerStopper()
    {
        {
            std::lock_guard<std::mutex> g(queueLock);
            stopping = true;
        }
        queueCv.notify_all();
        if (worker.joinable())
            worker.join();
    }
} workerStopper;

// Under the schedule explorer the completions run on a scheduled thread
// of their own, one per run, that the explorer interleaves with the rest;
// the queue needs no lock there, only one thread runs at a time.
std::deque<std::function<void()>> scheduledQueue;
bool scheduledBusy = false;

void ScheduledWorker()
{
    while (kmsim::Block([] { return !scheduledQueue.empty(); },
                        "the port driver's completion thread (idle)")) {
        std::function<void()> job = std::move(scheduledQueue.front());
        scheduledQueue.pop_front();
        scheduledBusy = true;
        job();
        scheduledBusy = false;
    }
}

UnitExtension* Ext(PDEVICE_OBJECT d)
{
    return (UnitExtension*)d->DeviceExtension;
}

void WorkerLoop()
{
    while (true) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> g(queueLock);
            busy = false;
            idleCv.notify_all();
            queueCv.wait(g, [] { return stopping || !queue.empty(); });
            if (queue.empty())
                return;
            job = std::move(queue.front());
            queue.pop_front();
            busy = true;
        }
        job();
    }
}

// Completes the request now, or pends it and completes it at DISPATCH_LEVEL
// on the completion thread.
bool Pends(Printer* p, PIRP irp)
{
    if (p->config.pends)
        return p->config.pends(IoGetCurrentIrpStackLocation(irp));
    if (p->config.mixedSeed != 0) {
        std::lock_guard<std::mutex> g(p->mixLock);
        return (p->mix() & 1) != 0;
    }
    return p->config.async;
}

NTSTATUS Finish(PDEVICE_OBJECT pdo, PIRP irp, std::function<NTSTATUS(ULONG_PTR*)> work)
{
    Printer* p = Ext(pdo)->printer;
    if (!Pends(p, irp)) {
        ULONG_PTR info = 0;
        NTSTATUS s = work(&info);
        irp->IoStatus.Status = s;
        irp->IoStatus.Information = info;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return s;
    }
    IoMarkIrpPending(irp);
    std::function<void()> job = [irp, work] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        ULONG_PTR info = 0;
        NTSTATUS s = work(&info);
        irp->IoStatus.Status = s;
        irp->IoStatus.Information = info;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        KeLowerIrql(old);
    };
    if (kmsim::Scheduled()) {
        scheduledQueue.push_back(std::move(job));
        kmsim::SpawnOnce("port", ScheduledWorker, true);
        kmsim::Point(kmsim::PointKind::kPort, irp);
        return STATUS_PENDING;
    }
    {
        std::lock_guard<std::mutex> g(queueLock);
        // The completion thread starts with the first request that pends:
        // a process of synchronous printers never makes one.
        if (!worker.joinable())
            worker = std::thread(WorkerLoop);
        queue.push_back(std::move(job));
    }
    queueCv.notify_one();
    return STATUS_PENDING;
}

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR info = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

PrinterModel* ModelOf(Printer* p)
{
    static PrinterModel fallback;
    PrinterModel* model = p->config.model.get();
    return model ? model : &fallback;
}

// SRBs a hook keeps waiting (the printer has not answered them), across
// printers: the port driver's timer and the bus watch them. An SRB the port
// driver ends is on the trace at once, from the thread that moved the clock
// or pulled the printer off the bus, as the platform's timer ends it on its
// own; its sender completes it once the hook lets it go.
struct Kept {
    Printer* printer;
    UnitRequest request;
    BusEvent::Ending ended; // kAnswered until the port driver ends it
};
std::mutex keptLock;
std::vector<Kept*> kept;

void EndKept(Kept* k, BusEvent::Ending how)
{
    k->ended = how;
    if (k->request.srb == NULL)
        return;
    bool timedOut = how == BusEvent::kTimedOut;
    k->request.srb->SrbStatus = timedOut ? SRB_STATUS_TIMEOUT : SRB_STATUS_NO_DEVICE;
    ModelOf(k->printer)
        ->Unanswered(k->request, how, timedOut ? STATUS_IO_TIMEOUT : STATUS_DEVICE_DOES_NOT_EXIST);
}

// The request timer: the clock moved.
void LookAtTimers()
{
    std::lock_guard<std::mutex> g(keptLock);
    for (Kept* k : kept)
        if (k->ended == BusEvent::kAnswered && TimedOut(k->request))
            EndKept(k, BusEvent::kTimedOut);
}

void Keep(Kept* k)
{
    static int watch = kmsim::WatchClock(LookAtTimers);
    (void)watch;
    std::lock_guard<std::mutex> g(keptLock);
    kept.push_back(k);
}

// Let go by its hook: false when the port driver had ended it, or ends it
// now (its time came, or the printer left, while no clock or bus watch saw).
bool Unkeep(Kept* k)
{
    std::lock_guard<std::mutex> g(keptLock);
    kept.erase(std::find(kept.begin(), kept.end(), k));
    if (k->ended == BusEvent::kAnswered && k->printer->gone)
        EndKept(k, BusEvent::kOffBus);
    else if (k->ended == BusEvent::kAnswered && TimedOut(k->request))
        EndKept(k, BusEvent::kTimedOut);
    return k->ended == BusEvent::kAnswered;
}

// An SRB the port driver ended while the printer kept it: off the bus it
// fails at once, as every request to a unit that is gone does; timed out it
// completes as the port driver completes every request.
NTSTATUS EndUnanswered(PDEVICE_OBJECT pdo, PIRP irp, bool offBus)
{
    if (offBus)
        return CompleteNow(irp, STATUS_DEVICE_DOES_NOT_EXIST);
    return Finish(pdo, irp, [](ULONG_PTR* info) {
        *info = 0;
        return (NTSTATUS)STATUS_IO_TIMEOUT;
    });
}

// The work keeps only the device and the request (small enough for
// std::function to hold without allocating); the rest is read from them
// when it runs. The printer, and with it its model, lives until Shutdown,
// which waits for pended requests.
NTSTATUS ModelRequest(PDEVICE_OBJECT pdo, PIRP irp)
{
    Printer* p = Ext(pdo)->printer;
    if (p->config.onArrival) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        PSCSI_REQUEST_BLOCK srb =
            stack->MajorFunction == IRP_MJ_SCSI ? stack->Parameters.Scsi.Srb : NULL;
        Kept k{p, UnitRequest{Ext(pdo)->unit, stack->MajorFunction, irp, stack, srb, kmsim::Now()},
               BusEvent::kAnswered};
        Keep(&k);
        p->config.onArrival(k.request);
        if (!Unkeep(&k))
            return EndUnanswered(pdo, irp, k.ended == BusEvent::kOffBus);
    }
    // What the completion needs is taken now: a unit pulled off the bus
    // may have lost its PDO by the time a pended request completes.
    int unit = Ext(pdo)->unit;
    return Finish(pdo, irp, [p, unit, irp](ULONG_PTR* info) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        PSCSI_REQUEST_BLOCK srb =
            stack->MajorFunction == IRP_MJ_SCSI ? stack->Parameters.Scsi.Srb : NULL;
        UnitRequest r{unit, stack->MajorFunction, irp, stack, srb};
        return ModelOf(p)->Handle(r, info);
    });
}

// Recorded at arrival; the status is filled in when the request completes.
PortRequest* Record(PDEVICE_OBJECT pdo, PortRequest::Kind kind, ULONG a, ULONG b, ULONG c,
                    ULONG d = 0)
{
    PortRequest r;
    r.kind = kind;
    r.unit = Ext(pdo)->unit;
    r.time = kmsim::Now();
    r.field[0] = a;
    r.field[1] = b;
    r.field[2] = c;
    r.field[3] = d;
    std::vector<PortRequest>& list = Ext(pdo)->printer->counters.requests;
    list.push_back(r);
    return &list.back();
}

NTSTATUS NTAPI DispatchScsi(PDEVICE_OBJECT pdo, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PSCSI_REQUEST_BLOCK srb = stack->Parameters.Scsi.Srb;
    UnitExtension* ext = Ext(pdo);
    Printer* p = ext->printer;
    if (srb == NULL)
        return CompleteNow(irp, STATUS_INVALID_PARAMETER);
    switch (srb->Function) {
    case SRB_FUNCTION_CLAIM_DEVICE: {
        p->counters.claims[ext->unit]++;
        NTSTATUS s = p->config.claimStatus;
        if (NT_SUCCESS(s) && ext->claimed)
            s = STATUS_DEVICE_BUSY; // one claim at a time
        Record(pdo, PortRequest::kClaim, srb->SrbFlags, srb->TimeOutValue, srb->Length)->status = s;
        return Finish(pdo, irp, [ext, s](ULONG_PTR*) {
            if (NT_SUCCESS(s))
                ext->claimed = true;
            return s;
        });
    }
    case SRB_FUNCTION_RELEASE_DEVICE:
        p->counters.releases[ext->unit]++;
        Record(pdo, PortRequest::kRelease, srb->SrbFlags, srb->TimeOutValue, srb->Length);
        return Finish(pdo, irp, [ext](ULONG_PTR*) {
            ext->claimed = false;
            return STATUS_SUCCESS;
        });
    case SRB_FUNCTION_EXECUTE_SCSI:
        p->counters.scsi[ext->unit]++;
        if (p->gone) {
            srb->SrbStatus = SRB_STATUS_NO_DEVICE;
            return CompleteNow(irp, STATUS_DEVICE_DOES_NOT_EXIST);
        }
        return ModelRequest(pdo, irp);
    default:
        srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
        return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT pdo, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UnitExtension* ext = Ext(pdo);
    if (stack->MajorFunction == IRP_MJ_CREATE)
        ext->printer->counters.creates[ext->unit]++;
    else
        ext->printer->counters.closes[ext->unit]++;
    if (ext->printer->gone)
        return CompleteNow(irp, STATUS_DEVICE_DOES_NOT_EXIST);
    return ModelRequest(pdo, irp);
}

std::vector<unsigned char> AdapterDescriptor(const PrinterConfig& c)
{
    STORAGE_ADAPTER_DESCRIPTOR d;
    memset(&d, 0, sizeof d);
    d.Version = sizeof d;
    d.Size = sizeof d;
    d.MaximumTransferLength = 0x10000;
    d.MaximumPhysicalPages = 17;
    d.AlignmentMask = 3;
    d.BusType = c.is1394 ? BusType1394 : BusTypeScsi;
    d.BusMajorVersion = 1;
    std::vector<unsigned char> out((unsigned char*)&d, (unsigned char*)&d + sizeof d);
    return out;
}

std::vector<unsigned char> DeviceDescriptor(const PrinterConfig& c)
{
    STORAGE_DEVICE_DESCRIPTOR d;
    memset(&d, 0, sizeof d);
    std::vector<unsigned char> out(sizeof d);
    auto append = [&](const std::string& s) {
        ULONG at = (ULONG)out.size();
        out.insert(out.end(), s.begin(), s.end());
        out.push_back(0);
        return at;
    };
    d.Version = sizeof d;
    d.DeviceType = 2; // printer
    d.VendorIdOffset = append(c.vendor);
    d.ProductIdOffset = append(c.product);
    d.ProductRevisionOffset = append("1.00");
    d.SerialNumberOffset = 0;
    d.BusType = c.is1394 ? BusType1394 : BusTypeScsi;
    d.Size = (ULONG)out.size();
    memcpy(out.data(), &d, sizeof d);
    if (c.deviceDescriptorSize != 0 && c.deviceDescriptorSize < out.size()) {
        out.resize(c.deviceDescriptorSize);
        ULONG size = c.deviceDescriptorSize;
        memcpy(out.data() + 4, &size, out.size() >= 8 ? 4 : 0);
    }
    return out;
}

NTSTATUS QueryProperty(PDEVICE_OBJECT pdo, PIRP irp, PIO_STACK_LOCATION stack)
{
    Printer* p = Ext(pdo)->printer;
    p->counters.storageQueries++;
    ULONG inLen = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLen = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PSTORAGE_PROPERTY_QUERY q = (PSTORAGE_PROPERTY_QUERY)irp->AssociatedIrp.SystemBuffer;
    if (q == NULL || inLen < sizeof(STORAGE_PROPERTY_ID) * 2) {
        Record(pdo, PortRequest::kStorageQuery, 0, 0, outLen)->status = STATUS_INVALID_PARAMETER;
        return CompleteNow(irp, STATUS_INVALID_PARAMETER);
    }
    // The caller's bytes may hold any value: read them as numbers, not enums.
    ULONG queryType, propertyId;
    memcpy(&queryType, &q->QueryType, sizeof queryType);
    memcpy(&propertyId, &q->PropertyId, sizeof propertyId);
    PortRequest* record = Record(pdo, PortRequest::kStorageQuery, propertyId, queryType, outLen);
    record->status = p->config.storageStatus;
    if (queryType != PropertyStandardQuery ||
        (propertyId != StorageAdapterProperty && propertyId != StorageDeviceProperty))
        return CompleteNow(irp, record->status = STATUS_NOT_SUPPORTED);
    if (outLen < sizeof(STORAGE_DESCRIPTOR_HEADER))
        return CompleteNow(irp, record->status = STATUS_INVALID_PARAMETER);
    STORAGE_PROPERTY_ID id = (STORAGE_PROPERTY_ID)propertyId;
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    return Finish(pdo, irp, [p, id, outLen, buffer](ULONG_PTR* info) {
        if (!NT_SUCCESS(p->config.storageStatus))
            return p->config.storageStatus;
        std::vector<unsigned char> d = id == StorageAdapterProperty ? AdapterDescriptor(p->config)
                                                                    : DeviceDescriptor(p->config);
        size_t n = d.size() < outLen ? d.size() : outLen;
        memcpy(buffer, d.data(), n);
        *info = n;
        return STATUS_SUCCESS;
    });
}

NTSTATUS DeviceIdLeaf(PDEVICE_OBJECT pdo, PIRP irp, PIO_STACK_LOCATION stack)
{
    Printer* p = Ext(pdo)->printer;
    p->counters.deviceIdRequests++;
    PSBP2_REQUEST req = (PSBP2_REQUEST)stack->Parameters.Others.Argument1;
    if (req != NULL)
        Record(pdo, PortRequest::kDeviceId, req->RequestNumber, req->Flags, req->LeafFlags,
               req->Key)
            ->status = p->config.deviceIdStatus;
    if (req == NULL || req->RequestNumber != SBP2_REQUEST_RETRIEVE_TEXT_LEAFS ||
        req->Key != SBP2_DEVICE_ID_LEAF_KEY)
        return CompleteNow(irp, STATUS_INVALID_PARAMETER);
    return Finish(pdo, irp, [p, req](ULONG_PTR*) {
        if (!NT_SUCCESS(p->config.deviceIdStatus))
            return p->config.deviceIdStatus;
        std::vector<unsigned char> leaf;
        if (p->config.rawLeaf) {
            leaf = *p->config.rawLeaf;
        } else {
            const std::string& id = p->config.deviceId;
            ULONG quadlets = (ULONG)((8 + id.size() + 1 + 3) / 4);
            leaf = {(unsigned char)(quadlets >> 8),
                    (unsigned char)quadlets,
                    0,
                    0, // length, CRC
                    0,
                    0,
                    0,
                    0, // descriptor
                    0,
                    0,
                    0,
                    0}; // language
            leaf.insert(leaf.end(), id.begin(), id.end());
            leaf.push_back(0);
        }
        PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, leaf.size(), kTagLeaf);
        if (buffer == NULL)
            return (NTSTATUS)STATUS_INSUFFICIENT_RESOURCES;
        if (!leaf.empty())
            memcpy(buffer, leaf.data(), leaf.size());
        req->Buffer = buffer;
        req->Length = (ULONG)leaf.size();
        return (NTSTATUS)STATUS_SUCCESS;
    });
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT pdo, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_STORAGE_QUERY_PROPERTY:
        return QueryProperty(pdo, irp, stack);
    case IOCTL_SBP2_REQUEST:
        return DeviceIdLeaf(pdo, irp, stack);
    default:
        return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

PWCHAR PoolString(const std::string& s, bool multi)
{
    size_t n = s.size() + (multi ? 2 : 1);
    PWCHAR w = (PWCHAR)ExAllocatePoolWithTag(PagedPool, n * 2, kmsim::kTagString);
    if (w == NULL)
        return NULL;
    for (size_t i = 0; i < s.size(); i++)
        w[i] = (WCHAR)(unsigned char)s[i];
    for (size_t i = s.size(); i < n; i++)
        w[i] = 0;
    return w;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT pdo, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UnitExtension* ext = Ext(pdo);
    Printer* p = ext->printer;
    p->counters.pnp[ext->unit].push_back(stack->MinorFunction);
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR info = irp->IoStatus.Information;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        CompleteNow(irp, STATUS_SUCCESS, info);
        if (p->gone) {
            // The unit is off the bus: its PDO goes with this removal.
            p->pdo[ext->unit] = nullptr;
            IoDeleteDevice(pdo);
        }
        return STATUS_SUCCESS;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->Removable = 1;
        caps->SurpriseRemovalOK = 1;
        caps->UniqueID = 1;
        caps->Address = (ULONG)ext->unit;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            PDEVICE_RELATIONS r = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(
                PagedPool, sizeof(DEVICE_RELATIONS), kmsim::kTagString);
            if (r == NULL) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            r->Count = 1;
            r->Objects[0] = pdo;
            ObReferenceObject(pdo);
            info = (ULONG_PTR)r;
            status = STATUS_SUCCESS;
        }
        break; // other relations: a unit has no children; keep what is there
    case IRP_MN_QUERY_ID: {
        std::string unit = std::to_string(ext->unit);
        std::string text;
        bool multi = false;
        switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
            text = "SBP2\\" + p->config.vendor + "&" + p->config.product + "&LUN" + unit;
            break;
        case BusQueryHardwareIDs:
            text = "SBP2\\" + p->config.vendor + "&" + p->config.product + "&LUN" + unit;
            multi = true;
            break;
        case BusQueryInstanceID:
            text = p->config.key + "&" + unit;
            break;
        default:
            break;
        }
        if (!text.empty()) {
            PWCHAR w = PoolString(text, multi);
            status = w ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
            info = (ULONG_PTR)w;
        }
        break;
    }
    case IRP_MN_QUERY_DEVICE_TEXT:
        if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
            PWCHAR w = PoolString(p->config.vendor + " " + p->config.product, false);
            status = w ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
            info = (ULONG_PTR)w;
        }
        break;
    default:
        break; // not ours: the status stays as it came
    }
    return CompleteNow(irp, status, info);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT pdo, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UnitExtension* ext = Ext(pdo);
    ext->printer->counters.power[ext->unit].push_back(stack->MinorFunction);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
        status = STATUS_SUCCESS;
    PoStartNextPowerIrp(irp);
    return CompleteNow(irp, status, irp->IoStatus.Information);
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT pdo, PIRP irp)
{
    UnitExtension* ext = Ext(pdo);
    ext->printer->counters.systemControl[ext->unit].push_back(
        IoGetCurrentIrpStackLocation(irp)->MinorFunction);
    return CompleteNow(irp, irp->IoStatus.Status, irp->IoStatus.Information);
}

void EnsureStarted()
{
    if (portDriver)
        return;
    portDriver = kmsim::CreateDriverObject("sbp2port");
    portDriver->MajorFunction[IRP_MJ_SCSI] = DispatchScsi;
    portDriver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    portDriver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    portDriver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    portDriver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    portDriver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    portDriver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
}

} // namespace

bool TimedOut(const UnitRequest& request)
{
    const LONGLONG kSecond = 10000000; // 100-ns units
    return request.srb != NULL && request.srb->TimeOutValue != 0 &&
           kmsim::Now() - request.arrived >= (LONGLONG)request.srb->TimeOutValue * kSecond;
}

size_t CompletionsInProgress()
{
    std::lock_guard<std::mutex> g(queueLock);
    return queue.size() + (busy ? 1 : 0) + scheduledQueue.size() + (scheduledBusy ? 1 : 0);
}

PDRIVER_OBJECT PortDriver()
{
    EnsureStarted();
    return portDriver;
}

std::string UnitName(const PrinterConfig& config, int unit)
{
    if (!config.unitName[unit].empty())
        return config.unitName[unit];
    return "\\Device\\Sbp2\\" + config.vendor + "&" + config.product + "&" + std::to_string(unit) +
           "&" + config.key;
}

Printer* Plug(const PrinterConfig& config)
{
    EnsureStarted();
    printers.push_back(std::make_unique<Printer>());
    Printer* p = printers.back().get();
    p->config = config;
    p->mix.seed(config.mixedSeed);
    for (int unit = 0; unit < 2; unit++) {
        if (!config.unitPresent[unit])
            continue;
        std::string name = UnitName(config, unit);
        // A printer plugged in again while its old unit still waits for its
        // removal (a handle open on it) gets a unit of a new name; the
        // slot and the key, the last two parts, stay what they were.
        for (int again = 2; config.unitName[unit].empty() && kmsim::FindDevice(name) != nullptr;
             again++)
            name = "\\Device\\Sbp2\\" + config.vendor + "&" + config.product + "#" +
                   std::to_string(again) + "&" + std::to_string(unit) + "&" + config.key;
        if (name != UnitName(config, unit))
            p->config.unitName[unit] = name;
        std::u16string w = kmsim::U16(name);
        std::vector<WCHAR> buffer(w.begin(), w.end());
        buffer.push_back(0);
        UNICODE_STRING us;
        RtlInitUnicodeString(&us, buffer.data());
        PDEVICE_OBJECT pdo = NULL;
        NTSTATUS s = IoCreateDevice(portDriver, sizeof(UnitExtension), &us,
                                    FILE_DEVICE_MASS_STORAGE, 0, FALSE, &pdo);
        if (!NT_SUCCESS(s)) {
            kmsim::Violation("sbp2sim: cannot create unit PDO " + name);
            continue;
        }
        UnitExtension* ext = Ext(pdo);
        ext->printer = p;
        ext->unit = unit;
        ext->claimed = false;
        pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        p->pdo[unit] = pdo;
        kmsim::ReportPdo(pdo);
    }
    return p;
}

void SetCompletion(PrinterConfig& config, Completion mode, unsigned seed)
{
    config.async = mode == Completion::kAsync;
    config.mixedSeed = mode == Completion::kMixed ? seed : 0;
}

const char* CompletionName(Completion mode)
{
    switch (mode) {
    case Completion::kSync:
        return "Sync";
    case Completion::kAsync:
        return "Async";
    default:
        return "Mixed";
    }
}

PDEVICE_OBJECT UnitPdo(Printer* printer, int unit)
{
    return printer->pdo[unit];
}
Counters& CountersOf(Printer* printer)
{
    return printer->counters;
}
PrinterConfig& ConfigOf(Printer* printer)
{
    return printer->config;
}

// What the printer kept fails now, before anything else sees the bus.
void TakeOffBus(Printer* printer)
{
    std::lock_guard<std::mutex> g(keptLock);
    printer->gone = true;
    for (Kept* k : kept)
        if (k->printer == printer && k->ended == BusEvent::kAnswered)
            EndKept(k, BusEvent::kOffBus);
}

void Unplug(Printer* printer)
{
    TakeOffBus(printer);
    for (int unit = 0; unit < 2; unit++) {
        PDEVICE_OBJECT pdo = printer->pdo[unit];
        if (pdo == nullptr)
            continue;
        if (kmsim::IsReported(pdo) && pdo->AttachedDevice != NULL) {
            kmsim::SurpriseRemove(pdo);
        } else {
            kmsim::ForgetPdo(pdo);
            printer->pdo[unit] = nullptr;
            IoDeleteDevice(pdo);
        }
    }
}

void Shutdown()
{
    if (!portDriver)
        return;
    if (kmsim::Scheduled())
        kmsim::Block([] { return scheduledQueue.empty() && !scheduledBusy; },
                     "sbp2sim shutdown: for the pended requests");
    {
        // Every pended request completed before anything goes.
        std::unique_lock<std::mutex> g(queueLock);
        idleCv.wait(g, [] { return queue.empty() && !busy; });
    }
    for (auto& p : printers)
        for (int unit = 0; unit < 2; unit++)
            if (p->pdo[unit]) {
                if (p->pdo[unit]->AttachedDevice != NULL)
                    kmsim::Violation("sbp2sim: shutdown with a driver still attached to a unit");
                kmsim::ForgetPdo(p->pdo[unit]);
                IoDeleteDevice(p->pdo[unit]);
                p->pdo[unit] = nullptr;
            }
    printers.clear();
    kmsim::DeleteDriverObject(portDriver);
    portDriver = nullptr;
}

} // namespace sbp2sim
