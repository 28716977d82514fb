// Error codes, malformed frames, buffer limits, restart handling and the end
// of the scan (random corruption is the fuzz target's job).
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "mjpeg/mjpeg_decoder.h"
#include "platform/host/pair_runner.h"
#include "tests/mjpeg/jpeg_fixtures.h"

namespace {

using namespace mjpeg_fixtures;

enum Entry { kVideo = 1, kStill = 2, kBoth = 3 };

const EncodeOptions kShapes[] = {{64, 32, 75, Sampling::k422, 0},   // 0: the usual frame
                                 {8, 8, 75, Sampling::kGrey, 0},    // 1: one block
                                 {64, 48, 80, Sampling::k420, 2},   // 2: restart interval of 2 MCUs
                                 {64, 32, 75, Sampling::k444, 0}};  // 3: not decodable

// A frame as segments up to and including SOS, then the entropy-coded data
// and what follows it, so that a case can change one piece and reassemble.
// `raw`, once taken, is the frame as bytes and is used as it stands.
struct Frame {
  std::vector<Segment> headers;
  Bytes data, raw;

  Bytes Assemble() const {
    if (!raw.empty()) return raw;
    Bytes out = {0xFF, 0xD8};
    for (const Segment& s : headers) AppendSegment(out, s.marker, s.body);
    out.insert(out.end(), data.begin(), data.end());
    return out;
  }
  Bytes& Raw() { return raw = Assemble(); }
  Segment& Find(uint8_t marker) {
    return *std::find_if(headers.begin(), headers.end(), [&](const Segment& s) { return s.marker == marker; });
  }
  Bytes& Body(uint8_t marker) { return Find(marker).body; }
  void Remove(uint8_t marker) {
    for (size_t i = headers.size(); i-- > 0;)
      if (headers[i].marker == marker) headers.erase(headers.begin() + i);
  }
};

Frame MakeFrame(Entry entry, const EncodeOptions& options = kShapes[0]) {
  Frame f;
  f.headers = SplitHeaders(CameraLayout(Encode(options), entry == kVideo), &f.data);
  return f;
}

struct Decoder {
  Bytes destination, scratch;
  explicit Decoder(size_t size = 64 * 1024, size_t scratchSize = 0)
      : destination(size), scratch(scratchSize ? scratchSize : size) {}
  LONG Run(Entry entry, const Bytes& jpeg) {
    std::fill(destination.begin(), destination.end(), 0xA5);
    const LONG rc = (entry == kVideo ? DecodeMjpeg : DecodeMjpegStill)(
        destination.data(), destination.size(), jpeg.data(), jpeg.size(), scratch.data(), scratch.size());
    // A frame that fails leaves the destination as it was.
    if (rc != kMjpegOk && destination != Bytes(destination.size(), 0xA5))
      ADD_FAILURE() << "failed frame (code " << rc << ") wrote the destination";
    // The decode split at a restart marker gives the same code and bytes.
    if (entry == kVideo) {
      static host::PairRunner runner;
      const MjpegWorkers workers = {host::PairRunner::RunPair, &runner};
      Bytes split(destination.size(), 0xA5), splitScratch(scratch.size());
      const LONG splitRc = DecodeMjpegSplit(split.data(), split.size(), jpeg.data(), jpeg.size(),
                                            splitScratch.data(), splitScratch.size(), &workers);
      if (splitRc != rc || split != destination) ADD_FAILURE() << "split decode: code " << splitRc << " vs " << rc;
    }
    return rc;
  }
};

size_t FindMarker(const Bytes& b, uint8_t low, uint8_t high, size_t from = 0) {
  for (size_t i = from; i + 1 < b.size(); ++i)
    if (b[i] == 0xFF && b[i + 1] >= low && b[i + 1] <= high) return i;
  return b.size();
}

// A DHT segment body: per table its class and number, then `count` codes of
// each listed length, symbols first, first + 1, ...
struct Table {
  int tcTh;
  std::vector<std::pair<int, int>> counts;
  int first;
};
void SetDht(Frame& f, std::initializer_list<Table> tables) {
  f.Remove(0xC4);
  Bytes& body = f.headers.insert(f.headers.end() - 1, {0xC4, {}})->body;
  for (const Table& t : tables) {
    const size_t start = body.size(), symbols = start + 17;
    body.resize(symbols);
    body[start] = static_cast<uint8_t>(t.tcTh);
    for (auto [length, count] : t.counts)
      for (body[start + length] += count; count-- > 0;)
        body.push_back(static_cast<uint8_t>(t.first + body.size() - symbols));
  }
}
// Replaces the entropy-coded data; EOI follows.
void SetData(Frame& f, Bytes data) {
  f.data = data;
  f.data.insert(f.data.end(), {0xFF, 0xD9});
}
// Sets byte (arg >> 8) of the body of the segment `marker` to (arg & 0xFF).
template <uint8_t marker>
void Poke(Frame& f, int arg) { f.Body(marker)[arg >> 8] = static_cast<uint8_t>(arg); }

// Codes beyond the decoder's: the frame decodes to the unedited frame's
// picture, or (whatever its result) to a picture other than that.
constexpr LONG kSame = -1, kDiffers = -2;

struct Case {
  int entries, shape;
  LONG code;
  const char* what;
  void (*edit)(Frame& f, int arg);
  std::vector<int> args = {0};
};

// SOF0 body: P, Y(2), X(2), Nf, then Ci, HiVi, Tqi per component.
// SOS body: Ns, then Cs and TdTa per component, then Ss, Se, AhAl.
const Case kCases[] = {
    {kBoth, 0, kMjpegErrorMissingSegment, "DQT or SOF0 missing", [](Frame& f, int m) { f.Remove(m); },
     {0xDB, 0xC0}},
    {kBoth, 0, kMjpegErrorMissingSegment, "SOI made data", [](Frame& f, int) { f.Raw()[0] = 0; }},
    {kBoth, 0, kMjpegErrorMissingSegment, "DQT 1 undefined", [](Frame& f, int) { f.Body(0xDB).resize(65); }},
    {kStill, 0, kSame, "DHT DC 1 and AC 1 undefined",
     [](Frame& f, int) { f.headers.erase(f.headers.end() - 3, f.headers.end() - 1); }},
    {kBoth, 0, kMjpegErrorMarker, "fill byte", [](Frame& f, int) { f.Raw().insert(f.raw.begin() + 2, 0xFF); }},
    {kBoth, 0, kMjpegErrorMarker, "unsupported marker", [](Frame& f, int m) { f.Find(0xC0).marker = m; },
     {0xC1, 0xC2, 0xC3, 0xC5, 0xCC, 0xDC, 0xDE, 0xF0, 0x01}},
    {kVideo, 0, kSame, "segment between DHT and SOS",
     [](Frame& f, int) { f.headers.insert(f.headers.end() - 1, {0xFE, Bytes{'h', 'i'}}); }},
    {kBoth, 0, kMjpegErrorTruncated, "standard DHT cut short",
     [](Frame& f, int n) { f.Raw().resize(FindMarker(f.raw, 0xC4, 0xC4) + n); }, {2, 100, 420, 421}},
    // The frame's own tables count: one symbol changed in the 418-byte
    // segment (AC 0's first code now means another coefficient).
    {kVideo, 0, kDiffers, "standard DHT with a symbol changed",
     [](Frame& f, int) { f.Body(0xC4)[29 + 17] ^= 0x10; }},
    {kStill, 0, kMjpegErrorHuffmanTable, "class or table 2", [](Frame& f, int tcTh) { SetDht(f, {{tcTh, {}, 0}}); },
     {0x20, 0x02, 0x12}},
    {kStill, 0, kMjpegErrorHuffmanTable, "300 codes",
     [](Frame& f, int) { SetDht(f, {{0, {{15, 100}, {16, 200}}, 0}}); }},
    {kStill, 0, kMjpegErrorHuffmanTable, "3 codes of 1 bit, 5 of 2",
     [](Frame& f, int n) { SetDht(f, {{0, {{n >> 8, n & 0xFF}}, 0}}); }, {0x103, 0x205}},
    // DQT: one segment per table in either order; a table defined again
    // replaces the earlier one (arg 0: table 1 first; 1: a flat table 0
    // before the real one; 2: after it).
    {kBoth, 0, kSame, "DQT tables in two segments, either order; table 0 defined twice",
     [](Frame& f, int order) {
       Bytes& dqt = f.Body(0xDB);
       const Segment second{0xDB, Bytes(dqt.begin() + 65, dqt.end())};
       Segment flat{0xDB, Bytes(65, 1)};
       flat.body[0] = 0;
       dqt.resize(65);  // headers[1], after APP0: table 0 alone
       if (order == 0) f.headers.insert(f.headers.begin() + 1, second);
       else f.headers.insert(f.headers.begin() + 1, {flat, second});
     }, {0, 1}},
    {kBoth, 0, kDiffers, "flat table 0 after the real one",
     [](Frame& f, int) {
       Bytes flat(65, 1);
       flat[0] = 0;
       f.headers.insert(f.headers.begin() + 2, {0xDB, flat});
     }},
    {kBoth, 0, kMjpegErrorDqtPrecision, "16-bit table 0; 16-bit second table", Poke<0xDB>, {0x0010, 0x4111}},
    {kBoth, 0, kMjpegErrorDqtTable, "table 4 second", Poke<0xDB>, {0x4104}},
    {kBoth, 0, kMjpegErrorMissingSegment, "table 1 twice, no table 0", Poke<0xDB>, {0x0001}},
    {kBoth, 0, kMjpegErrorDqtTable, "DQT cut short", [](Frame& f, int n) { f.Body(0xDB).resize(n); }, {64, 100}},
    {kBoth, 0, kMjpegErrorSamplePrecision, "12-bit samples", Poke<0xC0>, {0x000C}},
    {kBoth, 0, kMjpegErrorFrameComponents, "0 or 4 components; identifier 4, repeated; quantisation 4", Poke<0xC0>,
     {0x0500, 0x0504, 0x0604, 0x0901, 0x0804}},
    {kBoth, 0, kMjpegErrorSampling, "2 components; 4:4:4, V 0, chroma 0, luma 1x2", Poke<0xC0>,
     {0x0502, 0x0711, 0x0720, 0x0A01, 0x0712}},
    {kBoth, 0, kMjpegErrorSampling, "4:2:2 with unequal chroma (4x1, 2x1, 1x2)",
     [](Frame& f, int) { f.Body(0xC0)[7] = 0x41, f.Body(0xC0)[10] = 0x21, f.Body(0xC0)[13] = 0x12; }},
    {kBoth, 3, kMjpegErrorSampling, "encoded 4:4:4", [](Frame&, int) {}},
    {kBoth, 0, kMjpegErrorTruncated, "SOF0 components cut short", [](Frame& f, int) { f.Body(0xC0).resize(10); }},
    {kBoth, 0, kMjpegErrorTruncated, "EOI before a scan",
     [](Frame& f, int) { f.Remove(0xC4), f.Remove(0xDA), SetData(f, {}); }},
    {kBoth, 0, kMjpegErrorTruncated, "APP0 past the data", [](Frame& f, int) { f.Raw()[4] = 0xFF; }},
    {kBoth, 0, kMjpegErrorTruncated, "no EOI", [](Frame& f, int) { f.data.resize(f.data.size() - 2); }},
    {kBoth, 0, kMjpegErrorImageTooLarge, "height 0, width 0, height 65312", Poke<0xC0>, {0x0200, 0x0400, 0x01FF}},
    {kBoth, 0, kMjpegErrorScanComponents, "4 or 0 components; identifier 4; DC, AC table 2; identifier 0, repeated",
     Poke<0xDA>, {0x0004, 0x0000, 0x0104, 0x0421, 0x0612, 0x0300, 0x0301}},
    {kBoth, 0, kMjpegErrorScanComponents, "non-interleaved scan",
     [](Frame& f, int) { f.Body(0xDA) = {1, f.Body(0xDA)[1], f.Body(0xDA)[2], 0, 63, 0}; }},
    {kBoth, 0, kMjpegErrorSpectralStart, "Ss 1", Poke<0xDA>, {0x0701}},
    {kBoth, 0, kMjpegErrorSpectralEnd, "Se 62", Poke<0xDA>, {0x083E}},
    {kBoth, 0, kMjpegErrorApproximation, "Al 1, Ah 1", Poke<0xDA>, {0x0901, 0x0910}},
    {kBoth, 0, kMjpegErrorRestartLength, "DRI of 3 bytes",
     [](Frame& f, int) { f.headers.insert(f.headers.begin(), {0xDD, Bytes{0, 4, 0}}); }},
    // All ones: no DC luminance code is nine 1 bits, no AC code sixteen.
    {kBoth, 1, kMjpegErrorDcCode, "ones", [](Frame& f, int) { SetData(f, {0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0}); }},
    {kBoth, 1, kMjpegErrorAcCode, "DC 00, ones", [](Frame& f, int) { SetData(f, {0x3F, 0xFF, 0, 0xFF, 0, 0xFF, 0}); }},
    {kBoth, 1, kMjpegOk, "DC 00, EOB 1010, padding", [](Frame& f, int) { SetData(f, {0x2B}); }},
    // DC table 0: one 1-bit code, for category 17 or 16; AC table 0: one 1-bit code, end of block.
    {kStill, 1, kMjpegErrorDcCode, "DC category 17",
     [](Frame& f, int) { SetDht(f, {{0x00, {{1, 1}}, 17}, {0x10, {{1, 1}}, 0}}), SetData(f, {0, 0, 0, 0}); }},
    {kStill, 1, kMjpegOk, "DC category 16",
     [](Frame& f, int) { SetDht(f, {{0x00, {{1, 1}}, 16}, {0x10, {{1, 1}}, 0}}), SetData(f, {0x7F, 0xFF, 0, 0}); }},
    {kBoth, 2, kMjpegErrorRestart, "RSTn removed, replaced by another marker, out of sequence",
     [](Frame& f, int replace) {
       const auto rst = f.data.begin() + FindMarker(f.data, 0xD0, 0xD7);
       replace ? void(rst[1] = static_cast<uint8_t>(replace)) : void(f.data.erase(rst, rst + 2));
     }, {0, 0xFE, 0xD1, 0xD7}},
    // Fill before the first, a middle and the last of the five RSTn: a
    // stuffed zero byte, one or two fill bytes, or both (arg: RSTn index << 8
    // | kind).
    {kBoth, 2, kSame, "fill before RSTn",
     [](Frame& f, int arg) {
       size_t at = FindMarker(f.data, 0xD0, 0xD7);
       for (int i = 0; i < arg >> 8; ++i) at = FindMarker(f.data, 0xD0, 0xD7, at + 2);
       const Bytes kinds[] = {{0xFF, 0x00}, {0xFF}, {0xFF, 0xFF}, {0xFF, 0x00, 0xFF, 0x00, 0xFF}};
       f.data.insert(f.data.begin() + at, kinds[arg & 0xFF].begin(), kinds[arg & 0xFF].end());
     }, {0x000, 0x001, 0x202, 0x203, 0x400, 0x401}},
    // The third of the five RSTn is where the split decode cuts the scan.
    {kBoth, 2, kMjpegErrorRestart, "the middle RSTn removed, replaced, out of sequence",
     [](Frame& f, int replace) {
       const size_t first = FindMarker(f.data, 0xD0, 0xD7);
       const auto rst = f.data.begin() + FindMarker(f.data, 0xD0, 0xD7, FindMarker(f.data, 0xD0, 0xD7, first + 2) + 2);
       replace ? void(rst[1] = static_cast<uint8_t>(replace)) : void(f.data.erase(rst, rst + 2));
     }, {0, 0xD9, 0xD3, 0xD0}},
    {kBoth, 2, kMjpegErrorRestart, "other bytes before RSTn",
     [](Frame& f, int b) { f.data.insert(f.data.begin() + FindMarker(f.data, 0xD0, 0xD7), static_cast<uint8_t>(b)); },
     {0x00, 0x12}},
    // Scan data cut short, the rest of the frame kept: all of it after the
    // SOS header, the first or last interval's bytes (their RSTn kept).
    {kBoth, 2, kMjpegErrorTruncated, "scan data missing",
     [](Frame& f, int what) {
       size_t last = FindMarker(f.data, 0xD0, 0xD7);
       for (size_t next; (next = FindMarker(f.data, 0xD0, 0xD7, last + 2)) < f.data.size();) last = next;
       if (what == 0) f.data.erase(f.data.begin(), f.data.end() - 2);
       else if (what == 1) f.data.erase(f.data.begin(), f.data.begin() + FindMarker(f.data, 0xD0, 0xD7));
       else f.data.erase(f.data.begin() + last + 2, f.data.end() - 2);
     }, {0, 1, 2}},
    {kBoth, 0, kMjpegErrorTruncated, "scan cut at half, EOI appended",
     [](Frame& f, int) { f.data.erase(f.data.begin() + f.data.size() / 2, f.data.end() - 2); }},
    {kBoth, 2, kDiffers, "interval ignored: predictors and alignment not reset", [](Frame& f, int) { f.Remove(0xDD); }},
    {kBoth, 0, kSame, "comment holding FF 00 after the scan",
     [](Frame& f, int) { f.data.insert(f.data.end() - 2, {0xFF, 0xFE, 0, 7, 0xFF, 0x00, 0xFF, 0x00, 'x'}); }},
    {kBoth, 0, kSame, "stray RSTn after the scan",
     [](Frame& f, int) { f.data.insert(f.data.end() - 2, {0xFF, 0xD3}); }},
    {kStill, 0, kSame, "the four tables in one DHT segment", [](Frame& f, int) { f = MakeFrame(kVideo); }},
};

TEST(MalformedFrames, EveryCaseGivesItsCode) {
  for (const Case& c : kCases) {
    for (Entry e : {kVideo, kStill}) {
      if (!(c.entries & e)) continue;
      Decoder plain;
      // The unedited frame also leaves its tables behind, which the next
      // frame must not use.
      ASSERT_EQ(plain.Run(e, MakeFrame(e, kShapes[c.shape]).Assemble()), c.shape == 3 ? kMjpegErrorSampling : 0);
      for (int arg : c.args) {
        Frame f = MakeFrame(e, kShapes[c.shape]);
        c.edit(f, arg);
        Decoder d;
        const LONG rc = d.Run(e, f.Assemble());
        const bool same = d.destination == plain.destination;
        EXPECT_TRUE(c.code == kSame ? rc == kMjpegOk && same : c.code == kDiffers ? !same : rc == c.code)
            << c.what << ", arg " << arg << ", entry " << e << ": code " << rc << (same ? ", same" : ", other")
            << " picture";
      }
    }
  }
}

TEST(BufferLimits, TheImageMustFitBothBuffers) {
  // 64 x 32 4:2:2: output 64 x 32 x 2 = 4096 bytes, planes 64 x 32 x 2 = 4096.
  const Bytes b = MakeFrame(kVideo).Assemble();
  for (size_t destinationSize : {4095u, 4096u})
    for (size_t scratchSize : {4095u, 4096u})
      EXPECT_EQ(Decoder(destinationSize, scratchSize).Run(kVideo, b),
                destinationSize + scratchSize == 8192 ? kMjpegOk : kMjpegErrorImageTooLarge);
  Bytes destination(4096);
  EXPECT_EQ(DecodeMjpeg(destination.data(), 4096, b.data(), b.size(), nullptr, 1 << 20), kMjpegErrorNoScratch);
  // 1280 x 722 4:2:0 fits a 3 x w x h buffer; declaring 1920 x 1080 must fail, not overflow.
  Frame f = MakeFrame(kVideo, {1280, 722, 50, Sampling::k420, 0});
  Decoder d(3 * 1280 * 722);
  EXPECT_EQ(d.Run(kVideo, f.Assemble()), kMjpegOk);
  Bytes& sof = f.Body(0xC0);
  sof[1] = 1080 >> 8, sof[2] = 1080 & 0xFF, sof[3] = 1920 >> 8, sof[4] = 1920 & 0xFF;
  EXPECT_EQ(d.Run(kVideo, f.Assemble()), kMjpegErrorImageTooLarge);
  // With 3 x the pixel count, MCU padding never makes a frame of 64 x 48 or more fail.
  for (Sampling sampling : {Sampling::k420, Sampling::k422, Sampling::kGrey}) {
    Frame small = MakeFrame(kVideo, {16, 16, 75, sampling, 0});
    for (int width = 64; width <= 100; ++width) {
      for (int height = 48; height <= 84; height += 3) {
        Bytes& header = small.Body(0xC0);
        header[1] = height >> 8, header[2] = height & 0xFF, header[3] = width >> 8, header[4] = width & 0xFF;
        Decoder fits(static_cast<size_t>(3) * width * height);
        ASSERT_NE(fits.Run(kVideo, small.Assemble()), kMjpegErrorImageTooLarge) << width << "x" << height;
      }
    }
  }
}

TEST(Truncation, EveryCutFailsOrGivesTheIntactPicture) {
  // Every cut, bare and with EOI appended, in an exactly sized copy: it fails
  // (destination untouched) unless only EOI was cut and put back.
  const EncodeOptions shapes[] = {{48, 16, 75, Sampling::k420, 3}, {32, 16, 80, Sampling::k422, 0},
                                  {24, 16, 90, Sampling::kGrey, 2}};
  for (const EncodeOptions& shape : shapes) {
    for (Entry e : {kVideo, kStill}) {
      const Bytes b = MakeFrame(e, shape).Assemble();
      Decoder intact, d;
      ASSERT_EQ(intact.Run(e, b), kMjpegOk);
      size_t decoded = 0;
      for (size_t cut = 0; cut < b.size(); ++cut) {
        EXPECT_NE(d.Run(e, Bytes(b.begin(), b.begin() + cut)), kMjpegOk) << cut;
        Bytes withEoi(b.begin(), b.begin() + cut);
        withEoi.insert(withEoi.end(), {0xFF, 0xD9});
        if (d.Run(e, withEoi) != kMjpegOk) continue;
        ++decoded;
        EXPECT_EQ(cut, b.size() - 2);
        EXPECT_TRUE(d.destination == intact.destination) << cut;
      }
      EXPECT_EQ(decoded, 1u);
    }
  }
}

}  // namespace
