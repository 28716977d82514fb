// Control values kept between runs. The driver restores only mirror and
// vertical flip at device start; every other value set with
// `uvccam controls --set` is kept here, one NAME=VALUE a line in
// "<state folder>/controls.conf", and every command applies the kept values
// when it opens the camera, so a value set once is what later runs report
// and use.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "client/camera.h"

namespace tools {

// The kept settings, NAME=VALUE, in the order they were first set.
std::vector<std::string> LoadStoredControls(const std::string& folder);

// Adds (or replaces) values in the kept settings; false with *error.
bool StoreControls(const std::string& folder, const std::vector<std::pair<std::string, long>>& values,
                   std::string* error);

// Applies the kept settings to an open filter. Those that act only on a
// running stream go to *whileStreaming for the caller to apply once frames
// flow; one that no longer fits (another camera) is skipped with one
// warning line naming `command`. Entries of the driver's own settings file
// that it cannot read are reported in one warning line too.
void ApplyStoredControls(client::Filter* filter, const std::string& folder, const char* command,
                         std::vector<std::string>* whileStreaming);

}  // namespace tools
