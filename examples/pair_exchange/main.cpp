// A controlling application and two serial applications in one program: installs the
// driver package, plugs in COM1 and COM2, pairs them, sends a line from COM1 to COM2
// and takes everything away again. Exit status 0 when the line arrived intact.
#include <windows.h>
#include <keluapi.h>

#include <stdio.h>
#include <string.h>

static int Fail(const char *what)
{
    printf("%s failed: error %lu\n", what, (unsigned long)GetLastError());
    return 1;
}

// A plugged-in port answers the library once Plug and Play has started its device.
static BOOL WaitUntilPortAnswers(ULONG port)
{
    for (int attempt = 0; attempt < 500; attempt++) {
        int opened = 0;
        if (keluIsPortOpened(port, &opened))
            return TRUE;
        Sleep(10);
    }
    return FALSE;
}

static HANDLE OpenPort(const char *name)
{
    HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (port == INVALID_HANDLE_VALUE)
        return port;
    // A read gives up after a second rather than wait for ever.
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadTotalTimeoutConstant = 1000;
    SetCommTimeouts(port, &timeouts);
    return port;
}

int main()
{
    if (!keluInstallDrivers((char *)PACKAGE_DIR))
        return Fail("keluInstallDrivers");
    if (!keluPluginPort(1, 0) || !keluPluginPort(2, 0))
        return Fail("keluPluginPort");
    if (!WaitUntilPortAnswers(1) || !WaitUntilPortAnswers(2))
        return Fail("waiting for the ports");
    if (!keluConnectPorts(1, 2))
        return Fail("keluConnectPorts");

    HANDLE com1 = OpenPort("\\\\.\\COM1");
    HANDLE com2 = OpenPort("\\\\.\\COM2");
    if (com1 == INVALID_HANDLE_VALUE || com2 == INVALID_HANDLE_VALUE)
        return Fail("CreateFileA");
    const char line[] = "hello across the pair";
    char received[sizeof line] = {0};
    DWORD written = 0, read = 0;
    if (!WriteFile(com1, line, sizeof line - 1, &written, NULL) ||
        !ReadFile(com2, received, sizeof line - 1, &read, NULL))
        return Fail("the exchange");
    printf("COM1 wrote %lu bytes; COM2 read \"%s\"\n", (unsigned long)written, received);
    CloseHandle(com1);
    CloseHandle(com2);

    if (!keluUnplugPort(1) || !keluUnplugPort(2) || !keluUninstallDrivers())
        return Fail("taking the ports away");
    return strcmp(received, line) == 0 ? 0 : 1;
}
