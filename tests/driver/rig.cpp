#include <wdm.h>
#include <initguid.h>  // defines GUID_DEVINTERFACE_KELBUS for the test program

#include "rig.h"

#include <ntservices.h>
#include <ob.h>
#include <io_manager.h>
#include <ustring.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstring>

namespace {

std::u16string Wide(const std::string &text) { return std::u16string(text.begin(), text.end()); }

const std::u16string kServiceKeyName = u"kelu";
const std::u16string kSerialCommKey = u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM";

std::vector<std::u16string> &BusInstances()
{
    static std::vector<std::u16string> instances;
    return instances;
}

}  // namespace

void DriverTest::SetUp()
{
    MachineTest::SetUp();
    BusInstances().clear();
    ASSERT_EQ(LoaderInstallService(u"KELBUS", Wide(KELBUS_IMAGE_PATH)), STATUS_SUCCESS);
    ASSERT_EQ(LoaderInstallService(kServiceKeyName, Wide(KELU_IMAGE_PATH)), STATUS_SUCCESS);
    ASSERT_EQ(PnpSetHardwareIdService(u"KELB\\KELU", kServiceKeyName), STATUS_SUCCESS);
    AddBus();
}

void DriverTest::AddBus()
{
    std::u16string instance;
    ASSERT_EQ(PnpCreateRootDevice(u"KELBUS", u"Pellix_Virtual_Bus_Enumerator", u"KELBUS", &instance),
              STATUS_SUCCESS);
    BusInstances().push_back(instance);
    PnpWaitIdle();
}

void DriverTest::Restart()
{
    MachineTest::Restart();
    PnpWaitIdle();
}

NTSTATUS DriverTest::SendToBus(size_t bus, ULONG code, void *buffer, ULONG length)
{
    std::u16string userPath;
    for (const DeviceInterfaceInfo &info : IoListDeviceInterfaces(GUID_DEVINTERFACE_KELBUS)) {
        if (bus < BusInstances().size() && info.instancePath == BusInstances()[bus]) {
            userPath = info.userPath;
        }
    }
    if (userPath.empty()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    // "\\?\..." names the same object as "\??\...".
    userPath[1] = u'?';
    HANDLE handle;
    std::string path(userPath.begin(), userPath.end());
    NTSTATUS status = Open(path, &handle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    IO_STATUS_BLOCK io = {};
    status = NtDeviceIoControlFile(handle, nullptr, &io, code, buffer, length, buffer, length);
    NtClose(handle);
    return status;
}

NTSTATUS DriverTest::PlugIn(ULONG port, size_t bus)
{
    const std::u16string_view ids(u"KELB\\KELU\0\0", 11);
    std::vector<UCHAR> record(KELBUS_PLUGIN_REQUEST_HEADER_SIZE + ids.size() * 2);
    ULONG header[2] = {KELBUS_PLUGIN_REQUEST_HEADER_SIZE, port};
    memcpy(record.data(), header, sizeof(header));
    memcpy(record.data() + KELBUS_PLUGIN_REQUEST_HEADER_SIZE, ids.data(), ids.size() * 2);
    NTSTATUS status = SendToBus(bus, IOCTL_KELBUS_PLUGIN_PORT, record.data(), (ULONG)record.size());
    PnpWaitIdle();
    return status;
}

NTSTATUS DriverTest::Unplug(ULONG port, size_t bus)
{
    KELBUS_UNPLUG_REQUEST request = {sizeof(request), port, {0, 0}};
    NTSTATUS status = SendToBus(bus, IOCTL_KELBUS_UNPLUG_PORT, &request, sizeof(request));
    PnpWaitIdle();
    return status;
}

NTSTATUS DriverTest::Open(const std::string &path, HANDLE *handle, bool overlapped)
{
    std::u16string name = Wide(path);
    UNICODE_STRING counted = {(USHORT)(name.size() * 2), (USHORT)(name.size() * 2),
                              (PWSTR)name.data()};
    IO_STATUS_BLOCK io = {};
    return NtCreateFile(handle, GENERIC_READ | GENERIC_WRITE, &counted, &io, 0,
                        overlapped ? 0 : FILE_SYNCHRONOUS_IO_NONALERT);
}

RequestResult DriverTest::Control(ULONG code, void *buffer, ULONG inputLength, ULONG outputLength)
{
    HANDLE handle;
    NTSTATUS status = Open("\\??\\KeluControl", &handle);
    if (!NT_SUCCESS(status)) {
        return {status, 0};
    }
    IO_STATUS_BLOCK io = {};
    status = NtDeviceIoControlFile(handle, nullptr, &io, code, buffer, inputLength, buffer, outputLength);
    NtClose(handle);
    return {status, io.Information};
}

NTSTATUS DriverTest::Connect(ULONG a, ULONG b)
{
    ULONG ports[2] = {a, b};
    return Control(IOCTL_KELU_CONNECT_PORTS, ports, sizeof(ports), 0).status;
}

NTSTATUS DriverTest::Disconnect(ULONG a, ULONG b)
{
    ULONG ports[2] = {a, b};
    return Control(IOCTL_KELU_DISCONNECT_PORTS, ports, sizeof(ports), 0).status;
}

std::array<UCHAR, 256> DriverTest::ConnectionMap()
{
    std::array<UCHAR, 256> map;
    map.fill(0xEE);
    RequestResult result = Control(IOCTL_KELU_GET_CONNECTION_MAP, map.data(), 0, map.size());
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 256u);
    return map;
}

NTSTATUS DriverTest::SetLines(ULONG port, ULONG modemStatus, ULONG modemControl)
{
    KELU_MODEM_REGISTERS registers = {port, modemStatus, modemControl};
    return Control(IOCTL_KELU_SET_MODEMREGISTERS, &registers, sizeof(registers), 0).status;
}

KELU_MODEM_REGISTERS DriverTest::Lines(ULONG port)
{
    KELU_MODEM_REGISTERS registers = {port, 0, 0};
    RequestResult result = Control(IOCTL_KELU_GET_MODEMREGISTERS, &registers, sizeof(ULONG), sizeof(registers));
    if (result.status != STATUS_SUCCESS) {
        return {port, 0xFFFFFFFF, 0xFFFFFFFF};
    }
    return registers;
}

NTSTATUS DriverTest::SetConfirmation(ULONG port, bool required)
{
    ULONG request = port | (required ? KELU_CONFIRMATION_REQUIRED : 0);
    return Control(IOCTL_KELU_SET_CONFIRMATION, &request, sizeof(request), 0).status;
}

NTSTATUS DriverTest::SendToDevice(const std::u16string &devicePath, UCHAR majorFunction)
{
    void *object = nullptr;
    NTSTATUS status = ObLookupObject(devicePath, &object);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoSendSynchronousRequest((PDEVICE_OBJECT)object, [&](PIRP irp, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = majorFunction;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    });
    ObDereferenceObject(object);
    return status;
}

std::optional<RegistryValue> DriverTest::StoredMap()
{
    RegistryValue value;
    if (!NT_SUCCESS(RegistryQueryValue(LoaderServiceKey(kServiceKeyName), u"ConnectionMap", &value))) {
        return std::nullopt;
    }
    return value;
}

void DriverTest::StoreMap(ULONG type, const std::vector<UCHAR> &data)
{
    ASSERT_EQ(RegistrySetValue(LoaderServiceKey(kServiceKeyName), u"ConnectionMap", type, data.data(),
                               data.size()),
              STATUS_SUCCESS);
}

std::optional<std::u16string> DriverTest::SerialCommValue(const std::u16string &deviceName)
{
    std::u16string text;
    if (!NT_SUCCESS(RegistryQueryString(kSerialCommKey, deviceName, &text))) {
        return std::nullopt;
    }
    return text;
}

std::optional<std::u16string> DriverTest::PortNameValue(ULONG port)
{
    // The bus gives each child its port number as instance id.
    std::u16string instance = u"KELB\\KELU\\" + Utf8ToUtf16(std::to_string(port));
    std::u16string text;
    if (!NT_SUCCESS(RegistryQueryString(PnpHardwareKeyPath(instance), u"PortName", &text))) {
        return std::nullopt;
    }
    return text;
}

std::optional<std::u16string> DriverTest::LinkTarget(const std::u16string &link)
{
    std::u16string target;
    if (!NT_SUCCESS(ObQuerySymbolicLink(link, &target))) {
        return std::nullopt;
    }
    return target;
}

bool DriverTest::ObjectExists(const std::u16string &path)
{
    void *object = nullptr;
    if (!NT_SUCCESS(ObLookupObject(path, &object))) {
        return false;
    }
    ObDereferenceObject(object);
    return true;
}

PDEVICE_OBJECT DriverTest::PortPdo(ULONG port)
{
    for (const PnpDeviceInfo &info : PnpListDevices()) {
        if (info.pdo != nullptr && info.hardwareIds == std::vector<std::u16string>{u"KELB\\KELU"} &&
            ((PUCHAR)info.pdo->DeviceExtension)[0x24] == port) {
            return info.pdo;
        }
    }
    return nullptr;
}

bool DriverTest::DriverLoaded() { return LoaderFindDriver(kServiceKeyName) != nullptr; }

void *DriverTest::DriverGlobal(const char *name)
{
    PDRIVER_OBJECT driver = LoaderFindDriver(kServiceKeyName);
    if (driver == nullptr) return nullptr;
    // The image is the shared object that holds the driver's dispatch routines.
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(driver->MajorFunction[IRP_MJ_CREATE]), &info) == 0) return nullptr;
    void *image = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    if (image == nullptr) return nullptr;
    void *global = dlsym(image, name);
    dlclose(image);
    return global;
}

std::vector<UCHAR> DriverTest::DefaultMap()
{
    std::vector<UCHAR> map(512, 0);
    std::fill(map.begin(), map.begin() + 256, 0xFF);
    return map;
}
