#include "tools/live_link.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>

namespace tools {

namespace {

// A stable name for a camera selection: the built-in camera, or the
// canonical path of the profile or descriptor dump.
std::string CameraKey(const CameraOptions& c) {
  std::string what = "builtin";
  std::error_code ec;
  if (!c.profile.empty()) what = "profile:" + std::filesystem::weakly_canonical(c.profile, ec).string();
  if (!c.descriptors.empty())
    what = "descriptors:" + std::filesystem::weakly_canonical(c.descriptors, ec).string() +
           (c.fullSpeed ? ":full" : ":high");
  if (what == "builtin") return what;
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(std::hash<std::string>()(what)));
  return hex;
}

int Connect(const std::string& path) {
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) return -1;
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::string LiveFolder(std::string* error, bool create) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == '\0') {
    *error = "XDG_RUNTIME_DIR is not set: no live link to a publisher";
    return "";
  }
  const std::string folder = std::string(runtime) + "/uvccam";
  if (create) mkdir(folder.c_str(), 0700);
  struct stat st{};
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() ||
      (st.st_mode & 077) != 0) {
    *error = folder + " is not a folder of this user's alone (mode 0700)";
    return "";
  }
  return folder;
}

std::string LiveCameraSocket(const std::string& folder, const CameraOptions& camera) {
  return folder + "/camera-" + CameraKey(camera) + ".sock";
}

std::string LiveNodeSocket(const std::string& folder, const std::string& node) {
  return folder + "/node-" + node + ".sock";
}

std::string LiveCameraLock(const std::string& folder, const CameraOptions& camera) {
  return folder + "/camera-" + CameraKey(camera) + ".lock";
}

bool LiveSocketAnswers(const std::string& path) {
  const int fd = Connect(path);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool FindLiveSocket(const CameraOptions& camera, const std::string& node, std::string* path,
                    std::string* error) {
  path->clear();
  std::string folderError;
  // Only a publisher makes the folder; a command merely looks.
  const std::string folder = LiveFolder(&folderError, false);
  if (!node.empty()) {
    if (folder.empty()) {
      *error = folderError;
      return false;
    }
    const std::string p = LiveNodeSocket(folder, node);
    if (!LiveSocketAnswers(p)) {
      *error = "no uvccam publish runs as node '" + node + "'";
      return false;
    }
    *path = p;
    return true;
  }
  if (folder.empty()) return true;  // no publisher can be reached: open the camera
  const std::string p = LiveCameraSocket(folder, camera);
  if (LiveSocketAnswers(p)) *path = p;
  return true;
}

bool LiveCall(const std::string& path, const std::string& request, int timeoutMs, LiveReply* reply,
              std::string* error) {
  const int fd = Connect(path);
  if (fd < 0) {
    *error = "the publisher at " + path + " does not answer";
    return false;
  }
  const std::string line = request + "\n";
  bool ok = send(fd, line.data(), line.size(), MSG_NOSIGNAL) == ssize_t(line.size());
  std::string in;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (ok && in.find('\n') == std::string::npos && in.size() < kLiveMaxLine) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0) {
      ok = false;
      break;
    }
    char buf[4096];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    in.append(buf, size_t(n));
  }
  close(fd);
  const auto j = nlohmann::json::parse(in.substr(0, in.find('\n')), nullptr, false);
  if (!ok || j.is_discarded() || !j.is_object() || !j.contains("status") || !j["status"].is_number_integer()) {
    *error = "no valid answer from the publisher at " + path;
    return false;
  }
  reply->status = j["status"].get<int>();
  reply->out = j.value("out", "");
  reply->err = j.value("err", "");
  return true;
}

int PrintLiveReply(const LiveReply& reply) {
  std::fputs(reply.out.c_str(), stdout);
  std::fputs(reply.err.c_str(), stderr);
  return reply.status;
}

}  // namespace tools

namespace tools {

int LiveControls(const std::string& path, const std::string& get, const std::vector<std::string>& sets,
                 bool json) {
  nlohmann::json q;
  q["request"] = "controls";
  if (!get.empty()) q["get"] = get;
  if (!sets.empty()) q["set"] = sets;
  if (json) q["json"] = true;
  LiveReply reply;
  std::string error;
  if (!LiveCall(path, q.dump(), 10000, &reply, &error)) {
    std::fprintf(stderr, "uvccam controls: %s\n", error.c_str());
    return 1;
  }
  return PrintLiveReply(reply);
}

}  // namespace tools
