#pragma once

// One capture node of ours with the links that feed it. We link it ourselves, keep the links in
// step with the graph through port churn, watch that they carry what their sources play, and
// drop everything when the server goes away. Used by the microphone input and the tap.
//
// The node is a filter with one float input port per channel and no media class: the session
// manager never makes it one of its linkables, so it never configures our ports and never waits
// for us (see capture_stream.cpp for why that matters, and why a node of ours is retired rather
// than destroyed).

#include "platform/block_ring.h"
#include "platform/cycle_clock.h"
#include "platform/path_watch.h"
#include "platform/pipewire/host.h"

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

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

  struct Node;      // one filter node with its links; opaque outside the implementation
  struct LinkEntry; // one link we made
  struct Port;      // one input port

private:
  void graphChanged(const Graph& graph) override;
  void serverLost() override;
  void reconcile(const Graph& graph);
  bool linkedSourceRunning(const Graph& graph) const;
  void destroyLocked();
  std::expected<void, std::string> makeNodeLocked();
  // Hands the node, links and all, to the host to destroy a little later.
  void retireNodeLocked();
  // A block of the current node, on the loop thread: the first is held until the second.
  void delivered(const BlockRing::Header& header, std::span<const float> planar);
  void deliver(const BlockRing::Header& header, std::span<const float> planar);
  static void onWatchdog(void* data, uint64_t expirations);

  const std::shared_ptr<Host> host_;
  // Under the loop lock.
  std::unique_ptr<Node> node_;
  Planner planner_;
  Block block_;
  Repaired repaired_;
  StreamSpec spec_;
  // Every 250 ms the watch judges the path from what the cycles brought and the graph's state,
  // and a node that brings nothing is made anew.
  spa_source* watchdog_ = nullptr;
  uint64_t lastCheckNs_ = 0; // CLOCK_MONOTONIC of the last check
  PathWatch watch_;
  struct Held {
    BlockRing::Header header;
    std::vector<float> planar;
  };
  std::optional<Held> held_; // the current node's first block, until its second comes
  bool firstDated_ = false;
  uint64_t lastCycleNs_ = 0;    // of the newest block taken, from any node of this stream
  bool sourcesRunning_ = false; // a source we are linked to runs (each graph change and check)
  std::optional<uint64_t> unheardSinceNs_; // the first of the current run of cycles that brought
                                           // nothing while a source ran
  CycleClock cycleClock_;                  // dates the current node's blocks
};

} // namespace va::pw
