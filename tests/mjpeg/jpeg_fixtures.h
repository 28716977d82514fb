// JPEG frames for the decoder's tests and benchmarks, made by libjpeg-turbo's
// encoder, rewritten into the layout the camera sends, and libjpeg-turbo's
// own planar decode of them as the reference.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>
#include <turbojpeg.h>

#include "mjpeg/mjpeg_decoder.h"
#include "mjpeg/mjpeg_internal.h"

namespace mjpeg_fixtures {

using Bytes = std::vector<uint8_t>;
enum class Sampling { k420, k422, k444, kGrey };

struct EncodeOptions {
  int width = 640, height = 480, quality = 75;
  Sampling sampling = Sampling::k422;
  unsigned restartInterval = 0;  // MCUs, 0 = none
  bool optimize = false;         // Huffman tables of the picture's own statistics
  int shift = 0;                 // picture moved left by this many pixels
  bool busy = false;             // BusyPicture instead of TestPicture
};

// A camera-like picture in YCbCr: smooth gradients, a few sharp edges, fine
// texture and a little noise, so every frequency band carries data.
inline Bytes TestPicture(int width, int height, int shift = 0) {
  Bytes pixels(static_cast<size_t>(width) * height * 3);
  uint32_t noise = 2654435761u + 12345;
  auto clamp = [](double v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); };
  for (int y = 0; y < height; ++y) {
    for (int column = 0; column < width; ++column) {
      const int x = column + shift;
      noise = noise * 1664525u + 1013904223u;
      const int n = static_cast<int>((noise >> 24) & 15) - 8;
      double luma = 40 + 150.0 * x / width + 30 * std::sin(x * 0.07) * std::cos(y * 0.05);
      if (((x / 37) + (y / 29)) % 5 == 0) luma = 230;      // bright patches with hard edges
      if ((x - width / 2) * (x - width / 2) + (y - height / 3) * (y - height / 3) < 900) luma = 20;
      if (y % 16 < 2 && x > width / 2) luma = 250 - luma / 2;  // thin lines
      const double cb = 128 + 60 * std::sin(x * 0.013 + y * 0.021) + ((x / 50) % 2 ? 25 : -25);
      const double cr = 128 + 70 * std::cos(y * 0.017) - 40.0 * x / width;
      uint8_t* p = &pixels[(static_cast<size_t>(y) * width + column) * 3];
      p[0] = clamp(luma + n), p[1] = clamp(cb + n / 2), p[2] = clamp(cr - n / 2);
    }
  }
  return pixels;
}

// Blocks that alternate between dark and bright under texture of a strength
// that changes from block to block: large DC steps (long DC categories)
// next to every mix of AC symbol lengths, the reader's hardest case.
inline Bytes BusyPicture(int width, int height) {
  Bytes pixels(static_cast<size_t>(width) * height * 3);
  uint32_t noise = 777;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int block = x / 8 + y / 8 * 131;
      const int strength = 1 + (block * 37 % 11) * (block * 37 % 11);  // 1..101
      uint8_t* p = &pixels[(static_cast<size_t>(y) * width + x) * 3];
      for (int c = 0; c < 3; ++c) {
        noise = noise * 1664525u + 1013904223u;
        const int n = static_cast<int>((noise >> 16) % (2 * strength + 1)) - strength;
        const int base = ((x / 8 + y / 8 + c) & 1) ? 235 : 20;
        p[c] = static_cast<uint8_t>(std::min(255, std::max(0, base + n)));
      }
    }
  }
  return pixels;
}

// The test picture through libjpeg-turbo: baseline, one DQT and DHT segment per table.
inline Bytes Encode(const EncodeOptions& o) {
  const bool grey = o.sampling == Sampling::kGrey;
  Bytes pixels = o.busy ? BusyPicture(o.width, o.height) : TestPicture(o.width, o.height, o.shift);
  if (grey)
    for (size_t i = 0; i < pixels.size() / 3; ++i) pixels[i] = pixels[3 * i];
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  jpeg_mem_dest(&cinfo, &out, &outSize);
  cinfo.image_width = o.width;
  cinfo.image_height = o.height;
  cinfo.input_components = grey ? 1 : 3;
  cinfo.in_color_space = grey ? JCS_GRAYSCALE : JCS_YCbCr;
  jpeg_set_defaults(&cinfo);
  jpeg_set_colorspace(&cinfo, cinfo.in_color_space);
  jpeg_set_quality(&cinfo, o.quality, TRUE);
  cinfo.optimize_coding = o.optimize ? TRUE : FALSE, cinfo.dct_method = JDCT_ISLOW;
  cinfo.restart_interval = o.restartInterval;
  if (!grey) {
    cinfo.comp_info[0].h_samp_factor = o.sampling == Sampling::k444 ? 1 : 2;
    cinfo.comp_info[0].v_samp_factor = o.sampling == Sampling::k420 ? 2 : 1;
    for (int c = 1; c < 3; ++c) cinfo.comp_info[c].h_samp_factor = cinfo.comp_info[c].v_samp_factor = 1;
  }
  jpeg_start_compress(&cinfo, TRUE);
  std::vector<JSAMPROW> rows(o.height);
  for (int y = 0; y < o.height; ++y) rows[y] = &pixels[static_cast<size_t>(y) * o.width * cinfo.input_components];
  jpeg_write_scanlines(&cinfo, rows.data(), o.height);
  jpeg_finish_compress(&cinfo);
  Bytes jpeg(out, out + outSize);
  jpeg_destroy_compress(&cinfo);
  free(out);
  return jpeg;
}

struct Segment {
  uint8_t marker;
  Bytes body;  // after the length field
};

// Splits a JPEG into its segments after SOI up to and including SOS; `data`
// receives everything after SOS (entropy-coded data, markers, EOI).
inline std::vector<Segment> SplitHeaders(const Bytes& jpeg, Bytes* data) {
  std::vector<Segment> segments;
  for (size_t p = 2; p + 4 <= jpeg.size() && (segments.empty() || segments.back().marker != 0xDA);) {
    const size_t length = (jpeg[p + 2] << 8) | jpeg[p + 3];
    segments.push_back({jpeg[p + 1], Bytes(jpeg.begin() + p + 4, jpeg.begin() + p + 2 + length)});
    p += 2 + length;
    data->assign(jpeg.begin() + p, jpeg.end());
  }
  return segments;
}

inline void AppendSegment(Bytes& out, uint8_t marker, const Bytes& body) {
  const size_t length = body.size() + 2;
  out.insert(out.end(), {0xFF, marker, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
  out.insert(out.end(), body.begin(), body.end());
}

// The layout the camera sends: SOI, APPn, one DQT segment with every table
// (table 0 first), SOF0, DRI if any, then either the encoder's DHT segments
// (standardDht false, for stills) or the single 418-byte standard DHT
// (standardDht true), and SOS right after it.
inline Bytes CameraLayout(const Bytes& jpeg, bool standardDht) {
  Bytes data, dqt, sof, dri, sos, out = {0xFF, 0xD8};
  std::vector<Segment> dhts;
  for (const Segment& s : SplitHeaders(jpeg, &data)) {
    if (s.marker == 0xDB) dqt.insert(dqt.end(), s.body.begin(), s.body.end());
    else if (s.marker == 0xC0) sof = s.body;
    else if (s.marker == 0xDD) dri = s.body;
    else if (s.marker == 0xDA) sos = s.body;
    else if (s.marker == 0xC4) dhts.push_back(s);
    else AppendSegment(out, s.marker, s.body);
  }
  AppendSegment(out, 0xDB, dqt);
  AppendSegment(out, 0xC0, sof);
  if (!dri.empty()) AppendSegment(out, 0xDD, dri);
  if (standardDht) {
    dhts.assign(1, {0xC4, Bytes(kStandardDhtBodyBytes)});
    WriteStandardDhtBody(dhts[0].body.data());
  }
  for (const Segment& s : dhts) AppendSegment(out, 0xC4, s.body);
  AppendSegment(out, 0xDA, sos);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

// The layout many webcams send: no DHT at all (the standard tables are
// implied), one DQT segment per table with the last table first, SOF0, DRI
// if any, SOS. With `fill`, every RSTn marker is preceded by extra bytes as
// some cameras write them: a stuffed zero byte (FF 00) before RST0, RST2,
// ..., a fill byte (FF) before the others.
inline Bytes WebcamLayout(const Bytes& jpeg, bool fill) {
  Bytes data, sof, dri, sos, out = {0xFF, 0xD8};
  std::vector<Bytes> tables;
  for (const Segment& s : SplitHeaders(jpeg, &data)) {
    if (s.marker == 0xDB)
      for (size_t p = 0; p + 65 <= s.body.size(); p += 65)
        tables.insert(tables.begin(), Bytes(s.body.begin() + p, s.body.begin() + p + 65));
    else if (s.marker == 0xC0) sof = s.body;
    else if (s.marker == 0xDD) dri = s.body;
    else if (s.marker == 0xDA) sos = s.body;
    else if (s.marker != 0xC4) AppendSegment(out, s.marker, s.body);
  }
  for (const Bytes& t : tables) AppendSegment(out, 0xDB, t);
  AppendSegment(out, 0xC0, sof);
  if (!dri.empty()) AppendSegment(out, 0xDD, dri);
  AppendSegment(out, 0xDA, sos);
  for (size_t i = 0; fill && i + 1 < data.size(); ++i) {
    if (data[i] != 0xFF || (data[i + 1] & 0xF8) != 0xD0) continue;
    const Bytes extra = (data[i + 1] & 1) ? Bytes{0xFF} : Bytes{0xFF, 0x00};
    data.insert(data.begin() + i, extra.begin(), extra.end());
    i += extra.size() + 1;
  }
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

// libjpeg-turbo's planar decode (accurate IDCT, no upsampling).
struct Planar {
  int width = 0, height = 0, chromaWidth = 0;
  bool grey = false;
  Bytes y, cb, cr;
};

inline bool ReferenceDecode(const Bytes& jpeg, Planar* out) {
  tjhandle handle = tjInitDecompress();
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  bool ok = tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &width, &height, &subsampling, &colorspace) == 0;
  out->width = width, out->height = height, out->grey = subsampling == TJSAMP_GRAY;
  out->chromaWidth = out->grey ? 0 : tjPlaneWidth(1, width, subsampling);
  const size_t chroma = out->grey ? 0 : static_cast<size_t>(out->chromaWidth) * tjPlaneHeight(1, height, subsampling);
  const size_t sizes[3] = {static_cast<size_t>(width) * height, chroma, chroma};
  // Slack for the MCU row libjpeg-turbo may write past a plane, trimmed afterwards.
  Bytes* const buffers[3] = {&out->y, &out->cb, &out->cr};
  unsigned char* planes[3];
  for (int i = 0; i < 3; ++i) buffers[i]->assign(sizes[i] + (width + 32) * 32, 0), planes[i] = buffers[i]->data();
  int strides[3] = {width, out->chromaWidth, out->chromaWidth};
  ok = ok && tjDecompressToYUVPlanes(handle, jpeg.data(), jpeg.size(), planes, width, strides, height,
                                     TJFLAG_ACCURATEDCT) == 0;
  tjDestroy(handle);
  for (int i = 0; i < 3; ++i) buffers[i]->resize(sizes[i]);
  return ok;
}

// One frame through the video or the still entry.
inline LONG Decode(bool still, Bytes& destination, const Bytes& jpeg, Bytes& scratch) {
  return (still ? DecodeMjpegStill : DecodeMjpeg)(destination.data(), ULONG(destination.size()), jpeg.data(),
                                                  ULONG(jpeg.size()), scratch.data(), ULONG(scratch.size()));
}

}  // namespace mjpeg_fixtures
