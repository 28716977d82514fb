// Layouts the driver relies on when it builds kit records field by field
// (URB lengths, stack locations, bus interfaces), checked against whichever
// declarations platform/wdk.h brought: our own on the host, the kit's headers
// in the Windows build. A mismatch stops the build instead of sending the bus
// driver a malformed request.
#pragma once

// ---- I/O manager and kernel ----
static_assert(sizeof(KEVENT) == 24, "KEVENT is three pointers long on x64");
static_assert(sizeof(IO_STACK_LOCATION) == 72, "x64 stack location size");
static_assert(offsetof(IO_STACK_LOCATION, Parameters) == 8, "parameters follow the codes");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) ==
                  offsetof(IO_STACK_LOCATION, Parameters.Others.Argument3),
              "the control code shares its slot with Argument3, not Argument1");

// ---- USB ----
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "device descriptor");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "configuration descriptor");
static_assert(sizeof(_URB_HEADER) == 24, "URB header");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24, "pipe information");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 24, "interface information header");
static_assert(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "get-descriptor URB");
static_assert(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136, "vendor/class URB");
static_assert(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "bulk URB");
static_assert(sizeof(_URB_PIPE_REQUEST) == 40, "pipe request URB");
static_assert(offsetof(_URB_SELECT_CONFIGURATION, Interface) == 40, "select configuration: 40 + 24 n");
static_assert(offsetof(_URB_SELECT_INTERFACE, Interface) +
                      offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 56,
              "select interface: 56 + 24 n");
static_assert(sizeof(_URB_ISOCH_TRANSFER) == 152, "isochronous URB: 152 + 12 n");
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12, "isochronous packet descriptor");
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003, "submit-URB control code");
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72, "USBDI bus interface, version 1");

// ---- kernel streaming: the kit's records the pins and property handlers
// hand to ks.sys ----
static_assert(sizeof(KSPROPERTY) == 24, "KSPROPERTY");
static_assert(sizeof(KSDATARANGE) == 64, "KSDATARANGE");
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "video data range");
static_assert(sizeof(KSSTREAM_HEADER) == 56, "x64 stream header");
static_assert(sizeof(KSPROPERTY_VIDEOPROCAMP_S) == 40, "proc-amp and camera-control record");
static_assert(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) == 48, "dropped-frames record");
static_assert(sizeof(KSPROPERTY_CAMERACONTROL_S) == 40, "camera-control record");
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S) == 32, "video-control caps record");
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S) == 32, "video-control mode record");
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S) == 56, "actual frame rate record");
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S) == 40, "frame rates record");
static_assert(sizeof(KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S) == 48, "compression info record");
static_assert(sizeof(KSP_NODE) == 32, "node property");
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88, "video info header");
static_assert(sizeof(KS_FRAME_INFO) == 72, "x64 frame information");
