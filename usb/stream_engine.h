// The USB camera record: one per started device, created at Start and freed
// at Stop. This header holds the fields of the USB request layer, the
// configuration and format-table code and the USB bring-up; the streaming,
// frame-ring and still code add theirs.
#pragma once

#include "platform/wdk.h"
#include "usb/frame_format.h"
#include "usb/frame_ring.h"

constexpr LONG kNoInterface = -1;

// Streaming endpoint type, as bmAttributes & 3 gives it.
constexpr ULONG kEndpointIsochronous = 1;
constexpr ULONG kEndpointBulk = 2;

// Packets per isochronous transfer.
constexpr ULONG kPacketsHighSpeed = 256;
constexpr ULONG kPacketsFullSpeed = 32;

struct StreamEngine {
  // 1 = device gone or stopping; every USB request fails at once while set.
  // Written by PnP callbacks while other threads issue requests.
  ULONG removed;
  USHORT vendorId;  // from the device descriptor
  USHORT productId;
  // Every USB request goes to device->NextDeviceObject.
  KSDEVICE* device;

  // Full configuration descriptor as the device returned it (tag KLRX).
  PUCHAR configuration;
  ULONG configurationLength;

  // Interface numbers, kNoInterface until found.
  LONG controlInterface;
  LONG streamingInterface;
  USBD_CONFIGURATION_HANDLE configurationHandle;
  // Status interrupt pipe of the video-control interface.
  ULONG hasInterruptPipe;
  USBD_PIPE_HANDLE interruptPipe;
  ULONG interruptLength;
  // Streaming endpoint.
  ULONG endpointType;       // kEndpointIsochronous or kEndpointBulk
  USHORT bulkPacketSize;    // wMaxPacketSize of a bulk streaming endpoint
  USBD_PIPE_HANDLE streamPipe;
  ULONG highSpeed;          // 1 when the bus reports a high-speed device
  ULONG packetsPerTransfer;  // kPacketsHighSpeed or kPacketsFullSpeed

  // Format table and still table (tag KLRX), with their counts.
  FrameFormat* formatTable;
  ULONG formatCount;
  FrameFormat* stillTable;
  ULONG stillCount;
  // The format the capture pin selected, and the raw frame size it implies
  // (input width x height x 2; an upper bound for MJPEG).
  FrameFormat currentFormat;
  ULONG expectedFrameSize;
  // 1-based position in the still table of the still size in use.
  ULONG stillFrameIndex;

  // Notification events, non-signalled at bring-up.
  KEVENT streamWorkerDone;
  KEVENT statusReaderDone;
  KEVENT streamEvent;
  KEVENT stillReady;
  KEVENT idleEvent;

  // ---- built by device start, freed by the device clean-up ----
  // Data ranges of the capture and still pins: one block each (tag KLRX),
  // the pointer array followed by the KS_DATARANGE_VIDEO records.
  PKSDATARANGE* videoRanges;
  ULONG videoRangeCount;
  PKSDATARANGE* stillRanges;
  ULONG stillRangeCount;
  // Still-frame buffer (frame-buffer size, tag KLRX).
  PUCHAR stillBuffer;
  ULONG stillBufferSize;
  // The raw-frame ring and the buffer the stream engine fills.
  FrameRing ring;
  PUCHAR writeBuffer;
  ULONG rawFrameSize;
  // In order: frame timer, stream worker, status-pipe reader, two spare.
  PIO_WORKITEM workItems[5];
  PKSWORKER worker;
  // Capture pins created against this engine, and the first filter that
  // created one (only its pins program the camera).
  LONG pinCount;
  PKSFILTER ownerFilter;
  // The still pin's size: bytes, width and height of the still it takes.
  ULONG stillSize;
  ULONG stillWidth;
  ULONG stillHeight;
  // Units the camera reports, set when the control ranges are read; the
  // camera-control and proc-amp property sets exist only with their unit.
  ULONG hasProcessingUnit;
  ULONG hasCameraTerminal;
  // The device's EffectState (owned by the DeviceContext).
  struct EffectState* effects;
};

// A zero-filled engine for `device` (tag KCNw); null when out of memory.
StreamEngine* CreateStreamEngine(KSDEVICE* device);
// Frees the configuration copy, the format table and the still table.
VOID ReleaseUsbTables(StreamEngine* engine);
// Releases the USB tables and frees the engine.
VOID FreeStreamEngine(StreamEngine* engine);
