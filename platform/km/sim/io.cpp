// Device objects and their namespace, symbolic links, object references,
// IRPs with stack locations and completion, MDLs.
#include "explore.h"
#include "verifier.h"

#include <atomic>
#include <map>
#include <set>

namespace kmsim
{

namespace
{
std::map<std::u16string, PDEVICE_OBJECT> devicesByName; // lower-case name
std::map<std::u16string, std::u16string> links;         // lower-case link -> target
std::set<PDEVICE_OBJECT> liveDevices;
std::set<PIRP> liveIrps;
std::set<PIRP> builtIrps; // IoBuildDeviceIoControlRequest: the I/O manager finishes them
struct BuiltInfo {
    PVOID outputBuffer;
    ULONG outputLength;
    ULONG method;
};
std::map<PIRP, BuiltInfo> builtInfo;
std::set<PIRP> powerStarted;
// Entries of builtIrps and powerStarted: a retail kernel frees an IRP
// without the lock when both are empty.
std::atomic<size_t> trackedIrps{0};
size_t powerWithoutStartNext = 0;
LONG extraReferences = 0;
NTSTATUS linkFailure = STATUS_SUCCESS;
NTSTATUS referenceFailure = STATUS_SUCCESS;
} // namespace

void FailSymbolicLinks(NTSTATUS status)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    linkFailure = status;
}

void FailReferencesByPointer(NTSTATUS status)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    referenceFailure = status;
}

DeviceInfo* Info(PDEVICE_OBJECT device)
{
    return (DeviceInfo*)device->DeviceObjectExtension;
}

bool IsLiveDevice(PVOID object)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return liveDevices.count((PDEVICE_OBJECT)object) != 0;
}

std::u16string ToU16(PCWSTR s)
{
    std::u16string r;
    if (s)
        for (; *s; s++)
            r.push_back((char16_t)*s);
    return r;
}

std::u16string ToU16(PCUNICODE_STRING s)
{
    std::u16string r;
    if (s && s->Buffer)
        for (USHORT i = 0; i < s->Length / 2; i++)
            r.push_back((char16_t)s->Buffer[i]);
    return r;
}

std::u16string Lower(const std::u16string& s)
{
    std::u16string r = s;
    for (auto& c : r)
        if (c >= u'A' && c <= u'Z')
            c = (char16_t)(c - u'A' + u'a');
    return r;
}

std::u16string U16(const std::string& ascii)
{
    std::u16string r;
    for (unsigned char c : ascii)
        r.push_back((char16_t)c);
    return r;
}

std::string Narrow(const std::u16string& s)
{
    std::string r;
    for (char16_t c : s)
        r.push_back(c < 0x80 ? (char)c : '?');
    return r;
}

std::string Narrow(const WCHAR* s)
{
    return Narrow(ToU16(s));
}
std::string Narrow(const UNICODE_STRING& s)
{
    return Narrow(ToU16(&s));
}

static void FreeDeviceNow(PDEVICE_OBJECT device)
{
    RaceDeviceFreed(device);
    liveDevices.erase(device);
    delete Info(device);
    PoolFree(device);
}

PDEVICE_OBJECT DeviceOfExtension(const void* p, size_t* offset)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    // The extension follows its device object: the one to look at is the
    // last that starts at or below p.
    const UCHAR* at = (const UCHAR*)p;
    auto it = liveDevices.upper_bound((PDEVICE_OBJECT)p);
    if (it == liveDevices.begin())
        return nullptr;
    PDEVICE_OBJECT d = *--it;
    const UCHAR* start = (const UCHAR*)(d + 1);
    if (d->DeviceExtension == NULL || at < start || at >= (const UCHAR*)d + d->Size)
        return nullptr;
    *offset = (size_t)(at - start);
    return d;
}

bool ExtensionOffsetOf(const void* p, size_t* offset)
{
    return DeviceOfExtension(p, offset) != nullptr;
}

PDEVICE_OBJECT FindDevice(const std::string& name)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto it = devicesByName.find(Lower(U16(name)));
    return it == devicesByName.end() ? nullptr : it->second;
}

std::string DeviceName(PDEVICE_OBJECT device)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return liveDevices.count(device) ? Narrow(Info(device)->name) : std::string();
}

bool SymbolicLinkExists(const std::string& name)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return links.count(Lower(U16(name))) != 0;
}

std::string SymbolicLinkTarget(const std::string& name)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto it = links.find(Lower(U16(name)));
    return it == links.end() ? std::string() : Narrow(it->second);
}

size_t SymbolicLinkCount()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return links.size();
}

size_t LiveDeviceCount()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return liveDevices.size();
}

size_t ExtraReferenceCount()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return (size_t)extraReferences;
}

PDEVICE_OBJECT LowerDeviceOf(PDEVICE_OBJECT device)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return liveDevices.count(device) ? Info(device)->attachedTo : nullptr;
}

std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    std::vector<PDEVICE_OBJECT> r;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice)
        r.push_back(d);
    return r;
}

size_t PowerIrpsWithoutStartNext()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return powerWithoutStartNext;
}

void ResetIo()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    // The pool reset frees the memory itself.
    for (PDEVICE_OBJECT d : liveDevices)
        delete Info(d);
    RaceForgetDevices();
    devicesByName.clear();
    links.clear();
    liveDevices.clear();
    liveIrps.clear();
    builtIrps.clear();
    builtInfo.clear();
    powerStarted.clear();
    trackedIrps = 0;
    powerWithoutStartNext = 0;
    extraReferences = 0;
    linkFailure = STATUS_SUCCESS;
    referenceFailure = STATUS_SUCCESS;
}

} // namespace kmsim

using namespace kmsim;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, ULONG DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject)
{
    (void)Exclusive;
    *DeviceObject = NULL;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        Violation("IoCreateDevice above PASSIVE_LEVEL");
    std::u16string name = ToU16(DeviceName);
    std::lock_guard<std::recursive_mutex> g(g_lock);
    if (!name.empty() && devicesByName.count(Lower(name)))
        return STATUS_OBJECT_NAME_COLLISION;
    SIZE_T size = sizeof(DEVICE_OBJECT) + ((DeviceExtensionSize + 15) & ~15u);
    PDEVICE_OBJECT d = (PDEVICE_OBJECT)PoolAllocate(NonPagedPool, size, kTagDevice);
    if (d == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    memset(d, 0, size);
    d->Type = 3; // IO_TYPE_DEVICE
    d->Size = (USHORT)size;
    d->DriverObject = DriverObject;
    d->Flags = DO_DEVICE_INITIALIZING;
    d->Characteristics = DeviceCharacteristics;
    d->DeviceType = DeviceType;
    d->StackSize = 1;
    d->DeviceExtension = DeviceExtensionSize ? (PVOID)(d + 1) : NULL;
    DeviceInfo* info = new DeviceInfo;
    info->name = name;
    d->DeviceObjectExtension = info;
    liveDevices.insert(d);
    RaceDeviceCreated(d);
    if (!name.empty())
        devicesByName[Lower(name)] = d;
    if (DriverObject) {
        d->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = d;
    }
    *DeviceObject = d;
    return STATUS_SUCCESS;
}

static void DropReference(PDEVICE_OBJECT d)
{
    DeviceInfo* info = Info(d);
    if (--info->references == 0) {
        if (!info->deleted)
            Violation("device object's last reference dropped before IoDeleteDevice");
        FreeDeviceNow(d);
    }
}

} // extern "C"

namespace kmsim
{
void ReferenceDevice(PDEVICE_OBJECT device)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    Info(device)->references++;
}

void DereferenceDevice(PDEVICE_OBJECT device)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    DropReference(device);
}

size_t DeletedDevicesStillHeld(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    size_t n = 0;
    for (PDEVICE_OBJECT d : liveDevices)
        n += d->DriverObject == driver && Info(d)->deleted ? 1 : 0;
    return n;
}

PDEVICE_OBJECT StackPdoOf(PDEVICE_OBJECT device)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    PDEVICE_OBJECT pdo = Info(device)->stackPdo;
    return pdo != nullptr ? pdo : device;
}
} // namespace kmsim

extern "C" {

// Windows lets no driver of a surprise-removed stack detach or delete a
// device before the removal comes (PnpSurpriseRemove): the stack stays for
// the handles still open on it.
static void CheckNotAwaitingRemoval(PDEVICE_OBJECT device, const char* what)
{
    PDEVICE_OBJECT pdo = StackPdoOf(device);
    if (AwaitingRemoval(pdo)) {
        std::string name = Narrow(Info(device)->name);
        Violation(std::string(what) + " of " + (name.empty() ? "an unnamed device" : name) +
                  " after its surprise removal, before the removal");
    }
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    Point(PointKind::kDelete, DeviceObject);
    std::lock_guard<std::recursive_mutex> g(g_lock);
    if (!liveDevices.count(DeviceObject) || Info(DeviceObject)->deleted) {
        Violation("IoDeleteDevice of a device that does not exist or is already deleted");
        return;
    }
    DeviceInfo* info = Info(DeviceObject);
    if (info->attachedTo != NULL)
        Violation("IoDeleteDevice of " + Narrow(info->name) + " while still attached");
    CheckNotAwaitingRemoval(DeviceObject, "IoDeleteDevice");
    if (DeviceObject->DeviceExtension != NULL)
        CheckNoLookasideListInside(DeviceObject->DeviceExtension,
                                   (const UCHAR*)DeviceObject + DeviceObject->Size -
                                       (const UCHAR*)DeviceObject->DeviceExtension,
                                   "IoDeleteDevice of " + (info->name.empty()
                                                               ? std::string("a device")
                                                               : Narrow(info->name)));
    info->deleted = true;
    if (!info->name.empty())
        devicesByName.erase(Lower(info->name));
    PDRIVER_OBJECT drv = DeviceObject->DriverObject;
    if (drv) {
        for (PDEVICE_OBJECT* p = &drv->DeviceObject; *p; p = &(*p)->NextDevice)
            if (*p == DeviceObject) {
                *p = DeviceObject->NextDevice;
                break;
            }
    }
    DropReference(DeviceObject);
}

static PDEVICE_OBJECT TopOf(PDEVICE_OBJECT d)
{
    while (d->AttachedDevice)
        d = d->AttachedDevice;
    return d;
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    if (!liveDevices.count(TargetDevice) || Info(TargetDevice)->deleted)
        return NULL;
    PDEVICE_OBJECT top = TopOf(TargetDevice);
    top->AttachedDevice = SourceDevice;
    Info(SourceDevice)->attachedTo = top;
    Info(SourceDevice)->stackPdo = Info(top)->stackPdo != nullptr ? Info(top)->stackPdo : top;
    Info(top)->references++; // a device with one attached stays until it is detached
    SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
    if (SourceDevice->AlignmentRequirement < top->AlignmentRequirement)
        SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (above == NULL) {
        Violation("IoDetachDevice on a device with nothing attached");
        return;
    }
    CheckNotAwaitingRemoval(TargetDevice, "IoDetachDevice");
    TargetDevice->AttachedDevice = NULL;
    Info(above)->attachedTo = NULL;
    DropReference(TargetDevice);
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    PDEVICE_OBJECT top = TopOf(DeviceObject);
    ObfReferenceObject(top);
    return top;
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    PDEVICE_OBJECT d = (PDEVICE_OBJECT)Object;
    if (!liveDevices.count(d)) {
        Violation("ObReferenceObject of an object that does not exist");
        return 0;
    }
    extraReferences++;
    return ++Info(d)->references;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    PDEVICE_OBJECT d = (PDEVICE_OBJECT)Object;
    if (!liveDevices.count(d)) {
        Violation("ObDereferenceObject of an object that does not exist");
        return 0;
    }
    if (Info(d)->references <= (Info(d)->deleted ? 0 : 1)) {
        Violation("ObDereferenceObject without a matching reference");
        return 0;
    }
    extraReferences--;
    LONG left = Info(d)->references - 1;
    DropReference(d);
    return left;
}

NTSTATUS NTAPI ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess, PVOID ObjectType,
                                          KPROCESSOR_MODE AccessMode)
{
    (void)DesiredAccess;
    (void)ObjectType;
    (void)AccessMode;
    std::lock_guard<std::recursive_mutex> g(g_lock);
    if (referenceFailure != STATUS_SUCCESS)
        return referenceFailure; // no reference taken
    ObfReferenceObject(Object);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    std::u16string name = Lower(ToU16(SymbolicLinkName));
    if (name.empty())
        return STATUS_OBJECT_NAME_INVALID;
    if (linkFailure != STATUS_SUCCESS)
        return linkFailure;
    if (links.count(name) || devicesByName.count(name))
        return STATUS_OBJECT_NAME_COLLISION;
    links[name] = ToU16(DeviceName);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    if (links.erase(Lower(ToU16(SymbolicLinkName))) == 0)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject,
                                   DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                                   PVOID PropertyBuffer, PULONG ResultLength)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        Violation("IoGetDeviceProperty above PASSIVE_LEVEL");
    std::u16string value;
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        if (!liveDevices.count(DeviceObject))
            return STATUS_INVALID_DEVICE_REQUEST;
        if (DeviceProperty != DevicePropertyPhysicalDeviceObjectName)
            return STATUS_INVALID_PARAMETER;
        value = Info(DeviceObject)->name;
    }
    ULONG needed = (ULONG)(value.size() + 1) * 2;
    *ResultLength = needed;
    if (BufferLength < needed)
        return STATUS_BUFFER_TOO_SMALL;
    WCHAR* out = (WCHAR*)PropertyBuffer;
    for (size_t i = 0; i < value.size(); i++)
        out[i] = (WCHAR)value[i];
    out[value.size()] = 0;
    return STATUS_SUCCESS;
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    (void)ChargeQuota;
    if (StackSize < 1) {
        Violation("IoAllocateIrp with no stack location");
        return NULL;
    }
    SIZE_T size = sizeof(IRP) + StackSize * sizeof(IO_STACK_LOCATION);
    PIRP irp = (PIRP)PoolAllocate(NonPagedPool, size, kTagIrp);
    if (irp == NULL)
        return NULL;
    memset(irp, 0, size);
    irp->Type = 6; // IO_TYPE_IRP
    irp->Size = (USHORT)size;
    irp->StackCount = StackSize;
    irp->CurrentLocation = (CHAR)(StackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = ((PIO_STACK_LOCATION)(irp + 1)) + StackSize;
    if (Retail())
        return irp;
    std::lock_guard<std::recursive_mutex> g(g_lock);
    liveIrps.insert(irp);
    return irp;
}

static void FreeIrpMemory(PIRP irp)
{
    if (WatchingPassed())
        PassedIrpFreed(irp);
    if (Retail() && trackedIrps.load() == 0) {
        PoolFree(irp);
        return;
    }
    if (!Retail())
        IrpFreed(irp);
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        liveIrps.erase(irp);
        trackedIrps -= builtIrps.erase(irp) + powerStarted.erase(irp);
        builtInfo.erase(irp);
    }
    PoolFree(irp);
}

VOID NTAPI IoFreeIrp(PIRP Irp)
{
    if (Retail()) {
        FreeIrpMemory(Irp);
        return;
    }
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        if (!liveIrps.count(Irp)) {
            Violation("IoFreeIrp of an IRP that does not exist");
            return;
        }
        if (builtIrps.count(Irp))
            Violation("IoFreeIrp of an IRP that the I/O manager owns");
        // Windows leaves the MDL alone; Wine's IoFreeIrp frees the chain at
        // MdlAddress, so an MDL the caller still owns must be unhooked first.
        else if (Irp->MdlAddress != NULL)
            Violation("IoFreeIrp of an IRP that still points to an MDL");
    }
    FreeIrpMemory(Irp);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock)
{
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (irp == NULL)
        return NULL;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
    if (method == METHOD_BUFFERED) {
        ULONG size =
            InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (size) {
            PVOID sb = PoolAllocate(NonPagedPool, size, kTagIoBuffer);
            if (sb == NULL) {
                FreeIrpMemory(irp);
                return NULL;
            }
            memset(sb, 0, size);
            if (InputBuffer && InputBufferLength)
                memcpy(sb, InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = sb;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (OutputBufferLength)
                irp->Flags |= IRP_INPUT_OPERATION;
        }
    } else if (method == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    } else {
        if (InputBufferLength) {
            PVOID sb = PoolAllocate(NonPagedPool, InputBufferLength, kTagIoBuffer);
            if (sb == NULL) {
                FreeIrpMemory(irp);
                return NULL;
            }
            memcpy(sb, InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = sb;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (OutputBufferLength) {
            PMDL mdl = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp);
            if (mdl == NULL) {
                if (irp->AssociatedIrp.SystemBuffer)
                    PoolFree(irp->AssociatedIrp.SystemBuffer);
                FreeIrpMemory(irp);
                return NULL;
            }
            mdl->MdlFlags |= MDL_PAGES_LOCKED;
        }
    }
    irp->UserBuffer = OutputBuffer;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    std::lock_guard<std::recursive_mutex> g(g_lock);
    trackedIrps += builtIrps.insert(irp).second ? 1 : 0;
    builtInfo[irp] = BuiltInfo{OutputBuffer, OutputBufferLength, method};
    return irp;
}

// The request handed to a device object that has been freed: completed at
// the location it was sent to, as if that device had failed it.
static NTSTATUS FailAtFreedDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    Irp->CurrentLocation--;
    PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject; // only compared, never followed
    Irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_NO_SUCH_DEVICE;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    Point(PointKind::kCall, DeviceObject);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        Violation("IoCallDriver above DISPATCH_LEVEL");
    if (!Retail()) {
        bool freed;
        {
            std::lock_guard<std::recursive_mutex> g(g_lock);
            if (!liveIrps.count(Irp)) {
                Violation("IoCallDriver with an IRP that does not exist");
                return STATUS_INVALID_PARAMETER;
            }
            // A deleted device object that is still referenced stays, and
            // its driver still gets what is sent to it (as on Windows, where
            // an open handle keeps it); one that is freed is gone.
            freed = !liveDevices.count(DeviceObject);
            if (freed)
                Violation("IoCallDriver to a device that does not exist");
            else if (DriverUnloaded(DeviceObject->DriverObject)) {
                Violation("IoCallDriver to " + Narrow(Info(DeviceObject)->name) +
                          " whose driver has unloaded");
                freed = true;
            }
        }
        // The request fails there, so that the run goes on to report what
        // follows.
        if (freed)
            return FailAtFreedDevice(DeviceObject, Irp);
    }
    Irp->CurrentLocation--;
    if (Irp->CurrentLocation <= 0) {
        Violation("IoCallDriver with no stack location left");
        Irp->CurrentLocation++;
        return STATUS_INVALID_PARAMETER;
    }
    // The target and every driver below it may use a location of their
    // own: an IRP with fewer left than the target's stack is deep ends in
    // NO_MORE_IRP_STACK_LOCATIONS once one of them does.
    if (Irp->CurrentLocation < DeviceObject->StackSize)
        Violation("IoCallDriver with fewer stack locations left than the target's stack needs");
    PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    RequestArriving(Irp, DeviceObject);
    if (WatchingPassed())
        PassedHop(Irp, DeviceObject);
    RaceRelease(Irp); // to whoever completes it
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    PDRIVER_DISPATCH dispatch = driver->MajorFunction[stack->MajorFunction];
    KIRQL before = KeGetCurrentIrql();
    void* frame =
        Retail() ? nullptr
                 : DispatchBegin(Irp, DeviceObject, stack->MajorFunction, stack->MinorFunction);
    NTSTATUS status;
    {
        DriverScope scope(driver);
        status = dispatch(DeviceObject, Irp);
    }
    if (frame != nullptr)
        DispatchEnd(frame, status, before);
    return status;
}

static void FinishBuiltIrp(PIRP irp)
{
    BuiltInfo bi;
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        bi = builtInfo[irp];
    }
    if (bi.method == METHOD_BUFFERED && irp->AssociatedIrp.SystemBuffer && bi.outputBuffer &&
        !(irp->IoStatus.Status < 0 && (ULONG)irp->IoStatus.Status >= 0xC0000000u)) {
        ULONG_PTR n = irp->IoStatus.Information;
        if (n > bi.outputLength)
            n = bi.outputLength;
        memcpy(bi.outputBuffer, irp->AssociatedIrp.SystemBuffer, n);
    }
    if (irp->Flags & IRP_DEALLOCATE_BUFFER)
        PoolFree(irp->AssociatedIrp.SystemBuffer);
    while (irp->MdlAddress) {
        PMDL next = irp->MdlAddress->Next;
        IoFreeMdl(irp->MdlAddress);
        irp->MdlAddress = next;
    }
    if (irp->UserIosb)
        *irp->UserIosb = irp->IoStatus;
    PKEVENT event = irp->UserEvent;
    FreeIrpMemory(irp);
    if (event)
        KeSetEvent(event, 0, FALSE);
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    (void)PriorityBoost;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        Violation("IoCompleteRequest above DISPATCH_LEVEL");
    if (!Retail()) {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        if (!liveIrps.count(Irp)) {
            Violation("IoCompleteRequest of an IRP that does not exist (completed twice?)");
            return;
        }
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        Violation("IoCompleteRequest of an IRP that is already completed");
        return;
    }
    // Only IoCallDriver hands a stack location to a device: one without is
    // the sender's own, reached because the IRP was completed back to it.
    if (IoGetCurrentIrpStackLocation(Irp)->DeviceObject == NULL) {
        Violation("IoCompleteRequest of an IRP that is already completed (completed twice?)");
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        Violation("IoCompleteRequest with STATUS_PENDING");
    }
    RequestCompleting(Irp);
    RaceAcquire(Irp); // what its senders did before they sent it
    PIO_STACK_LOCATION first = IoGetCurrentIrpStackLocation(Irp);
    bool power = first->MajorFunction == IRP_MJ_POWER;
    if (power) {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        if (!powerStarted.count(Irp))
            powerWithoutStartNext++;
    }
    for (PIO_STACK_LOCATION sp = first; Irp->CurrentLocation <= Irp->StackCount; sp++) {
        if (WatchingPassed())
            PassedCompleting(Irp);
        if (!Retail())
            StackLocationCompleted(Irp, Irp->CurrentLocation,
                                   (sp->Control & SL_PENDING_RETURNED) != 0);
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = (NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                      (Irp->Cancel && (sp->Control & SL_INVOKE_ON_CANCEL));
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        PVOID context = sp->Context;
        memset(sp, 0, sizeof *sp);
        PDEVICE_OBJECT owner = Irp->CurrentLocation == Irp->StackCount + 1
                                   ? NULL
                                   : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
        if (invoke && routine && owner != NULL && DriverUnloaded(owner->DriverObject)) {
            // On Windows the routine's code is gone: the system stops.
            Violation("request completed to a completion routine of " +
                      (IsLiveDevice(owner) ? Narrow(Info(owner)->name) : std::string("a device")) +
                      " whose driver has unloaded");
            invoke = false;
        }
        if (invoke && routine) {
            Point(PointKind::kComplete, Irp);
            PDEVICE_OBJECT device = owner;
            KIRQL before = KeGetCurrentIrql();
            NTSTATUS result;
            {
                DriverScope scope(device ? device->DriverObject : nullptr);
                result = routine(device, Irp, context);
            }
            if (KeGetCurrentIrql() != before)
                Violation("completion routine called at IRQL " + std::to_string(before) +
                          " returned at IRQL " + std::to_string(KeGetCurrentIrql()));
            if (result == STATUS_MORE_PROCESSING_REQUIRED)
                return;
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }
    bool built;
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        built = builtIrps.count(Irp) != 0;
    }
    if (built) {
        FinishBuiltIrp(Irp);
        return;
    }
    Violation("IRP completed past its first stack location with nobody to finish it");
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return IofCallDriver(DeviceObject, Irp);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    trackedIrps += powerStarted.insert(Irp).second ? 1 : 0;
}

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp)
{
    (void)ChargeQuota;
    PMDL mdl = (PMDL)PoolAllocate(NonPagedPool, sizeof(MDL), kTagMdl);
    if (mdl == NULL)
        return NULL;
    memset(mdl, 0, sizeof *mdl);
    ULONG_PTR va = (ULONG_PTR)VirtualAddress;
    mdl->Size = sizeof(MDL);
    mdl->StartVa = (PVOID)(va & ~(ULONG_PTR)(PAGE_SIZE - 1));
    mdl->ByteOffset = (ULONG)(va & (PAGE_SIZE - 1));
    mdl->ByteCount = Length;
    if (Irp) {
        if (SecondaryBuffer) {
            PMDL m = Irp->MdlAddress;
            while (m && m->Next)
                m = m->Next;
            if (m)
                m->Next = mdl;
            else
                Irp->MdlAddress = mdl;
        } else {
            Irp->MdlAddress = mdl;
        }
    }
    return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl)
{
    PoolFree(Mdl);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         ULONG CacheType, PVOID BaseAddress,
                                         ULONG BugCheckOnFailure, ULONG Priority)
{
    (void)AccessMode;
    (void)CacheType;
    (void)BaseAddress;
    (void)BugCheckOnFailure;
    (void)Priority;
    if (ShouldFailAllocation(kTagMapping))
        return NULL; // no system address space left
    PVOID va = MmGetMdlVirtualAddress(MemoryDescriptorList);
    PVOID system = SystemAddressOfUserBuffer(va);
    MemoryDescriptorList->MappedSystemVa = system != NULL ? system : va;
    MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return MemoryDescriptorList->MappedSystemVa;
}

} // extern "C"
