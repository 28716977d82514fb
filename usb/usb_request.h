// Synchronous USB requests: URB submission down to the bus and the control
// requests built on it.
#pragma once

#include "platform/wdk.h"
#include "usb/stream_engine.h"

// Video class request codes.
constexpr UCHAR SET_CUR = 0x01;
constexpr UCHAR GET_CUR = 0x81;
constexpr UCHAR GET_MIN = 0x82;
constexpr UCHAR GET_MAX = 0x83;
constexpr UCHAR GET_RES = 0x84;
constexpr UCHAR GET_DEF = 0x87;

// Size of the text buffer of GetStringDescriptor.
constexpr ULONG kStringTextSize = 260;
constexpr USHORT kLanguageEnglishUs = 0x0409;

// Sends a URB to the device below and waits for it. Refused with
// STATUS_UNSUCCESSFUL (nothing sent) while the engine is removed, before it
// has a device, or while the device is not in D0. The result is the IRP's
// status.
NTSTATUS SubmitUrb(StreamEngine* engine, PURB urb);

// Reads the 18-byte device descriptor; a shorter reply fails.
NTSTATUS GetDeviceDescriptor(StreamEngine* engine, PUSB_DEVICE_DESCRIPTOR descriptor);
// Reads up to `length` bytes of configuration descriptor 0; *transferred
// receives what the device returned.
NTSTATUS GetConfigurationDescriptor(StreamEngine* engine, PVOID buffer, ULONG length,
                                    ULONG* transferred);
// Reads string descriptor `index` (US English) and returns its text as
// 7-bit ANSI, terminated, in text[kStringTextSize].
NTSTATUS GetStringDescriptor(StreamEngine* engine, UCHAR index, CHAR* text);

// Vendor request to the endpoint recipient / class request to an interface.
// Any failure is reported as STATUS_UNSUCCESSFUL. `transferred`, when given,
// receives the length of the data stage.
NTSTATUS VendorRequest(StreamEngine* engine, UCHAR request, USHORT value, USHORT index,
                       PVOID buffer, ULONG length, BOOLEAN directionIn,
                       ULONG* transferred = nullptr);
NTSTATUS ClassRequest(StreamEngine* engine, UCHAR request, USHORT value, USHORT index,
                      PVOID buffer, ULONG length, BOOLEAN directionIn,
                      ULONG* transferred = nullptr);
// Class request to a unit or terminal of the video-control interface:
// wValue = selector << 8, wIndex = unitId << 8 | the video-control interface
// number (0 while none is known). 0 or STATUS_UNSUCCESSFUL; `transferred`,
// when given, receives the length of the data stage.
NTSTATUS UnitRequest(StreamEngine* engine, UCHAR request, UCHAR selector, UCHAR unitId,
                     PVOID buffer, ULONG length, BOOLEAN directionIn,
                     ULONG* transferred = nullptr);

// Asks the bus for its USBDI interface and whether the device runs at high
// speed. A bus without the interface leaves *highSpeed unchanged and still
// succeeds.
NTSTATUS QueryHighSpeed(StreamEngine* engine, ULONG* highSpeed);

// Resets a pipe and clears its stall.
NTSTATUS ResetPipe(StreamEngine* engine, USBD_PIPE_HANDLE pipeHandle);
