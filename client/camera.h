// What an application does with a camera on the host, through the kernel-
// streaming runtime only: plug it (the driver's Add and Start), open the
// filter, list pins and data ranges, intersect, create pins, move them
// through the states, queue buffers and collect completed frames, get and
// set properties, close. Tests and the tool use this, never driver
// internals.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/host/ks_host.h"
#include "platform/host/lower_device.h"
#include "platform/host/usb_bus.h"
#include "platform/host/usb_device_model.h"
#include "platform/wdk.h"

namespace client {

class Filter;

// A kernel-streaming pin instance, owned by its Filter.
class Pin {
 public:
  PKSPIN Handle() const { return pin_; }
  ULONG Id() const { return pin_->Id; }
  KSSTATE State() const { return pin_->DeviceState; }
  // Moves one state at a time towards `to`; the first refusal is returned.
  NTSTATUS SetState(KSSTATE to) { return host::KsSetPinState(pin_, to); }
  // A new format on the connected pin (STOP only, the driver checks).
  NTSTATUS SetFormat(const std::vector<uint8_t>& format);
  // Queues an application buffer of `size` bytes whose stream header is
  // followed by `extension` bytes (a KS_FRAME_INFO for video by default).
  uint64_t QueueBuffer(ULONG size, ULONG extension = sizeof(KS_FRAME_INFO)) {
    return host::KsQueueBuffer(pin_, size, extension);
  }
  // The next completed (or cancelled) buffer, waiting up to timeoutMs.
  bool WaitFrame(uint32_t timeoutMs, host::KsCompletedFrame* frame) {
    return host::KsWaitFrame(pin_, timeoutMs, frame);
  }
  size_t QueuedBuffers() const { return host::KsQueuedFrames(pin_); }
  NTSTATUS Property(const void* property, ULONG propertyLength, void* data, ULONG dataLength,
                    ULONG* returned) {
    return host::KsProperty(pin_, property, propertyLength, data, dataLength, returned);
  }
  void SetClockAvailable(bool available) { host::KsSetPinClockAvailable(pin_, available); }

 private:
  friend class Filter;
  explicit Pin(PKSPIN pin) : pin_(pin) {}
  PKSPIN pin_;
};

struct PinInfo {
  ULONG id = 0;
  GUID name{};
  ULONG instancesPossible = 0;
  ULONG instancesNecessary = 0;
  std::vector<KS_DATARANGE_VIDEO> ranges;  // every range is a video range here
};

// An open filter instance, owned by its Camera.
class Filter {
 public:
  ~Filter();
  Filter(const Filter&) = delete;
  Filter& operator=(const Filter&) = delete;
  PKSFILTER Handle() const { return filter_; }

  std::vector<PinInfo> Pins() const;
  // Asks the pin's intersect handler for a format matching `requested`
  // (a range as the pin lists it, possibly edited); the format on success.
  NTSTATUS Intersect(ULONG pinId, const KS_DATARANGE_VIDEO& requested, std::vector<uint8_t>* format);
  // The format of the pin's range of this size and subtype, through the
  // intersect handler (STATUS_NO_MATCH when the pin has no such range).
  NTSTATUS FormatFor(ULONG pinId, ULONG width, ULONG height, const GUID& subtype,
                     std::vector<uint8_t>* format);
  NTSTATUS CreatePin(ULONG pinId, const std::vector<uint8_t>& format, Pin** pin);
  void ClosePin(Pin* pin);
  NTSTATUS Property(const void* property, ULONG propertyLength, void* data, ULONG dataLength,
                    ULONG* returned) {
    return host::KsProperty(filter_, property, propertyLength, data, dataLength, returned);
  }
  // Software still trigger: the video-control mode property with the
  // trigger flag on the still stream. The still arrives on the filter's
  // still pin while it and the capture pin run.
  NTSTATUS TriggerStill();

 private:
  friend class Camera;
  explicit Filter(PKSFILTER filter) : filter_(filter) {}
  PKSFILTER filter_;
  std::vector<std::unique_ptr<Pin>> pins_;
};

// A camera model behind the USB bus stand-in, with the driver added above it.
class Camera {
 public:
  // Adds the device (the driver's Add); Start is separate.
  static NTSTATUS Plug(std::unique_ptr<host::UsbDeviceModel> model, std::unique_ptr<Camera>* camera);
  // The same over another lower device (a real camera); Bus() and Model()
  // are then unavailable.
  static NTSTATUS PlugDevice(std::unique_ptr<host::LowerDevice> lower, std::unique_ptr<Camera>* camera);
  ~Camera();
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  NTSTATUS Start() { return host::KsStartDevice(device_); }
  // Closes every filter first (an application closing its handles).
  NTSTATUS Stop();
  void SurpriseRemove() { host::KsSurpriseRemoveDevice(device_); }
  bool Started() const { return device_->Started != 0; }
  PKSDEVICE Device() const { return device_; }
  host::UsbBus& Bus() { return *bus_; }
  host::UsbDeviceModel* Model() const { return model_.get(); }
  // The lower device of PlugDevice, else null.
  host::LowerDevice* Lower() const { return lower_.get(); }
  // Presses the camera's still button (a simulated camera only; false for
  // any other model).
  bool PressStillButton();

  // Opens the filter under the reference string "GLOBAL".
  NTSTATUS OpenFilter(Filter** filter);
  void CloseFilter(Filter* filter);

 private:
  Camera() = default;
  std::unique_ptr<host::UsbDeviceModel> model_;
  std::unique_ptr<host::UsbBus> bus_;
  std::unique_ptr<host::LowerDevice> lower_;
  PKSDEVICE device_ = nullptr;
  std::vector<std::unique_ptr<Filter>> filters_;
};

// The KS_FRAME_INFO that follows a completed video buffer's stream header;
// false when the header had no room for one.
bool FrameInfoOf(const host::KsCompletedFrame& frame, KS_FRAME_INFO* info);

// The driver object of this process; the driver's entry runs once.
PDRIVER_OBJECT Driver();

// The pins' data ranges as text rows and as a JSON array per pin
// ("captureRanges", "stillRanges").
std::string RangesText(const std::vector<PinInfo>& pins);
std::string RangesJson(const std::vector<PinInfo>& pins);

}  // namespace client
