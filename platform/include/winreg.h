// The registry as applications read it (advapi32's part): keys opened under a
// predefined root, their values enumerated and queried. Published names, values and
// layouts. Included by <windows.h>.
//
// HKEY_LOCAL_MACHINE is the machine's \Registry\Machine: HARDWARE\DEVICEMAP\SERIALCOMM
// lists the serial ports by device name ("\Device\Serial0" = "COM1"). Keys are opened
// for reading only; names compare without regard to case.
#pragma once

#include <windows.h>

typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;
typedef LONG LSTATUS;
typedef ACCESS_MASK REGSAM;

#define HKEY_CLASSES_ROOT   ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER   ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE  ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS          ((HKEY)(ULONG_PTR)((LONG)0x80000003))

// Access to a key.
#define KEY_QUERY_VALUE        0x0001
#define KEY_SET_VALUE          0x0002
#define KEY_CREATE_SUB_KEY     0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY             0x0010
#define KEY_CREATE_LINK        0x0020
#define KEY_WOW64_64KEY        0x0100
#define KEY_WOW64_32KEY        0x0200
#define STANDARD_RIGHTS_READ   0x00020000L
#define STANDARD_RIGHTS_WRITE  0x00020000L
#define KEY_READ  ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & \
                   ~SYNCHRONIZE)
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & ~SYNCHRONIZE)

// Value types (the same values the kernel uses).
#define REG_NONE      0
#define REG_SZ        1
#define REG_EXPAND_SZ 2
#define REG_BINARY    3
#define REG_DWORD     4
#define REG_MULTI_SZ  7

#define ERROR_KEY_DELETED 1018L

EXTERN_C_START

// Opens the subkey lpSubKey (null or "" opens hKey again) of an open key or of a
// predefined root; only HKEY_LOCAL_MACHINE is a root of this machine. Access beyond
// KEY_READ is refused with ERROR_ACCESS_DENIED: applications here read the registry,
// Plug and Play and the drivers write it. A missing key: ERROR_FILE_NOT_FOUND.
// Returns an error code and does not set the last error, as the registry calls do.
LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             PHKEY phkResult);
LSTATUS WINAPI RegCloseKey(HKEY hKey);
// Counts and longest lengths (in characters without the zero, data in bytes) of the
// key's subkeys and values; any pointer may be null. Class, security descriptor size
// and last write time report nothing (empty, 0, zero).
LSTATUS WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                                LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);
// The value at dwIndex in name order; ERROR_NO_MORE_ITEMS past the end. The name must
// fit *lpcchValueName characters with its zero (ERROR_MORE_DATA otherwise, nothing
// written); data that does not fit *lpcbData gives ERROR_MORE_DATA with the size
// needed. String data is converted to the ANSI code page, zero included.
LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName,
                             LPDWORD lpcchValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData);
// One value by name (null or "" is the default value): type, data and size as above;
// a missing value: ERROR_FILE_NOT_FOUND.
LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                                LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);

EXTERN_C_END

#ifndef UNICODE
#define RegOpenKeyEx    RegOpenKeyExA
#define RegQueryInfoKey RegQueryInfoKeyA
#define RegEnumValue    RegEnumValueA
#define RegQueryValueEx RegQueryValueExA
#endif
