#pragma once

// One capture stream of ours with the links that feed it. We link it ourselves (it never
// autoconnects), keep the links in step with the graph through port churn, and drop everything
// when the server goes away. Used by the microphone input and the tap.

#include "platform/pipewire/host.h"

#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <string>

struct pw_stream;
struct spa_pod;
struct spa_source;

namespace va::pw {

struct StreamSpec {
  std::string nodeName;
  std::string description;
  uint32_t rate = 0;                  // Hz
  std::vector<std::string> positions; // one channel name per channel ("FL", "MONO", "AUX0")
  bool alwaysProcess = false;         // keep being driven (with silence) while nothing plays
};

class CaptureStream final : public GraphWatcher {
public:
  // The links the stream wants in a given graph, given its own node id.
  using Planner = std::function<std::vector<PlannedLink>(const Graph&, uint32_t ownNode)>;
  // An interleaved float block, its sample rate, the graph clock rate and the monotonic time of
  // its first sample. Called on the loop thread.
  using Block = std::function<void(const float* samples, size_t count, uint32_t channels,
                                   double rate, double clockRate, uint64_t timeNs)>;
  // The negotiated rate and channel count. Called on the loop thread.
  using Negotiated = std::function<void(uint32_t rate, uint32_t channels)>;

  explicit CaptureStream(std::shared_ptr<Host> host);
  ~CaptureStream() override;
  CaptureStream(const CaptureStream&) = delete;
  CaptureStream& operator=(const CaptureStream&) = delete;

  // Never on the loop thread. Fails with a description naming the call that failed.
  std::expected<void, std::string> start(const StreamSpec& spec, Planner planner, Block block,
                                         Negotiated negotiated);
  // Replaces the planner and reconciles the links at once; the stream keeps running.
  void replan(Planner planner);
  void stop();
  bool running() const;

  struct LinkEntry; // one link we made; opaque outside the implementation

private:
  void graphChanged(const Graph& graph) override;
  void serverLost() override;
  void reconcile(const Graph& graph);
  void destroyLocked();

  std::expected<void, std::string> createLocked();
  void dropStreamLocked();
  static void onWatchdog(void* data, uint64_t expirations);
  static void onProcess(void* data);
  static void onParamChanged(void* data, uint32_t id, const struct spa_pod* param);
  static void onStateChanged(void* data, int old, int state, const char* error);

  const std::shared_ptr<Host> host_;
  // Under the loop lock.
  pw_stream* stream_ = nullptr;
  struct Hook;
  std::unique_ptr<Hook> hook_;
  Planner planner_;
  Block block_;
  Negotiated negotiated_;
  uint32_t rate_ = 0;
  uint32_t channels_ = 0;
  StreamSpec spec_;
  // Every 500 ms: a stream left suspended with its links for stallNs_ / 4 is relinked once; one
  // that still gets no audio (or was silent for stallNs_ while a source ran) is made anew, and
  // stallNs_ doubles up to 8 s until audio flows.
  spa_source* watchdog_ = nullptr;
  static constexpr uint64_t kStallNs = 2'000'000'000;
  uint64_t lastProcessNs_ = 0; // CLOCK_MONOTONIC
  uint64_t stallNs_ = kStallNs;
  bool relinked_ = false; // a suspended node's links were made anew since the last audio
  std::map<PlannedLink, std::unique_ptr<LinkEntry>> links_;
};

} // namespace va::pw
