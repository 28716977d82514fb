// `uvccam capture`: runs the capture pin at a format the camera offers and
// writes the delivered frames in the container the output file's extension
// picks, with a per-frame time-stamp log and a summary at the end.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "client/usb_host_camera.h"
#include "public/uvccam_public.h"
#include "platform/host/host_control.h"
#include "tools/camera_session.h"
#include "tools/capture_options.h"
#include "tools/commands.h"
#include "tools/control_settings.h"
#include "tools/output_files.h"
#include "tools/overlay_art.h"

namespace tools {

const char kCaptureUsage[] =
    "capture options:\n"
    "  --size WxH          frame size (default: the first format the camera offers)\n"
    "  --subtype NAME      YUY2, UYVY, I420, RGB24 or MJPG (default: the first the\n"
    "                      output file can hold)\n"
    "  --frames N          stop after N frames (default 30)\n"
    "  --seconds S         stop after S seconds instead\n"
    "  --output FILE       .y4m (YUY2, UYVY, I420), .yuv or .raw (the delivered bytes),\n"
    "                      .mjpeg (MJPG); without it frames are counted, not kept\n"
    "  --timestamps FILE   one JSON object per delivered frame\n"
    "  --set NAME=VALUE    set a camera control before streaming; repeatable\n"
    "  --json              print the summary as one JSON object\n";

namespace {

constexpr int kQueuedBuffers = 3;

void CaptureUsage(FILE* out) {
  std::fprintf(out, "usage: uvccam capture [options]\n%s\n%s", kCaptureUsage, kCameraOptionsUsage);
}

int Fail(const std::string& error, int status = 1) { return CommandError("capture", error, status); }

struct Totals {
  uint64_t frames = 0;
  uint64_t dropped = 0;
  uint64_t discontinuities = 0;
  uint64_t firstDropCount = 0;
  uint64_t firstFrame100ns = 0;
  uint64_t lastFrame100ns = 0;
  double Fps() const {
    return frames < 2 || lastFrame100ns <= firstFrame100ns
               ? 0.0
               : double(frames - 1) * k100nsPerSecond / double(lastFrame100ns - firstFrame100ns);
  }
};

// Stderr progress, only on a terminal, at most a few times a second.
class Progress {
 public:
  Progress() : on_(isatty(STDERR_FILENO) == 1) {}
  void Update(const Totals& t, uint64_t now100ns) {
    if (!on_ || now100ns - shown_ < k100nsPerSecond / 4) return;
    shown_ = now100ns;
    std::fprintf(stderr, "\r%llu frames  %.1f fps  %llu dropped\033[K",
                 static_cast<unsigned long long>(t.frames), t.Fps(),
                 static_cast<unsigned long long>(t.dropped));
    std::fflush(stderr);
    drawn_ = true;
  }
  void Clear() {
    if (drawn_) std::fputs("\r\033[K", stderr);
    drawn_ = false;
  }

 private:
  bool on_;
  bool drawn_ = false;
  uint64_t shown_ = 0;
};

std::string TimestampLine(const host::KsCompletedFrame& f) {
  KS_FRAME_INFO info{};
  client::FrameInfoOf(f, &info);
  nlohmann::ordered_json j;
  j["pictureNumber"] = info.PictureNumber;
  j["dropCount"] = info.DropCount;
  j["presentationTime"] = f.header.PresentationTime.Time;
  j["duration"] = f.header.Duration;
  j["discontinuity"] = (f.header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0;
  j["dataUsed"] = f.header.DataUsed;
  return j.dump() + "\n";
}

// An overlay switched on by --set shows without `uvccam overlays` first: its
// art is drawn into the state folder at every capture size that lacks it.
bool ProvideSelectedOverlay(const CameraSession& session, const CameraOptions& camera,
                            std::string* error) {
  ControlInfo overlay;
  std::string absent;
  if (!GetControl(session.filter, "overlay", &overlay, &absent) || overlay.value <= 0) return true;
  std::vector<std::pair<uint32_t, uint32_t>> sizes;
  for (const client::PinInfo& pin : session.pins) {
    if (pin.id != kCapturePinId) continue;
    for (const KS_DATARANGE_VIDEO& r : pin.ranges) {
      const std::pair<uint32_t, uint32_t> size(uint32_t(r.VideoInfoHeader.bmiHeader.biWidth),
                                               uint32_t(r.VideoInfoHeader.bmiHeader.biHeight));
      if (std::find(sizes.begin(), sizes.end(), size) == sizes.end()) sizes.push_back(size);
    }
  }
  return ProvideOverlayArt(StateFolderOf(camera), uint32_t(overlay.value), sizes, error) >= 0;
}

}  // namespace

int ParseCaptureOptions(int argc, char** argv, CaptureRequest* q) {
  // --set is repeatable: take every one out before the common parser runs.
  std::vector<char*> rest;
  if (int rc = TakeRepeatedOption("capture", "--set", argc, argv, &q->sets, &rest)) return rc;
  for (const std::string& v : q->sets) {
    const size_t eq = v.find('=');
    if (eq == 0 || eq == std::string::npos || eq + 1 == v.size())
      return Fail("bad setting '" + v + "' (NAME=VALUE)", 2);
  }
  std::string size, subtype, frames, seconds;
  if (int rc = ParseCommandOptions("capture", int(rest.size()), rest.data(), &q->camera,
                                   {{"--json", &q->json}},
                                   {{"--size", &size}, {"--subtype", &subtype}, {"--frames", &frames},
                                    {"--seconds", &seconds}, {"--output", &q->output},
                                    {"--timestamps", &q->timestamps}},
                                   CaptureUsage))
    return rc;
  if (!size.empty() && !ParseFrameSize(size, &q->width, &q->height))
    return Fail("bad size '" + size + "' (WxH, e.g. 640x480)", 2);
  if (!subtype.empty()) {
    if (!ParseSubtypeName(subtype, &q->subtype))
      return Fail("unknown subtype '" + subtype + "' (YUY2, UYVY, I420, RGB24 or MJPG)", 2);
    q->hasSubtype = true;
  }
  if (!frames.empty() && !seconds.empty()) return Fail("--frames and --seconds exclude each other", 2);
  if (!frames.empty()) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long n = std::strtoull(frames.c_str(), &end, 10);
    if (frames[0] == '-' || *end || errno || n == 0 || n > 1000000000ull)
      return Fail("bad frame count '" + frames + "' (1 to 1000000000)", 2);
    q->frames = n;
  }
  if (!seconds.empty()) {
    char* end = nullptr;
    const double s = std::strtod(seconds.c_str(), &end);
    if (*end || !(s > 0) || s > 1e6) return Fail("bad duration '" + seconds + "' (seconds, above 0)", 2);
    q->frames = 0;
    q->seconds = s;
  }
  if (!q->output.empty() && !output_files::ContainerForPath(q->output, &q->container))
    return Fail("unknown output file type: " + q->output + " (use .y4m, .yuv, .raw or .mjpeg)", 2);
  return 0;
}

int CaptureCommand(int argc, char** argv) {
  CaptureRequest q;
  if (int rc = ParseCaptureOptions(argc, argv, &q)) return rc < 0 ? 0 : rc;

  std::string error;
  CameraSession session;
  if (!OpenCameraSession(q.camera, &session, &error)) return Fail(error);
  RangeRequest want;
  want.width = q.width;
  want.height = q.height;
  want.subtype = q.hasSubtype ? &q.subtype : nullptr;
  want.container = q.output.empty() ? nullptr : &q.container;
  const KS_DATARANGE_VIDEO* range = ChooseRange(session.pins, kCapturePinId, want, &error);
  if (range == nullptr) return Fail(error);
  const ULONG width = ULONG(range->VideoInfoHeader.bmiHeader.biWidth);
  const ULONG height = ULONG(range->VideoInfoHeader.bmiHeader.biHeight);
  const GUID subtype = range->DataRange.SubFormat;
  const std::string subtypeName = client::SubtypeName(subtype);

  std::vector<uint8_t> format;
  NTSTATUS s = session.filter->FormatFor(kCapturePinId, width, height, subtype, &format);
  const KS_VIDEOINFOHEADER* info = VideoInfoOf(format);
  if (!NT_SUCCESS(s) || info == nullptr)
    return Fail("the driver refused the " + std::to_string(width) + "x" + std::to_string(height) + " " +
                subtypeName + " format (status " + StatusText(s) + ")");
  const ULONG frameBytes = std::max<ULONG>(info->bmiHeader.biSizeImage, range->DataRange.SampleSize);
  const uint64_t interval = info->AvgTimePerFrame > 0 ? uint64_t(info->AvgTimePerFrame) : 333333;

  if (!ApplyControlSettings(session.filter, q.sets, &error)) return Fail(error);
  if (!ProvideSelectedOverlay(session, q.camera, &error)) return Fail(error);

  std::unique_ptr<output_files::VideoFileWriter> writer;
  if (!q.output.empty()) {
    output_files::VideoFormat vf;
    vf.width = width;
    vf.height = height;
    vf.subtype = subtype;
    vf.frameInterval = uint32_t(std::min<uint64_t>(interval, 0xFFFFFFFFu));
    writer = output_files::VideoFileWriter::Open(q.output, vf, &error);
    if (!writer) return Fail(error);
  }
  std::unique_ptr<FILE, int (*)(FILE*)> stamps(nullptr, fclose);
  if (!q.timestamps.empty()) {
    stamps.reset(std::fopen(q.timestamps.c_str(), "w"));
    if (!stamps) return Fail("cannot write " + q.timestamps + ": " + std::strerror(errno));
  }

  client::Pin* pin = nullptr;
  s = session.filter->CreatePin(kCapturePinId, format, &pin);
  if (!NT_SUCCESS(s)) return Fail("cannot connect the capture pin (status " + StatusText(s) + ")");

  // Stream on the host clock at its streaming rate (real time outside tests).
  ClockRateScope clock(StreamingClockRate());
  for (int i = 0; i < kQueuedBuffers; ++i) pin->QueueBuffer(frameBytes);
  const uint64_t start = host::ClockNow100ns();
  s = pin->SetState(KSSTATE_RUN);
  if (!NT_SUCCESS(s)) {
    pin->SetState(KSSTATE_STOP);
    return Fail("the capture pin did not run (status " + StatusText(s) + ")");
  }

  // The first frame may wait for the stream to open; later ones come each
  // frame interval. A camera silent for much longer has stopped.
  const uint64_t firstLimit = 10 * k100nsPerSecond;
  const uint64_t stallLimit = std::max<uint64_t>(5 * k100nsPerSecond, 10 * interval);
  const uint64_t secondsLimit = uint64_t(q.seconds * k100nsPerSecond);
  Totals t;
  Progress progress;
  uint64_t lastSeen = start;
  for (;;) {
    const uint64_t now = host::ClockNow100ns();
    if (q.frames != 0 && t.frames >= q.frames) break;
    if (q.frames == 0 && now - start >= secondsLimit) break;
    if (now - lastSeen > (t.frames == 0 ? firstLimit : stallLimit)) {
      error = "the camera stopped delivering frames (none for " +
              std::to_string((now - lastSeen) / k100nsPerSecond) + " s)";
      break;
    }
    host::KsCompletedFrame f;
    if (!pin->WaitFrame(20, &f)) continue;
    if (f.cancelled) continue;
    pin->QueueBuffer(frameBytes);
    if (f.header.DataUsed == 0 || f.data.empty()) continue;  // an empty completion: the driver counts it dropped
    const uint64_t at = host::ClockNow100ns();
    lastSeen = at;
    if (t.frames == 0) t.firstFrame100ns = at;
    t.lastFrame100ns = at;
    ++t.frames;
    // Dropped: the growth of the drop count from the first delivered frame,
    // so that ticks before the stream's first frame do not count.
    KS_FRAME_INFO fi;
    if (client::FrameInfoOf(f, &fi) && fi.DropCount >= 0) {
      if (t.frames == 1) t.firstDropCount = uint64_t(fi.DropCount);
      t.dropped = std::max(t.dropped, uint64_t(fi.DropCount) - std::min(t.firstDropCount, uint64_t(fi.DropCount)));
    }
    if (f.header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) ++t.discontinuities;
    if (writer && !writer->WriteFrame(f.data.data(), f.data.size(), &error)) break;
    if (stamps) {
      const std::string line = TimestampLine(f);
      if (std::fwrite(line.data(), 1, line.size(), stamps.get()) != line.size()) {
        error = "cannot write " + q.timestamps + ": " + std::strerror(errno);
        break;
      }
    }
    progress.Update(t, at);
  }
  const double seconds = double(host::ClockNow100ns() - start) / k100nsPerSecond;
  progress.Clear();
  pin->SetState(KSSTATE_STOP);
  DrainFrames(pin);
  session.filter->ClosePin(pin);

  std::string closeError;
  if (writer && !writer->Close(&closeError) && error.empty()) error = closeError;
  if (stamps && std::fclose(stamps.release()) != 0 && error.empty())
    error = "cannot write " + q.timestamps + ": " + std::strerror(errno);

  if (q.json) {
    nlohmann::ordered_json j;
    j["frames"] = t.frames;
    j["dropped"] = t.dropped;
    j["discontinuities"] = t.discontinuities;
    j["width"] = width;
    j["height"] = height;
    j["subtype"] = subtypeName;
    j["fps"] = std::round(t.Fps() * 100) / 100;
    j["seconds"] = std::round(seconds * 1000) / 1000;
    std::printf("%s\n", j.dump().c_str());
  } else {
    std::printf("%llu frames %lux%lu %s in %.2f s (%.1f fps), %llu dropped, %llu %s%s%s\n",
                static_cast<unsigned long long>(t.frames), static_cast<unsigned long>(width),
                static_cast<unsigned long>(height), subtypeName.c_str(), seconds, t.Fps(),
                static_cast<unsigned long long>(t.dropped),
                static_cast<unsigned long long>(t.discontinuities),
                t.discontinuities == 1 ? "discontinuity" : "discontinuities",
                q.output.empty() ? "" : " -> ", q.output.c_str());
  }
  std::fflush(stdout);
  return error.empty() ? 0 : Fail(error);
}

}  // namespace tools
