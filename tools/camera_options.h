// The camera options every uvccam command takes: which simulated camera,
// what it streams, which faults it injects and where the driver keeps its
// state (registry file, overlay bitmaps, decode-error dumps).
#pragma once

#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "camera/stream_source.h"
#include "platform/wdk.h"
#include "platform/host/usb_device_model.h"

namespace tools {

struct CameraOptions {
  std::string profile;
  std::string descriptors;
  bool fullSpeed = false;
  std::string play;
  camera::StreamFaults faults;
  bool anyFault = false;
  std::string state;  // empty: the default state folder
  std::string device;  // a real camera's selector (usb:...); empty: simulated
  bool detach = false;  // detach a bound kernel driver for the run
};

// One option of a command. Every option taking a value accepts it as the
// next argument or after '=' (`--size 640x480`, `--size=640x480`). Adding
// an option is one line in the command's list (or in the camera options'
// list in camera_options.cpp).
struct OptionSpec {
  const char* name;                            // "--size"
  bool* flag = nullptr;                        // a flag: true when given
  std::string* value = nullptr;                // one value; the last one given wins
  std::vector<std::string>* values = nullptr;  // repeatable, every value in order
};
inline OptionSpec Flag(const char* name, bool* flag) { return {name, flag, nullptr, nullptr}; }
inline OptionSpec Value(const char* name, std::string* value) { return {name, nullptr, value, nullptr}; }
inline OptionSpec Repeated(const char* name, std::vector<std::string>* values) {
  return {name, nullptr, nullptr, values};
}

// Checks the combination; prints one error line and returns false.
bool CheckCameraOptions(const char* command, const CameraOptions& options);

// The camera the options describe, with --play and --fault applied; null
// with *error set when a file cannot be read or parsed.
std::unique_ptr<host::UsbDeviceModel> MakeCamera(const CameraOptions& options, std::string* error);

// The state folder the options name, or the default one.
std::string StateFolderOf(const CameraOptions& options);

// That folder, created when missing and handed to the host platform; false
// with *error set.
bool UseStateFolder(const CameraOptions& options, std::string* error);

// Parses a command's options: the camera options and `options`. Returns 0
// to go on, -1 after printing the usage for --help or -h, else the exit
// code (2) after one error line.
int ParseCommandOptions(const char* command, int argc, char** argv, CameraOptions* camOptions,
                        std::initializer_list<OptionSpec> options, void (*usage)(FILE* out));

// A status as the kit prints it: "0x%08X".
std::string StatusText(NTSTATUS status);

// Usage lines of the camera options.
extern const char kCameraOptionsUsage[];

}  // namespace tools
