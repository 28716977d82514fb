#include "tools/stop_signals.h"

#include <signal.h>

namespace tools {

namespace {

volatile sig_atomic_t g_requested = 0;
struct sigaction g_previous[2];
constexpr int kSignals[2] = {SIGINT, SIGTERM};

void OnStopSignal(int signal) {
  if (g_requested != 0) {
    // The second request: the default action, now.
    ::signal(signal, SIG_DFL);
    raise(signal);
    return;
  }
  g_requested = signal;
}

}  // namespace

StopSignalScope::StopSignalScope() {
  g_requested = 0;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < 2; ++i) sigaction(kSignals[i], &action, &g_previous[i]);
}

StopSignalScope::~StopSignalScope() {
  for (int i = 0; i < 2; ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
}

int StopSignalScope::Requested() { return g_requested; }

}  // namespace tools
