// Handles: the file objects the I/O manager creates at an open, the
// requests sent on them, and the close that ends them.
#include "verifier.h"

#include <map>
#include <memory>

namespace kmsim
{

namespace
{
struct FileRecord {
    PDEVICE_OBJECT device = nullptr; // what the name resolved to (referenced)
    PDEVICE_OBJECT stackPdo = nullptr;
    KPROCESSOR_MODE mode = UserMode;
    std::u16string name; // FileName's buffer
    bool closing = false;
};
std::map<PFILE_OBJECT, std::unique_ptr<FileRecord>> files;

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
    if (AwaitingRemoval(StackPdoOf(device)))
        return STATUS_NO_SUCH_DEVICE;
    return STATUS_SUCCESS;
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
        device = files[file]->device;
        files.erase(file);
    }
    delete file;
    DereferenceDevice(device);
}
} // namespace

OpenResult OpenFile(PDEVICE_OBJECT device, const OpenOptions& options)
{
    OpenResult result;
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        result.status = OpenRefusal(device);
        if (result.status != STATUS_SUCCESS)
            return result;
        ReferenceDevice(device);
    }
    PFILE_OBJECT file = new FILE_OBJECT;
    memset(file, 0, sizeof *file);
    file->Type = kIoTypeFile;
    file->Size = (CSHORT)sizeof *file;
    file->DeviceObject = device;
    file->ReadAccess = (options.access & (FILE_READ_DATA | GENERIC_READ)) ? TRUE : FALSE;
    file->WriteAccess =
        (options.access & (FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE)) ? TRUE : FALSE;
    auto record = std::make_unique<FileRecord>();
    record->device = device;
    record->stackPdo = StackPdoOf(device);
    record->mode = options.mode;
    record->name = U16(options.trailing);
    file->FileName.Buffer = record->name.empty() ? NULL : (PWSTR)record->name.data();
    file->FileName.Length = (USHORT)(record->name.size() * 2);
    file->FileName.MaximumLength = file->FileName.Length;
    FileRecord* r = record.get();
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        files[file] = std::move(record);
    }
    ACCESS_STATE state;
    memset(&state, 0, sizeof state);
    state.OriginalDesiredAccess = options.access;
    state.PreviouslyGrantedAccess = options.access;
    IO_SECURITY_CONTEXT security;
    memset(&security, 0, sizeof security);
    security.AccessState = &state;
    security.DesiredAccess = options.access;
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

IrpResult SendOnFile(PFILE_OBJECT file, UCHAR major, UCHAR minor,
                     const std::function<void(PIO_STACK_LOCATION)>& setup, NTSTATUS initialStatus,
                     PMDL mdl, PVOID systemBuffer)
{
    FileRecord* record;
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        auto it = files.find(file);
        if (it == files.end() || it->second->closing) {
            Violation("request on a handle that is closed or was never opened");
            return IrpResult{STATUS_INVALID_HANDLE, 0};
        }
        record = it->second.get();
    }
    return SendToTop(file, record, major, minor, setup, initialStatus, mdl, systemBuffer);
}

IrpResult CloseFile(PFILE_OBJECT file)
{
    FileRecord* record;
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        auto it = files.find(file);
        if (it == files.end() || it->second->closing) {
            Violation("CloseHandle of a handle that is closed or was never opened");
            return IrpResult{STATUS_INVALID_HANDLE, 0};
        }
        record = it->second.get();
        record->closing = true;
    }
    SendToTop(file, record, IRP_MJ_CLEANUP, 0, nullptr, STATUS_SUCCESS, nullptr, nullptr);
    IrpResult r =
        SendToTop(file, record, IRP_MJ_CLOSE, 0, nullptr, STATUS_SUCCESS, nullptr, nullptr);
    FreeFile(file);
    SendRemovalsNoLongerHeld();
    return r;
}

size_t FilesOpenOnStack(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    size_t n = 0;
    for (auto& f : files)
        n += f.second->stackPdo == pdo ? 1 : 0;
    return n;
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
}

} // namespace kmsim
