// Format and still tables from descriptor sets, restriction to MJPG,
// the scaled sizes, and the lookups.
#include "tests/usb/fake_camera.h"
#include "usb/format_table.h"

namespace {

using fake::ConfigBuilder;
using fake::Frame;
using fake::UsbTest;

// Tables built from a descriptor set, freed on destruction.
struct Tables {
  explicit Tables(const std::vector<uint8_t>& cfg) : bytes(cfg) {
    status = BuildFormatTable(bytes.data(), ULONG(bytes.size()), &table, &count, &stills,
                              &stillCount, &streaming);
  }
  ~Tables() {
    if (table) ExFreePoolWithTag(table, kTagBuffer);
    if (stills) ExFreePoolWithTag(stills, kTagBuffer);
  }
  std::vector<uint8_t> bytes;
  NTSTATUS status;
  FrameFormat* table = nullptr;
  ULONG count = 0;
  FrameFormat* stills = nullptr;
  ULONG stillCount = 0;
  LONG streaming = kNoInterface;
};

ConfigBuilder VideoStart(uint8_t formats) {
  ConfigBuilder b;
  b.Interface(0, 0, 14, 1, 0).Interface(1, 0, 14, 2, 0).InputHeader(formats);
  return b;
}

class FormatTableTest : public UsbTest {};

TEST_F(FormatTableTest, AudioFunctionAfterTheVideoFunctionAddsNothing) {
  // An audio streaming interface's class-specific descriptors use type 0x24
  // and subtypes 3, 4 and 6 too.
  std::vector<uint8_t> audio = {9, 4, 3, 0, 0, 1, 2, 0, 0,
                                7, 0x24, 1, 1, 1, 1, 0,
                                11, 0x24, 3, 1, 2, 2, 16, 1, 0x80, 0xBB, 0x00,
                                27, 0x24, 4, 9, 3, 0x80, 2, 0xE0, 1};
  audio.resize(audio.size() + 27 - 9, 0);
  audio.insert(audio.end(), {30, 0x24, 5, 1, 0, 0x40, 1, 0xF0, 0});
  audio.resize(audio.size() + 21, 0);
  audio.insert(audio.end(), {11, 0x24, 6, 1, 1, 0, 0, 0, 0, 0, 0});
  Tables t(VideoStart(1).Mjpeg(1, {{640, 480}}).Still({{640, 480}}).Raw(audio).Build());
  ASSERT_EQ(t.status, STATUS_SUCCESS);
  ASSERT_EQ(t.count, 1u);
  EXPECT_EQ(t.table[0].inputWidth, 640u);
  ASSERT_EQ(t.stillCount, 1u) << "an audio subtype-3 descriptor must not replace the still table";
  EXPECT_EQ(t.stills[0].inputWidth, 640u);
}

TEST_F(FormatTableTest, MoreFormatsDeclaredThanPresentTakesWhatIsThere) {
  Tables t(VideoStart(4).Mjpeg(1, {{640, 480}, {320, 240}}).Build());
  ASSERT_EQ(t.status, STATUS_SUCCESS);
  EXPECT_EQ(t.count, 2u);
}

TEST_F(FormatTableTest, FormatsBeyondTheDeclaredCountAreNotTaken) {
  Tables t(VideoStart(1).Mjpeg(1, {{640, 480}}).Uncompressed(2, kSubtypeYuy2, {{320, 240}}).Build());
  ASSERT_EQ(t.status, STATUS_SUCCESS);
  ASSERT_EQ(t.count, 1u);
  EXPECT_EQ(t.table[0].inputWidth, 640u);
}

TEST_F(FormatTableTest, MoreThanFiveFormatsIsRefused) {
  Tables t(VideoStart(6).Mjpeg(1, {{640, 480}}).Build());
  EXPECT_EQ(t.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(t.table, nullptr);
}

TEST_F(FormatTableTest, NoStreamingInterfaceOrNoInputHeaderIsUnsuccessful) {
  ConfigBuilder onlyControl;
  onlyControl.Interface(0, 0, 14, 1, 0);
  EXPECT_EQ(Tables(onlyControl.Build()).status, STATUS_UNSUCCESSFUL);
  ConfigBuilder noHeader;
  noHeader.Interface(0, 0, 14, 1, 0).Interface(1, 0, 14, 2, 0).Mjpeg(1, {{640, 480}});
  EXPECT_EQ(Tables(noHeader.Build()).status, STATUS_UNSUCCESSFUL);
  // A class-specific descriptor that merely carries 14, 2 at bytes 5 and 6
  // is not a streaming interface.
  ConfigBuilder fake;
  fake.Raw({9, 0x24, 1, 0, 0, 14, 2, 0, 0});
  EXPECT_EQ(Tables(fake.Build()).status, STATUS_UNSUCCESSFUL);
}

TEST_F(FormatTableTest, LastFrameDescriptorEndingTheSetIsRead) {
  // 26..37 bytes: complete, though shorter than a fixed 38-byte minimum.
  for (uint8_t len : {26, 30, 37}) {
    Tables t(VideoStart(1).Mjpeg(1, {{640, 480}, {320, 240, 500000, len}}).Build());
    ASSERT_EQ(t.status, STATUS_SUCCESS) << int(len);
    ASSERT_EQ(t.count, 2u);
    EXPECT_EQ(t.table[1].defaultInterval, 500000u);
  }
}

TEST_F(FormatTableTest, IncompleteFrameDescriptorIsInvalid) {
  Tables shortFrame(VideoStart(1).Mjpeg(1, {{640, 480, 333333, 25}}).Build());
  EXPECT_EQ(shortFrame.status, STATUS_INVALID_PARAMETER);
  // The set ends inside the format's frames.
  Tables ends(VideoStart(1).Mjpeg(1, {{640, 480}}, 3).Build());
  EXPECT_EQ(ends.status, STATUS_INVALID_PARAMETER);
  // The last frame's bLength runs past the end of what the device returned.
  std::vector<uint8_t> cut = VideoStart(1).Mjpeg(1, {{640, 480}, {320, 240}}).Build();
  cut.resize(cut.size() - 3);
  EXPECT_EQ(Tables(cut).status, STATUS_INVALID_PARAMETER);
}

TEST_F(FormatTableTest, FrameCountLargerThanPresentStopsAtTheNextDescriptor) {
  Tables t(VideoStart(2)
               .Mjpeg(1, {{640, 480}}, 4)
               .Uncompressed(2, kSubtypeYuy2, {{320, 240}})
               .Still({{800, 600}})
               .Build());
  ASSERT_EQ(t.status, STATUS_SUCCESS);
  ASSERT_EQ(t.count, 2u) << "the next format is not a frame of the first";
  EXPECT_TRUE(IsEqualGUID(t.table[1].inputSubtype, kSubtypeYuy2));
  EXPECT_EQ(t.stillCount, 1u);
}

TEST_F(FormatTableTest, BrokenLengthsStopTheWalkSafely) {
  // A zero bLength in the middle: everything before it counts.
  std::vector<uint8_t> zero = VideoStart(1).Mjpeg(1, {{640, 480}}).Raw({0, 0x24, 3, 0, 1}).Build();
  Tables a(zero);
  EXPECT_EQ(a.status, STATUS_SUCCESS);
  EXPECT_EQ(a.count, 1u);
  // A one-byte tail and a descriptor claiming 255 bytes at the end.
  Tables b(VideoStart(1).Mjpeg(1, {{640, 480}}).Raw({255, 0x24, 3, 0, 9}).Build());
  EXPECT_EQ(b.status, STATUS_SUCCESS);
  EXPECT_EQ(b.stillCount, 0u);
  std::vector<uint8_t> tail = VideoStart(1).Mjpeg(1, {{640, 480}}).Build();
  tail.push_back(7);
  EXPECT_EQ(Tables(tail).status, STATUS_SUCCESS);
  // A format descriptor too short for its GUID.
  Tables c(VideoStart(1).Raw({6, 0x24, 4, 1, 0, 0}).Build());
  EXPECT_EQ(c.status, STATUS_INVALID_PARAMETER);
}

TEST_F(FormatTableTest, UnrepresentableSizesNeverReachTheTables) {
  Tables t(VideoStart(1)
               .Mjpeg(1, {{0, 480}, {640, 0}, {65535, 65535}, {65535, 32769}, {65535, 32768}})
               .Still({{0, 10}, {65535, 65535}, {320, 240}})
               .Build());
  ASSERT_EQ(t.status, STATUS_SUCCESS);
  ASSERT_EQ(t.count, 1u);
  EXPECT_EQ(t.table[0].inputHeight, 32768u);
  EXPECT_EQ(t.table[0].frameIndex, 5u);
  ASSERT_EQ(t.stillCount, 1u);
  EXPECT_EQ(t.stills[0].inputWidth, 320u);
}

TEST_F(FormatTableTest, StillPatternsAreBoundedByTheDescriptorAndTheLastOneWins) {
  Tables t(VideoStart(2)
               .Uncompressed(1, kSubtypeYuy2, {{640, 480}})
               .Still({{111, 111}})
               .Mjpeg(2, {{640, 480}})
               .Still({{640, 480}, {320, 240}}, 200)
               .Build());
  ASSERT_EQ(t.status, STATUS_SUCCESS);
  ASSERT_EQ(t.stillCount, 2u);
  EXPECT_EQ(t.stills[1].inputWidth, 320u);
  EXPECT_TRUE(IsEqualGUID(t.stills[0].outputSubtype, kSubtypeYuy2));
  EXPECT_EQ(t.stills[0].formatIndex, 0u);
}

// ---- restriction and extension ----

struct EngineTables {
  explicit EngineTables(const std::vector<uint8_t>& cfg, bool highSpeed) : t(cfg) {
    engine = CreateStreamEngine(nullptr);
    engine->highSpeed = highSpeed;
  }
  ~EngineTables() {
    t.table = nullptr;  // owned by the engine now
    FreeStreamEngine(engine);
  }
  NTSTATUS Run() {
    engine->formatTable = t.table;
    engine->formatCount = t.count;
    t.table = nullptr;
    return RestrictAndExtend(engine, &engine->formatTable, &engine->formatCount);
  }
  Tables t;
  StreamEngine* engine;
};

TEST_F(FormatTableTest, HighSpeedAddsTheSixScaledSizesOnceAndSorts) {
  EngineTables e(VideoStart(1).Mjpeg(1, {{640, 480}, {352, 288}, {320, 240}}).Build(), true);
  ASSERT_EQ(e.Run(), STATUS_SUCCESS);
  // 352x288 is already offered: five added.
  ASSERT_EQ(e.engine->formatCount, 8u);
  const FrameFormat* t = e.engine->formatTable;
  EXPECT_EQ(t[0].outputWidth, 640u) << "the first entry stays first";
  ULONG widths[] = {640, 176, 320, 352, 1280, 1600, 2048, 2560};
  for (ULONG i = 0; i < 8; ++i) EXPECT_EQ(t[i].outputWidth, widths[i]) << i;
  int at352 = 0;
  for (ULONG i = 0; i < 8; ++i) at352 += t[i].outputWidth == 352;
  EXPECT_EQ(at352, 1);
  // An added entry: the camera sends the source size, the driver scales.
  const FrameFormat& big = t[7];
  EXPECT_EQ(big.inputWidth, 640u);
  EXPECT_EQ(big.inputHeight, 480u);
  EXPECT_EQ(big.outputHeight, 1920u);
  EXPECT_EQ(big.formatIndex, 1u);
  EXPECT_EQ(big.frameIndex, 1u);
  EXPECT_EQ(big.defaultInterval, 333333u);
  EXPECT_TRUE(IsEqualGUID(big.inputSubtype, kSubtypeMjpg));
}

TEST_F(FormatTableTest, ScaledSizesOfAYuy2CameraKeepTheirYuy2Input) {
  EngineTables e(VideoStart(1).Uncompressed(1, kSubtypeYuy2, {{320, 240}, {640, 480}}).Build(), true);
  ASSERT_EQ(e.Run(), STATUS_SUCCESS);
  ASSERT_EQ(e.engine->formatCount, 8u);
  for (ULONG i = 0; i < 8; ++i)
    EXPECT_TRUE(IsEqualGUID(e.engine->formatTable[i].inputSubtype, kSubtypeYuy2)) << i;
}

TEST_F(FormatTableTest, HighSpeedWithoutASourceSizeFailsAndKeepsTheTable) {
  EngineTables e(VideoStart(1).Mjpeg(1, {{640, 480}, {1280, 720}}).Build(), true);
  FrameFormat* before = e.t.table;
  EXPECT_EQ(e.Run(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(e.engine->formatTable, before);
  EXPECT_EQ(e.engine->formatCount, 2u);
}

TEST_F(FormatTableTest, SortKeepsEqualWidthsInOrder) {
  EngineTables h(VideoStart(1)
                     .Mjpeg(1, {{800, 600}, {640, 480}, {640, 360}, {320, 240}, {640, 400}})
                     .Build(),
                 true);
  ASSERT_EQ(h.Run(), STATUS_SUCCESS);
  const FrameFormat* t = h.engine->formatTable;
  ASSERT_EQ(h.engine->formatCount, 11u);
  const ULONG widths[] = {800, 176, 320, 352, 640, 640, 640, 1280, 1600, 2048, 2560};
  const ULONG heights[] = {600, 144, 240, 288, 480, 360, 400, 1024, 1200, 1536, 1920};
  for (ULONG i = 0; i < 11; ++i) {
    EXPECT_EQ(t[i].outputWidth, widths[i]) << i;
    EXPECT_EQ(t[i].outputHeight, heights[i]) << i;
  }
  // Full speed neither extends nor sorts.
  EngineTables f(VideoStart(1).Mjpeg(1, {{800, 600}, {640, 480}, {320, 240}, {640, 400}}).Build(), false);
  ASSERT_EQ(f.Run(), STATUS_SUCCESS);
  ASSERT_EQ(f.engine->formatCount, 4u);
  EXPECT_EQ(f.engine->formatTable[2].outputWidth, 320u);
}

TEST_F(FormatTableTest, SelectFormatTakesTheLastMatchAndRefusesOtherInputs) {
  GUID other = kSubtypeI420;
  EngineTables e(VideoStart(2)
                     .Uncompressed(1, kSubtypeYuy2, {{640, 480, 111}, {320, 240}, {640, 480, 222}})
                     .Uncompressed(2, other, {{800, 600}})
                     .Build(),
                 false);
  ASSERT_EQ(e.Run(), STATUS_SUCCESS);
  ASSERT_EQ(SelectFormat(e.engine, 640, 480, kSubtypeYuy2), STATUS_SUCCESS);
  EXPECT_EQ(e.engine->currentFormat.defaultInterval, 222u);
  EXPECT_EQ(e.engine->currentFormat.frameIndex, 3u);
  EXPECT_EQ(e.engine->expectedFrameSize, 640u * 480 * 2);
  EXPECT_EQ(SelectFormat(e.engine, 800, 600, other), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(e.engine->currentFormat.outputWidth, 640u) << "a refused format leaves the current one";
  EXPECT_EQ(SelectFormat(e.engine, 641, 480, kSubtypeYuy2), STATUS_INVALID_PARAMETER);
}

TEST_F(FormatTableTest, EarlierLargerStillDescriptorDoesNotOverrunTheTable) {
  Tables t(VideoStart(2)
               .Uncompressed(1, kSubtypeYuy2, {{640, 480}})
               .Still({{640, 480}, {320, 240}, {160, 120}, {1280, 960}})
               .Mjpeg(2, {{640, 480}})
               .Still({{800, 600}})
               .Build());
  ASSERT_EQ(t.status, STATUS_SUCCESS);
  ASSERT_EQ(t.stillCount, 1u);
  EXPECT_EQ(t.stills[0].inputWidth, 800u);
}

TEST_F(FormatTableTest, StillFrameIndexIsOneBasedAndUnchangedWithoutMatch) {
  Tables t(VideoStart(1).Mjpeg(1, {{640, 480}}).Still({{1280, 960}, {640, 480}, {640, 480}}).Build());
  ULONG index = 9;
  FindStillFrameIndex(t.stills, t.stillCount, 640, 480, &index);
  EXPECT_EQ(index, 2u);
  FindStillFrameIndex(t.stills, t.stillCount, 100, 100, &index);
  EXPECT_EQ(index, 2u);
}

}  // namespace
