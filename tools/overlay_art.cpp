// Overlay art: geometric frames drawn from scratch (rings, bars, stripes,
// dots and corner marks), one picture per overlay mode and frame size.
#include "tools/overlay_art.h"

#include "camera/simulated_camera.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

namespace tools {

namespace {

struct Rgb {
  uint8_t r, g, b;
};
constexpr Rgb kClear{0, 0, 0};

// A picture being drawn, top row first.
struct Canvas {
  int w, h;
  std::vector<Rgb> px;
  Canvas(int width, int height) : w(width), h(height), px(size_t(width) * height, kClear) {}
  void Set(int x, int y, Rgb c) {
    if (x >= 0 && y >= 0 && x < w && y < h) px[size_t(y) * w + x] = c;
  }
  void Rect(int x0, int y0, int x1, int y1, Rgb c) {  // [x0, x1) x [y0, y1)
    for (int y = std::max(0, y0); y < std::min(h, y1); ++y)
      for (int x = std::max(0, x0); x < std::min(w, x1); ++x) px[size_t(y) * w + x] = c;
  }
  // The ring between radii r0 and r1 around (cx, cy).
  void Ring(int cx, int cy, int r0, int r1, Rgb c) {
    for (int y = cy - r1; y <= cy + r1; ++y)
      for (int x = cx - r1; x <= cx + r1; ++x) {
        const long d = long(x - cx) * (x - cx) + long(y - cy) * (y - cy);
        if (d >= long(r0) * r0 && d <= long(r1) * r1) Set(x, y, c);
      }
  }
  // A thick line from (x0, y0) to (x1, y1).
  void Line(int x0, int y0, int x1, int y1, int thick, Rgb c) {
    const int steps = std::max(std::abs(x1 - x0), std::abs(y1 - y0)) + 1;
    for (int i = 0; i < steps; ++i) {
      const int x = x0 + (x1 - x0) * i / steps, y = y0 + (y1 - y0) * i / steps;
      Rect(x - thick / 2, y - thick / 2, x - thick / 2 + thick, y - thick / 2 + thick, c);
    }
  }
  // A border band of `t` pixels around the picture.
  void Border(int t, Rgb c) {
    Rect(0, 0, w, t, c);
    Rect(0, h - t, w, h, c);
    Rect(0, 0, t, h, c);
    Rect(w - t, 0, w, h, c);
  }
};

Rgb Shade(Rgb c, int percent) {
  auto f = [&](uint8_t v) { return uint8_t(std::min(255, v * percent / 100)); };
  return {f(c.r), f(c.g), f(c.b)};
}

// The magnifier's glass: a rim around the lens the driver draws (centre
// w * 100 / 249, h * 100 / 186, radius w / 5) and a handle toward the lower
// right.
void DrawMagnifier(Canvas& c) {
  const int cx = c.w * 100 / 249, cy = c.h * 100 / 186, r = c.w / 5;
  const int rim = std::max(2, r / 10);
  c.Ring(cx, cy, r, r + rim, {170, 175, 185});
  c.Ring(cx, cy, r + rim, r + rim + std::max(1, rim / 3), {90, 95, 105});
  const int hx = cx + (r + rim) * 7 / 10, hy = cy + (r + rim) * 7 / 10;
  c.Line(hx, hy, hx + r * 2 / 3, hy + r * 2 / 3, std::max(3, rim * 2), {120, 72, 40});
}

// A reticle: a ring, a cross with a gap in the middle, and tick marks.
void DrawAim(Canvas& c, Rgb colour, bool brackets) {
  const int cx = c.w / 2, cy = c.h / 2, r = std::min(c.w, c.h) / 4;
  const int t = std::max(1, std::min(c.w, c.h) / 160);
  if (brackets) {
    const int bw = c.w / 6, bh = c.h / 6, x0 = c.w / 5, y0 = c.h / 5, x1 = c.w - x0, y1 = c.h - y0;
    for (auto [x, y, dx, dy] : {std::array<int, 4>{x0, y0, 1, 1}, {x1, y0, -1, 1}, {x0, y1, 1, -1}, {x1, y1, -1, -1}}) {
      c.Line(x, y, x + dx * bw, y, 2 * t, colour);
      c.Line(x, y, x, y + dy * bh, 2 * t, colour);
    }
    c.Ring(cx, cy, 0, 2 * t + 1, colour);
    return;
  }
  c.Ring(cx, cy, r - t, r + t, colour);
  const int gap = r / 4;
  c.Line(cx - r - r / 3, cy, cx - gap, cy, 2 * t, colour);
  c.Line(cx + gap, cy, cx + r + r / 3, cy, 2 * t, colour);
  c.Line(cx, cy - r - r / 3, cx, cy - gap, 2 * t, colour);
  c.Line(cx, cy + gap, cx, cy + r + r / 3, 2 * t, colour);
  for (int k = 1; k <= 3; ++k) {
    const int o = gap + (r - gap) * k / 4;
    c.Line(cx + o, cy - 3 * t, cx + o, cy + 3 * t, t, colour);
    c.Line(cx - o, cy - 3 * t, cx - o, cy + 3 * t, t, colour);
  }
}

// A newspaper page around the picture: paper margins, a masthead of dark
// bars, columns of grey "text" lines below.
void DrawNewspaper(Canvas& c) {
  const Rgb paper{236, 230, 214}, ink{40, 38, 36}, text{150, 146, 140};
  const int side = std::max(4, c.w / 12), head = std::max(8, c.h / 6), foot = std::max(6, c.h / 5);
  c.Rect(0, 0, c.w, head, paper);
  c.Rect(0, c.h - foot, c.w, c.h, paper);
  c.Rect(0, 0, side, c.h, paper);
  c.Rect(c.w - side, 0, c.w, c.h, paper);
  // Masthead: a thick bar of blocky "letters" between two rules.
  const int line = std::max(1, c.h / 240);
  c.Rect(side, head / 6, c.w - side, head / 6 + line, ink);
  for (int x = side + side / 2, i = 0; x < c.w - side - side / 2; x += std::max(3, c.w / 40), ++i)
    c.Rect(x, head / 4, x + std::max(2, c.w / 60), head * 3 / 4 - (i % 3) * line, ink);
  c.Rect(side, head * 5 / 6, c.w - side, head * 5 / 6 + line, ink);
  // Text columns in the footer.
  const int columns = 3, gutter = std::max(2, c.w / 80), colW = (c.w - 2 * side - 2 * gutter) / columns;
  for (int k = 0; k < columns; ++k)
    for (int y = c.h - foot + foot / 6, n = 0; y + line < c.h - foot / 8; y += 3 * line + 1, ++n)
      c.Rect(side + k * (colW + gutter), y, side + k * (colW + gutter) + colW - (n % 4 == 3 ? colW / 3 : 0), y + line, text);
}

// Numbered frame n (1..17): a border whose colour, width and pattern follow
// the number: plain, striped, dotted, checked or with corner rosettes.
void DrawNumberedFrame(Canvas& c, int n) {
  static const Rgb kPalette[] = {{200, 40, 40},  {40, 150, 60},  {40, 80, 200},  {220, 180, 40},
                                 {150, 60, 170}, {30, 160, 170}, {230, 120, 40}, {120, 120, 130},
                                 {250, 250, 250}};
  const Rgb main = kPalette[(n - 1) % 9], dark = Shade(main, 55);
  const int t = std::max(3, std::min(c.w, c.h) * (4 + (n % 3) * 2) / 100);
  const int pattern = (n - 1) % 5;
  c.Border(t, main);
  const int cell = std::max(2, t / 2);
  for (int y = 0; y < c.h; ++y)
    for (int x = 0; x < c.w; ++x) {
      const bool band = x < t || y < t || x >= c.w - t || y >= c.h - t;
      if (!band) continue;
      bool mark = false;
      if (pattern == 1) mark = ((x + y) / cell) % 2 == 0;
      if (pattern == 2) mark = (x % (2 * cell) < cell / 2 + 1) && (y % (2 * cell) < cell / 2 + 1);
      if (pattern == 3) mark = ((x / cell) + (y / cell)) % 2 == 0;
      if (mark) c.Set(x, y, dark);
    }
  // An inner rule; corner rosettes on pattern 4.
  const int rule = std::max(1, t / 6);
  c.Rect(t, t, c.w - t, t + rule, dark);
  c.Rect(t, c.h - t - rule, c.w - t, c.h - t, dark);
  c.Rect(t, t, t + rule, c.h - t, dark);
  c.Rect(c.w - t - rule, t, c.w - t, c.h - t, dark);
  if (pattern == 4)
    for (auto [x, y] : {std::pair<int, int>{t, t}, {c.w - t, t}, {t, c.h - t}, {c.w - t, c.h - t}}) {
      c.Ring(x, y, 0, t, dark);
      c.Ring(x, y, 0, t / 2, main);
    }
}

}  // namespace

std::vector<uint32_t> OverlayModes() {
  std::vector<uint32_t> modes;
  for (uint32_t m = 1; m <= 20; ++m) modes.push_back(m);
  modes.push_back(254);
  return modes;
}

std::string OverlayFileStem(uint32_t mode, uint32_t width, uint32_t height) {
  std::string name;
  if (mode == 1) name = "magnifier";
  else if (mode == 2) name = "aim";
  else if (mode == 3) name = "Newspaper";
  else if (mode >= 4 && mode <= 20) name = std::to_string(mode - 3);
  else if (mode == 254) name = "SP_AIM";
  else return "";
  return name + "_" + std::to_string(width) + "_" + std::to_string(height) + ".bmp";
}

std::vector<std::pair<uint32_t, uint32_t>> ProfileFrameSizes(const std::string& profileDir,
                                                             std::string* error) {
  std::set<std::pair<uint32_t, uint32_t>> sizes;
  std::error_code ec;
  bool anyProfile = false;
  for (const auto& entry : std::filesystem::directory_iterator(profileDir, ec)) {
    if (entry.path().extension() != ".json") continue;
    std::ifstream in(entry.path());
    const nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
    if (j.is_discarded() || !j.contains("formats") || !j["formats"].is_array()) continue;
    anyProfile = true;
    for (const auto& format : j["formats"]) {
      if (!format.is_object() || !format.contains("frames") || !format["frames"].is_array()) continue;
      for (const auto& frame : format["frames"]) {
        if (!frame.is_object() || !frame.contains("width") || !frame.contains("height")) continue;
        const auto& fw = frame["width"];
        const auto& fh = frame["height"];
        if (!fw.is_number_unsigned() || !fh.is_number_unsigned()) continue;
        const uint64_t w = fw.get<uint64_t>(), h = fh.get<uint64_t>();
        if (w >= 2 && h >= 1 && w <= 8192 && h <= 8192) sizes.insert({uint32_t(w), uint32_t(h)});
      }
    }
  }
  if (!anyProfile && error) *error = "no camera profile in " + profileDir;
  return {sizes.begin(), sizes.end()};
}

std::vector<uint8_t> DrawOverlay(uint32_t mode, uint32_t width, uint32_t height) {
  Canvas c(static_cast<int>(width), static_cast<int>(height));
  if (mode == 1) DrawMagnifier(c);
  else if (mode == 2) DrawAim(c, {60, 230, 90}, false);
  else if (mode == 3) DrawNewspaper(c);
  else if (mode >= 4 && mode <= 20) DrawNumberedFrame(c, int(mode) - 3);
  else if (mode == 254) DrawAim(c, {235, 50, 40}, true);
  const uint32_t stride = (width * 3 + 3) & ~3u, offset = 54;
  std::vector<uint8_t> f(offset + size_t(stride) * height, 0);
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) f[at + i] = uint8_t(v >> (8 * i));
  };
  f[0] = 'B', f[1] = 'M';
  put32(2, uint32_t(f.size()));
  put32(10, offset);
  put32(14, 40);
  put32(18, width);
  put32(22, height);
  f[26] = 1, f[28] = 24;
  put32(34, stride * height);
  for (uint32_t row = 0; row < height; ++row) {
    const Rgb* src = &c.px[size_t(height - 1 - row) * width];
    uint8_t* out = &f[offset + size_t(row) * stride];
    for (uint32_t x = 0; x < width; ++x, out += 3) out[0] = src[x].b, out[1] = src[x].g, out[2] = src[x].r;
  }
  return f;
}

namespace {

long WriteArt(const std::string& folder, const std::vector<uint32_t>& modes,
              const std::vector<std::pair<uint32_t, uint32_t>>& sizes, bool keepExisting,
              std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    if (error) *error = "cannot create " + folder + ": " + ec.message();
    return -1;
  }
  long written = 0;
  for (auto [w, h] : sizes)
    for (uint32_t mode : modes) {
      const std::string path = (std::filesystem::path(folder) / OverlayFileStem(mode, w, h)).string();
      if (keepExisting && std::filesystem::exists(path, ec)) continue;
      const std::vector<uint8_t> bmp = DrawOverlay(mode, w, h);
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(bmp.data()), std::streamsize(bmp.size()));
      if (!out) {
        if (error) *error = "cannot write " + path;
        return -1;
      }
      ++written;
    }
  return written;
}

}  // namespace

long WriteOverlayArt(const std::string& folder,
                     const std::vector<std::pair<uint32_t, uint32_t>>& sizes, std::string* error) {
  return WriteArt(folder, OverlayModes(), sizes, false, error);
}

long ProvideOverlayArt(const std::string& folder, uint32_t mode,
                       const std::vector<std::pair<uint32_t, uint32_t>>& sizes, std::string* error) {
  const std::vector<uint32_t> modes = OverlayModes();
  if (std::find(modes.begin(), modes.end(), mode) == modes.end()) return 0;
  return WriteArt(folder, {mode}, sizes, true, error);
}

bool OverlayBitmapUsable(const std::string& path, uint32_t width, uint32_t height, std::string* why) {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!camera::ReadWholeFile(path, &bytes, &error)) {
    *why = error;
    return false;
  }
  auto u16 = [&](size_t at) { return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8; };
  auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
  if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M') {
    *why = "not a BMP file";
    return false;
  }
  const int32_t h = int32_t(u32(22));
  if (u16(28) != 24 || u32(30) != 0) {
    *why = "not an uncompressed 24-bit BMP";
    return false;
  }
  if (u32(18) != width || (h != int32_t(height) && h != -int32_t(height))) {
    *why = "its size is " + std::to_string(u32(18)) + "x" + std::to_string(h < 0 ? -int64_t(h) : h) + ", not " +
           std::to_string(width) + "x" + std::to_string(height);
    return false;
  }
  const uint64_t need = uint64_t(u32(10)) + ((uint64_t(width) * 3 + 3) & ~uint64_t(3)) * height;
  if (bytes.size() < need) {
    *why = "its pixel data is cut short";
    return false;
  }
  return true;
}

std::string DefaultStateFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && *state != 0) return std::string(state) + "/uvccam";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : ".") + "/.local/state/uvccam";
}

}  // namespace tools
