// `uvccam capture`: runs the capture pin at a format the camera offers and
// writes the delivered frames in the container the output file's extension
// picks, with a per-frame time-stamp log and a summary at the end.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
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
#include "tools/stop_signals.h"

namespace tools {

namespace {

const char kCaptureUsage[] =
    "capture options:\n"
    "  --size WxH          frame size (default: the first format the camera offers)\n"
    "  --subtype NAME      YUY2, UYVY, I420, RGB24 or MJPG (default: the first the\n"
    "                      output file can hold)\n"
    "  --fps N             frame rate, within what the format offers (default: the\n"
    "                      camera's own rate for the size)\n"
    "  --frames N          stop after N frames; 0: until stopped (Ctrl-C)\n"
    "  --seconds S         stop S seconds after the first frame instead\n"
    "                      (default: 30 frames, or until stopped with --output)\n"
    "  --output FILE       .y4m (YUY2, UYVY, I420), .yuv or .raw (the delivered bytes),\n"
    "                      .mjpeg (MJPG); - for standard output (y4m, MJPEG for MJPG;\n"
    "                      the summary then goes to standard error); without it frames\n"
    "                      are counted, not kept\n"
    "  --timestamps FILE   one JSON object per delivered frame\n"
    "  --set NAME=VALUE    set a camera control before streaming; repeatable\n"
    "  --json              print the summary as one JSON object\n"
    "Ctrl-C or SIGTERM stops the capture as --frames would: whole frames, the summary\n"
    "and status 0; a second one ends it at once.\n";

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
  double seconds = 0;  // from RUN to the end
  double Fps() const {
    return frames < 2 || lastFrame100ns <= firstFrame100ns
               ? 0.0
               : double(frames - 1) * k100nsPerSecond / double(lastFrame100ns - firstFrame100ns);
  }
};

std::string FramesText(uint64_t n) { return std::to_string(n) + (n == 1 ? " frame" : " frames"); }

// "30.0 fps" and `tail`, or nothing before a rate can be measured (two frames).
std::string FpsText(const Totals& t, const char* tail) {
  if (t.frames < 2 || t.lastFrame100ns <= t.firstFrame100ns) return "";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f fps%s", t.Fps(), tail);
  return text;
}

// Stderr progress, only on a terminal, at most a few times a second.
class Progress {
 public:
  Progress() : on_(isatty(STDERR_FILENO) == 1) {}
  void Update(const Totals& t, uint64_t now100ns) {
    if (!on_ || now100ns - shown_ < k100nsPerSecond / 4) return;
    shown_ = now100ns;
    std::fprintf(stderr, "\r%s  %s%llu dropped\033[K", FramesText(t.frames).c_str(), FpsText(t, "  ").c_str(),
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

// An overlay switched on (by --set or a kept value) shows without
// `uvccam overlays` first: its art is drawn into the state folder for the
// size the camera sends for this capture (the effect chain runs at it),
// where the folder lacks it. A bitmap there that the driver cannot use is
// reported once, and the capture goes on without the overlay.
bool ProvideSelectedOverlay(const CameraSession& session, const CameraOptions& camera, uint32_t width,
                            uint32_t height, std::string* error) {
  ControlInfo overlay;
  std::string absent;
  if (!GetControl(session.filter, "overlay", &overlay, &absent) || overlay.value <= 0) return true;
  CameraSizeFor(camera, &width, &height);
  const std::string folder = StateFolderOf(camera);
  const uint32_t mode = uint32_t(overlay.value);
  if (ProvideOverlayArt(folder, mode, {{width, height}}, error) < 0) return false;
  std::string why;
  const std::string path = folder + "/" + OverlayFileStem(mode, width, height);
  if (OverlayBitmapUsable(path, width, height, &why)) return true;
  std::fprintf(stderr, "uvccam capture: warning: the overlay bitmap %s cannot be used (%s); capturing without it\n",
               path.c_str(), why.c_str());
  return ApplyControlSettings(session.filter, {"overlay=0"}, error);
}

// Takes frames off the running pin until the request is met, a stop signal
// arrives or the camera fails; returns the error that ended it, or "".
std::string Stream(const CaptureRequest& q, CameraSession& session, client::Pin* pin, ULONG frameBytes,
                   uint64_t interval, output_files::VideoFileWriter* writer, FILE* stamps, Totals* t) {
  // The first frame may wait for the stream to open; later ones come each
  // frame interval. A camera silent for much longer has stopped.
  const uint64_t firstLimit = 10 * k100nsPerSecond;
  uint64_t stallLimit = 0, lastDue = 0;
  // --seconds counts from the first frame: the frames due within the span
  // are kept (a frame counts from half an interval before it is due).
  const uint64_t span = uint64_t(q.seconds * k100nsPerSecond);
  auto setInterval = [&](uint64_t i) {
    interval = i;
    stallLimit = std::max<uint64_t>(5 * k100nsPerSecond, 10 * interval);
    lastDue = span > interval / 2 ? span - interval / 2 : 0;
  };
  setInterval(interval);
  Progress progress;
  uint64_t lastSeen = host::ClockNow100ns();
  std::string error;
  for (;;) {
    if (StopSignalScope::Requested() != 0) break;
    if (q.frames != 0 && t->frames >= q.frames) break;
    const uint64_t now = host::ClockNow100ns();
    if (span != 0 && t->frames != 0 && now - t->firstFrame100ns >= span) break;
    error = StreamFailure(session, now - lastSeen);
    if (!error.empty()) break;
    if (now - lastSeen > (t->frames == 0 ? firstLimit : stallLimit)) {
      error = "the camera stopped delivering frames (none for " +
              std::to_string((now - lastSeen) / k100nsPerSecond) + " s)";
      break;
    }
    host::KsCompletedFrame f;
    if (!pin->WaitFrame(20, &f) || f.cancelled) continue;
    pin->QueueBuffer(frameBytes);
    if (f.header.DataUsed == 0 || f.data.empty()) continue;  // an empty completion: the driver counts it dropped
    const uint64_t at = host::ClockNow100ns();
    lastSeen = at;
    // The frames run at the interval the camera accepted: their duration.
    if (t->frames == 0 && f.header.Duration > 0 && f.header.Duration <= 0xFFFFFFFF) {
      setInterval(uint64_t(f.header.Duration));
      if (writer) writer->SetFrameInterval(uint32_t(f.header.Duration));
    }
    if (span != 0 && t->frames != 0 && at - t->firstFrame100ns > lastDue) break;
    if (writer && !writer->WriteFrame(f.data.data(), f.data.size(), &error)) break;
    // Controls that act only on a running stream, once it runs.
    if (t->frames == 0 && !ApplyControlSettings(session.filter, session.whileStreaming, &error)) break;
    // Counted once it is in the file.
    if (t->frames == 0) t->firstFrame100ns = at;
    t->lastFrame100ns = at;
    ++t->frames;
    // Dropped: the growth of the drop count from the first delivered frame,
    // so that ticks before the stream's first frame do not count.
    KS_FRAME_INFO fi;
    if (client::FrameInfoOf(f, &fi) && fi.DropCount >= 0) {
      if (t->frames == 1) t->firstDropCount = uint64_t(fi.DropCount);
      t->dropped = std::max(t->dropped, uint64_t(fi.DropCount) - std::min(t->firstDropCount, uint64_t(fi.DropCount)));
    }
    if (f.header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) ++t->discontinuities;
    if (stamps) {
      const std::string line = TimestampLine(f);
      if (!output_files::AppendWhole(stamps, line.data(), line.size())) {
        error = "cannot write " + q.timestamps + ": " + std::strerror(errno);
        break;
      }
    }
    progress.Update(*t, at);
  }
  progress.Clear();
  return error;
}

// The summary line (or object) on standard output, or on standard error
// when the frames go to standard output.
void PrintSummary(const CaptureRequest& q, const Totals& t, ULONG width, ULONG height, const std::string& subtype) {
  FILE* out = q.output == "-" ? stderr : stdout;
  const bool written = !q.output.empty() && (t.frames != 0 || q.output == "-");
  if (q.json) {
    nlohmann::ordered_json j;
    j["frames"] = t.frames;
    j["dropped"] = t.dropped;
    j["discontinuities"] = t.discontinuities;
    j["width"] = width;
    j["height"] = height;
    j["subtype"] = subtype;
    if (FpsText(t, "").empty()) {
      j["fps"] = nullptr;
    } else {
      j["fps"] = std::round(t.Fps() * 100) / 100;
    }
    j["seconds"] = std::round(t.seconds * 1000) / 1000;
    std::fprintf(out, "%s\n", j.dump().c_str());
  } else {
    const std::string fps = FpsText(t, "");
    std::fprintf(out, "%s %lux%lu %s in %.2f s%s, %llu dropped, %llu %s%s%s\n", FramesText(t.frames).c_str(),
                 static_cast<unsigned long>(width), static_cast<unsigned long>(height), subtype.c_str(), t.seconds,
                 fps.empty() ? "" : (" (" + fps + ")").c_str(), static_cast<unsigned long long>(t.dropped),
                 static_cast<unsigned long long>(t.discontinuities),
                 t.discontinuities == 1 ? "discontinuity" : "discontinuities", written ? " -> " : "",
                 !written ? "" : q.output == "-" ? "standard output" : q.output.c_str());
  }
  std::fflush(out);
}

}  // namespace

int ParseCaptureOptions(int argc, char** argv, CaptureRequest* q) {
  std::string size, subtype, frames, seconds, fps;
  if (int rc = ParseCommandOptions("capture", argc, argv, &q->camera,
                                   {Flag("--json", &q->json), Value("--size", &size), Value("--subtype", &subtype),
                                    Value("--fps", &fps),
                                    Value("--frames", &frames), Value("--seconds", &seconds),
                                    Value("--output", &q->output), Value("--timestamps", &q->timestamps),
                                    Repeated("--set", &q->sets)},
                                   CaptureUsage))
    return rc;
  for (const std::string& v : q->sets) {
    const size_t eq = v.find('=');
    if (eq == 0 || eq == std::string::npos || eq + 1 == v.size())
      return Fail("bad setting '" + v + "' (NAME=VALUE)", 2);
  }
  if (!size.empty() && !ParseFrameSize(size, &q->width, &q->height))
    return Fail("bad size '" + size + "' (WxH, e.g. 640x480)", 2);
  if (!subtype.empty()) {
    if (!ParseSubtypeName(subtype, &q->subtype))
      return Fail("unknown subtype '" + subtype + "' (YUY2, UYVY, I420, RGB24 or MJPG)", 2);
    q->hasSubtype = true;
  }
  if (!fps.empty()) {
    char* end = nullptr;
    q->fps = std::strtod(fps.c_str(), &end);
    if (*end || !(q->fps >= 0.1) || q->fps > 1000) return Fail("bad frame rate '" + fps + "' (0.1 to 1000)", 2);
  }
  if (!frames.empty() && !seconds.empty()) return Fail("--frames and --seconds exclude each other", 2);
  // Without a limit, a capture into a file runs until it is stopped.
  q->frames = q->output.empty() ? 30 : 0;
  if (!frames.empty()) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long n = std::strtoull(frames.c_str(), &end, 10);
    if (frames[0] == '-' || *end || errno || n > 1000000000ull)
      return Fail("bad frame count '" + frames + "' (0 to 1000000000; 0: until stopped)", 2);
    q->frames = n;
  }
  if (!seconds.empty()) {
    char* end = nullptr;
    const double s = std::strtod(seconds.c_str(), &end);
    if (*end || !(s > 0) || s > 1e6) return Fail("bad duration '" + seconds + "' (seconds, above 0)", 2);
    q->frames = 0;
    q->seconds = s;
  }
  if (q->output == "-") {
    q->container = output_files::ContainerForStdout(q->hasSubtype ? &q->subtype : nullptr);
  } else if (!q->output.empty() && !output_files::ContainerForPath(q->output, &q->container)) {
    return Fail("unknown output file type: " + q->output + " (use .y4m, .yuv, .raw, .mjpeg or -)", 2);
  }
  return 0;
}

int CaptureCommand(int argc, char** argv) {
  CaptureRequest q;
  if (int rc = ParseCaptureOptions(argc, argv, &q)) return rc < 0 ? 0 : rc;

  std::string error;
  CameraSession session;
  if (!OpenCameraSession("capture", q.camera, &session, &error)) return Fail(error);
  RangeRequest want;
  want.width = q.width;
  want.height = q.height;
  // A play file of JPEG frames picks its own size when the camera offers it.
  uint32_t playW = 0, playH = 0;
  if (q.width == 0 && PlayFileFrameSize(q.camera, &playW, &playH)) {
    RangeRequest own = want;
    own.width = playW, own.height = playH;
    own.subtype = q.hasSubtype ? &q.subtype : nullptr;
    own.container = q.output.empty() ? nullptr : &q.container;
    std::string ignored;
    if (ChooseRange(session.pins, kCapturePinId, own, &ignored) != nullptr) want = own;
  }
  want.subtype = q.hasSubtype ? &q.subtype : nullptr;
  want.container = q.output.empty() ? nullptr : &q.container;
  const KS_DATARANGE_VIDEO* range = ChooseRange(session.pins, kCapturePinId, want, &error);
  if (range == nullptr) return Fail(error);
  const ULONG width = ULONG(range->VideoInfoHeader.bmiHeader.biWidth);
  const ULONG height = ULONG(range->VideoInfoHeader.bmiHeader.biHeight);
  const GUID subtype = range->DataRange.SubFormat;
  const std::string subtypeName = client::SubtypeName(subtype);
  if (!CheckPlayFile(q.camera, width, height, &error)) return Fail(error);

  std::vector<uint8_t> format;
  NTSTATUS s = session.filter->FormatFor(kCapturePinId, width, height, subtype, &format);
  const KS_VIDEOINFOHEADER* info = VideoInfoOf(format);
  if (!NT_SUCCESS(s) || info == nullptr)
    return Fail("the driver refused the " + std::to_string(width) + "x" + std::to_string(height) + " " +
                subtypeName + " format (status " + StatusText(s) + ")");
  const ULONG frameBytes = std::max<ULONG>(info->bmiHeader.biSizeImage, range->DataRange.SampleSize);
  // The frame rate: the range's own (the camera's default for the size)
  // unless --fps picks one of the intervals the range offers; the camera
  // may settle on a near one, which the frames' duration then carries.
  if (q.fps > 0) {
    const LONGLONG fastest = range->ConfigCaps.MinFrameInterval, slowest = range->ConfigCaps.MaxFrameInterval;
    const LONGLONG wanted = std::llround(double(k100nsPerSecond) / q.fps);
    if (wanted < fastest || wanted > slowest) {
      char rates[64];
      const double most = double(k100nsPerSecond) / double(fastest), least = double(k100nsPerSecond) / double(slowest);
      if (fastest == slowest)
        std::snprintf(rates, sizeof rates, "only %.4g fps", most);
      else
        std::snprintf(rates, sizeof rates, "%.4g to %.4g fps", least, most);
      char text[192];
      std::snprintf(text, sizeof text, "--fps %g is not a rate the %lux%lu %s format offers (%s)", q.fps,
                    static_cast<unsigned long>(width), static_cast<unsigned long>(height), subtypeName.c_str(), rates);
      return Fail(text);
    }
    reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.AvgTimePerFrame = wanted;
  }
  const uint64_t interval = info->AvgTimePerFrame > 0 ? uint64_t(info->AvgTimePerFrame) : 333333;

  if (!ApplyControlSettings(session.filter, q.sets, &error, nullptr, &session.whileStreaming)) return Fail(error);
  if (!ProvideSelectedOverlay(session, q.camera, width, height, &error)) return Fail(error);

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
    if (!stamps) {
      if (writer) writer->Discard();
      return Fail("cannot write " + q.timestamps + ": " + std::strerror(errno));
    }
  }

  auto discard = [&] {
    if (writer) writer->Discard();
    if (stamps) std::fclose(stamps.release()), std::remove(q.timestamps.c_str());
  };
  client::Pin* pin = nullptr;
  s = session.filter->CreatePin(kCapturePinId, format, &pin);
  if (!NT_SUCCESS(s)) {
    discard();
    return Fail("cannot connect the capture pin (status " + StatusText(s) + ")");
  }
  Totals t;
  const uint64_t start = host::ClockNow100ns();
  {
    // Stream on the host clock at its streaming rate (real time outside
    // tests); Ctrl-C and SIGTERM end the loop between frames.
    ClockRateScope clock(StreamingClockRate());
    StopSignalScope signals;
    for (int i = 0; i < kQueuedBuffers; ++i) pin->QueueBuffer(frameBytes);
    s = pin->SetState(KSSTATE_RUN);
    if (NT_SUCCESS(s)) error = Stream(q, session, pin, frameBytes, interval, writer.get(), stamps.get(), &t);
    t.seconds = double(host::ClockNow100ns() - start) / k100nsPerSecond;
    pin->SetState(KSSTATE_STOP);
    DrainFrames(pin);
    session.filter->ClosePin(pin);
  }
  if (!NT_SUCCESS(s)) {
    discard();
    return Fail("the capture pin did not run (status " + StatusText(s) + ")");
  }

  std::string closeError;
  if (writer && !writer->Close(&closeError) && error.empty()) error = closeError;
  if (stamps && std::fclose(stamps.release()) != 0 && error.empty())
    error = "cannot write " + q.timestamps + ": " + std::strerror(errno);
  // No file is left that holds no frame.
  if (t.frames == 0) {
    if (writer) writer->Discard();
    if (!q.timestamps.empty()) std::remove(q.timestamps.c_str());
  }
  PrintSummary(q, t, width, height, subtypeName);
  return error.empty() ? 0 : Fail(error);
}

}  // namespace tools
