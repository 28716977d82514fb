// Real cameras on the command line: --device DEVICE and --detach beside the
// simulated-camera options, plugging the chosen camera under the driver,
// and the verbs that look at real devices only (`uvccam list`, the
// descriptor dump of `uvccam descriptors --device`).
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "camera/simulated_camera.h"
#include "client/camera.h"
#include "tools/camera_options.h"

namespace tools {


// Whether the options name a real camera.
inline bool UsesDevice(const CameraOptions& o) { return !o.device.empty(); }

// Checks --device and --detach against the other camera options; prints
// one error line naming `command` and returns false.
bool CheckDeviceOptions(const char* command, const CameraOptions& options);

// The host clock's rate while the driver starts and stops: fast for a
// simulated camera (it needs no settling time), the streaming rate (real
// time outside tests) for a real one, whose settling delays are real.
double StartClockRate(const CameraOptions& options);

// The camera the options name, plugged under the driver (its Add):
// simulated (then *simulated points at the model) or real. False with a
// one-line *error.
bool PlugCamera(const CameraOptions& options, std::unique_ptr<client::Camera>* camera,
                camera::SimulatedCamera** simulated, std::string* error);

// `uvccam list [--json]`: the USB video-class devices.
int ListCommand(int argc, char** argv);
// A real camera's device and configuration descriptors, read from the
// device, in the sysfs dump format. False with a one-line *error.
bool ReadDeviceDescriptors(const CameraOptions& options, std::vector<uint8_t>* dump, std::string* error);

}  // namespace tools
