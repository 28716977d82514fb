// The publisher's end of the live link: it holds the camera's lock (a
// second publisher of the same camera is refused), listens on the camera's
// socket and the node name's link to it, and answers one request per
// connection on its own thread, on the camera it streams from.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "client/camera.h"
#include "tools/camera_options.h"

namespace publish {

class LiveServer {
 public:
  ~LiveServer();
  // Takes the lock and the sockets; false with a one-line *error. Without
  // XDG_RUNTIME_DIR there is no live link: true with *note set.
  bool Open(const tools::CameraOptions& camera, const std::string& node, std::string* error,
            std::string* note);
  // Answers requests on `filter` until Stop.
  void Serve(client::Filter* filter);
  void Stop();

  // One request line and its reply line (exposed for the tests' sake).
  static std::string Answer(client::Filter* filter, const std::string& request);

 private:
  void Run();
  void Handle(int fd);

  client::Filter* filter_ = nullptr;
  int lockFd_ = -1;
  int listenFd_ = -1;
  int wake_[2] = {-1, -1};
  std::string socket_, link_;
  std::thread thread_;
};

}  // namespace publish
