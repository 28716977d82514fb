// Pieces shared by the simulated camera's sources: the class-specific codes,
// the table of unit controls and the set-up record the factories fill.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "camera/simulated_camera.h"

namespace camera {

// Descriptor types and class-specific subtypes.
enum : uint8_t {
  kDescDevice = 1,
  kDescConfiguration = 2,
  kDescString = 3,
  kDescInterface = 4,
  kDescEndpoint = 5,
  kDescDeviceQualifier = 6,
  kDescInterfaceAssociation = 0x0B,
  kDescCsInterface = 0x24,
  kDescCsEndpoint = 0x25,

  kVcHeader = 1,
  kVcInputTerminal = 2,
  kVcOutputTerminal = 3,
  kVcSelectorUnit = 4,
  kVcProcessingUnit = 5,
  kVcExtensionUnit = 6,

  kVsInputHeader = 1,
  kVsStillImageFrame = 3,
  kVsFormatUncompressed = 4,
  kVsFrameUncompressed = 5,
  kVsFormatMjpeg = 6,
  kVsFrameMjpeg = 7,
  kVsColorFormat = 0x0D,
  kVsFormatFrameBased = 0x10,
  kVsFrameFrameBased = 0x11,

  kClassVideo = 0x0E,
  kSubclassControl = 1,
  kSubclassStreaming = 2,
};

// Class request codes.
enum : uint8_t {
  kSetCur = 0x01,
  kGetCur = 0x81,
  kGetMin = 0x82,
  kGetMax = 0x83,
  kGetRes = 0x84,
  kGetLen = 0x85,
  kGetInfo = 0x86,
  kGetDef = 0x87,
};

// Streaming-interface control selectors.
enum : uint8_t {
  kVsProbe = 0x01,
  kVsCommit = 0x02,
  kVsStillProbe = 0x03,
  kVsStillCommit = 0x04,
  kVsStillTrigger = 0x05,
  kVsStreamErrorCode = 0x06,
};

// Video-control interface selectors (entity 0).
enum : uint8_t {
  kVcVideoPowerMode = 0x01,
  kVcRequestErrorCode = 0x02,
};

// bRequestErrorCode values the camera reports after a failed class request.
enum : uint8_t {
  kErrNone = 0x00,
  kErrWrongState = 0x02,
  kErrOutOfRange = 0x04,
  kErrInvalidUnit = 0x05,
  kErrInvalidControl = 0x06,
  kErrInvalidRequest = 0x07,
};

enum class ControlKind : uint8_t {
  kScalar,     // one integer; SET_CUR checked against min..max
  kBitmap,     // exactly one bit, which GET_RES must list (auto-exposure mode)
  kComposite,  // several packed fields; stored as sent
};

// One standard control of the camera terminal or the processing unit: its
// bit in bmControls, selector, size and the values a camera without a
// profile answers with.
struct ControlDef {
  const char* name;
  uint8_t bit;
  uint8_t selector;
  uint8_t length;
  bool isSigned;
  ControlKind kind;
  int64_t min, max, def, res;
  uint8_t info;  // GET_INFO: bit 0 GET supported, bit 1 SET supported
};

const std::vector<ControlDef>& ProcessingUnitControls();
const std::vector<ControlDef>& CameraTerminalControls();
// Finds a definition by its JSON name or by selector; null if none.
const ControlDef* FindControlByName(const std::vector<ControlDef>& table, const std::string& name);
const ControlDef* FindControlByBit(const std::vector<ControlDef>& table, uint8_t bit);

// The values of one control as the camera keeps them.
struct SimulatedCamera::ControlValues {
  uint8_t selector = 0;
  uint8_t length = 2;
  uint8_t info = 3;
  bool isSigned = false;
  ControlKind kind = ControlKind::kScalar;
  int64_t min = 0, max = 0, def = 0, res = 1;
  std::vector<uint8_t> cur;  // `length` bytes, little-endian
};

// Values a profile gives for one control; unset fields keep the defaults.
struct ControlOverride {
  bool hasMin = false, hasMax = false, hasDef = false, hasRes = false, hasInfo = false,
       hasLength = false;
  int64_t min = 0, max = 0, def = 0, res = 0;
  uint8_t info = 3;
  uint8_t length = 0;
};

struct SimulatedCamera::Setup {
  bool highSpeed = true;
  std::vector<uint8_t> deviceDescriptor;
  std::vector<uint8_t> configuration;
  CameraLayout layout;                     // parsed from `configuration`
  std::map<uint8_t, std::string> strings;  // string index -> text (index 0 excluded)
  std::string fallbackString;              // answered for referenced indices without text
  std::map<std::pair<uint8_t, uint8_t>, ControlOverride> overrides;  // (entity, selector)
  std::map<uint8_t, std::vector<uint8_t>> vendorReplies;             // bRequest -> bytes
  CameraFaults faults;
  bool payloadFromLargestAlternate = false;  // else the smallest alternate that fits
  uint32_t bulkPayloadTransferSize = 0;      // 0: the frame size plus a 12-byte header
  // Streaming: faults, frames to play, whether MJPEG frames carry the
  // vendor trailer, and the payload header length (2 or 12).
  StreamFaults streamFaults;
  std::shared_ptr<PlayFile> play;
  bool trailer = true;
  uint32_t headerLength = 12;
};

inline uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void PutLe16(std::vector<uint8_t>* v, uint32_t x) {
  v->push_back(uint8_t(x));
  v->push_back(uint8_t(x >> 8));
}
inline void PutLe32(std::vector<uint8_t>* v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v->push_back(uint8_t(x >> (8 * i)));
}

// Builds the camera from a finished set-up: parses the configuration into the
// layout and checks that the device descriptor is sound.
std::unique_ptr<SimulatedCamera> BuildCamera(SimulatedCamera::Setup setup, std::string* error);

}  // namespace camera
