// A camera on the host and the format report.
#include "client/usb_host_camera.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/host/ks_host.h"

namespace client {

HostUsbCamera::HostUsbCamera(std::unique_ptr<host::UsbDeviceModel> model)
    : model_(std::move(model)), bus_(new host::UsbBus(model_.get())) {
  device_ = host::CreateKsDevice(bus_->DeviceObject());
}

HostUsbCamera::HostUsbCamera(std::unique_ptr<host::LowerDevice> lower) : lower_(std::move(lower)) {
  device_ = host::CreateKsDevice(lower_->DeviceObject());
}

HostUsbCamera::~HostUsbCamera() {
  FreeStreamEngine(engine_);
  host::DestroyKsDevice(device_);
}

BringUpResult HostUsbCamera::BringUp() {
  FreeStreamEngine(engine_);
  engine_ = CreateStreamEngine(device_);
  BringUpResult r;
  if (!engine_) {
    r.status = STATUS_INSUFFICIENT_RESOURCES;
    return r;
  }
  r.status = BringUpUsb(engine_, &r.step);
  return r;
}

std::string SubtypeName(const GUID& g) {
  if (IsEqualGUID(g, kSubtypeYuy2)) return "YUY2";
  if (IsEqualGUID(g, kSubtypeUyvy)) return "UYVY";
  if (IsEqualGUID(g, kSubtypeMjpg)) return "MJPG";
  if (IsEqualGUID(g, kSubtypeI420)) return "I420";
  if (IsEqualGUID(g, kSubtypeRgb24)) return "RGB24";
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

namespace {

const char* EndpointTypeName(ULONG type) {
  return type == kEndpointBulk ? "bulk" : type == kEndpointIsochronous ? "isochronous" : "none";
}

std::string Size(ULONG w, ULONG h) { return std::to_string(w) + "x" + std::to_string(h); }

// Frames per second of an interval in 100 ns units, to two decimals (null
// for none).
nlohmann::ordered_json Fps(ULONGLONG interval) {
  if (!interval) return nullptr;
  return std::round(1e9 / double(interval)) / 100;
}

}  // namespace

std::string FormatsText(const StreamEngine& e) {
  char line[256];
  std::string out;
  std::snprintf(line, sizeof line, "camera %04x:%04x, %s speed, %s streaming\n", e.vendorId,
                e.productId, e.highSpeed ? "high" : "full", EndpointTypeName(e.endpointType));
  out += line;
  std::snprintf(line, sizeof line, "control interface %d, streaming interface %d\n",
                int(e.controlInterface), int(e.streamingInterface));
  out += line;
  std::snprintf(line, sizeof line, "\nformats (%u):\n  %-3s %-11s %-8s %-11s %-8s %6s %5s %9s %6s\n",
                e.formatCount, "#", "input", "subtype", "output", "subtype", "format", "frame",
                "interval", "fps");
  out += line;
  for (ULONG i = 0; i < e.formatCount; ++i) {
    const FrameFormat& f = e.formatTable[i];
    std::snprintf(line, sizeof line, "  %-3u %-11s %-8s %-11s %-8s %6u %5u %9u %6.4g\n", i + 1,
                  Size(f.inputWidth, f.inputHeight).c_str(), SubtypeName(f.inputSubtype).c_str(),
                  Size(f.outputWidth, f.outputHeight).c_str(), SubtypeName(f.outputSubtype).c_str(),
                  f.formatIndex, f.frameIndex, f.defaultInterval,
                  f.defaultInterval ? 1e7 / double(f.defaultInterval) : 0.0);
    out += line;
  }
  std::snprintf(line, sizeof line, "\nstills (%u):\n", e.stillCount);
  out += line;
  for (ULONG i = 0; i < e.stillCount; ++i) {
    const FrameFormat& f = e.stillTable[i];
    std::snprintf(line, sizeof line, "  %-3u %s\n", i + 1, Size(f.inputWidth, f.inputHeight).c_str());
    out += line;
  }
  return out;
}

std::string FormatsJson(const StreamEngine& e) {
  nlohmann::ordered_json j;
  j["vendorId"] = e.vendorId;
  j["productId"] = e.productId;
  j["highSpeed"] = e.highSpeed != 0;
  j["endpointType"] = EndpointTypeName(e.endpointType);
  j["controlInterface"] = e.controlInterface;
  j["streamingInterface"] = e.streamingInterface;
  j["formats"] = nlohmann::ordered_json::array();
  for (ULONG i = 0; i < e.formatCount; ++i) {
    const FrameFormat& f = e.formatTable[i];
    j["formats"].push_back({{"inputWidth", f.inputWidth},
                            {"inputHeight", f.inputHeight},
                            {"outputWidth", f.outputWidth},
                            {"outputHeight", f.outputHeight},
                            {"inputSubtype", SubtypeName(f.inputSubtype)},
                            {"outputSubtype", SubtypeName(f.outputSubtype)},
                            {"formatIndex", f.formatIndex},
                            {"frameIndex", f.frameIndex},
                            {"defaultInterval", f.defaultInterval},
                            {"fps", Fps(f.defaultInterval)},
                            {"minInterval", f.minInterval},
                            {"maxInterval", f.maxInterval}});
  }
  j["stills"] = nlohmann::ordered_json::array();
  for (ULONG i = 0; i < e.stillCount; ++i)
    j["stills"].push_back({{"width", e.stillTable[i].inputWidth}, {"height", e.stillTable[i].inputHeight}});
  return j.dump(2) + "\n";
}

std::string BringUpFailureText(const BringUpResult& r) {
  // What went wrong, in the words of someone holding the camera; the status
  // stays for whoever reports it.
  const char* what = "the camera could not be set up";
  switch (r.step) {
    case kBringUpNone: break;
    case kBringUpDeviceDescriptor: what = "the camera did not answer with its device descriptor"; break;
    case kBringUpManufacturerString:
    case kBringUpProductString: what = "the camera's name could not be read"; break;
    case kBringUpBusSpeed: what = "the USB bus speed could not be found"; break;
    case kBringUpConfigurationDescriptor: what = "the camera's configuration descriptor is missing or malformed"; break;
    case kBringUpSelectConfiguration:
      what = r.status == STATUS_INVALID_PARAMETER ? "the camera has no video-control or video-streaming interface"
                                                  : "the camera refused its configuration";
      break;
    case kBringUpStreamEndpoint: what = "the camera has no video streaming endpoint the driver can use"; break;
    case kBringUpAlternateSetting: what = "the camera refused its streaming interface settings"; break;
    case kBringUpFormatTable:
      what = r.status == STATUS_INVALID_PARAMETER
                 ? "the camera's video format descriptors are cut short or malformed"
                 : "the camera describes no video format this driver can stream (YUY2, UYVY or MJPEG, "
                   "at most five formats)";
      break;
    case kBringUpRestrictAndExtend: what = "the camera's format list could not be built"; break;
  }
  if (r.status == STATUS_INSUFFICIENT_RESOURCES || r.status == STATUS_NO_MEMORY)
    what = "the driver ran out of memory while setting up the camera";
  char text[256];
  std::snprintf(text, sizeof text, "%s (status 0x%08X)", what, unsigned(r.status));
  return text;
}

}  // namespace client
