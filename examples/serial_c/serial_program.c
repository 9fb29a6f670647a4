/* A serial program written for Windows in C, as a port tool or a serial library's
 * Windows backend is written: it lists the ports from the registry's SERIALCOMM map
 * and from the device tree (SetupAPI and the configuration manager), opens a pair,
 * configures it, and moves bytes with overlapped I/O, waiting with
 * WaitForMultipleObjects on a read and a WaitCommEvent at once, and flushes. A
 * controlling application's part (keluapi) installs the drivers and plugs the pair
 * in first.
 *
 * Exit status 0 when every check held; each failed check prints its line. */
#include <windows.h>
#include <tchar.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <keluapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int g_failures;

/* Counts and reports a check that did not hold; returns whether it held. */
static int Check(int held, const char *text, int line)
{
    if (!held) {
        printf("%s:%d: check failed: %s (last error %lu)\n", __FILE__, line, text,
               (unsigned long)GetLastError());
        g_failures++;
    }
    return held;
}

#define CHECK(condition) Check((condition) ? 1 : 0, #condition, __LINE__)
/* Stops the program when a step that the rest needs did not work. */
#define REQUIRE(condition)                                   \
    do {                                                     \
        if (!CHECK(condition)) return 1;                     \
    } while (0)

/* The text of a Win32 error, as a program prints it for its user. */
static void PrintError(const char *what, DWORD error)
{
    LPSTR text = NULL;
    DWORD length = FormatMessage(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 NULL, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                 (LPSTR)&text, 0, NULL);
    CHECK(length > 0 && text != NULL);
    printf("%s: %s", what, length > 0 ? text : "(no text)\n");
    LocalFree(text);
}

/* A plugged-in port answers the library once Plug and Play has started it. */
static BOOL WaitUntilPortAnswers(ULONG port)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 5000) {
        int opened = 0;
        if (keluIsPortOpened(port, &opened)) return TRUE;
        Sleep(10);
    }
    return FALSE;
}

/* The COM names in HARDWARE\DEVICEMAP\SERIALCOMM, as "COM1;COM2;" in value order. */
static int ListPortsFromRegistry(char *names, size_t size)
{
    HKEY key;
    names[0] = 0;
    LSTATUS status = RegOpenKeyEx(HKEY_LOCAL_MACHINE, _T("HARDWARE\\DEVICEMAP\\SERIALCOMM"), 0,
                                  KEY_QUERY_VALUE, &key);
    if (status != ERROR_SUCCESS) return 0;
    DWORD count = 0, longestName = 0, largestData = 0;
    status = RegQueryInfoKey(key, NULL, NULL, NULL, NULL, NULL, NULL, &count, &longestName,
                             &largestData, NULL, NULL);
    CHECK(status == ERROR_SUCCESS);
    TCHAR *name = malloc((longestName + 1) * sizeof(TCHAR));
    BYTE *data = malloc(largestData);
    int found = 0;
    for (DWORD index = 0; index < count; index++) {
        DWORD nameLength = longestName + 1;
        DWORD dataSize = largestData;
        DWORD type = 0;
        status = RegEnumValue(key, index, name, &nameLength, NULL, &type, data, &dataSize);
        CHECK(status == ERROR_SUCCESS);
        if (status != ERROR_SUCCESS || type != REG_SZ) continue;
        if (strlen(names) + strlen((char *)data) + 2 <= size) {
            strcat(names, (char *)data);
            strcat(names, ";");
        }
        found++;
    }
    CHECK(RegEnumValue(key, count, name, &longestName, NULL, NULL, NULL, NULL) ==
          ERROR_NO_MORE_ITEMS);
    free(name);
    free(data);
    RegCloseKey(key);
    return found;
}

/* The ports in the device tree: devices whose parent is a bus and that the bus gave
 * an address. The COM name comes from the PortName of the device's hardware key, where
 * a serial port's driver keeps it. */
static int ListPortsFromDeviceTree(char *names, size_t size)
{
    HDEVINFO devices = SetupDiGetClassDevs(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (devices == INVALID_HANDLE_VALUE) return 0;
    SP_DEVINFO_DATA device;
    memset(&device, 0, sizeof device);
    device.cbSize = sizeof device;
    int found = 0;
    names[0] = 0;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); index++) {
        char ids[256];
        ULONG length = sizeof ids;
        ULONG type = 0;
        if (CM_Get_DevNode_Registry_Property(device.DevInst, CM_DRP_HARDWAREID, &type, ids,
                                             &length, 0) != CR_SUCCESS ||
            strcmp(ids, "KELB\\KELU") != 0)
            continue;
        DEVINST bus = 0;
        char busId[MAX_DEVICE_ID_LEN];
        CHECK(CM_Get_Parent(&bus, device.DevInst, 0) == CR_SUCCESS);
        CHECK(CM_Get_Device_ID(bus, busId, sizeof busId, 0) == CR_SUCCESS);
        CHECK(strncmp(busId, "ROOT\\", 5) == 0);
        ULONG address = 0;
        length = sizeof address;
        CHECK(CM_Get_DevNode_Registry_Property(device.DevInst, CM_DRP_ADDRESS, &type, &address,
                                               &length, 0) == CR_SUCCESS);

        char portName[16] = "";
        HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                        KEY_QUERY_VALUE);
        if (!CHECK(key != INVALID_HANDLE_VALUE)) continue;
        DWORD portNameSize = sizeof portName;
        CHECK(RegQueryValueEx(key, "PortName", NULL, &type, (LPBYTE)portName, &portNameSize) ==
                  ERROR_SUCCESS &&
              type == REG_SZ);
        RegCloseKey(key);
        /* The bus numbers its ports from 0, the COM names from 1. */
        char expected[16];
        snprintf(expected, sizeof expected, "COM%lu", (unsigned long)address + 1);
        CHECK(strcmp(portName, expected) == 0);
        if (strlen(names) + strlen(portName) + 2 <= size) {
            strcat(names, portName);
            strcat(names, ";");
        }
        found++;
    }
    CHECK(GetLastError() == ERROR_NO_MORE_ITEMS);
    SetupDiDestroyDeviceInfoList(devices);
    return found;
}

static HANDLE OpenPort(const TCHAR *name)
{
    return CreateFile(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                      FILE_FLAG_OVERLAPPED, NULL);
}

/* 115200 8N1, no flow control, DTR and RTS on; reads wait for their full count. */
static BOOL Configure(HANDLE port)
{
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb) || !BuildCommDCB("baud=115200 parity=N data=8 stop=1", &dcb))
        return FALSE;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = dcb.fInX = FALSE;
    COMMTIMEOUTS timeouts;
    memset(&timeouts, 0, sizeof timeouts);
    return SetCommState(port, &dcb) && SetCommTimeouts(port, &timeouts) &&
           SetupComm(port, 4096, 4096) && PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
}

/* Writes all of `data` and waits for the write to complete. */
static BOOL Send(HANDLE port, const char *data, DWORD length)
{
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = CreateEvent(NULL, TRUE, FALSE, NULL);
    DWORD written = 0;
    BOOL done = WriteFile(port, data, length, &written, &overlapped) ||
                (GetLastError() == ERROR_IO_PENDING &&
                 GetOverlappedResult(port, &overlapped, &written, TRUE));
    CloseHandle(overlapped.hEvent);
    return done && written == length;
}

/* A read and a WaitCommEvent outstanding on `port` at once; one wait on both events
 * until each has completed. Returns the bytes read and the events seen. */
static int ReceiveWithEvents(HANDLE writer, HANDLE port, char *buffer, DWORD count, DWORD *events)
{
    OVERLAPPED read, wait;
    memset(&read, 0, sizeof read);
    memset(&wait, 0, sizeof wait);
    read.hEvent = CreateEvent(NULL, TRUE, FALSE, NULL);
    wait.hEvent = CreateEvent(NULL, TRUE, FALSE, NULL);
    DWORD got = 0;
    *events = 0;
    CHECK(SetCommMask(port, EV_RXCHAR | EV_DSR));
    CHECK(!ReadFile(port, buffer, count, &got, &read) && GetLastError() == ERROR_IO_PENDING);
    CHECK(!WaitCommEvent(port, events, &wait) && GetLastError() == ERROR_IO_PENDING);
    CHECK(!HasOverlappedIoCompleted(&read) && !HasOverlappedIoCompleted(&wait));
    HANDLE pending[2] = {read.hEvent, wait.hEvent};
    OVERLAPPED *requests[2] = {&read, &wait};
    DWORD remaining = 2;
    CHECK(WaitForMultipleObjects(remaining, pending, FALSE, 0) == WAIT_TIMEOUT);

    CHECK(Send(writer, "ping", 4));
    while (remaining > 0) {
        DWORD result = WaitForMultipleObjects(remaining, pending, FALSE, 5000);
        if (result >= WAIT_OBJECT_0 + remaining) break;
        DWORD index = result - WAIT_OBJECT_0;
        DWORD transferred = 0;
        CHECK(GetOverlappedResult(port, requests[index], &transferred, FALSE));
        if (requests[index] == &read) got = transferred;
        /* Wait on what is left. */
        remaining--;
        pending[index] = pending[remaining];
        requests[index] = requests[remaining];
    }
    CHECK(remaining == 0);  /* both completed within 5 s */
    if (remaining > 0) {
        DWORD unused;
        CancelIo(port);
        for (DWORD i = 0; i < remaining; i++) GetOverlappedResult(port, requests[i], &unused, TRUE);
    }
    CloseHandle(read.hEvent);
    CloseHandle(wait.hEvent);
    return (int)got;
}

/* Every export of the library, referenced so that the link proves each symbol. */
static void TouchEveryExport(void)
{
    ULONG number = 0;
    int flag = 0;
    char ch = 0;
    UCHAR bytes[4] = {'a', 'b', 'c', 'd'};
    KELU_PORT_SETTINGS settings;
    HANDLE events[4];

    CHECK(keluIsPortPluggedIn(1, &flag) && flag == 1);
    CHECK(keluGetConnectedPort(1, &number) && number == 2);
    CHECK(keluIsPortOpened(2, &flag));
    CHECK(keluGetSettings(1, &settings) && settings.BaudRate == 115200);
    CHECK(keluGetControlSignals(2, &number));
    CHECK(keluSetControlSignals(2, KELU_SIGNAL_RTS | KELU_SIGNAL_DTR));
    CHECK(keluWriteCharToPortBuffer(1, 'z'));
    CHECK(keluWriteToPortBuffer(1, bytes, 4, &number) && number == 4);
    CHECK(keluGetNumBytesInBuffer(1, &number));
    /* Nothing waits on COM1's transmit side: COM2 took every byte COM1 wrote. */
    CHECK(!keluReadCharFromPortBuffer(1, &ch) && GetLastError() == ERROR_NO_MORE_ITEMS);
    CHECK(keluReadFromPortBuffer(1, bytes, 4, &number) || number == 0);
    events[0] = keluGetDataEvent(1);
    events[1] = keluGetSettingsEvent(1);
    events[2] = keluGetFlowEvent(1);
    events[3] = keluGetOpenCloseEvent(1);
    for (int i = 0; i < 4; i++) {
        CHECK(events[i] != NULL);
        if (events[i] != NULL) CloseHandle(events[i]);
    }
    /* No open waits for approval on COM1: the answer has nobody to go to. */
    keluConfirmPortOpening(1, 0);
}

int main(void)
{
    REQUIRE(keluInstallDrivers((char *)PACKAGE_DIR));
    REQUIRE(keluPluginPort(1, 0) && keluPluginPort(2, 0));
    REQUIRE(WaitUntilPortAnswers(1) && WaitUntilPortAnswers(2));
    REQUIRE(keluConnectPorts(1, 2));
    /* The service control manager comes with <windows.h>: the port driver's service. */
    SC_HANDLE manager = OpenSCManager(NULL, NULL, SC_MANAGER_CONNECT);
    CHECK(manager != NULL);
    SC_HANDLE service = manager != NULL ? OpenService(manager, "kelu", SERVICE_ALL_ACCESS) : NULL;
    CHECK(service != NULL);
    if (service != NULL) CloseServiceHandle(service);
    if (manager != NULL) CloseServiceHandle(manager);

    char fromRegistry[64], fromTree[64];
    CHECK(ListPortsFromRegistry(fromRegistry, sizeof fromRegistry) == 2);
    CHECK(strcmp(fromRegistry, "COM1;COM2;") == 0);
    CHECK(ListPortsFromDeviceTree(fromTree, sizeof fromTree) == 2);
    CHECK(strstr(fromTree, "COM1;") != NULL && strstr(fromTree, "COM2;") != NULL);
    printf("ports in SERIALCOMM: %s in the device tree: %s\n", fromRegistry, fromTree);

    /* A name converted as a wide-character program would pass it. */
    WCHAR wide[16];
    char narrow[16];
    CHECK(MultiByteToWideChar(CP_ACP, 0, "\\\\.\\COM1", -1, wide, 16) == 9);
    CHECK(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, narrow, sizeof narrow,
                              NULL, NULL) == 9);

    HANDLE com1 = OpenPort(narrow);
    HANDLE com2 = OpenPort(_T("\\\\.\\COM2"));
    REQUIRE(com1 != INVALID_HANDLE_VALUE && com2 != INVALID_HANDLE_VALUE);
    HANDLE absent = OpenPort(_T("\\\\.\\COM9"));
    CHECK(absent == INVALID_HANDLE_VALUE);
    if (absent == INVALID_HANDLE_VALUE) PrintError("opening COM9", GetLastError());
    REQUIRE(Configure(com1) && Configure(com2));

    LARGE_INTEGER frequency, start, end;
    CHECK(QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0);
    CHECK(QueryPerformanceCounter(&start));

    char received[8] = {0};
    DWORD events = 0;
    CHECK(ReceiveWithEvents(com1, com2, received, 4, &events) == 4);
    CHECK(memcmp(received, "ping", 4) == 0);
    CHECK((events & EV_RXCHAR) != 0);

    /* The other way: once flushed, nothing of it is left to send on COM2, and the
     * bytes wait in COM1's input queue until it reads them. */
    CHECK(Send(com2, "pong", 4));
    CHECK(FlushFileBuffers(com2));
    DWORD errors = 0;
    COMSTAT status;
    CHECK(ClearCommError(com2, &errors, &status) && status.cbOutQue == 0);
    CHECK(ClearCommError(com1, &errors, &status));
    CHECK(errors == 0 && status.cbInQue == 4);
    OVERLAPPED read;
    memset(&read, 0, sizeof read);
    read.hEvent = CreateEvent(NULL, TRUE, FALSE, NULL);
    DWORD got = 0;
    CHECK(ReadFile(com1, received, 4, &got, &read) ||
          GetOverlappedResult(com1, &read, &got, TRUE));
    CHECK(got == 4 && memcmp(received, "pong", 4) == 0);
    CloseHandle(read.hEvent);

    /* Handshake lines across the cable, break on and off, one urgent character. */
    DWORD lines = 0;
    CHECK(EscapeCommFunction(com1, SETDTR) && GetCommModemStatus(com2, &lines));
    CHECK((lines & MS_DSR_ON) != 0);
    /* COM2 hears of the break once, in ClearCommError's errors. */
    CHECK(SetCommBreak(com1) && ClearCommBreak(com1));
    CHECK(ClearCommError(com2, &errors, &status) && errors == CE_BREAK);
    CHECK(ClearCommError(com2, &errors, &status) && errors == 0);
    CHECK(TransmitCommChar(com1, 'x'));

    CHECK(QueryPerformanceCounter(&end) && end.QuadPart >= start.QuadPart);
    printf("exchange took %.3f ms\n",
           (double)(end.QuadPart - start.QuadPart) * 1000.0 / (double)frequency.QuadPart);

    TouchEveryExport();
    CloseHandle(com1);
    CloseHandle(com2);
    CHECK(keluDisconnectPorts(1, 2));
    CHECK(keluUnplugPort(1) && keluUnplugPort(2));
    CHECK(keluUninstallDrivers());
    printf("%s\n", g_failures == 0 ? "all checks held" : "some checks failed");
    return g_failures == 0 ? 0 : 1;
}
