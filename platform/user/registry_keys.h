// Internal to the emulated user mode: the process's open registry keys, which the
// registry calls and SetupDiOpenDevRegKey hand out. An HKEY names a key path of the
// machine's registry; the key is read when a call uses it, so a key deleted while
// open fails the calls on it with ERROR_KEY_DELETED.
#pragma once

#include <windows.h>

#include <string>

// Access that opens a key here: reading only. Anything more is refused with
// ERROR_ACCESS_DENIED, since applications do not write the machine's registry.
bool IsReadOnlyAccess(REGSAM samDesired);

// A new handle on the key at `path` ("\Registry\Machine\..."), which the caller has
// found to exist; closed with RegCloseKey.
HKEY OpenRegistryKeyHandle(const std::u16string &path);
