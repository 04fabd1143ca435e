// A driver made to break the kernel's rules on purpose: each test gives its
// dispatch routine a body, sends it requests and looks at what the verifier
// reported.
#pragma once

#include "kmsim.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace verifier
{

// Accesses the sanitizer must not see: they touch guards and freed blocks on
// purpose to show that the verifier notices.
#if defined(__SANITIZE_ADDRESS__)
#define VERIFIER_RAW __attribute__((no_sanitize_address, noinline))
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VERIFIER_RAW __attribute__((no_sanitize_address, noinline))
#endif
#endif
#ifndef VERIFIER_RAW
#define VERIFIER_RAW __attribute__((noinline))
#endif

VERIFIER_RAW inline void RawWrite(volatile UCHAR* p, long offset, UCHAR value)
{
    p[offset] = value;
}
VERIFIER_RAW inline UCHAR RawRead(volatile const UCHAR* p, long offset)
{
    return p[offset];
}

inline bool Reported(const std::string& fragment)
{
    for (const std::string& v : kmsim::Violations())
        if (v.find(fragment) != std::string::npos)
            return true;
    return false;
}

inline std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>& Body()
{
    static std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> body;
    return body;
}

inline NTSTATUS NTAPI FaultyDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    return Body()(device, irp);
}

inline NTSTATUS NTAPI SenderCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    ++*(int*)context;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class FaultyDriverTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        kmsim::Reset();
        driver = kmsim::CreateDriverObject("faulty");
        driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FaultyDispatch;
        ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, 0, 0, FALSE, &device), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        for (PIRP irp : sent)
            IoFreeIrp(irp);
        if (device != nullptr)
            IoDeleteDevice(device);
        kmsim::DeleteDriverObject(driver);
        Body() = nullptr;
        kmsim::Reset();
    }

    // Sends a device-control request from a sender's own stack location and
    // returns what the dispatch routine returned; the IRP stays allocated
    // until the test ends so that a late completion can still reach it.
    NTSTATUS Send(PIRP* out = nullptr)
    {
        PIRP irp = IoAllocateIrp((CCHAR)(device->StackSize + 1), FALSE);
        sent.push_back(irp);
        IoSetNextIrpStackLocation(irp);
        IoSetCompletionRoutine(irp, SenderCompletion, &completions, TRUE, TRUE, TRUE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        if (out)
            *out = irp;
        return IoCallDriver(device, irp);
    }

    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    std::vector<PIRP> sent;
    int completions = 0;
};

inline NTSTATUS CompleteNow(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

} // namespace verifier
