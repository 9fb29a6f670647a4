// Object headers and reference counts.
#include "ob_internal.h"
#include "verifier.h"

#include <new>
#include <stdlib.h>

namespace {

constexpr uint32_t kObjectMagic = 0x6A624F6B;  // "kObj"
constexpr uint32_t kDeletedMagic = 0x6C654478;
constexpr size_t kHeaderSize = (sizeof(ObjectHeader) + 15) & ~size_t(15);

std::mutex g_obLock;

void *BodyOf(ObjectHeader *header) { return reinterpret_cast<char *>(header) + kHeaderSize; }

}  // namespace

std::mutex &ObLock() { return g_obLock; }

ObjectHeader *ObHeader(const void *object) {
    if (object == nullptr)
        VerifierStop("INVALID_OBJECT_REFERENCE", __builtin_return_address(0), "null object");
    auto *header = reinterpret_cast<ObjectHeader *>(
        const_cast<char *>(static_cast<const char *>(object)) - kHeaderSize);
    if (header->magic != kObjectMagic)
        VerifierStop("INVALID_OBJECT_REFERENCE", __builtin_return_address(0),
                     "%p is not a live object", object);
    return header;
}

void *ObCreateObject(ObjectType *type, size_t bodySize) {
    void *memory = calloc(1, kHeaderSize + bodySize);
    if (memory == nullptr) return nullptr;
    auto *header = new (memory) ObjectHeader{};
    header->magic = kObjectMagic;
    header->type = type;
    header->references = 1;
    return BodyOf(header);
}

ObjectType *ObGetObjectType(const void *object) { return ObHeader(object)->type; }
LONG ObGetReferenceCount(const void *object) { return ObHeader(object)->references; }

bool ObDereferenceObjectUnlessLast(void *object) {
    ObjectHeader *header = ObHeader(object);
    LONG count = header->references.load();
    while (count > 1) {
        if (header->references.compare_exchange_weak(count, count - 1))
            return true;
    }
    return false;
}

LONG ObGetHandleCount(const void *object) {
    std::lock_guard<std::mutex> lock(g_obLock);
    return ObHeader(object)->handles;
}

void ObReleaseAll(const std::vector<void *> &objects) {
    for (void *object : objects) ObfDereferenceObject(object);
}

extern "C" {

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
    ObjectHeader *header = ObHeader(Object);
    return ++header->references;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
    ObjectHeader *header = ObHeader(Object);
    LONG remaining = --header->references;
    if (remaining < 0)
        VerifierStop("OBJECT_REFERENCE_UNDERFLOW", __builtin_return_address(0),
                     "object %p of type %s dereferenced more often than referenced", Object,
                     header->type->name);
    if (remaining == 0) {
        if (header->type->deleted != nullptr) header->type->deleted(Object);
        header->magic = kDeletedMagic;
        header->~ObjectHeader();
        free(header);
    }
    return remaining;
}

}  // extern "C"
