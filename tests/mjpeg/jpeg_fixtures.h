// JPEG frames for the decoder's tests and benchmarks, made by libjpeg-turbo's
// encoder, rewritten into the layout the camera sends, and libjpeg-turbo's
// own planar decode of them as the reference.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>
#include <turbojpeg.h>

#include "mjpeg/mjpeg_internal.h"

namespace mjpeg_fixtures {

enum class Sampling { k420, k422, k444, kGrey };

struct EncodeOptions {
  int width = 640;
  int height = 480;
  int quality = 75;
  Sampling sampling = Sampling::k422;
  unsigned restartInterval = 0;  // MCUs, 0 = none
};

// A camera-like picture in YCbCr: smooth gradients, a few sharp edges, fine
// texture and a little noise, so every frequency band carries data.
inline std::vector<uint8_t> TestPicture(int width, int height, unsigned seed = 1) {
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 3);
  uint32_t noise = seed * 2654435761u + 12345;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      noise = noise * 1664525u + 1013904223u;
      const int n = static_cast<int>((noise >> 24) & 15) - 8;
      double luma = 40 + 150.0 * x / width + 30 * std::sin(x * 0.07) * std::cos(y * 0.05);
      if (((x / 37) + (y / 29)) % 5 == 0) luma = 230;      // bright patches with hard edges
      if ((x - width / 2) * (x - width / 2) + (y - height / 3) * (y - height / 3) < 900) luma = 20;
      if (y % 16 < 2 && x > width / 2) luma = 250 - luma / 2;  // thin lines
      const double cb = 128 + 60 * std::sin(x * 0.013 + y * 0.021) + ((x / 50) % 2 ? 25 : -25);
      const double cr = 128 + 70 * std::cos(y * 0.017) - 40.0 * x / width;
      auto clamp = [](double v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); };
      uint8_t* p = &pixels[(static_cast<size_t>(y) * width + x) * 3];
      p[0] = clamp(luma + n);
      p[1] = clamp(cb + n / 2);
      p[2] = clamp(cr - n / 2);
    }
  }
  return pixels;
}

// Encodes the test picture with libjpeg-turbo: baseline, standard Huffman
// tables, one DQT and one DHT segment per table (the encoder's own layout).
inline std::vector<uint8_t> Encode(const EncodeOptions& o, unsigned seed = 1) {
  const std::vector<uint8_t> pixels = TestPicture(o.width, o.height, seed);
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  jpeg_mem_dest(&cinfo, &out, &outSize);
  cinfo.image_width = o.width;
  cinfo.image_height = o.height;
  const bool grey = o.sampling == Sampling::kGrey;
  cinfo.input_components = grey ? 1 : 3;
  cinfo.in_color_space = grey ? JCS_GRAYSCALE : JCS_YCbCr;
  jpeg_set_defaults(&cinfo);
  jpeg_set_colorspace(&cinfo, grey ? JCS_GRAYSCALE : JCS_YCbCr);
  jpeg_set_quality(&cinfo, o.quality, TRUE);
  cinfo.optimize_coding = FALSE;
  cinfo.dct_method = JDCT_ISLOW;
  cinfo.restart_interval = o.restartInterval;
  if (!grey) {
    cinfo.comp_info[0].h_samp_factor = o.sampling == Sampling::k444 ? 1 : 2;
    cinfo.comp_info[0].v_samp_factor = o.sampling == Sampling::k420 ? 2 : 1;
    for (int c = 1; c < 3; ++c) cinfo.comp_info[c].h_samp_factor = cinfo.comp_info[c].v_samp_factor = 1;
  }
  jpeg_start_compress(&cinfo, TRUE);
  std::vector<uint8_t> row(static_cast<size_t>(o.width) * 3);
  while (cinfo.next_scanline < cinfo.image_height) {
    const uint8_t* src = &pixels[static_cast<size_t>(cinfo.next_scanline) * o.width * 3];
    if (grey) {
      for (int x = 0; x < o.width; ++x) row[x] = src[3 * x];
    } else {
      memcpy(row.data(), src, row.size());
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  std::vector<uint8_t> jpeg(out, out + outSize);
  jpeg_destroy_compress(&cinfo);
  free(out);
  return jpeg;
}

struct Segment {
  uint8_t marker;
  std::vector<uint8_t> body;  // after the length field
};

// Splits a JPEG into its segments up to SOS; `scan` receives the SOS segment
// and everything after it (entropy-coded data, markers, EOI).
inline std::vector<Segment> SplitHeaders(const std::vector<uint8_t>& jpeg, std::vector<uint8_t>* scan) {
  std::vector<Segment> segments;
  size_t p = 2;  // after SOI
  while (p + 4 <= jpeg.size()) {
    const uint8_t marker = jpeg[p + 1];
    if (marker == 0xDA) {
      scan->assign(jpeg.begin() + p, jpeg.end());
      break;
    }
    const size_t length = (jpeg[p + 2] << 8) | jpeg[p + 3];
    segments.push_back({marker, std::vector<uint8_t>(jpeg.begin() + p + 4, jpeg.begin() + p + 2 + length)});
    p += 2 + length;
  }
  return segments;
}

inline void AppendSegment(std::vector<uint8_t>& out, uint8_t marker, const std::vector<uint8_t>& body) {
  out.push_back(0xFF);
  out.push_back(marker);
  const size_t length = body.size() + 2;
  out.push_back(static_cast<uint8_t>(length >> 8));
  out.push_back(static_cast<uint8_t>(length));
  out.insert(out.end(), body.begin(), body.end());
}

// The layout the camera sends: SOI, APPn, one DQT segment with every table
// (table 0 first), SOF0, DRI if any, then either the encoder's DHT segments
// (standardDht false, for stills) or the single 418-byte standard DHT
// (standardDht true), and SOS right after it.
inline std::vector<uint8_t> CameraLayout(const std::vector<uint8_t>& jpeg, bool standardDht) {
  std::vector<uint8_t> scan;
  const std::vector<Segment> segments = SplitHeaders(jpeg, &scan);
  std::vector<uint8_t> out = {0xFF, 0xD8};
  std::vector<uint8_t> dqt, sof, dri;
  std::vector<Segment> dhts;
  for (const Segment& s : segments) {
    if (s.marker == 0xDB) {
      dqt.insert(dqt.end(), s.body.begin(), s.body.end());
    } else if (s.marker == 0xC0) {
      sof = s.body;
    } else if (s.marker == 0xDD) {
      dri = s.body;
    } else if (s.marker == 0xC4) {
      dhts.push_back(s);
    } else {
      AppendSegment(out, s.marker, s.body);
    }
  }
  AppendSegment(out, 0xDB, dqt);
  AppendSegment(out, 0xC0, sof);
  if (!dri.empty()) AppendSegment(out, 0xDD, dri);
  if (standardDht) {
    std::vector<uint8_t> body(kStandardDhtBodyBytes);
    WriteStandardDhtBody(body.data());
    AppendSegment(out, 0xC4, body);
  } else {
    for (const Segment& s : dhts) AppendSegment(out, 0xC4, s.body);
  }
  out.insert(out.end(), scan.begin(), scan.end());
  return out;
}

// libjpeg-turbo's decode to planar YUV (accurate integer IDCT, no
// upsampling): planes of the component sizes, chroma width ceil(w / 2).
struct Planar {
  int width = 0, height = 0, chromaWidth = 0, chromaHeight = 0;
  bool grey = false;
  std::vector<uint8_t> y, cb, cr;
};

inline bool ReferenceDecode(const std::vector<uint8_t>& jpeg, Planar* out) {
  tjhandle handle = tjInitDecompress();
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  if (tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &width, &height, &subsampling, &colorspace) != 0) {
    tjDestroy(handle);
    return false;
  }
  out->width = width;
  out->height = height;
  out->grey = subsampling == TJSAMP_GRAY;
  out->chromaWidth = tjPlaneWidth(1, width, subsampling);
  out->chromaHeight = tjPlaneHeight(1, height, subsampling);
  // libjpeg-turbo may write up to a whole MCU row past the last image row
  // of a plane; the planes get that slack and are trimmed afterwards.
  const size_t slack = static_cast<size_t>(width + 32) * 32;
  out->y.assign(static_cast<size_t>(width) * height + slack, 0);
  unsigned char* planes[3] = {out->y.data(), nullptr, nullptr};
  int strides[3] = {width, 0, 0};
  if (!out->grey) {
    out->cb.assign(static_cast<size_t>(out->chromaWidth) * out->chromaHeight + slack, 0);
    out->cr.assign(out->cb.size(), 0);
    planes[1] = out->cb.data();
    planes[2] = out->cr.data();
    strides[1] = strides[2] = out->chromaWidth;
  }
  const int rc = tjDecompressToYUVPlanes(handle, jpeg.data(), jpeg.size(), planes, width, strides, height,
                                         TJFLAG_ACCURATEDCT);
  tjDestroy(handle);
  out->y.resize(static_cast<size_t>(width) * height);
  if (!out->grey) {
    out->cb.resize(static_cast<size_t>(out->chromaWidth) * out->chromaHeight);
    out->cr.resize(out->cb.size());
  }
  return rc == 0;
}

}  // namespace mjpeg_fixtures
