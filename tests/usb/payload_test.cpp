// Payload parsing and frame assembly, fed directly: header lengths, frame-ID
// toggles, frame sizes, MJPEG trailers and end markers, damaged payloads and
// the still route.
#include <gtest/gtest.h>

#include <vector>

#include "platform/host/host_control.h"
#include "usb/stream_engine.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t kEof = 0x02, kSti = 0x20, kErr = 0x40;

class Assembly : public ::testing::Test {
 protected:
  StreamEngine* e = nullptr;
  void SetUp() override { host::PoolReset(); }
  void Make(const GUID& subtype, ULONG w, ULONG h, ULONG still = 0, ULONG raw = 0) {
    e = CreateStreamEngine(nullptr);
    ASSERT_NE(e, nullptr);
    e->currentFormat.inputSubtype = subtype, e->currentFormat.inputWidth = w, e->currentFormat.inputHeight = h;
    e->expectedFrameSize = RawFrameSize(w, h);
    ASSERT_EQ(CreateStreamResources(e, nullptr, raw ? raw : e->expectedFrameSize, still), STATUS_SUCCESS);
    KeInitializeEvent(&e->stillReady, NotificationEvent, FALSE);
    e->writeBuffer = e->ring.writeNode->buffer, e->lastFid = kNoFrameId;
  }
  void TearDown() override {
    FreeStreamEngine(e);
    EXPECT_EQ(host::PoolStats(kTagBuffer).outstanding + host::PoolStats(kTagContext).outstanding, 0u);
  }
  NTSTATUS Feed(uint8_t fid, const Bytes& data, uint8_t flags = 0, uint8_t headerLength = 2) {
    Bytes p(headerLength, 0);
    p[0] = headerLength, p[1] = uint8_t(0x80 | fid | flags);
    p.insert(p.end(), data.begin(), data.end());
    return ParsePayload(e, p.data(), ULONG(p.size()));
  }
  // Feeds frames in payloads of `chunk` bytes, with EOF on the last payload.
  void FeedFrames(const std::vector<Bytes>& frames, size_t chunk, uint8_t headerLength = 2) {
    uint8_t fid = 0;
    for (const Bytes& f : frames) {
      for (size_t off = 0; off < f.size(); off += chunk) {
        size_t n = std::min(chunk, f.size() - off);
        Feed(fid, Bytes(f.begin() + long(off), f.begin() + long(off + n)), off + n == f.size() ? kEof : 0, headerLength);
      }
      fid ^= 1;
    }
    Feed(fid, Bytes(1, 0), 0, headerLength);  // the next frame's first payload closes the last one
  }
  // Frames committed to the ring, oldest first (taken and returned).
  std::vector<Bytes> Take() {
    std::vector<Bytes> out;
    FrameRingNode* n;
    while (RingTake(&e->ring, &n)) {
      out.emplace_back(n->buffer, n->buffer + n->length);
      RingReturn(&e->ring, n);
    }
    return out;
  }
};

TEST_F(Assembly, HeaderLengthsAndPayloadsWithoutData) {
  Make(kSubtypeYuy2, 4, 2);
  uint8_t p[4] = {0, 0x80, 1, 2};
  const struct { uint8_t h; ULONG len; NTSTATUS want; } cases[] = {
      {0, 4, STATUS_INVALID_PARAMETER}, {1, 4, STATUS_INVALID_PARAMETER}, {4, 4, STATUS_INVALID_PARAMETER},
      {9, 4, STATUS_INVALID_PARAMETER}, {2, 1, STATUS_INVALID_PARAMETER}, {2, 4, STATUS_SUCCESS}, {3, 4, STATUS_SUCCESS}};
  ULONG expect = 0;
  for (const auto& c : cases) {
    p[0] = c.h;
    EXPECT_EQ(ParsePayload(e, p, c.len), c.want) << int(c.h) << "/" << c.len;
    if (c.want == STATUS_SUCCESS) expect += c.len - c.h;
    EXPECT_EQ(e->assembled, expect);
  }
}

TEST_F(Assembly, UncompressedFramesCommitOnlyAtTheirExactSize) {
  Make(kSubtypeYuy2, 4, 2);  // 16 bytes
  EXPECT_EQ(RawFrameSize(65535, 65535), 0u) << "a size past 32 bits is refused, not wrapped";
  // A partial first frame, then exact, short, long (dropped whole, never its
  // tail), twice too long, and exact again.
  Feed(0, Bytes(6, 1));
  Feed(1, Bytes(8, 2)), Feed(1, Bytes(8, 3));                    // exact
  Feed(0, Bytes(14, 4));                                        // short
  Feed(1, Bytes(10, 5)), Feed(1, Bytes(10, 6)), Feed(1, Bytes(6, 7));  // long: 26
  Feed(0, Bytes(16, 8)), Feed(0, Bytes(16, 9));                  // twice too long
  Feed(1, Bytes(16, 10));                                       // exact
  Feed(0, Bytes(2, 11));                                        // boundary
  EXPECT_EQ(Take(), (std::vector<Bytes>{{2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3}, Bytes(16, 10)}));
  EXPECT_EQ(std::make_tuple(e->framesCommitted, e->framesDropped, e->framesSeen), std::make_tuple(2u, 4u, 6u));
}

TEST_F(Assembly, ErrBitAndDamagedFramesAreDroppedAndCorruptClearsAtTheBoundary) {
  Make(kSubtypeYuy2, 4, 2);
  Feed(0, Bytes(16, 1));
  Feed(1, Bytes(8, 2), kErr), Feed(1, Bytes(8, 2));
  Feed(0, Bytes(16, 3));
  Feed(1, Bytes(16, 4));
  e->corrupt = 1;  // as the worker marks an errored isochronous packet
  Feed(0, Bytes(16, 5));
  Feed(1, Bytes(1, 6));
  EXPECT_EQ(e->framesCommitted, 3u) << "frames 1, 3 and 5";
  EXPECT_EQ(Take(), (std::vector<Bytes>{Bytes(16, 3), Bytes(16, 5)})) << "corrupt was cleared at the boundary";
}

Bytes Jpeg(size_t body, bool trailer, size_t padding = 0, int trailerDelta = 0) {
  Bytes f = {0xFF, 0xD8};
  f.insert(f.end(), body, 0x55);
  f.push_back(0xFF), f.push_back(0xD9);
  if (trailer) {
    size_t total = f.size() + 6 + size_t(trailerDelta);
    f.insert(f.end(), {0xFF, 0xFF, 0xFF, 0xFF, uint8_t(total >> 8), uint8_t(total)});
  }
  f.insert(f.end(), padding, 0);
  return f;
}

TEST_F(Assembly, MjpegTrailerExactOffByOnePaddingAndFramesOf64KiBAndMore) {
  Make(kSubtypeMjpg, 640, 480);
  std::vector<Bytes> frames = {Jpeg(100, true), Jpeg(100, true), Jpeg(100, true),  // never committed
                               Jpeg(100, true),                                     // exact
                               Jpeg(100, true, 0, 1),                               // off by one
                               Jpeg(100, true, 0, -1),
                               Jpeg(100, true, 37),                                 // padding after it
                               Jpeg(70000, true),                                   // 64 KiB and more
                               Jpeg(0x1234 - 10, true),                             // 0x1234 bytes exactly
                               Jpeg(100, false)};                                   // no trailer
  Bytes noStart = Jpeg(100, true);
  noStart[1] = 0xD7;
  frames.push_back(noStart);
  FeedFrames(frames, 3000);
  std::vector<Bytes> got = Take();
  // The ring keeps the newest two of four committed frames; count instead.
  EXPECT_EQ(std::make_tuple(e->framesCommitted, e->framesDropped), std::make_tuple(4u, 7u));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], Jpeg(70000, true));
  EXPECT_EQ(got[1].size(), 0x1234u);
}

TEST_F(Assembly, MjpegWithoutTrailerNeedsEndMarkerEofAndNoDamage) {
  Make(kSubtypeMjpg, 320, 240);
  e->noTrailer = 1;
  Bytes cut = Jpeg(500, false);
  cut.resize(cut.size() - 1);
  std::vector<Bytes> frames = {Jpeg(500, false), Jpeg(500, false), Jpeg(500, false),
                               Jpeg(500, false),      // committed
                               Jpeg(500, false, 20),  // zero padding after EOI: committed
                               cut};                  // no end marker
  FeedFrames(frames, 200, 12);
  EXPECT_EQ(e->framesCommitted, 2u);
  EXPECT_EQ(Take(), (std::vector<Bytes>{Jpeg(500, false), Jpeg(500, false)})) << "the second without its padding";
  // A frame whose last payload lacks EOF is not known to be complete.
  Feed(1, Jpeg(10, false), 0), Feed(0, Bytes(1, 0));
  EXPECT_EQ(e->framesCommitted, 2u);
}

// A camera that sent a trailer stays a trailer camera. (That a trailer-less
// camera is learnt from its good frames, damaged ones between them, is
// tested with the capture command and the driver's frames.)
TEST_F(Assembly, ATrailerCameraIsNeverTakenForATrailerlessOne) {
  Make(kSubtypeMjpg, 320, 240);
  const Bytes good = Jpeg(500, false);
  FeedFrames({good, good, good, Jpeg(500, true), good, good, good, good}, 200);
  EXPECT_EQ(std::make_tuple(e->noTrailer, e->framesCommitted), std::make_tuple(0u, 1u));
}

TEST_F(Assembly, StillsTakeExactlyTheStiFrameAndNeverFreezeVideo) {
  Make(kSubtypeYuy2, 4, 2, /*still buffer*/ 64, /*raw*/ 64);
  // No still size: STI is ignored and the frame is video.
  Feed(0, Bytes(16, 1));
  Feed(1, Bytes(16, 2), kSti);
  Feed(0, Bytes(16, 3));
  EXPECT_EQ(std::make_tuple(e->stillsDelivered, e->framesCommitted), std::make_tuple(0u, 2u));
  ASSERT_EQ(SetStillSize(e, 32), STATUS_SUCCESS);
  EXPECT_EQ(SetStillSize(e, 65), STATUS_INVALID_PARAMETER) << "larger than the still buffer";
  // The STI frame (32 bytes) is the still; the frame before it is video.
  Feed(1, Bytes(32, 4), kSti);
  Feed(0, Bytes(16, 5));
  EXPECT_EQ(std::make_tuple(e->stillsDelivered, e->stillLength, KeReadStateEvent(&e->stillReady)), std::make_tuple(1u, 32u, 1));
  EXPECT_EQ(Bytes(e->stillBuffer, e->stillBuffer + 32), Bytes(32, 4));
  // Consecutive STI frames while the first is unread: not rewritten.
  Feed(1, Bytes(32, 6), kSti);
  Feed(0, Bytes(32, 7), kSti);
  EXPECT_EQ(Bytes(e->stillBuffer, e->stillBuffer + 32), Bytes(32, 4));
  StillConsumed(e);
  EXPECT_EQ(KeReadStateEvent(&e->stillReady), 0);
  // Consumed: the next STI frame is delivered. Then a dropped still (wrong
  // size) ends still mode and video goes on.
  Feed(1, Bytes(20, 8), kSti);
  EXPECT_EQ(e->stillsDelivered, 2u);
  EXPECT_EQ(Bytes(e->stillBuffer, e->stillBuffer + 32), Bytes(32, 7));
  Feed(0, Bytes(16, 9));
  Feed(1, Bytes(16, 10));
  EXPECT_EQ(std::make_tuple(e->stillsDelivered, e->stillMode), std::make_tuple(2u, 0u));
  std::vector<Bytes> got = Take();
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back(), Bytes(16, 9)) << "video after a bad still";
}

}  // namespace
