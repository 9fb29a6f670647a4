/* The kernel-mode headers of the platform in one C translation unit, compiled as C99
 * and C11 with warnings as errors, as a driver written in C includes them. */
#include <ntddk.h>
#include <ntddser.h>
#include <initguid.h>

_Static_assert(sizeof(KEVENT) == sizeof(DISPATCHER_HEADER), "an event is its header");
_Static_assert(sizeof(L"x"[0]) == sizeof(WCHAR), "wide literals are WCHAR strings");

int KernelHeadersCompileAsC(void)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\Serial0");
    LIST_ENTRY list;
    InitializeListHead(&list);
    return IsListEmpty(&list) + name.Length + NT_SUCCESS(STATUS_SUCCESS);
}
