// The object manager's own state, shared by its files (ob_object.cpp,
// ob_namespace.cpp, ob_handle.cpp).
#pragma once

#include "ob.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

struct ObjectHeader {
    uint32_t magic;
    ObjectType *type;
    std::atomic<LONG> references;
    LONG handles = 0;        // under the object manager lock
    bool permanent = false;  // the name stays when the last handle closes
    void *directory = nullptr;  // the directory holding the name, null if unnamed
    std::u16string name;        // the name within that directory
};

// Guards the namespace, handle tables and handle counts. Type callbacks and the
// final dereference of an object run after it is released.
std::mutex &ObLock();
ObjectHeader *ObHeader(const void *object);  // stops on a pointer that is not an object

// With the lock held: removes the object's name. The namespace's reference must be
// dropped after the lock is released, so the object is appended to `release`.
void ObRemoveNameLocked(void *object, std::vector<void *> &release);
void ObReleaseAll(const std::vector<void *> &objects);
