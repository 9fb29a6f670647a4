// The object namespace: directories, symbolic links, insertion and lookup.
#include "ke_internal.h"
#include "ob_internal.h"
#include "ustring.h"

#include <map>
#include <new>

namespace {

struct Directory {
    std::map<std::u16string, void *, NoCaseLess> entries;
};

struct SymbolicLink {
    std::u16string target;
};

void DestroyDirectory(void *object) { static_cast<Directory *>(object)->~Directory(); }
void DestroyLink(void *object) { static_cast<SymbolicLink *>(object)->~SymbolicLink(); }

// Links are resolved at most this often in one lookup, which ends link cycles.
constexpr int kMaxReparse = 32;

void *g_root;

Directory *AsDirectory(void *object) {
    return ObHeader(object)->type == &ObDirectoryType ? static_cast<Directory *>(object) : nullptr;
}

// With the lock held. Walks `path`; links are followed in every component, and in
// the last one when followLast is set.
NTSTATUS WalkLocked(std::u16string path, bool followLast, void **found,
                    std::u16string *remainingPath) {
    if (g_root == nullptr) return STATUS_OBJECT_PATH_NOT_FOUND;
    for (int reparse = 0; reparse <= kMaxReparse; ++reparse) {
        if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        void *current = g_root;
        size_t position = 1;
        bool reparsed = false;
        while (position < path.size()) {
            size_t next = path.find(u'\\', position);
            bool last = next == std::u16string::npos;
            std::u16string component = path.substr(position, last ? std::u16string::npos : next - position);
            if (component.empty()) return STATUS_OBJECT_NAME_INVALID;
            auto &entries = AsDirectory(current)->entries;
            auto it = entries.find(component);
            if (it == entries.end())
                return last ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
            void *child = it->second;
            ObjectType *type = ObHeader(child)->type;
            if (type == &ObSymbolicLinkType && (!last || followLast)) {
                path = static_cast<SymbolicLink *>(child)->target + (last ? u"" : path.substr(next));
                reparsed = true;
                break;
            }
            if (last) {
                *found = child;
                return STATUS_SUCCESS;
            }
            if (type != &ObDirectoryType) {
                if (remainingPath == nullptr) return STATUS_OBJECT_PATH_NOT_FOUND;
                *remainingPath = path.substr(next);
                *found = child;
                return STATUS_SUCCESS;
            }
            current = child;
            position = next + 1;
        }
        if (!reparsed) {
            *found = current;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_OBJECT_PATH_NOT_FOUND;
}

void SplitPath(std::u16string_view path, std::u16string *parent, std::u16string *leaf) {
    size_t slash = path.rfind(u'\\');
    *parent = slash == 0 ? std::u16string(u"\\") : std::u16string(path.substr(0, slash));
    *leaf = std::u16string(path.substr(slash + 1));
}

void *CreateDirectoryObject() {
    void *object = ObCreateObject(&ObDirectoryType, sizeof(Directory));
    new (object) Directory();
    return object;
}

// Empties a directory tree, collecting the namespace references to drop.
void ClearDirectoryLocked(void *directory, std::vector<void *> &release) {
    auto &entries = AsDirectory(directory)->entries;
    while (!entries.empty()) {
        void *child = entries.begin()->second;
        if (ObHeader(child)->type == &ObDirectoryType) ClearDirectoryLocked(child, release);
        ObRemoveNameLocked(child, release);
    }
}

}  // namespace

ObjectType ObDirectoryType = {"Directory", nullptr, DestroyDirectory, nullptr};
ObjectType ObSymbolicLinkType = {"SymbolicLink", nullptr, DestroyLink, nullptr};

void ObRemoveNameLocked(void *object, std::vector<void *> &release) {
    ObjectHeader *header = ObHeader(object);
    if (header->directory == nullptr) return;
    AsDirectory(header->directory)->entries.erase(header->name);
    header->directory = nullptr;
    release.push_back(object);
}

NTSTATUS ObInsertObject(void *object, std::u16string_view path, ULONG attributes,
                        void **existing) {
    if (path.size() < 2 || path[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    std::u16string parentPath, leaf;
    SplitPath(path, &parentPath, &leaf);
    if (leaf.empty()) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> lock(ObLock());
    void *parent = nullptr;
    NTSTATUS status = WalkLocked(parentPath, true, &parent, nullptr);
    if (!NT_SUCCESS(status))
        return status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_OBJECT_PATH_NOT_FOUND : status;
    Directory *directory = AsDirectory(parent);
    if (directory == nullptr) return STATUS_OBJECT_PATH_NOT_FOUND;
    auto it = directory->entries.find(leaf);
    if (it != directory->entries.end()) {
        if ((attributes & OBJ_OPENIF) && existing != nullptr &&
            ObHeader(it->second)->type == ObHeader(object)->type) {
            ObfReferenceObject(it->second);
            *existing = it->second;
            return STATUS_OBJECT_NAME_EXISTS;
        }
        return STATUS_OBJECT_NAME_COLLISION;
    }
    ObjectHeader *header = ObHeader(object);
    header->permanent = (attributes & OBJ_PERMANENT) != 0;
    header->directory = parent;
    header->name = leaf;
    directory->entries.emplace(leaf, object);
    ObfReferenceObject(object);
    return STATUS_SUCCESS;
}

void ObMakeTemporaryObject(void *object) {
    std::vector<void *> release;
    {
        std::lock_guard<std::mutex> lock(ObLock());
        ObjectHeader *header = ObHeader(object);
        header->permanent = false;
        if (header->handles == 0) ObRemoveNameLocked(object, release);
    }
    ObReleaseAll(release);
}

std::u16string ObGetObjectName(const void *object) {
    std::lock_guard<std::mutex> lock(ObLock());
    std::u16string path;
    for (const ObjectHeader *header = ObHeader(object); header->directory != nullptr;
         header = ObHeader(header->directory))
        path = u"\\" + header->name + path;
    return path;
}

NTSTATUS ObLookupObject(std::u16string_view path, void **object, std::u16string *remainingPath) {
    std::lock_guard<std::mutex> lock(ObLock());
    NTSTATUS status = WalkLocked(std::u16string(path), true, object, remainingPath);
    if (NT_SUCCESS(status)) ObfReferenceObject(*object);
    return status;
}

NTSTATUS ObCreateSymbolicLink(std::u16string_view link, std::u16string_view target) {
    void *object = ObCreateObject(&ObSymbolicLinkType, sizeof(SymbolicLink));
    if (object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    new (object) SymbolicLink{std::u16string(target)};
    NTSTATUS status = ObInsertObject(object, link, OBJ_PERMANENT);
    ObfDereferenceObject(object);
    return status;
}

NTSTATUS ObDeleteSymbolicLink(std::u16string_view link) {
    std::vector<void *> release;
    {
        std::lock_guard<std::mutex> lock(ObLock());
        void *object = nullptr;
        NTSTATUS status = WalkLocked(std::u16string(link), false, &object, nullptr);
        if (!NT_SUCCESS(status)) return status;
        if (ObHeader(object)->type != &ObSymbolicLinkType) return STATUS_OBJECT_TYPE_MISMATCH;
        ObRemoveNameLocked(object, release);
    }
    ObReleaseAll(release);
    return STATUS_SUCCESS;
}

NTSTATUS ObQuerySymbolicLink(std::u16string_view link, std::u16string *target) {
    std::lock_guard<std::mutex> lock(ObLock());
    void *object = nullptr;
    NTSTATUS status = WalkLocked(std::u16string(link), false, &object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    if (ObHeader(object)->type != &ObSymbolicLinkType) return STATUS_OBJECT_TYPE_MISMATCH;
    *target = static_cast<SymbolicLink *>(object)->target;
    return STATUS_SUCCESS;
}

// The namespace of a fresh machine. \DosDevices and \GLOBAL?? are links to \??.
void ObCreateNamespace() {
    g_root = CreateDirectoryObject();
    for (const char16_t *name : {u"\\Device", u"\\??", u"\\BaseNamedObjects", u"\\Driver"}) {
        void *directory = CreateDirectoryObject();
        ObInsertObject(directory, name, OBJ_PERMANENT);
        ObfDereferenceObject(directory);
    }
    ObCreateSymbolicLink(u"\\DosDevices", u"\\??");
    ObCreateSymbolicLink(u"\\GLOBAL??", u"\\??");
}

void ObDestroyNamespace() {
    std::vector<void *> release;
    void *root;
    {
        std::lock_guard<std::mutex> lock(ObLock());
        ClearDirectoryLocked(g_root, release);
        root = g_root;
        g_root = nullptr;
    }
    ObReleaseAll(release);
    ObfDereferenceObject(root);
}
