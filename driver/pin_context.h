// The capture and still pins' records and dispatch, the filter descriptor,
// data ranges and intersection.
#pragma once

#include "driver/device_context.h"
#include "platform/wdk.h"

// KSPIN.Context of the capture pin (tag KCNw, in the pin bag). Tick is the
// one virtual operation, called by the pin's DPC.
struct PinContext final {
  virtual VOID Tick();

  KSPIN* pin;
  KSFILTER* filter;
  DeviceContext* device;
  ULONG streamState;         // 2 while this pin has the stream running
  PIKSREFERENCECLOCK clock;  // while the pin holds the capture slot
  ULONG holdsSlot;
  ULONG timerStop;           // 1 = the frame timer must end
  KS_VIDEOINFOHEADER* format;  // biSize + 48 bytes, tag AVSh, in the pin bag
  ULONG width;
  ULONG height;
  ULONG frameSize;
  GUID subtype;
  ULONG dropped;
  ULONG ticks;
  ULONG delivered;
  ULONG discontinuity;
  KDPC dpc;
  // Frame timer: the stop request (timerStop) is separate from whether the
  // timer's work item still runs (timerRunning); timerExit is signalled by
  // the work item as its last act (and stays signalled while no timer
  // runs), timerWake cuts its sleep short at stop.
  ULONG timerRunning;
  KEVENT timerExit;
  KEVENT timerWake;
  // 100 ns units: the connection format's frame interval, which the timer
  // keeps until the camera has accepted one (StreamEngine.acceptedInterval).
  LONGLONG interval;
  // Process runs only while the gate is open; stopping closes it and waits
  // until no Process call is inside (processCalls).
  LONG processOpen;
  LONG processCalls;
  ULONG formatCounted;  // this pin counts in DeviceState.captureFormatPresent
  // Ticks before the stream's first delivered frame (the camera starting
  // up) are neither pictures nor drops: counts start at the first frame.
  ULONG tickBase;
  // A tick that found the ring empty keeps its chance until the next tick:
  // the frame timer waits for the engine's commit and delivers a frame that
  // comes in that interval (lateDpc). 0 = no open chance, else the tick's
  // number. The USB transfers hand frames over in 32 ms steps, so a frame
  // can arrive just after the tick that would have taken it.
  ULONG openTick;
  KDPC lateDpc;
};

// KSPIN.Context of the still pin (tag KCNw, in the pin bag).
struct StillPinContext final {
  virtual VOID Trigger(ULONG argument);

  KSPIN* pin;
  DeviceContext* device;
  KS_VIDEOINFOHEADER* format;
  KS_VIDEOINFOHEADER* captureFormat;
  ULONG width;
  ULONG height;
  GUID subtype;
  ULONG frameSize;
  ULONG triggerArgument;
  LONG triggerPending;  // taken with an interlocked exchange
  KSFILTER* filter;     // the filter that created the pin
  ULONG present;        // this pin counts in DeviceState.stillPinPresent
  ULONG running;        // in RUN; read and written under the device's stillLock
  ULONG programmed;     // this pin set the engine's still size
};

// ---- well-known identifiers ----
constexpr GUID kFormatTypeVideo = {0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
constexpr GUID kSpecifierVideoInfo = {0x05589f80, 0xc356, 0x11ce, {0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a}};
constexpr GUID kNameFilter = {0x9b365890, 0x165f, 0x11d0, {0xa1, 0x95, 0x00, 0x20, 0xaf, 0xd1, 0x56, 0xe4}};
constexpr GUID kCategoryVideo = {0x6994ad05, 0x93ef, 0x11d0, {0xa3, 0xcc, 0x00, 0xa0, 0xc9, 0x22, 0x31, 0x96}};
constexpr GUID kCategoryCapture = {0x65e8773d, 0x8f56, 0x11d0, {0xa3, 0xb9, 0x00, 0xa0, 0xc9, 0x22, 0x31, 0x96}};
constexpr GUID kNodeTypeDevSpecific = {0x941c7ac0, 0xc559, 0x11d0, {0x8a, 0x2b, 0x00, 0xa0, 0xc9, 0x25, 0x5a, 0xc1}};
constexpr GUID kPinNameVideoCapture = {0xfb6c4281, 0x0353, 0x11d1, {0x90, 0x5f, 0x00, 0x00, 0xc0, 0xcc, 0x16, 0xba}};
constexpr GUID kPinNameVideoStill = {0xfb6c428a, 0x0353, 0x11d1, {0x90, 0x5f, 0x00, 0x00, 0xc0, 0xcc, 0x16, 0xba}};
constexpr GUID kMemoryTypeKernelNonPaged = {0x4a6d5fc4, 0x7895, 0x11d1, {0xb0, 0x69, 0x00, 0xa0, 0xc9, 0x06, 0x34, 0x00}};
constexpr GUID kDroppedFramesSet = {0xc6e13344, 0x30ac, 0x11d0, {0xa1, 0x8c, 0x00, 0xa0, 0xc9, 0x11, 0x89, 0x56}};
constexpr GUID kConnectionSet = {0x1d58c920, 0xac9b, 0x11cf, {0xa5, 0xd6, 0x28, 0xdb, 0x04, 0xc1, 0x00, 0x00}};

// The smallest format a video pin takes: KSDATAFORMAT + KS_VIDEOINFOHEADER.
constexpr ULONG kMinVideoFormatSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);

// Only the pins of the first filter that created a capture pin program the
// camera: true when `filter` is that filter.
inline bool FilterOwnsCamera(const DeviceContext* device, const KSFILTER* filter) {
  StreamEngine* e = device ? device->engine : nullptr;
  return e && filter &&
         ReadPointerNoFence(reinterpret_cast<PVOID const volatile*>(&e->ownerFilter)) == filter;
}

// ---- data ranges (driver/data_ranges.cpp) ----
// Builds the capture pin's ranges from the format table (then an I420 and
// an RGB24 range for every YUY2 output size) and the still pin's from the
// still table, into engine->videoRanges and engine->stillRanges.
NTSTATUS BuildDataRanges(StreamEngine* engine);
VOID FreeDataRanges(StreamEngine* engine);
// Fills one range for an output size and subtype; FALSE when the subtype has
// no range or a size does not fit in 32 bits. The frame intervals are those
// `timing` (the table entry the range streams) offers, its default as the
// range's; without one (stills, an entry naming no interval) 30 to 1 fps.
BOOLEAN FillVideoRange(KS_DATARANGE_VIDEO* range, ULONG width, ULONG height, const GUID& subtype,
                       const FrameFormat* timing = nullptr);
// Whether a table entry can be streamed: its input subtype is one the
// pipeline takes and its frame sizes fit (3 x width x height in 32 bits).
BOOLEAN EntryUsable(const FrameFormat& entry);
// 3 x the largest width x height over the usable entries' input and output
// sizes, and 2 x the largest input size.
VOID ComputeFrameSizes(const StreamEngine* engine, ULONG* frameBufferSize, ULONG* rawFrameSize);

// ---- filter descriptor (driver/filter_descriptor.cpp) ----
VOID BuildFilterDescriptor(DeviceContext* context);

// ---- intersection and format checks (driver/video_format.cpp) ----
NTSTATUS IntersectHandler(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE callerRange,
                          PKSDATARANGE descriptorRange, ULONG bufferSize, PVOID data,
                          PULONG dataSize);
// Checks a connection format against one of the pin's ranges.
NTSTATUS CheckVideoFormat(const KSDATAFORMAT* format, const KSDATARANGE* range);
// Output frame size of a subtype: w x h x 2 (YUY2, UYVY), x 3 (RGB24, MJPG),
// x 3/2 (I420); FALSE for another subtype or a size above 32 bits.
BOOLEAN OutputFrameSize(ULONG width, ULONG height, const GUID& subtype, ULONG* size);

// ---- pins (driver/capture_pin.cpp, driver/still_pin.cpp) ----
extern const KSPIN_DISPATCH CapturePinDispatch;
extern const KSPIN_DISPATCH StillPinDispatch;
extern const KSAUTOMATION_TABLE CapturePinAutomationTable;
NTSTATUS CapturePinCreate(PKSPIN pin, PIRP irp);
NTSTATUS CapturePinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM oldAttributes,
                                 const KSDATARANGE* range, const KSATTRIBUTE_LIST* attributeRange);
NTSTATUS CapturePinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from);
NTSTATUS CapturePinProcess(PKSPIN pin);
NTSTATUS StillPinCreate(PKSPIN pin, PIRP irp);
NTSTATUS StillPinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM oldAttributes,
                               const KSDATARANGE* range, const KSATTRIBUTE_LIST* attributeRange);
NTSTATUS StillPinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from);
NTSTATUS StillPinProcess(PKSPIN pin);
// The capture pin hands a still from the engine's still buffer to the still
// pin registered with the device (driver/still_pin.cpp): prepares it as YUY2
// at the still size and triggers the still pin, or gives the buffer back to
// the engine when no running still pin takes it.
VOID HandOverStill(DeviceContext* device);
// Bytes the stream header of a capture buffer needs: the header and the
// frame information that follows it.
constexpr ULONG kCaptureHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
// Copies the connection format's video info header (biSize + 48 bytes) into
// a new AVSh block owned by the pin's bag.
NTSTATUS CopyPinFormat(PKSPIN pin, KS_VIDEOINFOHEADER** copy);
// Edits the pin's descriptor and allocator framing (AVSh) for frames of
// imageSize bytes.
NTSTATUS EditPinFraming(PKSPIN pin, ULONG imageSize);
