// The connection and confirmation map: which port is paired with which, which ports
// need the controlling application's confirmation to open, and its registry form, the
// 512-byte REG_BINARY value "ConnectionMap" in the driver's service key.
//
// Locking: every change, and the save that follows it, happens under
// g_ConnectionMapLock, so changes cannot interleave and leave the partner half
// asymmetric, and the stored value is always a whole map. The bytes themselves are
// written, and read by the lookups, under g_PortTableLock as well (see kelu.h).
#include "kelu.h"

UCHAR g_ConnectionAndConfirmationMap[KELU_MAP_SIZE];
KEVENT g_ConnectionMapLock;

static const WCHAR g_ConnectionMapValueName[] = L"ConnectionMap";

static VOID KeluSetDefaultMap(PUCHAR pMap)
{
    RtlFillMemory(pMap, KELU_CONFIRMATION_BASE, KELU_NOT_CONNECTED);
    RtlZeroMemory(pMap + KELU_CONFIRMATION_BASE, KELU_MAP_SIZE - KELU_CONFIRMATION_BASE);
}

// Takes the stored value only when it is a whole map: a shorter value would pair every
// port past its end with port 0, and a string-typed value read straight into a binary
// buffer would be taken for a counted string. Anything else is treated as unreadable.
static NTSTATUS NTAPI KeluQueryConnectionMap(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                             ULONG ValueLength, PVOID Context, PVOID EntryContext)
{
    UNREFERENCED_PARAMETER(ValueName);
    UNREFERENCED_PARAMETER(Context);
    if (ValueType != REG_BINARY || ValueLength != KELU_MAP_SIZE) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    RtlCopyMemory(EntryContext, ValueData, KELU_MAP_SIZE);
    return STATUS_SUCCESS;
}

// Port 255 cannot be paired: its number is the mark for "not connected". A port is
// never paired with itself.
static BOOLEAN KeluArePairablePorts(ULONG a, ULONG b)
{
    return a < KELU_NOT_CONNECTED && b < KELU_NOT_CONNECTED && a != b;
}

// Copies a stored map, keeping only pairs that KeluMapConnectPorts could have made:
// both sides naming each other, a port never its own partner. Any other partner byte
// (written by hand, or by an older driver) would pair a port one way only or loop
// its writes back to itself, so that port is loaded unpaired, and the log says so.
static VOID KeluTakeStoredPairs(PUCHAR pMap, const UCHAR *pStored)
{
    RtlCopyMemory(pMap, pStored, KELU_MAP_SIZE);
    for (ULONG port = 0; port < KELU_PORT_COUNT; port++) {
        UCHAR ucPartner = pStored[port];
        if (ucPartner == KELU_NOT_CONNECTED) {
            continue;
        }
        if (!KeluArePairablePorts(port, ucPartner) || pStored[ucPartner] != port) {
            DbgPrint("kelu.sys: ConnectionMap pairs port %lu with port %lu, which is not a pair; "
                     "port %lu is loaded unpaired\n", port, (ULONG)ucPartner, port);
            pMap[port] = KELU_NOT_CONNECTED;
        }
    }
}

NTSTATUS KeluLoadConnectionMap(PUCHAR pMap)
{
    UCHAR stored[KELU_MAP_SIZE];
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof(table));
    table[0].QueryRoutine = KeluQueryConnectionMap;
    table[0].Flags = RTL_QUERY_REGISTRY_REQUIRED;
    table[0].Name = (PWSTR)g_ConnectionMapValueName;
    table[0].EntryContext = stored;

    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, g_RegistryPath, table, NULL, NULL);
    if (NT_SUCCESS(status)) {
        KeluTakeStoredPairs(pMap, stored);
    } else {
        KeluSetDefaultMap(pMap);
    }
    return status;
}

NTSTATUS KeluSaveConnectionMap(PUCHAR pMap)
{
    return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, g_RegistryPath, g_ConnectionMapValueName,
                                 REG_BINARY, pMap, KELU_MAP_SIZE);
}

// Held in the controlling application's threads: the critical region keeps a holder
// from being suspended while Plug and Play or another request waits for the lock.
static VOID KeluLockMap()
{
    KeEnterCriticalRegion();
    KeWaitForSingleObject(&g_ConnectionMapLock, Executive, KernelMode, FALSE, NULL);
}

static VOID KeluUnlockMap()
{
    KeSetEvent(&g_ConnectionMapLock, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
}

static VOID KeluUnlockMapAndSave()
{
    KeluSaveConnectionMap(g_ConnectionAndConfirmationMap); // a failed save is not reported
    KeluUnlockMap();
}

// Writes one byte of the map. The caller holds g_ConnectionMapLock.
static VOID KeluWriteMapByte(ULONG ulIndex, UCHAR ucValue)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&g_PortTableLock, &oldIrql);
    g_ConnectionAndConfirmationMap[ulIndex] = ucValue;
    KeReleaseSpinLock(&g_PortTableLock, oldIrql);
}

static VOID KeluTransferLinesOfPort(ULONG ulPortNumber)
{
    PKELU_DEVICE_EXTENSION pDevExt = KeluReferencePortExtension(ulPortNumber);
    if (pDevExt != NULL) {
        KeluTransferLines(pDevExt);
        KeluReleasePortExtension(pDevExt);
    }
}

NTSTATUS KeluMapConnectPorts(ULONG a, ULONG b)
{
    if (!KeluArePairablePorts(a, b)) {
        return STATUS_INVALID_PARAMETER;
    }
    KeluLockMap();
    // Former partners become unconnected and keep the lines they last showed.
    UCHAR ucFormerOfA = g_ConnectionAndConfirmationMap[a];
    if (ucFormerOfA != KELU_NOT_CONNECTED) {
        KeluWriteMapByte(ucFormerOfA, KELU_NOT_CONNECTED);
    }
    UCHAR ucFormerOfB = g_ConnectionAndConfirmationMap[b];
    if (ucFormerOfB != KELU_NOT_CONNECTED) {
        KeluWriteMapByte(ucFormerOfB, KELU_NOT_CONNECTED);
    }
    KeluWriteMapByte(a, (UCHAR)b);
    KeluWriteMapByte(b, (UCHAR)a);

    KeluTransferLinesOfPort(a);
    KeluTransferLinesOfPort(b);
    KeluUnlockMapAndSave();
    return STATUS_SUCCESS;
}

// Does not check that a and b were paired with each other, and transfers no lines.
NTSTATUS KeluMapDisconnectPorts(ULONG a, ULONG b)
{
    if (!KeluArePairablePorts(a, b)) {
        return STATUS_INVALID_PARAMETER;
    }
    KeluLockMap();
    KeluWriteMapByte(a, KELU_NOT_CONNECTED);
    KeluWriteMapByte(b, KELU_NOT_CONNECTED);
    KeluUnlockMapAndSave();
    return STATUS_SUCCESS;
}

VOID KeluMapDissolvePairOfRemovedPort(UCHAR ucPortNumber)
{
    KeluLockMap();
    KIRQL oldIrql;
    KeAcquireSpinLock(&g_PortTableLock, &oldIrql);
    UCHAR ucPartner = g_ConnectionAndConfirmationMap[ucPortNumber];
    // Only a pair as KeluMapConnectPorts makes it, with the partner plugged in.
    BOOLEAN bDissolve = KeluArePairablePorts(ucPortNumber, ucPartner) &&
                        g_ConnectionAndConfirmationMap[ucPartner] == ucPortNumber &&
                        g_PortDeviceExtensions[ucPartner] != NULL;
    if (bDissolve) {
        g_ConnectionAndConfirmationMap[ucPortNumber] = KELU_NOT_CONNECTED;
        g_ConnectionAndConfirmationMap[ucPartner] = KELU_NOT_CONNECTED;
    }
    KeReleaseSpinLock(&g_PortTableLock, oldIrql);
    if (bDissolve) {
        KeluUnlockMapAndSave();
    } else {
        KeluUnlockMap();
    }
}

VOID KeluMapSetConfirmation(UCHAR ucPortNumber, BOOLEAN bRequired)
{
    KeluLockMap();
    KeluWriteMapByte(KELU_CONFIRMATION_BASE + ucPortNumber, bRequired ? 1 : 0);
    KeluUnlockMapAndSave();
}

BOOLEAN KeluMapIsConfirmationRequired(UCHAR ucPortNumber)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&g_PortTableLock, &oldIrql);
    BOOLEAN bRequired = g_ConnectionAndConfirmationMap[KELU_CONFIRMATION_BASE + ucPortNumber] == 1;
    KeReleaseSpinLock(&g_PortTableLock, oldIrql);
    return bRequired;
}

VOID KeluMapCopyPartners(PUCHAR pPartners)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&g_PortTableLock, &oldIrql);
    RtlCopyMemory(pPartners, g_ConnectionAndConfirmationMap, KELU_PORT_COUNT);
    KeReleaseSpinLock(&g_PortTableLock, oldIrql);
}
