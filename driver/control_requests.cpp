// Requests on the control device "\Device\KeluControl": the controlling application's
// protocol. Each request is logged by name with its result, checked against its
// minimum buffer lengths and completed here; none stays pending. Codes not in the
// table are answered as "Default".
#include "kelu.h"

typedef NTSTATUS (*KELU_CONTROL_HANDLER)(PULONG pBuffer, PULONG_PTR pInformation);

typedef struct _KELU_CONTROL_REQUEST {
    ULONG ulCode;
    const char *pszName;
    ULONG ulMinInput;
    ULONG ulMinOutput;
    KELU_CONTROL_HANDLER pfnHandler;
} KELU_CONTROL_REQUEST;

// A control request that names a port needs the port's device; TRUE when it is started.
static BOOLEAN KeluIsPortStarted(PKELU_DEVICE_EXTENSION pDevExt)
{
    ExAcquireFastMutex(&pDevExt->Mutex);
    BOOLEAN bStarted = pDevExt->bStarted == 1;
    ExReleaseFastMutex(&pDevExt->Mutex);
    return bStarted;
}

static NTSTATUS KeluControlConnectPorts(PULONG pBuffer, PULONG_PTR pInformation)
{
    UNREFERENCED_PARAMETER(pInformation);
    return KeluMapConnectPorts(pBuffer[0], pBuffer[1]);
}

static NTSTATUS KeluControlDisconnectPorts(PULONG pBuffer, PULONG_PTR pInformation)
{
    UNREFERENCED_PARAMETER(pInformation);
    return KeluMapDisconnectPorts(pBuffer[0], pBuffer[1]);
}

static NTSTATUS KeluControlGetConnectionMap(PULONG pBuffer, PULONG_PTR pInformation)
{
    KeluMapCopyPartners((PUCHAR)pBuffer);
    *pInformation = KELU_PORT_COUNT;
    return STATUS_SUCCESS;
}

// One status line of the modem status image and what a change of it reports.
typedef struct _KELU_STATUS_LINE {
    ULONG ulLine;
    ULONG ulDelta;
    ULONG ulEvent;
} KELU_STATUS_LINE;

static const KELU_STATUS_LINE g_StatusLines[] = {
    {SERIAL_CTS_STATE, KELU_MODEM_DELTA_CTS, SERIAL_EV_CTS},
    {SERIAL_DSR_STATE, KELU_MODEM_DELTA_DSR, SERIAL_EV_DSR},
    {SERIAL_DCD_STATE, KELU_MODEM_DELTA_DCD, SERIAL_EV_RLSD},
    {SERIAL_RI_STATE, KELU_MODEM_DELTA_RI, SERIAL_EV_RING},
};

static NTSTATUS KeluSetModemRegisters(PKELU_DEVICE_EXTENSION pDevExt, PKELU_MODEM_REGISTERS pRegisters)
{
    if (!KeluIsPortStarted(pDevExt)) {
        DbgPrint("&pDevExt->Mutex - Address NOT valid!!!\n");
        return STATUS_INVALID_PARAMETER;
    }
    DbgPrint("kelu.sys: Waiting Mutex\n");
    ExAcquireFastMutex(&pDevExt->Mutex);
    DbgPrint("kelu.sys: Mutex Acquired\n");

    ULONG ulNewControl = pRegisters->ulModemControl & (SERIAL_DTR_STATE | SERIAL_RTS_STATE);
    BOOLEAN bControlChanged = ulNewControl != (pDevExt->ulModemControl & (SERIAL_DTR_STATE | SERIAL_RTS_STATE));
    pDevExt->ulModemControl = ulNewControl;

    ULONG ulEvents = 0;
    for (ULONG i = 0; i < sizeof(g_StatusLines) / sizeof(g_StatusLines[0]); i++) {
        const KELU_STATUS_LINE *pLine = &g_StatusLines[i];
        ULONG ulRequested = pRegisters->ulModemStatus & pLine->ulLine;
        if (ulRequested != (pDevExt->ulModemStatus & pLine->ulLine)) {
            pDevExt->ulModemStatus = (pDevExt->ulModemStatus & ~pLine->ulLine) | ulRequested | pLine->ulDelta;
            ulEvents |= pLine->ulEvent;
        }
    }
    if (ulEvents != 0) {
        KeluSignalWaitEvents(pDevExt, ulEvents);
    }

    DbgPrint("kelu.sys: ReleaseMutex\n");
    ExReleaseFastMutex(&pDevExt->Mutex);
    DbgPrint("kelu.sys: Mutex Released\n");

    if (ulEvents != 0 || bControlChanged) {
        DbgPrint("kelu.sys: Transferring Lines");
        KeluTransferLines(pDevExt);
        DbgPrint("kelu.sys: Lines Transferred\n");
    }
    return STATUS_SUCCESS;
}

static NTSTATUS KeluGetModemRegisters(PKELU_DEVICE_EXTENSION pDevExt, PKELU_MODEM_REGISTERS pRegisters,
                                      PULONG_PTR pInformation)
{
    // The change bits are reported and kept.
    ExAcquireFastMutex(&pDevExt->Mutex);
    pRegisters->ulModemStatus = pDevExt->ulModemStatus;
    pRegisters->ulModemControl = pDevExt->ulModemControl;
    ExReleaseFastMutex(&pDevExt->Mutex);
    *pInformation = sizeof(KELU_MODEM_REGISTERS);
    return STATUS_SUCCESS;
}

static NTSTATUS KeluGetSettings(PKELU_DEVICE_EXTENSION pDevExt, PKELU_SETTINGS_REPLY pReply,
                                PULONG_PTR pInformation)
{
    if (!KeluIsPortStarted(pDevExt)) {
        DbgPrint("&pDevExt->Mutex - Address NOT valid!!!\n");
        return STATUS_INVALID_PARAMETER;
    }
    DbgPrint("kelu.sys: Wait Mutex\n");
    ExAcquireFastMutex(&pDevExt->Mutex);
    DbgPrint("kelu.sys: Mutex Acquired\n");
    pReply->ulBaudRate = pDevExt->ulBaudRate;
    pReply->EofChar = pDevExt->Chars.EofChar;
    pReply->ErrorChar = pDevExt->Chars.ErrorChar;
    pReply->BreakChar = pDevExt->Chars.BreakChar;
    pReply->EventChar = pDevExt->Chars.EventChar;
    pReply->XonChar = pDevExt->Chars.XonChar;
    pReply->XoffChar = pDevExt->Chars.XoffChar;
    pReply->WordLength = pDevExt->LineControl.WordLength;
    pReply->StopBits = pDevExt->LineControl.StopBits;
    pReply->Parity = pDevExt->LineControl.Parity;
    pReply->ControlHandShake = pDevExt->HandFlow.ControlHandShake;
    pReply->FlowReplace = pDevExt->HandFlow.FlowReplace;
    pReply->XonLimit = pDevExt->HandFlow.XonLimit;
    pReply->XoffLimit = pDevExt->HandFlow.XoffLimit;
    pReply->ulFifoControl = pDevExt->ulFifoControl;
    DbgPrint("kelu.sys: Release Mutex\n");
    ExReleaseFastMutex(&pDevExt->Mutex);
    DbgPrint("kelu.sys: Mutex released\n");
    *pInformation = sizeof(KELU_SETTINGS_REPLY);
    return STATUS_SUCCESS;
}

static NTSTATUS KeluSetConfirmation(PKELU_DEVICE_EXTENSION pDevExt, ULONG ulRequest)
{
    UCHAR ucPort = pDevExt->ulPortNumber;
    if (!KeluIsPortStarted(pDevExt)) {
        DbgPrint("&g_OpenConfirmationEvents[pDevExt->ulPortNumber] - Address NOT valid!!!\n");
        return STATUS_INVALID_PARAMETER;
    }
    DbgPrint("pDevExt->ulPortNumber = %d\n", ucPort);
    BOOLEAN bRequired = (ulRequest & KELU_CONFIRMATION_REQUIRED) != 0;
    KeluMapSetConfirmation(ucPort, bRequired);
    DbgPrint(bRequired ? "g_ConnectionAndConfirmationMap[pDevExt->ulPortNumber+256] = 1\n"
                       : "g_ConnectionAndConfirmationMap[pDevExt->ulPortNumber+256] = 0\n");
    DbgPrint("kelu.sys: ConnectionMap saved\n");
    // A waiting open wakes and goes by the answer stored last.
    KeSetEvent(&g_OpenConfirmationEvents[ucPort], IO_NO_INCREMENT, FALSE);
    DbgPrint("kelu.sys: Event set\n");
    return STATUS_SUCCESS;
}

// The requests below name a port: the whole first ULONG, or its low 8 bits.
#define KELU_PORT_LOW_BYTE(value) ((value) & 0xFF)

typedef NTSTATUS (*KELU_PORT_HANDLER)(PKELU_DEVICE_EXTENSION pDevExt, PULONG pBuffer,
                                      PULONG_PTR pInformation);

// Runs a request on the port that the whole first ULONG names, holding a reference on
// the port for the duration; an absent port is STATUS_INVALID_PARAMETER.
static NTSTATUS KeluOnReferencedPort(PULONG pBuffer, PULONG_PTR pInformation,
                                     KELU_PORT_HANDLER pfnHandler)
{
    PKELU_DEVICE_EXTENSION pDevExt = KeluReferencePortExtension(pBuffer[0]);
    if (pDevExt == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = pfnHandler(pDevExt, pBuffer, pInformation);
    KeluReleasePortExtension(pDevExt);
    return status;
}

static NTSTATUS KeluPortSetModemRegisters(PKELU_DEVICE_EXTENSION pDevExt, PULONG pBuffer,
                                          PULONG_PTR pInformation)
{
    UNREFERENCED_PARAMETER(pInformation);
    return KeluSetModemRegisters(pDevExt, (PKELU_MODEM_REGISTERS)pBuffer);
}

static NTSTATUS KeluPortGetModemRegisters(PKELU_DEVICE_EXTENSION pDevExt, PULONG pBuffer,
                                          PULONG_PTR pInformation)
{
    return KeluGetModemRegisters(pDevExt, (PKELU_MODEM_REGISTERS)pBuffer, pInformation);
}

static NTSTATUS KeluPortGetSettings(PKELU_DEVICE_EXTENSION pDevExt, PULONG pBuffer,
                                    PULONG_PTR pInformation)
{
    return KeluGetSettings(pDevExt, (PKELU_SETTINGS_REPLY)pBuffer, pInformation);
}

static NTSTATUS KeluControlSetModemRegisters(PULONG pBuffer, PULONG_PTR pInformation)
{
    return KeluOnReferencedPort(pBuffer, pInformation, KeluPortSetModemRegisters);
}

static NTSTATUS KeluControlGetModemRegisters(PULONG pBuffer, PULONG_PTR pInformation)
{
    return KeluOnReferencedPort(pBuffer, pInformation, KeluPortGetModemRegisters);
}

static NTSTATUS KeluControlGetSettings(PULONG pBuffer, PULONG_PTR pInformation)
{
    return KeluOnReferencedPort(pBuffer, pInformation, KeluPortGetSettings);
}

static NTSTATUS KeluControlSetConfirmation(PULONG pBuffer, PULONG_PTR pInformation)
{
    UNREFERENCED_PARAMETER(pInformation);
    PKELU_DEVICE_EXTENSION pDevExt = KeluReferencePortExtension(KELU_PORT_LOW_BYTE(pBuffer[0]));
    if (pDevExt == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = KeluSetConfirmation(pDevExt, pBuffer[0]);
    KeluReleasePortExtension(pDevExt);
    return status;
}

static NTSTATUS KeluControlInitEvents(PULONG pBuffer, PULONG_PTR pInformation)
{
    UNREFERENCED_PARAMETER(pInformation);
    PKELU_DEVICE_EXTENSION pDevExt = KeluReferencePortExtension(KELU_PORT_LOW_BYTE(pBuffer[0]));
    NTSTATUS status = KeluCreatePortEvents(pDevExt);  // STATUS_INVALID_PARAMETER for no port
    KeluReleasePortExtension(pDevExt);
    return status;
}

// One byte between the controlling application and a port's rings (the port's Mutex
// held, the port open); sets Information and returns the status of the request.
typedef NTSTATUS (*KELU_RING_ACCESS)(PKELU_DEVICE_EXTENSION pDevExt, PULONG pBuffer, PULONG_PTR pInformation);

// Runs a ring access on an open port, then the transfer, all under one hold of the pair's
// Mutexes: the port cannot close, and its rings cannot be freed, between the check and
// the access. The transfer includes the partner so that bytes put into the receive ring
// reach a pending read at once and room freed in the transmit ring lets queued writes on.
static NTSTATUS KeluAccessOpenPort(ULONG ulPortNumber, KELU_RING_ACCESS pfnAccess, PULONG pBuffer,
                                   PULONG_PTR pInformation)
{
    PKELU_DEVICE_EXTENSION pDevExt = KeluReferencePortExtension(ulPortNumber);
    if (pDevExt == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    PKELU_DEVICE_EXTENSION pPartner = KeluGetPartnerExtension(pDevExt);
    NTSTATUS status = STATUS_DEVICE_NOT_CONNECTED;
    KeluAcquirePortPair(pDevExt, pPartner);
    if (pDevExt->bOpened) {
        status = pfnAccess(pDevExt, pBuffer, pInformation);
        KeluTransferDataLocked(pDevExt, pPartner);
    }
    KeluReleasePortPair(pDevExt, pPartner);
    KeluReleasePortExtension(pPartner);
    KeluReleasePortExtension(pDevExt);
    return status;
}

// A byte the port's application wrote and no partner has taken, into output byte 0.
static NTSTATUS KeluTakeWrittenByte(PKELU_DEVICE_EXTENSION pDevExt, PULONG pBuffer, PULONG_PTR pInformation)
{
    *pInformation = KeluGetFromWriteBuffer(pDevExt, (PUCHAR)pBuffer, 1);
    return *pInformation != 0 ? STATUS_SUCCESS : STATUS_NO_MORE_ENTRIES;
}

// The byte in bits 24 to 31 of the input, into the port's receive ring.
static NTSTATUS KeluPutByteToRead(PKELU_DEVICE_EXTENSION pDevExt, PULONG pBuffer, PULONG_PTR pInformation)
{
    UNREFERENCED_PARAMETER(pInformation);
    UCHAR ucByte = (UCHAR)(pBuffer[0] >> KELU_WRITE_TO_PORT_BYTE_SHIFT);
    return KeluPutToReadBuffer(pDevExt, &ucByte, 1) != 0 ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

static NTSTATUS KeluControlReadFromPort(PULONG pBuffer, PULONG_PTR pInformation)
{
    return KeluAccessOpenPort(pBuffer[0], KeluTakeWrittenByte, pBuffer, pInformation);
}

static NTSTATUS KeluControlWriteToPort(PULONG pBuffer, PULONG_PTR pInformation)
{
    return KeluAccessOpenPort(KELU_PORT_LOW_BYTE(pBuffer[0]), KeluPutByteToRead, pBuffer, pInformation);
}

// Both answers are read under the port's Mutex, which an open waiting for its answer
// does not hold, so asking never waits on an approval; the port may change at once after.
static NTSTATUS KeluControlIsPortOpened(PULONG pBuffer, PULONG_PTR pInformation)
{
    PKELU_DEVICE_EXTENSION pDevExt = KeluReferencePortExtension(KELU_PORT_LOW_BYTE(pBuffer[0]));
    if (pDevExt == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    ExAcquireFastMutex(&pDevExt->Mutex);
    pBuffer[0] = (pDevExt->bOpened || pDevExt->bOpening) ? 1 : 0;
    ExReleaseFastMutex(&pDevExt->Mutex);
    KeluReleasePortExtension(pDevExt);
    *pInformation = sizeof(ULONG);
    return STATUS_SUCCESS;
}

static NTSTATUS KeluControlGetNumBytesInBuffer(PULONG pBuffer, PULONG_PTR pInformation)
{
    PKELU_DEVICE_EXTENSION pDevExt = KeluReferencePortExtension(KELU_PORT_LOW_BYTE(pBuffer[0]));
    if (pDevExt == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    ExAcquireFastMutex(&pDevExt->Mutex);
    pBuffer[0] = pDevExt->bOpened ? pDevExt->ulWriteBufferCount : 0;
    ExReleaseFastMutex(&pDevExt->Mutex);
    KeluReleasePortExtension(pDevExt);
    *pInformation = sizeof(ULONG);
    return STATUS_SUCCESS;
}

// The answer is kept for the port's next waiting open if none waits now; the waiting open
// fails with a negative answer and goes on with any other.
static NTSTATUS KeluControlConfirmPortOpening(PULONG pBuffer, PULONG_PTR pInformation)
{
    UNREFERENCED_PARAMETER(pInformation);
    PKELU_DEVICE_EXTENSION pDevExt = KeluReferencePortExtension(KELU_PORT_LOW_BYTE(pBuffer[0]));
    if (pDevExt == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR ucPort = pDevExt->ulPortNumber;
    // Under the Mutex, as the waiting open reads it; the open does not hold it while it waits.
    ExAcquireFastMutex(&pDevExt->Mutex);
    g_OpenConfirmationResults[ucPort] = (NTSTATUS)pBuffer[1];
    ExReleaseFastMutex(&pDevExt->Mutex);
    KeSetEvent(&g_OpenConfirmationEvents[ucPort], IO_NO_INCREMENT, FALSE);
    KeluReleasePortExtension(pDevExt);
    return STATUS_SUCCESS;
}

static const KELU_CONTROL_REQUEST g_ControlRequests[] = {
    {IOCTL_KELU_CONNECT_PORTS, "IOCTL_KELU_CONNECT_PORTS", 2 * sizeof(ULONG), 0, KeluControlConnectPorts},
    {IOCTL_KELU_DISCONNECT_PORTS, "IOCTL_KELU_DISCONNECT_PORTS", 2 * sizeof(ULONG), 0, KeluControlDisconnectPorts},
    {IOCTL_KELU_GET_CONNECTION_MAP, "IOCTL_KELU_GET_CONNECTION_MAP", 0, KELU_PORT_COUNT, KeluControlGetConnectionMap},
    {IOCTL_KELU_SET_MODEMREGISTERS, "IOCTL_KELU_SET_MODEMREGISTERS", sizeof(KELU_MODEM_REGISTERS), 0,
     KeluControlSetModemRegisters},
    {IOCTL_KELU_GET_MODEMREGISTERS, "IOCTL_KELU_GET_MODEMREGISTERS", sizeof(ULONG), sizeof(KELU_MODEM_REGISTERS),
     KeluControlGetModemRegisters},
    {IOCTL_KELU_GET_SETTINGS, "IOCTL_KELU_GET_SETTINGS", sizeof(ULONG), sizeof(KELU_SETTINGS_REPLY),
     KeluControlGetSettings},
    {IOCTL_KELU_SET_CONFIRMATION, "IOCTL_KELU_SET_CONFIRMATION", sizeof(ULONG), 0, KeluControlSetConfirmation},
    {IOCTL_KELU_READ_FROM_PORT, "IOCTL_KELU_READ_FROM_PORT", sizeof(ULONG), 1, KeluControlReadFromPort},
    {IOCTL_KELU_WRITE_TO_PORT, "IOCTL_KELU_WRITE_TO_PORT", sizeof(ULONG), 0, KeluControlWriteToPort},
    {IOCTL_KELU_INIT_EVENTS, "IOCTL_KELU_INIT_EVENTS", sizeof(ULONG), 0, KeluControlInitEvents},
    {IOCTL_KELU_IS_PORT_OPENED, "IOCTL_KELU_IS_PORT_OPENED", sizeof(ULONG), sizeof(ULONG), KeluControlIsPortOpened},
    {IOCTL_KELU_GET_NUMBYTESINBUFFER, "IOCTL_KELU_GET_NUMBYTESINBUFFER", sizeof(ULONG), sizeof(ULONG),
     KeluControlGetNumBytesInBuffer},
    {IOCTL_KELU_CONFIRM_PORT_OPENING, "IOCTL_KELU_CONFIRM_PORT_OPENING", 2 * sizeof(ULONG), 0,
     KeluControlConfirmPortOpening},
};

NTSTATUS KeluDeviceDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    DbgPrint("kelu.sys: KeluDeviceDeviceControl starting.\n");
    Irp->IoStatus.Information = 0;

    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(Irp);
    ULONG ulCode = pStack->Parameters.DeviceIoControl.IoControlCode;
    const KELU_CONTROL_REQUEST *pRequest = NULL;
    for (ULONG i = 0; i < sizeof(g_ControlRequests) / sizeof(g_ControlRequests[0]); i++) {
        if (g_ControlRequests[i].ulCode == ulCode) {
            pRequest = &g_ControlRequests[i];
            break;
        }
    }

    NTSTATUS status;
    if (pRequest == NULL) {
        DbgPrint("      Default\n");
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
        DbgPrint("      %s\n", pRequest->pszName);
        if (pStack->Parameters.DeviceIoControl.InputBufferLength < pRequest->ulMinInput ||
            pStack->Parameters.DeviceIoControl.OutputBufferLength < pRequest->ulMinOutput) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            status = pRequest->pfnHandler((PULONG)Irp->AssociatedIrp.SystemBuffer, &Irp->IoStatus.Information);
        }
    }

    DbgPrint("      Status = 0x%08X\n", status);
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    DbgPrint("kelu.sys: KeluDeviceDeviceControl() return.\n");
    return status;
}
