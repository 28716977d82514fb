// Format and still tables from descriptor sets, restriction to MJPG,
// the scaled sizes, and the lookups.
#include "tests/usb/camera_rig.h"
#include "usb/format_table.h"

namespace {

using namespace rig;

// Tables built from a descriptor set, freed on destruction; Run() hands the
// format table to an engine and restricts and extends it there.
struct Tables {
  explicit Tables(const Bytes& cfg, bool highSpeed = false) : bytes(cfg), engine(CreateStreamEngine(nullptr)) {
    status = BuildFormatTable(bytes.data(), ULONG(bytes.size()), &table, &count, &stills, &stillCount, &streaming);
    engine->highSpeed = highSpeed;
  }
  ~Tables() {
    if (table) ExFreePoolWithTag(table, kTagBuffer);
    if (stills) ExFreePoolWithTag(stills, kTagBuffer);
    FreeStreamEngine(engine);
  }
  NTSTATUS Run() {
    engine->formatTable = std::exchange(table, nullptr), engine->formatCount = count;
    return RestrictAndExtend(engine, &engine->formatTable, &engine->formatCount);
  }
  Bytes bytes;
  NTSTATUS status;
  FrameFormat *table = nullptr, *stills = nullptr;
  ULONG count = 0, stillCount = 0;
  LONG streaming = kNoInterface;
  StreamEngine* engine;
};

ConfigBuilder VideoStart(uint8_t formats) {
  ConfigBuilder b;
  b.Interface(0, 0, 14, 1, 0).Interface(1, 0, 14, 2, 0).InputHeader(formats);
  return b;
}

class FormatTableTest : public rig::UsbTest {};

TEST_F(FormatTableTest, MalformedAndOddDescriptorSets) {
  // An audio streaming interface after the video function: its class-specific
  // descriptors use type 0x24 and subtypes 3, 4 and 6 too.
  Bytes audio = {9, 4, 3, 0, 0, 1, 2, 0, 0, 7, 0x24, 1, 1, 1, 1, 0, 11, 0x24, 3, 1, 2, 2, 16, 1, 0x80, 0xBB, 0x00,
                 27, 0x24, 4, 9, 3, 0x80, 2, 0xE0, 1};
  audio.resize(audio.size() + 27 - 9, 0);
  audio.insert(audio.end(), {30, 0x24, 5, 1, 0, 0x40, 1, 0xF0, 0});
  audio.resize(audio.size() + 21, 0);
  audio.insert(audio.end(), {11, 0x24, 6, 1, 1, 0, 0, 0, 0, 0, 0});
  Bytes cut = VideoStart(1).Mjpeg(1, {{640, 480}, {320, 240}}).Build();
  cut.resize(cut.size() - 3);  // the last frame's bLength runs past what the device returned
  Bytes tail = VideoStart(1).Mjpeg(1, {{640, 480}}).Build();
  tail.push_back(7);
  const NTSTATUS bad = STATUS_INVALID_PARAMETER, none = STATUS_UNSUCCESSFUL, ok = STATUS_SUCCESS;
  const struct {
    const char* what;
    Bytes cfg;
    NTSTATUS status;
    ULONG count, stillCount, firstWidth, firstStill = 640;
    const GUID* second = nullptr;
    ULONG firstIndex = 1;
  } cases[] = {
      {"audio function after the video function",
       VideoStart(1).Mjpeg(1, {{640, 480}}).Still({{640, 480}}).Raw(audio).Build(), ok, 1, 1, 640},
      {"more formats declared than present", VideoStart(4).Mjpeg(1, {{640, 480}, {320, 240}}).Build(), ok, 2, 0, 640},
      {"formats beyond the declared count",
       VideoStart(1).Mjpeg(1, {{640, 480}}).Uncompressed(2, kSubtypeYuy2, {{320, 240}}).Build(), ok, 1, 0, 640},
      {"frame count larger than present",
       VideoStart(2).Mjpeg(1, {{800, 600}}, 4).Uncompressed(2, kSubtypeYuy2, {{320, 240}}).Still({{800, 600}}).Build(),
       ok, 2, 1, 800, 800, &kSubtypeYuy2},
      {"more than five formats", VideoStart(6).Mjpeg(1, {{640, 480}}).Build(), none, 0, 0, 0},
      {"no streaming interface", ConfigBuilder().Interface(0, 0, 14, 1, 0).Build(), none, 0, 0, 0},
      {"no input header",
       ConfigBuilder().Interface(0, 0, 14, 1, 0).Interface(1, 0, 14, 2, 0).Mjpeg(1, {{640, 480}}).Build(), none, 0, 0, 0},
      // It carries 14, 2 at bytes 5 and 6.
      {"class descriptor looking like an interface", ConfigBuilder().Raw({9, 0x24, 1, 0, 0, 14, 2, 0, 0}).Build(), none,
       0, 0, 0},
      {"frame of 25 bytes", VideoStart(1).Mjpeg(1, {{640, 480, 333333, 25}}).Build(), bad, 0, 0, 0},
      {"frame of 26 bytes ending the set", VideoStart(1).Mjpeg(1, {{640, 480}, {320, 240, 5, 26}}).Build(), ok, 2, 0, 640},
      {"frame of 37 bytes ending the set", VideoStart(1).Mjpeg(1, {{640, 480}, {320, 240, 5, 37}}).Build(), ok, 2, 0, 640},
      {"set ends inside the frames", VideoStart(1).Mjpeg(1, {{640, 480}}, 3).Build(), bad, 0, 0, 0},
      {"frame overruns the set", cut, bad, 0, 0, 0},
      {"format too short for its GUID", VideoStart(1).Raw({6, 0x24, 4, 1, 0, 0}).Build(), bad, 0, 0, 0},
      {"zero bLength in the middle", VideoStart(1).Mjpeg(1, {{640, 480}}).Raw({0, 0x24, 3, 0, 1}).Build(), ok, 1, 0, 640},
      {"255 bytes claimed at the end", VideoStart(1).Mjpeg(1, {{640, 480}}).Raw({255, 0x24, 3, 0, 9}).Build(), ok, 1, 0,
       640},
      {"one-byte tail", tail, ok, 1, 0, 640},
      {"an earlier larger still descriptor",
       VideoStart(2).Uncompressed(1, kSubtypeYuy2, {{640, 480}}).Still({{640, 480}, {320, 240}, {160, 120}, {1280, 960}})
           .Mjpeg(2, {{640, 480}}).Still({{800, 600}}).Build(), ok, 2, 1, 640, 800},
      {"sizes past 32 bits and zero sizes left out",
       VideoStart(1).Mjpeg(1, {{0, 480}, {640, 0}, {65535, 65535}, {65535, 32769}, {65535, 32768}})
           .Still({{0, 10}, {65535, 65535}, {320, 240}}).Build(), ok, 1, 1, 65535, 320, nullptr, 5},
  };
  for (const auto& c : cases) {
    Tables t(c.cfg);
    EXPECT_EQ(t.status, c.status) << c.what;
    EXPECT_EQ(t.table != nullptr, NT_SUCCESS(c.status)) << c.what;
    EXPECT_EQ(t.count, c.count) << c.what;
    EXPECT_EQ(t.stillCount, c.stillCount) << c.what;
    EXPECT_EQ(t.count ? t.table[0].inputWidth : 0, c.firstWidth) << c.what;
    EXPECT_EQ(t.count ? t.table[0].frameIndex : 1, c.firstIndex) << c.what;
    EXPECT_EQ(t.stillCount ? t.stills[0].inputWidth : 0, t.stillCount ? c.firstStill : 0) << c.what;
    EXPECT_TRUE(!c.second || (t.count > 1 && IsEqualGUID(t.table[1].inputSubtype, *c.second))) << "not a frame";
  }
}

// (The last still descriptor winning is a row of the table above.)
TEST_F(FormatTableTest, StillPatternsAreBoundedByTheDescriptorAreYuy2AndIndexesAreOneBased) {
  Tables t(VideoStart(1).Mjpeg(1, {{640, 480}}).Still({{640, 480}, {320, 240}, {320, 240}}, 200).Build());
  ASSERT_EQ(t.stillCount, 3u);
  EXPECT_TRUE(IsEqualGUID(t.stills[0].outputSubtype, kSubtypeYuy2) && t.stills[0].formatIndex == 0);
  ULONG index = 9;
  FindStillFrameIndex(t.stills, t.stillCount, 320, 240, &index);
  EXPECT_EQ(index, 2u) << "the first match, counted from one";
  FindStillFrameIndex(t.stills, t.stillCount, 100, 100, &index);
  EXPECT_EQ(index, 2u) << "no match leaves it";
}

TEST_F(FormatTableTest, HighSpeedAddsTheScaledSizesOnceAndSortsStably) {
  using Sizes = std::vector<std::pair<ULONG, ULONG>>;
  const std::vector<rig::Frame> frames = {{800, 600}, {640, 480}, {640, 360}, {352, 288}, {320, 240}, {640, 400}};
  for (bool highSpeed : {true, false}) {
    Tables t(VideoStart(1).Mjpeg(1, frames).Build(), highSpeed);
    ASSERT_EQ(t.Run(), STATUS_SUCCESS);
    Sizes got;
    for (ULONG i = 0; i < t.engine->formatCount; ++i)
      got.emplace_back(t.engine->formatTable[i].outputWidth, t.engine->formatTable[i].outputHeight);
    // The first entry stays first; 352x288 is already offered, so five are added.
    // Full speed neither extends nor sorts.
    EXPECT_EQ(got, (highSpeed ? Sizes{{800, 600}, {176, 144}, {320, 240}, {352, 288}, {640, 480}, {640, 360},
                                     {640, 400}, {1280, 1024}, {1600, 1200}, {2048, 1536}, {2560, 1920}}
                             : Sizes{{800, 600}, {640, 480}, {640, 360}, {352, 288}, {320, 240}, {640, 400}}));
    if (!highSpeed) continue;
    // An added entry: the camera sends the source size, the driver scales.
    // (A YUY2 camera's scaled sizes stream from its YUY2 source in the driver's frame tests.)
    const FrameFormat& big = t.engine->formatTable[t.engine->formatCount - 1];
    EXPECT_EQ(std::make_tuple(big.inputWidth, big.inputHeight, big.formatIndex, big.frameIndex, big.defaultInterval,
                              big.inputSubtype.Data1), std::make_tuple(640u, 480u, 1u, 2u, 333333u, kSubtypeMjpg.Data1));
  }
  // Only the sizes whose source the camera has: 640x480 gives four, a
  // camera of HD sizes or of UYVY only none.
  for (auto [cfg, count] : {std::make_pair(VideoStart(1).Mjpeg(1, {{640, 480}, {1280, 720}}).Build(), 6u),
                            std::make_pair(VideoStart(1).Mjpeg(1, {{1280, 720}, {1920, 1080}}).Build(), 2u),
                            std::make_pair(VideoStart(1).Uncompressed(1, kSubtypeUyvy, {{320, 240}}).Build(), 1u)}) {
    Tables n(cfg, true);
    ASSERT_EQ(n.Run(), STATUS_SUCCESS);
    EXPECT_EQ(n.engine->formatCount, count);
  }
}

TEST_F(FormatTableTest, SelectFormatTakesTheLastMatchAndRefusesOtherInputs) {
  GUID other = kSubtypeI420;
  Tables t(VideoStart(2).Uncompressed(1, kSubtypeYuy2, {{640, 480, 111}, {320, 240}, {640, 480, 222}})
               .Uncompressed(2, other, {{800, 600}}).Build());
  ASSERT_EQ(t.Run(), STATUS_SUCCESS);
  ASSERT_EQ(SelectFormat(t.engine, 640, 480, kSubtypeYuy2), STATUS_SUCCESS);
  EXPECT_EQ(std::make_tuple(t.engine->currentFormat.defaultInterval, t.engine->currentFormat.frameIndex,
                            t.engine->expectedFrameSize), std::make_tuple(222u, 3u, 640u * 480 * 2));
  EXPECT_EQ(SelectFormat(t.engine, 800, 600, other), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(t.engine->currentFormat.outputWidth, 640u) << "a refused format leaves the current one";
  EXPECT_EQ(SelectFormat(t.engine, 641, 480, kSubtypeYuy2), STATUS_INVALID_PARAMETER);
}

}  // namespace
