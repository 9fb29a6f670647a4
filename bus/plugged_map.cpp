// The plugged-in ports as stored in the registry: value "PluggedPorts" (REG_BINARY,
// one byte per port number, nonzero = plugged in) in the driver's service key.
#include "kelbus_driver.h"

#define KELBUS_PLUGGED_VALUE_NAME L"PluggedPorts"

void KelbusBuildPluggedMap(PKELBUS_BUS_EXTENSION Bus, UCHAR Map[KELBUS_PORT_COUNT])
{
    for (ULONG n = 0; n < KELBUS_PORT_COUNT; n++) {
        Map[n] = Bus->Children[n] != NULL ? 1 : 0;
    }
}

// Takes the stored value only when it is a whole map. A query routine rather than a
// direct query: the layout that a direct query of binary data writes is not the same
// on every NT implementation (Wine puts the length one word later than Windows).
static NTSTATUS NTAPI KelbusQueryPluggedMap(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                            ULONG ValueLength, PVOID Context, PVOID EntryContext)
{
    UNREFERENCED_PARAMETER(ValueName);
    UNREFERENCED_PARAMETER(Context);
    if (ValueType != REG_BINARY || ValueLength != KELBUS_PORT_COUNT) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    RtlCopyMemory(EntryContext, ValueData, KELBUS_PORT_COUNT);
    return STATUS_SUCCESS;
}

// A missing, unreadable or malformed value means no port is plugged in.
void KelbusLoadPluggedMap(UCHAR Map[KELBUS_PORT_COUNT])
{
    UCHAR stored[KELBUS_PORT_COUNT];
    RTL_QUERY_REGISTRY_TABLE query[2];
    RtlZeroMemory(query, sizeof(query));
    query[0].QueryRoutine = KelbusQueryPluggedMap;
    query[0].Flags = RTL_QUERY_REGISTRY_REQUIRED;
    query[0].Name = (PWSTR)KELBUS_PLUGGED_VALUE_NAME;
    query[0].EntryContext = stored;

    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, g_ServiceKeyPath.Buffer, query,
                                             NULL, NULL);
    if (NT_SUCCESS(status)) {
        RtlCopyMemory(Map, stored, KELBUS_PORT_COUNT);
    } else {
        RtlZeroMemory(Map, KELBUS_PORT_COUNT);
    }
}

NTSTATUS KelbusSavePluggedMap(const UCHAR Map[KELBUS_PORT_COUNT])
{
    return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, g_ServiceKeyPath.Buffer,
                                 KELBUS_PLUGGED_VALUE_NAME, REG_BINARY, (PVOID)Map,
                                 KELBUS_PORT_COUNT);
}
