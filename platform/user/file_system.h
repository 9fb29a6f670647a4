// Internal to the emulated user mode: where Windows paths live on the host.
//
// "C:\..." is the machine's disk: its state directory, matched one component at a
// time without regard to case as Windows paths are (a component that does not exist
// keeps the case it was given). "Z:\..." and "/..." are host paths; a relative path
// is relative to the process's current directory. Either separator is accepted.
// Other drive letters do not exist. The machine's disk always has its Windows
// directories (see below).
#pragma once

#include <windows.h>

#include <string>

// The host path of a Windows path; ERROR_PATH_NOT_FOUND for a drive that does not
// exist, ERROR_INVALID_NAME for an empty path.
DWORD HostPathOf(const char *windowsPath, std::string *hostPath);

// The machine's directories, created on first use: the Windows directory
// (C:\WINDOWS, the loader's system root), system32, system32\drivers and the INF
// store (C:\WINDOWS\inf). Host paths.
std::string HostWindowsDirectory();
std::string HostDriversDirectory();
std::string HostInfStoreDirectory();

// The Windows name of a file in the INF store: "C:\WINDOWS\inf\" + name.
std::string InfStoreWindowsPath(const std::string &name);

// Copies a host file over `target` (whose directory must exist).
DWORD CopyHostFile(const std::string &source, const std::string &target, bool failIfExists);
