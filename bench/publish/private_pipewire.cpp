#include "bench/publish/private_pipewire.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace pwtest {

namespace {

// Only what a video graph needs: the native protocol, client nodes, the
// adapter and links, one fallback driver.
const char kDaemonConf[] = R"(context.properties = { core.daemon = true core.name = pipewire-0 }
context.spa-libs = { support.* = support/libspa-support video.convert.* = videoconvert/libspa-videoconvert }
context.modules = [
  { name = libpipewire-module-protocol-native }
  { name = libpipewire-module-metadata }
  { name = libpipewire-module-spa-node-factory }
  { name = libpipewire-module-client-node }
  { name = libpipewire-module-client-device }
  { name = libpipewire-module-access }
  { name = libpipewire-module-adapter }
  { name = libpipewire-module-link-factory }
  { name = libpipewire-module-session-manager }
]
context.objects = [
  { factory = spa-node-factory
    args = { factory.name = support.node.driver node.name = Dummy-Driver node.group = pipewire.dummy priority.driver = 20000 } }
]
)";

// The session manager with its linking policy and no device monitors.
const char kSessionConf[] = R"(context.properties = { log.level = 2 wireplumber.script-engine = lua-scripting }
context.spa-libs = { support.* = support/libspa-support }
context.modules = [
  { name = libpipewire-module-protocol-native }
  { name = libpipewire-module-client-node }
  { name = libpipewire-module-client-device }
  { name = libpipewire-module-adapter }
  { name = libpipewire-module-metadata }
  { name = libpipewire-module-session-manager }
]
wireplumber.components = [
  { name = libwireplumber-module-lua-scripting, type = module }
  { name = main.lua, type = config/lua }
  { name = policy.lua, type = config/lua }
]
)";

// Replaces the stock list that enables the ALSA, V4L2 and libcamera monitors.
const char kSessionMain[] = R"(load_module("metadata")
default_access.properties["enable-flatpak-portal"] = false
default_access.enable()
stream_defaults.enable()
)";

bool WriteFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path);
  out << text;
  return bool(out);
}

}  // namespace

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':'))
    if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
  return "";
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& log) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd >= 0) {
    dup2(fd, 1);
    dup2(fd, 2);
    close(fd);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execv(args[0], args.data());
  _exit(127);
}

bool WaitExit(pid_t pid, int timeoutMs, int* status) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const pid_t r = waitpid(pid, status, WNOHANG);
    if (r == pid) return true;
    if (r < 0 || std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void EndProcess(pid_t pid, int timeoutMs) {
  if (pid <= 0) return;
  int status = 0;
  kill(pid, SIGTERM);
  if (WaitExit(pid, timeoutMs, &status)) return;
  kill(pid, SIGKILL);
  WaitExit(pid, 5000, &status);
}

std::string ReadText(const std::string& file) {
  std::ifstream in(file);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool WaitForText(const std::string& file, const std::string& text, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (ReadText(file).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool PrivatePipeWire::Start(const std::string& folder, std::string* error) {
  std::string templ = folder + "/uvccam_pw_XXXXXX";
  if (mkdtemp(&templ[0]) == nullptr) {
    *error = "cannot make a folder under " + folder;
    return false;
  }
  folder_ = templ;
  const std::string pipewire = FindProgram("pipewire"), wireplumber = FindProgram("wireplumber");
  if (pipewire.empty() || wireplumber.empty()) {
    *error = "pipewire or wireplumber is not installed (scripts/install-deps.sh installs them)";
    return false;
  }
  const std::string run = folder_ + "/run", config = folder_ + "/config", state = folder_ + "/state";
  for (const std::string& d : {run, config, state}) std::filesystem::create_directories(d);
  chmod(run.c_str(), 0700);
  if (!WriteFile(config + "/pipewire/pipewire.conf", kDaemonConf) ||
      !WriteFile(config + "/wireplumber/wireplumber.conf", kSessionConf) ||
      !WriteFile(config + "/wireplumber/main.lua.d/90-enable-all.lua", kSessionMain)) {
    *error = "cannot write the configuration under " + config;
    return false;
  }
  setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  setenv("XDG_STATE_HOME", state.c_str(), 1);
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  unsetenv("PIPEWIRE_REMOTE");
  unsetenv("PIPEWIRE_RUNTIME_DIR");
  daemon_ = Spawn({pipewire}, folder_ + "/pipewire.log");
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (access((run + "/pipewire-0").c_str(), F_OK) != 0) {
    if (std::chrono::steady_clock::now() > end) {
      *error = "the pipewire daemon did not start: " + ReadText(folder_ + "/pipewire.log");
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  session_ = Spawn({wireplumber}, folder_ + "/wireplumber.log");
  return daemon_ > 0 && session_ > 0;
}

void PrivatePipeWire::Stop() {
  EndProcess(session_);
  EndProcess(daemon_);
  session_ = daemon_ = -1;
  if (!folder_.empty() && std::getenv("UVCCAM_KEEP_TEST_FOLDER") == nullptr) {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
  folder_.clear();
}

}  // namespace pwtest
