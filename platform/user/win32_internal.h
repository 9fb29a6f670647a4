// Internal to the emulated user mode: the error mapping every call shares and the
// conversion of ANSI names into the counted UTF-16 names of the system services.
#pragma once

#include <windows.h>
#include <ntstatus.h>
#include <ntservices.h>

#include <string>

// The Win32 error that user mode reports for a failing status, as Windows maps it.
DWORD Win32ErrorFromStatus(NTSTATUS status);

// Sets the thread's last error for a failing status.
void SetLastErrorFromStatus(NTSTATUS status);

// A status as the BOOL that most Win32 calls return: TRUE for success; FALSE, with the
// last error set, for a warning or an error.
BOOL SucceedOrSetError(NTSTATUS status);

// A name for a system service: ANSI characters become UTF-16 code units one for one
// (the names this platform knows are ASCII). A name longer than a counted string can
// hold does not fit, and the caller fails with ERROR_INVALID_NAME.
class CountedName {
public:
    explicit CountedName(const std::string &text);
    CountedName(const CountedName &) = delete;
    CountedName &operator=(const CountedName &) = delete;
    bool fits() const { return fits_; }
    PCUNICODE_STRING get() const { return &string_; }

private:
    std::u16string text_;
    bool fits_;
    UNICODE_STRING string_;
};
