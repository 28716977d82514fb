// Storage for the kit GUIDs the driver names that no library provides. The
// mingw-w64 headers only declare DEFINE_GUID names (defining them all with
// INITGUID would put several hundred unused GUIDs into the image); the
// kernel-streaming GUIDs come from the data-only library libksguid.a
// (scripts/windows/toolchain.sh). A new "undefined reference" to a kit GUID
// gets its kit value here.
#include "platform/wdk.h"

extern "C" const GUID USB_BUS_INTERFACE_USBDI_GUID = {
    0xb1a96a13, 0x3de0, 0x4574, {0x9b, 0x01, 0xc0, 0x8f, 0xea, 0xb3, 0x18, 0xd6}};
