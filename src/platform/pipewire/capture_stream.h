#pragma once

// One capture node of ours with the links that feed it. We link it ourselves, keep the links in
// step with the graph through port churn, and drop everything when the server goes away. Used by
// the microphone input and the tap.
//
// The node is a filter with one float input port per channel and no media class: the session
// manager never makes it one of its linkables, so it never configures our ports and never waits
// for us (see capture_stream.cpp for why that matters).

#include "platform/block_ring.h"
#include "platform/pipewire/host.h"

#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <string>

struct pw_filter;
struct spa_io_position;
struct spa_source;

namespace va::pw {

struct StreamSpec {
  std::string nodeName;
  std::string description;
  std::vector<std::string> positions; // one input port per channel ("FL", "MONO", "AUX0")
  bool alwaysProcess = false;         // keep being driven (with silence) while nothing plays
};

class CaptureStream final : public GraphWatcher {
public:
  // The links the stream wants in a given graph, given its own node id.
  using Planner = std::function<std::vector<PlannedLink>(const Graph&, uint32_t ownNode)>;
  // One graph cycle: `frames` frames of each channel, planar (channel c starts at c * frames),
  // at the graph rate, stamped with the monotonic time of its first frame. Called on the loop
  // thread, with the loop lock held.
  using Block = std::function<void(const float* planar, size_t frames, uint32_t channels,
                                   double rateHz, uint64_t timeNs)>;

  explicit CaptureStream(std::shared_ptr<Host> host);
  ~CaptureStream() override;
  CaptureStream(const CaptureStream&) = delete;
  CaptureStream& operator=(const CaptureStream&) = delete;

  // Never on the loop thread. Fails with a description naming the call that failed.
  std::expected<void, std::string> start(const StreamSpec& spec, Planner planner, Block block);
  // Replaces the planner and reconciles the links at once; the stream keeps running.
  void replan(Planner planner);
  void stop();
  bool running() const;

  struct LinkEntry; // one link we made; opaque outside the implementation
  struct Port;      // one input port; opaque outside the implementation

private:
  void graphChanged(const Graph& graph) override;
  void serverLost() override;
  void reconcile(const Graph& graph);
  void destroyLocked();
  void dropLinksLocked();

  std::expected<void, std::string> createLocked();
  void dropStreamLocked();
  static void onWatchdog(void* data, uint64_t expirations);
  static void onProcess(void* data, spa_io_position* position) noexcept;
  static void onBlocks(void* data, uint64_t count) noexcept;
  static void onStateChanged(void* data, int old, int state, const char* error);

  const std::shared_ptr<Host> host_;
  // Under the loop lock; the data thread reads filter_, ports_, spec_.alwaysProcess, ring_ and
  // blocksReady_, which change only while no filter exists.
  pw_filter* filter_ = nullptr;
  struct Hook;
  std::unique_ptr<Hook> hook_;
  std::vector<Port*> ports_; // owned by the filter
  std::unique_ptr<BlockRing> ring_;
  spa_source* blocksReady_ = nullptr; // signalled by the data thread after each push
  Planner planner_;
  Block block_;
  StreamSpec spec_;
  // Last resort for a server that stalls: every 500 ms, a node left suspended with its links for
  // stallNs_ / 4 is relinked once; one that still gets no audio (or got none for stallNs_ while
  // a source ran) is made anew, and stallNs_ doubles up to 8 s until audio flows.
  spa_source* watchdog_ = nullptr;
  static constexpr uint64_t kStallNs = 2'000'000'000;
  uint64_t lastBlockNs_ = 0; // CLOCK_MONOTONIC, loop thread
  uint64_t stallNs_ = kStallNs;
  bool relinked_ = false; // a suspended node's links were made anew since the last audio
  std::map<PlannedLink, std::unique_ptr<LinkEntry>> links_;
};

} // namespace va::pw
