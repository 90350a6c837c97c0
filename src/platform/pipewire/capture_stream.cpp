#include "platform/pipewire/capture_stream.h"

#include "core/log.h"

#include <array>
#include <cstring>
#include <ctime>
#include <set>

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/audio/raw-types.h>
#include <spa/param/buffers.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>

namespace va::pw {

struct CaptureStream::Hook {
  spa_hook stream{};
};

struct CaptureStream::LinkEntry {
  pw_proxy* proxy = nullptr;
  spa_hook hook{};
  bool dead = false; // the server removed it or refused it; made again on the next reconcile
};

namespace {

uint32_t channelId(const std::string& name) {
  for (const spa_type_info* info = spa_type_audio_channel; info->name; ++info) {
    const char* colon = std::strrchr(info->name, ':');
    if (colon && name == colon + 1)
      return info->type;
  }
  return SPA_AUDIO_CHANNEL_UNKNOWN;
}

uint64_t monotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

void onLinkRemoved(void* data) {
  static_cast<CaptureStream::LinkEntry*>(data)->dead = true;
}

void onLinkError(void* data, int, int res, const char* message) {
  static_cast<CaptureStream::LinkEntry*>(data)->dead = true;
  log(std::string("link failed: ") + (message ? message : spa_strerror(res)));
}

const pw_proxy_events kLinkEvents = {
    .version = PW_VERSION_PROXY_EVENTS,
    .destroy = nullptr,
    .bound = nullptr,
    .removed = onLinkRemoved,
    .done = nullptr,
    .error = onLinkError,
};

} // namespace

CaptureStream::CaptureStream(std::shared_ptr<Host> host) : host_(std::move(host)) {}

CaptureStream::~CaptureStream() {
  stop();
}

std::expected<void, std::string> CaptureStream::start(const StreamSpec& spec, Planner planner,
                                                      Block block, Negotiated negotiated) {
  stop();
  Host::Lock lock(*host_);
  spec_ = spec;
  if (auto created = createLocked(); !created)
    return created;
  planner_ = std::move(planner);
  block_ = std::move(block);
  negotiated_ = std::move(negotiated);
  watchdog_ = pw_loop_add_timer(pw_thread_loop_get_loop(host_->threadLoop()), onWatchdog, this);
  timespec period{0, 500'000'000};
  pw_loop_update_timer(pw_thread_loop_get_loop(host_->threadLoop()), watchdog_, &period, &period,
                       false);
  host_->addWatcher(this);
  reconcile(host_->graph());
  return {};
}

std::expected<void, std::string> CaptureStream::createLocked() {
  if (!host_->core())
    return std::unexpected("pw_stream_new: no audio server is connected");
  // A recorder must not shrink everyone's quantum, take a media role or be routed by the
  // session manager: fixed latency of 1024 frames at 48 kHz, no role, no autoconnect.
  pw_properties* props = pw_properties_new(
      PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_NODE_NAME,
      spec_.nodeName.c_str(), PW_KEY_NODE_DESCRIPTION, spec_.description.c_str(),
      PW_KEY_NODE_AUTOCONNECT, "false", PW_KEY_NODE_LATENCY, "1024/48000", PW_KEY_APP_NAME,
      "velmorrant-audio", nullptr);
  // Ports of our own, one per channel, even without a session manager to configure them.
  pw_properties_set(props, "adapter.auto-port-config",
                    "{ mode = dsp monitor = false position = preserve }");
  if (spec_.alwaysProcess)
    pw_properties_set(props, PW_KEY_NODE_ALWAYS_PROCESS, "true");
  pw_stream* stream = pw_stream_new(host_->core(), spec_.nodeName.c_str(), props);
  if (!stream)
    return std::unexpected(std::string("pw_stream_new: ") + std::strerror(errno));
  static const pw_stream_events events = {
      .version = PW_VERSION_STREAM_EVENTS,
      .destroy = nullptr,
      .state_changed = [](void* data, pw_stream_state old, pw_stream_state state,
                          const char* error) { onStateChanged(data, old, state, error); },
      .control_info = nullptr,
      .io_changed = nullptr,
      .param_changed = onParamChanged,
      .add_buffer = nullptr,
      .remove_buffer = nullptr,
      .process = onProcess,
      .drained = nullptr,
      .command = nullptr,
      .trigger_done = nullptr,
  };
  hook_ = std::make_unique<Hook>();
  pw_stream_add_listener(stream, &hook_->stream, &events, this);

  uint8_t podBuffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(podBuffer, sizeof podBuffer);
  spa_audio_info_raw info{};
  info.format = SPA_AUDIO_FORMAT_F32;
  info.rate = spec_.rate;
  info.channels = static_cast<uint32_t>(spec_.positions.size());
  for (size_t i = 0; i < spec_.positions.size() && i < SPA_AUDIO_MAX_CHANNELS; ++i) {
    info.position[i] = channelId(spec_.positions[i]);
    if (info.position[i] == SPA_AUDIO_CHANNEL_UNKNOWN)
      info.flags |= SPA_AUDIO_FLAG_UNPOSITIONED;
  }
  const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
  auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS);
  if (int res = pw_stream_connect(stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1);
      res < 0) {
    spa_hook_remove(&hook_->stream);
    pw_stream_destroy(stream);
    return std::unexpected(std::string("pw_stream_connect: ") + spa_strerror(res));
  }
  stream_ = stream;
  rate_ = spec_.rate;
  channels_ = info.channels;
  lastProcessNs_ = monotonicNs();
  return {};
}

void CaptureStream::replan(Planner planner) {
  Host::Lock lock(*host_);
  planner_ = std::move(planner);
  if (stream_)
    reconcile(host_->graph());
}

void CaptureStream::stop() {
  Host::Lock lock(*host_);
  destroyLocked();
}

bool CaptureStream::running() const {
  Host::Lock lock(*host_);
  return stream_ != nullptr;
}

void CaptureStream::destroyLocked() {
  host_->removeWatcher(this);
  if (watchdog_) {
    pw_loop_destroy_source(pw_thread_loop_get_loop(host_->threadLoop()), watchdog_);
    watchdog_ = nullptr;
  }
  dropStreamLocked();
  planner_ = nullptr;
  block_ = nullptr;
  negotiated_ = nullptr;
}

void CaptureStream::dropStreamLocked() {
  for (auto& [plan, entry] : links_) {
    spa_hook_remove(&entry->hook);
    pw_proxy_destroy(entry->proxy);
  }
  links_.clear();
  if (stream_) {
    spa_hook_remove(&hook_->stream);
    pw_stream_destroy(stream_);
    stream_ = nullptr;
  }
}

void CaptureStream::graphChanged(const Graph& graph) {
  reconcile(graph);
}

void CaptureStream::serverLost() {
  if (stream_)
    log(spec_.nodeName + ": the audio server went away");
  destroyLocked();
}

void CaptureStream::reconcile(const Graph& graph) {
  if (!stream_ || !planner_ || !host_->core())
    return;
  uint32_t own = pw_stream_get_node_id(stream_);
  if (own == SPA_ID_INVALID)
    return;
  std::vector<PlannedLink> wanted = planner_(graph, own);
  std::set<PlannedLink> want(wanted.begin(), wanted.end());
  for (auto it = links_.begin(); it != links_.end();) {
    if (it->second->dead || !want.contains(it->first)) {
      spa_hook_remove(&it->second->hook);
      pw_proxy_destroy(it->second->proxy);
      it = links_.erase(it);
    } else {
      ++it;
    }
  }
  for (const PlannedLink& plan : want) {
    if (links_.contains(plan))
      continue;
    // A link made by someone else already joins these ports: leave it.
    bool exists = false;
    for (const auto& [id, link] : graph.links)
      exists = exists || (link.outPort == plan.outPort && link.inPort == plan.inPort);
    if (exists)
      continue;
    pw_properties* props = pw_properties_new(PW_KEY_OBJECT_LINGER, "false", nullptr);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", plan.outNode);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", plan.outPort);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", plan.inNode);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", plan.inPort);
    auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(
        host_->core(), "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
    pw_properties_free(props);
    if (!proxy)
      continue;
    auto entry = std::make_unique<LinkEntry>();
    entry->proxy = proxy;
    pw_proxy_add_listener(proxy, &entry->hook, &kLinkEvents, entry.get());
    links_[plan] = std::move(entry);
  }
}

void CaptureStream::onWatchdog(void* data, uint64_t) {
  auto* self = static_cast<CaptureStream*>(data);
  if (!self->stream_)
    return;
  // Audio is due when we are always driven, or when a source we are linked to is running. A
  // node of ours left suspended with links in place is stuck whatever its sources do: a source
  // fed only by us does not run while we don't.
  const Graph& graph = self->host_->graph();
  bool due = self->spec_.alwaysProcess;
  for (const auto& [plan, entry] : self->links_) {
    auto source = graph.nodes.find(plan.outNode);
    due = due || (source != graph.nodes.end() && source->second.state == "running");
  }
  auto own = graph.nodes.find(pw_stream_get_node_id(self->stream_));
  bool suspended = own != graph.nodes.end() && own->second.state == "suspended" &&
                   (self->spec_.alwaysProcess || !self->links_.empty());
  uint64_t now = monotonicNs();
  if (!due && !suspended) {
    self->lastProcessNs_ = now;
    return;
  }
  uint64_t silent = now - self->lastProcessNs_;
  if (silent < (suspended ? self->stallNs_ / 4 : self->stallNs_))
    return;
  if (suspended && !self->relinked_) {
    // First try: links made anew, once the old ones are gone.
    log(self->spec_.nodeName + ": suspended while linked; linking again");
    self->relinked_ = true;
    for (auto& [plan, entry] : self->links_) {
      spa_hook_remove(&entry->hook);
      pw_proxy_destroy(entry->proxy);
    }
    self->links_.clear();
    self->lastProcessNs_ = now;
    return;
  }
  self->relinked_ = false;
  // A slow machine may just need longer to start: each restart waits twice as long, up to 4x.
  self->stallNs_ = std::min(self->stallNs_ * 2, 4 * kStallNs);
  log(self->spec_.nodeName + (suspended ? ": suspended while linked" : ": no audio while linked") +
      "; starting the stream again");
  self->dropStreamLocked();
  if (auto created = self->createLocked(); !created)
    log(self->spec_.nodeName + ": " + created.error());
}

void CaptureStream::onProcess(void* data) {
  auto* self = static_cast<CaptureStream*>(data);
  // Not a real-time callback: when the loop thread ran late, several cycles' buffers wait. Take
  // them all, or the stream runs out of free buffers and stalls.
  std::array<pw_buffer*, 64> buffers{};
  size_t count = 0;
  while (count < buffers.size())
    if (pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream_))
      buffers[count++] = buffer;
    else
      break;
  if (count == 0)
    return;
  self->lastProcessNs_ = monotonicNs();
  self->stallNs_ = kStallNs;
  self->relinked_ = false;
  struct View {
    const float* samples = nullptr;
    size_t count = 0;
  };
  std::array<View, 64> views{};
  uint64_t queuedFrames = 0;
  for (size_t i = 0; i < count; ++i) {
    spa_data& d = buffers[i]->buffer->datas[0];
    if (!d.data || !d.chunk)
      continue;
    uint32_t offset = std::min(d.chunk->offset, d.maxsize);
    uint32_t size = std::min(d.chunk->size, d.maxsize - offset);
    views[i] = {reinterpret_cast<const float*>(static_cast<uint8_t*>(d.data) + offset),
                size / sizeof(float)};
    if (self->channels_ > 0)
      queuedFrames += views[i].count / self->channels_;
  }

  // The newest buffer's first sample left the source `delay` ticks before `now`, plus what the
  // converter holds; each older buffer is older by the frames that followed it.
  pw_time time{};
  double clockRate = 0;
  uint64_t newestNs = monotonicNs();
  if (pw_stream_get_time_n(self->stream_, &time, sizeof time) == 0 && time.now > 0) {
    newestNs = static_cast<uint64_t>(time.now);
    if (time.rate.denom > 0 && time.rate.num > 0) {
      clockRate = static_cast<double>(time.rate.denom) / time.rate.num;
      double behind = static_cast<double>(std::max<int64_t>(time.delay, 0)) / clockRate;
      if (self->rate_ > 0)
        behind += static_cast<double>(time.buffered) / self->rate_;
      auto ns = static_cast<uint64_t>(behind * 1e9);
      newestNs = newestNs > ns ? newestNs - ns : 0;
    }
  }
  uint64_t newestFrames = self->channels_ > 0 ? views[count - 1].count / self->channels_ : 0;
  uint64_t framesBefore = queuedFrames - newestFrames; // frames of all but the newest
  for (size_t i = 0; i < count; ++i) {
    if (views[i].samples && self->block_ && self->channels_ > 0 && self->rate_ > 0) {
      auto olderNs = static_cast<uint64_t>(static_cast<double>(framesBefore) / self->rate_ * 1e9);
      uint64_t at = newestNs > olderNs ? newestNs - olderNs : 0;
      self->block_(views[i].samples, views[i].count, self->channels_, self->rate_, clockRate, at);
    }
    if (self->channels_ > 0 && i + 1 < count)
      framesBefore -= std::min<uint64_t>(framesBefore, views[i].count / self->channels_);
    pw_stream_queue_buffer(self->stream_, buffers[i]);
  }
}

void CaptureStream::onParamChanged(void* data, uint32_t id, const spa_pod* param) {
  auto* self = static_cast<CaptureStream*>(data);
  if (id != SPA_PARAM_Format || !param)
    return;
  spa_audio_info_raw info{};
  if (spa_format_audio_raw_parse(param, &info) < 0)
    return;
  self->rate_ = info.rate;
  self->channels_ = info.channels;
  // Our callback runs on the loop thread, not in real time: room for 32 cycles (about 0.7 s at
  // 1024 frames and 48 kHz) before a late callback costs audio.
  uint8_t podBuffer[256];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(podBuffer, sizeof podBuffer);
  const spa_pod* buffers[1] = {static_cast<const spa_pod*>(
      spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
                                 SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(32, 2, 64)))};
  pw_stream_update_params(self->stream_, buffers, 1);
  if (self->negotiated_)
    self->negotiated_(info.rate, info.channels);
}

void CaptureStream::onStateChanged(void* data, int, int state, const char* error) {
  auto* self = static_cast<CaptureStream*>(data);
  if (state == PW_STREAM_STATE_ERROR)
    log(self->spec_.nodeName + ": " + (error ? error : "stream error"));
}

} // namespace va::pw
