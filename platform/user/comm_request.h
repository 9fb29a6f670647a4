// Internal to the emulated user mode: the one way the comm API talks to a serial port.
#pragma once

#include <windows.h>
#include <winioctl.h>
#include <ntddser.h>

// Sends one serial device control request and waits for it, whether or not the handle
// is overlapped. FALSE with the last error when the port refuses it.
inline BOOL SendSerialRequest(HANDLE hFile, DWORD dwCode, const void *pInput, DWORD dwInput,
                              void *pOutput, DWORD dwOutput) {
    DWORD dwReturned = 0;
    return DeviceIoControl(hFile, dwCode, const_cast<void *>(pInput), dwInput, pOutput, dwOutput,
                           &dwReturned, nullptr);
}

// A request that only reads a value of the port into `pOutput`. A null `pOutput` fails
// with ERROR_INVALID_PARAMETER and sends nothing.
inline BOOL QuerySerialValue(HANDLE hFile, DWORD dwCode, void *pOutput, DWORD dwOutput) {
    if (pOutput == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return SendSerialRequest(hFile, dwCode, nullptr, 0, pOutput, dwOutput);
}
