// Port devices: creation for each bus child, their names (\Device\SerialN, COMn+1 and
// its link, the SERIALCOMM value, the PortName of the hardware key), the per-port
// tables, the referenced lookup of a port and of its partner, the order for holding two
// port mutexes, and the null-modem crossover of the handshake lines and the break.
//
// See kelu.h for the reference scheme that keeps a port reached through
// g_PortDeviceExtensions valid until its last user lets go.
#include "kelu.h"

PKELU_DEVICE_EXTENSION g_PortDeviceExtensions[KELU_PORT_COUNT];
KSPIN_LOCK g_PortTableLock;
KEVENT g_OpenConfirmationEvents[KELU_PORT_COUNT];
NTSTATUS g_OpenConfirmationResults[KELU_PORT_COUNT];

// Offset of the port number in the bus child's device extension.
#define KELU_CHILD_PORT_NUMBER_OFFSET 0x24

// Appends ulValue in decimal to a counted string.
static NTSTATUS KeluAppendDecimal(PUNICODE_STRING pTarget, ULONG ulValue)
{
    WCHAR work[20]; // 40 bytes, room for any 32-bit number
    UNICODE_STRING number;
    number.Length = 0;
    number.MaximumLength = sizeof(work);
    number.Buffer = work;
    NTSTATUS status = RtlIntegerToUnicodeString(ulValue, 10, &number);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return RtlAppendUnicodeStringToString(pTarget, &number);
}

// A zero-filled nonpaged name buffer of KELU_NAME_BUFFER_BYTES, or FALSE.
static BOOLEAN KeluAllocateName(PUNICODE_STRING pName)
{
    pName->Length = 0;
    pName->MaximumLength = KELU_NAME_MAX_BYTES;
    pName->Buffer = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, KELU_NAME_BUFFER_BYTES, KELU_POOL_TAG);
    if (pName->Buffer == NULL) {
        return FALSE;
    }
    RtlZeroMemory(pName->Buffer, KELU_NAME_BUFFER_BYTES);
    return TRUE;
}

VOID KeluFreeName(PUNICODE_STRING pName)
{
    if (pName->Buffer != NULL) {
        ExFreePoolWithTag(pName->Buffer, 0);
        pName->Buffer = NULL;
    }
    pName->Length = 0;
    pName->MaximumLength = 0;
}

// Fields of a new port: the extension is zero-filled, so only non-zero values are set.
static VOID KeluInitializePortExtension(PKELU_DEVICE_EXTENSION pDevExt, UCHAR ucPortNumber,
                                        PDEVICE_OBJECT pLower, PDEVICE_OBJECT pPhysical)
{
    pDevExt->ulSignature = KELU_PORT_SIGNATURE;
    pDevExt->ulOutstandingIo = 1;
    pDevExt->LineControl.StopBits = STOP_BIT_1;
    pDevExt->LineControl.Parity = NO_PARITY;
    pDevExt->LineControl.WordLength = 8;
    pDevExt->pLowerDeviceObject = pLower;
    pDevExt->pPhysicalDeviceObject = pPhysical;
    pDevExt->ulPortNumber = ucPortNumber;
    pDevExt->Chars.XonChar = 0x0B;
    pDevExt->Chars.XoffChar = 0x0D;
    pDevExt->HandFlow.XonLimit = 500;
    pDevExt->HandFlow.XoffLimit = 100;
    pDevExt->ulBaudRate = 19200;
    pDevExt->ulSettableBaud = 0x0007FFFF | SERIAL_BAUD_USER;
    pDevExt->pWaitIrp = NULL;
    InitializeListHead(&pDevExt->ReadQueue);
    InitializeListHead(&pDevExt->WriteQueue);
    InitializeListHead(&pDevExt->FlushQueue);
    ExInitializeFastMutex(&pDevExt->Mutex);
    KeInitializeSpinLock(&pDevExt->QueueLock);
    KeInitializeTimer(&pDevExt->ReadTotalTimer);
    KeInitializeTimer(&pDevExt->ReadIntervalTimer);
    KeInitializeTimer(&pDevExt->WriteTotalTimer);
    KeInitializeDpc(&pDevExt->ReadTotalDpc, KeluReadTotalTimeoutDpc, pDevExt);
    KeInitializeDpc(&pDevExt->ReadIntervalDpc, KeluReadIntervalTimeoutDpc, pDevExt);
    KeInitializeDpc(&pDevExt->WriteTotalDpc, KeluWriteTotalTimeoutDpc, pDevExt);
    KeInitializeEvent(&pDevExt->RemoveEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pDevExt->EventCreationLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&g_OpenConfirmationEvents[ucPortNumber], NotificationEvent, FALSE);
}

static VOID KeluPublishPort(UCHAR ucPortNumber, PKELU_DEVICE_EXTENSION pDevExt)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&g_PortTableLock, &oldIrql);
    g_PortDeviceExtensions[ucPortNumber] = pDevExt;
    KeReleaseSpinLock(&g_PortTableLock, oldIrql);
}

NTSTATUS NTAPI KeluAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    if (PhysicalDeviceObject == NULL || PhysicalDeviceObject->DeviceExtension == NULL) {
        return STATUS_NO_MORE_ENTRIES;
    }
    UCHAR ucPortNumber = ((PUCHAR)PhysicalDeviceObject->DeviceExtension)[KELU_CHILD_PORT_NUMBER_OFFSET];

    UNICODE_STRING deviceName;
    if (!KeluAllocateName(&deviceName)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlAppendUnicodeToString(&deviceName, L"\\Device\\Serial");
    KeluAppendDecimal(&deviceName, ucPortNumber);

    // A port number already in use fails here: the name is taken.
    PDEVICE_OBJECT pDeviceObject = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(KELU_DEVICE_EXTENSION), &deviceName,
                                     FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN, TRUE,
                                     &pDeviceObject);
    if (!NT_SUCCESS(status)) {
        if (pDeviceObject != NULL) {
            IoDeleteDevice(pDeviceObject);
        }
        KeluFreeName(&deviceName);
        return status;
    }

    // Everything after this needs a lower device to pass requests to.
    PDEVICE_OBJECT pLower = IoAttachDeviceToDeviceStack(pDeviceObject, PhysicalDeviceObject);
    if (pLower == NULL) {
        IoDeleteDevice(pDeviceObject);
        KeluFreeName(&deviceName);
        return STATUS_NO_SUCH_DEVICE;
    }

    PKELU_DEVICE_EXTENSION pDevExt = (PKELU_DEVICE_EXTENSION)pDeviceObject->DeviceExtension;
    RtlZeroMemory(pDevExt, sizeof(*pDevExt));
    ULONG ulNameBytes = deviceName.Length + sizeof(WCHAR);
    pDevExt->DeviceName.Buffer = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, ulNameBytes, KELU_POOL_TAG);
    if (pDevExt->DeviceName.Buffer == NULL) {
        KeluFreeName(&deviceName);
        IoDetachDevice(pLower);
        IoDeleteDevice(pDeviceObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pDevExt->DeviceName.Buffer, ulNameBytes);
    pDevExt->DeviceName.MaximumLength = (USHORT)ulNameBytes;
    RtlCopyUnicodeString(&pDevExt->DeviceName, &deviceName);

    KeluInitializePortExtension(pDevExt, ucPortNumber, pLower, PhysicalDeviceObject);
    KeluPublishPort(ucPortNumber, pDevExt);

    // The new port starts with DTR and RTS off; its partner learns that, and the new
    // port takes over the partner's current lines.
    KeluTransferLines(pDevExt);
    PKELU_DEVICE_EXTENSION pPartner = KeluGetPartnerExtension(pDevExt);
    if (pPartner != NULL) {
        KeluTransferLines(pPartner);
        KeluReleasePortExtension(pPartner);
    }

    // Without a COM name the port still works through its device name.
    KeluCreateComName(pDevExt, (ULONG)ucPortNumber + 1);

    pDeviceObject->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    pDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    KeluFreeName(&deviceName);
    return STATUS_SUCCESS;
}

// Serial programs learn a port's COM name from the PortName value of its hardware key,
// where every serial port keeps it. The port works without it, so a failure is logged
// and goes no further. The value is written at every AddDevice, so it always names the
// port's present COM name.
static VOID KeluRecordPortName(PKELU_DEVICE_EXTENSION pDevExt)
{
    HANDLE hKey = NULL;
    NTSTATUS status = IoOpenDeviceRegistryKey(pDevExt->pPhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE,
                                              KEY_WRITE, &hKey);
    if (NT_SUCCESS(status)) {
        UNICODE_STRING valueName;
        RtlInitUnicodeString(&valueName, L"PortName");
        // The buffer is zero-filled past the text, so the text ends in a zero.
        status = ZwSetValueKey(hKey, &valueName, 0, REG_SZ, pDevExt->ComName.Buffer,
                               pDevExt->ComName.Length + sizeof(WCHAR));
        ZwClose(hKey);
    }
    if (!NT_SUCCESS(status)) {
        DbgPrint("kelu.sys: port %lu: PortName not written to the hardware key, status 0x%08lX\n",
                 (ULONG)pDevExt->ulPortNumber, (ULONG)status);
    }
}

NTSTATUS KeluCreateComName(PKELU_DEVICE_EXTENSION pDevExt, ULONG ulComNumber)
{
    if (!KeluAllocateName(&pDevExt->ComName)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!KeluAllocateName(&pDevExt->SymbolicLinkName)) {
        KeluFreeName(&pDevExt->ComName);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlAppendUnicodeToString(&pDevExt->ComName, L"COM");
    KeluAppendDecimal(&pDevExt->ComName, ulComNumber);
    RtlAppendUnicodeToString(&pDevExt->SymbolicLinkName, L"\\DosDevices\\");
    RtlAppendUnicodeStringToString(&pDevExt->SymbolicLinkName, &pDevExt->ComName);

    NTSTATUS status = IoCreateSymbolicLink(&pDevExt->SymbolicLinkName, &pDevExt->DeviceName);
    if (NT_SUCCESS(status)) {
        // Both buffers are zero-filled past the text, so the texts end in a zero.
        status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", pDevExt->DeviceName.Buffer,
                                       REG_SZ, pDevExt->ComName.Buffer,
                                       pDevExt->ComName.Length + sizeof(WCHAR));
        if (NT_SUCCESS(status)) {
            KeluRecordPortName(pDevExt);
            return STATUS_SUCCESS;
        }
        IoDeleteSymbolicLink(&pDevExt->SymbolicLinkName);
    }
    KeluFreeName(&pDevExt->ComName);
    KeluFreeName(&pDevExt->SymbolicLinkName);
    return status;
}

PKELU_DEVICE_EXTENSION KeluReferencePortExtension(ULONG ulPortNumber)
{
    if (ulPortNumber >= KELU_PORT_COUNT) {
        return NULL;
    }
    KIRQL oldIrql;
    KeAcquireSpinLock(&g_PortTableLock, &oldIrql);
    PKELU_DEVICE_EXTENSION pDevExt = g_PortDeviceExtensions[ulPortNumber];
    if (pDevExt != NULL) {
        InterlockedIncrement(&pDevExt->ulOutstandingIo);
    }
    KeReleaseSpinLock(&g_PortTableLock, oldIrql);
    return pDevExt;
}

PKELU_DEVICE_EXTENSION KeluGetPartnerExtension(PKELU_DEVICE_EXTENSION pDevExt)
{
    if (pDevExt == NULL) {
        return NULL;
    }
    // The map byte and the table entry are read under one hold of the table lock, which
    // the map writers also take, so the lookup sees one consistent pairing.
    KIRQL oldIrql;
    KeAcquireSpinLock(&g_PortTableLock, &oldIrql);
    UCHAR ucPartner = g_ConnectionAndConfirmationMap[pDevExt->ulPortNumber];
    PKELU_DEVICE_EXTENSION pPartner = NULL;
    if (ucPartner != KELU_NOT_CONNECTED) {
        pPartner = g_PortDeviceExtensions[ucPartner];
        if (pPartner != NULL) {
            InterlockedIncrement(&pPartner->ulOutstandingIo);
        }
    }
    KeReleaseSpinLock(&g_PortTableLock, oldIrql);
    return pPartner;
}

VOID KeluReleasePortExtension(PKELU_DEVICE_EXTENSION pDevExt)
{
    KeluReleaseRequestReference(pDevExt);
}

// Two ports' mutexes in ascending port number; pLow is taken first and released last.
static VOID KeluOrderPair(PKELU_DEVICE_EXTENSION *ppLow, PKELU_DEVICE_EXTENSION *ppHigh)
{
    PKELU_DEVICE_EXTENSION pFirst = *ppLow;
    PKELU_DEVICE_EXTENSION pSecond = *ppHigh;
    if (pFirst == pSecond) {
        pSecond = NULL;
    } else if (pFirst == NULL || (pSecond != NULL && pSecond->ulPortNumber < pFirst->ulPortNumber)) {
        *ppLow = pSecond;
        *ppHigh = pFirst;
        return;
    }
    *ppLow = pFirst;
    *ppHigh = pSecond;
}

VOID KeluAcquirePortPair(PKELU_DEVICE_EXTENSION pFirst, PKELU_DEVICE_EXTENSION pSecond)
{
    KeluOrderPair(&pFirst, &pSecond);
    if (pFirst != NULL) {
        ExAcquireFastMutex(&pFirst->Mutex);
    }
    if (pSecond != NULL) {
        ExAcquireFastMutex(&pSecond->Mutex);
    }
}

VOID KeluReleasePortPair(PKELU_DEVICE_EXTENSION pFirst, PKELU_DEVICE_EXTENSION pSecond)
{
    KeluOrderPair(&pFirst, &pSecond);
    if (pSecond != NULL) {
        ExReleaseFastMutex(&pSecond->Mutex);
    }
    if (pFirst != NULL) {
        ExReleaseFastMutex(&pFirst->Mutex);
    }
}

NTSTATUS KeluTransferLines(PKELU_DEVICE_EXTENSION pDevExt)
{
    PKELU_DEVICE_EXTENSION pPartner = KeluGetPartnerExtension(pDevExt);
    if (pPartner == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    KeluAcquirePortPair(pDevExt, pPartner);

    ULONG ulControl = pDevExt->ulModemControl;
    BOOLEAN bRts = (ulControl & SERIAL_RTS_STATE) != 0;
    BOOLEAN bCts = (pPartner->ulModemStatus & SERIAL_CTS_STATE) != 0;
    if (bRts != bCts) {
        pPartner->ulModemStatus |= KELU_MODEM_DELTA_CTS;
        KeluSignalWaitEvents(pPartner, SERIAL_EV_CTS);
    }
    if (bRts) {
        pPartner->ulModemStatus |= SERIAL_CTS_STATE;
    } else {
        pPartner->ulModemStatus &= ~SERIAL_CTS_STATE;
    }

    // DCD follows DTR together with DSR; whether the lines changed is judged by DSR.
    BOOLEAN bDtr = (ulControl & SERIAL_DTR_STATE) != 0;
    BOOLEAN bDsr = (pPartner->ulModemStatus & SERIAL_DSR_STATE) != 0;
    if (bDtr != bDsr) {
        pPartner->ulModemStatus |= KELU_MODEM_DELTA_DSR | KELU_MODEM_DELTA_DCD;
        KeluSignalWaitEvents(pPartner, SERIAL_EV_DSR | SERIAL_EV_RLSD);
    }
    if (bDtr) {
        pPartner->ulModemStatus |= SERIAL_DSR_STATE | SERIAL_DCD_STATE;
    } else {
        pPartner->ulModemStatus &= ~(SERIAL_DSR_STATE | SERIAL_DCD_STATE);
    }

    // A break is told once, when the line goes into it, and only to an open port: one
    // opened while the line is already in break hears nothing of it. Its end is no event.
    BOOLEAN bBreak = pDevExt->bBreakOn != 0;
    if (bBreak && !pPartner->bBreakSeen && pPartner->bOpened) {
        pPartner->ulErrors |= SERIAL_ERROR_BREAK;
        KeluSignalWaitEvents(pPartner, SERIAL_EV_BREAK);
    }
    pPartner->bBreakSeen = bBreak;

    KeluReleasePortPair(pDevExt, pPartner);
    KeluReleasePortExtension(pPartner);
    return STATUS_SUCCESS;
}
