#include "tools/camera_session.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "client/usb_host_camera.h"
#include "platform/host/host_control.h"
#include "media/frame_format.h"
#include "pipeline/frame_pipeline.h"
#include "tools/device_select.h"
#include "tools/stored_controls.h"

namespace tools {

namespace {

double g_streamingRate = 1.0;

bool ParseSide(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  const unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
  if (v == 0 || v > 65535) return false;
  *value = uint32_t(v);
  return true;
}

bool ContainerHolds(output_files::Container c, const GUID& s) {
  switch (c) {
    case output_files::Container::kY4m:
      return IsEqualGUID(s, kSubtypeYuy2) || IsEqualGUID(s, kSubtypeUyvy) || IsEqualGUID(s, kSubtypeI420);
    case output_files::Container::kMjpeg:
      return IsEqualGUID(s, kSubtypeMjpg);
    case output_files::Container::kRaw:
      return true;
  }
  return false;
}

const char* ContainerName(output_files::Container c) {
  switch (c) {
    case output_files::Container::kY4m: return ".y4m";
    case output_files::Container::kMjpeg: return ".mjpeg";
    case output_files::Container::kRaw: return ".raw";
  }
  return "";
}

}  // namespace

int CommandError(const char* command, const std::string& error, int status) {
  std::fprintf(stderr, "uvccam %s: %s\n", command, error.c_str());
  return status;
}

CameraSession::~CameraSession() {
  if (!camera) return;
  ClockRateScope fast(startRate);
  camera->Stop();
  camera.reset();
}

bool OpenCameraSession(const char* command, const CameraOptions& options, CameraSession* session,
                       std::string* error) {
  if (!UseStateFolder(options, error)) return false;
  session->startRate = StartClockRate(options);
  session->realDevice = UsesDevice(options);
  ClockRateScope fast(session->startRate);
  if (!PlugCamera(options, &session->camera, &session->simulated, error)) return false;
  NTSTATUS s = session->camera->Start();
  if (!NT_SUCCESS(s)) {
    *error = "the camera did not start (status " + StatusText(s) + "); uvccam formats shows why";
    // A simulated camera can be brought up again on its own to say why.
    std::string ignored;
    std::unique_ptr<host::UsbDeviceModel> model =
        session->realDevice ? nullptr : MakeCamera(options, &ignored);
    if (model) {
      client::HostUsbCamera usb(std::move(model));
      const client::BringUpResult r = usb.BringUp();
      if (!r.ok()) *error = "the camera did not start: " + client::BringUpFailureText(r);
    }
    return false;
  }
  s = session->camera->OpenFilter(&session->filter);
  if (!NT_SUCCESS(s)) {
    *error = "cannot open the camera's filter (status " + StatusText(s) + ")";
    return false;
  }
  session->pins = session->filter->Pins();
  ApplyStoredControls(session->filter, StateFolderOf(options), command, &session->whileStreaming);
  return true;
}

std::string StreamFailure(CameraSession& session, uint64_t silent100ns) {
  // A real camera has no bus stand-in to look at: the driver's own frame
  // timeout reports it.
  if (session.realDevice) return "";
  host::UsbBus& bus = session.camera->Bus();
  if (bus.CompletedWith(STATUS_DEVICE_NOT_CONNECTED) != 0) return "the camera was unplugged (it left the USB bus)";
  // A stall the driver recovers from clears within a few frame times.
  if (silent100ns < k100nsPerSecond) return "";
  for (const host::UsbBusPipe& p : bus.Pipes())
    if ((p.type == UsbdPipeTypeIsochronous || p.type == UsbdPipeTypeBulk) && bus.PipeHalted(p.handle))
      return "the camera's stream failed: its streaming endpoint stalled and did not recover";
  return "";
}

void CameraSizeFor(const CameraOptions& options, uint32_t* width, uint32_t* height, std::string* subtype) {
  std::string error;
  std::unique_ptr<host::UsbDeviceModel> model = MakeCamera(options, &error);
  if (!model) return;
  ClockRateScope fast(StartClockRate(options));
  client::HostUsbCamera usb(std::move(model));
  if (!usb.BringUp().ok()) return;
  const auto table = nlohmann::json::parse(client::FormatsJson(*usb.Engine()), nullptr, false);
  if (!table.is_object() || !table["formats"].is_array()) return;
  for (const auto& f : table["formats"])
    if (f["outputWidth"] == *width && f["outputHeight"] == *height) {
      *width = f["inputWidth"].get<uint32_t>();
      *height = f["inputHeight"].get<uint32_t>();
      if (subtype) *subtype = f["inputSubtype"].get<std::string>();
      return;
    }
}

namespace {

// Whole JPEG frames of a play file with their sizes; false when the file is
// anything else (no frame, bytes outside the frames, a frame without a
// readable frame header).
bool ReadJpegFrames(const std::vector<uint8_t>& bytes, std::vector<std::pair<ULONG, ULONG>>* sizes) {
  size_t covered = 0;
  for (const std::vector<uint8_t>& f : camera::SplitJpegFrames(bytes)) {
    ULONG w = 0, h = 0;
    if (f.size() < 4 || f[f.size() - 2] != 0xFF || f.back() != 0xD9 ||
        !ReadMjpegFrameSize(f.data(), ULONG(f.size()), &w, &h))
      return false;
    sizes->emplace_back(w, h);
    covered += f.size();
  }
  return !sizes->empty() && covered == bytes.size();
}

}  // namespace

bool PlayFileFrameSize(const CameraOptions& options, uint32_t* width, uint32_t* height) {
  std::vector<uint8_t> bytes;
  std::vector<std::pair<ULONG, ULONG>> sizes;
  if (options.play.empty() || !camera::ReadWholeFile(options.play, &bytes, nullptr) || !ReadJpegFrames(bytes, &sizes))
    return false;
  *width = sizes[0].first, *height = sizes[0].second;
  return true;
}

bool CheckPlayFile(const CameraOptions& options, uint32_t width, uint32_t height, std::string* error) {
  if (options.play.empty()) return true;
  std::string subtype;
  CameraSizeFor(options, &width, &height, &subtype);
  std::vector<uint8_t> bytes;
  if (!camera::ReadWholeFile(options.play, &bytes, error)) return false;
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  const std::string file = "--play " + options.play + ": ";
  if (subtype == "MJPG") {
    std::vector<std::pair<ULONG, ULONG>> sizes;
    if (!ReadJpegFrames(bytes, &sizes)) {
      *error = file + "the file (" + std::to_string(bytes.size()) + " bytes) is not whole JPEG frames; the " + size +
               " MJPG stream needs JPEG frames of " + size + " one after the other";
      return false;
    }
    for (const auto& s : sizes)
      if (s.first != width || s.second != height) {
        *error = file + "it holds " + std::to_string(s.first) + "x" + std::to_string(s.second) +
                 " JPEG frames; the stream is " + size + " MJPG (--size picks another)";
        return false;
      }
    return true;
  }
  const size_t frame = size_t(width) * height * 2;
  if (frame == 0 || bytes.size() % frame != 0) {
    *error = file + "it holds " + std::to_string(bytes.size()) + " bytes, not a whole number of " + size + " " +
             subtype + " frames (" + std::to_string(frame) + " bytes each)";
    return false;
  }
  return true;
}

void DrainFrames(client::Pin* pin) {
  host::KsCompletedFrame f;
  while (pin->WaitFrame(0, &f)) {
  }
}

bool ParseFrameSize(const std::string& text, uint32_t* width, uint32_t* height) {
  const size_t x = text.find_first_of("xX");
  if (x == std::string::npos) return false;
  return ParseSide(text.substr(0, x), width) && ParseSide(text.substr(x + 1), height);
}

bool ParseSubtypeName(const std::string& text, GUID* subtype) {
  std::string upper;
  for (char c : text) upper += char(std::toupper(static_cast<unsigned char>(c)));
  const struct {
    const char* name;
    GUID guid;
  } kNames[] = {{"YUY2", kSubtypeYuy2}, {"UYVY", kSubtypeUyvy}, {"I420", kSubtypeI420},
                {"RGB24", kSubtypeRgb24}, {"MJPG", kSubtypeMjpg}};
  for (const auto& n : kNames)
    if (upper == n.name) {
      *subtype = n.guid;
      return true;
    }
  return false;
}

const KS_DATARANGE_VIDEO* ChooseRange(const std::vector<client::PinInfo>& pins, ULONG pinId,
                                      const RangeRequest& q, std::string* error) {
  const client::PinInfo* pin = nullptr;
  for (const client::PinInfo& p : pins)
    if (p.id == pinId) pin = &p;
  const char* pinName = pinId == 0 ? "capture" : "still";
  if (pin == nullptr || pin->ranges.empty()) {
    *error = std::string("the camera offers no ") + pinName + " formats";
    return nullptr;
  }
  bool offered = false;  // some range has the size and subtype, whatever the container
  for (const KS_DATARANGE_VIDEO& r : pin->ranges) {
    const bool sizeOk = (q.width == 0 || ULONG(r.VideoInfoHeader.bmiHeader.biWidth) == q.width) &&
                        (q.height == 0 || ULONG(r.VideoInfoHeader.bmiHeader.biHeight) == q.height);
    const bool subtypeOk = q.subtype == nullptr || IsEqualGUID(r.DataRange.SubFormat, *q.subtype);
    if (!sizeOk || !subtypeOk) continue;
    offered = true;
    if (q.container == nullptr || ContainerHolds(*q.container, r.DataRange.SubFormat)) return &r;
  }
  const std::string size = q.width != 0 ? std::to_string(q.width) + "x" + std::to_string(q.height) : "";
  const std::string subtype = q.subtype != nullptr ? client::SubtypeName(*q.subtype) : "";
  if (!offered) {
    const std::string what = size.empty() ? subtype : subtype.empty() ? size : size + " " + subtype;
    *error = "the camera offers no " + what + " " + pinName + " format (uvccam formats lists them)";
  } else if (q.subtype != nullptr) {
    *error = std::string("a ") + ContainerName(*q.container) + " file cannot hold " + subtype + " frames";
  } else {
    *error = std::string("no ") + pinName + " format" + (size.empty() ? "" : " of " + size) +
             " fits a " + ContainerName(*q.container) + " file";
  }
  return nullptr;
}

const KS_VIDEOINFOHEADER* VideoInfoOf(const std::vector<uint8_t>& format) {
  if (format.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) return nullptr;
  return &reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader;
}

ClockRateScope::ClockRateScope(double rate) : previous_(host::ClockRate()) { host::SetClockRate(rate); }
ClockRateScope::~ClockRateScope() { host::SetClockRate(previous_); }

double StreamingClockRate() { return g_streamingRate; }
void SetStreamingClockRate(double rate) { g_streamingRate = rate > 0 ? rate : 1.0; }

}  // namespace tools
