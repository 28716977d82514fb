// Link-check entry: a DriverEntry used ONLY by scripts/build-windows.sh while
// the driver folders do not yet define one, so that every driver object is
// still linked (every symbol resolved against the allowed kernel modules) and
// the image checked. It never ships: the image it produces is named
// uvccam-linkcheck.sys and refuses to load.
#include "platform/wdk.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  UNREFERENCED_PARAMETER(driverObject);
  UNREFERENCED_PARAMETER(registryPath);
  return STATUS_NOT_SUPPORTED;
}
