// Ctrl-C (SIGINT) and SIGTERM as a request to stop a capture cleanly: the
// first one only sets a flag the capture loop reads between frames; a
// second one ends the process at once, as the signal normally does.
#pragma once

namespace tools {

class StopSignalScope {
 public:
  // Installs the handlers; the previous ones come back at destruction.
  StopSignalScope();
  ~StopSignalScope();
  StopSignalScope(const StopSignalScope&) = delete;
  StopSignalScope& operator=(const StopSignalScope&) = delete;

  // The signal that asked to stop, or 0.
  static int Requested();
};

}  // namespace tools
