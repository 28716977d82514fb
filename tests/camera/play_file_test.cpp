// Play files are read a frame at a time and loop; inputs read whole have
// limits that fit their kind.
#include <gtest/gtest.h>

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

TEST(PlayFile, FramesComeOneAtATimeAndLoop) {
  // Two images with junk around them, then one with no end marker.
  const Bytes a = {0xFF, 0xD8, 1, 0xFF, 0xD9}, b = {0xFF, 0xD8, 0xFF, 0xD9};
  Bytes file = {7, 0xFF};
  for (const Bytes* image : {&a, &b}) file.insert(file.end(), image->begin(), image->end()), file.push_back(9);
  file.insert(file.end(), {0xFF, 0xD8, 5});
  auto play = camera::PlayFile::Open(Write("play.mjpeg", file), nullptr);
  ASSERT_TRUE(play);
  Bytes frame;
  for (const Bytes* want : {&a, &b, &a, &b}) {
    ASSERT_TRUE(play->NextJpeg(&frame));
    EXPECT_EQ(frame, *want);
  }
  // Raw: two whole frames of 4 and a partial one, which is skipped.
  auto raw = camera::PlayFile::FromBytes({1, 1, 1, 1, 2, 2, 2, 2, 3});
  for (uint8_t want : {1, 2, 1}) {
    ASSERT_TRUE(raw->NextRaw(4, &frame));
    EXPECT_EQ(frame, Bytes(4, want));
  }
  EXPECT_FALSE(raw->NextRaw(16, &frame));  // shorter than one frame
  EXPECT_FALSE(camera::PlayFile::FromBytes(Bytes(100, 0xFF))->NextJpeg(&frame));
}

// Devices, folders and oversized inputs are refused by the command line's tests.
TEST(PlayFile, EmptyPlayFilesAndInputsPastTheirLimitAreRefused) {
  std::string error;
  const std::string empty = Write("empty.mjpeg", {});
  EXPECT_FALSE(camera::PlayFile::Open(empty, &error));
  EXPECT_EQ(error, empty + ": is empty");
  const std::string fits = Write("fits.bin", Bytes(camera::kMaxDescriptorDump, 2));
  const std::string big = Write("big.bin", Bytes(camera::kMaxDescriptorDump + 1, 1));
  Bytes bytes;
  EXPECT_FALSE(camera::ReadInputFile(big, camera::kMaxDescriptorDump, &bytes, &error));
  EXPECT_EQ(error, big + ": larger than 64 KiB, the most this input may be");
  ASSERT_TRUE(camera::ReadInputFile(fits, camera::kMaxDescriptorDump, &bytes, &error)) << error;
  EXPECT_EQ(bytes, Bytes(camera::kMaxDescriptorDump, 2));
}

}  // namespace
