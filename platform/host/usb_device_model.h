// The boundary between the USB bus stand-in (platform/host) and a device
// behind it (a simulated camera in camera/, later a real one). The bus turns
// URBs into these calls; the model knows nothing of URBs or IRPs.
#pragma once

#include <cstdint>
#include <vector>

namespace host {

// A control transfer's setup packet, fields as on the wire.
struct UsbSetupPacket {
  uint8_t bmRequestType;  // bit 7: 1 = device-to-host; bits 6..5: 0 standard, 1 class, 2 vendor;
                          // bits 4..0: 0 device, 1 interface, 2 endpoint
  uint8_t bRequest;
  uint16_t wValue;
  uint16_t wIndex;
  uint16_t wLength;
};

// What a device did with one IN transaction on a streaming or interrupt
// endpoint.
struct UsbInResult {
  enum Kind : uint8_t {
    kNak,    // nothing to send now (an isochronous packet of length 0)
    kData,   // `length` bytes
    kError,  // the packet arrived damaged (isochronous: the packet's status is an error)
    kStall,  // the endpoint halted: this and later transfers fail until the pipe is reset
    kGone,   // the device left the bus (as an unplug)
  } kind = kNak;
  uint32_t length = 0;
};

// What a device did with a control transfer.
struct UsbControlResult {
  bool stalled = false;  // the device answered with STALL
  uint32_t length = 0;   // bytes transferred in the data stage
};

class UsbDeviceModel {
 public:
  virtual ~UsbDeviceModel() = default;

  // Bus speed the device enumerated at.
  virtual bool HighSpeed() const = 0;

  // The standard descriptors as the device would return them. The bus reads
  // these to build pipe handles on select configuration / interface; the
  // driver reads them through GET_DESCRIPTOR like any other control request.
  virtual const std::vector<uint8_t>& DeviceDescriptor() const = 0;
  virtual const std::vector<uint8_t>& ConfigurationDescriptor() const = 0;

  // A control transfer on endpoint 0. For device-to-host requests `data` has
  // room for setup.wLength bytes and the device fills at most that many; for
  // host-to-device requests `data` holds setup.wLength bytes.
  virtual UsbControlResult Control(const UsbSetupPacket& setup, uint8_t* data) = 0;

  // One IN transaction on a non-control endpoint at bus time `busTime100ns`
  // (host clock, 100 ns units). Isochronous endpoints are asked once per
  // (micro)frame for one packet of at most `capacity` bytes; bulk endpoints
  // for one payload of at most `capacity` bytes (a transfer completes with
  // it); interrupt endpoints once per polling opportunity.
  virtual UsbInResult InTransfer(uint8_t endpointAddress, uint64_t busTime100ns, uint8_t* data,
                                 uint32_t capacity) {
    (void)endpointAddress;
    (void)busTime100ns;
    (void)data;
    (void)capacity;
    return UsbInResult{};
  }

  // The host reset the pipe of this endpoint (clearing a halt).
  virtual void EndpointReset(uint8_t endpointAddress) { (void)endpointAddress; }

  // The bus selected a configuration / an alternate setting of an interface.
  virtual void ConfigurationSelected(uint8_t bConfigurationValue) { (void)bConfigurationValue; }
  virtual void InterfaceSelected(uint8_t bInterfaceNumber, uint8_t bAlternateSetting) {
    (void)bInterfaceNumber;
    (void)bAlternateSetting;
  }
};

}  // namespace host
