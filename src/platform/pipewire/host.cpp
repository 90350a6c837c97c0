#include "platform/pipewire/host.h"

#include "core/clock.h"
#include "core/json.h"
#include "core/log.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <tuple>

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/utils/result.h>

namespace va::pw {

namespace {

Props toProps(const spa_dict* dict) {
  Props props;
  if (!dict)
    return props;
  const spa_dict_item* item;
  spa_dict_for_each(item, dict) {
    if (item->key && item->value)
      props[item->key] = item->value;
  }
  return props;
}

uint32_t toId(const char* text) {
  if (!text)
    return 0;
  uint64_t value = 0;
  std::from_chars(text, text + std::strlen(text), value);
  return static_cast<uint32_t>(value);
}

const char* lookup(const spa_dict* dict, const char* key) {
  return dict ? spa_dict_lookup(dict, key) : nullptr;
}

// {"name":"x"} -> x
std::optional<std::string> nameOf(const char* value) {
  if (!value)
    return std::nullopt;
  std::optional<Json> json = parseJson(value);
  if (!json || !json->is_object() || !json->contains("name") || !(*json)["name"].is_string())
    return std::nullopt;
  return (*json)["name"].get<std::string>();
}

enum class Kind { node, port, client, device, metadataDefault, metadataSettings };

} // namespace

// What the diff between two publications compares.
struct Host::Views {
  std::vector<uint32_t> devices;
  std::map<uint32_t, std::pair<double, int64_t>> deviceConfig; // rate, channels
  std::optional<uint32_t> defaultInput;
  std::optional<std::string> defaultOutput;
  // Each process as the strategies see it: a new identity or pid is a change of the list.
  std::vector<std::tuple<uint32_t, int32_t, std::string>> processes;
  std::map<uint32_t, std::pair<bool, bool>> running;

  static Views of(const Graph& graph, int32_t ownPid) {
    Views views;
    for (const InputDevice& device : inputDevices(graph)) {
      views.devices.push_back(device.id);
      views.deviceConfig[device.id] = {device.nominalRate, device.inputChannels};
    }
    views.defaultInput = defaultInputID(graph);
    views.defaultOutput = graph.defaultSink;
    for (const AudioProcessInfo& process : audioProcesses(graph, ownPid)) {
      views.processes.emplace_back(process.objectID, process.pid, process.bundleID);
      views.running[process.objectID] = {process.runningOutput, process.runningInput};
    }
    return views;
  }
};

struct Host::Hooks {
  spa_hook core{};
  spa_hook registry{};
};

struct Host::Bound {
  Host* host = nullptr;
  uint32_t id = 0;
  Kind kind = Kind::node;
  pw_proxy* proxy = nullptr;
  spa_hook object{};
};

struct BoundEvents {
  static void nodeInfo(void* data, const pw_node_info* info) {
    auto* bound = static_cast<Host::Bound*>(data);
    bound->host->changeModel([&](Graph& graph) {
      auto it = graph.nodes.find(bound->id);
      if (it == graph.nodes.end())
        return;
      Node& node = it->second;
      if (info->change_mask & PW_NODE_CHANGE_MASK_PROPS)
        node.props = toProps(info->props);
      node.state = pw_node_state_as_string(info->state);
      node.hasInfo = true;
    });
  }
  static void portInfo(void* data, const pw_port_info* info) {
    auto* bound = static_cast<Host::Bound*>(data);
    bound->host->changeModel([&](Graph& graph) {
      auto it = graph.ports.find(bound->id);
      if (it == graph.ports.end() || !(info->change_mask & PW_PORT_CHANGE_MASK_PROPS))
        return;
      Port& port = it->second;
      port.output = info->direction == SPA_DIRECTION_OUTPUT;
      if (const char* node = lookup(info->props, PW_KEY_NODE_ID))
        port.node = toId(node);
      const char* channel = lookup(info->props, PW_KEY_AUDIO_CHANNEL);
      port.channel = channel ? channel : "";
      const char* monitor = lookup(info->props, PW_KEY_PORT_MONITOR);
      port.monitor = monitor && std::strcmp(monitor, "true") == 0;
    });
  }
  static void clientInfo(void* data, const pw_client_info* info) {
    auto* bound = static_cast<Host::Bound*>(data);
    bound->host->changeModel([&](Graph& graph) {
      auto it = graph.clients.find(bound->id);
      if (it == graph.clients.end())
        return;
      if (info->change_mask & PW_CLIENT_CHANGE_MASK_PROPS)
        it->second.props = toProps(info->props);
      it->second.hasInfo = true;
    });
  }
  static void deviceInfo(void* data, const pw_device_info* info) {
    auto* bound = static_cast<Host::Bound*>(data);
    bound->host->changeModel([&](Graph& graph) {
      auto it = graph.devices.find(bound->id);
      if (it != graph.devices.end() && (info->change_mask & PW_DEVICE_CHANGE_MASK_PROPS))
        it->second.props = toProps(info->props);
    });
  }
  static int metadataProperty(void* data, uint32_t subject, const char* key, const char*,
                              const char* value) {
    auto* bound = static_cast<Host::Bound*>(data);
    if (subject != PW_ID_CORE)
      return 0;
    bound->host->changeModel([&](Graph& graph) {
      if (bound->kind == Kind::metadataSettings) {
        if (key && (std::strcmp(key, "clock.rate") == 0) && value && toId(value) > 0)
          graph.clockRate = toId(value);
        return;
      }
      if (!key) { // every key removed
        graph.defaultSource.reset();
        graph.defaultSink.reset();
      } else if (std::strcmp(key, "default.audio.source") == 0) {
        graph.defaultSource = nameOf(value);
      } else if (std::strcmp(key, "default.audio.sink") == 0) {
        graph.defaultSink = nameOf(value);
      }
    });
    return 0;
  }
};

namespace {

const pw_node_events kNodeEvents = {
    .version = PW_VERSION_NODE_EVENTS, .info = BoundEvents::nodeInfo, .param = nullptr};
const pw_port_events kPortEvents = {
    .version = PW_VERSION_PORT_EVENTS, .info = BoundEvents::portInfo, .param = nullptr};
const pw_client_events kClientEvents = {
    .version = PW_VERSION_CLIENT_EVENTS, .info = BoundEvents::clientInfo, .permissions = nullptr};
const pw_device_events kDeviceEvents = {
    .version = PW_VERSION_DEVICE_EVENTS, .info = BoundEvents::deviceInfo, .param = nullptr};
const pw_metadata_events kMetadataEvents = {.version = PW_VERSION_METADATA_EVENTS,
                                            .property = BoundEvents::metadataProperty};

} // namespace

Host::Lock::Lock(Host& host) : host_(host) {
  pw_thread_loop_lock(host_.loop_);
}
Host::Lock::~Lock() {
  pw_thread_loop_unlock(host_.loop_);
}

Host::Host(int32_t ownPid) : ownPid_(ownPid), hooks_(std::make_unique<Hooks>()) {}

std::shared_ptr<Host> Host::start(int32_t ownPid, std::chrono::milliseconds wait) {
  pw_init(nullptr, nullptr);
  std::shared_ptr<Host> host(new Host(ownPid));
  host->published_ = std::make_unique<Views>();
  host->loop_ = pw_thread_loop_new("pw.loop", nullptr); // a thread name: 15 bytes at most
  if (!host->loop_)
    return nullptr;
  host->context_ = pw_context_new(pw_thread_loop_get_loop(host->loop_), nullptr, 0);
  if (!host->context_)
    return nullptr;
  host->retryTimer_ = pw_loop_add_timer(pw_thread_loop_get_loop(host->loop_), onRetry, host.get());
  host->retireTimer_ =
      pw_loop_add_timer(pw_thread_loop_get_loop(host->loop_), onRetireTimer, host.get());
  if (!host->retryTimer_ || !host->retireTimer_)
    return nullptr;
  if (pw_thread_loop_start(host->loop_) < 0) // no thread could be made: no audio server
    return nullptr;

  Lock lock(*host);
  if (!host->connectLocked())
    host->scheduleRetry(host->backoff_);
  timespec deadline{};
  pw_thread_loop_get_time(host->loop_, &deadline,
                          std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count());
  while (host->core_ && !host->synced_)
    if (pw_thread_loop_timed_wait_full(host->loop_, &deadline) != 0)
      break;
  return host;
}

Host::~Host() {
  if (!loop_)
    return;
  pw_thread_loop_lock(loop_);
  if (core_)
    teardownLocked();
  retired_.clear();
  quiescing_.clear();
  if (retryTimer_)
    pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), retryTimer_);
  if (retireTimer_)
    pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), retireTimer_);
  pw_thread_loop_unlock(loop_);
  pw_thread_loop_stop(loop_);
  if (context_)
    pw_context_destroy(context_);
  pw_thread_loop_destroy(loop_);
}

Graph Host::snapshot() const {
  std::lock_guard lock(modelMutex_);
  return shown_;
}

void Host::reconnect() {
  Lock lock(*this);
  if (!core_ && !connectLocked())
    scheduleRetry(backoff_);
}

void Host::whenReached(std::function<void(Connection)> reached) {
  Connection now;
  {
    Lock lock(*this);
    now = connection_.load();
    if (now == Connection::connecting) {
      waiters_.push_back(std::move(reached));
      return;
    }
  }
  reached(now);
}

void Host::settleWaiters(Connection now) {
  std::vector<std::function<void(Connection)>> waiters;
  waiters.swap(waiters_);
  for (auto& reached : waiters)
    reached(now);
}

void Host::addWatcher(GraphWatcher* watcher) {
  watchers_.push_back(watcher);
}

void Host::removeWatcher(GraphWatcher* watcher) {
  std::erase(watchers_, watcher);
}

bool Host::connectLocked() {
  core_ = pw_context_connect(context_, nullptr, 0);
  if (!core_) {
    int error = errno;
    connection_ =
        (error == EACCES || error == EPERM) ? Connection::refused : Connection::connecting;
    if (connection_ == Connection::refused)
      settleWaiters(Connection::refused);
    return false;
  }
  static const pw_core_events coreEvents = {
      .version = PW_VERSION_CORE_EVENTS,
      .info = nullptr,
      .done = onCoreDone,
      .ping = nullptr,
      .error = onCoreError,
      .remove_id = nullptr,
      .bound_id = nullptr,
      .add_mem = nullptr,
      .remove_mem = nullptr,
  };
  static const pw_registry_events registryEvents = {
      .version = PW_VERSION_REGISTRY_EVENTS,
      .global = onGlobal,
      .global_remove = onGlobalRemove,
  };
  pw_core_add_listener(core_, &hooks_->core, &coreEvents, this);
  registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
  pw_registry_add_listener(registry_, &hooks_->registry, &registryEvents, this);
  synced_ = false;
  lost_ = false;
  syncRound_ = 0;
  syncSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
  return true;
}

void Host::teardownLocked() {
  std::vector<GraphWatcher*> watchers = watchers_;
  for (GraphWatcher* watcher : watchers)
    watcher->serverLost();
  retired_.clear();
  quiescing_.clear();
  for (auto& [id, bound] : bound_) {
    spa_hook_remove(&bound->object);
    pw_proxy_destroy(bound->proxy);
  }
  bound_.clear();
  spa_hook_remove(&hooks_->registry);
  pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
  registry_ = nullptr;
  spa_hook_remove(&hooks_->core);
  pw_core_disconnect(core_);
  core_ = nullptr;
  synced_ = false;
  model_ = Graph{};
  publish();
}

void Host::armOnce(spa_source* timer, uint64_t afterNs) {
  timespec value{static_cast<time_t>(afterNs / 1'000'000'000),
                 static_cast<long>(afterNs % 1'000'000'000)};
  pw_loop_update_timer(pw_thread_loop_get_loop(loop_), timer, &value, nullptr, false);
}

void Host::scheduleRetry(std::chrono::milliseconds delay) {
  armOnce(retryTimer_, std::chrono::duration_cast<std::chrono::nanoseconds>(delay).count());
}

void Host::onRetry(void* data, uint64_t) {
  auto* host = static_cast<Host*>(data);
  if (host->core_ && host->lost_)
    host->teardownLocked();
  if (host->core_)
    return;
  if (!host->connectLocked()) {
    host->backoff_ = std::min(host->backoff_ * 2, std::chrono::milliseconds(2000));
    host->scheduleRetry(host->backoff_);
  }
}

void Host::retire(std::unique_ptr<Retired> object) {
  while (retired_.size() >= kMaxRetired) {
    letGo(std::move(retired_.front().second));
    retired_.pop_front();
  }
  retired_.emplace_back(static_cast<uint64_t>(MonotonicClock().nowNs()) + kRetireNs,
                        std::move(object));
  if (retired_.size() == 1)
    armOnce(retireTimer_, kRetireNs);
}

void Host::awaitRetireRoom() {
  timespec deadline{};
  pw_thread_loop_get_time(loop_, &deadline, static_cast<int64_t>(kRetireNs + kRetireNs / 2));
  while (retired_.size() >= kMaxRetired)
    if (pw_thread_loop_timed_wait_full(loop_, &deadline) != 0)
      break;
}

void Host::onRetireTimer(void* data, uint64_t) {
  auto* host = static_cast<Host*>(data);
  const auto nowNs = static_cast<uint64_t>(MonotonicClock().nowNs());
  while (!host->retired_.empty() && host->retired_.front().first <= nowNs) {
    host->letGo(std::move(host->retired_.front().second));
    host->retired_.pop_front();
  }
  pw_thread_loop_signal(host->loop_, false); // room for awaitRetireRoom
  if (!host->retired_.empty())
    host->armOnce(host->retireTimer_, host->retired_.front().first - nowNs);
}

void Host::letGo(std::unique_ptr<Retired> object) {
  object->quiesce();
  if (!core_)
    return;
  if (int seq = pw_core_sync(core_, PW_ID_CORE, 0); seq >= 0)
    quiescing_.emplace_back(seq, std::move(object));
}

void Host::onCoreDone(void* data, uint32_t id, int seq) {
  auto* host = static_cast<Host*>(data);
  if (id != PW_ID_CORE)
    return;
  // Answers come in the order the syncs were sent: everything up to this one may go.
  auto answered = std::find_if(host->quiescing_.begin(), host->quiescing_.end(),
                               [seq](const auto& entry) { return entry.first == seq; });
  if (answered != host->quiescing_.end()) {
    host->quiescing_.erase(host->quiescing_.begin(), answered + 1);
    return;
  }
  if (seq != host->syncSeq_)
    return;
  // Round one lists the globals and binds them; round two delivers their info.
  if (++host->syncRound_ < 2) {
    host->syncSeq_ = pw_core_sync(host->core_, PW_ID_CORE, host->syncSeq_);
    return;
  }
  host->synced_ = true;
  host->backoff_ = std::chrono::milliseconds(100);
  if (host->connection_.exchange(Connection::connected) != Connection::connected)
    log("audio server connected");
  host->everConnected_ = true;
  host->publish();
  host->settleWaiters(Connection::connected);
  pw_thread_loop_signal(host->loop_, false);
}

void Host::onCoreError(void* data, uint32_t id, int, int res, const char* message) {
  auto* host = static_cast<Host*>(data);
  if (id != PW_ID_CORE)
    return;
  bool refused = res == -EACCES || res == -EPERM;
  if (res != -EPIPE && !refused)
    return;
  if (host->connection_.exchange(refused ? Connection::refused : Connection::connecting) ==
      Connection::connected)
    log(std::string("audio server connection lost: ") + (message ? message : spa_strerror(res)));
  host->lost_ = true;
  if (refused)
    host->settleWaiters(Connection::refused);
  // The core cannot be destroyed from inside its own event: the retry timer tears it down.
  host->scheduleRetry(std::chrono::milliseconds(1));
  pw_thread_loop_signal(host->loop_, false);
}

void Host::onGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                    const spa_dict* props) {
  auto* host = static_cast<Host*>(data);
  uint32_t serial = toId(lookup(props, PW_KEY_OBJECT_SERIAL));
  std::optional<Kind> kind;
  const void* events = nullptr;
  uint32_t version = 0;
  if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
    kind = Kind::node;
    events = &kNodeEvents;
    version = PW_VERSION_NODE;
    host->changeModel([&](Graph& graph) {
      graph.nodes[id] =
          Node{.id = id, .serial = serial, .props = toProps(props), .state = {}, .hasInfo = false};
    });
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
    kind = Kind::port;
    events = &kPortEvents;
    version = PW_VERSION_PORT;
    host->changeModel([&](Graph& graph) {
      // Complete only once its info arrives; until then it has no node and links to nothing.
      graph.ports[id] = Port{.id = id, .node = 0, .output = false, .monitor = false, .channel = {}};
    });
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0) {
    kind = Kind::client;
    events = &kClientEvents;
    version = PW_VERSION_CLIENT;
    host->changeModel([&](Graph& graph) {
      graph.clients[id] =
          Client{.id = id, .serial = serial, .props = toProps(props), .hasInfo = false};
    });
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Device) == 0) {
    kind = Kind::device;
    events = &kDeviceEvents;
    version = PW_VERSION_DEVICE;
    host->changeModel([&](Graph& graph) {
      graph.devices[id] = Device{.id = id, .serial = serial, .props = toProps(props)};
    });
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
    host->changeModel([&](Graph& graph) {
      graph.links[id] = Link{.id = id,
                             .outNode = toId(lookup(props, PW_KEY_LINK_OUTPUT_NODE)),
                             .outPort = toId(lookup(props, PW_KEY_LINK_OUTPUT_PORT)),
                             .inNode = toId(lookup(props, PW_KEY_LINK_INPUT_NODE)),
                             .inPort = toId(lookup(props, PW_KEY_LINK_INPUT_PORT))};
    });
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
    const char* name = lookup(props, PW_KEY_METADATA_NAME);
    if (name && std::strcmp(name, "default") == 0)
      kind = Kind::metadataDefault;
    else if (name && std::strcmp(name, "settings") == 0)
      kind = Kind::metadataSettings;
    events = &kMetadataEvents;
    version = PW_VERSION_METADATA;
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Factory) == 0) {
    const char* name = lookup(props, PW_KEY_FACTORY_NAME);
    if (name && std::strcmp(name, "link-factory") == 0)
      host->changeModel([](Graph& graph) { graph.linkFactory = true; });
  }
  if (!kind)
    return;
  auto bound = std::make_unique<Bound>();
  bound->host = host;
  bound->id = id;
  bound->kind = *kind;
  bound->proxy = static_cast<pw_proxy*>(pw_registry_bind(host->registry_, id, type, version, 0));
  if (!bound->proxy)
    return;
  pw_proxy_add_object_listener(bound->proxy, &bound->object, events, bound.get());
  host->bound_[id] = std::move(bound);
}

void Host::onGlobalRemove(void* data, uint32_t id) {
  auto* host = static_cast<Host*>(data);
  if (auto it = host->bound_.find(id); it != host->bound_.end()) {
    spa_hook_remove(&it->second->object);
    pw_proxy_destroy(it->second->proxy);
    Kind kind = it->second->kind;
    host->bound_.erase(it);
    if (kind == Kind::metadataDefault)
      host->changeModel([](Graph& graph) {
        graph.defaultSource.reset();
        graph.defaultSink.reset();
      });
  }
  host->changeModel([id](Graph& graph) {
    graph.nodes.erase(id);
    graph.ports.erase(id);
    graph.links.erase(id);
    graph.clients.erase(id);
    graph.devices.erase(id);
  });
}

void Host::changeModel(const std::function<void(Graph&)>& change) {
  change(model_);
  // While the first sync runs the model is partial: it is shown whole, with the connection.
  if (synced_)
    publish();
}

void Host::publish() {
  {
    std::lock_guard lock(modelMutex_);
    shown_ = model_;
  }
  Views now = Views::of(model_, ownPid_);
  Views& before = *published_;
  auto notify = [this](ChangeKind kind, uint32_t object = 0) { notifier_->notify({kind, object}); };
  if (now.devices != before.devices)
    notify(ChangeKind::deviceList);
  for (const auto& [id, config] : before.deviceConfig)
    if (auto it = now.deviceConfig.find(id); it == now.deviceConfig.end() || it->second != config)
      notify(ChangeKind::deviceConfig, id);
  for (const auto& [id, config] : now.deviceConfig)
    if (!before.deviceConfig.contains(id))
      notify(ChangeKind::deviceConfig, id);
  if (now.defaultInput != before.defaultInput)
    notify(ChangeKind::defaultInput);
  if (now.defaultOutput != before.defaultOutput)
    notify(ChangeKind::defaultOutput);
  if (now.processes != before.processes)
    notify(ChangeKind::processList);
  for (const auto& [id, running] : now.running) {
    auto it = before.running.find(id);
    if (it == before.running.end() ? running != std::pair(false, false) : it->second != running)
      notify(ChangeKind::processRunning, id);
  }
  for (const auto& [id, running] : before.running)
    if (!now.running.contains(id) && running != std::pair(false, false))
      notify(ChangeKind::processRunning, id);
  *published_ = std::move(now);

  std::vector<GraphWatcher*> watchers = watchers_;
  for (GraphWatcher* watcher : watchers)
    watcher->graphChanged(model_);
}

} // namespace va::pw
