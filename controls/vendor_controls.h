// The vendor control set: 42 items behind one get and one set handler that
// switch on the property id. They reach the camera controls (through the
// same functions as the standard sets), the software effects in
// EffectState and the camera's vendor requests.
//
// Application values are untrusted: every length is checked before use;
// the items that move a caller buffer (3 and 241) go through a bounded pool
// copy, never handing the caller's memory to a URB; 16-bit camera values
// are sign-extended where the control's minimum is negative and refused
// outside its range; the zoom factor is limited to the 16..64 the get
// reports. A refused request changes nothing and sends nothing.
#pragma once

#include "controls/camera_controls.h"
#include "public/uvccam_public.h"
#include "platform/wdk.h"

// The request record (KSPROPERTY, Operation, Index, Value, BufferAddress,
// Result, Result2) is VendorControlRequest of public/uvccam_public.h.

// The caller buffer named by BufferAddress, as the property layer captured
// it (its system-space copy and length). Null when there is none.
struct VendorCallerBuffer {
  PVOID Data;
  ULONG Length;
};

// Item 3: whole 32-byte chunks, at least one, at most as many as the
// verify addresses (0xA200 + offset) can reach in 16 bits.
constexpr ULONG kDownloadChunk = 32;
constexpr ULONG kDownloadMaxChunks = (0x10000 - 0xA200) / kDownloadChunk;  // 752

// What the vendor items read of the stream: whether it runs (from its start
// until its stop). Sizes come from the engine's current format.
struct VendorStreamState {
  ULONG running;
};

// Get and set. `request` is the caller's record (already copied in by the
// property layer); a get fills Result / Result2. STATUS_SUCCESS for every
// listed and unlisted item unless a row says otherwise; refused
// application values give STATUS_INVALID_PARAMETER, controls the camera
// lacks STATUS_NOT_SUPPORTED.
NTSTATUS VendorControlGet(CameraControls& controls, VendorControlRequest* request,
                          const VendorCallerBuffer* buffer, const VendorStreamState& stream);
NTSTATUS VendorControlSet(CameraControls& controls, VendorControlRequest* request,
                          const VendorCallerBuffer* buffer, const VendorStreamState& stream);
