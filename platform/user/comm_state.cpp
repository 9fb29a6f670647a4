// The comm API's settings: the DCB, the timeouts and the mode strings that describe a
// DCB. A DCB is kept by the port as four records (baud rate, line control, special
// characters, handflow) plus the DTR and RTS lines; these calls translate between them
// as Windows does.
#include "comm_request.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct PortSettings {
    SERIAL_BAUD_RATE baud;
    SERIAL_LINE_CONTROL lineControl;
    SERIAL_CHARS chars;
    SERIAL_HANDFLOW handFlow;
};

BOOL ReadSettings(HANDLE hFile, PortSettings *pSettings) {
    return SendSerialRequest(hFile, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &pSettings->baud,
                             sizeof(pSettings->baud)) &&
           SendSerialRequest(hFile, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0,
                             &pSettings->lineControl, sizeof(pSettings->lineControl)) &&
           SendSerialRequest(hFile, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &pSettings->chars,
                             sizeof(pSettings->chars)) &&
           SendSerialRequest(hFile, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &pSettings->handFlow,
                             sizeof(pSettings->handFlow));
}

// The line request for a DTR or RTS setting, or 0 when handshake or toggle drives it.
DWORD DtrRequest(DWORD dwControl) {
    switch (dwControl) {
    case DTR_CONTROL_ENABLE: return IOCTL_SERIAL_SET_DTR;
    case DTR_CONTROL_DISABLE: return IOCTL_SERIAL_CLR_DTR;
    default: return 0;
    }
}

DWORD RtsRequest(DWORD dwControl) {
    switch (dwControl) {
    case RTS_CONTROL_ENABLE: return IOCTL_SERIAL_SET_RTS;
    case RTS_CONTROL_DISABLE: return IOCTL_SERIAL_CLR_RTS;
    default: return 0;
    }
}

// Sends the settings in the order Windows does: baud rate, the RTS and DTR lines,
// line control, special characters, handflow.
BOOL WriteSettings(HANDLE hFile, const PortSettings &settings, DWORD dwRtsRequest,
                   DWORD dwDtrRequest) {
    return SendSerialRequest(hFile, IOCTL_SERIAL_SET_BAUD_RATE, &settings.baud,
                             sizeof(settings.baud), nullptr, 0) &&
           (dwRtsRequest == 0 || SendSerialRequest(hFile, dwRtsRequest, nullptr, 0, nullptr, 0)) &&
           (dwDtrRequest == 0 || SendSerialRequest(hFile, dwDtrRequest, nullptr, 0, nullptr, 0)) &&
           SendSerialRequest(hFile, IOCTL_SERIAL_SET_LINE_CONTROL, &settings.lineControl,
                             sizeof(settings.lineControl), nullptr, 0) &&
           SendSerialRequest(hFile, IOCTL_SERIAL_SET_CHARS, &settings.chars,
                             sizeof(settings.chars), nullptr, 0) &&
           SendSerialRequest(hFile, IOCTL_SERIAL_SET_HANDFLOW, &settings.handFlow,
                             sizeof(settings.handFlow), nullptr, 0);
}

SERIAL_HANDFLOW HandFlowFromDcb(const DCB &dcb) {
    SERIAL_HANDFLOW handFlow = {};
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE)
        handFlow.ControlHandShake |= SERIAL_DTR_CONTROL;
    else if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE)
        handFlow.ControlHandShake |= SERIAL_DTR_HANDSHAKE;
    if (dcb.fOutxCtsFlow)
        handFlow.ControlHandShake |= SERIAL_CTS_HANDSHAKE;
    if (dcb.fOutxDsrFlow)
        handFlow.ControlHandShake |= SERIAL_DSR_HANDSHAKE;
    if (dcb.fDsrSensitivity)
        handFlow.ControlHandShake |= SERIAL_DSR_SENSITIVITY;
    if (dcb.fAbortOnError)
        handFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
    if (dcb.fOutX)
        handFlow.FlowReplace |= SERIAL_AUTO_TRANSMIT;
    if (dcb.fInX)
        handFlow.FlowReplace |= SERIAL_AUTO_RECEIVE;
    if (dcb.fErrorChar)
        handFlow.FlowReplace |= SERIAL_ERROR_CHAR;
    if (dcb.fNull)
        handFlow.FlowReplace |= SERIAL_NULL_STRIPPING;
    if (dcb.fTXContinueOnXoff)
        handFlow.FlowReplace |= SERIAL_XOFF_CONTINUE;
    // RTS_CONTROL_ENABLE, _HANDSHAKE and _TOGGLE are the two bits of SERIAL_RTS_MASK.
    handFlow.FlowReplace |= (static_cast<ULONG>(dcb.fRtsControl) << 6) & SERIAL_RTS_MASK;
    handFlow.XonLimit = dcb.XonLim;
    handFlow.XoffLimit = dcb.XoffLim;
    return handFlow;
}

}  // namespace

extern "C" BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    if (lpDCB == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortSettings settings;
    if (!ReadSettings(hFile, &settings))
        return FALSE;
    std::memset(lpDCB, 0, sizeof(DCB));
    lpDCB->DCBlength = sizeof(DCB);
    lpDCB->BaudRate = settings.baud.BaudRate;
    lpDCB->fBinary = TRUE;  // Windows supports no other mode
    lpDCB->fParity = settings.lineControl.Parity != NOPARITY;
    ULONG ulShake = settings.handFlow.ControlHandShake;
    ULONG ulReplace = settings.handFlow.FlowReplace;
    lpDCB->fOutxCtsFlow = (ulShake & SERIAL_CTS_HANDSHAKE) != 0;
    lpDCB->fOutxDsrFlow = (ulShake & SERIAL_DSR_HANDSHAKE) != 0;
    lpDCB->fDtrControl = ulShake & SERIAL_DTR_MASK;
    lpDCB->fDsrSensitivity = (ulShake & SERIAL_DSR_SENSITIVITY) != 0;
    lpDCB->fAbortOnError = (ulShake & SERIAL_ERROR_ABORT) != 0;
    lpDCB->fTXContinueOnXoff = (ulReplace & SERIAL_XOFF_CONTINUE) != 0;
    lpDCB->fOutX = (ulReplace & SERIAL_AUTO_TRANSMIT) != 0;
    lpDCB->fInX = (ulReplace & SERIAL_AUTO_RECEIVE) != 0;
    lpDCB->fErrorChar = (ulReplace & SERIAL_ERROR_CHAR) != 0;
    lpDCB->fNull = (ulReplace & SERIAL_NULL_STRIPPING) != 0;
    lpDCB->fRtsControl = (ulReplace & SERIAL_RTS_MASK) >> 6;
    lpDCB->XonLim = static_cast<WORD>(settings.handFlow.XonLimit);
    lpDCB->XoffLim = static_cast<WORD>(settings.handFlow.XoffLimit);
    lpDCB->ByteSize = settings.lineControl.WordLength;
    lpDCB->Parity = settings.lineControl.Parity;
    lpDCB->StopBits = settings.lineControl.StopBits;
    lpDCB->XonChar = static_cast<char>(settings.chars.XonChar);
    lpDCB->XoffChar = static_cast<char>(settings.chars.XoffChar);
    lpDCB->ErrorChar = static_cast<char>(settings.chars.ErrorChar);
    lpDCB->EofChar = static_cast<char>(settings.chars.EofChar);
    lpDCB->EvtChar = static_cast<char>(settings.chars.EventChar);
    return TRUE;
}

extern "C" BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    if (lpDCB == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The same character cannot both stop and resume the flow.
    if ((lpDCB->fOutX || lpDCB->fInX) && lpDCB->XonChar == lpDCB->XoffChar) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortSettings old;
    if (!ReadSettings(hFile, &old))
        return FALSE;

    PortSettings wanted = old;  // keeps the break character, which a DCB does not hold
    wanted.baud.BaudRate = lpDCB->BaudRate;
    wanted.lineControl.WordLength = lpDCB->ByteSize;
    wanted.lineControl.Parity = lpDCB->Parity;
    wanted.lineControl.StopBits = lpDCB->StopBits;
    wanted.chars.XonChar = static_cast<UCHAR>(lpDCB->XonChar);
    wanted.chars.XoffChar = static_cast<UCHAR>(lpDCB->XoffChar);
    wanted.chars.ErrorChar = static_cast<UCHAR>(lpDCB->ErrorChar);
    wanted.chars.EofChar = static_cast<UCHAR>(lpDCB->EofChar);
    wanted.chars.EventChar = static_cast<UCHAR>(lpDCB->EvtChar);
    wanted.handFlow = HandFlowFromDcb(*lpDCB);

    if (WriteSettings(hFile, wanted, RtsRequest(lpDCB->fRtsControl), DtrRequest(lpDCB->fDtrControl)))
        return TRUE;
    // Put back what was there, keeping the first failure's error for the caller.
    DWORD dwError = GetLastError();
    WriteSettings(hFile, old, 0, 0);
    SetLastError(dwError);
    return FALSE;
}

extern "C" BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS));
    return QuerySerialValue(hFile, IOCTL_SERIAL_GET_TIMEOUTS, lpCommTimeouts, sizeof(COMMTIMEOUTS));
}

extern "C" BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (lpCommTimeouts == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return SendSerialRequest(hFile, IOCTL_SERIAL_SET_TIMEOUTS, lpCommTimeouts,
                             sizeof(COMMTIMEOUTS), nullptr, 0);
}

namespace {

// One "key=value" or positional item of a mode string applied to the DCB; FALSE when
// the value is not one a DCB can take.
bool ApplyModeItem(const std::string &key, const std::string &value, DCB *pDCB) {
    if (value.empty())
        return false;
    char first = static_cast<char>(std::tolower(static_cast<unsigned char>(value[0])));
    char *end = nullptr;
    unsigned long number = std::strtoul(value.c_str(), &end, 10);
    bool isNumber = end != value.c_str() && *end == '\0';
    if (key == "baud" && isNumber) {
        pDCB->BaudRate = static_cast<DWORD>(number);
        return true;
    }
    if (key == "parity") {
        const char *letters = "noems";  // NOPARITY ... SPACEPARITY
        const char *found = std::strchr(letters, first);
        if (found == nullptr || value.size() != 1)
            return false;
        pDCB->Parity = static_cast<BYTE>(found - letters);
        pDCB->fParity = pDCB->Parity != NOPARITY;
        return true;
    }
    if (key == "data" && isNumber && number >= 5 && number <= 8) {
        pDCB->ByteSize = static_cast<BYTE>(number);
        return true;
    }
    if (key == "stop") {
        if (value == "1") pDCB->StopBits = ONESTOPBIT;
        else if (value == "1.5") pDCB->StopBits = ONE5STOPBITS;
        else if (value == "2") pDCB->StopBits = TWOSTOPBITS;
        else return false;
        return true;
    }
    if (key == "dtr" || key == "rts") {
        DWORD dwControl;
        if (value == "on") dwControl = DTR_CONTROL_ENABLE;
        else if (value == "off") dwControl = DTR_CONTROL_DISABLE;
        else if (value == "hs") dwControl = DTR_CONTROL_HANDSHAKE;
        else if (value == "tg" && key == "rts") dwControl = RTS_CONTROL_TOGGLE;
        else return false;
        if (key == "dtr") pDCB->fDtrControl = dwControl;
        else pDCB->fRtsControl = dwControl;
        return true;
    }
    if (key == "xon" || key == "octs" || key == "odsr" || key == "idsr") {
        bool on = value == "on";
        if (!on && value != "off")
            return false;
        if (key == "xon") pDCB->fOutX = pDCB->fInX = on;
        else if (key == "octs") pDCB->fOutxCtsFlow = on;
        else if (key == "odsr") pDCB->fOutxDsrFlow = on;
        else pDCB->fDsrSensitivity = on;
        return true;
    }
    return false;
}

std::string Lower(std::string text) {
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

extern "C" BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB)
{
    if (lpDef == nullptr || lpDCB == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string text = Lower(lpDef);
    // An optional device name ("COM1:") comes first.
    if (text.compare(0, 3, "com") == 0) {
        size_t colon = text.find(':');
        if (colon == std::string::npos) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        text.erase(0, colon + 1);
    }
    DCB result = *lpDCB;
    bool ok = true;
    if (text.find('=') != std::string::npos) {
        size_t pos = 0;
        while (ok && pos < text.size()) {
            size_t start = text.find_first_not_of(' ', pos);
            if (start == std::string::npos)
                break;
            size_t stop = text.find(' ', start);
            std::string item = text.substr(start, stop - start);
            size_t eq = item.find('=');
            ok = eq != std::string::npos &&
                 ApplyModeItem(item.substr(0, eq), item.substr(eq + 1), &result);
            pos = stop == std::string::npos ? text.size() : stop;
        }
    } else {
        // The short form: baud, parity, data bits, stop bits, separated by commas.
        static const char *const keys[] = {"baud", "parity", "data", "stop"};
        size_t pos = 0;
        for (int i = 0; ok && i < 4 && pos <= text.size(); i++) {
            size_t comma = text.find(',', pos);
            std::string item = text.substr(pos, comma - pos);
            item.erase(0, item.find_first_not_of(' '));
            item.erase(item.find_last_not_of(' ') + 1);
            if (!item.empty())
                ok = ApplyModeItem(keys[i], item, &result);
            else if (i == 0)
                ok = false;
            pos = comma == std::string::npos ? text.size() + 1 : comma + 1;
        }
    }
    if (!ok) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpDCB = result;
    return TRUE;
}
