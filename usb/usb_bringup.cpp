// The USB part of device start.
#include "usb/usb_bringup.h"

#include "usb/configuration.h"
#include "usb/format_table.h"
#include "usb/usb_request.h"

VOID InitializeStreamFields(StreamEngine* engine) {
  engine->controlInterface = kNoInterface;
  engine->streamingInterface = kNoInterface;
  engine->configurationHandle = nullptr;
  engine->hasInterruptPipe = 0;
  engine->interruptPipe = nullptr;
  engine->interruptLength = 0;
  engine->streamPipe = nullptr;
  KeInitializeEvent(&engine->streamWorkerDone, NotificationEvent, FALSE);
  KeInitializeEvent(&engine->statusReaderDone, NotificationEvent, FALSE);
  KeInitializeEvent(&engine->streamEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&engine->stillReady, NotificationEvent, FALSE);
  KeInitializeEvent(&engine->idleEvent, NotificationEvent, FALSE);
}

const char* BringUpStepName(UsbBringUpStep step) {
  switch (step) {
    case kBringUpNone: return "none";
    case kBringUpDeviceDescriptor: return "device descriptor";
    case kBringUpManufacturerString: return "manufacturer string";
    case kBringUpProductString: return "product string";
    case kBringUpBusSpeed: return "bus speed";
    case kBringUpConfigurationDescriptor: return "configuration descriptor";
    case kBringUpSelectConfiguration: return "select configuration";
    case kBringUpStreamEndpoint: return "streaming endpoint";
    case kBringUpAlternateSetting: return "alternate setting";
    case kBringUpFormatTable: return "format table";
    case kBringUpRestrictAndExtend: return "restrict and extend";
  }
  return "unknown";
}

NTSTATUS BringUpUsb(StreamEngine* engine, UsbBringUpStep* failedStep) {
  UsbBringUpStep unused;
  if (!failedStep) failedStep = &unused;
  *failedStep = kBringUpNone;
#define FAIL_AT(step, expr)          \
  do {                               \
    NTSTATUS s_ = (expr);            \
    if (!NT_SUCCESS(s_)) {           \
      *failedStep = (step);          \
      return s_;                     \
    }                                \
  } while (0)

  InitializeStreamFields(engine);
  LARGE_INTEGER settle;
  settle.QuadPart = -LONGLONG(kBringUpSettleMs) * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &settle);

  USB_DEVICE_DESCRIPTOR device;
  FAIL_AT(kBringUpDeviceDescriptor, GetDeviceDescriptor(engine, &device));
  engine->vendorId = device.idVendor;
  engine->productId = device.idProduct;

  // The names are read as the device start always has; the text is not kept.
  CHAR text[kStringTextSize];
  FAIL_AT(kBringUpManufacturerString, GetStringDescriptor(engine, device.iManufacturer, text));
  FAIL_AT(kBringUpProductString, GetStringDescriptor(engine, device.iProduct, text));

  ULONG highSpeed = 0;
  FAIL_AT(kBringUpBusSpeed, QueryHighSpeed(engine, &highSpeed));
  engine->highSpeed = highSpeed ? 1 : 0;
  engine->packetsPerTransfer = engine->highSpeed ? kPacketsHighSpeed : kPacketsFullSpeed;

  FAIL_AT(kBringUpConfigurationDescriptor, ReadConfiguration(engine));
  FAIL_AT(kBringUpSelectConfiguration,
          SelectConfiguration(engine, engine->configuration, engine->configurationLength));
  FAIL_AT(kBringUpStreamEndpoint,
          FindStreamEndpoint(engine->configuration, engine->configurationLength,
                             engine->streamingInterface, &engine->endpointType,
                             &engine->bulkPacketSize));
  ULONG packetSize = 0;
  FAIL_AT(kBringUpAlternateSetting,
          SelectAlternateSetting(engine, engine->endpointType, 0, engine->packetsPerTransfer,
                                 &packetSize));

  LONG streaming = kNoInterface;
  FAIL_AT(kBringUpFormatTable,
          BuildFormatTable(engine->configuration, engine->configurationLength,
                           &engine->formatTable, &engine->formatCount, &engine->stillTable,
                           &engine->stillCount, &streaming));
  engine->streamingInterface = streaming;
  // A camera without a single usable frame size cannot stream.
  FAIL_AT(kBringUpFormatTable, engine->formatCount ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
  FAIL_AT(kBringUpRestrictAndExtend,
          RestrictAndExtend(engine, &engine->formatTable, &engine->formatCount));
#undef FAIL_AT
  return STATUS_SUCCESS;
}
