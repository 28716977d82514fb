// The camera options every uvccam command takes: which simulated camera,
// what it streams, which faults it injects and where the driver keeps its
// state (registry file, overlay bitmaps, decode-error dumps).
#pragma once

#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
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
  std::string device;  // a real camera's spec (usb:...); empty: simulated
  bool detach = false;  // detach a bound kernel driver for the run
};

enum class OptionResult { kNotMine, kTaken, kBad };

// Takes argv[*i] (and its value) when it is a camera option. kBad prints one
// error line naming `command`.
OptionResult ParseCameraOption(const char* command, int argc, char** argv, int* i,
                               CameraOptions* options);

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

// Parses a command's options: the camera options, the flags in `flags` (set
// to true when present) and the options with a value in `values`. Returns 0
// to go on, -1 after printing the usage for --help, else the exit code
// (2) after one error line.
int ParseCommandOptions(const char* command, int argc, char** argv, CameraOptions* camOptions,
                        std::initializer_list<std::pair<const char*, bool*>> flags,
                        std::initializer_list<std::pair<const char*, std::string*>> values,
                        void (*usage)(FILE* out));

// A status as the kit prints it: "0x%08X".
std::string StatusText(NTSTATUS status);

// Takes every `option VALUE` pair (an option that may repeat) out of argv:
// the values go to *values, everything else to *rest in order. Returns 0, or
// 2 after one error line when the last one lacks its value.
int TakeRepeatedOption(const char* command, const char* option, int argc, char** argv,
                       std::vector<std::string>* values, std::vector<char*>* rest);

// Usage lines of the camera options.
extern const char kCameraOptionsUsage[];

}  // namespace tools
