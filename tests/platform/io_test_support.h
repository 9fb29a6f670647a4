// Helpers for the I/O manager and PnP tests: opening devices through the system
// services as an application does, and small waits.
#pragma once

#include <gtest/gtest.h>

#include "ntservices.h"

#include <string>

inline UNICODE_STRING CountedString(const std::u16string &text) {
    UNICODE_STRING string;
    string.Buffer = const_cast<PWSTR>(reinterpret_cast<const WCHAR *>(text.c_str()));
    string.Length = string.MaximumLength = (USHORT)(text.size() * 2);
    return string;
}

// Opens an NT path; returns the status and the handle (null on failure).
inline NTSTATUS OpenDevice(const std::u16string &path, bool synchronous, HANDLE *handle) {
    UNICODE_STRING name = CountedString(path);
    IO_STATUS_BLOCK ioStatus = {};
    *handle = nullptr;
    return NtCreateFile(handle, GENERIC_READ | GENERIC_WRITE, &name, &ioStatus, 0,
                        synchronous ? FILE_SYNCHRONOUS_IO_NONALERT : 0);
}

inline HANDLE CreateTestEvent() {
    HANDLE event = nullptr;
    EXPECT_EQ(NtCreateEvent(&event, nullptr, TRUE, FALSE), STATUS_SUCCESS);
    return event;
}

// Whether a handle is signalled now (a zero-timeout wait).
inline bool IsSignalled(HANDLE handle) {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return NtWaitForSingleObject(handle, FALSE, &zero) == STATUS_SUCCESS;
}
