#include "bench/publish/stream_consumer.h"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <time.h>

#include <chrono>
#include <mutex>

namespace pwtest {

namespace {

std::once_flag g_init;

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

void StreamConsumer::OnParam(void* data, uint32_t id, const spa_pod* param) {
  auto* self = static_cast<StreamConsumer*>(data);
  spa_video_info_raw raw{};
  if (id != SPA_PARAM_Format || param == nullptr || spa_format_video_raw_parse(param, &raw) < 0) return;
  self->width = raw.size.width;
  self->height = raw.size.height;
  self->rateNum = raw.framerate.num;
  self->rateDenom = raw.framerate.denom;
  // Buffers carry a header (sequence, presentation time) only when the
  // consumer asks for one.
  uint8_t buffer[256];
  spa_pod_builder b{};
  spa_pod_builder_init(&b, buffer, sizeof buffer);
  const spa_pod* meta = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
      SPA_PARAM_META_size, SPA_POD_Int(int32_t(sizeof(spa_meta_header)))));
  pw_stream_update_params(self->stream_, &meta, 1);
}

void StreamConsumer::OnProcess(void* data) {
  auto* self = static_cast<StreamConsumer*>(data);
  pw_buffer* b = pw_stream_dequeue_buffer(self->stream_);
  if (b == nullptr) return;
  std::lock_guard<std::mutex> guard(self->lock_);
  if (self->frames_.size() < self->want_) {
    ReceivedFrame f;
    f.receivedNs = NowNs();
    const spa_data& d = b->buffer->datas[0];
    if (d.data != nullptr && d.chunk->offset + uint64_t(d.chunk->size) <= d.maxsize) {
      const uint8_t* p = static_cast<const uint8_t*>(d.data) + d.chunk->offset;
      f.data.assign(p, p + d.chunk->size);
    }
    auto* h = static_cast<spa_meta_header*>(spa_buffer_find_meta_data(b->buffer, SPA_META_Header, sizeof(spa_meta_header)));
    if (h != nullptr) {
      f.hasHeader = true;
      f.sequence = h->seq;
      f.ptsNs = h->pts;
    }
    self->frames_.push_back(std::move(f));
    self->done_.notify_all();
  }
  pw_stream_queue_buffer(self->stream_, b);
}

bool StreamConsumer::Start(const std::string& target, uint32_t videoFormat, uint32_t w, uint32_t h,
                           uint32_t fps, size_t frames) {
  std::call_once(g_init, [] { pw_init(nullptr, nullptr); });
  static const pw_stream_events events = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.param_changed = OnParam;
    e.process = OnProcess;
    return e;
  }();
  want_ = frames;
  loop_ = pw_thread_loop_new("publish-test", nullptr);
  pw_thread_loop_lock(loop_);
  pw_thread_loop_start(loop_);
  pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                           PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_TARGET_OBJECT, target.c_str(),
                                           nullptr);
  stream_ = pw_stream_new_simple(pw_thread_loop_get_loop(loop_), "publish-test", props, &events, this);
  uint8_t buffer[1024];
  spa_pod_builder b{};
  spa_pod_builder_init(&b, buffer, sizeof buffer);
  spa_pod_frame f;
  spa_pod_builder_push_object(&b, &f, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_pod_builder_add(&b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
                      SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(videoFormat), 0);
  const spa_rectangle size{w, h};
  spa_pod_builder_add(&b, SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), 0);
  const spa_fraction rate{fps, 1}, any{0, 1}, most{1000, 1};
  if (fps != 0)
    spa_pod_builder_add(&b, SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate), 0);
  else
    spa_pod_builder_add(&b, SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&most, &any, &most), 0);
  const spa_pod* params[1] = {static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &f))};
  const int rc = stream_ ? pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
                                             pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS),
                                             params, 1)
                         : -1;
  pw_thread_loop_unlock(loop_);
  return rc >= 0;
}

bool StreamConsumer::Wait(int timeoutMs, size_t frames) {
  const size_t n = frames != 0 ? frames : want_;
  std::unique_lock<std::mutex> lk(lock_);
  return done_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return frames_.size() >= n; });
}

void StreamConsumer::Stop() {
  if (loop_ == nullptr) return;
  pw_thread_loop_lock(loop_);
  if (stream_ != nullptr) pw_stream_destroy(stream_);
  stream_ = nullptr;
  pw_thread_loop_unlock(loop_);
  pw_thread_loop_stop(loop_);
  pw_thread_loop_destroy(loop_);
  loop_ = nullptr;
}

StreamConsumer::~StreamConsumer() { Stop(); }

std::vector<ReceivedFrame> StreamConsumer::Frames() {
  std::lock_guard<std::mutex> guard(lock_);
  return frames_;
}

}  // namespace pwtest
