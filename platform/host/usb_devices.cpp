// Real USB cameras on this host. See usb_devices.h.
#include "platform/host/usb_devices.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#if UVCCAM_LIBUSB
#include <fcntl.h>
#include <libusb.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <iterator>

#include "platform/host/libusb_device.h"
#endif

namespace host {

const char kUdevRuleFile[] = "60-uvccam.rules";

namespace {

bool ParseNumber(const std::string& text, int base, unsigned long max, unsigned long* value) {
  if (text.empty() || text.size() > 8) return false;
  for (char c : text)
    if (base == 16 ? !std::isxdigit(static_cast<unsigned char>(c)) : !std::isdigit(static_cast<unsigned char>(c)))
      return false;
  *value = std::strtoul(text.c_str(), nullptr, base);
  return *value <= max;
}

}  // namespace

bool ParseUsbDeviceSelector(const std::string& text, UsbDeviceSelector* selector, std::string* error) {
  *error = "bad device '" + text + "' (usb:VVVV:PPPP[#N], usb:BUS/ADDR or usb:BUS-PORT[.PORT...])";
  if (text.compare(0, 4, "usb:") != 0) return false;
  const std::string rest = text.substr(4);
  unsigned long a = 0, b = 0, n = 1;
  const size_t colon = rest.find(':'), slash = rest.find('/'), dash = rest.find('-');
  if (colon != std::string::npos) {
    const size_t hash = rest.find('#');
    const std::string pid = rest.substr(colon + 1, hash == std::string::npos ? std::string::npos : hash - colon - 1);
    if (rest.size() < 1 || !ParseNumber(rest.substr(0, colon), 16, 0xFFFF, &a) || colon != 4 ||
        pid.size() != 4 || !ParseNumber(pid, 16, 0xFFFF, &b) ||
        (hash != std::string::npos && (!ParseNumber(rest.substr(hash + 1), 10, 1000, &n) || n == 0)))
      return false;
    selector->kind = UsbDeviceSelector::kIds;
    selector->vendorId = uint16_t(a);
    selector->productId = uint16_t(b);
    selector->index = int(n);
  } else if (slash != std::string::npos) {
    if (!ParseNumber(rest.substr(0, slash), 10, 255, &a) || !ParseNumber(rest.substr(slash + 1), 10, 127, &b) ||
        a == 0 || b == 0)
      return false;
    selector->kind = UsbDeviceSelector::kBusAddress;
    selector->bus = int(a);
    selector->address = int(b);
  } else if (dash != std::string::npos) {
    if (!ParseNumber(rest.substr(0, dash), 10, 255, &a) || a == 0) return false;
    std::string ports = rest.substr(dash + 1);
    size_t start = 0, count = 0;
    for (;;) {
      size_t dot = ports.find('.', start);
      if (!ParseNumber(ports.substr(start, dot == std::string::npos ? std::string::npos : dot - start), 10, 255, &b) ||
          b == 0 || ++count > 7)
        return false;
      if (dot == std::string::npos) break;
      start = dot + 1;
    }
    selector->kind = UsbDeviceSelector::kPort;
    selector->bus = int(a);
    selector->port = std::to_string(a) + "-" + ports;
  } else {
    return false;
  }
  error->clear();
  return true;
}

#if UVCCAM_LIBUSB

namespace {

constexpr uint8_t kVideoClass = 0x0E;

std::string SysfsName(libusb_device* dev) {
  uint8_t ports[8];
  int n = libusb_get_port_numbers(dev, ports, 8);
  std::string name = std::to_string(libusb_get_bus_number(dev));
  if (n <= 0) return "usb" + name;  // a root hub
  for (int k = 0; k < n; ++k) name += (k == 0 ? "-" : ".") + std::to_string(ports[k]);
  return name;
}

std::string ReadSysfs(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

const char* SpeedName(int speed) {
  switch (speed) {
    case LIBUSB_SPEED_LOW: return "low";
    case LIBUSB_SPEED_FULL: return "full";
    case LIBUSB_SPEED_HIGH: return "high";
    case LIBUSB_SPEED_SUPER: return "super";
    case LIBUSB_SPEED_SUPER_PLUS: return "super+";
    default: return "unknown";
  }
}

// Interface numbers of the device's video interfaces in its active (else
// first) configuration.
std::vector<uint8_t> VideoInterfaces(libusb_device* dev, int* configValue) {
  std::vector<uint8_t> out;
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(dev, &config) < 0 &&
      libusb_get_config_descriptor(dev, 0, &config) < 0)
    return out;
  if (configValue) *configValue = config->bConfigurationValue;
  for (int k = 0; k < config->bNumInterfaces; ++k)
    for (int a = 0; a < config->interface[k].num_altsetting; ++a) {
      const libusb_interface_descriptor& d = config->interface[k].altsetting[a];
      if (d.bInterfaceClass == kVideoClass &&
          std::find(out.begin(), out.end(), d.bInterfaceNumber) == out.end())
        out.push_back(d.bInterfaceNumber);
    }
  libusb_free_config_descriptor(config);
  return out;
}

// The kernel driver bound to one interface, from sysfs; empty when none.
std::string InterfaceDriver(libusb_device* dev, int configValue, uint8_t interface) {
  const std::string link = "/sys/bus/usb/devices/" + SysfsName(dev) + ":" + std::to_string(configValue) +
                           "." + std::to_string(interface) + "/driver";
  char target[512];
  ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  if (n <= 0) return "";
  target[n] = 0;
  const char* slash = std::strrchr(target, '/');
  return slash ? slash + 1 : target;
}

UsbDeviceInfo Describe(libusb_device* dev, const libusb_device_descriptor& d) {
  UsbDeviceInfo info;
  info.bus = libusb_get_bus_number(dev);
  info.address = libusb_get_device_address(dev);
  info.port = SysfsName(dev);
  info.vendorId = d.idVendor;
  info.productId = d.idProduct;
  const std::string sys = "/sys/bus/usb/devices/" + info.port + "/";
  info.product = ReadSysfs(sys + "product");
  info.serial = ReadSysfs(sys + "serial");
  info.speed = SpeedName(libusb_get_device_speed(dev));
  int configValue = 1;
  for (uint8_t n : VideoInterfaces(dev, &configValue)) {
    std::string driver = InterfaceDriver(dev, configValue, n);
    if (driver.empty() || info.kernelDriver.find(driver) != std::string::npos) continue;
    info.kernelDriver += (info.kernelDriver.empty() ? "" : ",") + driver;
  }
  return info;
}

bool IsVideoDevice(libusb_device* dev) { return !VideoInterfaces(dev, nullptr).empty(); }

// Owns a context and its device list for one look-up.
struct DeviceList {
  libusb_context* context = nullptr;
  libusb_device** devices = nullptr;
  ssize_t count = 0;
  ~DeviceList() {
    if (devices) libusb_free_device_list(devices, 1);
    if (context) libusb_exit(context);
  }
  bool Load(std::string* error) {
    int rc = libusb_init(&context);
    if (rc < 0) {
      context = nullptr;
      *error = std::string("libusb: ") + libusb_strerror(libusb_error(rc));
      return false;
    }
    count = libusb_get_device_list(context, &devices);
    if (count < 0) {
      *error = std::string("cannot list USB devices: ") + libusb_strerror(libusb_error(count));
      devices = nullptr;
      return false;
    }
    return true;
  }
};

libusb_device* Find(const DeviceList& list, const UsbDeviceSelector& selector, std::string* error) {
  int seen = 0;
  for (ssize_t k = 0; k < list.count; ++k) {
    libusb_device* dev = list.devices[k];
    libusb_device_descriptor d;
    if (libusb_get_device_descriptor(dev, &d) < 0) continue;
    switch (selector.kind) {
      case UsbDeviceSelector::kIds:
        if (d.idVendor == selector.vendorId && d.idProduct == selector.productId && IsVideoDevice(dev) &&
            ++seen == selector.index)
          return dev;
        break;
      case UsbDeviceSelector::kBusAddress:
        if (libusb_get_bus_number(dev) == selector.bus && libusb_get_device_address(dev) == selector.address)
          return dev;
        break;
      case UsbDeviceSelector::kPort:
        if (SysfsName(dev) == selector.port) return dev;
        break;
    }
  }
  char what[64];
  if (selector.kind == UsbDeviceSelector::kIds)
    std::snprintf(what, sizeof what, "video device %04x:%04x%s", selector.vendorId, selector.productId,
                  selector.index > 1 ? (" #" + std::to_string(selector.index)).c_str() : "");
  else if (selector.kind == UsbDeviceSelector::kBusAddress)
    std::snprintf(what, sizeof what, "USB device at bus %d address %d", selector.bus, selector.address);
  else
    std::snprintf(what, sizeof what, "USB device at port %s", selector.port.c_str());
  *error = std::string("no ") + what + " (uvccam list shows the cameras)";
  return nullptr;
}

std::string DeviceNode(libusb_device* dev) {
  char node[40];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", libusb_get_bus_number(dev),
                libusb_get_device_address(dev));
  return node;
}

// Interfaces detached for this run, given back when the process ends on a
// signal. Written before the handlers go in; read only by them.
struct Reattach {
  int fd = -1;
  unsigned count = 0;
  unsigned interfaces[32];
};
Reattach g_reattach;

void ReattachOnSignal(int sig) {
  const Reattach& r = g_reattach;
  for (unsigned k = 0; r.fd >= 0 && k < r.count; ++k) {
    unsigned n = r.interfaces[k];
    ioctl(r.fd, USBDEVFS_RELEASEINTERFACE, &n);
    usbdevfs_ioctl command{};
    command.ifno = int(n);
    command.ioctl_code = USBDEVFS_CONNECT;
    ioctl(r.fd, USBDEVFS_IOCTL, &command);
  }
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

// The file descriptor libusb polls for the device: the one it watches for
// writability (usbfs reports completions that way).
int DeviceFd(libusb_context* context) {
  const libusb_pollfd** fds = libusb_get_pollfds(context);
  int fd = -1;
  for (size_t k = 0; fds && fds[k]; ++k)
    if (fds[k]->events & POLLOUT) fd = fds[k]->fd;
  libusb_free_pollfds(fds);
  return fd;
}

// A device with detached interfaces: once it is gone (and has given them
// back itself) the signal handlers have nothing left to do.
class DetachedCamera : public LibusbDevice {
 public:
  using LibusbDevice::LibusbDevice;
  ~DetachedCamera() override { g_reattach.fd = -1; }
};

// Releases a device that never became a LibusbDevice.
void Abandon(libusb_context* context, libusb_device_handle* handle, const std::vector<uint8_t>& detached) {
  for (uint8_t n : detached) libusb_attach_kernel_driver(handle, n);
  libusb_close(handle);
  libusb_exit(context);
}

}  // namespace

bool UsbDevicesAvailable() { return true; }

bool ListUsbVideoDevices(std::vector<UsbDeviceInfo>* devices, std::string* error) {
  DeviceList list;
  if (!list.Load(error)) return false;
  for (ssize_t k = 0; k < list.count; ++k) {
    libusb_device* dev = list.devices[k];
    libusb_device_descriptor d;
    if (libusb_get_device_descriptor(dev, &d) < 0 || !IsVideoDevice(dev)) continue;
    devices->push_back(Describe(dev, d));
  }
  std::sort(devices->begin(), devices->end(), [](const UsbDeviceInfo& a, const UsbDeviceInfo& b) {
    return a.bus != b.bus ? a.bus < b.bus : a.address < b.address;
  });
  return true;
}

std::unique_ptr<LowerDevice> OpenUsbCamera(const UsbDeviceSelector& selector, bool detach, std::string* error) {
  DeviceList list;
  if (!list.Load(error)) return nullptr;
  libusb_device* dev = Find(list, selector, error);
  if (!dev) return nullptr;
  libusb_device_handle* handle = nullptr;
  int rc = libusb_open(dev, &handle);
  if (rc == LIBUSB_ERROR_ACCESS) {
    *error = "no permission to open " + DeviceNode(dev) + "; install the udev rule scripts/" +
             kUdevRuleFile + " into /etc/udev/rules.d (the manual's \"Real cameras\" section)";
    return nullptr;
  }
  if (rc < 0) {
    *error = "cannot open " + DeviceNode(dev) + ": " + libusb_strerror(libusb_error(rc));
    return nullptr;
  }
  int configValue = 1;
  std::vector<uint8_t> video = VideoInterfaces(dev, &configValue);
  std::vector<uint8_t> detached;
  for (uint8_t n : video) {
    if (libusb_kernel_driver_active(handle, n) != 1) continue;
    std::string driver = InterfaceDriver(dev, configValue, n);
    if (driver.empty()) driver = "a kernel driver";
    if (!detach) {
      *error = "the kernel driver " + driver + " is bound to the camera (interface " + std::to_string(n) +
               "); run with --detach to detach it for this run";
      Abandon(list.context, handle, detached);
      list.context = nullptr;
      return nullptr;
    }
    rc = libusb_detach_kernel_driver(handle, n);
    if (rc < 0) {
      *error = "cannot detach the kernel driver " + driver + " from interface " + std::to_string(n) + ": " +
               libusb_strerror(libusb_error(rc));
      Abandon(list.context, handle, detached);
      list.context = nullptr;
      return nullptr;
    }
    detached.push_back(n);
  }
  if (!detached.empty() && g_reattach.fd < 0) {
    g_reattach.fd = DeviceFd(list.context);
    for (uint8_t n : detached)
      if (g_reattach.count < 32) g_reattach.interfaces[g_reattach.count++] = n;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, ReattachOnSignal);
  }
  // The device takes over the context and the handle; the list goes first.
  libusb_context* context = list.context;
  libusb_free_device_list(list.devices, 1);
  list.devices = nullptr;
  list.context = nullptr;
  if (!detached.empty()) return std::unique_ptr<LowerDevice>(new DetachedCamera(context, handle, std::move(detached)));
  return std::unique_ptr<LowerDevice>(new LibusbDevice(context, handle, {}));
}

bool ReadUsbDescriptors(const UsbDeviceSelector& selector, std::vector<uint8_t>* bytes, std::string* error) {
  DeviceList list;
  if (!list.Load(error)) return false;
  libusb_device* dev = Find(list, selector, error);
  if (!dev) return false;
  const std::string path = "/sys/bus/usb/devices/" + SysfsName(dev) + "/descriptors";
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (all.size() < 18 + 9) {
    *error = "cannot read " + path;
    return false;
  }
  // sysfs holds every configuration after the device descriptor: keep the
  // active one (the first when none is active).
  int active = 0;
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(dev, &config) == 0) {
    active = config->bConfigurationValue;
    libusb_free_config_descriptor(config);
  }
  size_t off = 18;
  size_t chosen = 18, chosenLength = 0;
  while (off + 9 <= all.size()) {
    size_t total = size_t(all[off + 2] | all[off + 3] << 8);
    if (all[off + 1] != 0x02 || total < 9 || off + total > all.size()) break;
    if (chosenLength == 0 || all[off + 5] == active) {
      chosen = off;
      chosenLength = total;
    }
    off += total;
  }
  if (chosenLength == 0) {
    *error = path + " holds no configuration descriptor";
    return false;
  }
  bytes->assign(all.begin(), all.begin() + 18);
  bytes->insert(bytes->end(), all.begin() + chosen, all.begin() + chosen + chosenLength);
  return true;
}

#else  // no libusb in this build

namespace {
const char kNoLibusb[] = "this build of uvccam lacks libusb: real cameras are not available";
}

bool UsbDevicesAvailable() { return false; }
bool ListUsbVideoDevices(std::vector<UsbDeviceInfo>*, std::string* error) {
  *error = kNoLibusb;
  return false;
}
std::unique_ptr<LowerDevice> OpenUsbCamera(const UsbDeviceSelector&, bool, std::string* error) {
  *error = kNoLibusb;
  return nullptr;
}
bool ReadUsbDescriptors(const UsbDeviceSelector&, std::vector<uint8_t>*, std::string* error) {
  *error = kNoLibusb;
  return false;
}

#endif

}  // namespace host
