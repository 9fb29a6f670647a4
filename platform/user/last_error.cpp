// The thread's last error and the mapping from the kernel's status values to the
// Win32 errors that user mode reports.
#include "win32_internal.h"

namespace {

thread_local DWORD g_lastError = ERROR_SUCCESS;

struct StatusMapping {
    NTSTATUS status;
    DWORD error;
};

const StatusMapping kStatusMappings[] = {
    {STATUS_PENDING, ERROR_IO_PENDING},
    {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
    {STATUS_DEVICE_BUSY, ERROR_BUSY},
    {STATUS_NO_MORE_ENTRIES, ERROR_NO_MORE_ITEMS},
    {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    {STATUS_ACCESS_VIOLATION, ERROR_NOACCESS},
    {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
    {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
    {STATUS_NO_SUCH_FILE, ERROR_FILE_NOT_FOUND},
    {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {STATUS_MORE_PROCESSING_REQUIRED, ERROR_MORE_DATA},
    {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {STATUS_OBJECT_TYPE_MISMATCH, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER_MIX, ERROR_INVALID_PARAMETER},
    {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
    {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    {STATUS_OBJECT_PATH_SYNTAX_BAD, ERROR_BAD_PATHNAME},
    {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
    {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
    {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
    {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
    {STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
    {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
    {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {STATUS_DEVICE_DOES_NOT_EXIST, ERROR_DEV_NOT_EXIST},
    {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
};

// Bit 29 of a status marks a value that an application defined; FACILITY_NTWIN32
// (7) carries a Win32 error in its low word.
constexpr ULONG kCustomerBit = 0x20000000;
constexpr ULONG kFacilityMask = 0x0FFF0000;
constexpr ULONG kFacilityNtWin32 = 0x00070000;

}  // namespace

DWORD Win32ErrorFromStatus(NTSTATUS status)
{
    ULONG value = static_cast<ULONG>(status);
    if (value & kCustomerBit) {
        return value;
    }
    if ((value & kFacilityMask) == kFacilityNtWin32) {
        return value & 0xFFFF;
    }
    for (const StatusMapping &mapping : kStatusMappings) {
        if (mapping.status == status) {
            return mapping.error;
        }
    }
    return ERROR_MR_MID_NOT_FOUND;  // what Windows reports for a status it has no entry for
}

void SetLastErrorFromStatus(NTSTATUS status)
{
    g_lastError = Win32ErrorFromStatus(status);
}

BOOL SucceedOrSetError(NTSTATUS status)
{
    if (NT_SUCCESS(status)) {
        return TRUE;
    }
    SetLastErrorFromStatus(status);
    return FALSE;
}

CountedName::CountedName(const std::string &text)
{
    for (char c : text) {
        text_.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    }
    fits_ = text_.size() * sizeof(char16_t) < 0xFFFF;
    string_.Length = fits_ ? static_cast<USHORT>(text_.size() * sizeof(char16_t)) : 0;
    string_.MaximumLength = string_.Length;
    string_.Buffer = reinterpret_cast<PWSTR>(text_.data());
}

extern "C" DWORD WINAPI GetLastError(VOID)
{
    return g_lastError;
}

extern "C" VOID WINAPI SetLastError(DWORD dwErrCode)
{
    g_lastError = dwErrCode;
}
