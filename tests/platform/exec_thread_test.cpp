// System threads: their objects, handles and ends.
#include "machine_test.h"

#include <wdm.h>

#include "ob.h"

#include <atomic>

namespace {

struct ThreadContext {
    KEVENT go;
    Process *process = nullptr;
    KIRQL irql = 0xFF;
    bool terminateEarly = false;
    std::atomic<bool> passedTerminate{false};
};

VOID NTAPI ThreadRoutine(PVOID context) {
    auto *ctx = static_cast<ThreadContext *>(context);
    ctx->process = PsCurrentProcess();
    ctx->irql = KeGetCurrentIrql();
    KeWaitForSingleObject(&ctx->go, Executive, KernelMode, FALSE, nullptr);
    if (ctx->terminateEarly) {
        PsTerminateSystemThread(STATUS_SUCCESS);
        ctx->passedTerminate = true;  // never reached
    }
}

using SystemThreadTest = MachineTest;

NTSTATUS WaitOnThreadHandle(HANDLE handle, LARGE_INTEGER *timeout) {
    PVOID thread = nullptr;
    NTSTATUS status =
        ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
    EXPECT_EQ(status, STATUS_SUCCESS);
    status = KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, timeout);
    ObDereferenceObject(thread);
    return status;
}

TEST_F(SystemThreadTest, ThreadRunsInTheSystemProcessAndItsObjectSignalsTheEnd) {
    for (bool terminateEarly : {false, true}) {
        ThreadContext ctx;
        ctx.terminateEarly = terminateEarly;
        KeInitializeEvent(&ctx.go, NotificationEvent, FALSE);
        HANDLE handle = nullptr;
        ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                       ThreadRoutine, &ctx),
                  STATUS_SUCCESS);
        // Without OBJ_KERNEL_HANDLE the handle is the calling process's.
        size_t handles = PsHandleCount(PsDefaultProcess());
        EXPECT_GE(handles, 1u);
        LARGE_INTEGER zero{};
        EXPECT_EQ(WaitOnThreadHandle(handle, &zero), STATUS_TIMEOUT);  // still running
        KeSetEvent(&ctx.go, 0, FALSE);
        EXPECT_EQ(WaitOnThreadHandle(handle, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(ctx.process, PsSystemProcess());
        EXPECT_EQ(ctx.irql, PASSIVE_LEVEL);
        EXPECT_FALSE(ctx.passedTerminate.load());
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        EXPECT_EQ(PsHandleCount(PsDefaultProcess()), handles - 1);
    }
}

TEST_F(SystemThreadTest, KernelHandleGoesToTheSystemProcess) {
    ThreadContext ctx;
    KeInitializeEvent(&ctx.go, NotificationEvent, TRUE);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    size_t before = PsHandleCount(PsSystemProcess());
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                   ThreadRoutine, &ctx),
              STATUS_SUCCESS);
    EXPECT_EQ(PsHandleCount(PsSystemProcess()), before + 1);
    // Kernel mode finds it from the application's context; a handle passed on from
    // user mode with the same value does not.
    PVOID thread = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, UserMode, &thread, nullptr),
              STATUS_INVALID_HANDLE);
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(PsHandleCount(PsSystemProcess()), before);
}

using SystemThreadDeathTest = MachineTest;

TEST_F(SystemThreadDeathTest, ClosingAnUnknownHandleStops) {
    EXPECT_DEATH(ZwClose(reinterpret_cast<HANDLE>(ULONG_PTR(0x1234))), "INVALID_KERNEL_HANDLE");
}

}  // namespace
