#include "tools/publish/pipewire_camera.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/buffers.h>
#include <spa/param/param.h>
#include <spa/utils/result.h>

#include <mutex>

namespace publish {

namespace {

// How long the node may take to appear in PipeWire once connected.
constexpr int kConnectSeconds = 10;

std::once_flag g_pwInit;

// Frames waiting for a graph cycle.
constexpr size_t kMaxPending = 3;

}  // namespace

struct NodeCallbacks {
  static void StateChanged(void* data, pw_stream_state old, pw_stream_state state, const char* error) {
    auto* self = static_cast<PipeWireCamera*>(data);
    self->state_ = state;
    if (state == PW_STREAM_STATE_ERROR) self->error_ = error ? error : "unknown error";
    pw_thread_loop_signal(self->loop_, false);
    if (state == PW_STREAM_STATE_STREAMING && self->events_.streaming) self->events_.streaming(true);
    if (old == PW_STREAM_STATE_STREAMING && state != PW_STREAM_STATE_STREAMING && self->events_.streaming)
      self->events_.streaming(false);
    if (state == PW_STREAM_STATE_ERROR && self->events_.failed) self->events_.failed(self->error_);
  }

  static void ParamChanged(void* data, uint32_t id, const spa_pod* param) {
    auto* self = static_cast<PipeWireCamera*>(data);
    if (id != SPA_PARAM_Format) return;
    size_t index = 0;
    int64_t interval = 0;
    if (param == nullptr || !MatchFormat(param, self->settings_.offers, &index, &interval)) {
      if (self->events_.format) self->events_.format(-1, 0);
      std::lock_guard<std::mutex> guard(self->lock_);
      self->offer_ = -1;
      return;
    }
    {
      std::lock_guard<std::mutex> guard(self->lock_);
      self->offer_ = int(index);
    }
    self->UpdateBufferParams(self->settings_.offers[index]);
    if (self->events_.format) self->events_.format(int(index), interval);
  }

  // A graph cycle: the pending frame, if any, goes into a free buffer.
  static void Process(void* data) {
    auto* self = static_cast<PipeWireCamera*>(data);
    std::lock_guard<std::mutex> guard(self->lock_);
    if (self->pending_.empty() || self->offer_ < 0) return;
    const Frame f = std::move(self->pending_.front());
    self->pending_.pop_front();
    pw_buffer* b = pw_stream_dequeue_buffer(self->stream_);
    if (b == nullptr) {
      ++self->dropped_;
      return;
    }
    const Offer& offer = self->settings_.offers[size_t(self->offer_)];
    spa_buffer* sb = b->buffer;
    spa_data& d = sb->datas[0];
    const size_t n =
        d.data ? CopyFrame(offer, f.data.data(), f.data.size(), static_cast<uint8_t*>(d.data), d.maxsize) : 0;
    d.chunk->offset = 0;
    d.chunk->size = uint32_t(n);
    d.chunk->stride = int32_t(offer.stride);
    d.chunk->flags = n != 0 ? 0 : SPA_CHUNK_FLAG_CORRUPTED;
    auto* h = static_cast<spa_meta_header*>(spa_buffer_find_meta_data(sb, SPA_META_Header, sizeof(spa_meta_header)));
    if (h != nullptr) {
      h->flags = (f.discontinuity ? SPA_META_HEADER_FLAG_DISCONT : 0) | (n != 0 ? 0 : SPA_META_HEADER_FLAG_CORRUPTED);
      h->offset = 0;
      h->pts = f.ptsNs;
      h->dts_offset = 0;
      h->seq = f.sequence;
    }
    pw_stream_queue_buffer(self->stream_, b);
    ++self->sent_;
  }

  static const pw_stream_events kEvents;
};

const pw_stream_events NodeCallbacks::kEvents = [] {
  pw_stream_events e{};
  e.version = PW_VERSION_STREAM_EVENTS;
  e.state_changed = NodeCallbacks::StateChanged;
  e.param_changed = NodeCallbacks::ParamChanged;
  e.process = NodeCallbacks::Process;
  return e;
}();

PipeWireCamera::PipeWireCamera() { std::call_once(g_pwInit, [] { pw_init(nullptr, nullptr); }); }

PipeWireCamera::~PipeWireCamera() {
  Stop();
}

bool PipeWireCamera::Start(const NodeSettings& settings, const NodeEvents& events, std::string* error) {
  settings_ = settings;
  events_ = events;
  loop_ = pw_thread_loop_new("uvccam-publish", nullptr);
  if (loop_ == nullptr) {
    *error = "cannot start a PipeWire loop";
    return false;
  }
  pw_properties* props = pw_properties_new(
      PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Camera",
      PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_NODE_NAME, settings.name.c_str(),
      PW_KEY_NODE_DESCRIPTION, settings.description.c_str(), PW_KEY_APP_NAME, "uvccam", nullptr);
  pw_thread_loop_lock(loop_);
  if (pw_thread_loop_start(loop_) < 0) {
    pw_thread_loop_unlock(loop_);
    pw_properties_free(props);
    *error = "cannot start a PipeWire loop";
    return false;
  }
  stream_ = pw_stream_new_simple(pw_thread_loop_get_loop(loop_), settings.name.c_str(), props,
                                 &NodeCallbacks::kEvents, this);
  if (stream_ == nullptr) {
    pw_thread_loop_unlock(loop_);
    *error = "cannot create a PipeWire stream";
    return false;
  }
  std::vector<uint8_t> buffer(1024 * (settings.offers.size() + 1));
  spa_pod_builder b{};
  spa_pod_builder_init(&b, buffer.data(), uint32_t(buffer.size()));
  std::vector<const spa_pod*> params;
  for (const Offer& o : settings.offers) params.push_back(BuildFormat(&b, o, settings.fps));
  int rc = pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                             pw_stream_flags(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS),
                             params.data(), uint32_t(params.size()));
  // The node is there once the stream leaves CONNECTING for PAUSED.
  while (rc >= 0 && state_ != PW_STREAM_STATE_PAUSED && state_ != PW_STREAM_STATE_STREAMING &&
         state_ != PW_STREAM_STATE_ERROR)
    if (pw_thread_loop_timed_wait(loop_, kConnectSeconds) != 0) break;
  const bool up = rc >= 0 && (state_ == PW_STREAM_STATE_PAUSED || state_ == PW_STREAM_STATE_STREAMING);
  if (!up)
    *error = "cannot reach PipeWire (" +
             (rc < 0 ? std::string(spa_strerror(rc)) : error_.empty() ? std::string("no answer") : error_) +
             "); is the pipewire daemon running?";
  pw_thread_loop_unlock(loop_);
  return up;
}

void PipeWireCamera::UpdateBufferParams(const Offer& offer) {
  uint8_t buffer[512];
  spa_pod_builder b{};
  spa_pod_builder_init(&b, buffer, sizeof buffer);
  const spa_pod* params[2];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
      SPA_POD_Int(int32_t(PublishedBytes(offer))), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(int32_t(offer.stride)),
      SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
  params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
      SPA_PARAM_META_size, SPA_POD_Int(int32_t(sizeof(spa_meta_header)))));
  pw_stream_update_params(stream_, params, 2);
}

void PipeWireCamera::Send(Frame* frame) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (pending_.size() >= kMaxPending) {  // the consumers fell behind: the oldest goes
      pending_.pop_front();
      ++dropped_;
    }
    pending_.push_back(std::move(*frame));
  }
  std::lock_guard<std::mutex> sending(sendLock_);
  if (loop_ == nullptr) return;
  pw_thread_loop_lock(loop_);
  TriggerLocked();
  pw_thread_loop_unlock(loop_);
}

void PipeWireCamera::TriggerLocked() {
  if (stream_ != nullptr) pw_stream_trigger_process(stream_);
}

void PipeWireCamera::Stop() {
  std::lock_guard<std::mutex> sending(sendLock_);
  if (loop_ == nullptr) return;
  pw_thread_loop_lock(loop_);
  if (stream_ != nullptr) {
    pw_stream_disconnect(stream_);
    pw_stream_destroy(stream_);
    stream_ = nullptr;
  }
  pw_thread_loop_unlock(loop_);
  pw_thread_loop_stop(loop_);
  pw_thread_loop_destroy(loop_);
  loop_ = nullptr;
}

uint64_t PipeWireCamera::Sent() const {
  std::lock_guard<std::mutex> guard(lock_);
  return sent_;
}

uint64_t PipeWireCamera::Dropped() const {
  std::lock_guard<std::mutex> guard(lock_);
  return dropped_;
}

}  // namespace publish
