// Turns a JSON camera profile into descriptors and a camera set-up. Every
// value is checked against what fits in its descriptor field; a refusal names
// the key (as a path such as formats[1].frames[0].width).
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>

#include "camera/camera_internal.h"

namespace camera {

namespace {

using nlohmann::json;

struct ProfileError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Throw(const std::string& path, const std::string& what) {
  throw ProfileError(path + ": " + what);
}

// Integers may be written as JSON numbers or as "0x..." strings.
int64_t GetInt(const json& v, const std::string& path, int64_t lo, int64_t hi) {
  int64_t x = 0;
  if (v.is_number_integer()) {
    x = v.get<int64_t>();
  } else if (v.is_number_unsigned()) {
    uint64_t u = v.get<uint64_t>();
    if (u > uint64_t(INT64_MAX)) Throw(path, "out of range");
    x = int64_t(u);
  } else if (v.is_string()) {
    const std::string s = v.get<std::string>();
    size_t used = 0;
    try {
      const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
      x = std::stoll(hex ? s.substr(2) : s, &used, hex ? 16 : 10);
      if (hex) used += 2;
    } catch (const std::exception&) {
      Throw(path, "\"" + s + "\" is not an integer");
    }
    if (used != s.size() || s.empty()) Throw(path, "\"" + s + "\" is not an integer");
  } else {
    Throw(path, "expected an integer");
  }
  if (x < lo || x > hi)
    Throw(path,
          std::to_string(x) + " is outside " + std::to_string(lo) + ".." + std::to_string(hi));
  return x;
}

const json& Need(const json& obj, const char* key, const std::string& path) {
  auto it = obj.find(key);
  if (it == obj.end()) Throw(path + "." + key, "missing");
  return *it;
}

void CheckObject(const json& v, const std::string& path,
                 std::initializer_list<const char*> allowed) {
  if (!v.is_object()) Throw(path, "expected an object");
  for (auto it = v.begin(); it != v.end(); ++it) {
    bool ok = false;
    for (const char* a : allowed) ok = ok || it.key() == a;
    if (!ok) Throw(path.empty() ? it.key() : path + "." + it.key(), "unknown key");
  }
}

bool GetBool(const json& v, const std::string& path) {
  if (!v.is_boolean()) Throw(path, "expected true or false");
  return v.get<bool>();
}

std::string GetString(const json& v, const std::string& path, size_t maxChars) {
  if (!v.is_string()) Throw(path, "expected a string");
  std::string s = v.get<std::string>();
  if (s.size() > maxChars) Throw(path, "longer than " + std::to_string(maxChars) + " characters");
  for (unsigned char c : s)
    if (c < 0x20 || c >= 0x7F) Throw(path, "only printable ASCII is supported");
  return s;
}

bool ParseGuid(const std::string& s, uint8_t out[16]) {
  // xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx; the first three groups are stored
  // little-endian, the rest in order, as GUIDs appear in descriptors.
  if (s.size() != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') return false;
  std::string hex;
  for (char c : s)
    if (c != '-') {
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
      hex.push_back(c);
    }
  if (hex.size() != 32) return false;
  uint8_t b[16];
  for (int i = 0; i < 16; ++i) b[i] = uint8_t(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (int i = 0; i < 16; ++i) out[i] = b[order[i]];
  return true;
}

struct FrameSpec {
  uint16_t width = 0, height = 0;
  std::vector<uint32_t> intervals;
  uint32_t minInterval = 0, maxInterval = 0, step = 0;
  uint32_t defaultInterval = 0;
  uint32_t maxFrameSize = 0;
};

struct FormatSpec {
  FormatKind kind = FormatKind::kMjpeg;
  uint8_t guid[16] = {};
  uint8_t defaultFrame = 1;
  std::vector<FrameSpec> frames;
};

const uint8_t kYuy2Guid[16] = {'Y',  'U',  'Y',  '2',  0x00, 0x00, 0x10, 0x00,
                               0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
const uint8_t kUyvyGuid[16] = {'U',  'Y',  'V',  'Y',  0x00, 0x00, 0x10, 0x00,
                               0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
// The extension unit's code when the profile gives none.
const char* const kDefaultExtensionGuid = "5a1c3e07-94d2-4b6f-a80e-2f61c9d47b33";

bool IntervalSupported(const FrameSpec& f, uint32_t interval) {
  if (!f.intervals.empty())
    return std::find(f.intervals.begin(), f.intervals.end(), interval) != f.intervals.end();
  if (interval < f.minInterval || interval > f.maxInterval) return false;
  return f.step == 0 || (interval - f.minInterval) % f.step == 0;
}

FrameSpec ParseFrame(const json& v, const std::string& path, FormatKind kind) {
  CheckObject(v, path,
              {"width", "height", "intervals", "intervalRange", "defaultInterval", "maxFrameSize"});
  FrameSpec f;
  f.width = uint16_t(GetInt(Need(v, "width", path), path + ".width", 1, 8192));
  f.height = uint16_t(GetInt(Need(v, "height", path), path + ".height", 1, 8192));
  if (kind == FormatKind::kUncompressed && (f.width & 1))
    Throw(path + ".width", "a 4:2:2 frame needs an even width");
  const bool discrete = v.contains("intervals"), range = v.contains("intervalRange");
  if (discrete == range) Throw(path, "give exactly one of \"intervals\" and \"intervalRange\"");
  if (discrete) {
    const json& list = v["intervals"];
    if (!list.is_array() || list.empty() || list.size() > 50)
      Throw(path + ".intervals", "expected 1 to 50 intervals");
    for (size_t i = 0; i < list.size(); ++i)
      f.intervals.push_back(
          uint32_t(GetInt(list[i], path + ".intervals[" + std::to_string(i) + "]", 1, 0xFFFFFFFF)));
  } else {
    const std::string rp = path + ".intervalRange";
    const json& r = v["intervalRange"];
    CheckObject(r, rp, {"min", "max", "step"});
    f.minInterval = uint32_t(GetInt(Need(r, "min", rp), rp + ".min", 1, 0xFFFFFFFF));
    f.maxInterval = uint32_t(GetInt(Need(r, "max", rp), rp + ".max", f.minInterval, 0xFFFFFFFF));
    f.step = uint32_t(GetInt(Need(r, "step", rp), rp + ".step",
                             f.maxInterval > f.minInterval ? 1 : 0, 0xFFFFFFFF));
  }
  f.defaultInterval = f.intervals.empty() ? f.minInterval : f.intervals[0];
  if (v.contains("defaultInterval")) {
    f.defaultInterval =
        uint32_t(GetInt(v["defaultInterval"], path + ".defaultInterval", 1, 0xFFFFFFFF));
    if (!IntervalSupported(f, f.defaultInterval))
      Throw(path + ".defaultInterval", "not one of the frame's intervals");
  }
  const uint32_t pixels = uint32_t(f.width) * f.height;
  f.maxFrameSize = kind == FormatKind::kMjpeg ? pixels : pixels * 2;
  if (v.contains("maxFrameSize")) {
    f.maxFrameSize = uint32_t(GetInt(v["maxFrameSize"], path + ".maxFrameSize", 1, 0xFFFFFFFF));
    if (kind == FormatKind::kUncompressed && f.maxFrameSize != pixels * 2)
      Throw(path + ".maxFrameSize", "an uncompressed frame is exactly width x height x 2 bytes");
  }
  return f;
}

void ParseControls(const json& v, const std::string& path, const std::vector<ControlDef>& table,
                   uint8_t entity, uint32_t* bitmap, SimulatedCamera::Setup* setup) {
  if (!v.is_object()) Throw(path, "expected an object of controls");
  for (auto it = v.begin(); it != v.end(); ++it) {
    const std::string cp = path + "." + it.key();
    const ControlDef* def = FindControlByName(table, it.key());
    if (!def) Throw(cp, "unknown control");
    CheckObject(it.value(), cp, {"min", "max", "def", "res", "info"});
    ControlOverride o;
    const int64_t lo = def->isSigned ? -(int64_t(1) << (8 * def->length - 1)) : 0;
    const int64_t hi = def->length >= 8 ? INT64_MAX
                       : def->isSigned  ? (int64_t(1) << (8 * def->length - 1)) - 1
                                        : (int64_t(1) << (8 * def->length)) - 1;
    const json& c = it.value();
    if (c.contains("min")) o.hasMin = true, o.min = GetInt(c["min"], cp + ".min", lo, hi);
    if (c.contains("max")) o.hasMax = true, o.max = GetInt(c["max"], cp + ".max", lo, hi);
    if (c.contains("def")) o.hasDef = true, o.def = GetInt(c["def"], cp + ".def", lo, hi);
    if (c.contains("res")) o.hasRes = true, o.res = GetInt(c["res"], cp + ".res", 0, hi);
    if (c.contains("info"))
      o.hasInfo = true, o.info = uint8_t(GetInt(c["info"], cp + ".info", 0, 255));
    if (def->kind == ControlKind::kScalar) {
      const int64_t mn = o.hasMin ? o.min : def->min, mx = o.hasMax ? o.max : def->max;
      const int64_t df = o.hasDef ? o.def : def->def;
      if (mn > mx) Throw(cp, "min is above max");
      if (df < mn || df > mx) Throw(cp + ".def", "outside min..max");
    } else if (def->kind == ControlKind::kBitmap) {
      const int64_t res = o.hasRes ? o.res : def->res, df = o.hasDef ? o.def : def->def;
      if (df == 0 || (df & (df - 1)) != 0 || (df & res) == 0)
        Throw(cp + ".def", "must be one mode that res lists");
    }
    *bitmap |= 1u << def->bit;
    setup->overrides[{entity, def->selector}] = o;
  }
}

struct UnitIds {
  std::set<int64_t> used;
  uint8_t Take(const json& unit, const std::string& path, uint8_t fallback) {
    uint8_t id = fallback;
    if (unit.contains("id")) id = uint8_t(GetInt(unit["id"], path + ".id", 1, 255));
    if (!used.insert(id).second)
      Throw(path + ".id", "unit id " + std::to_string(id) + " is already used");
    return id;
  }
};

void AppendString(std::map<uint8_t, std::string>* strings, uint8_t index, const std::string& text) {
  (*strings)[index] = text;
}

}  // namespace

std::unique_ptr<SimulatedCamera> SimulatedCameraFromProfile(const std::string& jsonText,
                                                            std::string* error,
                                                            const std::string& baseDir) {
  std::string scratch;
  if (!error) error = &scratch;
  json root;
  try {
    root = json::parse(jsonText);
  } catch (const json::parse_error& e) {
    *error = std::string("profile is not valid JSON: ") + e.what();
    return nullptr;
  }
  SimulatedCamera::Setup setup;
  try {
    CheckObject(
        root, "",
        {"name", "description", "speed", "vendorId", "productId", "bcdDevice", "manufacturer",
         "product", "serialNumber", "formats", "stills", "cameraTerminal", "processingUnit",
         "extensionUnit", "interruptEndpoint", "streaming", "vendorReplies", "faults", "play",
         "trailer", "headerLength"});
    // --- speed and identity ---
    const std::string speed = GetString(Need(root, "speed", ""), "speed", 8);
    if (speed != "high" && speed != "full") Throw("speed", "expected \"high\" or \"full\"");
    setup.highSpeed = speed == "high";
    const uint16_t vendorId = uint16_t(GetInt(Need(root, "vendorId", ""), "vendorId", 0, 0xFFFF));
    const uint16_t productId =
        uint16_t(GetInt(Need(root, "productId", ""), "productId", 0, 0xFFFF));
    const uint16_t bcdDevice = root.contains("bcdDevice")
                                   ? uint16_t(GetInt(root["bcdDevice"], "bcdDevice", 0, 0xFFFF))
                                   : 0x0100;
    uint8_t iManufacturer = 0, iProduct = 0, iSerial = 0;
    if (root.contains("manufacturer")) {
      iManufacturer = 1;
      AppendString(&setup.strings, 1, GetString(root["manufacturer"], "manufacturer", 126));
    }
    if (root.contains("product")) {
      iProduct = 2;
      AppendString(&setup.strings, 2, GetString(root["product"], "product", 126));
    }
    if (root.contains("serialNumber")) {
      iSerial = 3;
      AppendString(&setup.strings, 3, GetString(root["serialNumber"], "serialNumber", 126));
    }

    // --- formats and stills ---
    const json& formatsJson = Need(root, "formats", "");
    if (!formatsJson.is_array() || formatsJson.empty() || formatsJson.size() > 16)
      Throw("formats", "expected 1 to 16 formats");
    std::vector<FormatSpec> formats;
    for (size_t i = 0; i < formatsJson.size(); ++i) {
      const std::string fp = "formats[" + std::to_string(i) + "]";
      const json& fj = formatsJson[i];
      CheckObject(fj, fp, {"type", "frames", "defaultFrame"});
      FormatSpec f;
      const std::string type = GetString(Need(fj, "type", fp), fp + ".type", 16);
      if (type == "mjpeg") {
        f.kind = FormatKind::kMjpeg;
      } else if (type == "yuy2" || type == "uyvy") {
        f.kind = FormatKind::kUncompressed;
        std::copy(type == "yuy2" ? kYuy2Guid : kUyvyGuid,
                  (type == "yuy2" ? kYuy2Guid : kUyvyGuid) + 16, f.guid);
      } else {
        Throw(fp + ".type", "expected \"mjpeg\", \"yuy2\" or \"uyvy\"");
      }
      const json& framesJson = Need(fj, "frames", fp);
      if (!framesJson.is_array() || framesJson.empty() || framesJson.size() > 32)
        Throw(fp + ".frames", "expected 1 to 32 frames");
      for (size_t k = 0; k < framesJson.size(); ++k)
        f.frames.push_back(
            ParseFrame(framesJson[k], fp + ".frames[" + std::to_string(k) + "]", f.kind));
      if (fj.contains("defaultFrame"))
        f.defaultFrame =
            uint8_t(GetInt(fj["defaultFrame"], fp + ".defaultFrame", 1, int64_t(f.frames.size())));
      formats.push_back(std::move(f));
    }
    std::vector<std::pair<uint16_t, uint16_t>> stills;
    if (root.contains("stills")) {
      const json& sj = root["stills"];
      if (!sj.is_array() || sj.size() > 32) Throw("stills", "expected at most 32 sizes");
      for (size_t i = 0; i < sj.size(); ++i) {
        const std::string sp = "stills[" + std::to_string(i) + "]";
        CheckObject(sj[i], sp, {"width", "height"});
        stills.emplace_back(uint16_t(GetInt(Need(sj[i], "width", sp), sp + ".width", 1, 8192)),
                            uint16_t(GetInt(Need(sj[i], "height", sp), sp + ".height", 1, 8192)));
      }
    }

    // --- units ---
    UnitIds ids;
    uint8_t ctId = 1, puId = 0, xuId = 0;
    uint32_t ctControls = 0, puControls = 0, xuControls = 0;
    uint8_t xuGuid[16];
    ParseGuid(kDefaultExtensionGuid, xuGuid);
    if (root.contains("cameraTerminal")) {
      const json& ct = root["cameraTerminal"];
      CheckObject(ct, "cameraTerminal", {"id", "controls"});
      ctId = ids.Take(ct, "cameraTerminal", 1);
      if (ct.contains("controls"))
        ParseControls(ct["controls"], "cameraTerminal.controls", CameraTerminalControls(), ctId,
                      &ctControls, &setup);
    } else {
      ids.used.insert(ctId);
    }
    if (root.contains("processingUnit")) {
      const json& pu = root["processingUnit"];
      CheckObject(pu, "processingUnit", {"id", "controls"});
      puId = ids.Take(pu, "processingUnit", 2);
      if (pu.contains("controls"))
        ParseControls(pu["controls"], "processingUnit.controls", ProcessingUnitControls(), puId,
                      &puControls, &setup);
    }
    if (root.contains("extensionUnit")) {
      const json& xu = root["extensionUnit"];
      CheckObject(xu, "extensionUnit", {"id", "guid", "controls"});
      xuId = ids.Take(xu, "extensionUnit", 3);
      if (xu.contains("guid") &&
          !ParseGuid(GetString(xu["guid"], "extensionUnit.guid", 36), xuGuid))
        Throw("extensionUnit.guid", "expected xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx");
      if (xu.contains("controls")) {
        const json& cl = xu["controls"];
        if (!cl.is_array() || cl.size() > 32)
          Throw("extensionUnit.controls", "expected at most 32 controls");
        for (size_t i = 0; i < cl.size(); ++i) {
          const std::string cp = "extensionUnit.controls[" + std::to_string(i) + "]";
          CheckObject(cl[i], cp, {"selector", "length", "min", "max", "def", "res", "info"});
          const uint8_t selector =
              uint8_t(GetInt(Need(cl[i], "selector", cp), cp + ".selector", 1, 32));
          if (xuControls & (1u << (selector - 1))) Throw(cp + ".selector", "selector used twice");
          xuControls |= 1u << (selector - 1);
          ControlOverride o;
          o.hasLength = true;
          o.length = uint8_t(GetInt(Need(cl[i], "length", cp), cp + ".length", 1, 8));
          const int64_t hi = o.length >= 8 ? INT64_MAX : (int64_t(1) << (8 * o.length)) - 1;
          const int64_t lo = o.length >= 8 ? INT64_MIN : -(int64_t(1) << (8 * o.length - 1));
          const json& c = cl[i];
          o.hasMin = o.hasMax = o.hasDef = o.hasRes = true;
          o.min = c.contains("min") ? GetInt(c["min"], cp + ".min", lo, hi) : 0;
          o.max = c.contains("max") ? GetInt(c["max"], cp + ".max", lo, hi) : hi;
          o.def = c.contains("def") ? GetInt(c["def"], cp + ".def", lo, hi) : o.min;
          o.res = c.contains("res") ? GetInt(c["res"], cp + ".res", 0, hi) : 1;
          if (c.contains("info"))
            o.hasInfo = true, o.info = uint8_t(GetInt(c["info"], cp + ".info", 0, 255));
          if (o.min > o.max) Throw(cp, "min is above max");
          if (o.def < o.min || o.def > o.max) Throw(cp + ".def", "outside min..max");
          setup.overrides[{xuId, selector}] = o;
        }
      }
    }
    const uint8_t otId = [&] {
      for (int id = 4; id < 256; ++id)
        if (!ids.used.count(id)) return uint8_t(id);
      for (int id = 1; id < 4; ++id)
        if (!ids.used.count(id)) return uint8_t(id);
      return uint8_t(0);
    }();

    // --- endpoints ---
    bool hasInterrupt = false;
    uint8_t intAddress = 0x83, intInterval = 8;
    uint16_t intPacket = 16;
    if (root.contains("interruptEndpoint")) {
      const json& ie = root["interruptEndpoint"];
      CheckObject(ie, "interruptEndpoint", {"address", "maxPacketSize", "interval"});
      hasInterrupt = true;
      if (ie.contains("address"))
        intAddress = uint8_t(0x80 | GetInt(ie["address"], "interruptEndpoint.address", 0x81, 0x8F));
      if (ie.contains("maxPacketSize"))
        intPacket = uint16_t(GetInt(ie["maxPacketSize"], "interruptEndpoint.maxPacketSize", 8,
                                    setup.highSpeed ? 1024 : 64));
      if (ie.contains("interval"))
        intInterval = uint8_t(
            GetInt(ie["interval"], "interruptEndpoint.interval", 1, setup.highSpeed ? 16 : 255));
    }
    const json& st = Need(root, "streaming", "");
    CheckObject(st, "streaming",
                {"type", "endpoint", "alternateSettings", "payloadSize", "maxPacketSize",
                 "payloadTransferSize"});
    const std::string stType = GetString(Need(st, "type", "streaming"), "streaming.type", 16);
    const bool bulk = stType == "bulk";
    if (!bulk && stType != "isochronous")
      Throw("streaming.type", "expected \"isochronous\" or \"bulk\"");
    uint8_t streamAddress = 0x81;
    if (st.contains("endpoint"))
      streamAddress = uint8_t(GetInt(st["endpoint"], "streaming.endpoint", 0x81, 0x8F));
    if (hasInterrupt && streamAddress == intAddress)
      Throw("streaming.endpoint", "same address as the interrupt endpoint");
    std::vector<uint16_t> altPackets;
    uint16_t bulkPacket = setup.highSpeed ? 512 : 64;
    if (bulk) {
      if (st.contains("alternateSettings") || st.contains("payloadSize"))
        Throw("streaming", "a bulk endpoint has no alternate settings");
      if (st.contains("maxPacketSize")) {
        bulkPacket = uint16_t(GetInt(st["maxPacketSize"], "streaming.maxPacketSize", 8, 512));
        const bool ok = setup.highSpeed ? bulkPacket == 512
                                        : (bulkPacket == 8 || bulkPacket == 16 ||
                                           bulkPacket == 32 || bulkPacket == 64);
        if (!ok) Throw("streaming.maxPacketSize", "not a bulk packet size for this speed");
      }
      if (st.contains("payloadTransferSize"))
        setup.bulkPayloadTransferSize = uint32_t(
            GetInt(st["payloadTransferSize"], "streaming.payloadTransferSize", 1, 0x7FFFFFFF));
    } else {
      if (st.contains("maxPacketSize") || st.contains("payloadTransferSize"))
        Throw("streaming", "maxPacketSize and payloadTransferSize are for bulk streaming");
      const json& alts = Need(st, "alternateSettings", "streaming");
      if (!alts.is_array() || alts.empty() || alts.size() > 30)
        Throw("streaming.alternateSettings", "expected 1 to 30 packet sizes");
      for (size_t i = 0; i < alts.size(); ++i) {
        const std::string ap = "streaming.alternateSettings[" + std::to_string(i) + "]";
        const uint16_t w = uint16_t(GetInt(alts[i], ap, 1, 0x1FFF));
        const uint32_t size = w & 0x7FF, mult = (w >> 11) & 3;
        if (size == 0) Throw(ap, "packet size 0");
        if (mult == 3) Throw(ap, "reserved transactions-per-microframe value");
        if (setup.highSpeed ? size > 1024 : (size > 1023 || mult != 0))
          Throw(ap, setup.highSpeed ? "more than 1024 bytes per transaction"
                                    : "not a full-speed isochronous packet size");
        altPackets.push_back(w);
      }
      if (st.contains("payloadSize")) {
        const std::string policy = GetString(st["payloadSize"], "streaming.payloadSize", 16);
        if (policy != "fit" && policy != "largest")
          Throw("streaming.payloadSize", "expected \"fit\" or \"largest\"");
        setup.payloadFromLargestAlternate = policy == "largest";
      }
    }

    // --- vendor replies and faults ---
    if (root.contains("vendorReplies")) {
      const json& vr = root["vendorReplies"];
      if (!vr.is_array()) Throw("vendorReplies", "expected an array");
      for (size_t i = 0; i < vr.size(); ++i) {
        const std::string vp = "vendorReplies[" + std::to_string(i) + "]";
        CheckObject(vr[i], vp, {"request", "data"});
        const uint8_t request =
            uint8_t(GetInt(Need(vr[i], "request", vp), vp + ".request", 0, 255));
        const json& data = Need(vr[i], "data", vp);
        if (!data.is_array() || data.size() > 4096)
          Throw(vp + ".data", "expected up to 4096 bytes");
        std::vector<uint8_t> bytes;
        for (size_t k = 0; k < data.size(); ++k)
          bytes.push_back(
              uint8_t(GetInt(data[k], vp + ".data[" + std::to_string(k) + "]", 0, 255)));
        setup.vendorReplies[request] = bytes;
      }
    }
    if (root.contains("faults")) {
      const json& fj = root["faults"];
      CheckObject(fj, "faults",
                  {"rejectProbe", "zeroPayloadSize", "lose-packet", "error-packet", "err-bit",
                   "truncate-frame", "oversize-frame", "break-trailer", "stall", "unplug"});
      for (const auto& item : fj.items()) {
        if (item.key() == "rejectProbe" || item.key() == "zeroPayloadSize") continue;
        SetStreamFault(&setup.streamFaults, item.key(),
                       uint32_t(GetInt(item.value(), "faults." + item.key(), 0, 1000000)));
      }
      if (fj.contains("rejectProbe"))
        setup.faults.rejectProbe = GetBool(fj["rejectProbe"], "faults.rejectProbe");
      if (fj.contains("zeroPayloadSize"))
        setup.faults.zeroPayloadSize = GetBool(fj["zeroPayloadSize"], "faults.zeroPayloadSize");
    }

    // --- streaming: played frames, trailer, payload header length ---
    if (root.contains("play")) {
      std::string path = GetString(root["play"], "play", 4096);
      if (!baseDir.empty() && !path.empty() && path[0] != '/') path = baseDir + "/" + path;
      std::string readError;
      setup.play = PlayFile::Open(path, &readError);
      if (!setup.play) Throw("play", readError);
    }
    if (root.contains("trailer")) setup.trailer = GetBool(root["trailer"], "trailer");
    if (root.contains("headerLength")) {
      setup.headerLength = uint32_t(GetInt(root["headerLength"], "headerLength", 2, 12));
      if (setup.headerLength != 2 && setup.headerLength != 12)
        Throw("headerLength", "expected 2 or 12");
    }

    // --- device descriptor ---
    std::vector<uint8_t>& dev = setup.deviceDescriptor;
    dev = {18, kDescDevice, 0x00, 0x02, 0xEF, 0x02, 0x01, 64};
    PutLe16(&dev, vendorId);
    PutLe16(&dev, productId);
    PutLe16(&dev, bcdDevice);
    dev.insert(dev.end(), {iManufacturer, iProduct, iSerial, 1});

    // --- configuration descriptor ---
    std::vector<uint8_t> vc;  // class-specific video-control descriptors
    auto unitControlBytes = [](std::vector<uint8_t>* v, uint32_t bitmap, uint32_t size) {
      for (uint32_t i = 0; i < size; ++i) v->push_back(uint8_t(bitmap >> (8 * i)));
    };
    vc.insert(vc.end(), {13, kDescCsInterface, kVcHeader, 0x00, 0x01, 0,
                         0});  // bcdUVC 1.00, wTotalLength later
    PutLe32(&vc, 48000000);
    vc.insert(vc.end(), {1, 1});  // one streaming interface: number 1
    // camera terminal: bControlSize 3
    vc.insert(vc.end(), {18, kDescCsInterface, kVcInputTerminal, ctId, 0x01, 0x02, 0, 0, 0, 0, 0, 0,
                         0, 0, 3});
    unitControlBytes(&vc, ctControls, 3);
    uint8_t source = ctId;
    if (puId) {
      vc.insert(vc.end(), {11, kDescCsInterface, kVcProcessingUnit, puId, source, 0, 0, 2});
      unitControlBytes(&vc, puControls, 2);
      vc.push_back(0);  // iProcessing
      source = puId;
    }
    if (xuId) {
      const uint8_t controlSize = xuControls > 0xFFFFFF ? 4 : xuControls > 0xFFFF ? 3 : 2;
      vc.insert(vc.end(), {uint8_t(25 + controlSize), kDescCsInterface, kVcExtensionUnit, xuId});
      vc.insert(vc.end(), xuGuid, xuGuid + 16);
      vc.insert(vc.end(), {uint8_t(__builtin_popcount(xuControls)), 1, source, controlSize});
      unitControlBytes(&vc, xuControls, controlSize);
      vc.push_back(0);  // iExtension
      source = xuId;
    }
    vc.insert(vc.end(), {9, kDescCsInterface, kVcOutputTerminal, otId, 0x01, 0x01, 0, source, 0});
    vc[5] = uint8_t(vc.size());
    vc[6] = uint8_t(vc.size() >> 8);

    std::vector<uint8_t> vs;  // class-specific video-streaming descriptors
    const bool hasStills = !stills.empty();
    vs.insert(vs.end(), {uint8_t(13 + formats.size()), kDescCsInterface, kVsInputHeader,
                         uint8_t(formats.size()), 0, 0, streamAddress, 0, otId,
                         uint8_t(hasStills ? 2 : 0), uint8_t(hasInterrupt ? 1 : 0), 0, 1});
    for (size_t i = 0; i < formats.size(); ++i) vs.push_back(0);  // no per-format stream controls
    for (size_t i = 0; i < formats.size(); ++i) {
      const FormatSpec& f = formats[i];
      const uint8_t index = uint8_t(i + 1);
      if (f.kind == FormatKind::kMjpeg) {
        vs.insert(vs.end(), {11, kDescCsInterface, kVsFormatMjpeg, index, uint8_t(f.frames.size()),
                             1, f.defaultFrame, 0, 0, 0, 0});
      } else {
        vs.insert(vs.end(),
                  {27, kDescCsInterface, kVsFormatUncompressed, index, uint8_t(f.frames.size())});
        vs.insert(vs.end(), f.guid, f.guid + 16);
        vs.insert(vs.end(), {16, f.defaultFrame, 0, 0, 0, 0});
      }
      for (size_t k = 0; k < f.frames.size(); ++k) {
        const FrameSpec& fr = f.frames[k];
        const size_t count = fr.intervals.size();
        const uint8_t len = uint8_t(26 + (count ? 4 * count : 12));
        vs.insert(vs.end(),
                  {len, kDescCsInterface,
                   uint8_t(f.kind == FormatKind::kMjpeg ? kVsFrameMjpeg : kVsFrameUncompressed),
                   uint8_t(k + 1), uint8_t(hasStills ? 1 : 0)});
        PutLe16(&vs, fr.width);
        PutLe16(&vs, fr.height);
        const uint32_t slowest =
            count ? *std::max_element(fr.intervals.begin(), fr.intervals.end()) : fr.maxInterval;
        const uint32_t fastest =
            count ? *std::min_element(fr.intervals.begin(), fr.intervals.end()) : fr.minInterval;
        const uint64_t bits = uint64_t(fr.maxFrameSize) * 8;
        PutLe32(&vs, uint32_t(std::min<uint64_t>(bits * 10000000 / slowest, 0xFFFFFFFF)));
        PutLe32(&vs, uint32_t(std::min<uint64_t>(bits * 10000000 / fastest, 0xFFFFFFFF)));
        PutLe32(&vs, fr.maxFrameSize);
        PutLe32(&vs, fr.defaultInterval);
        vs.push_back(uint8_t(count));
        if (count) {
          for (uint32_t interval : fr.intervals) PutLe32(&vs, interval);
        } else {
          PutLe32(&vs, fr.minInterval);
          PutLe32(&vs, fr.maxInterval);
          PutLe32(&vs, fr.step);
        }
      }
      if (hasStills) {
        vs.insert(vs.end(), {uint8_t(6 + 4 * stills.size()), kDescCsInterface, kVsStillImageFrame,
                             0, uint8_t(stills.size())});
        for (const auto& s : stills) {
          PutLe16(&vs, s.first);
          PutLe16(&vs, s.second);
        }
        vs.push_back(0);  // no compression patterns
      }
      vs.insert(vs.end(), {6, kDescCsInterface, kVsColorFormat, 1, 1, 4});
    }
    vs[4] = uint8_t(vs.size());
    vs[5] = uint8_t(vs.size() >> 8);

    std::vector<uint8_t> cfg = {9, kDescConfiguration, 0, 0, 2, 1, 0, 0x80, 250};
    cfg.insert(cfg.end(), {8, kDescInterfaceAssociation, 0, 2, kClassVideo, 0x03, 0, iProduct});
    cfg.insert(cfg.end(), {9, kDescInterface, 0, 0, uint8_t(hasInterrupt ? 1 : 0), kClassVideo,
                           kSubclassControl, 0, iProduct});
    cfg.insert(cfg.end(), vc.begin(), vc.end());
    if (hasInterrupt) {
      cfg.insert(cfg.end(), {7, kDescEndpoint, intAddress, 0x03});
      PutLe16(&cfg, intPacket);
      cfg.push_back(intInterval);
      cfg.insert(cfg.end(), {5, kDescCsEndpoint, 0x03});
      PutLe16(&cfg, intPacket);
    }
    cfg.insert(cfg.end(), {9, kDescInterface, 1, 0, uint8_t(bulk ? 1 : 0), kClassVideo,
                           kSubclassStreaming, 0, 0});
    cfg.insert(cfg.end(), vs.begin(), vs.end());
    if (bulk) {
      cfg.insert(cfg.end(), {7, kDescEndpoint, streamAddress, 0x02});
      PutLe16(&cfg, bulkPacket);
      cfg.push_back(0);
    } else {
      for (size_t i = 0; i < altPackets.size(); ++i) {
        cfg.insert(cfg.end(), {9, kDescInterface, 1, uint8_t(i + 1), 1, kClassVideo,
                               kSubclassStreaming, 0, 0});
        cfg.insert(cfg.end(), {7, kDescEndpoint, streamAddress, 0x05});
        PutLe16(&cfg, altPackets[i]);
        cfg.push_back(1);
      }
    }
    if (cfg.size() > 0xFFFF || vc.size() > 0xFFFF || vs.size() > 0xFFFF)
      Throw("formats", "the descriptors exceed 65535 bytes");
    cfg[2] = uint8_t(cfg.size());
    cfg[3] = uint8_t(cfg.size() >> 8);
    setup.configuration = std::move(cfg);
  } catch (const ProfileError& e) {
    *error = e.what();
    return nullptr;
  } catch (const json::exception& e) {
    *error = std::string("profile: ") + e.what();
    return nullptr;
  }
  return BuildCamera(std::move(setup), error);
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  // Regular files only, and bounded: a device or a runaway file is refused
  // in one line rather than read without end.
  std::string why;
  if (ReadInputFile(path, kMaxWholeFile, bytes, &why)) return true;
  if (error) *error = why;
  return false;
}

std::unique_ptr<SimulatedCamera> SimulatedCameraFromProfileFile(const std::string& path,
                                                                std::string* error) {
  std::vector<uint8_t> bytes;
  if (!ReadInputFile(path, kMaxProfile, &bytes, error)) return nullptr;
  std::string local;
  const size_t slash = path.find_last_of('/');
  const std::string baseDir = slash == std::string::npos ? "." : path.substr(0, slash);
  auto camera = SimulatedCameraFromProfile(std::string(bytes.begin(), bytes.end()), &local,
                                           slash == 0 ? "/" : baseDir);
  if (!camera && error) *error = path + ": " + local;
  return camera;
}

std::unique_ptr<SimulatedCamera> DefaultSimulatedCamera() {
  std::string error;
  auto camera = SimulatedCameraFromProfile(DefaultProfileJson(), &error);
  if (!camera) {
    std::fprintf(stderr, "built-in camera profile refused: %s\n", error.c_str());
    std::abort();
  }
  return camera;
}

std::unique_ptr<host::UsbDeviceModel> CameraFromProfile(const std::string& jsonText,
                                                        std::string* error) {
  return SimulatedCameraFromProfile(jsonText, error);
}

std::unique_ptr<host::UsbDeviceModel> CameraFromProfileFile(const std::string& path,
                                                            std::string* error) {
  return SimulatedCameraFromProfileFile(path, error);
}

std::unique_ptr<host::UsbDeviceModel> DefaultCamera() { return DefaultSimulatedCamera(); }

}  // namespace camera
