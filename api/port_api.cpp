// The port exports of keluapi: pairing, open approval, bytes, handshake lines,
// settings and the per-port events, each one request on the control device.
#include <stdio.h>

#include "keluapi.h"
#include "device_client.h"

#include <winioctl.h>
#include <kelu_ioctl.h>

namespace {

// Each KELU_SIGNAL_* bit and the bit that stands for it in one of the driver's two
// line images (modem control: DTR, RTS; modem status: CTS, DSR, RI, DCD).
struct SignalLine {
    ULONG signal;
    bool inModemControl;
    ULONG imageBit;
};

const SignalLine kSignalLines[] = {
    {KELU_SIGNAL_RTS, true, 0x02},  {KELU_SIGNAL_CTS, false, 0x10}, {KELU_SIGNAL_DTR, true, 0x01},
    {KELU_SIGNAL_DSR, false, 0x20}, {KELU_SIGNAL_RI, false, 0x40},  {KELU_SIGNAL_DCD, false, 0x80},
};

// Connect and disconnect: two different ports, sent zero-based.
DWORD SendPortPair(DWORD code, ULONG portA, ULONG portB)
{
    if (!IsValidPortNumber(portA) || !IsValidPortNumber(portB) || portA == portB) {
        return ERROR_INVALID_PARAMETER;
    }
    ULONG request[2] = {DriverPortNumber(portA), DriverPortNumber(portB)};
    return SendControlRequest(code, request, sizeof(request), nullptr, 0);
}

DWORD WriteCharToPort(ULONG port, UCHAR ch)
{
    ULONG request =
        DriverPortNumber(port) | (static_cast<ULONG>(ch) << KELU_WRITE_TO_PORT_BYTE_SHIFT);
    return SendControlRequest(IOCTL_KELU_WRITE_TO_PORT, &request, sizeof(request), nullptr, 0);
}

// Stores the byte in *ch only when one was taken.
DWORD ReadCharFromPort(ULONG port, UCHAR* ch)
{
    ULONG request = DriverPortNumber(port);
    UCHAR reply = 0;
    DWORD error = SendControlRequest(IOCTL_KELU_READ_FROM_PORT, &request, sizeof(request), &reply,
                                     sizeof(reply));
    if (error == ERROR_SUCCESS) {
        *ch = reply;
    }
    return error;
}

// The common end of both byte runs. A run that stopped because the port's buffer
// was full or empty (endOfRoomError) after at least one byte is a plain success;
// any other stop after at least one byte is a success that keeps its reason in
// the last error; a first byte that fails fails the run. The count is stored in
// every case, 0 when the first byte failed.
int CompleteByteRun(ULONG moved, DWORD error, DWORD endOfRoomError, ULONG* count)
{
    *count = moved;
    if (error == ERROR_SUCCESS) {
        return 1;
    }
    if (moved == 0) {
        return CompleteExport(error);
    }
    SetLastError(error == endOfRoomError ? ERROR_SUCCESS : error);
    return 1;
}

// The event getters: have the driver set up the port's four named events, then
// open the one asked for, for waiting only. The driver names them in the global
// \BaseNamedObjects; "Global\" reaches them from any session (on a Windows 2000/XP
// console session the prefix changes nothing; Wine keeps an application's names in
// its session's own directory).
HANDLE OpenPortEvent(ULONG port, const char* nameFormat)
{
    DWORD error = ERROR_INVALID_PARAMETER;
    if (IsValidPortNumber(port)) {
        ULONG request = DriverPortNumber(port);
        error = SendControlRequest(IOCTL_KELU_INIT_EVENTS, &request, sizeof(request), nullptr, 0);
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return nullptr;
    }
    char name[32];
    snprintf(name, sizeof(name), nameFormat, static_cast<int>(port));
    return OpenEventA(SYNCHRONIZE, FALSE, name);
}

}  // namespace

int keluConnectPorts(ULONG portA, ULONG portB)
{
    return CompleteExport(SendPortPair(IOCTL_KELU_CONNECT_PORTS, portA, portB));
}

int keluDisconnectPorts(ULONG portA, ULONG portB)
{
    return CompleteExport(SendPortPair(IOCTL_KELU_DISCONNECT_PORTS, portA, portB));
}

int keluGetConnectedPort(ULONG port, ULONG* partner)
{
    if (!IsValidPortNumber(port) || partner == nullptr) {
        return CompleteExport(ERROR_INVALID_PARAMETER);
    }
    UCHAR map[256];
    DWORD error = SendControlRequest(IOCTL_KELU_GET_CONNECTION_MAP, nullptr, 0, map, sizeof(map));
    if (error == ERROR_SUCCESS) {
        UCHAR partnerIndex = map[DriverPortNumber(port)];
        *partner = partnerIndex == 0xFF ? 0xFFFFFFFF : partnerIndex + 1UL;
    }
    return CompleteExport(error);
}

int keluConfirmPortOpening(ULONG port, ULONG answer)
{
    if (!IsValidPortNumber(port)) {
        return CompleteExport(ERROR_INVALID_PARAMETER);
    }
    ULONG request[2] = {DriverPortNumber(port), answer};
    return CompleteExport(
        SendControlRequest(IOCTL_KELU_CONFIRM_PORT_OPENING, request, sizeof(request), nullptr, 0));
}

int keluIsPortOpened(ULONG port, int* opened)
{
    if (!IsValidPortNumber(port) || opened == nullptr) {
        return CompleteExport(ERROR_INVALID_PARAMETER);
    }
    ULONG request = DriverPortNumber(port);
    ULONG reply = 0;
    DWORD error = SendControlRequest(IOCTL_KELU_IS_PORT_OPENED, &request, sizeof(request), &reply,
                                     sizeof(reply));
    if (error == ERROR_SUCCESS) {
        *opened = reply != 0 ? 1 : 0;
    }
    return CompleteExport(error);
}

int keluGetNumBytesInBuffer(ULONG port, ULONG* count)
{
    if (!IsValidPortNumber(port) || count == nullptr) {
        return CompleteExport(ERROR_INVALID_PARAMETER);
    }
    ULONG request = DriverPortNumber(port);
    ULONG reply = 0;
    DWORD error = SendControlRequest(IOCTL_KELU_GET_NUMBYTESINBUFFER, &request, sizeof(request),
                                     &reply, sizeof(reply));
    if (error == ERROR_SUCCESS) {
        *count = reply;
    }
    return CompleteExport(error);
}

int keluWriteCharToPortBuffer(ULONG port, char ch)
{
    if (!IsValidPortNumber(port)) {
        return CompleteExport(ERROR_INVALID_PARAMETER);
    }
    return CompleteExport(WriteCharToPort(port, static_cast<UCHAR>(ch)));
}

int keluReadCharFromPortBuffer(ULONG port, char* ch)
{
    if (!IsValidPortNumber(port) || ch == nullptr) {
        return CompleteExport(ERROR_INVALID_PARAMETER);
    }
    UCHAR taken;
    DWORD error = ReadCharFromPort(port, &taken);
    if (error != ERROR_SUCCESS) {
        return CompleteExport(error);
    }
    *ch = static_cast<char>(taken);
    SetLastError(ERROR_SUCCESS);
    return 1;
}

int keluWriteToPortBuffer(ULONG port, UCHAR* data, ULONG count, ULONG* written)
{
    if (!IsValidPortNumber(port) || data == nullptr || written == nullptr) {
        return CompleteExport(ERROR_INVALID_PARAMETER);
    }
    ULONG moved = 0;
    DWORD error = ERROR_SUCCESS;
    while (moved < count && (error = WriteCharToPort(port, data[moved])) == ERROR_SUCCESS) {
        ++moved;
    }
    return CompleteByteRun(moved, error, ERROR_MORE_DATA, written);
}

int keluReadFromPortBuffer(ULONG port, UCHAR* data, ULONG count, ULONG* read)
{
    if (!IsValidPortNumber(port) || data == nullptr || read == nullptr) {
        return CompleteExport(ERROR_INVALID_PARAMETER);
    }
    ULONG moved = 0;
    DWORD error = ERROR_SUCCESS;
    while (moved < count && (error = ReadCharFromPort(port, &data[moved])) == ERROR_SUCCESS) {
        ++moved;
    }
    if (moved != 0 && error == ERROR_SUCCESS) {
        SetLastError(ERROR_SUCCESS);  // as each byte's keluReadCharFromPortBuffer leaves it
    }
    return CompleteByteRun(moved, error, ERROR_NO_MORE_ITEMS, read);
}

int keluGetControlSignals(ULONG port, ULONG* signals)
{
    if (!IsValidPortNumber(port) || signals == nullptr) {
        return CompleteExport(ERROR_INVALID_PARAMETER);
    }
    KELU_MODEM_REGISTERS registers = {};
    registers.ulPortNumber = DriverPortNumber(port);
    DWORD error = SendControlRequest(IOCTL_KELU_GET_MODEMREGISTERS, &registers, sizeof(registers),
                                     &registers, sizeof(registers));
    if (error != ERROR_SUCCESS) {
        return CompleteExport(error);
    }
    ULONG result = 0;
    for (const SignalLine& line : kSignalLines) {
        ULONG image = line.inModemControl ? registers.ulModemControl : registers.ulModemStatus;
        if (image & line.imageBit) {
            result |= line.signal;
        }
    }
    *signals = result;
    return 1;
}

int keluSetControlSignals(ULONG port, ULONG signals)
{
    if (!IsValidPortNumber(port)) {
        return CompleteExport(ERROR_INVALID_PARAMETER);
    }
    KELU_MODEM_REGISTERS registers = {};
    registers.ulPortNumber = DriverPortNumber(port);
    for (const SignalLine& line : kSignalLines) {
        if (signals & line.signal) {
            (line.inModemControl ? registers.ulModemControl : registers.ulModemStatus) |=
                line.imageBit;
        }
    }
    return CompleteExport(SendControlRequest(IOCTL_KELU_SET_MODEMREGISTERS, &registers,
                                             sizeof(registers), nullptr, 0));
}

int keluGetSettings(ULONG port, KELU_PORT_SETTINGS* settings)
{
    if (!IsValidPortNumber(port) || settings == nullptr) {
        return CompleteExport(ERROR_INVALID_PARAMETER);
    }
    ULONG request = DriverPortNumber(port);
    KELU_SETTINGS_REPLY reply = {};
    DWORD error = SendControlRequest(IOCTL_KELU_GET_SETTINGS, &request, sizeof(request), &reply,
                                     sizeof(reply));
    if (error != ERROR_SUCCESS) {
        return CompleteExport(error);
    }
    // Reserved stays as the caller left it; the break character and the FIFO control
    // are not part of the record.
    settings->BaudRate = reply.ulBaudRate;
    settings->WordLength = reply.WordLength;
    settings->Parity = reply.Parity;
    settings->StopBits = reply.StopBits;
    settings->XonChar = reply.XonChar;
    settings->XoffChar = reply.XoffChar;
    settings->ErrorChar = reply.ErrorChar;
    settings->EofChar = reply.EofChar;
    settings->EventChar = reply.EventChar;
    settings->XonLimit = static_cast<USHORT>(reply.XonLimit);
    settings->XoffLimit = static_cast<USHORT>(reply.XoffLimit);
    settings->ControlHandShake = static_cast<UCHAR>(reply.ControlHandShake);
    settings->FlowReplace = reply.FlowReplace & 0xFF;
    return 1;
}

HANDLE keluGetDataEvent(ULONG port)
{
    return OpenPortEvent(port, "Global\\keluPortData%d");
}

HANDLE keluGetSettingsEvent(ULONG port)
{
    return OpenPortEvent(port, "Global\\keluPortSettings%d");
}

HANDLE keluGetFlowEvent(ULONG port)
{
    return OpenPortEvent(port, "Global\\keluPortFlowControl%d");
}

HANDLE keluGetOpenCloseEvent(ULONG port)
{
    return OpenPortEvent(port, "Global\\keluPortOpened%d");
}
