// Files for setup programs: the Windows paths of the machine's disk and of the host,
// the system directory, finding and copying files, and local memory.
#include "file_system.h"

#include <loader.h>
#include <machine.h>
#include <ustring.h>

#include <fnmatch.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char kSystemDirectory[] = "C:\\WINDOWS\\system32";

bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

std::vector<std::string> SplitComponents(const std::string &path)
{
    std::vector<std::string> components;
    std::string current;
    for (char c : path) {
        if (IsSeparator(c)) {
            if (!current.empty()) {
                components.push_back(current);
            }
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) {
        components.push_back(current);
    }
    return components;
}

// The existing entry of `directory` whose name equals `name` without regard to case,
// else `name` as given.
fs::path MatchComponent(const fs::path &directory, const std::string &name)
{
    std::error_code error;
    fs::path exact = directory / name;
    if (fs::exists(exact, error) || !fs::is_directory(directory, error)) {
        return exact;
    }
    for (const auto &entry : fs::directory_iterator(directory, error)) {
        if (EqualNoCase(Utf8ToUtf16(entry.path().filename().string()), Utf8ToUtf16(name))) {
            return entry.path();
        }
    }
    return exact;
}

std::string MachineDiskPath(const std::string &rest)
{
    fs::path path = MachineCurrent()->stateDirectory;
    for (const std::string &component : SplitComponents(rest)) {
        if (component == ".") {
            continue;
        }
        if (component == "..") {
            if (path != fs::path(MachineCurrent()->stateDirectory)) {
                path = path.parent_path();
            }
            continue;
        }
        path = MatchComponent(path, component);
    }
    return path.string();
}

std::string HostPath(const std::string &path)
{
    std::string converted = path;
    for (char &c : converted) {
        if (c == '\\') {
            c = '/';
        }
    }
    return converted;
}

std::string EnsureDirectory(const std::string &path)
{
    std::error_code error;
    fs::create_directories(path, error);
    return path;
}

// Search handles of FindFirstFileA, so that FindClose refuses anything else.
std::mutex g_searchesLock;
std::set<void *> g_searches;

// Blocks of LocalAlloc, so that LocalFree refuses foreign and freed pointers.
std::mutex g_localLock;
std::set<void *> g_localBlocks;

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

}  // namespace

DWORD HostPathOf(const char *windowsPath, std::string *hostPath)
{
    if (windowsPath == nullptr || *windowsPath == 0) {
        return ERROR_INVALID_NAME;
    }
    std::string path = windowsPath;
    if (path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':') {
        char drive = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
        if (drive == 'C') {
            HostDriversDirectory();
            HostInfStoreDirectory();
            *hostPath = MachineDiskPath(path.substr(2));
            return ERROR_SUCCESS;
        }
        if (drive == 'Z') {
            std::string rest = HostPath(path.substr(2));
            *hostPath = rest.empty() || rest[0] != '/' ? "/" + rest : rest;
            return ERROR_SUCCESS;
        }
        return ERROR_PATH_NOT_FOUND;
    }
    *hostPath = HostPath(path);
    return ERROR_SUCCESS;
}

// C:\WINDOWS is the loader's system root, which it names itself.
std::string HostWindowsDirectory()
{
    return EnsureDirectory(LoaderSystemRootDirectory());
}

std::string HostDriversDirectory()
{
    HostWindowsDirectory();
    EnsureDirectory(MachineDiskPath("WINDOWS\\system32"));
    return EnsureDirectory(MachineDiskPath("WINDOWS\\system32\\drivers"));
}

std::string HostInfStoreDirectory()
{
    HostWindowsDirectory();
    return EnsureDirectory(MachineDiskPath("WINDOWS\\inf"));
}

std::string InfStoreWindowsPath(const std::string &name)
{
    return "C:\\WINDOWS\\inf\\" + name;
}

DWORD CopyHostFile(const std::string &source, const std::string &target, bool failIfExists)
{
    std::error_code error;
    if (!fs::is_regular_file(source, error)) {
        return fs::is_directory(fs::path(source).parent_path(), error) ? ERROR_FILE_NOT_FOUND
                                                                        : ERROR_PATH_NOT_FOUND;
    }
    if (!fs::is_directory(fs::path(target).parent_path(), error)) {
        return ERROR_PATH_NOT_FOUND;
    }
    if (fs::exists(target, error)) {
        if (failIfExists) {
            return ERROR_FILE_EXISTS;
        }
        if (fs::equivalent(source, target, error)) {
            return ERROR_SHARING_VIOLATION;  // a file cannot be copied onto itself
        }
    }
    if (!fs::copy_file(source, target, fs::copy_options::overwrite_existing, error)) {
        return error == std::errc::permission_denied ? ERROR_ACCESS_DENIED : ERROR_GEN_FAILURE;
    }
    return ERROR_SUCCESS;
}

extern "C" UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize)
{
    const UINT length = sizeof(kSystemDirectory) - 1;
    if (lpBuffer == nullptr || uSize <= length) {
        return length + 1;
    }
    std::memcpy(lpBuffer, kSystemDirectory, length + 1);
    return length;
}

extern "C" HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData)
{
    std::string pattern;
    DWORD error = HostPathOf(lpFileName, &pattern);
    if (error == ERROR_SUCCESS && lpFindFileData == nullptr) {
        error = ERROR_INVALID_PARAMETER;
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    fs::path directory = fs::path(pattern).parent_path();
    std::string namePattern = fs::path(pattern).filename().string();
    std::error_code fsError;
    if (namePattern.empty() || !fs::is_directory(directory, fsError)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    for (const auto &entry : fs::directory_iterator(directory, fsError)) {
        std::string name = entry.path().filename().string();
        if (fnmatch(namePattern.c_str(), name.c_str(), FNM_CASEFOLD) != 0 ||
            name.size() >= MAX_PATH) {
            continue;
        }
        std::memset(lpFindFileData, 0, sizeof(*lpFindFileData));
        std::memcpy(lpFindFileData->cFileName, name.c_str(), name.size() + 1);
        if (entry.is_directory(fsError)) {
            lpFindFileData->dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
        } else {
            lpFindFileData->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
            uintmax_t size = entry.file_size(fsError);
            lpFindFileData->nFileSizeLow = static_cast<DWORD>(size);
            lpFindFileData->nFileSizeHigh = static_cast<DWORD>(size >> 32);
        }
        void *search = new char;
        std::lock_guard<std::mutex> guard(g_searchesLock);
        g_searches.insert(search);
        return search;
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

extern "C" BOOL WINAPI FindClose(HANDLE hFindFile)
{
    std::lock_guard<std::mutex> guard(g_searchesLock);
    auto found = g_searches.find(hFindFile);
    if (found == g_searches.end()) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    delete static_cast<char *>(*found);
    g_searches.erase(found);
    return TRUE;
}

extern "C" BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName,
                                 BOOL bFailIfExists)
{
    std::string source, target;
    DWORD error = HostPathOf(lpExistingFileName, &source);
    if (error == ERROR_SUCCESS) {
        error = HostPathOf(lpNewFileName, &target);
    }
    if (error == ERROR_SUCCESS) {
        error = CopyHostFile(source, target, bFailIfExists != FALSE);
    }
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

extern "C" HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes)
{
    if (uFlags & ~static_cast<UINT>(LMEM_ZEROINIT)) {
        SetLastError(ERROR_INVALID_PARAMETER);  // movable and discardable blocks are not kept
        return nullptr;
    }
    // A zero-byte request still gets a distinct block, as LocalFree expects one.
    void *block = (uFlags & LMEM_ZEROINIT) ? calloc(1, uBytes ? uBytes : 1) : malloc(uBytes ? uBytes : 1);
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(g_localLock);
    g_localBlocks.insert(block);
    return block;
}

extern "C" HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    if (hMem == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(g_localLock);
    auto found = g_localBlocks.find(hMem);
    if (found == g_localBlocks.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return hMem;
    }
    g_localBlocks.erase(found);
    free(hMem);
    return nullptr;
}
