// Handles: the file objects the I/O manager creates at an open, the
// requests sent on them, and the close that ends them.
#include "verifier.h"

#include <map>
#include <memory>
#include <vector>

namespace kmsim
{

namespace
{
struct FileRecord {
    PDEVICE_OBJECT device = nullptr; // what the name resolved to (referenced)
    PDEVICE_OBJECT stackPdo = nullptr;
    KPROCESSOR_MODE mode = UserMode;
    ACCESS_MASK granted = 0;
    std::u16string name;  // FileName's buffer
    bool closing = false; // the handle is closed: no new requests
    // The handle's reference and one per request on its way: the close
    // goes to the driver once the last of them is given back, as the I/O
    // manager sends IRP_MJ_CLOSE when the file object's last reference goes.
    int references = 1;
};
std::map<PFILE_OBJECT, std::unique_ptr<FileRecord>> files;
// File objects whose last reference is gone. Their memory is kept until the
// next reset, so that a handle is never reused within a run: a program (a
// test thread) that uses a handle another thread has closed gets
// STATUS_INVALID_HANDLE, as from the handle table, instead of reaching a
// new open that happens to get the same address while its create is still
// in the driver.
std::vector<PFILE_OBJECT> retired;

const CSHORT kIoTypeFile = 5;

// Why the I/O manager refuses an open before any driver sees it: the
// name is gone with a deleted device; a device still initialising, or one
// whose stack is on its way out, is no device to open.
NTSTATUS OpenRefusal(PDEVICE_OBJECT device)
{
    if (!IsLiveDevice(device) || Info(device)->deleted)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (device->Flags & DO_DEVICE_INITIALIZING)
        return STATUS_NO_SUCH_DEVICE;
    if (OpensRefused(StackPdoOf(device)))
        return STATUS_NO_SUCH_DEVICE;
    return STATUS_SUCCESS;
}

// The generic rights as a file object maps them.
ACCESS_MASK MapGeneric(ACCESS_MASK access)
{
    if (access & GENERIC_READ)
        access |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE)
        access |= FILE_GENERIC_WRITE;
    return access & ~(ACCESS_MASK)(GENERIC_READ | GENERIC_WRITE);
}

// Under g_lock: whether the I/O manager's access check refuses the open.
bool AccessDenied(PDEVICE_OBJECT device, const OpenOptions& options, ACCESS_MASK wanted)
{
    if (IsLegacyPlatform() || options.mode == KernelMode || options.privileged)
        return false;
    // Without FILE_DEVICE_SECURE_OPEN a name below the device is the
    // driver's to check: the I/O manager applies the device's security
    // only to an open of the device itself.
    if (!options.trailing.empty() && !(device->Characteristics & FILE_DEVICE_SECURE_OPEN))
        return false;
    return (wanted & ~Info(device)->userAccess) != 0;
}

// What a request on a handle needs of the access granted at the open.
ACCESS_MASK AccessNeeded(UCHAR major, const IO_STACK_LOCATION& stack)
{
    if (major == IRP_MJ_READ)
        return FILE_READ_DATA;
    if (major == IRP_MJ_WRITE)
        return FILE_WRITE_DATA;
    if (major != IRP_MJ_DEVICE_CONTROL)
        return 0;
    ULONG bits = (stack.Parameters.DeviceIoControl.IoControlCode >> 14) & 3;
    return ((bits & FILE_READ_ACCESS) ? FILE_READ_DATA : 0) |
           ((bits & FILE_WRITE_ACCESS) ? FILE_WRITE_DATA : 0);
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    PDEVICE_OBJECT top = device;
    while (top->AttachedDevice != NULL)
        top = top->AttachedDevice;
    ReferenceDevice(top);
    return top;
}

IrpResult SendToTop(PFILE_OBJECT file, FileRecord* record, UCHAR major, UCHAR minor,
                    const std::function<void(PIO_STACK_LOCATION)>& setup, NTSTATUS initialStatus,
                    PMDL mdl, PVOID systemBuffer)
{
    PDEVICE_OBJECT top = TopOfStack(record->device);
    IrpResult r =
        SendWith(top, major, minor, setup, initialStatus, mdl, systemBuffer, file, record->mode);
    DereferenceDevice(top);
    return r;
}

void FreeFile(PFILE_OBJECT file)
{
    PDEVICE_OBJECT device;
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        auto it = files.find(file);
        device = it->second->device;
        files.erase(it);
        memset(file, 0, sizeof *file);
        retired.push_back(file);
    }
    DereferenceDevice(device);
}
} // namespace

OpenResult OpenFile(PDEVICE_OBJECT device, const OpenOptions& options)
{
    OpenResult result;
    ACCESS_MASK wanted = MapGeneric(options.access);
    PFILE_OBJECT file;
    FileRecord* r;
    {
        // Checked and registered at once: a removal that checks for open
        // handles sees this one, or this open sees the removal.
        std::lock_guard<std::recursive_mutex> g(g_lock);
        result.status = OpenRefusal(device);
        if (result.status == STATUS_SUCCESS && AccessDenied(device, options, wanted))
            result.status = STATUS_ACCESS_DENIED;
        if (result.status != STATUS_SUCCESS)
            return result;
        ReferenceDevice(device);
        file = new FILE_OBJECT;
        memset(file, 0, sizeof *file);
        file->Type = kIoTypeFile;
        file->Size = (CSHORT)sizeof *file;
        file->DeviceObject = device;
        file->ReadAccess = (wanted & FILE_READ_DATA) ? TRUE : FALSE;
        file->WriteAccess = (wanted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) ? TRUE : FALSE;
        auto record = std::make_unique<FileRecord>();
        record->device = device;
        record->stackPdo = StackPdoOf(device);
        record->mode = options.mode;
        record->granted = IsLegacyPlatform() ? (ACCESS_MASK)~0u : wanted;
        record->name = U16(options.trailing);
        file->FileName.Buffer = record->name.empty() ? NULL : (PWSTR)record->name.data();
        file->FileName.Length = (USHORT)(record->name.size() * 2);
        file->FileName.MaximumLength = file->FileName.Length;
        r = record.get();
        files[file] = std::move(record);
    }
    ACCESS_STATE state;
    memset(&state, 0, sizeof state);
    state.OriginalDesiredAccess = options.access;
    state.PreviouslyGrantedAccess = wanted;
    IO_SECURITY_CONTEXT security;
    memset(&security, 0, sizeof security);
    security.AccessState = &state;
    security.DesiredAccess = wanted;
    IrpResult create = SendToTop(
        file, r, IRP_MJ_CREATE, 0,
        [&security](PIO_STACK_LOCATION s) { s->Parameters.Create.SecurityContext = &security; },
        STATUS_SUCCESS, nullptr, nullptr);
    result.status = create.status;
    result.reachedDriver = true;
    if (!NT_SUCCESS(create.status)) {
        // A failed create leaves no handle: no cleanup and no close follow.
        FreeFile(file);
        SendRemovalsNoLongerHeld();
        return result;
    }
    result.file = file;
    return result;
}

// Under g_lock: the handle's record while it is open, referenced for one
// request, or nullptr (a program's use of a closed handle).
static FileRecord* ReferenceOpenFile(PFILE_OBJECT file)
{
    auto it = files.find(file);
    if (it == files.end() || it->second->closing)
        return nullptr;
    it->second->references++;
    return it->second.get();
}

// Gives a reference back; the last one sends the close and frees the file
// object, and a removal that waited for it may go.
static IrpResult DereferenceFile(PFILE_OBJECT file, FileRecord* record)
{
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        if (--record->references != 0)
            return IrpResult{STATUS_SUCCESS, 0};
    }
    IrpResult r =
        SendToTop(file, record, IRP_MJ_CLOSE, 0, nullptr, STATUS_SUCCESS, nullptr, nullptr);
    FreeFile(file);
    SendRemovalsNoLongerHeld();
    return r;
}

IrpResult SendOnFile(PFILE_OBJECT file, UCHAR major, UCHAR minor,
                     const std::function<void(PIO_STACK_LOCATION)>& setup, NTSTATUS initialStatus,
                     PMDL mdl, PVOID systemBuffer)
{
    FileRecord* record;
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        record = ReferenceOpenFile(file);
    }
    if (record == nullptr)
        return IrpResult{STATUS_INVALID_HANDLE, 0};
    IO_STACK_LOCATION asked;
    memset(&asked, 0, sizeof asked);
    if (setup)
        setup(&asked);
    ACCESS_MASK needed = AccessNeeded(major, asked);
    IrpResult r{STATUS_ACCESS_DENIED, 0};
    if (record->mode == KernelMode || (record->granted & needed) == needed)
        r = SendToTop(file, record, major, minor, setup, initialStatus, mdl, systemBuffer);
    DereferenceFile(file, record);
    return r;
}

IrpResult CloseFile(PFILE_OBJECT file)
{
    FileRecord* record;
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        auto it = files.find(file);
        if (it == files.end() || it->second->closing)
            return IrpResult{STATUS_INVALID_HANDLE, 0};
        record = it->second.get();
        record->closing = true;
    }
    SendToTop(file, record, IRP_MJ_CLEANUP, 0, nullptr, STATUS_SUCCESS, nullptr, nullptr);
    return DereferenceFile(file, record); // the handle's own reference
}

size_t FilesOpenOnStack(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    size_t n = 0;
    for (auto& f : files)
        n += f.second->stackPdo == pdo ? 1 : 0;
    return n;
}

void SetDeviceUserAccess(PDEVICE_OBJECT device, ACCESS_MASK allowed)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    Info(device)->userAccess = MapGeneric(allowed);
}

size_t OpenFilesOn(PDEVICE_OBJECT device)
{
    return FilesOpenOnStack(StackPdoOf(device));
}

size_t OpenFileCount()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return files.size();
}

PDEVICE_OBJECT FileDevice(PFILE_OBJECT file)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto it = files.find(file);
    return it == files.end() ? nullptr : it->second->device;
}

void ResetFiles()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    // Reset drops every object without running code: the file objects go
    // with the devices they referenced.
    for (auto& f : files)
        delete f.first;
    files.clear();
    for (PFILE_OBJECT f : retired)
        delete f;
    retired.clear();
}

} // namespace kmsim
