// keluapi: the library through which a controlling application (a port manager)
// drives the kelu virtual serial ports: plugging ports in and out, pairing them,
// approving opens, putting bytes into a port and taking bytes out of it, reading and
// setting handshake lines, reading settings and waiting on per-port events.
//
// Ports are numbered 1 to 255, the number of their COM name (port 7 is COM7).
// Every function returns 1 on success and 0 on failure with the reason in the
// calling thread's last error (GetLastError); the event getters return an event
// handle or NULL. A bad argument fails with ERROR_INVALID_PARAMETER (87) before
// anything is sent. The library may be called from any number of threads. Each call
// opens the driver (or the bus enumerator) for itself, and the driver admits one
// such open at a time: the calls of one process take turns, so they never fail
// because of each other, and a call whose open collides with another process's tries
// again for about two seconds before it fails with ERROR_ACCESS_DENIED (5).
//
// The header serves C and C++ alike. The library is C++ and its exports carry C++
// names: in C on Linux each declaration names the library's symbol (KELU_SYMBOL);
// a C client on Windows links the plain names through the import library.
#pragma once

#include <windows.h>

// Linux build: only the exports are visible outside the shared object.
#if defined(_WIN32)
#define KELUAPI
#else
#define KELUAPI __attribute__((visibility("default")))
#endif

#if !defined(__cplusplus) && !defined(_WIN32)
#define KELU_SYMBOL(name) __asm__(name)
#else
#define KELU_SYMBOL(name)
#endif

// Bits of the signal word of keluGetControlSignals and keluSetControlSignals. Bits
// above KELU_SIGNAL_DCD are ignored when setting and 0 when reading.
#define KELU_SIGNAL_RTS 0x01
#define KELU_SIGNAL_CTS 0x02
#define KELU_SIGNAL_DTR 0x04
#define KELU_SIGNAL_DSR 0x08
#define KELU_SIGNAL_RI 0x10
#define KELU_SIGNAL_DCD 0x20

// The library's own last-error values; bit 29 marks them as application-defined.
#define KELU_ERROR_SERVICE_MARKED_FOR_DELETE 0x20000100
#define KELU_ERROR_BAD_PACKAGE_PATH 0x20000101

// A port's settings as keluGetSettings reports them (24 bytes). Limits and the
// handshake are narrowed from the driver's wider values: XonLimit and XoffLimit keep
// their low 16 bits, ControlHandShake and FlowReplace their low 8 bits. Reserved is
// never written.
typedef struct KELU_PORT_SETTINGS {
    ULONG BaudRate;
    UCHAR WordLength;
    UCHAR Parity;
    UCHAR StopBits;
    UCHAR XonChar;
    UCHAR XoffChar;
    UCHAR ErrorChar;
    UCHAR EofChar;
    UCHAR EventChar;
    USHORT XonLimit;
    USHORT XoffLimit;
    UCHAR ControlHandShake;
    UCHAR Reserved[3];
    ULONG FlowReplace;
} KELU_PORT_SETTINGS, *PKELU_PORT_SETTINGS;
#if defined(__cplusplus)
static_assert(sizeof(KELU_PORT_SETTINGS) == 24, "KELU_PORT_SETTINGS is 24 bytes");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(KELU_PORT_SETTINGS) == 24, "KELU_PORT_SETTINGS is 24 bytes");
#endif

// Driver package. keluInstallDrivers takes the directory holding kelu.inf, kelu.sys
// and kelbus.inf; keluUninstallDrivers unplugs every port and removes both drivers.
KELUAPI int keluInstallDrivers(char* path)
    KELU_SYMBOL("_Z18keluInstallDriversPc");
KELUAPI int keluUninstallDrivers(void)
    KELU_SYMBOL("_Z20keluUninstallDriversv");

// Plug and Play. keluPluginPort makes the bus report the port and then records
// whether opening it needs the application's approval (confirm nonzero); it may take
// up to about 40 seconds while the new port starts.
KELUAPI int keluPluginPort(ULONG port, int confirm)
    KELU_SYMBOL("_Z14keluPluginPortji");
KELUAPI int keluUnplugPort(ULONG port)
    KELU_SYMBOL("_Z14keluUnplugPortj");
KELUAPI int keluIsPortPluggedIn(ULONG port, int* pluggedIn)
    KELU_SYMBOL("_Z19keluIsPortPluggedInjPi");

// Pairs. keluGetConnectedPort stores the partner's number, or 0xFFFFFFFF when the
// port has none.
KELUAPI int keluConnectPorts(ULONG portA, ULONG portB)
    KELU_SYMBOL("_Z16keluConnectPortsjj");
KELUAPI int keluDisconnectPorts(ULONG portA, ULONG portB)
    KELU_SYMBOL("_Z19keluDisconnectPortsjj");
KELUAPI int keluGetConnectedPort(ULONG port, ULONG* partner)
    KELU_SYMBOL("_Z20keluGetConnectedPortjPj");

// Open approval. An open of a port plugged in with confirm waits until the answer
// arrives: a negative NTSTATUS (STATUS_ACCESS_DENIED, 0xC0000022) fails the open with
// that status, 0 or a positive value lets it proceed. keluIsPortOpened reports 1
// while the port is open or an open waits for the answer.
KELUAPI int keluConfirmPortOpening(ULONG port, ULONG answer)
    KELU_SYMBOL("_Z22keluConfirmPortOpeningjj");
KELUAPI int keluIsPortOpened(ULONG port, int* opened)
    KELU_SYMBOL("_Z16keluIsPortOpenedjPi");

// Bytes. The write functions hand bytes to the application on the port (its reads
// receive them); the read functions take bytes that application wrote and no partner
// took, and keluGetNumBytesInBuffer counts those. Single-byte calls fail with
// ERROR_MORE_DATA when the port's receive buffer is full and ERROR_NO_MORE_ITEMS when
// nothing waits. A run moves byte by byte: when it stops early because the buffer is
// full or empty it returns 1 with the count moved and last error 0; when it stops
// for another reason after at least one byte it returns 1 with the count and leaves
// that reason in the last error; when its first byte fails it returns 0 with the
// count 0.
KELUAPI int keluGetNumBytesInBuffer(ULONG port, ULONG* count)
    KELU_SYMBOL("_Z23keluGetNumBytesInBufferjPj");
KELUAPI int keluWriteCharToPortBuffer(ULONG port, char ch)
    KELU_SYMBOL("_Z25keluWriteCharToPortBufferjc");
KELUAPI int keluReadCharFromPortBuffer(ULONG port, char* ch)
    KELU_SYMBOL("_Z26keluReadCharFromPortBufferjPc");
KELUAPI int keluWriteToPortBuffer(ULONG port, UCHAR* data, ULONG count, ULONG* written)
    KELU_SYMBOL("_Z21keluWriteToPortBufferjPhjPj");
KELUAPI int keluReadFromPortBuffer(ULONG port, UCHAR* data, ULONG count, ULONG* read)
    KELU_SYMBOL("_Z22keluReadFromPortBufferjPhjPj");

// Handshake lines as KELU_SIGNAL_* words. Setting RTS and DTR shows them on the
// partner as CTS, DSR and DCD.
KELUAPI int keluGetControlSignals(ULONG port, ULONG* signals)
    KELU_SYMBOL("_Z21keluGetControlSignalsjPj");
KELUAPI int keluSetControlSignals(ULONG port, ULONG signals)
    KELU_SYMBOL("_Z21keluSetControlSignalsjj");

KELUAPI int keluGetSettings(ULONG port, KELU_PORT_SETTINGS* settings)
    KELU_SYMBOL("_Z15keluGetSettingsjP18KELU_PORT_SETTINGS");

// Per-port events, signalled by the driver when the port is opened or closed, data
// was written, settings changed, or flow-control state changed. The handle only
// allows waiting; the caller closes it with CloseHandle.
KELUAPI HANDLE keluGetDataEvent(ULONG port)
    KELU_SYMBOL("_Z16keluGetDataEventj");
KELUAPI HANDLE keluGetSettingsEvent(ULONG port)
    KELU_SYMBOL("_Z20keluGetSettingsEventj");
KELUAPI HANDLE keluGetFlowEvent(ULONG port)
    KELU_SYMBOL("_Z16keluGetFlowEventj");
KELUAPI HANDLE keluGetOpenCloseEvent(ULONG port)
    KELU_SYMBOL("_Z21keluGetOpenCloseEventj");
