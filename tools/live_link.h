// The link between a running `uvccam publish` and the commands that reach
// its camera while it streams: the local socket folder, the socket of a
// camera selection or node name, and one request with its reply. The
// publisher answers on the camera it owns; nothing opens that camera twice.
#pragma once

#include <string>
#include <vector>

#include "tools/camera_options.h"

namespace tools {

// Longest request or reply line, and the limits within a request.
constexpr size_t kLiveMaxLine = 64 * 1024;
constexpr size_t kLiveMaxName = 64;
constexpr size_t kLiveMaxSettings = 64;
constexpr size_t kLiveMaxSetting = 128;

// $XDG_RUNTIME_DIR/uvccam, created owner-only (0700) when missing and
// `create` is set. Empty with *error set without XDG_RUNTIME_DIR, when it
// is missing, or when the folder is not this user's alone.
std::string LiveFolder(std::string* error, bool create = true);

// Names within that folder: the socket of a camera selection (the built-in
// camera, a profile or a descriptor dump), the link a node name leaves to
// it, and the lock a publisher holds for the camera.
std::string LiveCameraSocket(const std::string& folder, const CameraOptions& camera);
std::string LiveNodeSocket(const std::string& folder, const std::string& node);
std::string LiveCameraLock(const std::string& folder, const CameraOptions& camera);

// True when a publisher answers on `path`.
bool LiveSocketAnswers(const std::string& path);

// The socket to use for a command: the node's when `node` is given (an
// error when no publisher runs under that name), else the camera's when its
// publisher runs; empty when the command should open the camera itself.
// False with *error set.
bool FindLiveSocket(const CameraOptions& camera, const std::string& node, std::string* path,
                    std::string* error);

// A request as the publisher reads it: {"request": "controls", ...}.
struct LiveReply {
  int status = 1;
  std::string out, err;
};
// Sends one JSON request line and waits (up to timeoutMs) for the reply.
bool LiveCall(const std::string& path, const std::string& request, int timeoutMs, LiveReply* reply,
              std::string* error);

// Prints a reply as the command itself would (stdout, stderr) and returns
// its exit status.
int PrintLiveReply(const LiveReply& reply);

}  // namespace tools

namespace tools {

// `uvccam controls` through a publisher: the same output and status as on
// a camera of its own.
int LiveControls(const std::string& path, const std::string& get, const std::vector<std::string>& sets,
                 bool json);

}  // namespace tools
