#include "tools/publish/camera_feed.h"

#include <time.h>

#include <algorithm>
#include <cstdio>

#include "platform/host/host_control.h"
#include "public/uvccam_public.h"
#include "client/usb_host_camera.h"
#include "tools/camera_options.h"
#include "tools/camera_session.h"

namespace publish {

namespace {

constexpr int kQueuedBuffers = 3;
constexpr uint32_t kWaitMs = 20;

int64_t MonotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

CameraFeed::CameraFeed(client::Filter* filter, const std::vector<Offer>& offers, PipeWireCamera* node)
    : filter_(filter), offers_(offers), node_(node) {}

CameraFeed::~CameraFeed() { Stop(); }

void CameraFeed::Start() { thread_ = std::thread([this] { Run(); }); }

void CameraFeed::Stop() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    quit_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void CameraFeed::SetFormat(int index, int64_t interval) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    format_ = index;
    interval_ = interval;
    ++serial_;
  }
  wake_.notify_all();
}

void CameraFeed::SetStreaming(bool streaming) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    streaming_ = streaming;
  }
  wake_.notify_all();
}

uint64_t CameraFeed::Delivered() const {
  std::lock_guard<std::mutex> guard(lock_);
  return delivered_;
}

void CameraFeed::Run() {
  std::unique_lock<std::mutex> lk(lock_);
  while (!quit_) {
    const bool want = streaming_ && format_ >= 0;
    if (running_ && (!want || serial_ != runningSerial_)) {
      lk.unlock();
      StopPin();
      lk.lock();
      continue;
    }
    if (!running_ && want) {
      const int index = format_;
      const int64_t interval = interval_;
      runningSerial_ = serial_;
      lk.unlock();
      std::string error;
      const bool ok = StartPin(index, interval, &error);
      lk.lock();
      if (!ok) {
        // Not again until the graph asks anew.
        std::fprintf(stderr, "uvccam publish: %s\n", error.c_str());
        streaming_ = false;
      }
      continue;
    }
    if (!running_) {
      wake_.wait(lk);
      continue;
    }
    lk.unlock();
    Pump();
    lk.lock();
  }
  lk.unlock();
  StopPin();
  if (pin_ != nullptr) filter_->ClosePin(pin_);
  pin_ = nullptr;
}

bool CameraFeed::StartPin(int index, int64_t interval, std::string* error) {
  const Offer& o = offers_[size_t(index)];
  // The pin's own range of that size and subtype, at the negotiated rate.
  KS_DATARANGE_VIDEO range{};
  bool found = false;
  for (const client::PinInfo& p : filter_->Pins())
    for (const KS_DATARANGE_VIDEO& r : p.ranges)
      if (!found && p.id == kCapturePinId && uint32_t(r.VideoInfoHeader.bmiHeader.biWidth) == o.width &&
          IsEqualGUID(r.DataRange.SubFormat, o.subtype) &&
          uint32_t(std::abs(r.VideoInfoHeader.bmiHeader.biHeight)) == o.height) {
        range = r;
        found = true;
      }
  std::vector<uint8_t> format;
  NTSTATUS s = found ? STATUS_SUCCESS : STATUS_NO_MATCH;
  if (NT_SUCCESS(s)) {
    range.VideoInfoHeader.AvgTimePerFrame = interval;
    s = filter_->Intersect(kCapturePinId, range, &format);
  }
  const KS_VIDEOINFOHEADER* info = tools::VideoInfoOf(format);
  const std::string what = std::to_string(o.width) + "x" + std::to_string(o.height) + " " +
                           client::SubtypeName(o.subtype);
  if (!NT_SUCCESS(s) || info == nullptr) {
    *error = "the driver refused the " + what + " format (status " + tools::StatusText(s) + ")";
    return false;
  }
  frameBytes_ = std::max<uint32_t>(info->bmiHeader.biSizeImage, o.frameBytes);
  if (pin_ != nullptr) {
    filter_->ClosePin(pin_);
    pin_ = nullptr;
  }
  s = filter_->CreatePin(kCapturePinId, format, &pin_);
  if (!NT_SUCCESS(s)) {
    pin_ = nullptr;
    *error = "cannot connect the capture pin (status " + tools::StatusText(s) + ")";
    return false;
  }
  for (int i = 0; i < kQueuedBuffers; ++i) pin_->QueueBuffer(frameBytes_);
  s = pin_->SetState(KSSTATE_RUN);
  if (!NT_SUCCESS(s)) {
    pin_->SetState(KSSTATE_STOP);
    *error = "the capture pin did not run (status " + tools::StatusText(s) + ")";
    return false;
  }
  // The driver stamps frames on the host clock, which runs in real time
  // while streaming: one pair of readings maps it onto the monotonic clock.
  anchorHost100ns_ = host::ClockNow100ns();
  anchorMonoNs_ = MonotonicNs();
  running_ = true;
  runFrames_ = 0;
  missed_ = 0;
  stampToSendNs_ = 0;
  const Rate rate = RateOfInterval(info->AvgTimePerFrame);
  std::printf("streaming %s at %u/%u fps\n", what.c_str(), rate.num, rate.denom);
  std::fflush(stdout);
  return true;
}

void CameraFeed::StopPin() {
  if (!running_) return;
  pin_->SetState(KSSTATE_STOP);
  tools::DrainFrames(pin_);
  running_ = false;
  std::printf("stopped streaming after %llu frames (%llu missed by the pin; %.1f ms from time stamp to PipeWire)\n",
              static_cast<unsigned long long>(runFrames_), static_cast<unsigned long long>(missed_),
              runFrames_ != 0 ? double(stampToSendNs_) / 1e6 / double(runFrames_) : 0.0);
  std::fflush(stdout);
}

void CameraFeed::Pump() {
  host::KsCompletedFrame f;
  if (!pin_->WaitFrame(kWaitMs, &f) || f.cancelled) return;
  pin_->QueueBuffer(frameBytes_);
  if (f.header.DataUsed == 0 || f.data.empty()) return;  // an empty completion: a dropped frame
  KS_FRAME_INFO info{};
  const bool hasInfo = client::FrameInfoOf(f, &info);
  Frame frame;
  frame.sequence = hasInfo ? uint64_t(info.PictureNumber) : runFrames_;
  if (runFrames_ != 0 && frame.sequence > lastSequence_ + 1) missed_ += frame.sequence - lastSequence_ - 1;
  lastSequence_ = frame.sequence;
  const int64_t stamp = f.header.PresentationTime.Time;
  frame.ptsNs = stamp > 0 ? anchorMonoNs_ + (stamp - int64_t(anchorHost100ns_)) * 100 : MonotonicNs();
  stampToSendNs_ += MonotonicNs() - frame.ptsNs;
  frame.discontinuity = (f.header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0;
  frame.data = std::move(f.data);
  node_->Send(&frame);
  ++runFrames_;
  std::lock_guard<std::mutex> guard(lock_);
  ++delivered_;
}

}  // namespace publish
