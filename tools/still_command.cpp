// `uvccam still`: runs the capture pin with the still pin beside it, asks
// for one still (the driver's still-trigger property, or the camera's
// button) and saves it as PNG.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "client/usb_host_camera.h"
#include "public/uvccam_public.h"
#include "platform/host/host_control.h"
#include "tools/camera_session.h"
#include "tools/commands.h"
#include "tools/control_settings.h"
#include "tools/output_files.h"

namespace tools {

namespace {

const char kStillUsage[] =
    "still options:\n"
    "  --output FILE.png   where the still goes (required)\n"
    "  --size WxH          still size, one of those uvccam formats lists (default:\n"
    "                      the first)\n"
    "  --trigger HOW       software (the driver's still trigger, the default) or\n"
    "                      button (the camera's still button)\n";

constexpr int kCaptureBuffers = 3;
// The capture pin waits up to 20 s for a still it was told about; the tool
// waits a little longer before it gives up.
constexpr uint64_t kStillLimit = 25 * k100nsPerSecond;
constexpr uint64_t kFirstFrameLimit = 10 * k100nsPerSecond;

void StillUsage(FILE* out) {
  std::fprintf(out, "usage: uvccam still [options] --output FILE.png\n%s\n%s", kStillUsage,
               kCameraOptionsUsage);
}

int Fail(const std::string& error, int status = 1) { return CommandError("still", error, status); }

// Keeps the capture pin's buffers queued: the driver handles a still only
// while it has a capture buffer to fill.
void PumpCapture(client::Pin* capture, ULONG frameBytes) {
  host::KsCompletedFrame f;
  while (capture->WaitFrame(0, &f))
    if (!f.cancelled) capture->QueueBuffer(frameBytes);
}

}  // namespace

int StillCommand(int argc, char** argv) {
  CameraOptions camOptions;
  std::string size, trigger = "software", output;
  if (int rc = ParseCommandOptions("still", argc, argv, &camOptions,
                                   {Value("--size", &size), Value("--trigger", &trigger), Value("--output", &output)},
                                   StillUsage))
    return rc < 0 ? 0 : rc;
  uint32_t width = 0, height = 0;
  if (!size.empty() && !ParseFrameSize(size, &width, &height))
    return Fail("bad size '" + size + "' (WxH, e.g. 640x480)", 2);
  if (trigger != "software" && trigger != "button")
    return Fail("unknown trigger '" + trigger + "' (software or button)", 2);
  if (output.empty()) return Fail("--output FILE.png is required", 2);
  if (!output_files::HasExtension(output, ".png")) return Fail("the still is saved as PNG: " + output + " does not end in .png", 2);

  std::string error;
  CameraSession session;
  if (!OpenCameraSession("still", camOptions, &session, &error)) return Fail(error);
  if (trigger == "button" && !session.realDevice &&
      (session.simulated == nullptr || !session.simulated->Layout().hasInterruptEndpoint))
    return Fail("this camera has no still button (no status interrupt endpoint)");
  // A play file gives the stream its frames and the still its picture: the
  // video and, without --size, the still take the file's frame size where
  // the pins offer it.
  RangeRequest own;
  if (PlayFileFrameSize(camOptions, &own.width, &own.height)) {
    std::string ignored;
    if (!width && ChooseRange(session.pins, kStillPinId, own, &ignored)) width = own.width, height = own.height;
    if (!ChooseRange(session.pins, kCapturePinId, own, &ignored)) own = RangeRequest();
  }
  RangeRequest want;
  want.width = width;
  want.height = height;
  const KS_DATARANGE_VIDEO* stillRange = ChooseRange(session.pins, kStillPinId, want, &error);
  if (stillRange == nullptr) return Fail(error);
  const KS_DATARANGE_VIDEO* captureRange = ChooseRange(session.pins, kCapturePinId, own, &error);
  if (captureRange == nullptr) return Fail(error);
  width = ULONG(stillRange->VideoInfoHeader.bmiHeader.biWidth);
  height = ULONG(stillRange->VideoInfoHeader.bmiHeader.biHeight);
  const GUID stillSubtype = stillRange->DataRange.SubFormat;
  if (!camOptions.play.empty()) {
    uint32_t frameW = ULONG(captureRange->VideoInfoHeader.bmiHeader.biWidth);
    uint32_t frameH = ULONG(captureRange->VideoInfoHeader.bmiHeader.biHeight);
    if (!CheckPlayFile(camOptions, frameW, frameH, &error)) return Fail(error);
    CameraSizeFor(camOptions, &frameW, &frameH, nullptr);
    if (frameW != width || frameH != height)
      return Fail("--play " + camOptions.play + ": it holds " + std::to_string(frameW) + "x" + std::to_string(frameH) +
                  " frames; the still is " + std::to_string(width) + "x" + std::to_string(height) +
                  " (--size picks another)");
  }

  // The still pin takes a format only beside a connected capture pin.
  std::vector<uint8_t> captureFormat, stillFormat;
  client::Pin *capture = nullptr, *still = nullptr;
  NTSTATUS s = session.filter->FormatFor(
      kCapturePinId, ULONG(captureRange->VideoInfoHeader.bmiHeader.biWidth),
      ULONG(captureRange->VideoInfoHeader.bmiHeader.biHeight), captureRange->DataRange.SubFormat, &captureFormat);
  if (NT_SUCCESS(s)) s = session.filter->CreatePin(kCapturePinId, captureFormat, &capture);
  if (!NT_SUCCESS(s) || VideoInfoOf(captureFormat) == nullptr)
    return Fail("cannot connect the capture pin (status " + StatusText(s) + ")");
  s = session.filter->FormatFor(kStillPinId, width, height, stillSubtype, &stillFormat);
  if (NT_SUCCESS(s)) s = session.filter->CreatePin(kStillPinId, stillFormat, &still);
  if (!NT_SUCCESS(s) || VideoInfoOf(stillFormat) == nullptr)
    return Fail("cannot connect the still pin at " + std::to_string(width) + "x" + std::to_string(height) +
                " (status " + StatusText(s) + ")");
  const ULONG captureBytes =
      std::max<ULONG>(VideoInfoOf(captureFormat)->bmiHeader.biSizeImage, captureRange->DataRange.SampleSize);
  const ULONG stillBytes =
      std::max<ULONG>(VideoInfoOf(stillFormat)->bmiHeader.biSizeImage, stillRange->DataRange.SampleSize);

  ClockRateScope clock(StreamingClockRate());
  for (int i = 0; i < kCaptureBuffers; ++i) capture->QueueBuffer(captureBytes);
  still->QueueBuffer(stillBytes);
  // The still pin registers with the device once the capture pin holds
  // it (ACQUIRE), and runs before the stream starts.
  s = capture->SetState(KSSTATE_ACQUIRE);
  if (NT_SUCCESS(s)) s = still->SetState(KSSTATE_RUN);
  if (NT_SUCCESS(s)) s = capture->SetState(KSSTATE_RUN);
  auto stop = [&] {
    still->SetState(KSSTATE_STOP);
    capture->SetState(KSSTATE_STOP);
    DrainFrames(still);
    DrainFrames(capture);
  };
  if (!NT_SUCCESS(s)) {
    stop();
    return Fail("the pins did not run (status " + StatusText(s) + ")");
  }

  // Trigger once the stream delivers, so that the camera has taken the
  // still settings with the stream's.
  uint64_t start = host::ClockNow100ns();
  bool streaming = false;
  while (!streaming && host::ClockNow100ns() - start < kFirstFrameLimit) {
    host::KsCompletedFrame f;
    if (capture->WaitFrame(20, &f) && !f.cancelled) {
      capture->QueueBuffer(captureBytes);
      streaming = f.header.DataUsed != 0;
    }
  }
  if (!streaming) {
    stop();
    return Fail("the camera delivered no frames");
  }
  if (!ApplyControlSettings(session.filter, session.whileStreaming, &error)) {
    stop();
    return Fail(error);
  }
  if (trigger == "button" && session.realDevice) {
    // A real camera's button is pressed by hand; the still comes when it is.
    std::fprintf(stderr, "uvccam still: press the camera's still button\n");
    s = STATUS_SUCCESS;
  } else {
    s = trigger == "button" ? (session.camera->PressStillButton() ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED)
                            : session.filter->TriggerStill();
  }
  if (!NT_SUCCESS(s)) {
    stop();
    return Fail("the driver refused the still trigger (status " + StatusText(s) + ")");
  }

  host::KsCompletedFrame image;
  bool got = false;
  start = host::ClockNow100ns();
  while (!got && host::ClockNow100ns() - start < kStillLimit) {
    if (still->WaitFrame(20, &image)) {
      got = !image.cancelled && !image.data.empty();
      if (!got) still->QueueBuffer(stillBytes);
    }
    PumpCapture(capture, captureBytes);
  }
  stop();
  if (!got) return Fail("no still arrived within " + std::to_string(kStillLimit / k100nsPerSecond) + " s");
  if (!output_files::WritePng(output, image.data.data(), image.data.size(), stillSubtype, width, height, &error))
    return Fail(error);
  std::printf("still %lux%lu %s -> %s\n", static_cast<unsigned long>(width), static_cast<unsigned long>(height),
              client::SubtypeName(stillSubtype).c_str(), output.c_str());
  return 0;
}

}  // namespace tools
