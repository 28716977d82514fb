// Camera controls set by name from the command line (`--set NAME=VALUE`).
#pragma once

#include <string>
#include <vector>

#include "client/camera.h"

namespace tools {

// Applies each NAME=VALUE through the filter's property sets, in order.
// False with a one-line *error for the first setting that cannot be made.
bool ApplyControlSettings(client::Filter* filter, const std::vector<std::string>& sets,
                          std::string* error);

}  // namespace tools
