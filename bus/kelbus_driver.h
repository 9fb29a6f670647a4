// The bus enumerator's device extensions and internal routines.
//
// The driver owns two kinds of device: the bus device (an FDO on the root-enumerated
// device "Pellix_Virtual_Bus_Enumerator") and one child PDO per plugged-in port. Both
// extensions begin with a signature word, by which the shared dispatch routines tell
// them apart.
#pragma once

#include <ntddk.h>
#include <stddef.h>

#include <kelbus.h>

// Pool tag "Kbus" (bytes in memory order).
#define KELBUS_POOL_TAG 0x7375624B

#define KELBUS_BUS_SIGNATURE   0x42554B42  // "BKUB"
#define KELBUS_CHILD_SIGNATURE 0x444C4843  // "CHLD"

#define KELBUS_PORT_COUNT (KELBUS_MAX_PORT_NUMBER + 1)

// Plug and Play state of either kind of device, as far as the bus needs to know it.
typedef enum _KELBUS_PNP_STATE {
    KelbusNotStarted = 0,
    KelbusStarted,
    KelbusStopped,
    KelbusSurpriseRemoved,
    KelbusRemoved
} KELBUS_PNP_STATE;

typedef struct _KELBUS_BUS_EXTENSION {
    ULONG ulSignature;  // KELBUS_BUS_SIGNATURE
    KELBUS_PNP_STATE PnpState;
    PDEVICE_OBJECT pSelf;
    PDEVICE_OBJECT pLowerDevice;    // next device down the root device's stack
    PDEVICE_OBJECT pUnderlyingPdo;  // the root device, target of IoInvalidateDeviceRelations
    UNICODE_STRING InterfaceName;   // from IoRegisterDeviceInterface; freed at removal
    // Guards Children, and the bus's PnpState as the bus requests read it: the PnP
    // requests, which all run on the one Plug and Play thread, write PnpState under it.
    // The requests arrive in application threads. A synchronization event used as a
    // lock inside a critical region (KelbusLockChildren), because its holder creates
    // and deletes devices and writes the registry, which must run at PASSIVE_LEVEL and
    // so cannot happen under a fast mutex. Never held across a call down the stack.
    KEVENT ChildLock;
    // The children that the bus reports, indexed by port number. A child leaves this
    // table when it is unplugged, before Plug and Play has removed it; from then on
    // Plug and Play owns it until IRP_MN_REMOVE_DEVICE, where it deletes itself.
    PDEVICE_OBJECT Children[KELBUS_PORT_COUNT];
} KELBUS_BUS_EXTENSION, *PKELBUS_BUS_EXTENSION;

// The port driver reads the child's port number from byte 36 of this extension, so
// everything before it has the same width on 32-bit Windows and in the 64-bit build.
typedef struct _KELBUS_CHILD_EXTENSION {
    ULONG ulSignature;  // KELBUS_CHILD_SIGNATURE
    KELBUS_PNP_STATE PnpState;
    DEVICE_POWER_STATE DevicePowerState;
    ULONG ulReserved[6];  // zero; places ulSerialNo at byte 36
    ULONG ulSerialNo;     // the port number; its low byte is what the port driver reads
    PKELBUS_BUS_EXTENSION pBus;
    PDEVICE_OBJECT pSelf;
    // Set (under the children lock) once a bus relations answer named this child:
    // from then on Plug and Play knows it and removes it; before, only the bus does.
    BOOLEAN bReported;
} KELBUS_CHILD_EXTENSION, *PKELBUS_CHILD_EXTENSION;

static_assert(offsetof(KELBUS_CHILD_EXTENSION, ulSerialNo) == 36,
              "the port driver reads the port number from byte 36 of the child extension");

// entry.cpp: the driver's service key path, zero-terminated; the plugged map lives there.
extern UNICODE_STRING g_ServiceKeyPath;

// entry.cpp: the children lock. PASSIVE_LEVEL.
void KelbusLockChildren(PKELBUS_BUS_EXTENSION Bus);
void KelbusUnlockChildren(PKELBUS_BUS_EXTENSION Bus);

// bus_pnp.cpp: Plug and Play and power requests for the bus device.
NTSTATUS KelbusBusPnp(PKELBUS_BUS_EXTENSION Bus, PIRP Irp);
NTSTATUS KelbusBusPower(PKELBUS_BUS_EXTENSION Bus, PIRP Irp);

// child_pnp.cpp: children and their Plug and Play and power requests.
NTSTATUS KelbusCreateChild(PKELBUS_BUS_EXTENSION Bus, ULONG PortNumber, PDEVICE_OBJECT *Child);
NTSTATUS KelbusChildPnp(PKELBUS_CHILD_EXTENSION Child, PIRP Irp);
NTSTATUS KelbusChildPower(PKELBUS_CHILD_EXTENSION Child, PIRP Irp);

// requests.cpp: the bus device's IRP_MJ_DEVICE_CONTROL.
NTSTATUS KelbusBusDeviceControl(PKELBUS_BUS_EXTENSION Bus, PIRP Irp);

// plugged_map.cpp: the plugged-in ports, kept in the service key so that they come
// back when the machine restarts. PASSIVE_LEVEL.
void KelbusLoadPluggedMap(UCHAR Map[KELBUS_PORT_COUNT]);
NTSTATUS KelbusSavePluggedMap(const UCHAR Map[KELBUS_PORT_COUNT]);
// Fills Map from the bus's Children table. Caller holds the children lock.
void KelbusBuildPluggedMap(PKELBUS_BUS_EXTENSION Bus, UCHAR Map[KELBUS_PORT_COUNT]);
