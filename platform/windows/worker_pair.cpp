// Windows kernel mode: the image work of a frame stays on the thread that
// processes it (one worker per frame).
#include "platform/worker_pair.h"

const WorkerPair* PlatformWorkerPair() { return nullptr; }
