// Installation and removal of the driver package. Not available in this version
// of the library: both calls fail with ERROR_CALL_NOT_IMPLEMENTED.
#include "keluapi.h"
#include "device_client.h"

int keluInstallDrivers(char* path)
{
    return CompleteExport(path == nullptr ? ERROR_INVALID_PARAMETER : ERROR_CALL_NOT_IMPLEMENTED);
}

int keluUninstallDrivers()
{
    return CompleteExport(ERROR_CALL_NOT_IMPLEMENTED);
}
