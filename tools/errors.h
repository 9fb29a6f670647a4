// Reporting a refused operation: one sentence that says what could not be done and
// the Win32 error behind it, by name and number.
#pragma once

#include <windows.h>

#include <string>

// "ERROR_FILE_NOT_FOUND (2) - The system cannot find the file specified": the name and
// number, then the system's text (FormatMessageA's) where it has one. Values the tool
// does not know by name are "error N (0xN)".
std::string DescribeError(DWORD error);

// Throws CommandFailure(kOperationFailed) with "<what>: <error>", for example
// "cannot connect COM1 and COM2: ERROR_INVALID_PARAMETER (87)". A hint is added for
// errors that usually mean the bus is not installed or nobody has the port open.
[[noreturn]] void ThrowError(const std::string &what, DWORD error);
// The same with the calling thread's last error.
[[noreturn]] void ThrowLastError(const std::string &what);
