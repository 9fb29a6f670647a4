// Internal to the emulated user mode: what the setup functions share. Driver
// packages as INF files describe them (models, install sections, services, files),
// the INF store, setup classes, and the registry records of devices.
#pragma once

#include "inf_reader.h"

#include <windows.h>

#include <string>

// Loads an INF named by a Windows path.
DWORD LoadInf(const char *windowsPath, InfFile *inf);

// The setup class of an INF's [Version] section: ClassGuid and Class.
// ERROR_NO_ASSOCIATED_CLASS when either is missing or the GUID is malformed.
DWORD InfClass(const InfFile &inf, GUID *classGuid, std::string *className);
// GUIDs as the registry and INF files write them: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
std::u16string GuidText(const GUID &guid);
bool ParseGuidText(const std::string &text, GUID *guid);

// Copies an INF into the store as oemN.inf unless a copy with the same content is
// there already, and makes its models known to Plug and Play. `storeName` gets the
// file name ("oem3.inf").
DWORD CopyInfToStore(const InfFile &inf, std::string *storeName);

// The install section (as written in the models section) of the first model whose
// hardware ids include `hardwareId` (compared without regard to case); "" if none.
std::string FindModelInstallSection(const InfFile &inf, const std::string &hardwareId);
// The service that an install section's .Services section associates with the
// device (AddService with SPSVCINST_ASSOCSERVICE); "" if none.
std::string AssociatedService(const InfFile &inf, const std::string &installSection);

// Runs an install section for a device: its CopyFiles into their DestinationDirs and
// the AddService entries of its .Services section.
DWORD InstallDriverSection(const InfFile &inf, const std::string &installSection);

// "\Registry\Machine\System\CurrentControlSet\Enum\<instance path>", the device's
// registry record, where its setup class is kept (ClassGUID, Class).
std::u16string DeviceRecordKey(std::u16string_view instancePath);
void RecordDeviceClass(std::u16string_view instancePath, const GUID &classGuid,
                       const std::string &className);
