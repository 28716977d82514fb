#include "tools/camera_session.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "client/usb_host_camera.h"
#include "platform/host/host_control.h"
#include "media/frame_format.h"

namespace tools {

namespace {

// The simulated camera needs no settling time: the driver's start-up and
// shut-down delays run on a fast host clock.
constexpr double kStartClockRate = 100.0;

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
  ClockRateScope fast(kStartClockRate);
  camera->Stop();
  camera.reset();
}

bool OpenCameraSession(const CameraOptions& options, CameraSession* session, std::string* error) {
  if (!UseStateFolder(options, error)) return false;
  std::unique_ptr<host::UsbDeviceModel> model = MakeCamera(options, error);
  if (!model) {
    if (error->empty()) *error = "no camera";
    return false;
  }
  session->simulated = dynamic_cast<camera::SimulatedCamera*>(model.get());
  ClockRateScope fast(kStartClockRate);
  NTSTATUS s = client::Camera::Plug(std::move(model), &session->camera);
  if (!NT_SUCCESS(s)) {
    session->simulated = nullptr;
    *error = "the driver could not add the camera (status " + StatusText(s) + ")";
    return false;
  }
  s = session->camera->Start();
  if (!NT_SUCCESS(s)) {
    *error = "the camera did not start (status " + StatusText(s) + "); uvccam formats shows why";
    return false;
  }
  s = session->camera->OpenFilter(&session->filter);
  if (!NT_SUCCESS(s)) {
    *error = "cannot open the camera's filter (status " + StatusText(s) + ")";
    return false;
  }
  session->pins = session->filter->Pins();
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
