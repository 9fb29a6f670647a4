// Handles to registry keys, as kernel routines hand them to drivers. Each open makes a
// key object of its own holding the key's path and the access granted, as Windows keeps
// the granted access per open; ZwSetValueKey writes through it into the registry store
// and ZwClose closes it like any other handle. A key deleted while a handle is open stays
// deleted: writing through the handle fails and does not bring it back.
#include "ke.h"
#include "ob.h"
#include "registry.h"
#include "ustring.h"

#include <new>

namespace {

struct KeyBody {
    std::u16string path;
    ACCESS_MASK access;
};

void DestroyKey(void *object) { static_cast<KeyBody *>(object)->~KeyBody(); }

ObjectType g_keyType = {"Key", nullptr, DestroyKey, nullptr};

// The key rights that the generic rights stand for.
ACCESS_MASK MapGenericAccess(ACCESS_MASK access) {
    if (access & (GENERIC_READ | GENERIC_ALL)) access |= KEY_READ;
    if (access & (GENERIC_WRITE | GENERIC_ALL)) access |= KEY_WRITE;
    return access;
}

}  // namespace

NTSTATUS RegistryOpenKeyHandle(std::u16string_view key, ACCESS_MASK access, HANDLE *handle) {
    void *object = ObCreateObject(&g_keyType, sizeof(KeyBody));
    if (object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    new (object) KeyBody{std::u16string(key), MapGenericAccess(access)};
    // The handle holds its own reference; the creator's goes either way.
    NTSTATUS status = ObCreateKernelHandle(object, handle);
    ObfDereferenceObject(object);
    return status;
}

extern "C" NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG,
                                        ULONG Type, PVOID Data, ULONG DataSize) {
    KeCheckIrql(PASSIVE_LEVEL, "ZwSetValueKey", __builtin_return_address(0));
    void *object = nullptr;
    NTSTATUS status =
        ObReferenceObjectByHandleIn(ObHandleTableOf(KeyHandle), KeyHandle, &g_keyType, &object);
    if (!NT_SUCCESS(status)) return status;
    const auto *key = static_cast<const KeyBody *>(object);
    if (!(key->access & KEY_SET_VALUE)) {
        status = STATUS_ACCESS_DENIED;
    } else if (ValueName == nullptr || (Data == nullptr && DataSize != 0)) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        status = RegistrySetValueOfExistingKey(key->path, UnicodeView(ValueName), Type, Data,
                                               DataSize);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) status = STATUS_KEY_DELETED;
    }
    ObfDereferenceObject(object);
    return status;
}
