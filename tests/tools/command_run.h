// Runs a uvccam command function in-process with its own state folder and
// collects its exit status, standard output and standard error; where the
// uvccam program is, for the tests that run it as a process; and a PNG
// reader for the stills they write.
#pragma once

#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

struct CommandRun {
  int status = -1;
  std::string out, err;
};

inline CommandRun RunCommand(int (*command)(int, char**), const std::string& state,
                             std::vector<std::string> args) {
  args.insert(args.begin(), {"--state", state});
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  CommandRun r;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  r.status = command(int(argv.size()), argv.data());
  r.out = testing::internal::GetCapturedStdout();
  r.err = testing::internal::GetCapturedStderr();
  return r;
}

// The uvccam binary lives beside the test binaries in the build directory.
inline std::string Tool() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "uvccam";
  path[n] = 0;
  const std::string dir(path);
  return dir.substr(0, dir.rfind('/')) + "/uvccam";
}

// Reads a PNG back as 8-bit RGB rows.
inline bool ReadPng(const std::string& path, std::vector<uint8_t>* rgb, uint32_t* w, uint32_t* h) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_RGB;
  rgb->resize(PNG_IMAGE_SIZE(image));
  *w = image.width, *h = image.height;
  return png_image_finish_read(&image, nullptr, rgb->data(), 0, nullptr) != 0;
}
