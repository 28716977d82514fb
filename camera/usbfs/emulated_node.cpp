// A simulated camera behind an emulated usbfs node. See emulated_node.h.
#include "camera/usbfs/emulated_node.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/host/host_control.h"

namespace camera {

namespace {

constexpr uint8_t kVideoClass = 0x0E;

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    out += two;
  }
  return out;
}

// A root hub's descriptors: hub class, one interface, one interrupt endpoint.
std::vector<uint8_t> HubDescriptors() {
  return {18, 1, 0x00, 0x02, 9, 0, 1, 64, 0x6b, 0x1d, 0x02, 0x00, 0x00, 0x01, 0, 0, 0, 1,
          9,  2, 25,   0,    1, 1, 0, 0xE0, 0,
          9,  4, 0,    0,    1, 9, 0, 0, 0,
          7,  5, 0x81, 3,    4, 0, 12};
}

// Interface numbers of the video interfaces in a configuration descriptor.
std::set<uint8_t> VideoInterfaces(const std::vector<uint8_t>& c) {
  std::set<uint8_t> out;
  for (size_t off = 0; off + 2 <= c.size() && c[off] >= 2; off += c[off])
    if (c[off + 1] == 4 && off + 9 <= c.size() && c[off + 5] == kVideoClass) out.insert(c[off + 2]);
  return out;
}

struct Urb {
  UMockdevIoctlData* data = nullptr;  // the URB as the client sees it (with its packet table)
  usbdevfs_urb* urb = nullptr;        // local view of `data`
  uint8_t* buffer = nullptr;          // local view of the URB's buffer
  uint64_t dueFrame = 0;              // isochronous: the (micro)frame after its last packet
  uint64_t firstFrame = 0;
  bool done = false;
};

}  // namespace

struct EmulatedUsbNode::Impl {
  std::unique_ptr<host::UsbDeviceModel> model;
  EmulatedNodeOptions options;
  UMockdevTestbed* testbed = nullptr;
  UMockdevIoctlBase* handler = nullptr;
  std::string node;
  std::set<uint8_t> video;

  mutable std::mutex lock;
  std::deque<Urb> urbs;  // submitted, not reaped, in submission order
  std::map<uint8_t, uint64_t> nextFrame;  // per isochronous endpoint
  std::map<uint8_t, uint64_t> lastPoll;   // per bulk / interrupt endpoint
  std::set<unsigned> claimed;
  bool driverBound = false;
  bool unplugged = false;
  uint64_t discarded = 0;
  uint64_t reaped = 0;

  uint64_t FrameLength() const { return model->HighSpeed() ? 1250 : 10000; }
  uint64_t NowFrame() const { return host::ClockNow100ns() / FrameLength(); }

  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* impl = static_cast<Impl*>(self);
    int error = 0;
    long result = impl->Handle(client, &error);
    umockdev_ioctl_client_complete(client, result, error);
    return TRUE;
  }

  // Drops the reference a resolve handed out; the parent keeps the block
  // (and syncs it back to the client) until the request completes.
  static void Release(UMockdevIoctlData* d) {
    if (d) g_object_unref(d);
  }

  // Resolves `len` bytes at the pointer stored at `offset` of `data`.
  static UMockdevIoctlData* Resolve(UMockdevIoctlData* data, size_t offset, size_t len) {
    GError* error = nullptr;
    UMockdevIoctlData* out = umockdev_ioctl_data_resolve(data, offset, len, &error);
    if (error) g_error_free(error);
    return out;
  }

  template <typename T>
  static T* Arg(UMockdevIoctlClient* client) {
    UMockdevIoctlData* d = Resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(T));
    Release(d);
    return d && size_t(d->data_len) >= sizeof(T) ? reinterpret_cast<T*>(d->data) : nullptr;
  }

  long Fail(int* error, int code) {
    *error = code;
    return -1;
  }

  long Handle(UMockdevIoctlClient* client, int* error) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    std::lock_guard<std::mutex> guard(lock);
    if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) return Reap(client, error);
    if (request == USBDEVFS_DISCARDURB) {
      auto address = *reinterpret_cast<unsigned long*>(umockdev_ioctl_client_get_arg(client)->data);
      for (Urb& u : urbs)
        if (!u.done && u.data->client_addr == address) {
          Finish(u, -ENOENT);
          ++discarded;
          return 0;
        }
      return Fail(error, EINVAL);
    }
    if (request == USBDEVFS_GET_CAPABILITIES) {
      auto* caps = Arg<uint32_t>(client);
      if (!caps) return Fail(error, EFAULT);
      *caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
      return 0;
    }
    if (request == USBDEVFS_GETDRIVER) {
      auto* g = Arg<usbdevfs_getdriver>(client);
      if (!g) return Fail(error, EFAULT);
      const char* name = claimed.count(g->interface)                          ? "usbfs"
                         : driverBound && video.count(uint8_t(g->interface)) ? options.kernelDriver.c_str()
                                                                              : nullptr;
      if (!name) return Fail(error, ENODATA);
      std::snprintf(g->driver, sizeof g->driver, "%s", name);
      return 0;
    }
    if (unplugged) return Fail(error, ENODEV);
    switch (request) {
      case USBDEVFS_SUBMITURB:
        return Submit(client, error);
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_RELEASEINTERFACE: {
        auto* n = Arg<unsigned>(client);
        if (!n) return Fail(error, EFAULT);
        if (request == USBDEVFS_RELEASEINTERFACE) return claimed.erase(*n) ? 0 : Fail(error, EINVAL);
        if (driverBound && video.count(uint8_t(*n))) return Fail(error, EBUSY);
        claimed.insert(*n);
        return 0;
      }
      case USBDEVFS_DISCONNECT_CLAIM: {
        auto* d = Arg<usbdevfs_disconnect_claim>(client);
        if (!d) return Fail(error, EFAULT);
        if (video.count(uint8_t(d->interface))) driverBound = false;
        claimed.insert(d->interface);
        return 0;
      }
      case USBDEVFS_IOCTL: {
        auto* c = Arg<usbdevfs_ioctl>(client);
        if (!c) return Fail(error, EFAULT);
        if (c->ioctl_code == int(USBDEVFS_DISCONNECT)) {
          if (!driverBound || !video.count(uint8_t(c->ifno))) return Fail(error, ENODATA);
          driverBound = false;
          return 0;
        }
        if (c->ioctl_code == int(USBDEVFS_CONNECT)) {
          if (claimed.count(unsigned(c->ifno))) return Fail(error, EBUSY);
          if (!options.kernelDriver.empty()) driverBound = true;
          return 0;
        }
        return Fail(error, ENOTTY);
      }
      case USBDEVFS_SETINTERFACE: {
        auto* s = Arg<usbdevfs_setinterface>(client);
        if (!s) return Fail(error, EFAULT);
        if (!claimed.count(s->interface)) return Fail(error, EINVAL);
        model->InterfaceSelected(uint8_t(s->interface), uint8_t(s->altsetting));
        return 0;
      }
      case USBDEVFS_SETCONFIGURATION: {
        auto* v = Arg<unsigned>(client);
        if (!v) return Fail(error, EFAULT);
        model->ConfigurationSelected(uint8_t(*v));
        return 0;
      }
      case USBDEVFS_CLEAR_HALT:
      case USBDEVFS_RESETEP: {
        auto* e = Arg<unsigned>(client);
        if (!e) return Fail(error, EFAULT);
        model->EndpointReset(uint8_t(*e));
        return 0;
      }
      case USBDEVFS_CONTROL: {
        auto* c = Arg<usbdevfs_ctrltransfer>(client);
        if (!c) return Fail(error, EFAULT);
        std::vector<uint8_t> data(std::max<uint16_t>(c->wLength, 1));
        UMockdevIoctlData* parent = Resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(usbdevfs_ctrltransfer));
        UMockdevIoctlData* buffer =
            c->wLength ? Resolve(parent, offsetof(usbdevfs_ctrltransfer, data), c->wLength) : nullptr;
        Release(parent);
        if (buffer) std::memcpy(data.data(), buffer->data, c->wLength);
        host::UsbSetupPacket setup{c->bRequestType, c->bRequest, c->wValue, c->wIndex, c->wLength};
        host::UsbControlResult r = model->Control(setup, data.data());
        if (r.stalled) return Fail(error, EPIPE);
        uint32_t n = std::min<uint32_t>(r.length, c->wLength);
        if ((c->bRequestType & 0x80) && buffer) std::memcpy(buffer->data, data.data(), n);
        Release(buffer);
        return (c->bRequestType & 0x80) ? long(n) : long(c->wLength);
      }
      case USBDEVFS_GET_SPEED:
        return model->HighSpeed() ? 3 : 2;  // USB_SPEED_HIGH / USB_SPEED_FULL
      default:
        return Fail(error, ENOTTY);
    }
  }

  long Submit(UMockdevIoctlClient* client, int* error) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    // An isochronous URB's packet table follows the URB, so its length
    // depends on number_of_packets. A block once resolved keeps its length,
    // so the count is read first from the client's URB itself: the client
    // is libusb in this very process.
    size_t length = sizeof(usbdevfs_urb);
    const auto* clientUrb = reinterpret_cast<const usbdevfs_urb*>(*reinterpret_cast<uintptr_t*>(arg->data));
    if (!clientUrb) return Fail(error, EFAULT);
    if (clientUrb->type == USBDEVFS_URB_TYPE_ISO) {
      const int packets = clientUrb->number_of_packets;
      if (packets <= 0 || packets > 1024) return Fail(error, EINVAL);
      length += size_t(packets) * sizeof(usbdevfs_iso_packet_desc);
    }
    Urb entry;
    entry.data = Resolve(arg, 0, length);
    if (!entry.data || size_t(entry.data->data_len) < length) {
      Release(entry.data);
      return Fail(error, EFAULT);
    }
    entry.urb = reinterpret_cast<usbdevfs_urb*>(entry.data->data);
    UMockdevIoctlData* buffer =
        entry.urb->buffer_length > 0 ? Resolve(entry.data, offsetof(usbdevfs_urb, buffer), size_t(entry.urb->buffer_length))
                                     : nullptr;
    entry.buffer = buffer ? static_cast<uint8_t*>(static_cast<void*>(buffer->data)) : nullptr;
    Release(buffer);
    entry.urb->status = 0;
    entry.urb->actual_length = 0;
    entry.urb->error_count = 0;
    const uint8_t ep = entry.urb->endpoint;
    if (entry.urb->type == USBDEVFS_URB_TYPE_CONTROL) {
      if (!entry.buffer || entry.urb->buffer_length < 8) {
        g_object_unref(entry.data);
        return Fail(error, EINVAL);
      }
      const uint8_t* s = entry.buffer;
      host::UsbSetupPacket setup{s[0], s[1], uint16_t(s[2] | s[3] << 8), uint16_t(s[4] | s[5] << 8),
                                 uint16_t(s[6] | s[7] << 8)};
      const uint32_t room = uint32_t(entry.urb->buffer_length - 8);
      std::vector<uint8_t> data(std::max<uint32_t>(setup.wLength, 1));
      if (!(setup.bmRequestType & 0x80)) std::memcpy(data.data(), s + 8, std::min<uint32_t>(room, setup.wLength));
      host::UsbControlResult r = model->Control(setup, data.data());
      if (r.stalled) {
        Finish(entry, -EPIPE);
      } else {
        uint32_t n = std::min({r.length, uint32_t(setup.wLength), room});
        if (setup.bmRequestType & 0x80) std::memcpy(entry.buffer + 8, data.data(), n);
        entry.urb->actual_length = int((setup.bmRequestType & 0x80) ? n : setup.wLength);
        Finish(entry, 0);
      }
    } else if (entry.urb->type == USBDEVFS_URB_TYPE_ISO) {
      uint64_t now = NowFrame();
      uint64_t start = std::max(now + 1, nextFrame[ep]);
      entry.firstFrame = start;
      entry.dueFrame = start + uint64_t(entry.urb->number_of_packets);
      nextFrame[ep] = entry.dueFrame;
    } else if (!lastPoll.count(ep)) {
      lastPoll[ep] = NowFrame();
    }
    urbs.push_back(entry);
    return 0;
  }

  void Finish(Urb& u, int status) {
    u.done = true;
    u.urb->status = status;
    if (status != 0 && u.urb->type == USBDEVFS_URB_TYPE_ISO)
      for (int k = 0; k < u.urb->number_of_packets; ++k) {
        u.urb->iso_frame_desc[k].actual_length = 0;
        u.urb->iso_frame_desc[k].status = status;
      }
  }

  // Fills an isochronous URB whose frames have passed.
  void RunIso(Urb& u) {
    uint32_t offset = 0;
    for (int k = 0; k < u.urb->number_of_packets; ++k) {
      usbdevfs_iso_packet_desc& p = u.urb->iso_frame_desc[k];
      const uint32_t room = std::min<uint32_t>(p.length, uint32_t(u.urb->buffer_length) - std::min<uint32_t>(offset, uint32_t(u.urb->buffer_length)));
      host::UsbInResult in = model->InTransfer(u.urb->endpoint, (u.firstFrame + uint64_t(k) + 1) * FrameLength(),
                                               u.buffer + offset, room);
      p.actual_length = 0;
      p.status = 0;
      if (in.kind == host::UsbInResult::kData) {
        p.actual_length = std::min(in.length, room);
        u.urb->actual_length += int(p.actual_length);
      } else if (in.kind == host::UsbInResult::kError) {
        p.status = -EPROTO;
        ++u.urb->error_count;
      } else if (in.kind == host::UsbInResult::kStall) {
        for (int j = k; j < u.urb->number_of_packets; ++j) u.urb->iso_frame_desc[j].status = -EPIPE;
        u.urb->error_count += u.urb->number_of_packets - k;
        break;
      } else if (in.kind == host::UsbInResult::kGone) {
        unplugged = true;
        break;
      }
      offset += p.length;
    }
    u.done = true;
  }

  // Polls a bulk or interrupt URB once per (micro)frame since the last poll.
  void RunBulk(Urb& u, uint64_t now) {
    uint64_t& last = lastPoll[u.urb->endpoint];
    for (int polls = 0; last < now && polls < 64 && !u.done; ++polls) {
      ++last;
      host::UsbInResult in = model->InTransfer(u.urb->endpoint, last * FrameLength(), u.buffer,
                                               uint32_t(u.urb->buffer_length));
      switch (in.kind) {
        case host::UsbInResult::kNak:
          break;
        case host::UsbInResult::kData:
          u.urb->actual_length = int(std::min<uint32_t>(in.length, uint32_t(u.urb->buffer_length)));
          Finish(u, 0);
          break;
        case host::UsbInResult::kError:
          Finish(u, -EPROTO);
          break;
        case host::UsbInResult::kStall:
          Finish(u, -EPIPE);
          break;
        case host::UsbInResult::kGone:
          unplugged = true;
          break;
      }
    }
    if (last < now) last = now;
  }

  // Hands back the first finished URB; isochronous URBs finish when the bus
  // has passed their frames. Nothing finished: -EAGAIN after a pause of up
  // to a (host) millisecond, as the node is always ready to poll.
  long Reap(UMockdevIoctlClient* client, int* error) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      const uint64_t now = NowFrame();
      std::set<uint8_t> served;
      for (Urb& u : urbs) {
        if (u.done) continue;
        if (unplugged) {
          Finish(u, u.urb->type == USBDEVFS_URB_TYPE_ISO ? -ESHUTDOWN : -ENODEV);
        } else if (u.urb->type == USBDEVFS_URB_TYPE_ISO) {
          if (u.dueFrame <= now) RunIso(u);
        } else if (!served.count(u.urb->endpoint)) {
          served.insert(u.urb->endpoint);
          RunBulk(u, now);
        }
        if (unplugged && !u.done) Finish(u, u.urb->type == USBDEVFS_URB_TYPE_ISO ? -ESHUTDOWN : -ENODEV);
      }
      for (auto it = urbs.begin(); it != urbs.end(); ++it) {
        if (!it->done) continue;
        UMockdevIoctlData* slot = Resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void*));
        if (!slot) return Fail(error, EFAULT);
        umockdev_ioctl_data_set_ptr(slot, 0, it->data);
        Release(slot);
        g_object_unref(it->data);
        urbs.erase(it);
        ++reaped;
        return 0;
      }
      if (unplugged) return Fail(error, ENODEV);
      if (attempt == 0) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::microseconds(int64_t(std::min(1000.0, 1000.0 / host::ClockRate()))));
        lock.lock();
      }
    }
    return Fail(error, EAGAIN);
  }
};

bool EmulatedUsbNode::Available() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload && std::strstr(preload, "libumockdev-preload");
}

// A program that links the emulation runs itself again under umockdev's
// preload library (after the sanitizer runtime, when there is one), which
// must be loaded from the start; UVCCAM_USBFS_REEXEC marks the second run.
__attribute__((constructor)) static void RunUnderPreload() {
  if (std::getenv("UVCCAM_USBFS_REEXEC") || EmulatedUsbNode::Available()) return;
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<char*> argv;
  for (size_t k = 0; k < all.size(); k += std::strlen(&all[k]) + 1) argv.push_back(&all[k]);
  argv.push_back(nullptr);
  setenv("UVCCAM_USBFS_REEXEC", "1", 1);
  setenv("LD_PRELOAD", UVCCAM_USBFS_PRELOAD, 1);
  execv("/proc/self/exe", argv.data());
}

EmulatedUsbNode::EmulatedUsbNode(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<EmulatedUsbNode> EmulatedUsbNode::Create(std::unique_ptr<host::UsbDeviceModel> model,
                                                         const EmulatedNodeOptions& o, std::string* error) {
  if (!Available()) {
    *error = "not running under umockdev's preload library (umockdev-wrapper)";
    return nullptr;
  }
  std::unique_ptr<Impl> impl(new Impl);
  impl->options = o;
  impl->driverBound = !o.kernelDriver.empty();
  std::vector<uint8_t> descriptors = model->DeviceDescriptor();
  const std::vector<uint8_t>& config = model->ConfigurationDescriptor();
  descriptors.insert(descriptors.end(), config.begin(), config.end());
  impl->video = VideoInterfaces(config);
  const uint8_t configValue = config.size() > 5 ? config[5] : 1;
  impl->model = std::move(model);
  char bus[8], dev[8];
  std::snprintf(bus, sizeof bus, "%03d", o.bus);
  std::snprintf(dev, sizeof dev, "%03d", o.address);
  const std::string hub = "/devices/usb" + std::to_string(o.bus);
  const std::string name = std::to_string(o.bus) + "-1";
  const std::string speed = impl->model->HighSpeed() ? "480" : "12";
  std::string text =
      "P: " + hub + "\nN: bus/usb/" + bus + "/001\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n" +
      "E: DEVNAME=/dev/bus/usb/" + bus + "/001\nE: BUSNUM=" + bus + "\nE: DEVNUM=001\nA: busnum=" +
      std::to_string(o.bus) + "\nA: devnum=1\nA: speed=480\nA: bConfigurationValue=1\nH: descriptors=" +
      Hex(HubDescriptors()) + "\n\n" + "P: " + hub + "/" + name + "\nN: bus/usb/" + bus + "/" + dev +
      "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/bus/usb/" + bus + "/" + dev + "\nE: BUSNUM=" +
      bus + "\nE: DEVNUM=" + dev + "\nA: busnum=" + std::to_string(o.bus) + "\nA: devnum=" +
      std::to_string(o.address) + "\nA: speed=" + speed + "\nA: bConfigurationValue=" + std::to_string(configValue) +
      "\nA: product=" + o.product + "\nA: serial=" + o.serial + "\nH: descriptors=" + Hex(descriptors) + "\n";
  for (uint8_t n : impl->video) {
    text += "\nP: " + hub + "/" + name + "/" + name + ":" + std::to_string(configValue) + "." + std::to_string(n) +
            "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceClass=0e\nA: bInterfaceNumber=" +
            std::to_string(n) + "\n";
    if (!o.kernelDriver.empty()) text += "L: driver=../../../../bus/usb/drivers/" + o.kernelDriver + "\n";
  }
  impl->testbed = umockdev_testbed_new();
  GError* e = nullptr;
  if (!umockdev_testbed_add_from_string(impl->testbed, text.c_str(), &e)) {
    *error = std::string("umockdev: ") + (e ? e->message : "cannot add the device");
    if (e) g_error_free(e);
    g_object_unref(impl->testbed);
    impl->testbed = nullptr;
    return nullptr;
  }
  impl->node = std::string("/dev/bus/usb/") + bus + "/" + dev;
  impl->handler = umockdev_ioctl_base_new();
  g_signal_connect(impl->handler, "handle-ioctl", G_CALLBACK(Impl::OnIoctl), impl.get());
  if (!umockdev_testbed_attach_ioctl(impl->testbed, impl->node.c_str(), impl->handler, &e)) {
    *error = std::string("umockdev: ") + (e ? e->message : "cannot attach to the node");
    if (e) g_error_free(e);
    g_object_unref(impl->handler);
    g_object_unref(impl->testbed);
    impl->handler = nullptr;
    impl->testbed = nullptr;
    return nullptr;
  }
  return std::unique_ptr<EmulatedUsbNode>(new EmulatedUsbNode(std::move(impl)));
}

EmulatedUsbNode::~EmulatedUsbNode() {
  if (!impl_->testbed) return;
  GError* e = nullptr;
  umockdev_testbed_detach_ioctl(impl_->testbed, impl_->node.c_str(), &e);
  if (e) g_error_free(e);
  {
    std::lock_guard<std::mutex> guard(impl_->lock);
    for (Urb& u : impl_->urbs) g_object_unref(u.data);
    impl_->urbs.clear();
  }
  g_object_unref(impl_->handler);
  g_object_unref(impl_->testbed);
}

host::UsbDeviceModel* EmulatedUsbNode::Model() const { return impl_->model.get(); }

std::string EmulatedUsbNode::Selector() const {
  return "usb:" + std::to_string(impl_->options.bus) + "/" + std::to_string(impl_->options.address);
}

void EmulatedUsbNode::Unplug() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->unplugged = true;
}

size_t EmulatedUsbNode::UrbsInFlight() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->urbs.size();
}

uint64_t EmulatedUsbNode::Discarded() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->discarded;
}

uint64_t EmulatedUsbNode::Reaped() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->reaped;
}

int EmulatedUsbNode::ClaimedInterfaces() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return int(impl_->claimed.size());
}

bool EmulatedUsbNode::KernelDriverBound() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->driverBound;
}

}  // namespace camera
