#include "tools/stored_controls.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform/host/host_files.h"
#include "tools/control_settings.h"

namespace tools {

namespace {

std::string PathIn(const std::string& folder) { return folder + "/controls.conf"; }

}  // namespace

std::vector<std::string> LoadStoredControls(const std::string& folder) {
  std::vector<std::string> sets;
  std::ifstream in(PathIn(folder));
  std::string line;
  while (std::getline(in, line))
    if (!line.empty() && line[0] != '#') sets.push_back(line);
  return sets;
}

bool StoreControls(const std::string& folder, const std::vector<std::pair<std::string, long>>& values,
                   std::string* error) {
  std::vector<std::string> sets = LoadStoredControls(folder);
  for (const auto& v : values) {
    const std::string line = v.first + "=" + std::to_string(v.second);
    bool replaced = false;
    for (std::string& s : sets)
      if (s.compare(0, v.first.size() + 1, v.first + "=") == 0) s = line, replaced = true;
    if (!replaced) sets.push_back(line);
  }
  const std::string path = PathIn(folder), temp = path + ".new";
  FILE* file = std::fopen(temp.c_str(), "w");
  bool ok = file != nullptr;
  for (const std::string& s : sets)
    if (ok) ok = std::fprintf(file, "%s\n", s.c_str()) > 0;
  if (file != nullptr && std::fclose(file) != 0) ok = false;
  if (ok && std::rename(temp.c_str(), path.c_str()) == 0) return true;
  *error = "cannot write " + path + ": " + std::strerror(errno);
  std::remove(temp.c_str());
  return false;
}

void ApplyStoredControls(client::Filter* filter, const std::string& folder, const char* command,
                         std::vector<std::string>* whileStreaming) {
  // The driver's own settings file: entries it cannot read, once.
  const std::vector<std::string> unreadable = host::UnreadableRegistryLines("device");
  if (!unreadable.empty())
    std::fprintf(stderr, "uvccam %s: warning: %s: %zu %s the driver cannot read (first: '%s'), left as %s\n",
                 command, host::DeviceRegistryFile("device").c_str(), unreadable.size(),
                 unreadable.size() == 1 ? "entry" : "entries", unreadable[0].c_str(),
                 unreadable.size() == 1 ? "it is" : "they are");
  for (const std::string& set : LoadStoredControls(folder)) {
    std::string error;
    if (!ApplyControlSettings(filter, {set}, &error, nullptr, whileStreaming))
      std::fprintf(stderr, "uvccam %s: warning: kept setting %s skipped: %s\n", command, set.c_str(),
                   error.c_str());
  }
}

}  // namespace tools
