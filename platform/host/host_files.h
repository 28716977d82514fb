// Test- and tool-facing control of the host's file and registry calls. Only
// tests, the client and the tool include this; the driver never.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/host/files.h"

namespace host {

// The state folder: `\SystemRoot\system32\X` is <folder>/X, and every
// device's registry keys are files "<name>.driver.reg" / "<name>.device.reg"
// in it. The folder is created when first written. Until set, the folder is
// empty and every file or registry call fails with STATUS_OBJECT_PATH_NOT_FOUND.
void SetStateFolder(const std::string& folder);
std::string StateFolder();
// The name a physical device object's registry files carry ("device" when
// none was given). The tool and tests name a camera's device after its ids.
void SetDeviceRegistryName(PDEVICE_OBJECT physicalDevice, const std::string& name);
void ForgetDeviceRegistryName(PDEVICE_OBJECT physicalDevice);

// Reads one value of a device's driver key straight from its file (for tests
// and the tool); false when absent.
struct RegistryValue {
  uint32_t type = 0;
  std::vector<uint8_t> data;
};
bool ReadDeviceRegistryValue(const std::string& deviceName, const std::string& valueName,
                             RegistryValue* value);
// Lines of a device's driver key file that do not read as values (edited by
// hand, cut short): the driver sees none of them, and they are kept as they
// are when the key is written. The file's path ("" until a folder is set).
std::vector<std::string> UnreadableRegistryLines(const std::string& deviceName);
std::string DeviceRegistryFile(const std::string& deviceName);
// Why the last write of a key file failed (the file and the reason), empty
// when none failed since the last clear.
std::string RegistryWriteError();
void ClearRegistryWriteError();
// Open file and key handles (a leak check for tests).
size_t OpenHandleCount();

}  // namespace host
