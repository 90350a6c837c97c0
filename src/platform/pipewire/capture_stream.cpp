#include "platform/pipewire/capture_stream.h"

#include "core/clock.h"
#include "core/log.h"

#include <array>
#include <atomic>
#include <cstring>
#include <ctime>
#include <map>
#include <pthread.h>
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
//
// Why a node of ours is retired, not destroyed.
//
// Each link takes a mix slot on the source's output port, and the server hands a freed slot to
// the next link made on that port at once. When a capture stopped and the next one linked the
// same player within a few hundred milliseconds, the new link got the slot the old one had just
// given up, and the player's side (0.3.65) sometimes finished tearing the old one down after
// setting the new one up: the link stood "active", both nodes ran, and every buffer our port got
// was flagged empty, for good. We substituted silence, so a remote track held digital silence in
// half of the captures that followed another; linking again the same way took the same slot and
// failed the same way. So a node we are done with is deactivated and handed to the host with
// its links, which destroys it a second later: a new link made meanwhile gets a fresh slot (a
// stream that makes nodes faster than that waits for room rather than cutting links short: a
// burst of captures stopped at once left a player's output silent to every new link). A
// node whose path still brings nothing is replaced the same way (the new node is linked while
// the old links still hold their slots), and cycles that bring nothing are never passed off as
// silence before the first that brought something.

namespace va::pw {

struct CaptureStream::Port {
  uint32_t index = 0;
};

struct CaptureStream::LinkEntry {
  pw_proxy* proxy = nullptr;
  spa_hook hook{};
  bool dead = false; // the server removed it or refused it; made again on the next reconcile
};

// What the data thread works on, and what outlives the stream when it is retired. The loop
// thread owns it under the loop lock; the data thread reads `ports`, `ring`, `alwaysProcess`
// and `blocksReady`, which do not change while the filter exists.
struct CaptureStream::Node final : Host::Retired {
  explicit Node(pw_loop* l) : loop(l) {}
  ~Node() override;

  pw_loop* const loop;
  CaptureStream* owner = nullptr; // loop thread; none once retired
  bool alwaysProcess = false;
  pw_filter* filter = nullptr;
  spa_hook hook{};
  std::vector<Port*> ports; // owned by the filter
  std::unique_ptr<BlockRing> ring;
  spa_source* blocksReady = nullptr; // signalled by the data thread after each push
  std::map<PlannedLink, std::unique_ptr<LinkEntry>> links;
  std::atomic<bool> retired{false};
  std::atomic<uint64_t> lastCycleNs{0}; // CLOCK_MONOTONIC of the newest cycle (data thread)
  // Data thread only: a cycle has brought data from a peer. Until then an always-processing
  // node hands over nothing, so a track never starts with silence nobody played.
  bool heardOnce = false;
  // Data thread only: blocks pushed since the loop thread was last woken, and the clock time of
  // the first of them.
  size_t unsignalled = 0;
  uint64_t unsignalledSinceNs = 0;

  // Under the loop lock: hands every waiting block to the owner (a retired node's are dropped).
  void drain();

  void dropLinks();
  void quiesce() override;
  static void onStateChanged(void* data, pw_filter_state old, pw_filter_state state,
                             const char* error);
  static void onProcess(void* data, spa_io_position* position) noexcept;
  static void onBlocks(void* data, uint64_t count) noexcept;
};

namespace {

// Frames of one cycle we accept (the server's quantum limit) and ports per node.
constexpr uint32_t kMaxFrames = 8192;
constexpr size_t kMaxPorts = 64;
// Room per channel between the data thread and the loop thread: 32768 frames, about 0.7 s at
// 48 kHz, in at most 64 cycles, before a late loop thread costs audio.
constexpr size_t kRingFramesPerChannel = 32768;
constexpr size_t kRingBlocks = 64;
// How often the path is judged (and waiting blocks are taken, whatever the data thread does).
constexpr uint64_t kCheckNs = 250'000'000;
// The data thread wakes the loop thread once per this much audio, or per this many blocks (a
// quarter of the ring, for small quanta), not every cycle: waking two threads a cycle cost more
// than the audio's whole handling. Only the arrival of blocks waits; their times stay the
// cycles' own.
constexpr uint64_t kSignalNs = 80'000'000;
constexpr size_t kSignalBlocks = kRingBlocks / 4;
// The longest run of cycles that brought nothing while a source ran that is left out of the
// track: below the 0.5 s after which a sink starts a new segment, so the sink fills it with
// silence of its length and counts it as a dropout. A longer run is the path watch's to judge.
constexpr uint64_t kWithholdNs = 400'000'000;

uint64_t monotonicNs() {
  return static_cast<uint64_t>(MonotonicClock().nowNs());
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

CaptureStream::Node::~Node() {
  dropLinks();
  if (filter) {
    // Returns once the data thread has let go of the node: nothing pushes after this.
    spa_hook_remove(&hook);
    pw_filter_destroy(filter);
  }
  if (blocksReady)
    pw_loop_destroy_source(loop, blocksReady);
}

void CaptureStream::Node::onStateChanged(void* data, pw_filter_state, pw_filter_state state,
                                         const char* error) {
  auto* self = static_cast<Node*>(data);
  if (state == PW_FILTER_STATE_ERROR && self->owner)
    log(self->owner->spec_.nodeName + ": " + (error ? error : "stream error"));
}

void CaptureStream::Node::dropLinks() {
  for (auto& [plan, entry] : links) {
    spa_hook_remove(&entry->hook);
    pw_proxy_destroy(entry->proxy);
  }
  links.clear();
}

void CaptureStream::Node::quiesce() {
  // Unlinked, inactive and no longer always processed, the node belongs to no driver's group, and
  // the graph has nothing more to send it.
  dropLinks();
  if (filter && alwaysProcess) {
    spa_dict_item item = SPA_DICT_ITEM_INIT(PW_KEY_NODE_ALWAYS_PROCESS, "false");
    spa_dict dict = SPA_DICT_INIT(&item, 1);
    pw_filter_update_properties(filter, nullptr, &dict);
  }
}

CaptureStream::CaptureStream(std::shared_ptr<Host> host) : host_(std::move(host)) {}

CaptureStream::~CaptureStream() {
  stop();
}

std::expected<void, std::string> CaptureStream::start(const StreamSpec& spec, Planner planner,
                                                      Block block, Repaired repaired) {
  stop();
  Host::Lock lock(*host_);
  host_->awaitRetireRoom();
  spec_ = spec;
  if (spec_.positions.empty() || spec_.positions.size() > kMaxPorts)
    return std::unexpected("pw_filter_add_port: " + std::to_string(spec_.positions.size()) +
                           " channels");
  watchdog_ = pw_loop_add_timer(pw_thread_loop_get_loop(host_->threadLoop()), onWatchdog, this);
  if (!watchdog_)
    return std::unexpected(std::string("pw_loop_add_timer: ") + std::strerror(errno));
  if (auto made = makeNodeLocked(); !made) {
    destroyLocked();
    return made;
  }
  planner_ = std::move(planner);
  block_ = std::move(block);
  repaired_ = std::move(repaired);
  watch_ = PathWatch();
  watch_.grace(monotonicNs());
  lastCheckNs_ = 0;
  timespec period{0, static_cast<long>(kCheckNs)};
  pw_loop_update_timer(pw_thread_loop_get_loop(host_->threadLoop()), watchdog_, &period, &period,
                       false);
  host_->addWatcher(this);
  graphChanged(host_->graph());
  return {};
}

std::expected<void, std::string> CaptureStream::makeNodeLocked() {
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
      .state_changed = Node::onStateChanged,
      .io_changed = nullptr,
      .param_changed = nullptr,
      .add_buffer = nullptr,
      .remove_buffer = nullptr,
      .process = Node::onProcess,
      .drained = nullptr,
      .command = nullptr,
  };
  pw_loop* loop = pw_thread_loop_get_loop(host_->threadLoop());
  auto node = std::make_unique<Node>(loop);
  node->owner = this;
  node->alwaysProcess = spec_.alwaysProcess;
  node->filter = filter;
  pw_filter_add_listener(filter, &node->hook, &events, node.get());
  for (const std::string& position : spec_.positions) {
    pw_properties* portProps = pw_properties_new(
        PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_AUDIO_CHANNEL, position.c_str(),
        PW_KEY_PORT_NAME, ("input_" + position).c_str(), nullptr);
    auto* port = static_cast<Port*>(pw_filter_add_port(filter, PW_DIRECTION_INPUT,
                                                       PW_FILTER_PORT_FLAG_MAP_BUFFERS,
                                                       sizeof(Port), portProps, nullptr, 0));
    if (!port)
      return std::unexpected(std::string("pw_filter_add_port: ") + std::strerror(errno));
    port->index = static_cast<uint32_t>(node->ports.size());
    node->ports.push_back(port);
  }
  node->ring = std::make_unique<BlockRing>(kRingFramesPerChannel * node->ports.size(), kRingBlocks);
  node->blocksReady = pw_loop_add_event(loop, Node::onBlocks, node.get());
  if (!node->blocksReady)
    return std::unexpected(std::string("pw_loop_add_event: ") + std::strerror(errno));
  // The process callback runs on the data thread: it only copies each cycle into the ring.
  if (int res = pw_filter_connect(filter, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0); res < 0)
    return std::unexpected(std::string("pw_filter_connect: ") + spa_strerror(res));
  node_ = std::move(node);
  held_.reset();
  firstDated_ = false;
  unheardSinceNs_.reset();
  cycleClock_ = CycleClock();
  return {};
}

void CaptureStream::retireNodeLocked() {
  if (!node_)
    return;
  node_->retired.store(true, std::memory_order_release);
  node_->drain(); // what the node brought before it goes belongs to the track
  node_->owner = nullptr;
  pw_filter_set_active(node_->filter, false);
  host_->retire(std::move(node_));
}

void CaptureStream::replan(Planner planner) {
  Host::Lock lock(*host_);
  planner_ = std::move(planner);
  if (node_)
    graphChanged(host_->graph());
}

void CaptureStream::stop() {
  Host::Lock lock(*host_);
  destroyLocked();
}

bool CaptureStream::running() const {
  Host::Lock lock(*host_);
  return node_ != nullptr;
}

void CaptureStream::destroyLocked() {
  host_->removeWatcher(this);
  if (watchdog_) {
    pw_loop_destroy_source(pw_thread_loop_get_loop(host_->threadLoop()), watchdog_);
    watchdog_ = nullptr;
  }
  retireNodeLocked();
  planner_ = nullptr;
  block_ = nullptr;
  repaired_ = nullptr;
}

void CaptureStream::graphChanged(const Graph& graph) {
  reconcile(graph);
  sourcesRunning_ = linkedSourceRunning(graph);
}

bool CaptureStream::linkedSourceRunning(const Graph& graph) const {
  if (!node_)
    return false;
  for (const auto& [plan, entry] : node_->links)
    if (auto source = graph.nodes.find(plan.outNode);
        source != graph.nodes.end() && source->second.state == "running")
      return true;
  return false;
}

void CaptureStream::serverLost() {
  if (node_)
    log(spec_.nodeName + ": the audio server went away");
  node_.reset(); // the connection goes: nothing of it may wait
  destroyLocked();
}

void CaptureStream::reconcile(const Graph& graph) {
  if (!node_ || !planner_ || !host_->core())
    return;
  uint32_t own = pw_filter_get_node_id(node_->filter);
  if (own == SPA_ID_INVALID)
    return;
  std::vector<PlannedLink> wanted = planner_(graph, own);
  std::set<PlannedLink> want(wanted.begin(), wanted.end());
  auto& links = node_->links;
  for (auto it = links.begin(); it != links.end();) {
    if (it->second->dead || !want.contains(it->first)) {
      spa_hook_remove(&it->second->hook);
      pw_proxy_destroy(it->second->proxy);
      it = links.erase(it);
    } else {
      ++it;
    }
  }
  for (const PlannedLink& plan : want) {
    if (links.contains(plan))
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
    links[plan] = std::move(entry);
  }
}

void CaptureStream::onWatchdog(void* data, uint64_t) {
  auto* self = static_cast<CaptureStream*>(data);
  if (!self->node_) {
    // A node that could not be made anew is tried again; the graph's events link it.
    if (auto made = self->makeNodeLocked(); made)
      self->watch_.grace(monotonicNs());
    return;
  }
  Node& node = *self->node_;
  node.drain();
  // Cycles that brought nothing are not handed over: the newest one's time tells the watch
  // that the node is scheduled.
  uint64_t lastCycleNs = node.lastCycleNs.load(std::memory_order_relaxed);
  self->watch_.cycle(lastCycleNs, false);
  const Graph& graph = self->host_->graph();
  const bool due = self->sourcesRunning_ = self->linkedSourceRunning(graph);
  auto own = graph.nodes.find(pw_filter_get_node_id(node.filter));
  bool suspended = own != graph.nodes.end() && own->second.state == "suspended" &&
                   (node.alwaysProcess || !node.links.empty());
  uint64_t now = monotonicNs();
  // A check that comes late says this process was held back itself: what it missed is no fault
  // of the path, and a new node would not help.
  bool starved = self->lastCheckNs_ != 0 && now > self->lastCheckNs_ + 2 * kCheckNs;
  self->lastCheckNs_ = now;
  if (starved) {
    self->watch_.grace(now);
    return;
  }
  bool unscheduled = node.alwaysProcess && now > lastCycleNs + PathWatch::kBrokenNs;
  if (self->watch_.check(now, due, suspended || unscheduled) == PathWatch::Action::none)
    return;
  log(self->spec_.nodeName + ": nothing reaches us from its sources; making the node anew");
  // The old node keeps its links (and their slots) while the new one is linked.
  self->retireNodeLocked();
  if (auto made = self->makeNodeLocked(); !made) {
    log(self->spec_.nodeName + ": " + made.error());
    return;
  }
  self->watch_.grace(now);
}

void CaptureStream::delivered(const BlockRing::Header& header, std::span<const float> planar) {
  // A node that joins the graph is now and then run twice in one cycle (same position, same
  // time): the repeat would put a quantum of audio in twice and move every later frame late.
  if (header.timeNs <= lastCycleNs_)
    return;
  lastCycleNs_ = header.timeNs;
  if (!firstDated_ && !held_) {
    // The cycle in which a node of ours joins is often longer than the block it hands over (the
    // quantum shrinks to ours: a 2048-frame cycle brings 1024), though the audio runs on without
    // a break into the next block. Its own time would open every track with a quantum's hole,
    // so the first block is held back and dated from the second, which starts the cycle clock.
    held_ = Held{header, std::vector<float>(planar.begin(), planar.end())};
    return;
  }
  BlockRing::Header dated = header;
  dated.timeNs = cycleClock_.date(header.position, header.rateHz, header.timeNs);
  if (held_) {
    // Dated by its position from the second: right after it when no cycle was missed between
    // them, a missed cycle earlier.
    BlockRing::Header& first = held_->header;
    const uint64_t framesApart = header.position - first.position;
    const auto apartNs =
        static_cast<uint64_t>(static_cast<double>(framesApart) / first.rateHz * 1e9);
    if (header.rateHz == first.rateHz && header.position > first.position &&
        framesApart <= 4 * static_cast<uint64_t>(first.frames) && dated.timeNs >= apartNs)
      first.timeNs = dated.timeNs - apartNs;
    Held block = std::move(*held_);
    held_.reset();
    deliver(block.header, block.planar);
  }
  firstDated_ = true;
  deliver(dated, planar);
}

void CaptureStream::deliver(const BlockRing::Header& header, std::span<const float> planar) {
  // A cycle that brought nothing while a source we link to ran (it was late, or the path
  // dropped it) is not passed off as silence somebody played: it is left out, and the sink
  // fills its time with silence that it reports as a dropout.
  bool withheld = false;
  if (header.heard || !sourcesRunning_) {
    unheardSinceNs_.reset();
  } else {
    if (!unheardSinceNs_)
      unheardSinceNs_ = header.timeNs;
    const auto endNs = header.timeNs + static_cast<uint64_t>(static_cast<double>(header.frames) /
                                                             header.rateHz * 1e9);
    withheld = endNs - *unheardSinceNs_ <= kWithholdNs;
  }
  if (block_ && !withheld)
    block_(planar.data(), header.frames, header.channels, header.rateHz, header.timeNs);
  if (std::optional<PathWatch::Repair> repair = watch_.cycle(header.timeNs, header.heard)) {
    double lostS = static_cast<double>(repair->lostNs) / 1e9;
    log(spec_.nodeName + ": repaired (" + repair->reason + "), " + std::to_string(lostS) +
        " s lost");
    if (repaired_)
      repaired_(lostS, repair->reason);
  }
}

void CaptureStream::Node::onProcess(void* data, spa_io_position* position) noexcept {
  // The data thread: copy this cycle into the ring and wake the loop thread. Nothing else.
  auto* self = static_cast<Node*>(data);
  if (!position || self->retired.load(std::memory_order_acquire))
    return;
  if (thread_local bool named = false; !named) { // the server's data thread, as tools show it
    pthread_setname_np(pthread_self(), "pw.data");
    named = true;
  }
  const spa_io_clock& clock = position->clock;
  self->lastCycleNs.store(clock.nsec, std::memory_order_relaxed);
  const auto frames = static_cast<uint32_t>(std::min<uint64_t>(clock.duration, kMaxFrames));
  const double rateHz =
      clock.rate.num > 0 ? static_cast<double>(clock.rate.denom) / clock.rate.num : 0;
  const size_t count = std::min(self->ports.size(), kMaxPorts);
  std::array<pw_buffer*, kMaxPorts> taken{};
  std::array<const float*, kMaxPorts> channels{};
  std::array<uint32_t, kMaxPorts> available{};
  bool heard = false; // some port got data from a peer (not just the mixer's empty buffer)
  for (size_t i = 0; i < count; ++i) {
    pw_buffer* buffer = pw_filter_dequeue_buffer(self->ports[i]);
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
  self->heardOnce = self->heardOnce || heard;
  if ((heard || (self->alwaysProcess && self->heardOnce)) && frames > 0 && rateHz > 0) {
    // The cycle began at clock.nsec; a capture driver's delay dates its first frame earlier.
    uint64_t timeNs = clock.nsec;
    if (clock.delay > 0) {
      auto delayNs = static_cast<uint64_t>(static_cast<double>(clock.delay) / rateHz * 1e9);
      timeNs = timeNs > delayNs ? timeNs - delayNs : 0;
    }
    BlockRing::Header header{.timeNs = timeNs,
                             .position = clock.position,
                             .rateHz = rateHz,
                             .frames = frames,
                             .channels = static_cast<uint32_t>(count),
                             .heard = heard};
    if (self->ring->push(header, std::span(channels.data(), count),
                         std::span(available.data(), count))) {
      if (self->unsignalled++ == 0)
        self->unsignalledSinceNs = clock.nsec;
      const auto heldNs = clock.nsec - self->unsignalledSinceNs +
                          static_cast<uint64_t>(static_cast<double>(frames) / rateHz * 1e9);
      if (heldNs >= kSignalNs || self->unsignalled >= kSignalBlocks) {
        pw_loop_signal_event(self->loop, self->blocksReady);
        self->unsignalled = 0;
      }
    }
  }
  for (size_t i = 0; i < count; ++i)
    if (taken[i])
      pw_filter_queue_buffer(self->ports[i], taken[i]);
}

void CaptureStream::Node::onBlocks(void* data, uint64_t) noexcept {
  static_cast<Node*>(data)->drain();
}

void CaptureStream::Node::drain() {
  // A retired node's blocks are nobody's: drained and dropped.
  ring->drain([this](const BlockRing::Header& header, std::span<const float> planar) {
    if (owner)
      owner->delivered(header, planar);
  });
  if (uint64_t dropped = ring->takeDropped(); dropped && owner)
    log(owner->spec_.nodeName + ": " + std::to_string(dropped) +
        " cycles of audio lost (the loop thread fell behind)");
}

} // namespace va::pw
