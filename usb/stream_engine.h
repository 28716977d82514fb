// The USB camera record: one per started device, created at Start and freed
// at Stop. This header holds the fields of the USB request layer, the
// configuration and format-table code and the USB bring-up; the streaming,
// frame-ring and still code add theirs.
#pragma once

#include "platform/wdk.h"
#include "media/frame_format.h"
#include "usb/frame_ring.h"


constexpr LONG kNoInterface = -1;

// Streaming endpoint type, as bmAttributes & 3 gives it.
constexpr ULONG kEndpointIsochronous = 1;
constexpr ULONG kEndpointBulk = 2;

// Packets per isochronous transfer.
constexpr ULONG kPacketsHighSpeed = 256;
constexpr ULONG kPacketsFullSpeed = 32;

// One streaming transfer (or the status-pipe read): IRP, URB block, buffer
// and the event its completion routine signals. inFlight is 1 from just
// before the IRP goes down until its completion routine has run, so that
// stop knows what to cancel and never frees a transfer the bus still holds.
struct TransferSlot {
  PIRP irp;
  PURB urb;
  ULONG urbLength;
  PUCHAR buffer;
  ULONG bufferLength;
  KEVENT event;
  LONG inFlight;
};

// The stream engine moves bytes; what a stream means to the pictures, the
// effects and the controls reaches it through these hooks, each called with
// `context` when set (a null hook does nothing, a null query answers false).
// Hooks run on the thread of the engine call or work item named.
struct StreamHooks {
  PVOID context;
  // StartStream, before the worker is queued: per-stream resets.
  VOID (*streamStarting)(PVOID context, const FrameFormat* format);
  // The stream worker, before the negotiation: per-stream set-up.
  VOID (*streamOpening)(PVOID context, const FrameFormat* format);
  // The stream worker at the second frame boundary of every stream: the
  // stored control values back to the camera.
  VOID (*replayControls)(PVOID context);
  // The stream worker: a frame that carries the still bit begins.
  VOID (*stillFrameBegins)(PVOID context);
  // Whether a still pin exists (StartStream queues the status reader, the
  // worker sends the still commit).
  bool (*stillPinPresent)(PVOID context);
  // The status reader on a button press: whether the button is polled
  // (then no still trigger is sent); then, after the settle delay, the press.
  bool (*buttonPolled)(PVOID context);
  VOID (*buttonPressed)(PVOID context);
  // StopStream once the worker and the reader have ended, and again as its
  // last step (the capture pin no longer processes frames).
  VOID (*streamStopping)(PVOID context);
  VOID (*streamStopped)(PVOID context);
};

constexpr ULONG kNoFrameId = 0xFFFFFFFF;
constexpr ULONG kStatusUrbLength = 128;
constexpr ULONG kMaxFps = 30;

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
  // The frame interval the capture pin asks for (100 ns units; 0 or one
  // outside the entry's intervals: the entry's default), and the one the
  // camera accepted in the last probe and commit (0 until then; written by
  // the stream worker, read by the capture pin: no-fence word).
  ULONG requestedInterval;
  ULONG acceptedInterval;
  // 1-based position in the still table of the still size in use.
  ULONG stillFrameIndex;

  // Notification events, non-signalled at bring-up. streamEvent is set at
  // every committed frame (the capture pin's timer waits on it for a frame
  // that comes just after a tick).
  KEVENT streamWorkerDone;
  KEVENT statusReaderDone;
  KEVENT streamEvent;
  KEVENT stillReady;
  KEVENT idleEvent;

  // ---- kernel-streaming side: built by device start, freed by the
  // device clean-up ----
  // Data ranges of the capture and still pins: one block each (tag KLRX),
  // the pointer array followed by the KS_DATARANGE_VIDEO records.
  PKSDATARANGE* videoRanges;
  ULONG videoRangeCount;
  PKSDATARANGE* stillRanges;
  ULONG stillRangeCount;
  // The capture pin's frame-timer work item and the KS worker it queues.
  PIO_WORKITEM frameTimerWorkItem;
  PKSWORKER worker;
  // Capture pins created against this engine, and the first filter that
  // created one (only its pins program the camera).
  LONG pinCount;
  PKSFILTER ownerFilter;
  // Width and height of the still the still pin takes (stillSize holds
  // its bytes).
  ULONG stillWidth;
  ULONG stillHeight;
  // Units the camera reports, set when the control ranges are read; the
  // camera-control and proc-amp property sets exist only with their unit.
  ULONG hasProcessingUnit;
  ULONG hasCameraTerminal;

  // ---- stream engine ----
  // Unit ids of the video-control interface (0 = none), for the control
  // replay.
  UCHAR processingUnitId;
  UCHAR cameraTerminalId;
  UCHAR extensionUnitId;
  // What a stream does beyond USB, installed by the capture pin before it
  // starts the stream (all null: nothing beyond USB).
  StreamHooks hooks;
  // Work items of the stream worker and the status reader, the frame ring
  // and the still buffer: CreateStreamResources.
  PIO_WORKITEM streamWorkItem;
  PIO_WORKITEM statusWorkItem;
  FrameRing ring;
  ULONG rawFrameSize;     // bytes of each ring buffer
  PUCHAR stillBuffer;
  ULONG stillBufferSize;

  TransferSlot slots[2];
  TransferSlot statusSlot;
  ULONG transferType;     // kEndpointIsochronous or kEndpointBulk for this stream
  ULONG packetSize;
  ULONG payloadSize;
  ULONG running;          // 1 from StartStream until StopStream
  ULONG transfersActive;  // 1 while the transfers are submitted
  ULONG starting;         // 1 while OpenStream is being attempted
  ULONG workerQueued;     // StartStream queued the worker; StopStream waits for it
  ULONG readerQueued;     // the same for the status reader
  ULONG statusReaderRunning;
  ULONG transferErrors;   // consecutive failed transfers

  // Assembly state: written only by the stream worker.
  ULONG lastFid;          // kNoFrameId before the first payload
  ULONG assembled;
  PUCHAR writeBuffer;
  ULONG corrupt;          // a damaged packet or ERR payload in the current frame
  ULONG discarding;       // the current frame overran its limit: drop to the next toggle
  ULONG frameStill;       // the current frame carries STI (and a still size is set)
  ULONG frameEof;         // the last payload of the current frame had EOF
  ULONG noTrailer;        // MJPEG frames are checked by markers, not the vendor trailer
  ULONG trailerlessFrames;  // good MJPEG frames of this stream ending with EOI and no trailer
  ULONG trailerSeen;        // a good frame of this stream carried the trailer
  ULONG stillActive;      // kept for the capture pin: a still frame is being assembled
  ULONG stillMode;
  ULONG framesSinceStill;
  ULONG lastMs;
  ULONG controlsApplied;
  // Counters the capture pin and tests read (no-fence words).
  ULONG framesSeen;       // frame boundaries since stream start
  ULONG framesCommitted;
  ULONG framesDropped;
  ULONG stillsDelivered;
  ULONG fps;              // measured frames per second, at most 30
  // Still route: the still pin sets stillSize (bytes of an uncompressed
  // still, or nonzero for MJPEG); stillLength and stillReady tell it that a
  // still waits in stillBuffer; it calls StillConsumed after reading it.
  ULONG stillSize;
  ULONG stillLength;
  ULONG stillWaiting;     // a delivered still has not been consumed
  // A still frame that was dropped is asked for again: retries used for
  // the current still, and frame boundaries until the next request.
  ULONG stillRetries;
  ULONG stillRetryDue;
  // Signalled by StopStream to cut the worker's and reader's delays short.
  KEVENT stopEvent;
};


// A zero-filled engine for `device` (tag KCNw); null when out of memory.
StreamEngine* CreateStreamEngine(KSDEVICE* device);
// Frees the configuration copy, the format table and the still table.
VOID ReleaseUsbTables(StreamEngine* engine);
// Releases the USB tables and frees the engine (streaming resources
// included).
VOID FreeStreamEngine(StreamEngine* engine);

// Raw frame size of a format, 64-bit checked: width x height x 2; 0 when it
// does not fit in 32 bits.
ULONG RawFrameSize(ULONG width, ULONG height);

// Allocates the two work items (for `deviceObject`), the frame ring with
// buffers of rawFrameSize bytes and the still buffer (stillBufferSize
// bytes, 0 for none). Nothing stays allocated on failure.
NTSTATUS CreateStreamResources(StreamEngine* engine, PDEVICE_OBJECT deviceObject,
                               ULONG rawFrameSize, ULONG stillBufferSize);
// Frees them; the stream must be stopped. Safe to call twice.
VOID FreeStreamResources(StreamEngine* engine);

// Starts streaming the current format: resets the stream fields, queues the
// stream worker and, with an interrupt pipe and a still pin, the status
// reader. Success at once if already running.
NTSTATUS StartStream(StreamEngine* engine);
// Stops streaming: cancels the transfers and the status read, waits for the
// worker, the reader and every transfer in flight, resets the pipe, selects
// alternate setting 0 and frees the transfers. Never hangs.
NTSTATUS StopStream(StreamEngine* engine);
// Negotiates the stream and submits the two transfers (the worker calls it).
NTSTATUS OpenStream(StreamEngine* engine);
// One UVC payload into frame assembly. STATUS_INVALID_PARAMETER for a
// payload without data (ignored).
NTSTATUS ParsePayload(StreamEngine* engine, const UCHAR* payload, ULONG length);
// The capture pin's still route: sets the still size (0 = no still pin /
// no still expected); refused when an uncompressed still would not fit the
// still or ring buffers.
NTSTATUS SetStillSize(StreamEngine* engine, ULONG stillSize);
// The still pin has read the still buffer: the next still may be written.
VOID StillConsumed(StreamEngine* engine);
// Whether a still waits in the still buffer. The flag is set and cleared
// with interlocked operations and read with one, so that the still's bytes
// written before it is set are seen by whoever sees it set (and the
// reader's use of them ends before the next still is written).
inline bool StillWaiting(StreamEngine* engine) {
  return InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&engine->stillWaiting), 0, 0) != 0;
}
// Work-item routines.
IO_WORKITEM_ROUTINE StreamWorker;
IO_WORKITEM_ROUTINE StatusReader;
