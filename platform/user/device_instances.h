// Internal to the emulated user mode: device instance handles (DEVINST), as the
// configuration manager and SP_DEVINFO_DATA.DevInst carry them. Each handle names
// one device instance path for the process's life; a device that setup has created
// but not yet registered has a handle that names no path until it is registered.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// The instance path of the device tree's root, which has no device of its own.
extern const char16_t kDeviceTreeRoot[];

// The handle of an instance path, made on first use.
DWORD DevInstForPath(std::u16string_view instancePath);
// A handle for a device that has no instance path yet.
DWORD NewUnboundDevInst();
void BindDevInst(DWORD devInst, std::u16string_view instancePath);
// The path a handle names (empty for an unbound one); false for an unknown handle.
bool DevInstPath(DWORD devInst, std::u16string *instancePath);
