// A private PipeWire for the publish tests and figures: a pipewire daemon and a
// WirePlumber without ALSA, BlueZ, V4L2, libcamera or the portal, in a
// temporary runtime, config and state folder of their own, with no D-Bus;
// and the child processes the tests start, each waited for with a timeout
// and ended by its pid.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace pwtest {

// The program's full path when it is on PATH; empty otherwise.
std::string FindProgram(const std::string& name);

// Starts argv[0] (a path) with stdout and stderr into `log`; -1 on failure.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& log);
// Waits up to timeoutMs for the child to exit; its wait status in *status.
bool WaitExit(pid_t pid, int timeoutMs, int* status);
// SIGTERM, then SIGKILL after timeoutMs; the child is reaped either way.
void EndProcess(pid_t pid, int timeoutMs = 5000);
// Waits up to timeoutMs until `text` appears in the file.
bool WaitForText(const std::string& file, const std::string& text, int timeoutMs);
std::string ReadText(const std::string& file);

class PrivatePipeWire {
 public:
  // Makes a fresh folder under `folder` (removed again by Stop unless
  // UVCCAM_KEEP_TEST_FOLDER is set). Sets XDG_RUNTIME_DIR, XDG_CONFIG_HOME and XDG_STATE_HOME of this process
  // (children inherit them), writes the configuration and starts the daemon
  // and the session manager. *error names what failed.
  bool Start(const std::string& folder, std::string* error);
  void Stop();
  ~PrivatePipeWire() { Stop(); }
  const std::string& Folder() const { return folder_; }

 private:
  std::string folder_;
  pid_t daemon_ = -1;
  pid_t session_ = -1;
};

}  // namespace pwtest
