// Internal to the emulated user mode: the service records that the service control
// manager and the INF installer's AddService both write.
#pragma once

#include <windows.h>

#include <string>

struct ServiceConfig {
    std::string name;
    std::string displayName;  // empty: none
    DWORD type;
    DWORD startType;
    DWORD errorControl;
    std::string imagePath;    // as the loader reads it: relative to C:\WINDOWS, or a host path
    std::string group;        // empty: none
};

enum class ExistingService { Fail, Update };

// Writes the service's record. An existing service fails with ERROR_SERVICE_EXISTS or
// has its configuration replaced, as `existing` says; a service marked for deletion
// fails with ERROR_SERVICE_MARKED_FOR_DELETE either way.
DWORD WriteServiceRecord(const ServiceConfig &config, ExistingService existing);
