// The application side of the host kernel-streaming runtime.
#include "client/camera.h"

#include <cmath>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>

#include "camera/simulated_camera.h"
#include "client/usb_host_camera.h"
#include "public/uvccam_public.h"

namespace client {

PDRIVER_OBJECT Driver() {
  static DRIVER_OBJECT* driver = [] {
    auto* d = new DRIVER_OBJECT;
    std::memset(d, 0, sizeof *d);
    d->Type = IO_TYPE_DRIVER;
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, u"\\Registry\\Machine\\System\\uvccam");
    DriverEntry(d, &path);
    return d;
  }();
  return driver;
}

NTSTATUS Pin::SetFormat(const std::vector<uint8_t>& format) {
  return host::KsSetPinDataFormat(pin_, reinterpret_cast<const KSDATAFORMAT*>(format.data()),
                                  ULONG(format.size()));
}

Filter::~Filter() {
  pins_.clear();
  host::KsCloseFilter(filter_);
}

std::vector<PinInfo> Filter::Pins() const {
  std::vector<PinInfo> out;
  const KSFILTER_DESCRIPTOR* d = filter_->Descriptor;
  for (ULONG i = 0; i < d->PinDescriptorsCount; ++i) {
    auto* p = reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(
        reinterpret_cast<const char*>(d->PinDescriptors) + size_t(i) * d->PinDescriptorSize);
    PinInfo info;
    info.id = i;
    if (p->PinDescriptor.Name) info.name = *p->PinDescriptor.Name;
    info.instancesPossible = p->InstancesPossible;
    info.instancesNecessary = p->InstancesNecessary;
    for (ULONG r = 0; r < p->PinDescriptor.DataRangesCount; ++r) {
      const KSDATARANGE* range = p->PinDescriptor.DataRanges[r];
      if (range->FormatSize >= sizeof(KS_DATARANGE_VIDEO))
        info.ranges.push_back(*reinterpret_cast<const KS_DATARANGE_VIDEO*>(range));
    }
    out.push_back(std::move(info));
  }
  return out;
}

NTSTATUS Filter::Intersect(ULONG pinId, const KS_DATARANGE_VIDEO& requested,
                           std::vector<uint8_t>* format) {
  ULONG size = 0;
  NTSTATUS s = host::KsIntersect(filter_, pinId, &requested.DataRange, sizeof requested, nullptr, 0, &size);
  if (s != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(s) ? STATUS_UNSUCCESSFUL : s;
  format->assign(size, 0);
  s = host::KsIntersect(filter_, pinId, &requested.DataRange, sizeof requested, format->data(), size, &size);
  if (!NT_SUCCESS(s)) format->clear();
  return s;
}

NTSTATUS Filter::FormatFor(ULONG pinId, ULONG width, ULONG height, const GUID& subtype,
                           std::vector<uint8_t>* format) {
  for (const PinInfo& p : Pins()) {
    if (p.id != pinId) continue;
    for (const KS_DATARANGE_VIDEO& r : p.ranges)
      if (ULONG(r.VideoInfoHeader.bmiHeader.biWidth) == width &&
          ULONG(r.VideoInfoHeader.bmiHeader.biHeight) == height &&
          IsEqualGUID(r.DataRange.SubFormat, subtype))
        return Intersect(pinId, r, format);
  }
  return STATUS_NO_MATCH;
}

NTSTATUS Filter::CreatePin(ULONG pinId, const std::vector<uint8_t>& format, Pin** pin) {
  *pin = nullptr;
  PKSPIN handle = nullptr;
  NTSTATUS s = host::KsCreatePin(filter_, pinId, reinterpret_cast<const KSDATAFORMAT*>(format.data()),
                                 ULONG(format.size()), &handle);
  if (!NT_SUCCESS(s)) return s;
  pins_.push_back(std::unique_ptr<Pin>(new Pin(handle)));
  *pin = pins_.back().get();
  return s;
}

void Filter::ClosePin(Pin* pin) {
  for (auto it = pins_.begin(); it != pins_.end(); ++it)
    if (it->get() == pin) {
      host::KsClosePin(pin->pin_);
      pins_.erase(it);
      return;
    }
}

NTSTATUS Filter::TriggerStill() {
  struct {
    KSPROPERTY property;
    ULONG streamIndex;
    LONG mode;
  } request{};
  request.property.Set = kVideoControlSet;
  request.property.Id = kVideoControlModeItem;
  request.property.Flags = KSPROPERTY_TYPE_SET;
  request.streamIndex = kStillStreamIndex;
  request.mode = kVideoControlTriggerFlag;
  ULONG returned = 0;
  return Property(&request, sizeof request, &request, sizeof request, &returned);
}

bool Camera::PressStillButton() {
  auto* simulated = dynamic_cast<camera::SimulatedCamera*>(model_.get());
  if (!simulated) return false;
  simulated->PressStillButton();
  return true;
}

bool FrameInfoOf(const host::KsCompletedFrame& frame, KS_FRAME_INFO* info) {
  if (frame.extension.size() < sizeof *info) return false;
  std::memcpy(info, frame.extension.data(), sizeof *info);
  return true;
}

NTSTATUS Camera::Plug(std::unique_ptr<host::UsbDeviceModel> model, std::unique_ptr<Camera>* camera) {
  std::unique_ptr<Camera> c(new Camera);
  c->model_ = std::move(model);
  c->bus_.reset(new host::UsbBus(c->model_.get()));
  NTSTATUS s = host::KsAddDevice(Driver(), c->bus_->DeviceObject(), &c->device_);
  if (!NT_SUCCESS(s)) return s;
  *camera = std::move(c);
  return s;
}

NTSTATUS Camera::PlugDevice(std::unique_ptr<host::LowerDevice> lower, std::unique_ptr<Camera>* camera) {
  std::unique_ptr<Camera> c(new Camera);
  c->lower_ = std::move(lower);
  NTSTATUS s = host::KsAddDevice(Driver(), c->lower_->DeviceObject(), &c->device_);
  if (!NT_SUCCESS(s)) return s;
  *camera = std::move(c);
  return s;
}

Camera::~Camera() {
  filters_.clear();
  host::DestroyKsDevice(device_);
}

NTSTATUS Camera::Stop() {
  filters_.clear();
  return host::KsStopDevice(device_);
}

NTSTATUS Camera::OpenFilter(Filter** filter) {
  *filter = nullptr;
  PKSFILTER handle = nullptr;
  NTSTATUS s = host::KsOpenFilter(device_, u"GLOBAL", &handle);
  if (!NT_SUCCESS(s)) return s;
  filters_.push_back(std::unique_ptr<Filter>(new Filter(handle)));
  *filter = filters_.back().get();
  return s;
}

void Camera::CloseFilter(Filter* filter) {
  for (auto it = filters_.begin(); it != filters_.end(); ++it)
    if (it->get() == filter) {
      filters_.erase(it);
      return;
    }
}

namespace {

const char* PinName(const PinInfo& p) { return p.id == kCapturePinId ? "capture" : "still"; }

// Frames per second of a frame interval in 100 ns units (0 for none).
double Rate(LONGLONG interval) { return interval > 0 ? 1e7 / double(interval) : 0.0; }
// The same to two decimals for JSON (null for none).
nlohmann::ordered_json JsonRate(LONGLONG interval) {
  if (interval <= 0) return nullptr;
  return std::round(Rate(interval) * 100) / 100;
}

}  // namespace

std::string RangesText(const std::vector<PinInfo>& pins) {
  std::string out;
  char line[256];
  for (const PinInfo& p : pins) {
    std::snprintf(line, sizeof line, "\n%s pin ranges (%zu):\n  %-3s %-11s %-8s %-19s %-11s %7s %11s %10s\n",
                  PinName(p), p.ranges.size(), "#", "size", "subtype", "interval", "fps", "default", "bit rate",
                  "image");
    out += line;
    for (size_t i = 0; i < p.ranges.size(); ++i) {
      const KS_DATARANGE_VIDEO& r = p.ranges[i];
      const KS_BITMAPINFOHEADER& h = r.VideoInfoHeader.bmiHeader;
      std::string size = std::to_string(h.biWidth) + "x" + std::to_string(h.biHeight);
      std::string interval = std::to_string(r.ConfigCaps.MinFrameInterval) + "-" +
                             std::to_string(r.ConfigCaps.MaxFrameInterval);
      char fps[32];
      std::snprintf(fps, sizeof fps, "%.4g-%.4g", Rate(r.ConfigCaps.MinFrameInterval),
                    Rate(r.ConfigCaps.MaxFrameInterval));
      std::snprintf(line, sizeof line, "  %-3zu %-11s %-8s %-19s %-11s %7.4g %11u %10u\n", i + 1, size.c_str(),
                    SubtypeName(r.DataRange.SubFormat).c_str(), interval.c_str(), fps,
                    Rate(r.VideoInfoHeader.AvgTimePerFrame), r.VideoInfoHeader.dwBitRate, h.biSizeImage);
      out += line;
    }
  }
  return out;
}

std::string RangesJson(const std::vector<PinInfo>& pins) {
  nlohmann::ordered_json j;
  for (const PinInfo& p : pins) {
    auto& a = j[p.id == kCapturePinId ? "captureRanges" : "stillRanges"];
    a = nlohmann::ordered_json::array();
    for (const KS_DATARANGE_VIDEO& r : p.ranges) {
      const KS_BITMAPINFOHEADER& h = r.VideoInfoHeader.bmiHeader;
      a.push_back({{"width", h.biWidth},
                   {"height", h.biHeight},
                   {"subtype", SubtypeName(r.DataRange.SubFormat)},
                   {"minFrameInterval", r.ConfigCaps.MinFrameInterval},
                   {"maxFrameInterval", r.ConfigCaps.MaxFrameInterval},
                   {"defaultFrameInterval", r.VideoInfoHeader.AvgTimePerFrame},
                   {"maxFps", JsonRate(r.ConfigCaps.MinFrameInterval)},
                   {"minFps", JsonRate(r.ConfigCaps.MaxFrameInterval)},
                   {"defaultFps", JsonRate(r.VideoInfoHeader.AvgTimePerFrame)},
                   {"bitRate", r.VideoInfoHeader.dwBitRate},
                   {"sampleSize", r.DataRange.SampleSize},
                   {"imageSize", h.biSizeImage}});
    }
  }
  return j.dump(2);
}

}  // namespace client
