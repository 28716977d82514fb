// `uvccam publish` in a build without libpipewire: the verb exists and says
// why it cannot run.
#include <cstdio>

#include "tools/commands.h"

namespace tools {

int PublishCommand(int argc, char** argv) {
  (void)argc;
  (void)argv;
  std::fprintf(stderr, "uvccam publish: this uvccam was built without PipeWire (libpipewire-0.3 >= 0.3.34)\n");
  return 1;
}

}  // namespace tools
