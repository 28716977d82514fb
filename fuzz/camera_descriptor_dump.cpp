// Feeds arbitrary bytes to the simulated camera's descriptor-dump loader and,
// when a camera is built, sends it a handful of control requests derived from
// the same input: nothing may read or write out of bounds.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "camera/simulated_camera.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  std::string error;
  auto cam = camera::SimulatedCameraFromDescriptors(bytes, size & 1, &error);
  if (!cam) return 0;
  uint8_t buffer[512];
  for (size_t i = 0; i + 8 <= size && i < 64 * 8; i += 8) {
    host::UsbSetupPacket setup{data[i], data[i + 1], uint16_t(data[i + 2] | data[i + 3] << 8),
                               uint16_t(data[i + 4] | data[i + 5] << 8), uint16_t((data[i + 6] | data[i + 7] << 8) % 512)};
    cam->Control(setup, buffer);
  }
  return 0;
}
