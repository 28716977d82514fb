// Test-facing control of the host's kernel-streaming device records. Only
// tests, the client and the tool include this; the driver never.
#pragma once

#include <cstdint>

#include "platform/host/ks.h"

namespace host {

// A KSDEVICE whose NextDeviceObject is `nextDevice` (the bus stand-in's
// device object), with a functional device object above it, powered (D0)
// and not started.
PKSDEVICE CreateKsDevice(PDEVICE_OBJECT nextDevice);
void DestroyKsDevice(PKSDEVICE device);
// How deep the device mutex is held right now (0 = free).
int KsDeviceMutexDepth(PKSDEVICE device);
// How often the device mutex was acquired since creation.
uint64_t KsDeviceMutexAcquisitions(PKSDEVICE device);

}  // namespace host
