// KSDEVICE records on the host and the device mutex.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/host/ks_host.h"

namespace {

struct HostKsDevice {
  KSDEVICE device;  // first, so a PKSDEVICE is the record's address
  DRIVER_OBJECT driver;
  DEVICE_OBJECT fdo;
  std::recursive_mutex mutex;
  std::atomic<int> depth{0};
  std::atomic<uint64_t> acquisitions{0};
};

HostKsDevice* Host(PKSDEVICE device) {
  if (!device) {
    std::fprintf(stderr, "host KS: device mutex of a null device\n");
    std::abort();
  }
  return reinterpret_cast<HostKsDevice*>(device);
}

NTSTATUS FdoNotSupported(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_NOT_SUPPORTED;
}

}  // namespace

VOID KsAcquireDevice(PKSDEVICE Device) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    std::fprintf(stderr, "host KS: KsAcquireDevice above PASSIVE_LEVEL\n");
    std::abort();
  }
  HostKsDevice* h = Host(Device);
  h->mutex.lock();
  h->depth.fetch_add(1);
  h->acquisitions.fetch_add(1);
}

VOID KsReleaseDevice(PKSDEVICE Device) {
  HostKsDevice* h = Host(Device);
  if (h->depth.load() <= 0) {
    std::fprintf(stderr, "host KS: KsReleaseDevice without KsAcquireDevice\n");
    std::abort();
  }
  h->depth.fetch_sub(1);
  h->mutex.unlock();
}

namespace host {

PKSDEVICE CreateKsDevice(PDEVICE_OBJECT nextDevice) {
  auto* h = new HostKsDevice;
  std::memset(&h->device, 0, sizeof h->device);
  std::memset(&h->driver, 0, sizeof h->driver);
  std::memset(&h->fdo, 0, sizeof h->fdo);
  h->driver.Type = IO_TYPE_DRIVER;
  for (auto& f : h->driver.MajorFunction) f = FdoNotSupported;
  h->fdo.Type = IO_TYPE_DEVICE;
  h->fdo.DriverObject = &h->driver;
  h->fdo.StackSize = CCHAR((nextDevice ? nextDevice->StackSize : 0) + 1);
  h->fdo.AttachedDevice = nullptr;
  h->device.FunctionalDeviceObject = &h->fdo;
  h->device.PhysicalDeviceObject = nextDevice;
  h->device.NextDeviceObject = nextDevice;
  h->device.Started = FALSE;
  h->device.SystemPowerState = PowerSystemWorking;
  h->device.DevicePowerState = PowerDeviceD0;
  return &h->device;
}

void DestroyKsDevice(PKSDEVICE device) {
  if (!device) return;
  HostKsDevice* h = Host(device);
  if (h->depth.load() != 0) {
    std::fprintf(stderr, "host KS: device destroyed with its mutex held\n");
    std::abort();
  }
  delete h;
}

int KsDeviceMutexDepth(PKSDEVICE device) { return Host(device)->depth.load(); }

uint64_t KsDeviceMutexAcquisitions(PKSDEVICE device) { return Host(device)->acquisitions.load(); }

}  // namespace host
