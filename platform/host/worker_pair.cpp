// The host's pair: one runner thread for the process, created on first use.
#include "platform/worker_pair.h"

#include "platform/host/pair_runner.h"

const WorkerPair* PlatformWorkerPair() {
  static host::PairRunner runner;
  static const WorkerPair pair = {host::PairRunner::RunPair, &runner};
  return &pair;
}
