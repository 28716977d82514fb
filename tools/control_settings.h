// Camera controls by name, through the filter's property sets: the list
// `uvccam controls` prints, one value, and NAME=VALUE settings that
// `uvccam controls`, `capture` and `still` apply.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "client/camera.h"

namespace tools {

// One control the filter offers, as `uvccam controls` prints it.
struct ControlInfo {
  std::string name;  // snake_case, as v4l2-ctl names the control
  std::string set;   // VIDEOPROCAMP, CAMERACONTROL or VENDOR
  unsigned long id = 0;
  std::string type;  // int, bool or menu
  long min = 0, max = 0, step = 1, def = 0, value = 0;
  bool hasDefault = true;  // false for the auto switches (no default reported)
  int autoMode = -1;  // -1: the control has no auto mode; else 0 manual, 1 auto
  std::vector<std::pair<long, std::string>> items;  // a menu's values and their names
};

// Every control of the filter, in a fixed order; false with *error set
// when a get fails.
bool ListControls(client::Filter* filter, std::vector<ControlInfo>* controls, std::string* error);

// One control by name (its current value in info->value).
bool GetControl(client::Filter* filter, const std::string& name, ControlInfo* info,
                std::string* error);

// Applies NAME=VALUE settings through the property sets. Every setting is
// checked first (a known name, a control this camera has, an integer in its
// range); on the first bad one *error is one line and nothing is sent.
// `stored` (optional) receives, per setting in order, the value the driver
// kept right after that write. With `whileStreaming`, a setting of a control
// that acts only on a running stream (zoom) is checked, not sent, and
// appended there for the caller to apply once the stream runs.
bool ApplyControlSettings(client::Filter* filter, const std::vector<std::string>& sets, std::string* error,
                          std::vector<std::pair<std::string, long>>* stored = nullptr,
                          std::vector<std::string>* whileStreaming = nullptr);

// Whether a control (by name) changes only while a stream runs.
bool ActsOnlyWhileStreaming(const std::string& name);

// The list as text, one control a line in the layout of
// `v4l2-ctl --list-ctrls`, and as a JSON array.
std::string ControlsText(const std::vector<ControlInfo>& controls);
std::string ControlsJson(const std::vector<ControlInfo>& controls);

}  // namespace tools
