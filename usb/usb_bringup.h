// The USB part of device start: from a freshly enumerated camera to the
// format and still tables.
#pragma once

#include "platform/wdk.h"
#include "usb/stream_engine.h"

enum UsbBringUpStep : ULONG {
  kBringUpNone = 0,
  kBringUpDeviceDescriptor,
  kBringUpManufacturerString,
  kBringUpProductString,
  kBringUpBusSpeed,
  kBringUpConfigurationDescriptor,
  kBringUpSelectConfiguration,
  kBringUpStreamEndpoint,
  kBringUpAlternateSetting,
  kBringUpFormatTable,
  kBringUpRestrictAndExtend,
};

// Settling time before the first request, in milliseconds.
constexpr LONG kBringUpSettleMs = 500;

// Stream fields to their start values: interface numbers kNoInterface,
// handles null, the five events initialised and not signalled.
VOID InitializeStreamFields(StreamEngine* engine);

// Runs the USB bring-up in order: stream fields, settle delay, device
// descriptor (vendor and product id), manufacturer and product strings, bus
// speed and packets per transfer, configuration descriptor, select
// configuration, streaming endpoint type, alternate setting 0 of the
// streaming interface, format and still tables, restrict and extend. On
// failure *failedStep names the step whose status is returned; tables built
// so far stay in the engine for ReleaseUsbTables.
NTSTATUS BringUpUsb(StreamEngine* engine, UsbBringUpStep* failedStep);

// Printable name of a step ("device descriptor", ...).
const char* BringUpStepName(UsbBringUpStep step);
