// SCSI request engine: turns every exchange with the printer into SRBs sent
// synchronously to unit 0 or unit 1, and gathers page-sized print data into
// PrintBufferSize transfers.
#include "engine.h"

// The port driver takes the SRB's Length as the platform's 64-byte block;
// the host stand-in's pointers make it longer there.
static_assert(sizeof(void*) != 4 || sizeof(SCSI_REQUEST_BLOCK) == SRB_LENGTH,
              "the SRB must be the platform's 64-byte block");

#define ENGINE_SRB_TIMEOUT 90

// The SRB lookaside list keeps up to this many freed SRBs for reuse: a
// printer has one SRB out at a time.
#define SRB_LOOKASIDE_DEPTH 8

// The lookaside-list inlines must call ExInterlockedPopEntrySList and
// ExInterlockedPushEntrySList, which every supported platform exports, and
// not the sequenced-list routines that only Windows XP exports
// (windows/exports/README.md).
#if defined(_X86_) && !defined(_WIN2K_COMPAT_SLIST_USAGE)
#error "build the driver with -D_WIN2K_COMPAT_SLIST_USAGE"
#endif

// The SBP-2 port driver reports in sense byte 8 that the printer refused the
// data, and in bytes 10-12 how many bytes it really delivered.
#define SENSE_REFUSED_BYTE 8
#define SENSE_COUNT_BYTE 10

enum ENGINE_DATA { DATA_NONE, DATA_PRINT, DATA_REPLY };
enum ENGINE_SEQUENCE { SEQUENCE_NONE, SEQUENCE_WRITE, SEQUENCE_STATUS };

typedef struct _ENGINE_COMMAND {
    USHORT Command;
    UCHAR Opcode;
    UCHAR SubCode;
    UCHAR Data;        // ENGINE_DATA
    UCHAR Sequence;    // ENGINE_SEQUENCE: what goes into CDB byte 5
    UCHAR CdbSequence; // CdbSequence goes into CDB bytes 6-7
} ENGINE_COMMAND;

static const ENGINE_COMMAND CommandTable[] = {
    {CMD_PRINT_DATA, 0x0A, 0x00, DATA_PRINT, SEQUENCE_NONE, 0},
    {CMD_VENDOR_DATA, 0xC0, 0x00, DATA_PRINT, SEQUENCE_WRITE, 0},
    {CMD_FLUSH, 0xC0, 0x00, DATA_PRINT, SEQUENCE_WRITE, 0},
    {CMD_DATA_CLEAR, 0xC0, 0x01, DATA_NONE, SEQUENCE_NONE, 0},
    {CMD_UNIT0_INFO_A, 0xC2, 0x00, DATA_REPLY, SEQUENCE_NONE, 0},
    {CMD_UNIT0_INFO_B, 0xC3, 0x00, DATA_REPLY, SEQUENCE_NONE, 1},
    {CMD_STATUS_READ, 0xC1, 0x20, DATA_REPLY, SEQUENCE_STATUS, 1},
    {CMD_STATUS_CLEAR, 0xC1, 0x21, DATA_NONE, SEQUENCE_NONE, 1},
    {CMD_DEVICE_ID, 0xC1, 0x22, DATA_REPLY, SEQUENCE_NONE, 1},
    {CMD_UNIT1_INFO_A, 0xC2, 0x20, DATA_REPLY, SEQUENCE_NONE, 0},
    {CMD_UNIT1_INFO_B, 0xC3, 0x20, DATA_REPLY, SEQUENCE_NONE, 1},
};

static PDEVICE_EXTENSION EngineExtension(PDEVICE_OBJECT Fdo)
{
    return (PDEVICE_EXTENSION)Fdo->DeviceExtension;
}

static const ENGINE_COMMAND* FindCommand(USHORT Command)
{
    for (ULONG i = 0; i < sizeof(CommandTable) / sizeof(CommandTable[0]); i++)
        if (CommandTable[i].Command == Command)
            return &CommandTable[i];
    return NULL;
}

static BOOLEAN IsInfoCommand(USHORT Command)
{
    return Command == CMD_UNIT0_INFO_A || Command == CMD_UNIT0_INFO_B ||
           Command == CMD_UNIT1_INFO_A || Command == CMD_UNIT1_INFO_B;
}

VOID EngineAcquire(PDEVICE_OBJECT Fdo)
{
    ExAcquireFastMutex(&EngineExtension(Fdo)->EngineMutex);
}

VOID EngineRelease(PDEVICE_OBJECT Fdo)
{
    ExReleaseFastMutex(&EngineExtension(Fdo)->EngineMutex);
}

// Intervals are measured on the interval clock, which only goes forward:
// the system time may be set back at any moment, and measured on it a wait
// that began before would last as long again as the time was set back.
LARGE_INTEGER IntervalTime(void)
{
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    ticks.QuadPart *= KeQueryTimeIncrement();
    return ticks;
}

BOOLEAN TimeElapsed(LARGE_INTEGER Stamp, ULONG Milliseconds)
{
    return IntervalTime().QuadPart - Stamp.QuadPart > (LONGLONG)Milliseconds * 10000;
}

// MDL_SIZE comes from the registry. A CDB cannot state more than 24 bits of
// length, and a value that large is a configuration slip rather than a wish
// for 16 MiB of nonpaged pool, so such values fall back to the default.
static ULONG ChoosePrintBufferSize(ULONG MdlSize)
{
    if (MdlSize == 0 || MdlSize > ENGINE_MAX_TRANSFER)
        return DEFAULT_MDL_SIZE;
    return MdlSize;
}

static BOOLEAN AllocateMappedBuffer(ULONG Size, PUCHAR* Buffer, PMDL* Mdl)
{
    PUCHAR buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolCacheAligned, Size, TAG_DATA_BUFFER);
    if (buffer == NULL)
        return FALSE;
    PMDL mdl = IoAllocateMdl(buffer, Size, FALSE, FALSE, NULL);
    if (mdl == NULL) {
        ExFreePool(buffer);
        return FALSE;
    }
    MmBuildMdlForNonPagedPool(mdl);
    *Buffer = buffer;
    *Mdl = mdl;
    return TRUE;
}

// A configured buffer that the pool cannot give (or one MDL cannot describe)
// must not leave the printer unusable: fall back to the default size.
static BOOLEAN AllocatePrintBuffer(PDEVICE_EXTENSION Ext)
{
    ULONG size = ChoosePrintBufferSize(Ext->MdlSize);
    if (AllocateMappedBuffer(size, &Ext->PrintBuffer, &Ext->PrintMdl)) {
        Ext->PrintBufferSize = size;
        return TRUE;
    }
    if (size > DEFAULT_MDL_SIZE &&
        AllocateMappedBuffer(DEFAULT_MDL_SIZE, &Ext->PrintBuffer, &Ext->PrintMdl)) {
        Ext->PrintBufferSize = DEFAULT_MDL_SIZE;
        return TRUE;
    }
    return FALSE;
}

static VOID ResetEngineFields(PDEVICE_EXTENSION Ext)
{
    Ext->PrintMdl = NULL;
    Ext->PrintBuffer = NULL;
    Ext->PrintBufferSize = ChoosePrintBufferSize(Ext->MdlSize);
    Ext->PrintFill = 0;
    Ext->ReplyMdl = NULL;
    Ext->ReplyBuffer = NULL;
    Ext->ReplyBufferSize = 0;
    Ext->FlushFailed = 0;
    Ext->RetryPending = 0;
    Ext->RetryStart.QuadPart = 0;
    KeInitializeEvent(&Ext->SendDoneEvent, NotificationEvent, FALSE);
    Ext->SenseBuffer = NULL;
    Ext->CdbSequence = 0;
    Ext->WriteSequence = 0;
    Ext->StatusSequence = 0;
}

BOOLEAN EngineSetup(PDEVICE_OBJECT Fdo)
{
    PDEVICE_EXTENSION ext = EngineExtension(Fdo);
    ResetEngineFields(ext);
    if (!AllocatePrintBuffer(ext))
        return FALSE;
    if (!AllocateMappedBuffer(REPLY_BUFFER_SIZE, &ext->ReplyBuffer, &ext->ReplyMdl))
        return FALSE;
    ext->ReplyBufferSize = REPLY_BUFFER_SIZE;
    // The Flags argument is reserved before Windows 8 and must be 0; later
    // systems take it as pool-type bits, and 2 there would make every SRB a
    // must-succeed allocation that stops the system when pool runs out.
    ExInitializeNPagedLookasideList(&ext->SrbLookaside, NULL, NULL, 0, sizeof(SCSI_REQUEST_BLOCK),
                                    TAG_SRB_LOOKASIDE, SRB_LOOKASIDE_DEPTH);
    ChangeExtensionFlags(ext, FLAG_LOOKASIDE_READY, 0);
    ext->SenseBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolCacheAligned, SENSE_BUFFER_SIZE,
                                                     TAG_SENSE_BUFFER);
    ext->CdbSequence = 0;
    return ext->SenseBuffer != NULL;
}

VOID EngineTeardown(PDEVICE_OBJECT Fdo)
{
    PDEVICE_EXTENSION ext = EngineExtension(Fdo);
    if (ext->SenseBuffer != NULL) {
        ExFreePool(ext->SenseBuffer);
        ext->SenseBuffer = NULL;
    }
    // Every send waited for its completion, which gave its SRB back: no
    // entry is out when the list goes.
    if (ext->Flags & FLAG_LOOKASIDE_READY) {
        ExDeleteNPagedLookasideList(&ext->SrbLookaside);
        ChangeExtensionFlags(ext, 0, FLAG_LOOKASIDE_READY);
    }
    if (ext->PrintMdl != NULL) {
        ExFreePool(ext->PrintBuffer);
        IoFreeMdl(ext->PrintMdl);
        ext->PrintBuffer = NULL;
        ext->PrintMdl = NULL;
    }
    if (ext->ReplyMdl != NULL) {
        ExFreePool(ext->ReplyBuffer);
        IoFreeMdl(ext->ReplyMdl);
        ext->ReplyBuffer = NULL;
        ext->ReplyMdl = NULL;
    }
    // Whatever was still buffered went with the buffer.
    ext->PrintFill = 0;
}

static BOOLEAN EngineHoldsEverything(PDEVICE_EXTENSION Ext)
{
    return Ext->PrintMdl != NULL && Ext->ReplyMdl != NULL && Ext->SenseBuffer != NULL &&
           (Ext->Flags & FLAG_LOOKASIDE_READY) != 0;
}

VOID EngineDiscardData(PDEVICE_OBJECT Fdo)
{
    EngineExtension(Fdo)->PrintFill = 0;
}

// ---------------------------------------------------------------------------
// Completion and status evaluation. These may run at DISPATCH_LEVEL in the
// port driver's context: they touch only the packet, the SRB, the sense
// bytes, DeviceError and SendDoneEvent.

static ULONG SenseDeliveredCount(const UCHAR* Sense)
{
    return ((ULONG)Sense[SENSE_COUNT_BYTE] << 16) | ((ULONG)Sense[SENSE_COUNT_BYTE + 1] << 8) |
           (ULONG)Sense[SENSE_COUNT_BYTE + 2];
}

static NTSTATUS EvaluateSrbStatus(PDEVICE_EXTENSION Ext, PIRP Irp, PSCSI_REQUEST_BLOCK Srb)
{
    if (Srb == NULL)
        return STATUS_SUCCESS;
    UCHAR srbStatus = Srb->SrbStatus & 0x3F;
    BOOLEAN out = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_WRITE;
    if (srbStatus == SRB_STATUS_SUCCESS) {
        // Print data taken whole: the sender learns how much from here.
        if (out)
            Irp->IoStatus.Information = Srb->DataTransferLength;
        return STATUS_SUCCESS;
    }
    if (srbStatus == SRB_STATUS_ERROR) {
        const UCHAR* sense = (const UCHAR*)Srb->SenseInfoBuffer;
        if (sense == NULL || sense[SENSE_REFUSED_BYTE] != 0)
            return STATUS_DEVICE_BUSY;
        // Not refused, but the printer delivered, or took, only this many
        // bytes: a reply is that long, print data beyond it was not taken.
        Irp->IoStatus.Information = SenseDeliveredCount(sense);
        return STATUS_SUCCESS;
    }
    Ext->DeviceError = 1;
    return STATUS_DEVICE_BUSY;
}

NTSTATUS NTAPI SrbCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION ext = EngineExtension(DeviceObject);
    PSCSI_REQUEST_BLOCK srb = (PSCSI_REQUEST_BLOCK)Context;
    NTSTATUS status = EvaluateSrbStatus(ext, Irp, srb);
    Irp->IoStatus.Status = status;
    if ((ULONG)status & 0x80000000)
        Irp->IoStatus.Information = 0;
    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);
    // Back to the list before the sender wakes: the last close may delete
    // the list as soon as the sender returns.
    if (srb != NULL)
        ExFreeToNPagedLookasideList(&ext->SrbLookaside, srb);
    KeSetEvent(&ext->SendDoneEvent, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ---------------------------------------------------------------------------
// Building and sending one request.

static ULONG CommandLength(PDEVICE_EXTENSION Ext, const ENGINE_COMMAND* Entry)
{
    ULONG length = 0;
    if (Entry->Data == DATA_PRINT)
        length = Ext->PrintFill;
    else if (Entry->Data == DATA_REPLY)
        length = Ext->ReplyBufferSize;
    return length > ENGINE_MAX_TRANSFER ? ENGINE_MAX_TRANSFER : length;
}

static PMDL CommandMdl(PDEVICE_EXTENSION Ext, const ENGINE_COMMAND* Entry)
{
    if (Entry->Data == DATA_PRINT)
        return Ext->PrintMdl;
    if (Entry->Data == DATA_REPLY)
        return Ext->ReplyMdl;
    return NULL;
}

static UCHAR CdbSequenceByte(PDEVICE_EXTENSION Ext, const ENGINE_COMMAND* Entry)
{
    if (Entry->Sequence == SEQUENCE_WRITE)
        return Ext->WriteSequence;
    if (Entry->Sequence == SEQUENCE_STATUS)
        return Ext->StatusSequence;
    return 0;
}

static VOID FillCdb(PDEVICE_EXTENSION Ext, const ENGINE_COMMAND* Entry, ULONG Length, UCHAR* Cdb)
{
    Cdb[0] = Entry->Opcode;
    Cdb[1] = Entry->SubCode;
    Cdb[2] = (UCHAR)(Length >> 16);
    Cdb[3] = (UCHAR)(Length >> 8);
    Cdb[4] = (UCHAR)Length;
    Cdb[5] = CdbSequenceByte(Ext, Entry);
    if (Entry->CdbSequence) {
        Cdb[6] = (UCHAR)Ext->CdbSequence;
        Cdb[7] = (UCHAR)(Ext->CdbSequence >> 8);
        Ext->CdbSequence++;
    }
}

static PSCSI_REQUEST_BLOCK BuildSrbRequest(PDEVICE_EXTENSION Ext, const ENGINE_COMMAND* Entry,
                                           PIRP Irp, ULONG Length)
{
    ULONG direction = CMD_DIRECTION(Entry->Command);
    if (!(Ext->Flags & FLAG_LOOKASIDE_READY) || Ext->SenseBuffer == NULL || direction > 1)
        return NULL;
    PSCSI_REQUEST_BLOCK srb =
        (PSCSI_REQUEST_BLOCK)ExAllocateFromNPagedLookasideList(&Ext->SrbLookaside);
    if (srb == NULL)
        return NULL;
    RtlZeroMemory(srb, sizeof(SCSI_REQUEST_BLOCK));
    RtlZeroMemory(Ext->SenseBuffer, SENSE_BUFFER_SIZE);
    PMDL mdl = CommandMdl(Ext, Entry);

    srb->Length = (USHORT)sizeof(SCSI_REQUEST_BLOCK);
    srb->Function = SRB_FUNCTION_EXECUTE_SCSI;
    srb->QueueTag = SP_UNTAGGED;
    srb->QueueAction = SRB_SIMPLE_TAG_REQUEST;
    srb->CdbLength = 8;
    srb->SenseInfoBufferLength = SENSE_BUFFER_SIZE;
    srb->SrbFlags = (direction == 0 ? SRB_FLAGS_DATA_OUT : SRB_FLAGS_DATA_IN) | Ext->SrbFlagsExtra;
    srb->DataTransferLength = Length;
    srb->TimeOutValue = ENGINE_SRB_TIMEOUT;
    srb->DataBuffer = mdl != NULL ? MmGetMdlVirtualAddress(mdl) : NULL;
    srb->SenseInfoBuffer = Ext->SenseBuffer;
    srb->OriginalRequest = Irp;
    FillCdb(Ext, Entry, Length, srb->Cdb);

    Irp->MdlAddress = mdl;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_SCSI;
    next->Parameters.Scsi.Srb = srb;
    return srb;
}

static PDEVICE_OBJECT CommandTarget(PDEVICE_OBJECT Fdo, USHORT Command, PDEVICE_OBJECT* Counted)
{
    *Counted = NULL;
    ULONG unit = CMD_UNIT(Command);
    return unit <= 1 ? UnitTableReferenceTarget(Fdo, unit, Counted) : NULL;
}

// One stack location of our own and the target's stack: unit 1's stack may
// be deeper than unit 0's (a filter on one unit only).
static PIRP AllocateEngineIrp(PDEVICE_OBJECT Fdo, PDEVICE_OBJECT Target,
                              const ENGINE_COMMAND* Entry, ULONG Length)
{
    PIRP irp = IoAllocateIrp((CCHAR)(Target->StackSize + 1), FALSE);
    if (irp == NULL)
        return NULL;
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(irp);
    own->MajorFunction = CMD_DIRECTION(Entry->Command) == 0 ? IRP_MJ_WRITE : IRP_MJ_READ;
    own->DeviceObject = Fdo;
    own->Parameters.Write.Length = Length;
    return irp;
}

static VOID AdvanceSequences(PDEVICE_EXTENSION Ext, USHORT Command)
{
    if (Command == CMD_VENDOR_DATA || Command == CMD_FLUSH)
        Ext->WriteSequence++;
    else if (Command == CMD_STATUS_READ)
        Ext->StatusSequence++;
}

// The reply length is what the printer says it delivered, never more than
// the reply buffer holds: CopyReply copies that many bytes out of it.
static ULONG ReplyLengthOf(PDEVICE_EXTENSION Ext, USHORT Command, PIRP Irp)
{
    ULONG length = 0;
    if (Command == CMD_STATUS_READ || Command == CMD_DEVICE_ID)
        length = (ULONG)Irp->IoStatus.Information;
    else if (IsInfoCommand(Command))
        length = Ext->ReplyBufferSize;
    return length > Ext->ReplyBufferSize ? Ext->ReplyBufferSize : length;
}

// The print data the printer took of Length bytes sent.
static ULONG TakenLengthOf(PIRP Irp, ULONG Length)
{
    return Irp->IoStatus.Information < Length ? (ULONG)Irp->IoStatus.Information : Length;
}

// Sends one command and waits for it. The status is always the one that
// SrbCompletion derived from the SRB, whether the port driver completed the
// request before returning or later from another context.
// The request packet borrows the engine's MDL for one command: it is unhooked
// before the packet goes, since the MDL lives on for the next command (Wine's
// IoFreeIrp frees whatever chain MdlAddress still points to).
static VOID FreeEngineIrp(PIRP Irp)
{
    Irp->MdlAddress = NULL;
    IoFreeIrp(Irp);
}

// SendCommandAndWait once the target is known (and counted).
static NTSTATUS SendCommandTo(PDEVICE_OBJECT Fdo, PDEVICE_OBJECT Target,
                              const ENGINE_COMMAND* Entry, ULONG Length, PULONG ReplyLength)
{
    PDEVICE_EXTENSION ext = EngineExtension(Fdo);
    USHORT Command = Entry->Command;
    PIRP irp = AllocateEngineIrp(Fdo, Target, Entry, Length);
    if (irp == NULL)
        return STATUS_DEVICE_BUSY;
    PSCSI_REQUEST_BLOCK srb = BuildSrbRequest(ext, Entry, irp, Length);
    if (srb == NULL) {
        IoFreeIrp(irp);
        return STATUS_DEVICE_BUSY;
    }
    KeInitializeEvent(&ext->SendDoneEvent, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SrbCompletion, srb, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(Target, irp);
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&ext->SendDoneEvent, Executive, KernelMode, FALSE, NULL);
    status = irp->IoStatus.Status;
    if (status == STATUS_SUCCESS)
        AdvanceSequences(ext, Command);
    if (ReplyLength != NULL)
        *ReplyLength = Entry->Data == DATA_PRINT ? TakenLengthOf(irp, Length)
                                                 : ReplyLengthOf(ext, Command, irp);
    FreeEngineIrp(irp);
    return status;
}

static NTSTATUS SendCommandAndWait(PDEVICE_OBJECT Fdo, USHORT Command, PULONG ReplyLength)
{
    PDEVICE_EXTENSION ext = EngineExtension(Fdo);
    if (ReplyLength != NULL)
        *ReplyLength = 0;
    const ENGINE_COMMAND* entry = FindCommand(Command);
    if (entry == NULL)
        return STATUS_DEVICE_BUSY;
    ULONG length = CommandLength(ext, entry);
    PDEVICE_OBJECT counted;
    PDEVICE_OBJECT target = CommandTarget(Fdo, Command, &counted);
    if (target == NULL)
        return STATUS_DEVICE_BUSY;
    NTSTATUS status = SendCommandTo(Fdo, target, entry, length, ReplyLength);
    if (counted != NULL)
        IoCountRelease(counted);
    return status;
}

// ---------------------------------------------------------------------------
// Print data.

// A printer may take only the first part of a transfer: what it did not
// take moves to the front of the buffer and goes with the next flush.
static VOID KeepUntakenData(PDEVICE_EXTENSION Ext, ULONG Taken)
{
    if (Taken >= Ext->PrintFill) {
        Ext->PrintFill = 0;
        return;
    }
    RtlMoveMemory(Ext->PrintBuffer, Ext->PrintBuffer + Taken, Ext->PrintFill - Taken);
    Ext->PrintFill -= Taken;
}

NTSTATUS FlushDataBuffer(USHORT Command, PDEVICE_OBJECT Fdo)
{
    PDEVICE_EXTENSION ext = EngineExtension(Fdo);
    if (ext->FlushFailed)
        return STATUS_DEVICE_BUSY;
    if (ext->PrintFill == 0)
        return STATUS_SUCCESS;
    if (!EngineHoldsEverything(ext))
        return STATUS_DEVICE_BUSY;
    ULONG taken = 0;
    NTSTATUS status = SendCommandAndWait(Fdo, Command, &taken);
    if (status == STATUS_SUCCESS)
        KeepUntakenData(ext, taken);
    return status;
}

// A refused flush takes its chunk back; the printer gets 60 s from the first
// refusal of a run before the caller hears that it is off line.
static NTSTATUS NoteRefusedFlush(PDEVICE_EXTENSION Ext)
{
    if (Ext->RetryPending) {
        return TimeElapsed(Ext->RetryStart, ENGINE_REFUSAL_WINDOW_MS) ? STATUS_DEVICE_OFF_LINE
                                                                      : STATUS_SUCCESS;
    }
    Ext->RetryPending = 1;
    Ext->RetryStart = IntervalTime();
    return STATUS_SUCCESS;
}

// The printer took part of a flush that ended with Chunk, this write's
// bytes: KeepUntakenData left what it did not take at the buffer's front.
// Those of this write are taken back and the write reports a short count,
// so that the caller sends them again as after a refusal; those of earlier
// writes, already reported taken, stay for the next flush.
static NTSTATUS TakeBackUntakenChunk(PDEVICE_EXTENSION Ext, ULONG Chunk, PULONG Length)
{
    ULONG untaken = Ext->PrintFill;
    if (untaken <= Chunk) {
        Ext->PrintFill = 0;
        *Length += Chunk - untaken;
    } else {
        Ext->PrintFill = untaken - Chunk;
    }
    return STATUS_SUCCESS;
}

static NTSTATUS BufferWriteData(PDEVICE_OBJECT Fdo, USHORT Command, const UCHAR* Source,
                                PULONG Length, BOOLEAN FlushNow)
{
    PDEVICE_EXTENSION ext = EngineExtension(Fdo);
    ULONG remaining = *Length;
    NTSTATUS status = STATUS_SUCCESS;
    *Length = 0;
    while (remaining > 0) {
        ULONG room = ext->PrintBufferSize - ext->PrintFill;
        ULONG chunk = remaining < room ? remaining : room;
        RtlCopyMemory(ext->PrintBuffer + ext->PrintFill, Source, chunk);
        ULONG previous = ext->PrintFill;
        ext->PrintFill += chunk;
        if (ext->PrintFill < ext->PrintBufferSize && !FlushNow) {
            *Length += chunk;
            status = STATUS_SUCCESS;
        } else {
            ext->FlushFailed = 0;
            ULONG sent = ext->PrintFill;
            status = FlushDataBuffer(Command, Fdo);
            // Nothing taken is a refusal, whatever the sense bytes said.
            if (status != STATUS_SUCCESS || ext->PrintFill == sent) {
                ext->PrintFill = previous;
                ext->FlushFailed = 1;
                return NoteRefusedFlush(ext);
            }
            ext->RetryPending = 0;
            if (ext->PrintFill != 0)
                return TakeBackUntakenChunk(ext, chunk, Length);
            *Length += chunk;
        }
        Source += chunk;
        remaining -= chunk;
    }
    return status;
}

// Page-sized writes (4096 or 65536 bytes) are gathered into full buffers;
// anything else, and the first write of a connection, goes out at once.
static NTSTATUS SendPrintData(PDEVICE_OBJECT Fdo, USHORT Command, PVOID Buffer, PULONG Length)
{
    if (Length == NULL)
        return STATUS_DEVICE_BUSY;
    if (Buffer == NULL || *Length == 0) {
        *Length = 0;
        return STATUS_DEVICE_BUSY;
    }
    BOOLEAN flushNow =
        (*Length != 4096 && *Length != 65536) || EngineExtension(Fdo)->WriteCount == 1;
    return BufferWriteData(Fdo, Command, (const UCHAR*)Buffer, Length, flushNow);
}

// ---------------------------------------------------------------------------
// Replies.

// Copies a reply from ReplyBuffer into the caller's buffer, never more than
// the caller's capacity and never more than the printer delivered.
static NTSTATUS CopyReply(PDEVICE_EXTENSION Ext, USHORT Command, PVOID Buffer, PULONG Length,
                          ULONG ReplyLength)
{
    ULONG capacity = Buffer != NULL ? *Length : 0;
    const UCHAR* reply = Ext->ReplyBuffer;
    *Length = 0;
    if (IsInfoCommand(Command)) {
        if (capacity < ENGINE_INFO_REPLY || ReplyLength < ENGINE_INFO_REPLY)
            return STATUS_BUFFER_TOO_SMALL;
        RtlCopyMemory(Buffer, reply, ENGINE_INFO_REPLY);
        *Length = ENGINE_INFO_REPLY;
        return STATUS_SUCCESS;
    }
    if (Command == CMD_STATUS_READ) {
        ULONG count = capacity < ReplyLength ? capacity : ReplyLength;
        if (count != 0)
            RtlCopyMemory(Buffer, reply, count);
        *Length = count;
        return STATUS_SUCCESS;
    }
    // The device ID starts with its own big-endian 16-bit length.
    if (ReplyLength == 0)
        return STATUS_SUCCESS;
    if (ReplyLength > capacity) {
        if (capacity != 0)
            RtlCopyMemory(Buffer, reply, capacity);
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(Buffer, reply, ReplyLength);
    // The length field is the printer's word; never report bytes it did not
    // deliver.
    ULONG field = ReplyLength >= 2 ? ((ULONG)reply[0] << 8) | reply[1] : 0;
    *Length = field < ReplyLength ? field : ReplyLength;
    return STATUS_SUCCESS;
}

static NTSTATUS ReadReply(PDEVICE_OBJECT Fdo, USHORT Command, PVOID Buffer, PULONG Length)
{
    ULONG scratch = 0;
    PULONG length = Length != NULL ? Length : &scratch;

    // An INFO reply is 8 bytes; a caller who cannot take them gets nothing
    // and the printer is not asked.
    if (IsInfoCommand(Command) && (Buffer == NULL || *length < ENGINE_INFO_REPLY)) {
        *length = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    FlushDataBuffer(CMD_FLUSH, Fdo);
    // What the printer does not deliver reads as zeros, not as what the
    // pool or an earlier reply left there: an INFO answer is always 8
    // bytes, and a status reply is as long as the printer says it is.
    PDEVICE_EXTENSION ext = EngineExtension(Fdo);
    RtlZeroMemory(ext->ReplyBuffer, ext->ReplyBufferSize);
    ULONG replyLength = 0;
    NTSTATUS status = SendCommandAndWait(Fdo, Command, &replyLength);
    if (status != STATUS_SUCCESS) {
        *length = 0;
        return Command == CMD_STATUS_READ ? STATUS_SUCCESS : status;
    }
    NTSTATUS copied = CopyReply(ext, Command, Buffer, length, replyLength);
    if (Command == CMD_DEVICE_ID && copied == STATUS_BUFFER_TOO_SMALL)
        return copied;
    return STATUS_SUCCESS;
}

// Once per connection the printer is asked for both units' information
// before anything else; the answers are not used.
static VOID SendConnectionPreamble(PDEVICE_OBJECT Fdo)
{
    PDEVICE_EXTENSION ext = EngineExtension(Fdo);
    if (!(ext->EngineState & ENGINE_UNIT0_INFO_SENT)) {
        SendCommandAndWait(Fdo, CMD_UNIT0_INFO_A, NULL);
        ext->EngineState |= ENGINE_UNIT0_INFO_SENT;
    }
    if (!(ext->EngineState & ENGINE_UNIT1_INFO_SENT)) {
        SendCommandAndWait(Fdo, CMD_UNIT1_INFO_A, NULL);
        ext->EngineState |= ENGINE_UNIT1_INFO_SENT;
    }
}

NTSTATUS SendPrinterCommand(USHORT Command, PDEVICE_OBJECT Fdo, PVOID Buffer, PULONG Length)
{
    PDEVICE_EXTENSION ext = EngineExtension(Fdo);
    if (ext->EngineState == 0) {
        EngineSetup(Fdo);
        ext->EngineState = ENGINE_BUFFERS_READY;
    }
    if (!EngineHoldsEverything(ext)) {
        if (Length != NULL)
            *Length = 0;
        return STATUS_DEVICE_BUSY;
    }
    if (Command != CMD_UNIT0_INFO_A && Command != CMD_UNIT1_INFO_A)
        SendConnectionPreamble(Fdo);
    switch (Command) {
    case CMD_PRINT_DATA:
    case CMD_VENDOR_DATA:
        return SendPrintData(Fdo, Command, Buffer, Length);
    case CMD_DATA_CLEAR:
    case CMD_STATUS_CLEAR:
        ext->PrintFill = 0;
        return SendCommandAndWait(Fdo, Command, NULL);
    case CMD_UNIT0_INFO_A:
    case CMD_UNIT0_INFO_B:
    case CMD_UNIT1_INFO_A:
    case CMD_UNIT1_INFO_B:
    case CMD_DEVICE_ID:
    case CMD_STATUS_READ:
        return ReadReply(Fdo, Command, Buffer, Length);
    default:
        if (Length != NULL)
            *Length = 0;
        return STATUS_DEVICE_BUSY;
    }
}
