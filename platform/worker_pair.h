// A second thread for image work that splits in two (the MJPEG decoder's
// halves of a frame with restart intervals), lent by the platform: the
// driver folders start no threads of their own. On the host there is one
// such pair for the process; in Windows kernel mode there is none and the
// image work stays on the calling thread.
#pragma once

typedef void (*WorkerPairFunction)(void* item);

struct WorkerPair {
  // Runs work(first) and work(second), at the same time where it can (one
  // of them on the calling thread), and returns when both have finished.
  // Callers on several threads may use one pair at once: a call that finds
  // the second thread busy runs both items itself, one after the other.
  void (*runPair)(void* context, WorkerPairFunction work, void* first, void* second);
  void* context;
};

// The platform's pair, or null where image work keeps to the calling thread.
const WorkerPair* PlatformWorkerPair();
