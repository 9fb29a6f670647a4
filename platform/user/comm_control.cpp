// The comm API's line, event and queue calls: wait masks and waits, the escape
// functions, break, the immediate character, modem status, purge, queue sizes, error
// and queue status, properties. Each is one serial device control request.
#include "comm_request.h"

static_assert(sizeof(COMMPROP) == sizeof(SERIAL_COMMPROP));

extern "C" BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    return SendSerialRequest(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &dwEvtMask, sizeof(dwEvtMask),
                             nullptr, 0);
}

extern "C" BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    return QuerySerialValue(hFile, IOCTL_SERIAL_GET_WAIT_MASK, lpEvtMask, sizeof(DWORD));
}

extern "C" BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    if (lpEvtMask == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD dwReturned = 0;
    return DeviceIoControl(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask,
                           sizeof(DWORD), &dwReturned, lpOverlapped);
}

extern "C" BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    DWORD dwCode;
    switch (dwFunc) {
    case SETXOFF: dwCode = IOCTL_SERIAL_SET_XOFF; break;
    case SETXON: dwCode = IOCTL_SERIAL_SET_XON; break;
    case SETRTS: dwCode = IOCTL_SERIAL_SET_RTS; break;
    case CLRRTS: dwCode = IOCTL_SERIAL_CLR_RTS; break;
    case SETDTR: dwCode = IOCTL_SERIAL_SET_DTR; break;
    case CLRDTR: dwCode = IOCTL_SERIAL_CLR_DTR; break;
    case RESETDEV: dwCode = IOCTL_SERIAL_RESET_DEVICE; break;
    case SETBREAK: dwCode = IOCTL_SERIAL_SET_BREAK_ON; break;
    case CLRBREAK: dwCode = IOCTL_SERIAL_SET_BREAK_OFF; break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return SendSerialRequest(hFile, dwCode, nullptr, 0, nullptr, 0);
}

extern "C" BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    return QuerySerialValue(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, lpModemStat, sizeof(DWORD));
}

extern "C" BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    return SendSerialRequest(hFile, IOCTL_SERIAL_PURGE, &dwFlags, sizeof(dwFlags), nullptr, 0);
}

extern "C" BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    SERIAL_QUEUE_SIZE size = {dwInQueue, dwOutQueue};
    return SendSerialRequest(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &size, sizeof(size), nullptr, 0);
}

extern "C" BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    SERIAL_STATUS status = {};
    if (!SendSerialRequest(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status,
                           sizeof(status))) {
        return FALSE;
    }
    if (lpErrors != nullptr) {
        // The driver's error bits and the CE_* bits are numbered differently.
        DWORD dwErrors = 0;
        if (status.Errors & SERIAL_ERROR_QUEUEOVERRUN) dwErrors |= CE_RXOVER;
        if (status.Errors & SERIAL_ERROR_OVERRUN) dwErrors |= CE_OVERRUN;
        if (status.Errors & SERIAL_ERROR_PARITY) dwErrors |= CE_RXPARITY;
        if (status.Errors & SERIAL_ERROR_FRAMING) dwErrors |= CE_FRAME;
        if (status.Errors & SERIAL_ERROR_BREAK) dwErrors |= CE_BREAK;
        *lpErrors = dwErrors;
    }
    if (lpStat != nullptr) {
        *lpStat = COMSTAT{};
        lpStat->fCtsHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
        lpStat->fDsrHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
        lpStat->fRlsdHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
        lpStat->fXoffHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
        lpStat->fXoffSent = (status.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
        lpStat->fEof = status.EofReceived != 0;
        lpStat->fTxim = status.WaitForImmediate != 0;
        lpStat->cbInQue = status.AmountInInQueue;
        lpStat->cbOutQue = status.AmountInOutQueue;
    }
    return TRUE;
}

extern "C" BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp)
{
    return QuerySerialValue(hFile, IOCTL_SERIAL_GET_PROPERTIES, lpCommProp, sizeof(COMMPROP));
}

extern "C" BOOL WINAPI SetCommBreak(HANDLE hFile)
{
    return SendSerialRequest(hFile, IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0, nullptr, 0);
}

extern "C" BOOL WINAPI ClearCommBreak(HANDLE hFile)
{
    return SendSerialRequest(hFile, IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0, nullptr, 0);
}

extern "C" BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar)
{
    UCHAR character = static_cast<UCHAR>(cChar);
    return SendSerialRequest(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, &character, sizeof(character),
                             nullptr, 0);
}
