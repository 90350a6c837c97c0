#include "platform/pipewire/capture_stream.h"

#include "core/log.h"

#include <array>
#include <cstring>
#include <ctime>
#include <set>

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>
#include <spa/utils/result.h>

// Why a filter without a media class, linked by us.
//
// Our earlier capture node was a stream (an adapter) that asked for its own ports
// (adapter.auto-port-config), was always processed and wanted a driver. The session manager
// makes every node of class Stream/*, Audio/* or Video/* one of its "linkables" and, to activate
// it, sets its PortConfig. Ours was already started by then, and a started adapter refuses
// PortConfig with EIO: "node_set_param(Spa:Enum:ParamId:PortConfig) failed: Input/output error".
// That linkable never became active, and the session manager's policy postpones every rescan
// while any linkable is pending ("1 pending linkable(s) not activated in 20sec"): every stream
// that appeared after ours, in any application, stayed suspended and unlinked until ours went.
// The same fight left our own node suspended at the start of some tracks.
//
// A filter node with no media class is no linkable at all: the session manager never configures
// it, never routes it and never waits for it, with or without a session manager its ports are
// the ones we declare, and our non-lingering links are the only thing that joins it to the graph.

namespace va::pw {

struct CaptureStream::Hook {
  spa_hook filter{};
};

struct CaptureStream::Port {
  uint32_t index = 0;
};

struct CaptureStream::LinkEntry {
  pw_proxy* proxy = nullptr;
  spa_hook hook{};
  bool dead = false; // the server removed it or refused it; made again on the next reconcile
};

namespace {

// Frames of one cycle we accept (the server's quantum limit) and ports per node.
constexpr uint32_t kMaxFrames = 8192;
constexpr size_t kMaxPorts = 64;
// Room per channel between the data thread and the loop thread: 32768 frames, about 0.7 s at
// 48 kHz, in at most 64 cycles, before a late loop thread costs audio.
constexpr size_t kRingFramesPerChannel = 32768;
constexpr size_t kRingBlocks = 64;

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
                                                      Block block, Repaired repaired) {
  stop();
  Host::Lock lock(*host_);
  spec_ = spec;
  if (spec_.positions.empty() || spec_.positions.size() > kMaxPorts)
    return std::unexpected("pw_filter_add_port: " + std::to_string(spec_.positions.size()) +
                           " channels");
  if (auto created = createLocked(); !created)
    return created;
  planner_ = std::move(planner);
  block_ = std::move(block);
  repaired_ = std::move(repaired);
  watch_ = PathWatch();
  watch_.started(monotonicNs());
  watchdog_ = pw_loop_add_timer(pw_thread_loop_get_loop(host_->threadLoop()), onWatchdog, this);
  if (!watchdog_) {
    dropStreamLocked();
    return std::unexpected(std::string("pw_loop_add_timer: ") + std::strerror(errno));
  }
  timespec period{0, 250'000'000};
  pw_loop_update_timer(pw_thread_loop_get_loop(host_->threadLoop()), watchdog_, &period, &period,
                       false);
  host_->addWatcher(this);
  reconcile(host_->graph());
  return {};
}

std::expected<void, std::string> CaptureStream::createLocked() {
  if (!host_->core())
    return std::unexpected("pw_filter_new: no audio server is connected");
  // A recorder must not shrink everyone's quantum, take a media role or be routed by the session
  // manager: fixed latency of 1024 frames at 48 kHz, no role, no media class.
  pw_properties* props =
      pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                        PW_KEY_NODE_NAME, spec_.nodeName.c_str(), PW_KEY_NODE_DESCRIPTION,
                        spec_.description.c_str(), PW_KEY_NODE_LATENCY, "1024/48000", nullptr);
  if (spec_.alwaysProcess)
    pw_properties_set(props, PW_KEY_NODE_ALWAYS_PROCESS, "true");
  pw_filter* filter = pw_filter_new(host_->core(), spec_.nodeName.c_str(), props);
  if (!filter)
    return std::unexpected(std::string("pw_filter_new: ") + std::strerror(errno));
  static const pw_filter_events events = {
      .version = PW_VERSION_FILTER_EVENTS,
      .destroy = nullptr,
      .state_changed = [](void* data, pw_filter_state old, pw_filter_state state,
                          const char* error) { onStateChanged(data, old, state, error); },
      .io_changed = nullptr,
      .param_changed = nullptr,
      .add_buffer = nullptr,
      .remove_buffer = nullptr,
      .process = onProcess,
      .drained = nullptr,
      .command = nullptr,
  };
  hook_ = std::make_unique<Hook>();
  pw_filter_add_listener(filter, &hook_->filter, &events, this);
  std::vector<Port*> ports;
  for (const std::string& position : spec_.positions) {
    pw_properties* portProps = pw_properties_new(
        PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_AUDIO_CHANNEL, position.c_str(),
        PW_KEY_PORT_NAME, ("input_" + position).c_str(), nullptr);
    auto* port = static_cast<Port*>(pw_filter_add_port(filter, PW_DIRECTION_INPUT,
                                                       PW_FILTER_PORT_FLAG_MAP_BUFFERS,
                                                       sizeof(Port), portProps, nullptr, 0));
    if (!port) {
      spa_hook_remove(&hook_->filter);
      pw_filter_destroy(filter);
      return std::unexpected(std::string("pw_filter_add_port: ") + std::strerror(errno));
    }
    port->index = static_cast<uint32_t>(ports.size());
    ports.push_back(port);
  }
  pw_loop* loop = pw_thread_loop_get_loop(host_->threadLoop());
  ring_ = std::make_unique<BlockRing>(kRingFramesPerChannel * ports.size(), kRingBlocks);
  blocksReady_ = pw_loop_add_event(loop, onBlocks, this);
  ports_ = std::move(ports);
  filter_ = filter;
  heardOnce_ = false;
  if (!blocksReady_) {
    dropStreamLocked();
    return std::unexpected(std::string("pw_loop_add_event: ") + std::strerror(errno));
  }
  // The process callback runs on the data thread: it only copies each cycle into the ring.
  if (int res = pw_filter_connect(filter, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0); res < 0) {
    dropStreamLocked();
    return std::unexpected(std::string("pw_filter_connect: ") + spa_strerror(res));
  }
  return {};
}

void CaptureStream::replan(Planner planner) {
  Host::Lock lock(*host_);
  planner_ = std::move(planner);
  if (filter_)
    reconcile(host_->graph());
}

void CaptureStream::stop() {
  Host::Lock lock(*host_);
  destroyLocked();
}

bool CaptureStream::running() const {
  Host::Lock lock(*host_);
  return filter_ != nullptr;
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
  repaired_ = nullptr;
}

void CaptureStream::dropLinksLocked() {
  for (auto& [plan, entry] : links_) {
    spa_hook_remove(&entry->hook);
    pw_proxy_destroy(entry->proxy);
  }
  links_.clear();
}

void CaptureStream::dropStreamLocked() {
  dropLinksLocked();
  if (filter_) {
    // Returns once the data thread has let go of the node: nothing pushes after this.
    spa_hook_remove(&hook_->filter);
    pw_filter_destroy(filter_);
    filter_ = nullptr;
  }
  ports_.clear();
  if (blocksReady_) {
    pw_loop_destroy_source(pw_thread_loop_get_loop(host_->threadLoop()), blocksReady_);
    blocksReady_ = nullptr;
  }
  ring_.reset();
}

void CaptureStream::graphChanged(const Graph& graph) {
  reconcile(graph);
}

void CaptureStream::serverLost() {
  if (filter_)
    log(spec_.nodeName + ": the audio server went away");
  destroyLocked();
}

void CaptureStream::reconcile(const Graph& graph) {
  if (!filter_ || !planner_ || !host_->core())
    return;
  uint32_t own = pw_filter_get_node_id(filter_);
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
  if (!self->filter_)
    return;
  // Cycles that brought nothing are not handed over: the newest one's time tells the watch
  // that the node is scheduled.
  self->watch_.cycle(self->lastCycleNs_.load(std::memory_order_relaxed), false);
  const Graph& graph = self->host_->graph();
  bool due = false;
  for (const auto& [plan, entry] : self->links_) {
    auto source = graph.nodes.find(plan.outNode);
    due = due || (source != graph.nodes.end() && source->second.state == "running");
  }
  auto own = graph.nodes.find(pw_filter_get_node_id(self->filter_));
  bool suspended = own != graph.nodes.end() && own->second.state == "suspended" &&
                   (self->spec_.alwaysProcess || !self->links_.empty());
  uint64_t now = monotonicNs();
  bool unscheduled =
      self->spec_.alwaysProcess &&
      now > self->lastCycleNs_.load(std::memory_order_relaxed) + PathWatch::kBrokenNs;
  switch (self->watch_.check(now, due, suspended || unscheduled)) {
  case PathWatch::Action::none:
    return;
  case PathWatch::Action::relink:
    log(self->spec_.nodeName + ": nothing reaches us from its sources; linking again");
    self->dropLinksLocked();
    self->reconcile(graph);
    return;
  case PathWatch::Action::restart:
    log(self->spec_.nodeName + ": still nothing; starting the stream again");
    self->dropStreamLocked();
    if (auto created = self->createLocked(); !created) {
      log(self->spec_.nodeName + ": " + created.error());
      return;
    }
    self->watch_.started(now);
    return;
  }
}

void CaptureStream::onProcess(void* data, spa_io_position* position) noexcept {
  // The data thread: copy this cycle into the ring and wake the loop thread. Nothing else.
  auto* self = static_cast<CaptureStream*>(data);
  if (!position || !self->ring_)
    return;
  const spa_io_clock& clock = position->clock;
  self->lastCycleNs_.store(clock.nsec, std::memory_order_relaxed);
  const auto frames = static_cast<uint32_t>(std::min<uint64_t>(clock.duration, kMaxFrames));
  const double rateHz =
      clock.rate.num > 0 ? static_cast<double>(clock.rate.denom) / clock.rate.num : 0;
  const size_t count = std::min(self->ports_.size(), kMaxPorts);
  std::array<pw_buffer*, kMaxPorts> taken{};
  std::array<const float*, kMaxPorts> channels{};
  std::array<uint32_t, kMaxPorts> available{};
  bool heard = false; // some port got data from a peer (not just the mixer's empty buffer)
  for (size_t i = 0; i < count; ++i) {
    pw_buffer* buffer = pw_filter_dequeue_buffer(self->ports_[i]);
    taken[i] = buffer;
    if (!buffer || buffer->buffer->n_datas < 1)
      continue;
    const spa_data& d = buffer->buffer->datas[0];
    if (!d.data || !d.chunk || (d.chunk->flags & SPA_CHUNK_FLAG_EMPTY))
      continue;
    uint32_t offset = std::min(d.chunk->offset, d.maxsize);
    uint32_t size = std::min(d.chunk->size, d.maxsize - offset);
    channels[i] = reinterpret_cast<const float*>(static_cast<const uint8_t*>(d.data) + offset);
    available[i] = size / sizeof(float);
    heard = heard || size > 0;
  }
  self->heardOnce_ = self->heardOnce_ || heard;
  if ((heard || (self->spec_.alwaysProcess && self->heardOnce_)) && frames > 0 && rateHz > 0) {
    // The cycle began at clock.nsec. When the cycle is longer than its block (the quantum
    // shrank as this node joined: a 2048-frame cycle hands over 1024), the block's audio runs
    // on into the next cycle, which starts at next_nsec: it is dated back from there, or every
    // later block would seem a quantum late. A capture driver's delay dates it earlier still.
    const auto spanNs = static_cast<uint64_t>(frames / rateHz * 1e9);
    uint64_t timeNs = clock.nsec;
    if (clock.next_nsec > clock.nsec + spanNs && clock.next_nsec < clock.nsec + 16 * spanNs)
      timeNs = clock.next_nsec - spanNs;
    if (clock.delay > 0) {
      auto delayNs = static_cast<uint64_t>(static_cast<double>(clock.delay) / rateHz * 1e9);
      timeNs = timeNs > delayNs ? timeNs - delayNs : 0;
    }
    BlockRing::Header header{.timeNs = timeNs,
                             .rateHz = rateHz,
                             .frames = frames,
                             .channels = static_cast<uint32_t>(count),
                             .heard = heard};
    if (self->ring_->push(header, std::span(channels.data(), count),
                          std::span(available.data(), count)))
      pw_loop_signal_event(pw_thread_loop_get_loop(self->host_->threadLoop()), self->blocksReady_);
  }
  for (size_t i = 0; i < count; ++i)
    if (taken[i])
      pw_filter_queue_buffer(self->ports_[i], taken[i]);
}

void CaptureStream::onBlocks(void* data, uint64_t) noexcept {
  auto* self = static_cast<CaptureStream*>(data);
  if (!self->ring_)
    return;
  self->ring_->drain([self](const BlockRing::Header& header, std::span<const float> planar) {
    if (self->block_)
      self->block_(planar.data(), header.frames, header.channels, header.rateHz, header.timeNs);
    if (std::optional<PathWatch::Repair> repair = self->watch_.cycle(header.timeNs, header.heard)) {
      double lostS = static_cast<double>(repair->lostNs) / 1e9;
      log(self->spec_.nodeName + ": repaired (" + repair->reason + "), " + std::to_string(lostS) +
          " s lost");
      if (self->repaired_)
        self->repaired_(lostS, repair->reason);
    }
  });
  if (uint64_t dropped = self->ring_->takeDropped())
    log(self->spec_.nodeName + ": " + std::to_string(dropped) +
        " cycles of audio lost (the loop thread fell behind)");
}

void CaptureStream::onStateChanged(void* data, int, int state, const char* error) {
  auto* self = static_cast<CaptureStream*>(data);
  if (state == PW_FILTER_STATE_ERROR)
    log(self->spec_.nodeName + ": " + (error ? error : "stream error"));
}

} // namespace va::pw
