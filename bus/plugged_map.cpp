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

// A missing, unreadable or malformed value means no port is plugged in.
void KelbusLoadPluggedMap(UCHAR Map[KELBUS_PORT_COUNT])
{
    // RtlQueryRegistryValues' convention for binary data: a positive first word gives
    // the buffer's size and asks for the value's length and type before the data.
    struct {
        LONG lSize;
        ULONG ulType;
        UCHAR Data[KELBUS_PORT_COUNT];
    } value;
    RtlZeroMemory(&value, sizeof(value));
    value.lSize = sizeof(value);

    RTL_QUERY_REGISTRY_TABLE query[2];
    RtlZeroMemory(query, sizeof(query));
    query[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
    query[0].Name = (PWSTR)KELBUS_PLUGGED_VALUE_NAME;
    query[0].EntryContext = &value;

    RtlZeroMemory(Map, KELBUS_PORT_COUNT);
    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, g_ServiceKeyPath.Buffer, query,
                                             NULL, NULL);
    // After the call the first word holds the value's length in bytes.
    if (NT_SUCCESS(status) && value.ulType == REG_BINARY &&
        (ULONG)value.lSize == KELBUS_PORT_COUNT) {
        RtlCopyMemory(Map, value.Data, KELBUS_PORT_COUNT);
    }
}

NTSTATUS KelbusSavePluggedMap(const UCHAR Map[KELBUS_PORT_COUNT])
{
    return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, g_ServiceKeyPath.Buffer,
                                 KELBUS_PLUGGED_VALUE_NAME, REG_BINARY, (PVOID)Map,
                                 KELBUS_PORT_COUNT);
}
