#pragma once

// One capture node of ours with the links that feed it. We link it ourselves, keep the links in
// step with the graph through port churn, and drop everything when the server goes away. Used by
// the microphone input and the tap.
//
// The node is a filter with one float input port per channel and no media class: the session
// manager never makes it one of its linkables, so it never configures our ports and never waits
// for us (see capture_stream.cpp for why that matters).

#include "platform/block_ring.h"
#include "platform/path_watch.h"
#include "platform/pipewire/host.h"

#include <atomic>
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
  // A broken path was repaired (see PathWatch): the seconds lost and why. Loop thread.
  using Repaired = std::function<void(double lostS, const std::string& reason)>;

  explicit CaptureStream(std::shared_ptr<Host> host);
  ~CaptureStream() override;
  CaptureStream(const CaptureStream&) = delete;
  CaptureStream& operator=(const CaptureStream&) = delete;

  // Never on the loop thread. Fails with a description naming the call that failed.
  std::expected<void, std::string> start(const StreamSpec& spec, Planner planner, Block block,
                                         Repaired repaired = nullptr);
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
  Repaired repaired_;
  StreamSpec spec_;
  // Data thread only (reset while no filter exists): a cycle has brought data from a peer since
  // the node was made. Until then an always-processing node delivers nothing, so that a track
  // never starts with silence nobody played.
  bool heardOnce_ = false;
  std::atomic<uint64_t> lastCycleNs_{0}; // CLOCK_MONOTONIC of the newest cycle; data thread writes
  // Loop thread: every 250 ms the watch judges the path from what the cycles brought and the
  // graph's state; it relinks, then remakes the node, when nothing reaches us.
  spa_source* watchdog_ = nullptr;
  PathWatch watch_;
  std::map<PlannedLink, std::unique_ptr<LinkEntry>> links_;
};

} // namespace va::pw
