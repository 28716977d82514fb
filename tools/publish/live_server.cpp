#include "tools/publish/live_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <vector>

#include "tools/control_settings.h"
#include "tools/live_link.h"

namespace publish {

namespace {

// How long one client may take to send its request or read the reply.
constexpr int kClientSeconds = 2;

std::string Reply(int status, const std::string& out, const std::string& err) {
  nlohmann::json j;
  j["status"] = status;
  j["out"] = out;
  j["err"] = err;
  return j.dump() + "\n";
}

std::string Clip(const std::string& s) { return s.size() <= 64 ? s : s.substr(0, 64) + "..."; }

std::string Controls(client::Filter* filter, const nlohmann::json& q) {
  auto usage = [](const std::string& why) { return Reply(2, "", "uvccam controls: " + why + "\n"); };
  for (auto it = q.begin(); it != q.end(); ++it)
    if (it.key() != "request" && it.key() != "get" && it.key() != "set" && it.key() != "json")
      return usage("unknown field '" + Clip(it.key()) + "' in the request");
  std::string get;
  std::vector<std::string> sets;
  bool json = false;
  if (q.contains("get")) {
    if (!q["get"].is_string() || q["get"].get<std::string>().empty() ||
        q["get"].get<std::string>().size() > tools::kLiveMaxName)
      return usage("bad control name");
    get = q["get"].get<std::string>();
  }
  if (q.contains("set")) {
    if (!q["set"].is_array() || q["set"].size() > tools::kLiveMaxSettings) return usage("bad settings");
    for (const auto& v : q["set"]) {
      if (!v.is_string() || v.get<std::string>().size() > tools::kLiveMaxSetting) return usage("bad setting");
      const std::string s = v.get<std::string>();
      const size_t eq = s.find('=');
      if (eq == 0 || eq == std::string::npos || eq + 1 == s.size())
        return usage("bad setting '" + Clip(s) + "' (NAME=VALUE)");
      sets.push_back(s);
    }
  }
  if (q.contains("json")) {
    if (!q["json"].is_boolean()) return usage("bad json flag");
    json = q["json"].get<bool>();
  }
  std::string out, error;
  auto fail = [&out](const std::string& why) { return Reply(1, out, "uvccam controls: " + why + "\n"); };
  if (!sets.empty()) {
    if (!tools::ApplyControlSettings(filter, sets, &error)) return fail(error);
    for (const std::string& set : sets) {
      tools::ControlInfo info;
      const std::string name = set.substr(0, set.find('='));
      if (!tools::GetControl(filter, name, &info, &error)) return fail(error);
      out += name + "=" + std::to_string(info.value) + "\n";
    }
  }
  if (!get.empty()) {
    tools::ControlInfo info;
    if (!tools::GetControl(filter, get, &info, &error)) return fail(error);
    out += std::to_string(info.value) + "\n";
  }
  if (sets.empty() && get.empty()) {
    std::vector<tools::ControlInfo> controls;
    if (!tools::ListControls(filter, &controls, &error)) return fail(error);
    out += json ? tools::ControlsJson(controls) : tools::ControlsText(controls);
  }
  return Reply(0, out, "");
}

}  // namespace

std::string LiveServer::Answer(client::Filter* filter, const std::string& line) {
  const nlohmann::json q = nlohmann::json::parse(line, nullptr, false);
  if (q.is_discarded() || !q.is_object() || !q.contains("request") || !q["request"].is_string())
    return Reply(2, "", "uvccam publish: bad request (one JSON object with a \"request\" name)\n");
  const std::string request = q["request"].get<std::string>();
  if (request == "controls") return Controls(filter, q);
  return Reply(2, "", "uvccam publish: unknown request '" + Clip(request) + "'\n");
}

LiveServer::~LiveServer() { Stop(); }

bool LiveServer::Open(const tools::CameraOptions& camera, const std::string& node, std::string* error,
                      std::string* note) {
  std::string folderError;
  const std::string folder = tools::LiveFolder(&folderError);
  if (folder.empty()) {
    *note = folderError;
    return true;
  }
  // One publisher per camera: the lock holds the owner's node name.
  const std::string lock = tools::LiveCameraLock(folder, camera);
  lockFd_ = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd_ < 0) {
    *error = "cannot open " + lock;
    return false;
  }
  if (flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    char owner[tools::kLiveMaxName + 1] = {};
    const ssize_t n = pread(lockFd_, owner, tools::kLiveMaxName, 0);
    close(lockFd_);
    lockFd_ = -1;
    *error = "this camera is already published as node '" + std::string(owner, n > 0 ? size_t(n) : 0) +
             "' by another uvccam publish";
    return false;
  }
  if (ftruncate(lockFd_, 0) != 0 || pwrite(lockFd_, node.data(), node.size(), 0) != ssize_t(node.size())) {
    *error = "cannot write " + lock;
    return false;
  }
  const std::string link = tools::LiveNodeSocket(folder, node);
  if (tools::LiveSocketAnswers(link)) {
    *error = "the node name '" + node + "' is taken by another uvccam publish (--name picks another)";
    return false;
  }
  // The lock is ours: a socket left behind by a publisher that died goes.
  socket_ = tools::LiveCameraSocket(folder, camera);
  unlink(socket_.c_str());
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket_.size() >= sizeof addr.sun_path) {
    *error = "the socket path " + socket_ + " is too long";
    return false;
  }
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_.c_str());
  listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const mode_t mask = umask(077);  // the socket is the owner's alone from the start
  const bool bound = listenFd_ >= 0 && bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  umask(mask);
  if (!bound || chmod(socket_.c_str(), 0600) != 0 || listen(listenFd_, 8) != 0 || pipe2(wake_, O_CLOEXEC) != 0) {
    *error = "cannot listen on " + socket_;
    return false;
  }
  unlink(link.c_str());
  const std::string target = socket_.substr(socket_.rfind('/') + 1);
  if (symlink(target.c_str(), link.c_str()) == 0) link_ = link;
  return true;
}

void LiveServer::Serve(client::Filter* filter) {
  filter_ = filter;
  if (listenFd_ >= 0) thread_ = std::thread([this] { Run(); });
}

void LiveServer::Run() {
  for (;;) {
    pollfd p[2] = {{listenFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(p, 2, -1) < 0) continue;
    if (p[1].revents != 0) return;
    if ((p[0].revents & POLLIN) == 0) continue;
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    Handle(fd);
    close(fd);
  }
}

void LiveServer::Handle(int fd) {
  const timeval limit{kClientSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  std::string line;
  char buf[4096];
  while (line.find('\n') == std::string::npos) {
    if (line.size() > tools::kLiveMaxLine) {
      const std::string r = Reply(2, "", "uvccam publish: request too long\n");
      send(fd, r.data(), r.size(), MSG_NOSIGNAL);
      return;
    }
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;  // the client left or went silent: nothing was done
    line.append(buf, size_t(n));
  }
  const std::string r = Answer(filter_, line.substr(0, line.find('\n')));
  send(fd, r.data(), r.size(), MSG_NOSIGNAL);  // a client gone by now harms nothing
}

void LiveServer::Stop() {
  if (thread_.joinable()) {
    const char stop = 1;
    if (write(wake_[1], &stop, 1) != 1) {
    }
    thread_.join();
  }
  if (listenFd_ >= 0) {
    close(listenFd_);
    unlink(socket_.c_str());
    listenFd_ = -1;
  }
  if (!link_.empty()) unlink(link_.c_str());
  link_.clear();
  for (int& fd : wake_) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  if (lockFd_ >= 0) close(lockFd_);
  lockFd_ = -1;
}

}  // namespace publish
