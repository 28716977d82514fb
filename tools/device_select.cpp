// Real cameras on the command line. See device_select.h.
#include "tools/device_select.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

#include "platform/host/usb_devices.h"
#include "tools/camera_session.h"

namespace tools {

bool CheckDeviceOptions(const char* command, const CameraOptions& o) {
  if (o.device.empty()) {
    if (!o.detach) return true;
    std::fprintf(stderr, "uvccam %s: --detach applies to --device only\n", command);
    return false;
  }
  const char* clash = !o.profile.empty()       ? "--profile"
                      : !o.descriptors.empty() ? "--descriptors"
                      : !o.play.empty()        ? "--play"
                      : o.anyFault             ? "--fault"
                                               : nullptr;
  if (clash) {
    std::fprintf(stderr, "uvccam %s: %s is for simulated cameras and cannot go with --device\n", command,
                 clash);
    return false;
  }
  host::UsbDeviceSelector selector;
  std::string error;
  if (!host::ParseUsbDeviceSelector(o.device, &selector, &error)) {
    std::fprintf(stderr, "uvccam %s: %s\n", command, error.c_str());
    return false;
  }
  return true;
}

double StartClockRate(const CameraOptions& o) { return UsesDevice(o) ? StreamingClockRate() : 100.0; }

bool PlugCamera(const CameraOptions& o, std::unique_ptr<client::Camera>* camera,
                camera::SimulatedCamera** simulated, std::string* error) {
  *simulated = nullptr;
  NTSTATUS s;
  if (UsesDevice(o)) {
    host::UsbDeviceSelector selector;
    if (!host::ParseUsbDeviceSelector(o.device, &selector, error)) return false;
    std::unique_ptr<host::LowerDevice> lower = host::OpenUsbCamera(selector, o.detach, error);
    if (!lower) return false;
    s = client::Camera::PlugDevice(std::move(lower), camera);
  } else {
    std::unique_ptr<host::UsbDeviceModel> model = MakeCamera(o, error);
    if (!model) {
      if (error->empty()) *error = "no camera";
      return false;
    }
    auto* sim = dynamic_cast<camera::SimulatedCamera*>(model.get());
    s = client::Camera::Plug(std::move(model), camera);
    if (NT_SUCCESS(s)) *simulated = sim;
  }
  if (!NT_SUCCESS(s)) *error = "the driver could not add the camera (status " + StatusText(s) + ")";
  return NT_SUCCESS(s);
}

namespace {

void ListUsage(FILE* out) {
  std::fprintf(out,
               "usage: uvccam list [--json]\n"
               "  lists the USB video-class devices: bus/address, port path, vendor:product\n"
               "  id, product and serial strings, speed and the kernel driver bound to the\n"
               "  video interfaces. Open one with --device usb:BUS/ADDR (or usb:VVVV:PPPP,\n"
               "  usb:BUS-PORT.PORT) on any command.\n");
}

std::string Hex4(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", v & 0xFFFF);
  return text;
}

}  // namespace

int ListCommand(int argc, char** argv) {
  bool json = false;
  for (int i = 0; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--json")) {
      json = true;
    } else if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      ListUsage(stdout);
      return 0;
    } else {
      return CommandError("list", std::string("unknown option '") + argv[i] + "' (uvccam list --help)", 2);
    }
  }
  std::vector<host::UsbDeviceInfo> devices;
  std::string error;
  if (!host::ListUsbVideoDevices(&devices, &error)) return CommandError("list", error);
  if (json) {
    nlohmann::ordered_json a = nlohmann::ordered_json::array();
    for (const host::UsbDeviceInfo& d : devices)
      a.push_back({{"bus", d.bus},
                   {"address", d.address},
                   {"port", d.port},
                   {"vendorId", Hex4(d.vendorId)},
                   {"productId", Hex4(d.productId)},
                   {"product", d.product},
                   {"serial", d.serial},
                   {"speed", d.speed},
                   {"kernelDriver", d.kernelDriver}});
    std::fputs((a.dump(2) + "\n").c_str(), stdout);
    return 0;
  }
  if (devices.empty()) std::printf("no USB video devices\n");
  for (const host::UsbDeviceInfo& d : devices)
    std::printf("usb:%d/%d  port %s  %s:%s  %s speed  %s%s%s  kernel driver: %s\n", d.bus, d.address,
                d.port.c_str(), Hex4(d.vendorId).c_str(), Hex4(d.productId).c_str(), d.speed.c_str(),
                d.product.empty() ? "(no product string)" : d.product.c_str(),
                d.serial.empty() ? "" : "  serial ", d.serial.c_str(),
                d.kernelDriver.empty() ? "none" : d.kernelDriver.c_str());
  return 0;
}

bool ReadDeviceDescriptors(const CameraOptions& o, std::vector<uint8_t>* dump, std::string* error) {
  host::UsbDeviceSelector selector;
  return host::ParseUsbDeviceSelector(o.device, &selector, error) && host::ReadUsbDescriptors(selector, dump, error);
}

}  // namespace tools
