// Win32 error names and the failure sentences built on them.
#include "errors.h"

#include "command.h"

#include <keluapi.h>
#include <winsvc.h>

#include <cstdio>

namespace {

struct ErrorName {
    DWORD value;
    const char *name;
};

#define KELU_ERROR_ENTRY(name) {name, #name}
// Values a port manager can meet: the platform's mapping of the driver's and bus's
// statuses, the setup and service errors of installation, and the library's own.
const ErrorName kErrorNames[] = {
    KELU_ERROR_ENTRY(ERROR_SUCCESS),
    KELU_ERROR_ENTRY(ERROR_INVALID_FUNCTION),
    KELU_ERROR_ENTRY(ERROR_FILE_NOT_FOUND),
    KELU_ERROR_ENTRY(ERROR_PATH_NOT_FOUND),
    KELU_ERROR_ENTRY(ERROR_ACCESS_DENIED),
    KELU_ERROR_ENTRY(ERROR_INVALID_HANDLE),
    KELU_ERROR_ENTRY(ERROR_NOT_ENOUGH_MEMORY),
    KELU_ERROR_ENTRY(ERROR_INVALID_DATA),
    KELU_ERROR_ENTRY(ERROR_NOT_READY),
    KELU_ERROR_ENTRY(ERROR_BAD_COMMAND),
    KELU_ERROR_ENTRY(ERROR_GEN_FAILURE),
    KELU_ERROR_ENTRY(ERROR_SHARING_VIOLATION),
    KELU_ERROR_ENTRY(ERROR_NOT_SUPPORTED),
    KELU_ERROR_ENTRY(ERROR_DEV_NOT_EXIST),
    KELU_ERROR_ENTRY(ERROR_FILE_EXISTS),
    KELU_ERROR_ENTRY(ERROR_INVALID_PARAMETER),
    KELU_ERROR_ENTRY(ERROR_CALL_NOT_IMPLEMENTED),
    KELU_ERROR_ENTRY(ERROR_SEM_TIMEOUT),
    KELU_ERROR_ENTRY(ERROR_INSUFFICIENT_BUFFER),
    KELU_ERROR_ENTRY(ERROR_INVALID_NAME),
    KELU_ERROR_ENTRY(ERROR_BAD_PATHNAME),
    KELU_ERROR_ENTRY(ERROR_BUSY),
    KELU_ERROR_ENTRY(ERROR_ALREADY_EXISTS),
    KELU_ERROR_ENTRY(ERROR_MORE_DATA),
    KELU_ERROR_ENTRY(ERROR_NO_MORE_ITEMS),
    KELU_ERROR_ENTRY(ERROR_MR_MID_NOT_FOUND),
    KELU_ERROR_ENTRY(ERROR_OPERATION_ABORTED),
    KELU_ERROR_ENTRY(ERROR_IO_INCOMPLETE),
    KELU_ERROR_ENTRY(ERROR_IO_PENDING),
    KELU_ERROR_ENTRY(ERROR_NOACCESS),
    KELU_ERROR_ENTRY(ERROR_SERVICE_DOES_NOT_EXIST),
    KELU_ERROR_ENTRY(ERROR_DATABASE_DOES_NOT_EXIST),
    KELU_ERROR_ENTRY(ERROR_SERVICE_MARKED_FOR_DELETE),
    KELU_ERROR_ENTRY(ERROR_SERVICE_EXISTS),
    KELU_ERROR_ENTRY(ERROR_DEVICE_NOT_CONNECTED),
    KELU_ERROR_ENTRY(ERROR_NO_SYSTEM_RESOURCES),
    KELU_ERROR_ENTRY(KELU_ERROR_SERVICE_MARKED_FOR_DELETE),
    KELU_ERROR_ENTRY(KELU_ERROR_BAD_PACKAGE_PATH),
    {0xE000020B, "ERROR_NO_SUCH_DEVINST"},
    {0xE0000203, "ERROR_NO_DRIVER_SELECTED"},
    {0xE0000217, "ERROR_INVALID_CLASS"},
};
#undef KELU_ERROR_ENTRY

// What the user can do about errors that mean "nothing there to talk to".
const char *HintFor(DWORD error)
{
    switch (error) {
    case ERROR_NO_MORE_ITEMS:
        return " (is the driver package installed? try 'kelu install')";
    case ERROR_DEVICE_NOT_CONNECTED:
        return " (no application has the port open)";
    default:
        return "";
    }
}

// The system's text for the error (FormatMessageA's), without its line end and final
// period; "" when the system has none.
std::string SystemText(DWORD error)
{
    char text[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  nullptr, error, 0, text, sizeof text, nullptr);
    std::string sentence(text, length);
    if (!sentence.empty() && sentence.back() == '.') sentence.pop_back();
    return sentence;
}

}  // namespace

std::string DescribeError(DWORD error)
{
    char number[48];
    std::string description;
    for (const ErrorName &entry : kErrorNames) {
        if (entry.value == error) {
            snprintf(number, sizeof number, " (%lu)", static_cast<unsigned long>(error));
            description = entry.name + std::string(number);
            break;
        }
    }
    if (description.empty()) {
        snprintf(number, sizeof number, "error %lu (0x%08lX)", static_cast<unsigned long>(error),
                 static_cast<unsigned long>(error));
        description = number;
    }
    std::string text = SystemText(error);
    return text.empty() ? description : description + " - " + text;
}

void ThrowError(const std::string &what, DWORD error)
{
    throw CommandFailure(kOperationFailed, what + HintFor(error) + ": " + DescribeError(error));
}

void ThrowLastError(const std::string &what) { ThrowError(what, GetLastError()); }

void ThrowUsage(const std::string &sentence) { throw CommandFailure(kUsageError, sentence); }
