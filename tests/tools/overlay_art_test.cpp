// `uvccam overlays`: installs one bitmap per overlay mode and frame size of
// the simulated cameras into the state folder, and the driver's loader reads
// every one of them, and an overlay shows over a capture from the built-in
// camera.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "effects/overlay.h"
#include "effects/special/special_effect.h"
#include "platform/host/host_control.h"
#include "platform/host/host_files.h"
#include "tests/tools/command_run.h"

namespace {

int RunTool(const std::string& command) {
  const int s = std::system(command.c_str());
  return WIFEXITED(s) ? WEXITSTATUS(s) : -1;
}

TEST(OverlayArt, InstallsEveryModeAndSizeAndTheDriverLoadsThem) {
  const std::filesystem::path root = std::filesystem::path(::testing::TempDir()) / "uvccam-art";
  std::filesystem::remove_all(root);
  // The default folder follows XDG_STATE_HOME.
  ASSERT_EQ(RunTool("XDG_STATE_HOME=" + root.string() + " " + Tool() + " overlays >/dev/null"), 0);
  const std::filesystem::path folder = root / "uvccam";
  const std::pair<ULONG, ULONG> sizes[] = {{160, 120}, {176, 144}, {320, 240}, {352, 288},
                                           {640, 480}, {800, 600}, {1280, 720}};
  const ULONG modes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 254};
  size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(folder)) files += e.path().extension() == ".bmp";
  EXPECT_EQ(files, std::size(sizes) * std::size(modes));

  ColorTables* tables = new ColorTables;
  BuildColorTables(tables);
  host::SetStateFolder(folder.string());
  for (auto [w, h] : sizes) {
    std::vector<UCHAR> bitmap(size_t(w) * h * 3), work(size_t(w) * h * 2);
    for (ULONG mode : modes) {
      SpecialEffectRecord record{};
      record.overlayBitmap = bitmap.data();
      record.overlayBitmapSize = ULONG(bitmap.size());
      ASSERT_EQ(LoadOverlayBitmap(&record, mode, work.data(), tables, w, h, kFormatCodeLumaFirst), 1)
          << mode << " " << w << "x" << h;
      // Some of the picture is drawn, most of it is see-through.
      size_t opaque = 0;
      for (size_t i = 0; i < size_t(w) * h * 2; i += 2) opaque += bitmap[i] != 0;
      EXPECT_GT(opaque, 0u) << mode;
      EXPECT_LT(opaque, size_t(w) * h * 6 / 10) << mode;
    }
  }
  host::SetStateFolder("");

  // Through the whole driver, in a state folder without art: capture draws
  // the selected overlay's art where it is missing, and a numbered frame
  // shows over the built-in camera's picture. Where the art is drawn the
  // captured luma is the art's, elsewhere it is the camera's picture as
  // captured without an overlay.
  const std::filesystem::path fresh = root / "fresh";
  const std::string plain = (root / "plain.raw").string(), framed = (root / "framed.raw").string();
  const std::string capture = Tool() + " capture --state " + fresh.string() +
                              " --size 320x240 --subtype YUY2 --frames 2 --output ";
  ASSERT_EQ(RunTool(capture + plain + " >/dev/null"), 0);
  EXPECT_FALSE(std::filesystem::exists(fresh / "1_320_240.bmp"));
  ASSERT_EQ(RunTool(capture + framed + " --set overlay=4 >/dev/null"), 0);
  size_t provided = 0;
  for (const auto& e : std::filesystem::directory_iterator(fresh))
    provided += e.path().extension() == ".bmp" && e.path().filename().string().rfind("1_", 0) == 0;
  EXPECT_EQ(provided, 1u) << "only the captured size";
  EXPECT_FALSE(std::filesystem::exists(fresh / "2_320_240.bmp")) << "only the selected mode";
  std::vector<UCHAR> art(320 * 240 * 3), work(320 * 240 * 2);
  SpecialEffectRecord record{};
  record.overlayBitmap = art.data();
  record.overlayBitmapSize = ULONG(art.size());
  host::SetStateFolder(fresh.string());
  ASSERT_EQ(LoadOverlayBitmap(&record, 4, work.data(), tables, 320, 240, kFormatCodeLumaFirst), 1);
  host::SetStateFolder("");
  auto slurp = [](const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  };
  const std::string a = slurp(plain), b = slurp(framed);
  ASSERT_EQ(a.size(), 2u * 320 * 240 * 2);
  ASSERT_EQ(b.size(), a.size());
  size_t drawn = 0, wrong = 0;
  for (size_t i = 320 * 240 * 2; i < a.size(); i += 2) {  // the second frame's luma
    const UCHAR overlay = art[i - 320 * 240 * 2];
    drawn += overlay != 0;
    wrong += UCHAR(b[i]) != (overlay ? overlay : UCHAR(a[i]));
  }
  EXPECT_GT(drawn, 320u * 240 / 20);
  EXPECT_EQ(wrong, 0u);
  delete tables;
  // A folder that cannot be made, an unknown option.
  std::ofstream(root / "file") << "x";
  EXPECT_EQ(RunTool(Tool() + " overlays --state " + (root / "file" / "sub").string() + " 2>/dev/null"), 1);
  EXPECT_EQ(RunTool(Tool() + " overlays --bogus 2>/dev/null"), 2);
  std::filesystem::remove_all(root);
}

}  // namespace
