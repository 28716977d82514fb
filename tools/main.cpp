// uvccam: command-line program over the driver on a simulated camera.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/commands.h"
#include "tools/device_select.h"

#ifndef UVCCAM_VERSION
#define UVCCAM_VERSION "unknown"
#endif

namespace {

struct Verb {
  const char* name;
  int (*run)(int argc, char** argv);
  const char* summary;
};

const Verb kVerbs[] = {
    {"capture", tools::CaptureCommand, "stream frames from the capture pin into a file (y4m, raw, MJPEG)"},
    {"still", tools::StillCommand, "take one still through the still pin, saved as PNG"},
    {"formats", tools::FormatsCommand, "list the camera's formats and the pins' data ranges"},
    {"controls", tools::ControlsCommand, "list the controls, or --get NAME / --set NAME=VALUE"},
    {"descriptors", tools::DescriptorsCommand, "write the camera's descriptors as a dump file"},
    {"overlays", tools::OverlaysCommand, "install the overlay bitmaps into the state folder"},
    {"list", tools::ListCommand, "list the USB video-class devices (real cameras for --device)"},
    {"publish", tools::PublishCommand, "offer the camera to every application as a PipeWire camera"},
};

void Usage(FILE* out) {
  std::fputs("usage: uvccam <command> [options]\ncommands:\n", out);
  for (const Verb& v : kVerbs) std::fprintf(out, "  %-12s %s\n", v.name, v.summary);
  std::fputs("  help         show this text (help COMMAND: that command's options)\n"
             "uvccam COMMAND --help shows a command's options; uvccam --version its version.\n",
             out);
}

const Verb* FindVerb(const std::string& name) {
  for (const Verb& v : kVerbs)
    if (name == v.name) return &v;
  return nullptr;
}

// Edit distance, for a hint at the command a mistyped name meant.
size_t Distance(const std::string& a, const std::string& b) {
  std::vector<size_t> d(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) d[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = d[0];
    d[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = d[j];
      d[j] = std::min({d[j] + 1, d[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = up;
    }
  }
  return d[b.size()];
}

int UnknownCommand(const std::string& name) {
  const Verb* near = nullptr;
  for (const Verb& v : kVerbs)
    if (Distance(name, v.name) <= 2 && (!near || Distance(name, v.name) < Distance(name, near->name))) near = &v;
  std::fprintf(stderr, "uvccam: unknown command '%s'%s%s%s (uvccam help lists the commands)\n", name.c_str(),
               near ? "; did you mean '" : "", near ? near->name : "", near ? "'?" : "");
  return 2;
}

// Whatever a command printed must have reached standard output. A command
// that failed has said why already (often this very write).
int CheckedExit(const char* command, int status) {
  if (status != 0) return status;
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "uvccam %s: cannot write standard output: %s\n", command,
                 errno ? std::strerror(errno) : "write error");
    return 1;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // Writes to a closed pipe or past a file-size limit fail with a reason
  // the command reports, rather than ending the process silently.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  // Text output leaves in one write at the end, so that a failure is seen
  // (with its reason) by the final flush; frames written to standard output
  // are flushed one by one.
  static char buffer[1 << 20];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  if (argc < 2) {
    Usage(stderr);
    return 2;
  }
  const std::string first = argv[1];
  if (first == "--version") {
    std::printf("uvccam %s\n", UVCCAM_VERSION);
    return CheckedExit("--version", 0);
  }
  if (first == "help" || first == "--help" || first == "-h") {
    if (argc > 2 && first == "help") {
      const Verb* v = FindVerb(argv[2]);
      if (!v) return UnknownCommand(argv[2]);
      char help[] = "--help";
      char* args[] = {help, nullptr};
      return CheckedExit(v->name, v->run(1, args));
    }
    Usage(stdout);
    return CheckedExit("help", 0);
  }
  const Verb* v = FindVerb(first);
  if (!v) return UnknownCommand(first);
  return CheckedExit(v->name, v->run(argc - 2, argv + 2));
}
