// uvccam: command-line program over the driver on a simulated camera.
#include <cstdio>
#include <cstring>

namespace {
void Usage(FILE* out) {
  std::fprintf(out,
               "usage: uvccam <command> [options]\n"
               "commands:\n"
               "  help        show this text\n");
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "help") || !std::strcmp(argv[1], "--help")) {
    Usage(stdout);
    return 0;
  }
  std::fprintf(stderr, "uvccam: unknown command '%s'\n", argv[1]);
  Usage(stderr);
  return 2;
}
