// The simulated camera: its set-up from a finished profile, the bus's entry
// points (configuration and interface selection, IN transfers, control
// requests routed by kind to the request handlers), the hooks tests use to
// look inside, and the factories.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "camera/camera_state.h"

namespace camera {

SimulatedCamera::SimulatedCamera(Setup setup) : state_(new State) {
  State& s = *state_;
  s.setup = std::move(setup);
  const CameraLayout& layout = s.setup.layout;
  for (const EntityInfo& e : layout.entities) {
    s.entities.insert(e.id);
    const std::vector<ControlDef>* table = e.subtype == kVcInputTerminal ? &CameraTerminalControls()
                                           : e.subtype == kVcProcessingUnit
                                               ? &ProcessingUnitControls()
                                               : nullptr;
    for (uint8_t bit = 0; bit < 32; ++bit) {
      if (!(e.bmControls & (1u << bit))) continue;
      ControlValues cv;
      if (table) {
        const ControlDef* def = FindControlByBit(*table, bit);
        if (!def) continue;  // a reserved bit: no control behind it
        cv.selector = def->selector;
        cv.length = def->length;
        cv.info = def->info;
        cv.isSigned = def->isSigned;
        cv.kind = def->kind;
        cv.min = def->min, cv.max = def->max, cv.def = def->def, cv.res = def->res;
      } else if (e.subtype == kVcExtensionUnit) {
        cv.selector = uint8_t(bit + 1);
        cv.length = 2;
        cv.min = 0, cv.max = 0xFFFF, cv.def = 0, cv.res = 1;
      } else {
        continue;
      }
      auto o = s.setup.overrides.find({e.id, cv.selector});
      if (o != s.setup.overrides.end()) {
        const ControlOverride& ov = o->second;
        if (ov.hasLength) cv.length = ov.length;
        if (ov.hasMin) cv.min = ov.min;
        if (ov.hasMax) cv.max = ov.max;
        if (ov.hasDef) cv.def = ov.def;
        if (ov.hasRes) cv.res = ov.res;
        if (ov.hasInfo) cv.info = ov.info;
        if (cv.min < 0) cv.isSigned = true;
      }
      cv.cur.assign(cv.length, 0);
      EncodeLe(cv.def, cv.length, cv.cur.data());
      s.controls[{e.id, cv.selector}] = cv;
    }
  }
  // Every endpoint address of the configuration, for the halt feature.
  const std::vector<uint8_t>& c = s.setup.configuration;
  for (size_t off = 0; off + 2 <= c.size() && c[off] >= 2 && off + c[off] <= c.size();
       off += c[off])
    if (c[off + 1] == kDescEndpoint && c[off] >= 7) s.endpoints.insert(c[off + 2]);
  s.probe = s.DefaultProbe();
}

SimulatedCamera::~SimulatedCamera() = default;

bool SimulatedCamera::HighSpeed() const { return state_->setup.highSpeed; }
const std::vector<uint8_t>& SimulatedCamera::DeviceDescriptor() const {
  return state_->setup.deviceDescriptor;
}
const std::vector<uint8_t>& SimulatedCamera::ConfigurationDescriptor() const {
  return state_->setup.configuration;
}
const CameraLayout& SimulatedCamera::Layout() const { return state_->setup.layout; }

std::vector<uint8_t> SimulatedCamera::DescriptorDump() const {
  std::vector<uint8_t> dump = state_->setup.deviceDescriptor;
  dump.insert(dump.end(), state_->setup.configuration.begin(), state_->setup.configuration.end());
  return dump;
}

void SimulatedCamera::ConfigurationSelected(uint8_t bConfigurationValue) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_->configuration = bConfigurationValue;
  state_->alternates.clear();
  state_->stream.Stop();
}

void SimulatedCamera::InterfaceSelected(uint8_t bInterfaceNumber, uint8_t bAlternateSetting) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_->alternates[bInterfaceNumber] = bAlternateSetting;
  if (bInterfaceNumber == state_->setup.layout.streamingInterface) {
    // An isochronous camera streams while a non-zero setting is selected; a
    // bulk camera from the commit until its endpoint is reset.
    if (!state_->setup.layout.bulk) state_->UpdateStreaming();
  }
}

void SimulatedCamera::EndpointReset(uint8_t endpointAddress) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_->setup.layout.bulk && endpointAddress == state_->setup.layout.streamingEndpoint) {
    state_->stream.Stop();
    state_->committed = false;
  }
}

host::UsbInResult SimulatedCamera::InTransfer(uint8_t endpointAddress, uint64_t busTime100ns,
                                              uint8_t* data, uint32_t capacity) {
  std::lock_guard<std::mutex> lock(mutex_);
  State& s = *state_;
  const CameraLayout& l = s.setup.layout;
  if (l.hasInterruptEndpoint && endpointAddress == l.interruptEndpoint) {
    host::UsbInResult r;
    if (s.statusQueue.empty()) return r;
    uint32_t n = std::min<uint32_t>(4, capacity);
    std::memcpy(data, s.statusQueue.front().data(), n);
    s.statusQueue.erase(s.statusQueue.begin());
    r.kind = host::UsbInResult::kData;
    r.length = n;
    return r;
  }
  if (endpointAddress != l.streamingEndpoint) return host::UsbInResult{};
  return s.stream.Next(busTime100ns, data, capacity);
}

void SimulatedCamera::SetStreamFaults(const StreamFaults& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_->setup.streamFaults = faults;
  state_->stream.SetFaults(faults);
}

StreamFaults SimulatedCamera::GetStreamFaults() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->setup.streamFaults;
}

void SimulatedCamera::SetPlayBytes(std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_->setup.playBytes = std::move(bytes);
}

void SimulatedCamera::PressStillButton() {
  std::lock_guard<std::mutex> lock(mutex_);
  state_->statusQueue.push_back({0x02, 0x01, 0x00, 0x01});
}

bool SimulatedCamera::Streaming() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->stream.Running();
}

uint64_t SimulatedCamera::FramesSent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->stream.FramesStarted();
}

uint64_t SimulatedCamera::StillsSent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->stream.StillsSent();
}

host::UsbControlResult SimulatedCamera::Control(const host::UsbSetupPacket& setup, uint8_t* data) {
  std::lock_guard<std::mutex> lock(mutex_);
  State& s = *state_;
  ControlTransfer t(setup, data, &s.requestError, &s.stalls);
  if (setup.wLength && !data) return t.Stall(kErrInvalidRequest);
  switch (t.type) {
    case 0:
      return s.StandardRequest(t);
    case 2:
      return s.VendorRequest(t);
    default:
      return s.ClassRequest(t);
  }
}

bool SimulatedCamera::ControlCurrentInt(uint8_t entityId, uint8_t selector, int64_t* value) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = state_->controls.find({entityId, selector});
  if (it == state_->controls.end()) return false;
  *value = DecodeLe(it->second.cur.data(), it->second.length, it->second.isSigned);
  return true;
}

ProbeControl SimulatedCamera::CurrentProbe() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->probe;
}

bool SimulatedCamera::CommittedProbe(ProbeControl* probe) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_->committed) *probe = state_->commit;
  return state_->committed;
}

bool SimulatedCamera::CommittedStill(StillProbeControl* still) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_->stillCommitted) *still = state_->stillCommit;
  return state_->stillCommitted;
}

uint32_t SimulatedCamera::StillTriggerCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->stillTriggerCount;
}

uint8_t SimulatedCamera::LastStillTrigger() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->stillTrigger;
}

uint32_t SimulatedCamera::ProbeSetCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->probeSets;
}

uint32_t SimulatedCamera::CommitCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->commits;
}

uint32_t SimulatedCamera::StallCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->stalls;
}

uint8_t SimulatedCamera::CurrentConfiguration() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->configuration;
}

uint8_t SimulatedCamera::CurrentAlternateSetting(uint8_t interfaceNumber) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = state_->alternates.find(interfaceNumber);
  return it == state_->alternates.end() ? 0 : it->second;
}

CameraFaults SimulatedCamera::Faults() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->setup.faults;
}

void SimulatedCamera::SetFaults(const CameraFaults& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_->setup.faults = faults;
}

// ---------------------------------------------------------------------------
// Factories

std::unique_ptr<SimulatedCamera> BuildCamera(SimulatedCamera::Setup setup, std::string* error) {
  std::string scratch;
  if (!error) error = &scratch;
  const std::vector<uint8_t>& dev = setup.deviceDescriptor;
  if (dev.size() != 18 || dev[0] != 18 || dev[1] != kDescDevice) {
    *error = "device descriptor: expected 18 bytes of type 1";
    return nullptr;
  }
  if (dev[17] == 0) {
    *error = "device descriptor: bNumConfigurations is 0";
    return nullptr;
  }
  std::string parseError;
  if (!ParseConfiguration(setup.configuration, &setup.layout, &parseError)) {
    *error = parseError;
    return nullptr;
  }
  return std::unique_ptr<SimulatedCamera>(new SimulatedCamera(std::move(setup)));
}

std::unique_ptr<SimulatedCamera> SimulatedCameraFromDescriptors(const std::vector<uint8_t>& bytes,
                                                                bool fullSpeed,
                                                                std::string* error) {
  std::string scratch;
  if (!error) error = &scratch;
  if (bytes.size() < 18) {
    *error = "descriptor dump: " + std::to_string(bytes.size()) +
             " bytes, too short for a device descriptor";
    return nullptr;
  }
  if (bytes[0] != 18 || bytes[1] != kDescDevice) {
    *error = "descriptor dump: does not start with a device descriptor (bLength " +
             std::to_string(bytes[0]) + ", bDescriptorType " + std::to_string(bytes[1]) + ")";
    return nullptr;
  }
  SimulatedCamera::Setup setup;
  setup.highSpeed = !fullSpeed;
  setup.deviceDescriptor.assign(bytes.begin(), bytes.begin() + 18);
  const size_t rest = bytes.size() - 18;
  if (rest < 9) {
    *error = "descriptor dump: no configuration descriptor after the device descriptor";
    return nullptr;
  }
  const uint8_t* cfg = bytes.data() + 18;
  if (cfg[1] != kDescConfiguration) {
    *error = "descriptor dump: byte 18 does not start a configuration descriptor (type " +
             std::to_string(cfg[1]) + ")";
    return nullptr;
  }
  const size_t total = Le16(cfg + 2);
  if (total > rest) {
    *error = "descriptor dump truncated: the configuration's wTotalLength is " +
             std::to_string(total) + " but " + std::to_string(rest) + " bytes follow";
    return nullptr;
  }
  // Only the first configuration counts; Linux appends any further ones.
  setup.configuration.assign(cfg, cfg + std::max<size_t>(total, 9));
  // The dump carries no string texts: answer generic ones.
  const uint8_t iManufacturer = bytes[14], iProduct = bytes[15];
  if (iManufacturer) setup.strings[iManufacturer] = "Generic";
  if (iProduct) setup.strings[iProduct] = "USB Video Camera";
  setup.fallbackString = "USB Video Camera";
  std::string local;
  auto camera = BuildCamera(std::move(setup), &local);
  if (!camera) *error = "descriptor dump: " + local;
  return camera;
}

std::unique_ptr<host::UsbDeviceModel> CameraFromDescriptors(const std::vector<uint8_t>& bytes,
                                                            bool fullSpeed, std::string* error) {
  return SimulatedCameraFromDescriptors(bytes, fullSpeed, error);
}

std::unique_ptr<host::UsbDeviceModel> CameraFromDescriptorFile(const std::string& path,
                                                               bool fullSpeed, std::string* error) {
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, &bytes, error)) return nullptr;
  std::string local;
  auto camera = SimulatedCameraFromDescriptors(bytes, fullSpeed, &local);
  if (!camera && error) *error = path + ": " + local;
  return camera;
}

}  // namespace camera
