#pragma once

// The one connection to the audio server: a pw_thread_loop, the live graph model built from
// bound objects' info events, change notifications, and reconnection with back-off.

#include "platform/change_notifier.h"
#include "platform/pipewire/graph.h"

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_registry;
struct spa_source;
struct spa_dict;

namespace va::pw {

// Told about the graph on the loop thread, with the loop lock held. Owners of streams and links
// use it to reconcile their links, and to drop their streams when the server goes away.
class GraphWatcher {
public:
  virtual ~GraphWatcher() = default;
  virtual void graphChanged(const Graph& graph) = 0;
  // The connection is going: destroy every stream and proxy made on it, now.
  virtual void serverLost() = 0;
};

enum class Connection {
  connecting, // no server reached yet (or it went away and is being looked for)
  connected,
  refused, // the server turned us away (access denied)
};

class Host {
public:
  // Connects in the background; waits up to `wait` for the first complete model.
  static std::shared_ptr<Host> start(int32_t ownPid,
                                     std::chrono::milliseconds wait = std::chrono::seconds(2));
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Any thread. Empty until the first sync completes, so it never runs ahead of connection().
  Graph snapshot() const;
  Connection connection() const { return connection_.load(); }
  // True once a server was reached at least once.
  bool everConnected() const { return everConnected_.load(); }
  const std::shared_ptr<ListenerRegistry>& notifier() const { return notifier_; }
  int32_t ownPid() const { return ownPid_; }
  // Tries to connect now if not connected.
  void reconnect();
  // Calls `reached` once the connection leaves "connecting": at once on the calling thread when
  // it already has, else on the loop thread when a server accepts us (connected, after the first
  // sync) or turns us away (refused). A server that never appears never calls it.
  void whenReached(std::function<void(Connection)> reached);

  // The loop lock, for stream and link owners (never taken on the loop thread itself).
  class Lock {
  public:
    explicit Lock(Host& host);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

  private:
    Host& host_;
  };

  // An object of ours whose destruction has to wait (see retire). Destroyed on the loop thread
  // with the loop lock held.
  class Retired {
  public:
    virtual ~Retired() = default;
    // Loop lock held: lets go of everything that could make the server send it more (links,
    // scheduling). It is destroyed once the server has answered a sync sent after this: the
    // client library (0.3.65) never closes descriptors that arrive for an object it already
    // destroyed, and a node is sent peers' eventfds whenever the graph moves it.
    virtual void quiesce() {}
  };
  static constexpr uint64_t kRetireNs = 1'000'000'000;
  static constexpr size_t kMaxRetired = 16;

  // With the loop lock held (or on the loop thread):
  // Keeps `object` for kRetireNs, then quiesces it and destroys it after a round trip; when more
  // than kMaxRetired wait, the oldest is let go at once. Everything retired goes when the server
  // does.
  void retire(std::unique_ptr<Retired> object);
  // With the loop lock held, never on the loop thread: waits, the lock released, until fewer than
  // kMaxRetired objects wait (at most one and a half kRetireNs). Whoever makes nodes faster than
  // they retire is held back: cutting a retired node's links short is what the wait avoids.
  void awaitRetireRoom();
  pw_core* core() const { return core_; }
  pw_thread_loop* threadLoop() const { return loop_; }
  const Graph& graph() const { return model_; }
  void addWatcher(GraphWatcher* watcher);
  void removeWatcher(GraphWatcher* watcher);

  struct Bound; // a bound registry object; opaque outside the implementation

private:
  explicit Host(int32_t ownPid);
  bool connectLocked();
  void teardownLocked();
  void scheduleRetry(std::chrono::milliseconds delay);
  // Loop thread or loop lock: `timer` fires once, `afterNs` from now.
  void armOnce(spa_source* timer, uint64_t afterNs);
  void publish();
  void settleWaiters(Connection now);
  void changeModel(const std::function<void(Graph&)>& change);

  // Event handlers, on the loop thread.
  static void onGlobal(void* data, uint32_t id, uint32_t permissions, const char* type,
                       uint32_t version, const struct spa_dict* props);
  static void onGlobalRemove(void* data, uint32_t id);
  static void onCoreDone(void* data, uint32_t id, int seq);
  static void onCoreError(void* data, uint32_t id, int seq, int res, const char* message);
  static void onRetry(void* data, uint64_t expirations);
  static void onRetireTimer(void* data, uint64_t expirations);
  void letGo(std::unique_ptr<Retired> object);
  friend struct BoundEvents;

  const int32_t ownPid_;
  std::shared_ptr<ListenerRegistry> notifier_ = std::make_shared<ListenerRegistry>();
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  spa_source* retryTimer_ = nullptr;
  spa_source* retireTimer_ = nullptr;
  // Loop thread (or loop lock) only: oldest first, with when each may go (CLOCK_MONOTONIC ns).
  std::deque<std::pair<uint64_t, std::unique_ptr<Retired>>> retired_;
  // Quiesced, each waiting for the answer to its sync (by sequence number), oldest first.
  std::deque<std::pair<int, std::unique_ptr<Retired>>> quiescing_;
  std::chrono::milliseconds backoff_{100};

  // Loop thread (or loop lock) only.
  pw_core* core_ = nullptr;
  pw_registry* registry_ = nullptr;
  struct Hooks;
  std::unique_ptr<Hooks> hooks_;
  std::map<uint32_t, std::unique_ptr<Bound>> bound_;
  std::vector<GraphWatcher*> watchers_;
  std::vector<std::function<void(Connection)>> waiters_; // see whenReached
  int syncSeq_ = -1;
  int syncRound_ = 0;
  bool synced_ = false;
  bool lost_ = false; // the core reported the server gone; the retry timer tears it down

  Graph model_; // built from the server's events; partial until the first sync completes
  struct Views;
  std::unique_ptr<Views> published_;

  // The last whole model: written on the loop thread under modelMutex_; read elsewhere under it.
  mutable std::mutex modelMutex_;
  Graph shown_;

  std::atomic<Connection> connection_{Connection::connecting};
  std::atomic<bool> everConnected_{false};
};

} // namespace va::pw
