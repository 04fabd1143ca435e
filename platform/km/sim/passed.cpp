// Where a function driver's passed-down requests went: IoCallDriver reports
// each hop, the completion walk the status each was completed with below
// the driver. Only a request the watched driver received counts; what it
// built or allocated itself is its own.
#include "verifier.h"

#include <map>
#include <utility>

namespace kmsim
{

std::atomic<PDRIVER_OBJECT> g_watchedDriver{nullptr};

namespace
{
std::set<PIRP> received;                         // sent to a device of the watched driver
std::map<std::pair<PIRP, CHAR>, size_t> pending; // hop's stack location -> entry
std::vector<PassedRequest> passed;

PDEVICE_OBJECT StackBottom(PDEVICE_OBJECT device)
{
    while (Info(device)->attachedTo != nullptr)
        device = Info(device)->attachedTo;
    return device;
}

std::string DeviceText(PDEVICE_OBJECT device)
{
    std::string name = DeviceName(device);
    return name.empty() ? DriverPath(device->DriverObject) : name;
}
} // namespace

void WatchPassedRequests(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    g_watchedDriver = driver;
    received.clear();
    pending.clear();
}

std::vector<PassedRequest> PassedRequests()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return passed;
}

void PassedHop(PIRP irp, PDEVICE_OBJECT target)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    PDRIVER_OBJECT watched = g_watchedDriver;
    if (target->DriverObject == watched) {
        received.insert(irp);
        return;
    }
    if (CurrentDriver() != watched || !received.count(irp))
        return;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PassedRequest r;
    r.time = Now();
    r.target = DeviceText(target);
    PDEVICE_OBJECT bottom = StackBottom(target);
    r.stackBottom = DeviceName(bottom);
    r.toStackBottom = bottom == target;
    r.major = stack->MajorFunction;
    r.minor = stack->MinorFunction;
    if (r.major == IRP_MJ_DEVICE_CONTROL)
        r.code = stack->Parameters.DeviceIoControl.IoControlCode;
    pending[{irp, irp->CurrentLocation}] = passed.size();
    passed.push_back(r);
}

void PassedCompleting(PIRP irp)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto it = pending.find({irp, irp->CurrentLocation});
    if (it == pending.end())
        return;
    passed[it->second].completed = true;
    passed[it->second].status = irp->IoStatus.Status;
    pending.erase(it);
}

void PassedIrpFreed(PIRP irp)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    received.erase(irp);
    for (auto it = pending.lower_bound({irp, CHAR(-128)});
         it != pending.end() && it->first.first == irp;)
        it = pending.erase(it);
}

void ResetPassed()
{
    WatchPassedRequests(nullptr);
    std::lock_guard<std::recursive_mutex> g(g_lock);
    passed.clear();
}

} // namespace kmsim
