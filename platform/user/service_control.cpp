// The service control manager: kernel driver services recorded under the registry's
// Services key, where the loader reads the image a driver is loaded from.
//
// Deletion follows Windows: DeleteService only marks the service (value
// "DeleteFlag"); the record goes once no handle to it is open and its driver is not
// loaded. A driver's unload is not announced to user mode, so marked services are
// looked at again whenever a handle closes and whenever the manager is opened.
#include "service_control.h"

#include <winsvc.h>

#include <loader.h>
#include <registry.h>
#include <ustring.h>

#include <cstring>
#include <mutex>
#include <set>

namespace {

struct ScObject {
    bool manager;
    std::u16string service;  // services only
};

// Guards the handle table and every read-modify-write of a service record.
std::mutex g_scLock;
std::set<ScObject *> g_objects;

const ULONG kMaxServiceNameLength = 256;

ScObject *FindObject(SC_HANDLE handle, bool manager)
{
    auto found = g_objects.find(static_cast<ScObject *>(handle));
    return found != g_objects.end() && (*found)->manager == manager ? *found : nullptr;
}

bool ServiceExists(std::u16string_view name)
{
    ULONG type;
    return NT_SUCCESS(RegistryQueryDword(LoaderServiceKey(name), u"Type", &type));
}

bool MarkedForDeletion(std::u16string_view name)
{
    ULONG flag = 0;
    return NT_SUCCESS(RegistryQueryDword(LoaderServiceKey(name), u"DeleteFlag", &flag)) &&
           flag != 0;
}

bool HandleOpen(std::u16string_view name)
{
    for (ScObject *object : g_objects) {
        if (!object->manager && EqualNoCase(object->service, name)) {
            return true;
        }
    }
    return false;
}

// Deletes the record of a marked service once nothing keeps it. Caller holds g_scLock.
void CompleteDeletion(std::u16string_view name)
{
    if (MarkedForDeletion(name) && !HandleOpen(name) && LoaderFindDriver(name) == nullptr) {
        RegistryDeleteKeyTree(LoaderServiceKey(name));
    }
}

void CompleteAllDeletions()
{
    for (const std::u16string &name : RegistryEnumerateSubkeys(
             u"\\Registry\\Machine\\System\\CurrentControlSet\\Services")) {
        CompleteDeletion(name);
    }
}

bool IsValidServiceName(const char *name)
{
    if (name == nullptr || *name == 0 || std::strlen(name) > kMaxServiceNameLength) {
        return false;
    }
    return std::strpbrk(name, "\\/") == nullptr;
}

SC_HANDLE NewObject(bool manager, std::u16string service)
{
    auto *object = new ScObject{manager, std::move(service)};
    g_objects.insert(object);
    return object;
}

SC_HANDLE FailHandle(DWORD error)
{
    SetLastError(error);
    return nullptr;
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

DWORD StatusError(NTSTATUS status)
{
    return NT_SUCCESS(status) ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
}

}  // namespace

DWORD WriteServiceRecord(const ServiceConfig &config, ExistingService existing)
{
    std::u16string name = Utf8ToUtf16(config.name);
    std::lock_guard<std::mutex> guard(g_scLock);
    if (ServiceExists(name)) {
        if (MarkedForDeletion(name)) {
            return ERROR_SERVICE_MARKED_FOR_DELETE;
        }
        if (existing == ExistingService::Fail) {
            return ERROR_SERVICE_EXISTS;
        }
    }
    std::u16string key = LoaderServiceKey(name);
    NTSTATUS status = LoaderInstallService(name, Utf8ToUtf16(config.imagePath));
    if (NT_SUCCESS(status)) {
        status = RegistrySetDword(key, u"Type", config.type);
    }
    if (NT_SUCCESS(status)) {
        status = RegistrySetDword(key, u"Start", config.startType);
    }
    if (NT_SUCCESS(status)) {
        status = RegistrySetDword(key, u"ErrorControl", config.errorControl);
    }
    if (NT_SUCCESS(status) && !config.displayName.empty()) {
        status = RegistrySetString(key, u"DisplayName", Utf8ToUtf16(config.displayName));
    }
    if (NT_SUCCESS(status) && !config.group.empty()) {
        status = RegistrySetString(key, u"Group", Utf8ToUtf16(config.group));
    }
    return StatusError(status);
}

extern "C" SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName,
                                           DWORD dwDesiredAccess)
{
    UNREFERENCED_PARAMETER(dwDesiredAccess);
    if (lpMachineName != nullptr && *lpMachineName != 0) {
        return FailHandle(ERROR_INVALID_NAME);  // other computers are not reachable
    }
    if (lpDatabaseName != nullptr && !EqualNoCase(Utf8ToUtf16(lpDatabaseName),
                                                  Utf8ToUtf16(SERVICES_ACTIVE_DATABASEA))) {
        return FailHandle(ERROR_DATABASE_DOES_NOT_EXIST);
    }
    std::lock_guard<std::mutex> guard(g_scLock);
    CompleteAllDeletions();
    return NewObject(true, std::u16string());
}

extern "C" SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName,
                                         DWORD dwDesiredAccess)
{
    UNREFERENCED_PARAMETER(dwDesiredAccess);
    std::lock_guard<std::mutex> guard(g_scLock);
    if (FindObject(hSCManager, true) == nullptr) {
        return FailHandle(ERROR_INVALID_HANDLE);
    }
    if (!IsValidServiceName(lpServiceName)) {
        return FailHandle(ERROR_INVALID_NAME);
    }
    std::u16string name = Utf8ToUtf16(lpServiceName);
    if (!ServiceExists(name)) {
        return FailHandle(ERROR_SERVICE_DOES_NOT_EXIST);
    }
    return NewObject(false, name);
}

extern "C" SC_HANDLE WINAPI CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName,
                                           LPCSTR lpDisplayName, DWORD dwDesiredAccess,
                                           DWORD dwServiceType, DWORD dwStartType,
                                           DWORD dwErrorControl, LPCSTR lpBinaryPathName,
                                           LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                           LPCSTR lpDependencies, LPCSTR lpServiceStartName,
                                           LPCSTR lpPassword)
{
    UNREFERENCED_PARAMETER(dwDesiredAccess);
    UNREFERENCED_PARAMETER(lpServiceStartName);  // drivers run in the system's account
    UNREFERENCED_PARAMETER(lpPassword);
    {
        std::lock_guard<std::mutex> guard(g_scLock);
        if (FindObject(hSCManager, true) == nullptr) {
            return FailHandle(ERROR_INVALID_HANDLE);
        }
    }
    if (!IsValidServiceName(lpServiceName)) {
        return FailHandle(ERROR_INVALID_NAME);
    }
    // Tags order boot and system drivers within their group, dependencies order
    // service starts; drivers here start on demand of Plug and Play, so neither is kept.
    if (lpBinaryPathName == nullptr || *lpBinaryPathName == 0 || lpdwTagId != nullptr ||
        (lpDependencies != nullptr && *lpDependencies != 0) ||
        (dwServiceType != SERVICE_KERNEL_DRIVER && dwServiceType != SERVICE_FILE_SYSTEM_DRIVER) ||
        dwStartType > SERVICE_DISABLED || dwErrorControl > SERVICE_ERROR_CRITICAL) {
        return FailHandle(ERROR_INVALID_PARAMETER);
    }
    ServiceConfig config{lpServiceName,
                         lpDisplayName != nullptr ? lpDisplayName : "",
                         dwServiceType,
                         dwStartType,
                         dwErrorControl,
                         lpBinaryPathName,
                         lpLoadOrderGroup != nullptr ? lpLoadOrderGroup : ""};
    DWORD error = WriteServiceRecord(config, ExistingService::Fail);
    if (error != ERROR_SUCCESS) {
        return FailHandle(error);
    }
    std::lock_guard<std::mutex> guard(g_scLock);
    return NewObject(false, Utf8ToUtf16(lpServiceName));
}

extern "C" BOOL WINAPI DeleteService(SC_HANDLE hService)
{
    std::lock_guard<std::mutex> guard(g_scLock);
    ScObject *object = FindObject(hService, false);
    if (object == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (!ServiceExists(object->service)) {
        return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
    }
    if (MarkedForDeletion(object->service)) {
        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    }
    if (!NT_SUCCESS(RegistrySetDword(LoaderServiceKey(object->service), u"DeleteFlag", 1))) {
        return Fail(ERROR_GEN_FAILURE);
    }
    return TRUE;
}

extern "C" BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject)
{
    std::lock_guard<std::mutex> guard(g_scLock);
    auto found = g_objects.find(static_cast<ScObject *>(hSCObject));
    if (found == g_objects.end()) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    ScObject *object = *found;
    g_objects.erase(found);
    if (!object->manager) {
        CompleteDeletion(object->service);
    }
    delete object;
    return TRUE;
}
