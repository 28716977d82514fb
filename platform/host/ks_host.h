// Test-facing control of the host's kernel-streaming class driver: what PnP
// and an application do to a KS minidriver. Only tests, the client and the
// tool include this; the driver never.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/host/ks.h"
#include "platform/host/ksmedia.h"

namespace host {

// A KSDEVICE whose NextDeviceObject is `nextDevice` (the bus stand-in's
// device object), with a functional device object above it, powered (D0)
// and not started. No driver is attached (used by code that runs the USB
// layer alone).
PKSDEVICE CreateKsDevice(PDEVICE_OBJECT nextDevice);
// Frees a device: stops it and removes it first when it was added through
// KsAddDevice (closing what an application left open).
void DestroyKsDevice(PKSDEVICE device);
// How deep the device mutex is held right now (0 = free).
int KsDeviceMutexDepth(PKSDEVICE device);
// How often the device mutex was acquired since creation.
uint64_t KsDeviceMutexAcquisitions(PKSDEVICE device);

// ---- PnP ----
// The device descriptor a driver object registered with KsInitializeDriver
// (null when none).
const KSDEVICE_DESCRIPTOR* KsDriverDescriptor(PDRIVER_OBJECT driver);
// Creates a device for the driver and calls its Add. On failure the device
// is freed, *device is null and Add's status returned.
NTSTATUS KsAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT nextDevice, PKSDEVICE* device);
// Start: calls the dispatch's Start; Started is set when it succeeds. A
// started device is passed to Start again (the driver answers at once).
NTSTATUS KsStartDevice(PKSDEVICE device);
// Stop: refused with STATUS_DEVICE_BUSY while filters are open; calls Stop
// and frees the filter factories created with KSCREATE_ITEM_FREEONSTOP.
NTSTATUS KsStopDevice(PKSDEVICE device);
// Surprise removal: calls SurpriseRemoval; later filter opens fail with
// STATUS_NO_SUCH_DEVICE. Open objects stay usable until closed.
void KsSurpriseRemoveDevice(PKSDEVICE device);
NTSTATUS KsQueryCapabilities(PKSDEVICE device, DEVICE_CAPABILITIES* capabilities);
NTSTATUS KsQueryPower(PKSDEVICE device, DEVICE_POWER_STATE to);
// Reference strings of the filter factories the device has now.
std::vector<std::u16string> KsFactories(PKSDEVICE device);

// ---- filters and pins ----
// Opens a filter of the factory with this reference string (STATUS_OBJECT_NAME_NOT_FOUND
// when there is none). The filter dispatch's Create runs under the device mutex.
NTSTATUS KsOpenFilter(PKSDEVICE device, const char16_t* reference, PKSFILTER* filter);
// Closes the filter's pins, then the filter (its bag is freed).
void KsCloseFilter(PKSFILTER filter);
// Pin-instance count of one pin type on a filter.
ULONG KsPinInstances(PKSFILTER filter, ULONG pinId);
// Data intersection: tries the pin's ranges whose major format, subformat and
// specifier fit the caller's range, calling the pin's intersect handler;
// STATUS_NO_MATCH from it tries the next. The caller's range must hold
// FormatSize bytes within rangeSize (STATUS_INVALID_PARAMETER otherwise).
NTSTATUS KsIntersect(PKSFILTER filter, ULONG pinId, const KSDATARANGE* range, ULONG rangeSize,
                     PVOID data, ULONG dataSize, ULONG* returned);
// Creates a pin instance: InstancesPossible enforced; the format (FormatSize
// bytes within formatSize) becomes the connection format; SetDataFormat is
// called with a null old format for each fitting range until one does not
// answer STATUS_NO_MATCH; then Create. A failed Create frees the pin's bag.
NTSTATUS KsCreatePin(PKSFILTER filter, ULONG pinId, const KSDATAFORMAT* format, ULONG formatSize,
                     PKSPIN* pin);
// Brings the pin to STOP (one step at a time), calls Close, frees its bag.
void KsClosePin(PKSPIN pin);
// Moves the pin one state at a time through SetDeviceState; stops at the
// first failure, returning its status. Entering STOP cancels the queue.
NTSTATUS KsSetPinState(PKSPIN pin, KSSTATE to);
// A format change on a connected pin: SetDataFormat with the old format.
NTSTATUS KsSetPinDataFormat(PKSPIN pin, const KSDATAFORMAT* format, ULONG formatSize);
// Whether KsPinGetReferenceClockInterface finds a clock (default: yes).
void KsSetPinClockAvailable(PKSPIN pin, bool available);

// ---- properties ----
// A property request on a filter or pin, dispatched through its automation
// table (a KSP_NODE request with KSPROPERTY_TYPE_TOPOLOGY goes to the node's
// table). *returned is the handler's Information (or MinData for a size
// query, STATUS_BUFFER_OVERFLOW).
NTSTATUS KsProperty(PVOID object, const void* property, ULONG propertyLength, void* data,
                    ULONG dataLength, ULONG* returned);

// ---- streaming ----
// Queues an application buffer of frameExtent bytes (0 = a header without a
// data buffer); the stream header carries headerExtension more bytes (e.g.
// a KS_FRAME_INFO). Returns the frame's id.
uint64_t KsQueueBuffer(PKSPIN pin, ULONG frameExtent, ULONG headerExtension);
struct KsCompletedFrame {
  uint64_t id = 0;
  bool cancelled = false;
  KSSTREAM_HEADER header{};
  std::vector<uint8_t> extension;  // the bytes after the stream header
  std::vector<uint8_t> data;       // DataUsed bytes
};
// Waits up to timeoutMs of real time for the next completed frame.
bool KsWaitFrame(PKSPIN pin, uint32_t timeoutMs, KsCompletedFrame* frame);
// Frames queued and not completed.
size_t KsQueuedFrames(PKSPIN pin);

}  // namespace host
