// Camera controls by name, through the filter's property sets.
#include "tools/control_settings.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "public/uvccam_public.h"
#include "tools/camera_options.h"

namespace tools {

namespace {

enum class Kind {
  kStandard,    // a VIDEOPROCAMP / CAMERACONTROL item: value (and mode)
  kAutoSwitch,  // the auto mode of a standard item, as a boolean
  kVendor,      // a software effect of the vendor set
};

struct ControlDef {
  const char* name;
  Kind kind;
  const GUID* set;
  const char* setName;
  ULONG id;
  const char* type;
  // Vendor items: the operation and index that read and write the value,
  // its range and default.
  ULONG op = 0, index = 0;
  long min = 0, max = 0, def = 0;
};

const GUID& kProcAmp = kVideoProcAmpSet;
const GUID& kCamera = kCameraControlSet;

const ControlDef kControls[] = {
    {"brightness", Kind::kStandard, &kProcAmp, "VIDEOPROCAMP", 0, "int"},
    {"contrast", Kind::kStandard, &kProcAmp, "VIDEOPROCAMP", 1, "int"},
    {"saturation", Kind::kStandard, &kProcAmp, "VIDEOPROCAMP", 3, "int"},
    {"hue", Kind::kStandard, &kProcAmp, "VIDEOPROCAMP", 2, "int"},
    {"hue_auto", Kind::kAutoSwitch, &kProcAmp, "VIDEOPROCAMP", 2, "bool"},
    {"white_balance_temperature_auto", Kind::kAutoSwitch, &kProcAmp, "VIDEOPROCAMP", 7, "bool"},
    {"gamma", Kind::kStandard, &kProcAmp, "VIDEOPROCAMP", 5, "int"},
    {"power_line_frequency", Kind::kStandard, &kProcAmp, "VIDEOPROCAMP", 13, "menu"},
    {"white_balance_temperature", Kind::kStandard, &kProcAmp, "VIDEOPROCAMP", 7, "int"},
    {"sharpness", Kind::kStandard, &kProcAmp, "VIDEOPROCAMP", 4, "int"},
    {"backlight_compensation", Kind::kStandard, &kProcAmp, "VIDEOPROCAMP", 8, "int"},
    {"auto_exposure", Kind::kAutoSwitch, &kCamera, "CAMERACONTROL", 4, "bool"},
    {"exposure_time_absolute", Kind::kStandard, &kCamera, "CAMERACONTROL", 4, "int"},
    {"focus_absolute", Kind::kStandard, &kCamera, "CAMERACONTROL", 6, "int"},
    {"focus_auto", Kind::kAutoSwitch, &kCamera, "CAMERACONTROL", 6, "bool"},
    {"mirror", Kind::kVendor, &kVendorControlSet, "VENDOR", 4, "bool", 3, 0, 0, 1, 0},
    {"vertical_flip", Kind::kVendor, &kVendorControlSet, "VENDOR", 4, "bool", 3, 1, 0, 1, 0},
    {"auto_contrast", Kind::kVendor, &kVendorControlSet, "VENDOR", 14, "bool", 3, 0, 0, 1, 0},
    {"auto_framing", Kind::kVendor, &kVendorControlSet, "VENDOR", 15, "bool", 3, 0, 0, 1, 0},
    {"bad_pixel_correction", Kind::kVendor, &kVendorControlSet, "VENDOR", 17, "bool", 0, 0, 0, 1, 0},
    {"chroma_smoothing", Kind::kVendor, &kVendorControlSet, "VENDOR", 17, "bool", 1, 0, 0, 1, 0},
    {"special_effect", Kind::kVendor, &kVendorControlSet, "VENDOR", 21, "int", 3, 0, 0, 12, 0},
    {"overlay", Kind::kVendor, &kVendorControlSet, "VENDOR", 21, "menu", 3, 1, 0, 20, 0},
    {"zoom", Kind::kVendor, &kVendorControlSet, "VENDOR", 20, "int", 2, 0, 16, 64, 64},
};

const ControlDef* Find(const std::string& name) {
  for (const ControlDef& d : kControls)
    if (name == d.name) return &d;
  return nullptr;
}

// The stepped range and default the filter advertises for a standard item.
void AdvertisedRange(client::Filter* filter, const ControlDef& d, ControlInfo* info) {
  const KSAUTOMATION_TABLE* table = filter->Handle()->Descriptor->AutomationTable;
  for (ULONG s = 0; table && s < table->PropertySetsCount; ++s) {
    const KSPROPERTY_SET& set = table->PropertySets[s];
    if (!IsEqualGUID(*set.Set, *d.set)) continue;
    const ULONG stride = table->PropertyItemSize ? table->PropertyItemSize : ULONG(sizeof(KSPROPERTY_ITEM));
    for (ULONG i = 0; i < set.PropertiesCount; ++i) {
      auto* item = reinterpret_cast<const KSPROPERTY_ITEM*>(reinterpret_cast<const char*>(set.PropertyItem) +
                                                            size_t(i) * stride);
      if (item->PropertyId != d.id || !item->Values) continue;
      for (ULONG m = 0; m < item->Values->MembersListCount; ++m) {
        const KSPROPERTY_MEMBERSLIST& list = item->Values->MembersList[m];
        if (list.MembersFlags == KSPROPERTY_MEMBER_STEPPEDRANGES) {
          auto* r = static_cast<const KSPROPERTY_STEPPING_LONG*>(list.Members);
          info->min = r->SignedMinimum;
          info->max = r->SignedMaximum;
          info->step = long(r->SteppingDelta);
        } else if (list.MembersFlags == KSPROPERTY_MEMBER_VALUES &&
                   (list.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT)) {
          info->def = *static_cast<const LONG*>(list.Members);
        }
      }
    }
  }
}

NTSTATUS StandardGet(client::Filter* filter, const ControlDef& d, KSPROPERTY_VIDEOPROCAMP_S* out) {
  KSPROPERTY_VIDEOPROCAMP_S request{};
  request.Property.Set = *d.set;
  request.Property.Id = d.id;
  request.Property.Flags = KSPROPERTY_TYPE_GET;
  *out = KSPROPERTY_VIDEOPROCAMP_S{};
  ULONG returned = 0;
  return filter->Property(&request, sizeof request, out, sizeof *out, &returned);
}

NTSTATUS StandardSet(client::Filter* filter, const ControlDef& d, LONG value, ULONG flags) {
  KSPROPERTY_VIDEOPROCAMP_S request{};
  request.Property.Set = *d.set;
  request.Property.Id = d.id;
  request.Property.Flags = KSPROPERTY_TYPE_SET;
  request.Value = value;
  request.Flags = flags;
  ULONG returned = 0;
  return filter->Property(&request, sizeof request, &request, sizeof request, &returned);
}

NTSTATUS VendorCall(client::Filter* filter, const ControlDef& d, bool set, ULONG value, LONG* result) {
  VendorControlRequest r{};
  r.Property.Set = kVendorControlSet;
  r.Property.Id = d.id;
  r.Property.Flags = set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET;
  r.Operation = d.op;
  r.Index = d.index;
  r.Value = value;
  ULONG returned = 0;
  NTSTATUS s = filter->Property(&r, sizeof r, &r, sizeof r, &returned);
  if (result) *result = r.Result;
  return s;
}

// Reads one control; false (with *error) when the camera lacks it.
bool Read(client::Filter* filter, const ControlDef& d, ControlInfo* info, std::string* error) {
  *info = ControlInfo{};
  info->name = d.name;
  info->set = d.setName;
  info->id = d.id;
  info->type = d.type;
  if (d.kind == Kind::kVendor) {
    LONG value = 0;
    NTSTATUS s = VendorCall(filter, d, false, 0, &value);
    if (!NT_SUCCESS(s)) {
      *error = std::string(d.name) + ": the driver refused the get (" + StatusText(s) + ")";
      return false;
    }
    info->min = d.min, info->max = d.max, info->def = d.def, info->value = value;
    return true;
  }
  KSPROPERTY_VIDEOPROCAMP_S got;
  NTSTATUS s = StandardGet(filter, d, &got);
  const bool hasAuto = NT_SUCCESS(s) && (got.Capabilities & KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO);
  if (!NT_SUCCESS(s) || (d.kind == Kind::kAutoSwitch && !hasAuto)) {
    *error = "this camera has no " + std::string(d.name);
    return false;
  }
  const int mode = got.Flags == KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO ? 1 : 0;
  if (d.kind == Kind::kAutoSwitch) {
    // The property sets report no default for the mode itself.
    info->min = 0, info->max = 1, info->value = mode, info->hasDefault = false;
    return true;
  }
  AdvertisedRange(filter, d, info);
  info->value = got.Value;
  info->autoMode = hasAuto ? mode : -1;
  return true;
}

bool ParseLong(const std::string& text, long* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 0);
  if (errno || *end) return false;
  *value = v;
  return true;
}

struct Pending {
  const ControlDef* def;
  long value;
};

// Writes one checked value and reads back what the driver stored.
bool Write(client::Filter* filter, const Pending& p, std::string* error) {
  const ControlDef& d = *p.def;
  NTSTATUS s;
  if (d.kind == Kind::kVendor) {
    s = VendorCall(filter, d, true, ULONG(p.value), nullptr);
  } else {
    KSPROPERTY_VIDEOPROCAMP_S got;
    s = StandardGet(filter, d, &got);
    if (NT_SUCCESS(s)) {
      if (d.kind == Kind::kAutoSwitch) {
        s = StandardSet(filter, d, got.Value,
                        p.value ? KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO : KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL);
      } else {
        const ULONG flags = (got.Capabilities & KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO)
                                ? got.Flags
                                : ULONG(KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL);
        s = StandardSet(filter, d, LONG(p.value), flags);
      }
    }
  }
  if (!NT_SUCCESS(s)) {
    *error = std::string(d.name) + ": the driver refused " + std::to_string(p.value) + " (" + StatusText(s) + ")";
    return false;
  }
  ControlInfo now;
  if (!Read(filter, d, &now, error)) return false;
  if (now.value != p.value) {
    *error = std::string(d.name) + ": the driver kept " + std::to_string(now.value) +
             (d.id == 20 && d.kind == Kind::kVendor ? " (zoom changes only while streaming)" : "");
    return false;
  }
  return true;
}

}  // namespace

bool ListControls(client::Filter* filter, std::vector<ControlInfo>* controls, std::string* error) {
  controls->clear();
  for (const ControlDef& d : kControls) {
    ControlInfo info;
    std::string missing;
    if (Read(filter, d, &info, &missing)) {
      controls->push_back(info);
    } else if (d.kind == Kind::kVendor) {
      *error = missing;
      return false;
    }
  }
  return true;
}

bool GetControl(client::Filter* filter, const std::string& name, ControlInfo* info, std::string* error) {
  const ControlDef* d = Find(name);
  if (!d) {
    *error = "unknown control '" + name + "' (uvccam controls lists them)";
    return false;
  }
  return Read(filter, *d, info, error);
}

bool ApplyControlSettings(client::Filter* filter, const std::vector<std::string>& sets, std::string* error) {
  std::vector<Pending> pending;
  for (const std::string& s : sets) {
    const size_t eq = s.find('=');
    if (eq == std::string::npos || eq == 0) {
      *error = "'" + s + "' is not NAME=VALUE";
      return false;
    }
    const std::string name = s.substr(0, eq), text = s.substr(eq + 1);
    ControlInfo info;
    if (!GetControl(filter, name, &info, error)) return false;
    long value = 0;
    if (!ParseLong(text, &value)) {
      *error = name + ": '" + text + "' is not an integer";
      return false;
    }
    if (value < info.min || value > info.max) {
      *error = name + ": " + text + " is out of range " + std::to_string(info.min) + ".." +
               std::to_string(info.max);
      return false;
    }
    pending.push_back({Find(name), value});
  }
  for (const Pending& p : pending)
    if (!Write(filter, p, error)) return false;
  return true;
}

std::string ControlsText(const std::vector<ControlInfo>& controls) {
  std::string out;
  for (const ControlInfo& c : controls) {
    char line[256];
    char id[32];
    std::snprintf(id, sizeof id, "%s/%lu", c.set.c_str(), c.id);
    if (c.type == "bool") {
      std::snprintf(line, sizeof line, "%31s %-16s (%s)%*s:", c.name.c_str(), id, c.type.c_str(),
                    int(7 - c.type.size()), "");
      out += line;
      if (c.hasDefault) out += " default=" + std::to_string(c.def);
      std::snprintf(line, sizeof line, " value=%ld", c.value);
    } else {
      std::snprintf(line, sizeof line, "%31s %-16s (%s)%*s: min=%ld max=%ld step=%ld default=%ld value=%ld",
                    c.name.c_str(), id, c.type.c_str(), int(7 - c.type.size()), "", c.min, c.max, c.step,
                    c.def, c.value);
    }
    out += line;
    if (c.autoMode >= 0) out += c.autoMode ? " mode=auto" : " mode=manual";
    out += "\n";
  }
  return out;
}

std::string ControlsJson(const std::vector<ControlInfo>& controls) {
  nlohmann::ordered_json a = nlohmann::ordered_json::array();
  for (const ControlInfo& c : controls) {
    nlohmann::ordered_json j;
    j["name"] = c.name;
    j["set"] = c.set;
    j["id"] = c.id;
    j["min"] = c.min;
    j["max"] = c.max;
    j["step"] = c.step;
    if (c.hasDefault) {
      j["default"] = c.def;
    } else {
      j["default"] = nullptr;
    }
    j["value"] = c.value;
    if (c.autoMode < 0) {
      j["auto"] = nullptr;
    } else {
      j["auto"] = c.autoMode == 1;
    }
    a.push_back(j);
  }
  return a.dump(2) + "\n";
}

}  // namespace tools
