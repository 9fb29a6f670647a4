#include "scripted_control_device.h"

#include <loader.h>

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <mutex>

namespace {

constexpr char16_t kService[] = u"KeluControlScript";

// Requests arrive at PASSIVE_LEVEL in the callers' threads, several at once in the
// collision tests; a host mutex is enough to guard the script and the record.
std::mutex g_lock;
std::map<ULONG, std::deque<ScriptedAnswer>> g_queued;
std::map<ULONG, ScriptedAnswer> g_defaults;
std::vector<RecordedRequest> g_record;
LONG g_opens;
PDEVICE_OBJECT g_device;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp)
{
    UNREFERENCED_PARAMETER(device);
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE) {
        InterlockedIncrement(&g_opens);
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    UNREFERENCED_PARAMETER(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto *buffer = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
    ScriptedAnswer answer;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_record.push_back({code, std::vector<UCHAR>(buffer, buffer + inputLength), outputLength});
        auto queued = g_queued.find(code);
        if (queued != g_queued.end() && !queued->second.empty()) {
            answer = queued->second.front();
            queued->second.pop_front();
        } else if (auto fallback = g_defaults.find(code); fallback != g_defaults.end()) {
            answer = fallback->second;
        }
    }
    ULONG count = static_cast<ULONG>(answer.output.size());
    if (count > outputLength) {
        count = outputLength;
    }
    if (count != 0) {
        RtlCopyMemory(buffer, answer.output.data(), count);
    }
    return Complete(irp, answer.status, count);
}

VOID NTAPI Unload(PDRIVER_OBJECT driver)
{
    UNREFERENCED_PARAMETER(driver);
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\DosDevices\\KeluControl");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(g_device);
}

NTSTATUS NTAPI ScriptedDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    UNREFERENCED_PARAMETER(registryPath);
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\KeluControl");
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, TRUE, &g_device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\DosDevices\\KeluControl");
    IoCreateSymbolicLink(&link, &name);
    driver->DriverUnload = Unload;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    g_device->Flags |= DO_BUFFERED_IO;
    g_device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

}  // namespace

void ScriptedControlDeviceLoad()
{
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_queued.clear();
        g_defaults.clear();
        g_record.clear();
        g_opens = 0;
    }
    LoaderRegisterBuiltinDriver(kService, ScriptedDriverEntry);
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(LoaderLoadDriver(kService, &driver), STATUS_SUCCESS);
}

void ScriptAnswers(ULONG code, const std::vector<ScriptedAnswer> &answers)
{
    std::lock_guard<std::mutex> guard(g_lock);
    auto &queue = g_queued[code];
    queue.insert(queue.end(), answers.begin(), answers.end());
}

void ScriptDefaultAnswer(ULONG code, const ScriptedAnswer &answer)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_defaults[code] = answer;
}

std::vector<RecordedRequest> RecordedRequests()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_record;
}

LONG ScriptedControlDeviceOpens()
{
    return InterlockedExchangeAdd(&g_opens, 0);
}

std::vector<UCHAR> Bytes(std::initializer_list<ULONG> words)
{
    std::vector<UCHAR> bytes;
    for (ULONG word : words) {
        for (int shift = 0; shift < 32; shift += 8) {
            bytes.push_back(static_cast<UCHAR>(word >> shift));
        }
    }
    return bytes;
}

ULONG WordAt(const std::vector<UCHAR> &bytes, size_t offset)
{
    ULONG word = 0;
    for (int i = 3; i >= 0; i--) {
        word = (word << 8) | bytes.at(offset + i);
    }
    return word;
}
