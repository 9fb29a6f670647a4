// The object manager: typed, reference-counted objects, the namespace (\Device,
// \?? with \DosDevices linking to it, \BaseNamedObjects, \Driver), symbolic links
// and per-process handle tables. Names compare case-insensitively.
//
// An object's body is what its type defines (a KEVENT for an event, a
// DEVICE_OBJECT for a device); the header is kept in front of it. Every routine
// here is safe to call from any thread; type callbacks run without the object
// manager's lock held.
#pragma once

#include <wdm.h>

#include <string>
#include <string_view>

struct Process;

struct _OBJECT_TYPE {
    const char *name;
    // The last handle of the object was closed in `process` (e.g. IRP_MJ_CLEANUP).
    void (*lastHandleClosed)(void *object, Process *process);
    // The last reference went; the body is freed when it returns.
    void (*deleted)(void *object);
    // The header that a wait on the object waits on, or null if it is not waitable.
    PDISPATCHER_HEADER (*waitHeader)(void *object);
};
typedef _OBJECT_TYPE ObjectType;

extern ObjectType ObDirectoryType;
extern ObjectType ObSymbolicLinkType;
extern ObjectType ObEventType;    // body: KEVENT
extern ObjectType ObThreadType;   // body: struct _KTHREAD (internal)
extern ObjectType ObProcessType;  // body: Process

// A new object with a zeroed body and one reference (the caller's).
void *ObCreateObject(ObjectType *type, size_t bodySize);
ObjectType *ObGetObjectType(const void *object);
LONG ObGetReferenceCount(const void *object);
// Gives back one reference unless it is the last one; false, changing nothing, when it is
// (the caller then drops it where deleting the object is safe).
bool ObDereferenceObjectUnlessLast(void *object);
LONG ObGetHandleCount(const void *object);

// Enters the object in the namespace under `path`. The namespace keeps its own
// reference. Without OBJ_PERMANENT the name goes when the last handle is closed
// (an object inserted without ever getting a handle keeps it until
// ObMakeTemporaryObject). With OBJ_OPENIF an existing object of the same type is
// returned referenced in *existing with STATUS_OBJECT_NAME_EXISTS; otherwise an
// existing name gives STATUS_OBJECT_NAME_COLLISION. A missing parent directory gives
// STATUS_OBJECT_PATH_NOT_FOUND.
NTSTATUS ObInsertObject(void *object, std::u16string_view path, ULONG attributes,
                        void **existing = nullptr);
// The name goes now if the object has no handles, else with its last handle.
void ObMakeTemporaryObject(void *object);
// Full path of a named object, empty if it has none.
std::u16string ObGetObjectName(const void *object);

// Finds the object that `path` names, following symbolic links (in any component),
// and returns it referenced. STATUS_OBJECT_NAME_NOT_FOUND for a missing last
// component, STATUS_OBJECT_PATH_NOT_FOUND for a missing directory,
// STATUS_OBJECT_PATH_SYNTAX_BAD for a relative path. When the walk reaches an object
// that is not a directory before the path ends, the rest (with its leading
// backslash) goes to *remainingPath if the caller asked for it, else the lookup
// fails with STATUS_OBJECT_PATH_NOT_FOUND.
NTSTATUS ObLookupObject(std::u16string_view path, void **object,
                        std::u16string *remainingPath = nullptr);

// Permanent links; creating an existing name fails with STATUS_OBJECT_NAME_COLLISION.
NTSTATUS ObCreateSymbolicLink(std::u16string_view link, std::u16string_view target);
NTSTATUS ObDeleteSymbolicLink(std::u16string_view link);
// The target of a link (not followed further), or STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS ObQuerySymbolicLink(std::u16string_view link, std::u16string *target);

// Processes. The system process owns system threads and kernel handles; the
// default process is where application threads run unless a test moves them.
Process *PsSystemProcess();
Process *PsDefaultProcess();
// A new application process, referenced by the caller (ObfDereferenceObject).
Process *PsCreateProcess(const char *name);
// The calling thread's process.
Process *PsCurrentProcess();
// Moves the calling thread into `process` (tests that act as several applications).
void PsSetCurrentProcess(Process *process);
// Closes every handle of the process; later handle operations in it fail.
void PsTerminateProcess(Process *process);
size_t PsHandleCount(Process *process);
const char *PsProcessName(Process *process);

// Handles. A handle holds a reference and counts in the object's handle count.
NTSTATUS ObCreateHandle(Process *process, void *object, HANDLE *handle);
// STATUS_INVALID_HANDLE or STATUS_OBJECT_TYPE_MISMATCH (type null: any type).
NTSTATUS ObReferenceObjectByHandleIn(Process *process, HANDLE handle, ObjectType *type,
                                     void **object);
// STATUS_INVALID_HANDLE for a handle the process does not have.
NTSTATUS ObCloseHandle(Process *process, HANDLE handle);
// Kernel handles (OBJ_KERNEL_HANDLE) live in the system process's table with the top
// bit of their value set, so that kernel-mode routines find them whatever process the
// calling thread runs in.
NTSTATUS ObCreateKernelHandle(void *object, HANDLE *handle);
// The table a kernel-mode routine searches for `handle`: the system process's for a
// kernel handle, the calling thread's process's otherwise.
Process *ObHandleTableOf(HANDLE handle);
