// Error codes, malformed and hostile frames, buffer limits and restart
// handling.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "mjpeg/mjpeg_decoder.h"
#include "tests/mjpeg/jpeg_fixtures.h"

namespace {

using mjpeg_fixtures::AppendSegment;
using mjpeg_fixtures::CameraLayout;
using mjpeg_fixtures::Encode;
using mjpeg_fixtures::EncodeOptions;
using mjpeg_fixtures::Sampling;
using mjpeg_fixtures::Segment;
using mjpeg_fixtures::SplitHeaders;
using Bytes = std::vector<uint8_t>;

enum class Entry { kVideo, kStill };

// A frame as header segments plus the scan (SOS segment, data, EOI), so that
// tests can change one piece and reassemble.
struct Frame {
  std::vector<Segment> headers;
  Bytes scan;

  Bytes Bytes_() const {
    Bytes out = {0xFF, 0xD8};
    for (const Segment& s : headers) AppendSegment(out, s.marker, s.body);
    out.insert(out.end(), scan.begin(), scan.end());
    return out;
  }
  Segment* Find(uint8_t marker) {
    for (Segment& s : headers)
      if (s.marker == marker) return &s;
    return nullptr;
  }
  void Remove(uint8_t marker) {
    std::vector<Segment> kept;
    for (const Segment& s : headers)
      if (s.marker != marker) kept.push_back(s);
    headers = kept;
  }
  // The SOS segment's body (after its length field) lives in `scan`.
  uint8_t& SosByte(size_t i) { return scan[4 + i]; }
};

Frame MakeFrame(Entry entry, const EncodeOptions& options = EncodeOptions{64, 32, 75, Sampling::k422, 0}) {
  Frame f;
  f.headers = SplitHeaders(CameraLayout(Encode(options), entry == Entry::kVideo), &f.scan);
  return f;
}

class Decoder {
 public:
  explicit Decoder(size_t size = 64 * 1024) : destination_(size), scratch_(size) {}
  LONG Run(Entry entry, const Bytes& jpeg) {
    std::fill(destination_.begin(), destination_.end(), 0xA5);
    const LONG rc = entry == Entry::kVideo
                        ? DecodeMjpeg(destination_.data(), destination_.size(), jpeg.data(), jpeg.size(),
                                      scratch_.data(), scratch_.size())
                        : DecodeMjpegStill(destination_.data(), destination_.size(), jpeg.data(), jpeg.size(),
                                           scratch_.data(), scratch_.size());
    if (rc != kMjpegOk) {
      // A frame that fails leaves the destination as it was.
      for (size_t i = 0; i < destination_.size(); ++i) {
        if (destination_[i] != 0xA5) {
          ADD_FAILURE() << "failed frame (code " << rc << ") wrote destination byte " << i;
          break;
        }
      }
    }
    return rc;
  }
  const Bytes& destination() const { return destination_; }

 private:
  Bytes destination_, scratch_;
};

const Entry kBoth[] = {Entry::kVideo, Entry::kStill};

TEST(ErrorCodes, SegmentsMissingBeforeSosFailWith16) {
  for (Entry e : kBoth) {
    for (uint8_t marker : {0xC4, 0xDB, 0xC0}) {  // no DHT, no DQT, no SOF0
      Frame f = MakeFrame(e);
      f.Remove(marker);
      EXPECT_EQ(Decoder().Run(e, f.Bytes_()), kMjpegErrorMissingSegment) << int(marker);
    }
    Bytes noSoi = MakeFrame(e).Bytes_();
    noSoi[0] = 0x00;  // SOI turned into plain bytes before the first marker
    EXPECT_EQ(Decoder().Run(e, noSoi), kMjpegErrorMissingSegment);
  }
}

TEST(ErrorCodes, TablesFromAnEarlierFrameAreNotUsed) {
  // A good still leaves its tables in the decoder; the next frame without
  // them must still fail.
  Decoder d;
  EXPECT_EQ(d.Run(Entry::kStill, MakeFrame(Entry::kStill).Bytes_()), kMjpegOk);
  Frame f = MakeFrame(Entry::kVideo);
  f.Remove(0xC4);
  EXPECT_EQ(d.Run(Entry::kVideo, f.Bytes_()), kMjpegErrorMissingSegment);
  // Quantisation table 1 named by SOF0 but not defined in this frame.
  Frame g = MakeFrame(Entry::kVideo);
  g.Find(0xDB)->body.resize(65);
  EXPECT_EQ(d.Run(Entry::kVideo, g.Bytes_()), kMjpegErrorMissingSegment);
}

TEST(ErrorCodes, FillBytesBeforeAMarkerFailWith7) {
  for (Entry e : kBoth) {
    Bytes b = MakeFrame(e).Bytes_();
    b.insert(b.begin() + 2, 0xFF);  // 0xFF 0xFF 0xE0 ...
    EXPECT_EQ(Decoder().Run(e, b), kMjpegErrorMarker);
  }
}

TEST(ErrorCodes, UnsupportedMarkersFailWith7) {
  for (uint8_t marker : {0xC1, 0xC2, 0xC3, 0xC5, 0xCC, 0xDC, 0xDE, 0xF0, 0x01}) {
    for (Entry e : kBoth) {
      Frame f = MakeFrame(e);
      f.Find(0xC0)->marker = marker;
      EXPECT_EQ(Decoder().Run(e, f.Bytes_()), kMjpegErrorMarker) << int(marker);
    }
  }
}

TEST(ErrorCodes, VideoEntryAcceptsOnlyTheStandardDhtRightBeforeSos) {
  // The encoder's own four DHT segments (any length but 418).
  EXPECT_EQ(Decoder().Run(Entry::kVideo, MakeFrame(Entry::kStill).Bytes_()), kMjpegErrorHuffmanTable);
  // The standard segment followed by another segment before SOS.
  Frame f = MakeFrame(Entry::kVideo);
  f.headers.push_back({0xFE, Bytes{'h', 'i'}});
  EXPECT_EQ(Decoder().Run(Entry::kVideo, f.Bytes_()), kMjpegErrorHuffmanTable);
  // The standard segment cut short by the end of the data.
  Bytes b = MakeFrame(Entry::kVideo).Bytes_();
  size_t dht = 0;
  for (size_t i = 0; i + 1 < b.size(); ++i)
    if (b[i] == 0xFF && b[i + 1] == 0xC4) dht = i;
  for (size_t cut : {dht + 2, dht + 100, dht + 420, dht + 421}) {
    Bytes shortFrame(b.begin(), b.begin() + cut);
    EXPECT_EQ(Decoder().Run(Entry::kVideo, shortFrame), kMjpegErrorHuffmanTable) << cut;
  }
}

TEST(HuffmanTables, StillEntryReadsSeveralTablesFromOneSegment) {
  // The camera's single DHT segment with all four tables decodes through the
  // still entry's parser to the same picture as through the built-in tables.
  const Bytes camera = MakeFrame(Entry::kVideo).Bytes_();
  Decoder video, still;
  ASSERT_EQ(video.Run(Entry::kVideo, camera), kMjpegOk);
  ASSERT_EQ(still.Run(Entry::kStill, camera), kMjpegOk);
  EXPECT_EQ(video.destination(), still.destination());
}

TEST(ErrorCodes, StillEntryRejectsBadHuffmanTables) {
  auto withDht = [](const Bytes& body) {
    Frame f = MakeFrame(Entry::kStill);
    f.Remove(0xC4);
    f.headers.push_back({0xC4, body});
    return f.Bytes_();
  };
  Bytes counts(16, 0);
  // Class 2 and table 2.
  for (uint8_t tcTh : {0x20, 0x02, 0x12}) {
    Bytes body = {tcTh};
    body.insert(body.end(), 16, 0);
    EXPECT_EQ(Decoder().Run(Entry::kStill, withDht(body)), kMjpegErrorHuffmanTable) << int(tcTh);
  }
  // More than 256 codes.
  Bytes many = {0x00};
  for (int i = 0; i < 16; ++i) many.push_back(i == 15 ? 200 : (i == 14 ? 100 : 0));
  many.insert(many.end(), 300, 0);
  EXPECT_EQ(Decoder().Run(Entry::kStill, withDht(many)), kMjpegErrorHuffmanTable);
  // Over-subscribed: three codes of one bit.
  Bytes over = {0x00, 3};
  over.insert(over.end(), 15, 0);
  over.insert(over.end(), {0, 1, 2});
  EXPECT_EQ(Decoder().Run(Entry::kStill, withDht(over)), kMjpegErrorHuffmanTable);
  // Five codes of two bits.
  Bytes over2 = {0x00, 0, 5};
  over2.insert(over2.end(), 14, 0);
  over2.insert(over2.end(), {0, 1, 2, 3, 4});
  EXPECT_EQ(Decoder().Run(Entry::kStill, withDht(over2)), kMjpegErrorHuffmanTable);
}

TEST(ErrorCodes, QuantisationTablesMustComeInOneSegment) {
  // The encoder's layout: one DQT segment per table; the second starts with
  // table 1.
  for (Entry e : kBoth) {
    Frame f = MakeFrame(e);
    Segment* dqt = f.Find(0xDB);
    Segment second{0xDB, Bytes(dqt->body.begin() + 65, dqt->body.end())};
    dqt->body.resize(65);
    f.headers.insert(f.headers.begin() + 1, second);
    ASSERT_EQ(f.headers[1].marker, 0xDB);
    EXPECT_EQ(Decoder().Run(e, f.Bytes_()), kMjpegErrorDqtTable);
  }
}

TEST(ErrorCodes, BadQuantisationSegments) {
  struct Edit {
    void (*apply)(Bytes&);
    LONG expected;
  };
  const Edit edits[] = {
      {[](Bytes& b) { b[0] = 0x10; }, kMjpegErrorDqtPrecision},        // 16-bit table 0
      {[](Bytes& b) { b[0] = 0x01; }, kMjpegErrorDqtTable},            // first table is table 1
      {[](Bytes& b) { b[65] = 0x04; }, kMjpegErrorDqtTable},           // second table named 4
      {[](Bytes& b) { b[65] = 0x11; }, kMjpegErrorDqtTable},           // second table 16-bit
      {[](Bytes& b) { b.resize(64); }, kMjpegErrorDqtTable},           // shorter than one table
      {[](Bytes& b) { b.resize(100); }, kMjpegErrorDqtTable},          // second table cut short
  };
  for (const Edit& edit : edits) {
    for (Entry e : kBoth) {
      Frame f = MakeFrame(e);
      edit.apply(f.Find(0xDB)->body);
      EXPECT_EQ(Decoder().Run(e, f.Bytes_()), edit.expected);
    }
  }
}

struct Edit {
  void (*apply)(Bytes&);
  LONG expected;
};

TEST(ErrorCodes, BadFrameHeaders) {
  // SOF0 body: P, Y(2), X(2), Nf, then Ci, HiVi, Tqi per component.
  const Edit edits[] = {
      {[](Bytes& b) { b[0] = 12; }, kMjpegErrorSamplePrecision},
      {[](Bytes& b) { b[5] = 4; b.insert(b.end(), {4, 0x11, 0}); }, kMjpegErrorFrameComponents},
      {[](Bytes& b) { b[5] = 0; }, kMjpegErrorFrameComponents},
      {[](Bytes& b) { b[6] = 4; }, kMjpegErrorFrameComponents},     // identifier 4
      {[](Bytes& b) { b[9] = b[6]; }, kMjpegErrorFrameComponents},  // repeated identifier
      {[](Bytes& b) { b[8] = 4; }, kMjpegErrorFrameComponents},     // quantisation selector 4
      {[](Bytes& b) { b[7] = 0x11; }, kMjpegErrorSampling},         // 4:4:4
      {[](Bytes& b) { b[7] = 0x20; }, kMjpegErrorSampling},         // vertical factor 0
      {[](Bytes& b) { b[10] = 0x01; }, kMjpegErrorSampling},        // chroma factor 0
      {[](Bytes& b) { b[7] = 0x12; }, kMjpegErrorSampling},         // luma 1x2: sum 4, not 4:2:2
      {[](Bytes& b) { b[7] = 0x11; b[10] = 0x21; }, kMjpegErrorSampling},  // chroma larger than luma
      {[](Bytes& b) { b[5] = 2; b.resize(12); }, kMjpegErrorSampling},     // two components
      {[](Bytes& b) { b.resize(10); }, kMjpegErrorTruncated},              // components cut short
      {[](Bytes& b) { b[1] = b[2] = 0; }, kMjpegErrorImageTooLarge},       // height 0
      {[](Bytes& b) { b[3] = b[4] = 0; }, kMjpegErrorImageTooLarge},       // width 0
      {[](Bytes& b) { b[1] = b[2] = b[3] = b[4] = 0xFF; }, kMjpegErrorImageTooLarge},
  };
  for (const Edit& edit : edits) {
    for (Entry e : kBoth) {
      Frame f = MakeFrame(e);
      edit.apply(f.Find(0xC0)->body);
      EXPECT_EQ(Decoder().Run(e, f.Bytes_()), edit.expected) << &edit - edits;
    }
  }
}

TEST(ErrorCodes, FourFourFourFrameFailsWith14) {
  const EncodeOptions options{64, 32, 75, Sampling::k444, 0};
  for (Entry e : kBoth)
    EXPECT_EQ(Decoder().Run(e, MakeFrame(e, options).Bytes_()), kMjpegErrorSampling);
}

TEST(ErrorCodes, NullScratchFailsWith11) {
  Bytes destination(64 * 1024);
  const Bytes b = MakeFrame(Entry::kVideo).Bytes_();
  EXPECT_EQ(DecodeMjpeg(destination.data(), destination.size(), b.data(), b.size(), nullptr, 1 << 20),
            kMjpegErrorNoScratch);
}

TEST(ErrorCodes, BadScanHeaders) {
  // SOS body: Ns, then Cs and TdTa per component, then Ss, Se, AhAl.
  const Edit edits[] = {
      {[](Bytes& b) { b[4 + 0] = 4; }, kMjpegErrorScanComponents},
      {[](Bytes& b) { b[4 + 0] = 0; }, kMjpegErrorScanComponents},
      {[](Bytes& b) { b[4 + 1] = 4; }, kMjpegErrorScanComponents},     // identifier 4
      {[](Bytes& b) { b[4 + 4] = 0x21; }, kMjpegErrorScanComponents},  // DC table 2
      {[](Bytes& b) { b[4 + 6] = 0x12; }, kMjpegErrorScanComponents},  // AC table 2
      {[](Bytes& b) { b[4 + 3] = 0; }, kMjpegErrorScanComponents},     // component the frame lacks
      {[](Bytes& b) { b[4 + 3] = b[4 + 1]; }, kMjpegErrorScanComponents},  // the same one twice
      {[](Bytes& b) { b[4 + 7] = 1; }, kMjpegErrorSpectralStart},
      {[](Bytes& b) { b[4 + 8] = 62; }, kMjpegErrorSpectralEnd},
      {[](Bytes& b) { b[4 + 9] = 0x01; }, kMjpegErrorApproximation},
      {[](Bytes& b) { b[4 + 9] = 0x10; }, kMjpegErrorApproximation},
  };
  for (const Edit& edit : edits) {
    for (Entry e : kBoth) {
      Frame f = MakeFrame(e);
      ASSERT_EQ(f.scan[4], 3);
      edit.apply(f.scan);
      EXPECT_EQ(Decoder().Run(e, f.Bytes_()), edit.expected) << &edit - edits;
    }
  }
  // A scan with fewer components than the frame (a non-interleaved scan).
  for (Entry e : kBoth) {
    Frame f = MakeFrame(e);
    f.scan[4] = 1;
    f.scan.erase(f.scan.begin() + 7, f.scan.begin() + 11);
    f.scan[3] = 8;
    EXPECT_EQ(Decoder().Run(e, f.Bytes_()), kMjpegErrorScanComponents);
  }
}

TEST(ErrorCodes, RestartIntervalLengthOtherThanFourFailsWith19) {
  for (Entry e : kBoth) {
    Frame f = MakeFrame(e);
    f.headers.insert(f.headers.begin(), Segment{0xDD, Bytes{0, 4, 0}});
    EXPECT_EQ(Decoder().Run(e, f.Bytes_()), kMjpegErrorRestartLength);
  }
}

// Replaces the entropy-coded data of a one-block-per-component grey frame.
Bytes GreyFrameWithData(Entry e, const Bytes& data, const Bytes* dhtBody = nullptr) {
  Frame f = MakeFrame(e, EncodeOptions{8, 8, 75, Sampling::kGrey, 0});
  if (dhtBody != nullptr) {
    f.Remove(0xC4);
    f.headers.push_back({0xC4, *dhtBody});
  }
  const size_t sosLength = (f.scan[2] << 8) | f.scan[3];
  f.scan.resize(2 + sosLength);
  f.scan.insert(f.scan.end(), data.begin(), data.end());
  f.scan.insert(f.scan.end(), {0xFF, 0xD9});
  return f.Bytes_();
}

TEST(ErrorCodes, UnmatchedHuffmanCodesFailWith4And5) {
  // All ones: no DC luminance code is nine 1 bits.
  const Bytes ones = {0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00};
  // DC code 00 (category 0), then all ones: no AC code is sixteen 1 bits.
  const Bytes dcThenOnes = {0x3F, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00};
  for (Entry e : kBoth) {
    EXPECT_EQ(Decoder().Run(e, GreyFrameWithData(e, ones)), kMjpegErrorDcCode);
    EXPECT_EQ(Decoder().Run(e, GreyFrameWithData(e, dcThenOnes)), kMjpegErrorAcCode);
  }
  // The minimal valid block: DC category 0, end of block (1010) -> grey 128.
  Decoder d;
  const Bytes flat = {0x28 | 0x03};  // 00 1010 11 (padding ones)
  ASSERT_EQ(d.Run(Entry::kVideo, GreyFrameWithData(Entry::kVideo, flat)), kMjpegOk);
  for (int i = 0; i < 8 * 8 * 2; ++i) ASSERT_EQ(d.destination()[i], 128) << i;
}

TEST(ErrorCodes, DcCategoryAbove16FailsWith4) {
  // DC table 0: one 1-bit code for category 17; AC table 0: one code (EOB).
  Bytes dht = {0x00, 1};
  dht.insert(dht.end(), 15, 0);
  dht.push_back(17);
  dht.insert(dht.end(), {0x10, 1});
  dht.insert(dht.end(), 15, 0);
  dht.push_back(0x00);
  const Bytes data = {0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(Decoder().Run(Entry::kStill, GreyFrameWithData(Entry::kStill, data, &dht)), kMjpegErrorDcCode);
  // Category 16 is still decoded (and saturates harmlessly).
  dht[17] = 16;
  EXPECT_EQ(Decoder().Run(Entry::kStill, GreyFrameWithData(Entry::kStill, {0x7F, 0xFF, 0x00, 0x00}, &dht)),
            kMjpegOk);
}

TEST(ErrorCodes, StillScanNamingAnUndefinedTableFailsWith16) {
  Frame f = MakeFrame(Entry::kStill);
  std::vector<Segment> kept;
  for (const Segment& s : f.headers)
    if (!(s.marker == 0xC4 && (s.body[0] & 1))) kept.push_back(s);  // drop the chroma tables
  f.headers = kept;
  EXPECT_EQ(Decoder().Run(Entry::kStill, f.Bytes_()), kMjpegErrorMissingSegment);
}

// --- restart intervals ----------------------------------------------------

Bytes RestartFrame(Entry e) { return MakeFrame(e, EncodeOptions{64, 48, 80, Sampling::k420, 2}).Bytes_(); }

size_t FindMarker(const Bytes& b, uint8_t low, uint8_t high, size_t from = 0) {
  for (size_t i = from; i + 1 < b.size(); ++i)
    if (b[i] == 0xFF && b[i + 1] >= low && b[i + 1] <= high) return i;
  return b.size();
}

TEST(RestartIntervals, MissingRestartMarkerFailsWith13) {
  for (Entry e : kBoth) {
    Bytes b = RestartFrame(e);
    const size_t rst = FindMarker(b, 0xD0, 0xD7);
    ASSERT_LT(rst, b.size());
    Bytes removed = b;
    removed.erase(removed.begin() + rst, removed.begin() + rst + 2);
    EXPECT_EQ(Decoder().Run(e, removed), kMjpegErrorRestart);
    Bytes replaced = b;
    replaced[rst + 1] = 0xFE;  // another marker where RSTn belongs
    EXPECT_EQ(Decoder().Run(e, replaced), kMjpegErrorRestart);
  }
}

TEST(RestartIntervals, PredictorsRestartAtEachInterval) {
  // Decoding with the interval ignored (DRI removed) must not give the same
  // picture: the DC predictors and the byte alignment matter.
  for (Entry e : kBoth) {
    Decoder good, ignored;
    Bytes b = RestartFrame(e);
    ASSERT_EQ(good.Run(e, b), kMjpegOk);
    const size_t dri = FindMarker(b, 0xDD, 0xDD);
    ASSERT_LT(dri, b.size());
    b.erase(b.begin() + dri, b.begin() + dri + 6);
    ignored.Run(e, b);
    EXPECT_NE(good.destination(), ignored.destination());
  }
}

// --- truncation, buffer limits, the scan's end --------------------------

TEST(Truncation, EveryCutFailsWithoutTouchingTheDestination) {
  for (Entry e : kBoth) {
    const Bytes b = MakeFrame(e, EncodeOptions{48, 16, 75, Sampling::k420, 3}).Bytes_();
    Decoder d;
    for (size_t cut = 0; cut < b.size(); ++cut) {
      // A copy of exactly `cut` bytes, so that any read past it is caught.
      const Bytes shortFrame(b.begin(), b.begin() + cut);
      EXPECT_NE(d.Run(e, shortFrame), kMjpegOk) << cut;
    }
    // Cut right before EOI: the frame is complete but for its end.
    const Bytes noEoi(b.begin(), b.end() - 2);
    EXPECT_EQ(d.Run(e, noEoi), kMjpegErrorTruncated);
  }
}

TEST(Truncation, EoiBeforeAnyScanFailsWith21) {
  for (Entry e : kBoth) {
    Frame f = MakeFrame(e);
    f.Remove(0xC4);
    f.scan = {0xFF, 0xD9};
    EXPECT_EQ(Decoder().Run(e, f.Bytes_()), kMjpegErrorTruncated);
  }
}

TEST(Truncation, SegmentLengthsPastTheData) {
  for (Entry e : kBoth) {
    Bytes b = MakeFrame(e).Bytes_();
    // APP0's length made to run past the end of the data.
    ASSERT_EQ(b[3], 0xE0);
    b[4] = 0xFF;
    EXPECT_EQ(Decoder().Run(e, b), kMjpegErrorTruncated);
  }
}

TEST(BufferLimits, ImageLargerThanTheBuffersFailsWith20) {
  // 64 x 32 4:2:2: output 64 x 32 x 2 = 4096 bytes, planes 64 x 32 x 2 = 4096.
  const Bytes b = MakeFrame(Entry::kVideo).Bytes_();
  for (size_t destinationSize : {4095u, 4096u}) {
    for (size_t scratchSize : {4095u, 4096u}) {
      Bytes destination(destinationSize, 0xA5), scratch(scratchSize);
      const LONG rc = DecodeMjpeg(destination.data(), destination.size(), b.data(), b.size(), scratch.data(),
                                  scratch.size());
      if (destinationSize == 4096 && scratchSize == 4096) {
        EXPECT_EQ(rc, kMjpegOk);
      } else {
        EXPECT_EQ(rc, kMjpegErrorImageTooLarge);
        EXPECT_EQ(destination, Bytes(destinationSize, 0xA5));
      }
    }
  }
  // A 4:2:0 frame of 1280 x 722 needs 1280 x 736 x 1.5 bytes of planes,
  // within the frame-buffer size 3 x 1280 x 722 of a device whose largest
  // frame it is; declaring 1920 x 1080 in it must fail, not overflow.
  Frame f = MakeFrame(Entry::kVideo, EncodeOptions{1280, 722, 50, Sampling::k420, 0});
  Decoder d(3 * 1280 * 722);
  EXPECT_EQ(d.Run(Entry::kVideo, f.Bytes_()), kMjpegOk);
  Bytes& sof = f.Find(0xC0)->body;
  sof[1] = 1080 >> 8, sof[2] = 1080 & 0xFF, sof[3] = 1920 >> 8, sof[4] = 1920 & 0xFF;
  EXPECT_EQ(d.Run(Entry::kVideo, f.Bytes_()), kMjpegErrorImageTooLarge);
}

TEST(BufferLimits, FrameBufferSizeFitsEveryFrameFrom64x48) {
  // The device passes 3 x the largest pixel count for both buffers; the
  // padding to whole MCUs must never make a frame of at least 64 x 48 fail.
  for (Sampling sampling : {Sampling::k420, Sampling::k422, Sampling::kGrey}) {
    Frame f = MakeFrame(Entry::kVideo, EncodeOptions{16, 16, 75, sampling, 0});
    for (int width = 64; width <= 100; ++width) {
      for (int height = 48; height <= 84; height += 3) {
        Bytes& sof = f.Find(0xC0)->body;
        sof[1] = height >> 8, sof[2] = height & 0xFF, sof[3] = width >> 8, sof[4] = width & 0xFF;
        Decoder d(static_cast<size_t>(3) * width * height);
        ASSERT_NE(d.Run(Entry::kVideo, f.Bytes_()), kMjpegErrorImageTooLarge) << width << "x" << height;
      }
    }
  }
}

TEST(ScanEnd, ReaderStopsExactlyAtTheMarkerAfterTheScan) {
  // A comment segment between the scan and EOI whose body holds 0xFF 0x00:
  // parsed as a marker that byte pair would fail, so the decoder must land
  // exactly on the comment's marker and skip it by its length.
  for (Entry e : kBoth) {
    Decoder plain, withComment;
    const Bytes b = MakeFrame(e).Bytes_();
    ASSERT_EQ(plain.Run(e, b), kMjpegOk);
    Bytes c(b.begin(), b.end() - 2);
    AppendSegment(c, 0xFE, Bytes{0xFF, 0x00, 0xFF, 0x00, 'x'});
    c.insert(c.end(), {0xFF, 0xD9});
    ASSERT_EQ(withComment.Run(e, c), kMjpegOk);
    EXPECT_EQ(plain.destination(), withComment.destination());
  }
}

TEST(ScanEnd, StrayRestartMarkerAfterTheScanIsIgnored) {
  Decoder plain, stray;
  const Bytes b = MakeFrame(Entry::kVideo).Bytes_();
  ASSERT_EQ(plain.Run(Entry::kVideo, b), kMjpegOk);
  Bytes c(b.begin(), b.end() - 2);
  c.insert(c.end(), {0xFF, 0xD3, 0xFF, 0xD9});
  ASSERT_EQ(stray.Run(Entry::kVideo, c), kMjpegOk);
  EXPECT_EQ(plain.destination(), stray.destination());
}

// --- hostile input ----------------------------------------------------------

TEST(HostileInput, RandomCorruptionNeverEscapesTheBuffers) {
  // Exactly sized buffers (the sanitizers catch any stray access) and byte
  // flips, insertions and cuts anywhere in real frames.
  std::mt19937 rng(1234);
  const EncodeOptions shapes[] = {{48, 32, 80, Sampling::k420, 0},
                                  {40, 24, 60, Sampling::k422, 2},
                                  {24, 16, 90, Sampling::kGrey, 1}};
  int decoded = 0;
  for (const EncodeOptions& shape : shapes) {
    for (Entry e : kBoth) {
      const Bytes original = MakeFrame(e, shape).Bytes_();
      Decoder d(3 * 48 * 32);
      for (int round = 0; round < 400; ++round) {
        Bytes b = original;
        const int edits = 1 + rng() % 4;
        for (int i = 0; i < edits; ++i) {
          const size_t at = rng() % b.size();
          switch (rng() % 4) {
            case 0: b[at] = static_cast<uint8_t>(rng()); break;
            case 1: b[at] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
            case 2: b.insert(b.begin() + at, static_cast<uint8_t>(rng())); break;
            default: b.resize(at + 1); break;
          }
        }
        if (d.Run(e, b) == kMjpegOk) ++decoded;
      }
    }
  }
  // Some corrupted frames still decode (flips in the scan data); the point
  // is that none escapes its buffers. The count shows that the loop reached
  // the scan.
  EXPECT_GT(decoded, 0);
}

}  // namespace
