// Play files are read a frame at a time and loop; inputs read whole have
// limits that fit their kind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "camera/play_file.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string Write(const std::string& name, const Bytes& bytes) {
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
  return path;
}

TEST(PlayFile, JpegImagesAndRawFramesComeOneAtATimeAndLoop) {
  // Three images with junk around them, the last with no end marker.
  const Bytes a = {0xFF, 0xD8, 1, 0xFF, 0xD9}, b = {0xFF, 0xD8, 0xFF, 0xD9}, c = {0xFF, 0xD8, 2, 3, 0xFF, 0xD9};
  Bytes file = {7, 0xFF};
  for (const Bytes* image : {&a, &b, &c}) file.insert(file.end(), image->begin(), image->end()), file.push_back(9);
  file.insert(file.end(), {0xFF, 0xD8, 5});
  auto play = camera::PlayFile::Open(Write("play.mjpeg", file), nullptr);
  ASSERT_TRUE(play);
  Bytes frame;
  for (const Bytes* want : {&a, &b, &c, &a, &b}) {
    ASSERT_TRUE(play->NextJpeg(&frame));
    EXPECT_EQ(frame, *want);
  }
  play->Rewind();
  ASSERT_TRUE(play->NextJpeg(&frame));
  EXPECT_EQ(frame, a);

  // Raw: two whole frames of 4 and a partial one, which is skipped.
  auto raw = camera::PlayFile::FromBytes({1, 1, 1, 1, 2, 2, 2, 2, 3});
  for (uint8_t want : {1, 2, 1}) {
    ASSERT_TRUE(raw->NextRaw(4, &frame));
    EXPECT_EQ(frame, Bytes(4, want));
  }
  EXPECT_FALSE(raw->NextRaw(16, &frame));  // shorter than one frame
  auto none = camera::PlayFile::FromBytes(Bytes(100, 0xFF));
  EXPECT_FALSE(none->NextJpeg(&frame));
  EXPECT_FALSE(none->NextJpeg(&frame));
}

TEST(PlayFile, DevicesDirectoriesEmptyAndOversizedInputsAreRefused) {
  const std::string dir = ::testing::TempDir() + "play_dir";
  ::mkdir(dir.c_str(), 0755);
  const std::string empty = Write("empty.mjpeg", {});
  std::string error;
  const struct {
    std::string path;
    const char* message;
  } refused[] = {{"/dev/zero", ": not a regular file"}, {dir, ": is a directory"},
                 {empty, ": is empty"}, {"/nonexistent", ": cannot open (No such file or directory)"}};
  for (const auto& r : refused) {
    EXPECT_FALSE(camera::PlayFile::Open(r.path, &error));
    EXPECT_EQ(error, r.path + r.message);
  }
  Bytes bytes;
  EXPECT_FALSE(camera::ReadInputFile("/dev/zero", camera::kMaxDescriptorDump, &bytes, &error));
  EXPECT_EQ(error, "/dev/zero: not a regular file");
  EXPECT_FALSE(camera::ReadInputFile(dir, camera::kMaxDescriptorDump, &bytes, &error));
  EXPECT_EQ(error, dir + ": is a directory");
  const std::string big = Write("big.bin", Bytes(camera::kMaxDescriptorDump + 1, 1));
  EXPECT_FALSE(camera::ReadInputFile(big, camera::kMaxDescriptorDump, &bytes, &error));
  EXPECT_EQ(error, big + ": larger than 64 KiB, the most this input may be");
  const std::string fits = Write("fits.bin", Bytes(camera::kMaxDescriptorDump, 2));
  ASSERT_TRUE(camera::ReadInputFile(fits, camera::kMaxDescriptorDump, &bytes, &error));
  EXPECT_EQ(bytes, Bytes(camera::kMaxDescriptorDump, 2));
}

}  // namespace
