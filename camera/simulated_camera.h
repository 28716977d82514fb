// Simulated UVC cameras: built from a JSON profile, or from a real camera's
// descriptors as Linux captures them (device descriptor followed by the
// configuration descriptor). Host build only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/usb_device_model.h"

namespace camera {

// A camera built from a profile's JSON text. On failure returns null and
// sets *error to a message naming the offending key.
std::unique_ptr<host::UsbDeviceModel> CameraFromProfile(const std::string& jsonText,
                                                        std::string* error);
// The same from a file.
std::unique_ptr<host::UsbDeviceModel> CameraFromProfileFile(const std::string& path,
                                                            std::string* error);
// The built-in default camera (high speed; MJPEG and YUY2; stills; all three
// units; interrupt endpoint; several isochronous alternate settings).
std::unique_ptr<host::UsbDeviceModel> DefaultCamera();

// A camera answering for captured descriptors. `fullSpeed` makes it
// enumerate at full speed (high speed otherwise).
std::unique_ptr<host::UsbDeviceModel> CameraFromDescriptors(const std::vector<uint8_t>& bytes,
                                                            bool fullSpeed, std::string* error);
std::unique_ptr<host::UsbDeviceModel> CameraFromDescriptorFile(const std::string& path,
                                                               bool fullSpeed, std::string* error);

}  // namespace camera
