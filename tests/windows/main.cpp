// kelu_windows_suite PATH\TO\kelu.exe: the Win32 suite, run after `kelu.exe install`
// on a machine (or a Wine prefix) whose ports COM1 to COM6 are free. Ends with
// "N passed, N failed"; exit status 0 only when nothing failed.
#include "checks.h"
#include "port_io.h"

#include <keluapi.h>

#include <stdio.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: kelu_windows_suite PATH\\TO\\kelu.exe (after 'kelu.exe install')\n");
        return 2;
    }
    Suite suite;
    printf("kelu Win32 suite%s\n", UnderWine() ? ", under Wine" : "");
    CheckInstallation(suite);
    CheckPlugInAndPairing(suite);

    HANDLE a = OpenPort(kPortA, false);
    HANDLE b = OpenPort(kPortB, true);
    suite.Group("applications on the pair");
    if (suite.Check(a != INVALID_HANDLE_VALUE && b != INVALID_HANDLE_VALUE,
                    PortName(kPortA) + " opens synchronous and " + PortName(kPortB) + " overlapped")) {
        CheckExclusiveOpen(suite);
        CheckData(suite, a, b);
        CheckTimeouts(suite, a, b);
        CheckCommApi(suite, a, b);
        CheckLibraryRequests(suite, a, b);
    }
    if (a != INVALID_HANDLE_VALUE) CloseHandle(a);
    if (b != INVALID_HANDLE_VALUE) CloseHandle(b);

    CheckOpenApproval(suite);
    CheckUnplug(suite);
    CheckDemo(suite, argv[1]);
    CheckUninstall(suite);
    return suite.Finish();
}
