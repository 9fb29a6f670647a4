// The groups of checks, in the order main runs them. The data, timeout, comm-API and
// library groups work on the pair kPortA (synchronous handle `a`) and kPortB
// (overlapped handle `b`), connected and open; each leaves them so.
#pragma once

#include "suite.h"

#include <windows.h>

// setup_checks.cpp
void CheckInstallation(Suite &suite);
void CheckPlugInAndPairing(Suite &suite);
void CheckOpenApproval(Suite &suite);
void CheckUnplug(Suite &suite);
void CheckDemo(Suite &suite, const char *keluExe);
void CheckUninstall(Suite &suite);

// data_checks.cpp; CheckExclusiveOpen while kPortA is open.
void CheckExclusiveOpen(Suite &suite);
void CheckData(Suite &suite, HANDLE a, HANDLE b);
void CheckTimeouts(Suite &suite, HANDLE a, HANDLE b);

// comm_api_checks.cpp
void CheckCommApi(Suite &suite, HANDLE a, HANDLE b);

// library_checks.cpp
void CheckLibraryRequests(Suite &suite, HANDLE a, HANDLE b);
