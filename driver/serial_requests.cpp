// kelu: the standard serial requests on a port device. There is no hardware behind a
// port: settings are stored in the extension and reported back; the handshake lines and
// the break reach the partner through KeluTransferLines; changes are announced to the controlling
// application through the port's settings and flow-control events.
//
// Every request runs at PASSIVE_LEVEL in the caller's thread inside one frame: a request
// reference, the work (under the port's Mutex), then completion with IO_SERIAL_INCREMENT,
// except a wait-on-mask request that was queued, which wait_mask.cpp completes later.
#include "kelu.h"

// Not in the serial header: the modem class asks every serial port this (device type
// FILE_DEVICE_MODEM, 0x2B). A port answers that it is no modem.
#ifndef IOCTL_MODEM_CHECK_FOR_MODEM
#define IOCTL_MODEM_CHECK_FOR_MODEM CTL_CODE(0x0000002B, 11, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif

namespace {

// What a request asks for once the port's Mutex is released.
enum AfterRelease {
    kNothing,
    kSignalSettings,      // the settings event
    kTransferLines,       // KeluTransferLines, then the flow-control event
    kTransferBreak,       // KeluTransferLines alone: no register of the controlling
                          // application shows a break
    kTransferData,        // the transfer, since the rings have room or requests ended
};

struct Request {
    PIRP Irp;
    PVOID pBuffer;        // the one system buffer: input on entry, output on completion
    ULONG ulInputLength;
    ULONG ulOutputLength;
};

VOID SignalEvent(PKEVENT pEvent) {
    if (pEvent != NULL)
        KeSetEvent(pEvent, IO_NO_INCREMENT, FALSE);
}

// Copies a reply of ulSize bytes, already checked against the output length.
VOID Reply(const Request &request, const VOID *pSource, ULONG ulSize) {
    RtlCopyMemory(request.pBuffer, pSource, ulSize);
    request.Irp->IoStatus.Information = ulSize;
}

VOID ReplyUlong(const Request &request, ULONG ulValue) {
    Reply(request, &ulValue, sizeof(ULONG));
}

BOOLEAN IsValidHandFlow(const SERIAL_HANDFLOW *pHandFlow) {
    if ((pHandFlow->ControlHandShake & SERIAL_CONTROL_INVALID) != 0)
        return FALSE;
    if ((pHandFlow->FlowReplace & SERIAL_FLOW_INVALID) != 0)
        return FALSE;
    if ((pHandFlow->ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK)
        return FALSE;
    // A fixed bound, not the size of the receive ring.
    const LONG lMaxLimit = 1024;
    return pHandFlow->XonLimit >= 0 && pHandFlow->XonLimit <= lMaxLimit &&
           pHandFlow->XoffLimit >= 0 && pHandFlow->XoffLimit <= lMaxLimit;
}

VOID FillProperties(PKELU_DEVICE_EXTENSION pDevExt, PSERIAL_COMMPROP pProperties) {
    RtlZeroMemory(pProperties, sizeof(SERIAL_COMMPROP));
    pProperties->PacketLength = sizeof(SERIAL_COMMPROP);
    pProperties->PacketVersion = 2;
    pProperties->ServiceMask = SERIAL_SP_SERIALCOMM;
    pProperties->MaxBaud = SERIAL_BAUD_USER;
    pProperties->ProvSubType = SERIAL_SP_RS232;
    pProperties->ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD |
                                    SERIAL_PCF_PARITY_CHECK | SERIAL_PCF_XONXOFF |
                                    SERIAL_PCF_SETXCHAR | SERIAL_PCF_TOTALTIMEOUTS |
                                    SERIAL_PCF_INTTIMEOUTS;
    pProperties->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS |
                                  SERIAL_SP_STOPBITS | SERIAL_SP_HANDSHAKING |
                                  SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT;
    pProperties->SettableBaud = pDevExt->ulSettableBaud;
    pProperties->SettableData = SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 |
                                SERIAL_DATABITS_8;
    pProperties->SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 |
                                      SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE |
                                      SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN |
                                      SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE;
    pProperties->CurrentRxQueue = pDevExt->ulReadBufferSize;
}

// Port Mutex held. The queued requests' cancellation stops their timers as well.
VOID Purge(PKELU_DEVICE_EXTENSION pDevExt, ULONG ulMask) {
    if (ulMask & SERIAL_PURGE_RXABORT)
        KeluCancelQueue(pDevExt, &pDevExt->ReadQueue);
    if (ulMask & SERIAL_PURGE_TXABORT) {
        KeluCancelQueue(pDevExt, &pDevExt->WriteQueue);
        KeluCancelFlushes(pDevExt);  // a flush waits behind the writes it aborts
    }
    if (ulMask & SERIAL_PURGE_RXCLEAR)
        pDevExt->ulReadBufferIn = pDevExt->ulReadBufferOut = pDevExt->ulReadBufferCount = 0;
    // SERIAL_PURGE_TXCLEAR: the transmit ring keeps its bytes for the partner.
}

// The minimum input and output length of each code that checks one; FALSE for a code
// that is not served (accepted and ignored).
BOOLEAN RequiredLengths(ULONG ulCode, ULONG *pulInput, ULONG *pulOutput) {
    *pulInput = 0;
    *pulOutput = 0;
    switch (ulCode) {
    case IOCTL_SERIAL_SET_BAUD_RATE:     *pulInput = sizeof(SERIAL_BAUD_RATE); break;
    case IOCTL_SERIAL_SET_QUEUE_SIZE:    *pulInput = sizeof(SERIAL_QUEUE_SIZE); break;
    case IOCTL_SERIAL_SET_LINE_CONTROL:  *pulInput = sizeof(SERIAL_LINE_CONTROL); break;
    case IOCTL_SERIAL_SET_CHARS:         *pulInput = sizeof(SERIAL_CHARS); break;
    case IOCTL_SERIAL_SET_HANDFLOW:      *pulInput = sizeof(SERIAL_HANDFLOW); break;
    case IOCTL_SERIAL_SET_WAIT_MASK:
    case IOCTL_SERIAL_PURGE:
    case IOCTL_SERIAL_SET_MODEM_CONTROL:
    case IOCTL_SERIAL_SET_FIFO_CONTROL:  *pulInput = sizeof(ULONG); break;
    case IOCTL_SERIAL_IMMEDIATE_CHAR:    *pulInput = sizeof(UCHAR); break;
    case IOCTL_SERIAL_GET_LINE_CONTROL:  *pulOutput = sizeof(SERIAL_LINE_CONTROL); break;
    case IOCTL_SERIAL_GET_CHARS:         *pulOutput = sizeof(SERIAL_CHARS); break;
    case IOCTL_SERIAL_GET_HANDFLOW:      *pulOutput = sizeof(SERIAL_HANDFLOW); break;
    case IOCTL_SERIAL_GET_COMMSTATUS:    *pulOutput = sizeof(SERIAL_STATUS); break;
    case IOCTL_SERIAL_GET_PROPERTIES:    *pulOutput = sizeof(SERIAL_COMMPROP); break;
    case IOCTL_SERIAL_GET_STATS:         *pulOutput = sizeof(SERIALPERF_STATS); break;
    case IOCTL_SERIAL_GET_BAUD_RATE:
    case IOCTL_SERIAL_GET_WAIT_MASK:
    case IOCTL_SERIAL_WAIT_ON_MASK:
    case IOCTL_SERIAL_GET_MODEMSTATUS:
    case IOCTL_SERIAL_GET_DTRRTS:
    case IOCTL_SERIAL_CONFIG_SIZE:
    case IOCTL_SERIAL_GET_MODEM_CONTROL: *pulOutput = sizeof(ULONG); break;
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
    case IOCTL_MODEM_CHECK_FOR_MODEM:    break;
    default:
        return FALSE;
    }
    return TRUE;
}

// The requests that need no lock at all: fixed replies and refusals.
BOOLEAN ServeWithoutLock(const Request &request, ULONG ulCode, NTSTATUS *pStatus) {
    *pStatus = STATUS_SUCCESS;
    switch (ulCode) {
    case IOCTL_SERIAL_CONFIG_SIZE:
        ReplyUlong(request, 0);
        return TRUE;
    case IOCTL_SERIAL_GET_STATS:
        RtlZeroMemory(request.pBuffer, sizeof(SERIALPERF_STATS));
        request.Irp->IoStatus.Information = sizeof(SERIALPERF_STATS);
        return TRUE;
    case IOCTL_MODEM_CHECK_FOR_MODEM:
        *pStatus = STATUS_INVALID_PARAMETER;
        return TRUE;
    case IOCTL_SERIAL_SET_HANDFLOW:
        if (!IsValidHandFlow((const SERIAL_HANDFLOW *)request.pBuffer)) {
            *pStatus = STATUS_INVALID_PARAMETER;
            return TRUE;
        }
        return FALSE;
    case IOCTL_SERIAL_PURGE: {
        ULONG ulMask = *(const ULONG *)request.pBuffer;
        const ULONG ulAllParts = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT |
                                 SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
        if (ulMask == 0 || (ulMask & ~ulAllParts) != 0) {
            *pStatus = STATUS_INVALID_PARAMETER;
            return TRUE;
        }
        return FALSE;
    }
    default:
        return FALSE;
    }
}

// The requests served under the port's Mutex, which the caller holds.
NTSTATUS ServeLocked(PKELU_DEVICE_EXTENSION pDevExt, const Request &request, ULONG ulCode,
                     AfterRelease *pAfter) {
    PVOID pBuffer = request.pBuffer;
    switch (ulCode) {
    case IOCTL_SERIAL_SET_BAUD_RATE: {
        ULONG ulBaudRate = ((const SERIAL_BAUD_RATE *)pBuffer)->BaudRate;
        if (ulBaudRate != 0)  // ignored, without error; the event still tells of the request
            pDevExt->ulBaudRate = ulBaudRate;
        *pAfter = kSignalSettings;
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_BAUD_RATE:
        ReplyUlong(request, pDevExt->ulBaudRate);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        // The character goes out ahead of every byte still waiting to be sent. With the
        // transmit ring full there is no room for it now: the caller is told to retry.
        if (!KeluPutInFrontOfWriteBuffer(pDevExt, *(const UCHAR *)pBuffer))
            return STATUS_DEVICE_BUSY;
        *pAfter = kTransferData;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_QUEUE_SIZE: {
        const SERIAL_QUEUE_SIZE *pSize = (const SERIAL_QUEUE_SIZE *)pBuffer;
        *pAfter = kTransferData;  // a larger ring takes bytes that waited for room
        return KeluResizeRings(pDevExt, pSize->InSize, pSize->OutSize);
    }
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        pDevExt->LineControl = *(const SERIAL_LINE_CONTROL *)pBuffer;
        *pAfter = kSignalSettings;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        Reply(request, &pDevExt->LineControl, sizeof(SERIAL_LINE_CONTROL));
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_CHARS:
        pDevExt->Chars = *(const SERIAL_CHARS *)pBuffer;
        *pAfter = kSignalSettings;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_CHARS:
        Reply(request, &pDevExt->Chars, sizeof(SERIAL_CHARS));
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_HANDFLOW:
        pDevExt->HandFlow = *(const SERIAL_HANDFLOW *)pBuffer;
        *pAfter = kSignalSettings;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_HANDFLOW:
        Reply(request, &pDevExt->HandFlow, sizeof(SERIAL_HANDFLOW));
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
        // Under DTR handshake the line belongs to the flow control, not the application.
        if ((pDevExt->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE)
            return STATUS_INVALID_PARAMETER;
        if (ulCode == IOCTL_SERIAL_SET_DTR)
            pDevExt->ulModemControl |= SERIAL_DTR_STATE;
        else
            pDevExt->ulModemControl &= ~SERIAL_DTR_STATE;
        *pAfter = kTransferLines;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_RTS:
        pDevExt->ulModemControl |= SERIAL_RTS_STATE;
        *pAfter = kTransferLines;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_CLR_RTS:
        pDevExt->ulModemControl &= ~SERIAL_RTS_STATE;
        *pAfter = kTransferLines;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
        // The partner sees the break beside the data: bytes written meanwhile still go
        // out rather than waiting for the break to end.
        pDevExt->bBreakOn = ulCode == IOCTL_SERIAL_SET_BREAK_ON;
        *pAfter = kTransferBreak;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_MODEM_CONTROL:
        pDevExt->ulModemControl = *(const ULONG *)pBuffer;
        *pAfter = kTransferLines;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_MODEM_CONTROL:
        ReplyUlong(request, pDevExt->ulModemControl);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_DTRRTS:
        ReplyUlong(request, pDevExt->ulModemControl & (SERIAL_DTR_STATE | SERIAL_RTS_STATE));
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        // The change bits are read once: the reply clears them.
        ReplyUlong(request, pDevExt->ulModemStatus);
        pDevExt->ulModemStatus &= 0xF0;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_FIFO_CONTROL:
        pDevExt->ulFifoControl = *(const ULONG *)pBuffer;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_COMMSTATUS: {
        SERIAL_STATUS status;
        RtlZeroMemory(&status, sizeof(status));
        status.AmountInInQueue = pDevExt->ulReadBufferCount;
        status.AmountInOutQueue = KeluBytesToTransmit(pDevExt);
        // Each error is reported once: the reply clears it.
        status.Errors = pDevExt->ulErrors;
        pDevExt->ulErrors = 0;
        Reply(request, &status, sizeof(status));
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_PROPERTIES:
        FillProperties(pDevExt, (PSERIAL_COMMPROP)pBuffer);
        request.Irp->IoStatus.Information = sizeof(SERIAL_COMMPROP);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_PURGE:
        Purge(pDevExt, *(const ULONG *)pBuffer);
        *pAfter = kTransferData;  // a cleared receive ring takes the partner's waiting bytes
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_WAIT_MASK:
        KeluSetWaitMask(pDevExt, *(const ULONG *)pBuffer);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_WAIT_MASK:
        ReplyUlong(request, pDevExt->ulWaitMask);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_WAIT_ON_MASK:
        return KeluWaitOnMask(pDevExt, request.Irp);
    default:
        return STATUS_SUCCESS;
    }
}

}  // namespace

NTSTATUS KeluPortDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PKELU_DEVICE_EXTENSION pDevExt = (PKELU_DEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status = KeluAcquireRequestReference(pDevExt);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
        return status;
    }
    Irp->IoStatus.Information = 0;
    status = STATUS_SUCCESS;

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG ulCode = stack->Parameters.DeviceIoControl.IoControlCode;
    Request request = {Irp, Irp->AssociatedIrp.SystemBuffer,
                       stack->Parameters.DeviceIoControl.InputBufferLength,
                       stack->Parameters.DeviceIoControl.OutputBufferLength};
    ULONG ulInputNeeded, ulOutputNeeded;
    AfterRelease after = kNothing;
    PKEVENT pEventAfter = NULL;  // taken under the Mutex, under which the events are installed
    if (ulCode == IOCTL_SERIAL_SET_TIMEOUTS || ulCode == IOCTL_SERIAL_GET_TIMEOUTS) {
        // The timeouts share a lock with the timer DPCs; request_queue.cpp serves them.
        status = KeluTimeoutsRequest(pDevExt, Irp);
    } else if (!RequiredLengths(ulCode, &ulInputNeeded, &ulOutputNeeded)) {
        // Every code this port does not serve is accepted and does nothing.
    } else if (request.ulInputLength < ulInputNeeded || request.ulOutputLength < ulOutputNeeded) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else if (!ServeWithoutLock(request, ulCode, &status)) {
        ExAcquireFastMutex(&pDevExt->Mutex);
        status = ServeLocked(pDevExt, request, ulCode, &after);
        if (after == kSignalSettings)
            pEventAfter = pDevExt->pPortSettingsEvent;
        else if (after == kTransferLines)
            pEventAfter = pDevExt->pPortFlowControlEvent;
        ExReleaseFastMutex(&pDevExt->Mutex);
    }

    // Without a partner device there is nobody to see the lines; the request stands.
    if (after == kTransferLines || after == kTransferBreak)
        KeluTransferLines(pDevExt);
    if (after == kTransferData) {
        PKELU_DEVICE_EXTENSION pPartner = KeluGetPartnerExtension(pDevExt);
        KeluTransferData(pDevExt, pPartner);
        KeluReleasePortExtension(pPartner);
    }
    SignalEvent(pEventAfter);  // kept alive by the request reference

    if (status != STATUS_PENDING) {
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    }
    KeluReleaseRequestReference(pDevExt);
    return status;
}
