// What sits below the driver on the host: a device object that takes the
// driver's URB requests. The bus stand-in over a simulated camera is one;
// a real camera reached through libusb is another. Host build only.
#pragma once

#include "platform/host/io.h"

namespace host {

class LowerDevice {
 public:
  virtual ~LowerDevice() = default;
  // The device object that the driver sees as KSDEVICE.NextDeviceObject.
  virtual PDEVICE_OBJECT DeviceObject() = 0;
};

}  // namespace host
