// The object namespace, symbolic links, named events and per-process handles.
#include "machine_test.h"

#include <wdm.h>

#include "ntservices.h"
#include "ob.h"

#include <thread>

namespace {

using NamespaceTest = MachineTest;

UNICODE_STRING Counted(const char16_t *text) {
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, text);
    return string;
}

TEST_F(NamespaceTest, LinksResolveThroughDosDevicesAndCollide) {
    void *event = ObCreateObject(&ObEventType, sizeof(KEVENT));
    KeInitializeEvent(static_cast<PKEVENT>(event), NotificationEvent, FALSE);
    ASSERT_EQ(ObInsertObject(event, u"\\Device\\Thing0", OBJ_PERMANENT), STATUS_SUCCESS);
    EXPECT_EQ(ObInsertObject(event, u"\\Device\\THING0", OBJ_PERMANENT),
              STATUS_OBJECT_NAME_COLLISION);

    ASSERT_EQ(ObCreateSymbolicLink(u"\\DosDevices\\COM7", u"\\Device\\Thing0"), STATUS_SUCCESS);
    EXPECT_EQ(ObCreateSymbolicLink(u"\\??\\com7", u"\\Device\\Other"),
              STATUS_OBJECT_NAME_COLLISION);

    void *found = nullptr;
    ASSERT_EQ(ObLookupObject(u"\\??\\COM7", &found), STATUS_SUCCESS);
    EXPECT_EQ(found, event);
    ObfDereferenceObject(found);
    std::u16string remaining;
    ASSERT_EQ(ObLookupObject(u"\\GLOBAL??\\com7\\sub\\path", &found, &remaining), STATUS_SUCCESS);
    EXPECT_EQ(found, event);
    EXPECT_EQ(remaining, u"\\sub\\path");
    ObfDereferenceObject(found);
    EXPECT_EQ(ObLookupObject(u"\\??\\COM7\\sub", &found), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(ObLookupObject(u"\\??\\COM8", &found), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ObLookupObject(u"\\Nowhere\\COM8", &found), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(ObLookupObject(u"COM7", &found), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(ObGetObjectName(event), u"\\Device\\Thing0");

    std::u16string target;
    EXPECT_EQ(ObQuerySymbolicLink(u"\\DosDevices\\COM7", &target), STATUS_SUCCESS);
    EXPECT_EQ(target, u"\\Device\\Thing0");
    EXPECT_EQ(ObDeleteSymbolicLink(u"\\DosDevices\\COM7"), STATUS_SUCCESS);
    EXPECT_EQ(ObLookupObject(u"\\??\\COM7", &found), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ObCreateSymbolicLink(u"\\DosDevices\\COM7", u"\\Device\\Thing0"), STATUS_SUCCESS);

    // A permanent object keeps its name until it is made temporary.
    ObMakeTemporaryObject(event);
    EXPECT_EQ(ObLookupObject(u"\\??\\COM7", &found), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ObGetReferenceCount(event), 1);
    ObfDereferenceObject(event);
}

TEST_F(NamespaceTest, LinkCyclesEndInAnError) {
    ASSERT_EQ(ObCreateSymbolicLink(u"\\??\\A", u"\\??\\B"), STATUS_SUCCESS);
    ASSERT_EQ(ObCreateSymbolicLink(u"\\??\\B", u"\\??\\A"), STATUS_SUCCESS);
    void *found = nullptr;
    EXPECT_EQ(ObLookupObject(u"\\??\\A", &found), STATUS_OBJECT_PATH_NOT_FOUND);
}

// The driver's pattern: a system thread creates the named event, so its handle is
// the system process's; an application in another process opens it by name.
struct CreatorContext {
    HANDLE handle;
    PKEVENT event;
};

VOID NTAPI CreateNamedEvent(PVOID context) {
    auto *ctx = static_cast<CreatorContext *>(context);
    UNICODE_STRING name = Counted(u"\\BaseNamedObjects\\keluPortData1");
    ctx->event = IoCreateSynchronizationEvent(&name, &ctx->handle);
    KeClearEvent(ctx->event);
}

TEST_F(NamespaceTest, NamedEventFromASystemThreadIsSeenByAnApplication) {
    CreatorContext ctx{};
    HANDLE thread;
    ASSERT_EQ(PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, CreateNamedEvent, &ctx),
              STATUS_SUCCESS);
    PVOID threadObject;
    ObReferenceObjectByHandle(thread, 0, *PsThreadType, KernelMode, &threadObject, nullptr);
    KeWaitForSingleObject(threadObject, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(threadObject);
    ZwClose(thread);
    ASSERT_NE(ctx.event, nullptr);
    EXPECT_EQ(ObGetHandleCount(ctx.event), 1);

    Process *application = PsCreateProcess("app");
    PsSetCurrentProcess(application);
    UNICODE_STRING bare = Counted(u"keluPortData1");
    HANDLE opened;
    ASSERT_EQ(NtOpenEvent(&opened, &bare), STATUS_SUCCESS);
    LARGE_INTEGER zero{};
    EXPECT_EQ(NtWaitForSingleObject(opened, FALSE, &zero), STATUS_TIMEOUT);  // cleared
    KeSetEvent(ctx.event, 0, FALSE);
    KeSetEvent(ctx.event, 0, FALSE);
    EXPECT_EQ(NtWaitForSingleObject(opened, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(NtWaitForSingleObject(opened, FALSE, &zero), STATUS_TIMEOUT);  // auto-reset, once

    // Creating it again opens the same event.
    PsSetCurrentProcess(PsSystemProcess());
    UNICODE_STRING full = Counted(u"\\BaseNamedObjects\\keluPortData1");
    HANDLE second;
    EXPECT_EQ(IoCreateSynchronizationEvent(&full, &second), ctx.event);

    // The system's handles closed: the application's keeps the name alive.
    EXPECT_EQ(ZwClose(ctx.handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(second), STATUS_SUCCESS);
    PsSetCurrentProcess(application);
    HANDLE again;
    EXPECT_EQ(NtOpenEvent(&again, &bare), STATUS_SUCCESS);
    EXPECT_EQ(NtClose(again), STATUS_SUCCESS);
    EXPECT_EQ(NtClose(again), STATUS_INVALID_HANDLE);  // user mode gets a status, not a stop

    // The application ends: its handle closes and the name goes with the last one.
    PsSetCurrentProcess(PsDefaultProcess());
    PsTerminateProcess(application);
    EXPECT_EQ(PsHandleCount(application), 0u);
    EXPECT_EQ(NtOpenEvent(&again, &bare), STATUS_OBJECT_NAME_NOT_FOUND);
    ObfDereferenceObject(application);
}

TEST_F(NamespaceTest, TerminatingAProcessClosesItsHandlesAndRefusesNewOnes) {
    Process *application = PsCreateProcess("app");
    PsSetCurrentProcess(application);
    HANDLE named, unnamed;
    UNICODE_STRING name = Counted(u"Ready");
    ASSERT_EQ(NtCreateEvent(&named, &name, TRUE, FALSE), STATUS_SUCCESS);
    ASSERT_EQ(NtCreateEvent(&unnamed, nullptr, FALSE, FALSE), STATUS_SUCCESS);
    HANDLE duplicate;
    EXPECT_EQ(NtCreateEvent(&duplicate, &name, TRUE, FALSE), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(PsHandleCount(application), 3u);

    // A reference taken through the handle keeps the event alive after the process
    // ends; its name goes with the last handle.
    PVOID event;
    ASSERT_EQ(ObReferenceObjectByHandleIn(application, named, &ObEventType, &event), STATUS_SUCCESS);
    PsSetCurrentProcess(PsDefaultProcess());
    PsTerminateProcess(application);
    EXPECT_EQ(PsHandleCount(application), 0u);
    EXPECT_EQ(ObGetHandleCount(event), 0);
    HANDLE reopened;
    EXPECT_EQ(NtOpenEvent(&reopened, &name), STATUS_OBJECT_NAME_NOT_FOUND);
    PsSetCurrentProcess(application);
    EXPECT_EQ(NtCreateEvent(&reopened, nullptr, FALSE, FALSE), STATUS_PROCESS_IS_TERMINATING);
    EXPECT_EQ(NtSetEvent(named, nullptr), STATUS_INVALID_HANDLE);
    PsSetCurrentProcess(PsDefaultProcess());
    EXPECT_EQ(ObGetReferenceCount(event), 1);
    ObfDereferenceObject(event);
    ObfDereferenceObject(application);
}

TEST_F(NamespaceTest, HandleOfTheWrongTypeIsRefused) {
    HANDLE event;
    ASSERT_EQ(NtCreateEvent(&event, nullptr, TRUE, FALSE), STATUS_SUCCESS);
    PVOID object;
    EXPECT_EQ(ObReferenceObjectByHandle(event, 0, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ObReferenceObjectByHandle(event, 0, *ExEventObjectType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    ObDereferenceObject(object);
    EXPECT_EQ(NtClose(event), STATUS_SUCCESS);
}

}  // namespace
