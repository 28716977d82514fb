// What a loader and an application need to talk to the driver: its entry,
// the pin ids, the property sets the filter answers, the vendor set's
// request record and the VIDEOCONTROL items a still trigger uses. client/ and tools/ include this
// header instead of the driver's records; the driver includes it for the
// same values. It includes only the kernel vocabulary.
#pragma once

#include "platform/wdk.h"

// The driver's entry, which the loader calls once.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

// Pin ids of the filter.
constexpr ULONG kCapturePinId = 0;
constexpr ULONG kStillPinId = 1;

// Property sets of the filter.
// {E97E71FA-3861-4BBF-B542-4B4A3EC5AAB3}
constexpr GUID kVendorControlSet = {0xe97e71fa, 0x3861, 0x4bbf, {0xb5, 0x42, 0x4b, 0x4a, 0x3e, 0xc5, 0xaa, 0xb3}};
// {AAB8F252-8ED1-4972-8CED-96B17F04408B}
constexpr GUID kExtensionUnitSet = {0xaab8f252, 0x8ed1, 0x4972, {0x8c, 0xed, 0x96, 0xb1, 0x7f, 0x04, 0x40, 0x8b}};
constexpr GUID kVideoCompressionSet = {0xc6e13343, 0x30ac, 0x11d0, {0xa1, 0x8c, 0x00, 0xa0, 0xc9, 0x11, 0x89, 0x56}};
constexpr GUID kVideoControlSet = {0x6a2e0670, 0x28e4, 0x11d0, {0xa1, 0x8c, 0x00, 0xa0, 0xc9, 0x11, 0x89, 0x56}};
constexpr GUID kCameraControlSet = {0xc6e13370, 0x30ac, 0x11d0, {0xa1, 0x8c, 0x00, 0xa0, 0xc9, 0x11, 0x89, 0x56}};
constexpr GUID kVideoProcAmpSet = {0xc6e13360, 0x30ac, 0x11d0, {0xa1, 0x8c, 0x00, 0xa0, 0xc9, 0x11, 0x89, 0x56}};

// The request and data record of every vendor item (the item is the
// property id).
struct VendorControlRequest {
  KSPROPERTY Property;
  ULONG Operation;
  ULONG Index;
  ULONG Value;
  ULONG BufferAddress;
  LONG Result;
  LONG Result2;
  ULONG Reserved[2];
};
static_assert(sizeof(VendorControlRequest) == 56, "vendor request record is 56 bytes");

// VIDEOCONTROL: stream index 1 is the still pin; the MODE item with the
// Trigger flag takes a still.
constexpr ULONG kStillStreamIndex = 1;
constexpr ULONG kVideoControlModeItem = 3;
constexpr LONG kVideoControlTriggerFlag = 8;
