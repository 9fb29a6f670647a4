// Two small WDM drivers for the Plug and Play tests, written as drivers are:
//  - TESTBUS, a bus driver for a root device ("Test_Bus_Root"): its FDO registers an
//    interface and reports children with hardware id "TESTBUS\CHILD" that the test
//    plugs in and out; a child's PDO is deleted when it is removed after vanishing.
//  - TESTFUNC, the function driver for "TESTBUS\CHILD": it records what Plug and Play
//    asks of it, may refuse a query-stop, and turns a system power request into a
//    device power request for the state the capabilities gave.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

DEFINE_GUID(GUID_TEST_BUS_INTERFACE, 0x1234abcd, 0x0001, 0x0002, 0x10, 0x20, 0x30, 0x40, 0x50,
            0x60, 0x70, 0x80);

struct TestBusState {
    PDEVICE_OBJECT fdo, pdo, lower;
    UNICODE_STRING interfaceName;
    PDEVICE_OBJECT children[4];
    bool present[4];
    int driverEntries, opens;
    std::vector<std::string> childEvents;  // "remove 1", "device power 1 D2", ...
};

struct TestFunctionState {
    int driverEntries, unloads, addDevices, starts, surpriseRemovals, removals;
    bool refuseQueryStop;
    int devices;  // function devices alive
    std::vector<std::string> events;
    DEVICE_POWER_STATE sleepState[PowerSystemMaximum];
    int powerCallbacks;
    NTSTATUS powerCallbackStatus;
};

extern TestBusState g_testBus;
extern TestFunctionState g_testFunction;

NTSTATUS NTAPI TestBusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
NTSTATUS NTAPI TestFunctionDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// Called from the test: report a child present or gone, as bus hardware would.
void TestBusPlug(int number);
void TestBusUnplug(int number);
