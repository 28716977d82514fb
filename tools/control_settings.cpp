// Placeholder until the controls command brings the real settings by name:
// every setting is refused, so nothing reaches the camera unchecked.
#include "tools/control_settings.h"

namespace tools {

bool ApplyControlSettings(client::Filter*, const std::vector<std::string>& sets, std::string* error) {
  if (sets.empty()) return true;
  const std::string& first = sets.front();
  *error = "unknown control '" + first.substr(0, first.find('=')) + "'";
  return false;
}

}  // namespace tools
