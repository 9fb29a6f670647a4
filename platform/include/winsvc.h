// The service control manager (advapi32's part that setup programs call): kernel
// driver services recorded under the registry's Services key. Published names,
// values and layouts.
#pragma once

#include <windows.h>

typedef HANDLE SC_HANDLE;
typedef SC_HANDLE *LPSC_HANDLE;

#define SERVICES_ACTIVE_DATABASEA "ServicesActive"

// Access to the manager and to a service (accepted and recorded; the machine has a
// single user).
#define SC_MANAGER_CONNECT            0x0001
#define SC_MANAGER_CREATE_SERVICE     0x0002
#define SC_MANAGER_ENUMERATE_SERVICE  0x0004
#define SC_MANAGER_LOCK               0x0008
#define SC_MANAGER_QUERY_LOCK_STATUS  0x0010
#define SC_MANAGER_MODIFY_BOOT_CONFIG 0x0020
#define SC_MANAGER_ALL_ACCESS         (STANDARD_RIGHTS_REQUIRED | 0x003F)
#define SERVICE_ALL_ACCESS            (STANDARD_RIGHTS_REQUIRED | 0x01FF)
#define DELETE                        0x00010000L

// Service types, start types and error controls.
#define SERVICE_KERNEL_DRIVER      0x00000001
#define SERVICE_FILE_SYSTEM_DRIVER 0x00000002
#define SERVICE_BOOT_START         0x00000000
#define SERVICE_SYSTEM_START       0x00000001
#define SERVICE_AUTO_START         0x00000002
#define SERVICE_DEMAND_START       0x00000003
#define SERVICE_DISABLED           0x00000004
#define SERVICE_ERROR_IGNORE       0x00000000
#define SERVICE_ERROR_NORMAL       0x00000001
#define SERVICE_ERROR_SEVERE       0x00000002
#define SERVICE_ERROR_CRITICAL     0x00000003

#define ERROR_DATABASE_DOES_NOT_EXIST 1065L

EXTERN_C_START

// lpMachineName must name the local machine (null or empty); lpDatabaseName is null
// or SERVICES_ACTIVE_DATABASEA.
SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName,
                                DWORD dwDesiredAccess);
// Service names compare without regard to case. A missing service:
// ERROR_SERVICE_DOES_NOT_EXIST.
SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess);
// Records a kernel driver service (the only kind this machine runs). An existing one:
// ERROR_SERVICE_EXISTS; one marked for deletion: ERROR_SERVICE_MARKED_FOR_DELETE.
SC_HANDLE WINAPI CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName,
                                LPCSTR lpDisplayName, DWORD dwDesiredAccess, DWORD dwServiceType,
                                DWORD dwStartType, DWORD dwErrorControl, LPCSTR lpBinaryPathName,
                                LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                LPCSTR lpDependencies, LPCSTR lpServiceStartName,
                                LPCSTR lpPassword);
// Marks the service for deletion. It is deleted once no handle to it is open and its
// driver is not loaded; until then it stays, and a second DeleteService or a
// CreateServiceA of the name fails with ERROR_SERVICE_MARKED_FOR_DELETE.
BOOL WINAPI DeleteService(SC_HANDLE hService);
BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject);

EXTERN_C_END

#ifndef UNICODE
#define OpenSCManager OpenSCManagerA
#define OpenService   OpenServiceA
#define CreateService CreateServiceA
#endif
