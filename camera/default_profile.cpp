// The built-in default camera profile. It is the same text as
// profiles/default.json (a test checks that the two agree), compiled in so
// that the default camera needs no file.
#include "camera/simulated_camera.h"

namespace camera {

const char* DefaultProfileJson() {
  return R"json({
  "name": "default",
  "description": "High-speed camera: MJPEG and YUY2 from 160x120 to 1280x720, stills, all three units, status interrupt endpoint, seven isochronous alternate settings.",
  "speed": "high",
  "vendorId": "0xc0de",
  "productId": "0xca3e",
  "bcdDevice": "0x0100",
  "manufacturer": "uvccam",
  "product": "uvccam simulated camera",
  "serialNumber": "SIM0001",
  "formats": [
    {
      "type": "mjpeg",
      "defaultFrame": 5,
      "frames": [
        { "width": 160, "height": 120, "intervals": [333333, 400000, 500000, 666666, 1000000, 2000000] },
        { "width": 176, "height": 144, "intervals": [333333, 400000, 500000, 666666, 1000000, 2000000] },
        { "width": 320, "height": 240, "intervals": [333333, 400000, 500000, 666666, 1000000, 2000000] },
        { "width": 352, "height": 288, "intervals": [333333, 400000, 500000, 666666, 1000000, 2000000] },
        { "width": 640, "height": 480, "intervals": [333333, 400000, 500000, 666666, 1000000, 2000000] },
        { "width": 800, "height": 600, "intervals": [333333, 500000, 666666, 1000000] },
        { "width": 1280, "height": 720, "intervals": [333333, 500000, 666666, 1000000], "defaultInterval": 333333 }
      ]
    },
    {
      "type": "yuy2",
      "defaultFrame": 3,
      "frames": [
        { "width": 160, "height": 120, "intervals": [333333, 500000, 666666, 1000000] },
        { "width": 176, "height": 144, "intervals": [333333, 500000, 666666, 1000000] },
        { "width": 320, "height": 240, "intervalRange": { "min": 333333, "max": 2000000, "step": 333333 } },
        { "width": 352, "height": 288, "intervals": [333333, 500000, 666666, 1000000] },
        { "width": 640, "height": 480, "intervalRange": { "min": 333333, "max": 2000000, "step": 333333 } },
        { "width": 800, "height": 600, "intervals": [666666, 1000000, 2000000] },
        { "width": 1280, "height": 720, "intervalRange": { "min": 1000000, "max": 2000000, "step": 500000 } }
      ]
    }
  ],
  "stills": [
    { "width": 640, "height": 480 },
    { "width": 1280, "height": 720 },
    { "width": 320, "height": 240 },
    { "width": 160, "height": 120 }
  ],
  "cameraTerminal": {
    "id": 1,
    "controls": {
      "autoExposureMode": { "def": 2, "res": 15 },
      "exposureTimeAbsolute": { "min": 1, "max": 10000, "def": 156, "res": 1 },
      "focusAbsolute": { "min": 0, "max": 250, "def": 0, "res": 5 },
      "focusAuto": { "def": 1 }
    }
  },
  "processingUnit": {
    "id": 2,
    "controls": {
      "brightness": { "min": -64, "max": 64, "def": 0, "res": 1 },
      "contrast": { "min": 0, "max": 64, "def": 32, "res": 1 },
      "hue": { "min": -40, "max": 40, "def": 0, "res": 1 },
      "saturation": { "min": 0, "max": 128, "def": 64, "res": 1 },
      "sharpness": { "min": 0, "max": 6, "def": 3, "res": 1 },
      "gamma": { "min": 72, "max": 500, "def": 100, "res": 1 },
      "whiteBalanceTemperature": { "min": 2800, "max": 6500, "def": 4600, "res": 10 },
      "backlightCompensation": { "min": 0, "max": 2, "def": 1, "res": 1 },
      "powerLineFrequency": { "min": 0, "max": 2, "def": 1, "res": 1 },
      "hueAuto": { "def": 0 },
      "whiteBalanceTemperatureAuto": { "def": 1 }
    }
  },
  "extensionUnit": {
    "id": 3,
    "guid": "5a1c3e07-94d2-4b6f-a80e-2f61c9d47b33",
    "controls": [
      { "selector": 1, "length": 2, "min": 0, "max": 255, "def": 16, "res": 1 },
      { "selector": 2, "length": 4, "min": 0, "max": 65535, "def": 0, "res": 1 },
      { "selector": 3, "length": 1, "min": 0, "max": 1, "def": 0, "res": 1, "info": 1 }
    ]
  },
  "interruptEndpoint": { "address": "0x83", "maxPacketSize": 16, "interval": 6 },
  "streaming": {
    "type": "isochronous",
    "endpoint": "0x81",
    "alternateSettings": [128, 256, 512, 800, 1024, "0x0c00", "0x1400"]
  }
}
)json";
}

}  // namespace camera
