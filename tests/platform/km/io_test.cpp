// The simulated I/O manager: device objects, stacks, IRP completion.
#include "kmsim.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace
{

struct Trace {
    std::vector<std::string> calls;
};

// Three drivers stacked: each layer's dispatch passes the request down with
// its own completion routine; the bottom completes it.
struct Layer {
    PDEVICE_OBJECT device = nullptr;
    std::string name;
    NTSTATUS routineResult = STATUS_SUCCESS;
    UCHAR control = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
};

Trace* gTrace;
Layer* gLayers[3];
NTSTATUS gBottomStatus;
bool gBottomPends;
std::thread gCompleter;

NTSTATUS NTAPI LayerCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    Layer* layer = (Layer*)context;
    gTrace->calls.push_back(layer->name + (device == layer->device ? "" : "?") +
                            (irp->PendingReturned ? "+p" : ""));
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return layer->routineResult;
}

NTSTATUS NTAPI PassDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    for (int i = 0; i < 2; i++) {
        if (gLayers[i]->device == device) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, LayerCompletion, gLayers[i],
                                   (gLayers[i]->control & SL_INVOKE_ON_SUCCESS) != 0,
                                   (gLayers[i]->control & SL_INVOKE_ON_ERROR) != 0,
                                   (gLayers[i]->control & SL_INVOKE_ON_CANCEL) != 0);
            return IoCallDriver(gLayers[i + 1]->device, irp);
        }
    }
    irp->IoStatus.Status = gBottomStatus;
    if (gBottomPends) {
        IoMarkIrpPending(irp);
        gCompleter = std::thread([irp] {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            KeLowerIrql(old);
        });
        return STATUS_PENDING;
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return gBottomStatus;
}

class IoTest : public ::testing::Test
{
  protected:
    PDRIVER_OBJECT driver = nullptr;
    Layer layers[3];
    Trace trace;

    void SetUp() override
    {
        kmsim::Reset();
        driver = kmsim::CreateDriverObject("layers");
        for (auto& f : driver->MajorFunction)
            f = PassDispatch;
        const char* names[] = {"top", "middle", "bottom"};
        for (int i = 2; i >= 0; i--) {
            layers[i].name = names[i];
            ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, 0, 0, FALSE, &layers[i].device),
                      STATUS_SUCCESS);
            if (i < 2)
                IoAttachDeviceToDeviceStack(layers[i].device, layers[i + 1].device);
            gLayers[i] = &layers[i];
        }
        gTrace = &trace;
        gBottomStatus = STATUS_SUCCESS;
        gBottomPends = false;
    }

    void TearDown() override
    {
        if (gCompleter.joinable())
            gCompleter.join();
        for (int i = 0; i < 2; i++)
            IoDetachDevice(layers[i + 1].device);
        for (auto& l : layers)
            IoDeleteDevice(l.device);
        kmsim::DeleteDriverObject(driver);
        EXPECT_EQ(kmsim::LeakReport(), "");
        EXPECT_TRUE(kmsim::Violations().empty());
    }
};

TEST_F(IoTest, StackSizesFollowAttachment)
{
    EXPECT_EQ(layers[2].device->StackSize, 1);
    EXPECT_EQ(layers[1].device->StackSize, 2);
    EXPECT_EQ(layers[0].device->StackSize, 3);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(layers[2].device);
    EXPECT_EQ(top, layers[0].device);
    EXPECT_EQ(kmsim::ExtraReferenceCount(), 1u);
    ObDereferenceObject(top);
    EXPECT_EQ(kmsim::ExtraReferenceCount(), 0u);
}

struct CompletionCase {
    const char* name;
    NTSTATUS bottom;
    bool pends;
    NTSTATUS middleResult;
    UCHAR middleControl;
    std::vector<std::string> expected;
};

class CompletionTest : public IoTest, public ::testing::WithParamInterface<CompletionCase>
{
};

TEST_P(CompletionTest, RoutinesRunBottomUp)
{
    const CompletionCase& c = GetParam();
    gBottomStatus = c.bottom;
    gBottomPends = c.pends;
    layers[1].routineResult = c.middleResult;
    layers[1].control = c.middleControl;
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, layers[0].device, nullptr, 0, nullptr, 0,
                                             FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    NTSTATUS s = IoCallDriver(layers[0].device, irp);
    EXPECT_EQ(s, c.pends ? STATUS_PENDING : c.bottom);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(iosb.Status, c.bottom);
    EXPECT_EQ(trace.calls, c.expected);
}

const UCHAR kAll = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;

INSTANTIATE_TEST_SUITE_P(
    Cases, CompletionTest,
    ::testing::Values(
        CompletionCase{"Sync", STATUS_SUCCESS, false, STATUS_SUCCESS, kAll, {"middle", "top"}},
        CompletionCase{
            "Pending", STATUS_SUCCESS, true, STATUS_SUCCESS, kAll, {"middle+p", "top+p"}},
        // clang-format off
        CompletionCase{"ErrorSkipsSuccessOnly", STATUS_UNSUCCESSFUL, false, STATUS_SUCCESS,
                       SL_INVOKE_ON_SUCCESS, {"top"}},
        CompletionCase{"SuccessSkipsErrorOnly", STATUS_SUCCESS, true, STATUS_SUCCESS,
                       SL_INVOKE_ON_ERROR, {"top+p"}},
        CompletionCase{"CancelOnlyOnError", STATUS_UNSUCCESSFUL, false, STATUS_SUCCESS,
                       SL_INVOKE_ON_CANCEL, {"top"}}),
    // clang-format on
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(IoTest, BufferedControlRequestCopiesTheOutputBack)
{
    struct Echo {
        static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP irp)
        {
            PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
            char* buffer = (char*)irp->AssociatedIrp.SystemBuffer;
            for (ULONG i = 0; i < s->Parameters.DeviceIoControl.InputBufferLength; i++)
                buffer[i] = (char)(buffer[i] + 1);
            irp->IoStatus.Information = 3;
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }
    };
    PDRIVER_OBJECT echo = kmsim::CreateDriverObject("echo");
    echo->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Echo::Dispatch;
    PDEVICE_OBJECT dev = nullptr;
    ASSERT_EQ(IoCreateDevice(echo, 0, nullptr, 0, 0, FALSE, &dev), STATUS_SUCCESS);
    char in[4] = {'a', 'b', 'c', 'd'};
    char out[8] = {};
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(0x22, 1, METHOD_BUFFERED, 0), dev, in, 4, out,
                                             sizeof out, FALSE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(dev, irp), STATUS_SUCCESS);
    EXPECT_NE(KeReadStateEvent(&event), 0);
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_EQ(std::string(out, 4), std::string("bcd\0", 4)); // Information bytes only
    IoDeleteDevice(dev);
    kmsim::DeleteDriverObject(echo);
}

TEST_F(IoTest, VerifierCatchesMisuse)
{
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetNextIrpStackLocation(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT); // nobody finishes it: reported
    IoCompleteRequest(irp, IO_NO_INCREMENT); // completed twice: reported
    IoFreeIrp(irp);
    EXPECT_EQ(kmsim::Violations().size(), 2u);
    kmsim::ClearViolations();

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_NE(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeLowerIrql(old);
    EXPECT_EQ(kmsim::Violations().size(), 1u); // only the blocking wait
    kmsim::ClearViolations();

    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kmsim::Tag("Test"));
    ExFreePool(p);
    ExFreePool(p);
    EXPECT_EQ(kmsim::Violations().size(), 1u);
    kmsim::ClearViolations();
}

TEST_F(IoTest, NamesCollideAndLinksResolve)
{
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, L"\\Device\\Thing0");
    RtlInitUnicodeString(&link, L"\\DosDevices\\THING");
    PDEVICE_OBJECT a = nullptr, b = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 16, &name, 0, 0, FALSE, &a), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateDevice(driver, 16, &name, 0, 0, FALSE, &b), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(((UCHAR*)a->DeviceExtension)[15], 0); // extensions are zero-filled
    EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(kmsim::SymbolicLinkTarget("\\dosdevices\\thing"), "\\Device\\Thing0");
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    // a referenced device outlives its deletion until the reference goes
    ObReferenceObject(a);
    IoDeleteDevice(a);
    EXPECT_EQ(kmsim::FindDevice("\\Device\\Thing0"), nullptr);
    EXPECT_EQ(kmsim::LiveDeviceCount(), 4u);
    ObDereferenceObject(a);
    EXPECT_EQ(kmsim::LiveDeviceCount(), 3u);
}

} // namespace

namespace
{
// On a retail kernel a freed IRP is kept for the next one of its size, as
// the system's IRP lookaside lists do: reused or not, an IRP counts as
// allocated exactly while it is (a leaked one is still reported), and a
// reused one starts clean.
TEST(RetailIrpTest, ReusedIrpsStartCleanAndCountOnlyWhileAllocated)
{
    kmsim::Reset();
    kmsim::SetRetailKernel(true);
    PIRP first = IoAllocateIrp(3, FALSE);
    first->Cancel = TRUE;
    first->IoStatus.Status = STATUS_CANCELLED;
    IoSetNextIrpStackLocation(first);
    IoFreeIrp(first);
    EXPECT_EQ(kmsim::PoolOutstanding(kmsim::kTagIrp), 0u);

    PIRP again = IoAllocateIrp(3, FALSE);
    PIRP bigger = IoAllocateIrp(5, FALSE);
    ASSERT_EQ(again, first); // the freed one, taken again
    EXPECT_EQ(kmsim::PoolOutstanding(kmsim::kTagIrp), 2u);
    EXPECT_FALSE(again->Cancel);
    EXPECT_EQ(again->IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(again->CurrentLocation, 4);
    EXPECT_EQ(bigger->StackCount, 5);
    IoFreeIrp(again);
    EXPECT_NE(kmsim::LeakReport().find("Irp"), std::string::npos);
    IoFreeIrp(bigger);
    EXPECT_EQ(kmsim::LeakReport(), "");
    kmsim::Reset();
}
} // namespace
