// Replays a fuzz target's corpus once, without libFuzzer: every file under
// the folders (or the files) named on the command line goes through the
// target's entry point, in name order. Built with any compiler, so the
// corpus runs as an ordinary test under the sanitizers of the build.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (fs::is_regular_file(argv[i], error)) files.push_back(argv[i]);
    for (fs::recursive_directory_iterator it(argv[i], error), end; !error && it != end; it.increment(error))
      if (it->is_regular_file()) files.push_back(it->path().string());
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    std::fprintf(stderr, "replay: no inputs\n");
    return 1;
  }
  for (const std::string& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // An exactly sized copy, so reads past the input are caught as they
    // are under libFuzzer.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() ? bytes.size() : 1]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    LLVMFuzzerTestOneInput(exact.get(), bytes.size());
  }
  std::printf("replayed %zu inputs\n", files.size());
  return 0;
}
