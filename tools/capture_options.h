// The options of `uvccam capture`, parsed and checked before any camera is
// touched.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/wdk.h"
#include "tools/camera_options.h"
#include "tools/output_files.h"

namespace tools {

struct CaptureRequest {
  CameraOptions camera;
  uint32_t width = 0, height = 0;  // 0: the first size offered
  GUID subtype{};
  bool hasSubtype = false;
  double fps = 0;  // 0: the camera's own rate for the size
  uint64_t frames = 30;  // 0: no count (a duration, or until stopped)
  double seconds = 0;    // 0: no duration; else counted from the first frame
  std::string output;    // empty: frames are counted, not kept; "-": standard output
  output_files::Container container = output_files::Container::kRaw;
  std::string timestamps;
  bool json = false;
  std::vector<std::string> sets;  // NAME=VALUE, in order
};

// 0 to go on, -1 after --help, else 2 after one error line on stderr.
int ParseCaptureOptions(int argc, char** argv, CaptureRequest* request);

}  // namespace tools
