// The system's message texts for Win32 errors and FormatMessageA, which gives them
// out. The texts are Windows' own English wording of the errors this machine reports.
#include "win32_internal.h"

#include <setupapi.h>

#include <cstring>
#include <string>

namespace {

struct SystemMessage {
    DWORD error;
    const char *text;
};

const SystemMessage kSystemMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough storage is available to process this command."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_NOT_READY, "The device is not ready."},
    {ERROR_BAD_COMMAND, "The device does not recognize the command."},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device."},
    {ERROR_READ_FAULT, "The system cannot read from the specified device."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_DEV_NOT_EXIST, "The specified network resource or device is no longer available."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_CALL_NOT_IMPLEMENTED, "This function is not supported on this system."},
    {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_BAD_PATHNAME, "The specified path is invalid."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request."},
    {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state."},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
    {ERROR_NOACCESS, "Invalid access to memory location."},
    {ERROR_INVALID_FLAGS, "Invalid flags."},
    {ERROR_KEY_DELETED,
     "Illegal operation attempted on a registry key that has been marked for deletion."},
    {ERROR_SERVICE_DOES_NOT_EXIST, "The specified service does not exist as an installed service."},
    {ERROR_DATABASE_DOES_NOT_EXIST, "The database specified does not exist."},
    {ERROR_SERVICE_MARKED_FOR_DELETE, "The specified service has been marked for deletion."},
    {ERROR_SERVICE_EXISTS, "The specified service already exists."},
    {ERROR_NO_UNICODE_TRANSLATION,
     "No mapping for the Unicode character exists in the target multi-byte code page."},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected."},
    {ERROR_NO_SYSTEM_RESOURCES,
     "Insufficient system resources exist to complete the requested service."},
    {ERROR_INVALID_USER_BUFFER, "The supplied user buffer is not valid for the requested operation."},
    {ERROR_RESOURCE_LANG_NOT_FOUND,
     "The specified resource language ID cannot be found in the image file."},
    {ERROR_NO_SUCH_DEVINST, "The device instance does not exist in the hardware tree."},
    {ERROR_NO_DRIVER_SELECTED,
     "There is no driver selected for the device information set or element."},
    {ERROR_KEY_DOES_NOT_EXIST, "The requested device registry key does not exist."},
};

const char *SystemMessageText(DWORD error)
{
    for (const SystemMessage &message : kSystemMessages) {
        if (message.error == error) {
            return message.text;
        }
    }
    return nullptr;
}

// The machine speaks English: the neutral and default languages and any English one.
bool IsOfferedLanguage(DWORD languageId)
{
    WORD primary = PRIMARYLANGID(languageId);
    return languageId == 0 || languageId == MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT) ||
           primary == LANG_ENGLISH;
}

DWORD Fail(DWORD error)
{
    SetLastError(error);
    return 0;
}

}  // namespace

// Messages from a string or a module are not offered (they need the insert engine,
// which no system text here uses): they fail with ERROR_INVALID_PARAMETER.
extern "C" DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                                       DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize,
                                       va_list *Arguments)
{
    UNREFERENCED_PARAMETER(lpSource);
    UNREFERENCED_PARAMETER(Arguments);
    const DWORD offered = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                          FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                          FORMAT_MESSAGE_MAX_WIDTH_MASK;
    DWORD width = dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || (dwFlags & ~offered) ||
        (width != 0 && width != FORMAT_MESSAGE_MAX_WIDTH_MASK) || lpBuffer == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (!IsOfferedLanguage(dwLanguageId)) {
        return Fail(ERROR_RESOURCE_LANG_NOT_FOUND);
    }
    const char *found = SystemMessageText(dwMessageId);
    if (found == nullptr) {
        return Fail(ERROR_MR_MID_NOT_FOUND);
    }
    // A width of FORMAT_MESSAGE_MAX_WIDTH_MASK asks for the text without its line end.
    std::string text = found;
    if (width == 0) {
        text += "\r\n";
    }
    DWORD length = static_cast<DWORD>(text.size());
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        SIZE_T size = length + 1 > nSize ? length + 1 : nSize;
        auto *block = static_cast<char *>(LocalAlloc(LMEM_FIXED, size));
        if (block == nullptr) {
            return Fail(ERROR_NOT_ENOUGH_MEMORY);
        }
        std::memcpy(block, text.c_str(), length + 1);
        *reinterpret_cast<char **>(lpBuffer) = block;
        return length;
    }
    if (length + 1 > nSize) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(lpBuffer, text.c_str(), length + 1);
    return length;
}
