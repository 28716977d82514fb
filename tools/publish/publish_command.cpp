// `uvccam publish`: runs the driver on the camera and offers its capture
// pin as a PipeWire camera until SIGINT or SIGTERM. The camera streams only
// while a consumer pulls frames.
#include <signal.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/host/usb_device_model.h"
#include "tools/camera_session.h"
#include "tools/commands.h"
#include "tools/control_settings.h"
#include "tools/publish/camera_feed.h"
#include "tools/publish/live_server.h"
#include "tools/publish/pipewire_camera.h"

namespace tools {

namespace {

void PublishUsage(FILE* out) {
  std::fprintf(out,
               "usage: uvccam publish [camera options] [options]\n"
               "  offers the camera's capture formats as a PipeWire camera (a Video/Source\n"
               "  node) until interrupted; the camera streams only while an application\n"
               "  reads from it.\n"
               "publish options:\n"
               "  --size WxH          offer this frame size only\n"
               "  --subtype NAME      offer this subtype only: YUY2, UYVY, I420, RGB24 or MJPG\n"
               "  --fps N             offer this frame rate only (1 to 1000)\n"
               "  --name NAME         the node's name (default uvccam): letters, digits,\n"
               "                      '.', '_' or '-', at most 64\n"
               "  --set NAME=VALUE    set a camera control first; repeatable\n"
               "While it runs, uvccam controls with the same camera options (or --node\n"
               "NAME) changes the live stream through $XDG_RUNTIME_DIR/uvccam/.\n"
               "\n%s",
               kCameraOptionsUsage);
}

int Fail(const std::string& error, int status = 1) { return CommandError("publish", error, status); }

bool ValidNodeName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') return false;
  return true;
}

// The product string of the camera's device descriptor, as the camera
// answers a string request; empty when it has none.
std::string ProductName(host::UsbDeviceModel* model) {
  if (model == nullptr) return "";
  const std::vector<uint8_t>& dev = model->DeviceDescriptor();
  if (dev.size() < 18 || dev[15] == 0) return "";
  uint8_t data[255] = {};
  const host::UsbSetupPacket setup{0x80, 6, uint16_t(0x0300 | dev[15]), 0x0409, sizeof data};
  const host::UsbControlResult r = model->Control(setup, data);
  if (r.stalled || r.length < 2) return "";
  std::string name;
  for (uint32_t i = 2; i + 1 < std::min<uint32_t>(r.length, data[0]); i += 2) {
    const unsigned c = data[i] | data[i + 1] << 8;
    name += c >= 0x20 && c < 0x7F ? char(c) : '?';
  }
  return name;
}

struct PublishRequest {
  CameraOptions camera;
  publish::Request offer;
  GUID subtype{};
  std::string name = "uvccam";
  std::vector<std::string> sets;
};

int ParsePublishOptions(int argc, char** argv, PublishRequest* q) {
  std::string size, subtype, fps, name;
  if (int rc = ParseCommandOptions("publish", argc, argv, &q->camera,
                                   {Repeated("--set", &q->sets), Value("--size", &size),
                                    Value("--subtype", &subtype), Value("--fps", &fps), Value("--name", &name)},
                                   PublishUsage))
    return rc;
  for (const std::string& v : q->sets) {
    const size_t eq = v.find('=');
    if (eq == 0 || eq == std::string::npos || eq + 1 == v.size())
      return Fail("bad setting '" + v + "' (NAME=VALUE)", 2);
  }
  if (!size.empty() && !ParseFrameSize(size, &q->offer.width, &q->offer.height))
    return Fail("bad size '" + size + "' (WxH, e.g. 640x480)", 2);
  if (!subtype.empty()) {
    if (!ParseSubtypeName(subtype, &q->subtype))
      return Fail("unknown subtype '" + subtype + "' (YUY2, UYVY, I420, RGB24 or MJPG)", 2);
    q->offer.subtype = &q->subtype;
  }
  if (!fps.empty()) {
    char* end = nullptr;
    errno = 0;
    const unsigned long n = std::strtoul(fps.c_str(), &end, 10);
    if (!std::isdigit(static_cast<unsigned char>(fps[0])) || *end || errno || n == 0 || n > 1000)
      return Fail("bad frame rate '" + fps + "' (1 to 1000)", 2);
    q->offer.fps = uint32_t(n);
  }
  if (!name.empty()) {
    if (!ValidNodeName(name))
      return Fail("bad node name '" + name + "' (letters, digits, '.', '_', '-'; at most 64)", 2);
    q->name = name;
  }
  return 0;
}

}  // namespace

int PublishCommand(int argc, char** argv) {
  PublishRequest q;
  if (int rc = ParsePublishOptions(argc, argv, &q)) return rc < 0 ? 0 : rc;

  // SIGINT and SIGTERM are taken by this thread alone: every thread started
  // from here on inherits the blocked mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  std::string error, note;
  // The camera's lock and live socket come first: a second publisher of
  // the same camera stops here, before it touches the camera.
  publish::LiveServer live;
  if (!live.Open(q.camera, q.name, &error, &note)) return Fail(error);
  if (!note.empty()) std::fprintf(stderr, "uvccam publish: %s\n", note.c_str());
  CameraSession session;
  if (!OpenCameraSession("publish", q.camera, &session, &error)) return Fail(error);
  const std::vector<publish::Offer> offers = publish::OffersFor(session.pins, q.offer, &error);
  if (offers.empty()) return Fail(error);
  if (!ApplyControlSettings(session.filter, q.sets, &error)) return Fail(error);

  publish::NodeSettings settings;
  settings.name = q.name;
  const std::string product = ProductName(session.camera->Model());
  settings.description = product.empty() ? "uvccam camera" : product;
  settings.offers = offers;
  settings.fps = q.offer.fps;

  std::atomic<bool> failed{false};
  publish::PipeWireCamera node;
  publish::CameraFeed feed(session.filter, offers, &node);
  publish::NodeEvents events;
  events.format = [&feed](int index, int64_t interval) { feed.SetFormat(index, interval); };
  events.streaming = [&feed](bool on) { feed.SetStreaming(on); };
  events.failed = [&failed](const std::string& why) {
    std::fprintf(stderr, "uvccam publish: PipeWire: %s\n", why.c_str());
    failed = true;
  };
  feed.Start();
  if (!node.Start(settings, events, &error)) {
    node.Stop();
    feed.Stop();
    return Fail(error);
  }
  live.Serve(session.filter);
  std::printf("published \"%s\" as PipeWire node %s with %zu formats; stop with Ctrl-C\n",
              settings.description.c_str(), settings.name.c_str(), offers.size());
  std::fflush(stdout);

  int signal = 0;
  while (!failed) {
    const timespec tick{0, 200 * 1000 * 1000};
    signal = sigtimedwait(&stopSignals, nullptr, &tick);
    if (signal == SIGINT || signal == SIGTERM) break;
  }
  // Node first, so no consumer waits on a camera that is going away.
  live.Stop();
  node.Stop();
  feed.Stop();
  std::printf("stopped: %llu frames sent, %llu dropped\n", static_cast<unsigned long long>(node.Sent()),
              static_cast<unsigned long long>(node.Dropped()));
  std::fflush(stdout);
  return failed ? 1 : 0;
}

}  // namespace tools
