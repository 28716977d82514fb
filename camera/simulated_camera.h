// Simulated UVC cameras: built from a JSON profile, or from a real camera's
// descriptors as Linux captures them (device descriptor followed by the
// configuration descriptor). Host build only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "camera/stream_source.h"
#include "platform/host/usb_device_model.h"

namespace camera {

// A camera built from a profile's JSON text. On failure returns null and
// sets *error to a message naming the offending key.
std::unique_ptr<host::UsbDeviceModel> CameraFromProfile(const std::string& jsonText,
                                                        std::string* error);
// The same from a file.
std::unique_ptr<host::UsbDeviceModel> CameraFromProfileFile(const std::string& path,
                                                            std::string* error);
// The built-in default camera (high speed; MJPEG and YUY2; stills; all three
// units; interrupt endpoint; several isochronous alternate settings).
std::unique_ptr<host::UsbDeviceModel> DefaultCamera();

// A camera answering for captured descriptors. `fullSpeed` makes it
// enumerate at full speed (high speed otherwise).
std::unique_ptr<host::UsbDeviceModel> CameraFromDescriptors(const std::vector<uint8_t>& bytes,
                                                            bool fullSpeed, std::string* error);
std::unique_ptr<host::UsbDeviceModel> CameraFromDescriptorFile(const std::string& path,
                                                               bool fullSpeed, std::string* error);

}  // namespace camera

// ---------------------------------------------------------------------------
// The concrete camera behind every factory above, with the hooks tests use to
// look inside it. All members are safe to call while the bus calls Control()
// from another thread.

namespace camera {

// One vendor request as the camera saw it. For device-to-host requests `data`
// holds the bytes the camera answered with.
struct VendorRequestRecord {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
  bool directionIn = false;
  std::vector<uint8_t> data;
};

// The 26-byte probe/commit control, field by field.
struct ProbeControl {
  uint16_t bmHint = 0;
  uint8_t bFormatIndex = 0;
  uint8_t bFrameIndex = 0;
  uint32_t dwFrameInterval = 0;
  uint16_t wKeyFrameRate = 0;
  uint16_t wPFrameRate = 0;
  uint16_t wCompQuality = 0;
  uint16_t wCompWindowSize = 0;
  uint16_t wDelay = 0;
  uint32_t dwMaxVideoFrameSize = 0;
  uint32_t dwMaxPayloadTransferSize = 0;

  static constexpr uint32_t kSize = 26;
  void ToBytes(uint8_t out[kSize]) const;
  static ProbeControl FromBytes(const uint8_t in[kSize]);
};

// The still probe/commit control (format, frame, compression index and the
// two sizes the camera fills).
struct StillProbeControl {
  uint8_t bFormatIndex = 0;
  uint8_t bFrameIndex = 0;
  uint8_t bCompressionIndex = 0;
  uint32_t dwMaxVideoFrameSize = 0;
  uint32_t dwMaxPayloadTransferSize = 0;

  static constexpr uint32_t kSize = 11;
};

// Misbehaviour switched on by a profile's "faults" object or by a test.
struct CameraFaults {
  bool rejectProbe = false;      // SET_CUR of the probe control stalls
  bool zeroPayloadSize = false;  // GET_CUR of the probe reports dwMaxPayloadTransferSize 0
};

// What the camera knows about one frame size of a format.
struct FrameInfo {
  uint8_t index = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  uint32_t defaultInterval = 0;
  uint32_t maxFrameBufferSize = 0;  // 0 if the descriptor does not carry it
  std::vector<uint32_t> intervals;  // discrete intervals; empty when continuous
  uint32_t minInterval = 0, maxInterval = 0, intervalStep = 0;  // continuous
};

enum class FormatKind { kUncompressed, kMjpeg, kFrameBased };

struct FormatInfo {
  uint8_t index = 0;
  FormatKind kind = FormatKind::kUncompressed;
  uint8_t guid[16] = {};  // uncompressed and frame-based formats
  uint8_t bitsPerPixel = 0;
  uint8_t defaultFrameIndex = 1;
  std::vector<FrameInfo> frames;
  std::vector<std::pair<uint16_t, uint16_t>> stillSizes;  // from its still image frame descriptor
};

// A unit or terminal of the video-control interface with its control bitmap.
struct EntityInfo {
  uint8_t id = 0;
  uint8_t subtype = 0;  // 2 input (camera) terminal, 5 processing unit, 6 extension unit
  uint32_t bmControls = 0;
  uint8_t guid[16] = {};  // extension units
};

// Everything the camera derived from its descriptors.
struct CameraLayout {
  uint8_t configurationValue = 1;
  uint8_t controlInterface = 0;
  uint8_t streamingInterface = 1;
  std::vector<EntityInfo> entities;
  std::vector<FormatInfo> formats;
  uint8_t streamingEndpoint = 0;
  bool bulk = false;
  uint16_t bulkMaxPacketSize = 0;
  // Isochronous alternate settings of the streaming interface:
  // (bAlternateSetting, raw wMaxPacketSize), in descriptor order.
  std::vector<std::pair<uint8_t, uint16_t>> isoAlternateSettings;
  bool hasInterruptEndpoint = false;
  uint8_t interruptEndpoint = 0;
  uint8_t stillCaptureMethod = 0;
  // Every (interface, alternate setting) pair the configuration declares.
  std::vector<std::pair<uint8_t, uint8_t>> interfaceSettings;
};

// Effective bytes per (micro)frame of an isochronous wMaxPacketSize: the low
// 11 bits times the number of transactions per microframe (bits 11-12 + 1).
uint32_t EffectivePacketSize(uint16_t wMaxPacketSize);

// Walks a configuration descriptor and fills a layout. Refuses (false and a
// message) anything malformed: bad lengths, truncation, missing video
// interfaces, inconsistent format and frame descriptors.
bool ParseConfiguration(const std::vector<uint8_t>& configuration, CameraLayout* layout,
                        std::string* error);

class SimulatedCamera : public host::UsbDeviceModel {
 public:
  struct ControlValues;  // one control's values; defined in the source
  struct Setup;          // what the factories hand over; defined in the source
  explicit SimulatedCamera(Setup setup);
  ~SimulatedCamera() override;

  // host::UsbDeviceModel
  bool HighSpeed() const override;
  const std::vector<uint8_t>& DeviceDescriptor() const override;
  const std::vector<uint8_t>& ConfigurationDescriptor() const override;
  host::UsbControlResult Control(const host::UsbSetupPacket& setup, uint8_t* data) override;
  void ConfigurationSelected(uint8_t bConfigurationValue) override;
  void InterfaceSelected(uint8_t bInterfaceNumber, uint8_t bAlternateSetting) override;
  void EndpointReset(uint8_t endpointAddress) override;
  host::UsbInResult InTransfer(uint8_t endpointAddress, uint64_t busTime100ns, uint8_t* data,
                               uint32_t capacity) override;

  // Streaming: faults (also from the profile's "faults" and --fault), frames
  // to play (also "play" / --play), the still button on the interrupt
  // endpoint, and what was sent.
  void SetStreamFaults(const StreamFaults& faults);
  StreamFaults GetStreamFaults() const;
  void SetPlayBytes(std::vector<uint8_t> bytes);
  // Queues a button press (02 01 00 01) on the status interrupt endpoint.
  void PressStillButton();
  bool Streaming() const;
  uint64_t FramesSent() const;
  uint64_t StillsSent() const;

  // The descriptors as Linux captures them: device descriptor, then the
  // configuration descriptor.
  std::vector<uint8_t> DescriptorDump() const;
  const CameraLayout& Layout() const;

  // Vendor requests seen so far, oldest first.
  std::vector<VendorRequestRecord> VendorRequests() const;
  void ClearVendorRequests();
  // Bytes answered to a device-to-host vendor request with this bRequest
  // (truncated or zero-padded to wLength). Without one the camera answers zeros.
  void SetVendorReply(uint8_t bRequest, std::vector<uint8_t> bytes);
  // Full control over vendor requests: called before the configured replies
  // (with `data` zeroed for device-to-host requests); return true if handled,
  // after filling `data` and optionally setting *stall. The request is
  // recorded either way. Runs under the camera's lock: the handler must not
  // call back into the camera.
  using VendorHandler =
      std::function<bool(const host::UsbSetupPacket& setup, uint8_t* data, bool* stall)>;
  void SetVendorHandler(VendorHandler handler);

  // Current value of a unit control as a signed or unsigned integer (up to
  // 4 bytes); false if the unit or control does not exist.
  bool ControlCurrentInt(uint8_t entityId, uint8_t selector, int64_t* value) const;

  ProbeControl CurrentProbe() const;
  // The last committed probe; false if nothing was committed since power-up.
  bool CommittedProbe(ProbeControl* probe) const;
  bool CommittedStill(StillProbeControl* still) const;
  uint32_t StillTriggerCount() const;
  uint8_t LastStillTrigger() const;
  uint32_t ProbeSetCount() const;
  uint32_t CommitCount() const;
  uint32_t StallCount() const;

  uint8_t CurrentConfiguration() const;
  // Alternate setting currently selected on an interface (0 if unknown).
  uint8_t CurrentAlternateSetting(uint8_t interfaceNumber) const;

  CameraFaults Faults() const;
  void SetFaults(const CameraFaults& faults);

 private:
  struct State;
  std::unique_ptr<State> state_;
  mutable std::mutex mutex_;
};

// The same factories, returning the concrete camera. A relative "play" path
// is taken from `baseDir` when given (the profile file's folder).
std::unique_ptr<SimulatedCamera> SimulatedCameraFromProfile(const std::string& jsonText,
                                                            std::string* error,
                                                            const std::string& baseDir = "");
std::unique_ptr<SimulatedCamera> SimulatedCameraFromProfileFile(const std::string& path,
                                                                std::string* error);
std::unique_ptr<SimulatedCamera> DefaultSimulatedCamera();
std::unique_ptr<SimulatedCamera> SimulatedCameraFromDescriptors(const std::vector<uint8_t>& bytes,
                                                                bool fullSpeed, std::string* error);

// The built-in default profile's JSON text (the same as profiles/default.json).
const char* DefaultProfileJson();

// Reads a whole file; false and a message if it cannot.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);

}  // namespace camera
