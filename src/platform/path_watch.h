#pragma once

// Whether the path from the sources a capture node is linked to into the node carries what they
// play, and what to do when it does not. Pure: the capture stream feeds it the cycles it sees and
// the graph's state, on its loop thread, and carries out the actions.
//
// A path is broken when, for half a second, a source it links to runs and cycles come but none
// brought data from a peer ("no_data": our ports get nothing, the server dropped the path), or,
// for two seconds, our node is not scheduled though it should be ("not_scheduled": no cycles
// while a source runs, suspended with links in place, or an always-processing node that gets no
// cycles; a loaded machine can hold a node back that long without any fault). A paused source does
// not run, and one that plays digital silence still delivers data: neither breaks a path. A broken
// path's node is made anew (new links with it), and made anew again after 1, 2, 4 and 8 s. Once
// data arrives (for "not_scheduled": once cycles come again) the repair is reported once, with the
// time since the last heard cycle.

#include <cstdint>
#include <optional>
#include <string>

namespace va {

class PathWatch {
public:
  static constexpr uint64_t kBrokenNs = 500'000'000;
  static constexpr uint64_t kUnscheduledNs = 2'000'000'000;
  static constexpr uint64_t kMaxBackoffNs = 8'000'000'000;

  enum class Action { none, restart };
  struct Repair {
    uint64_t lostNs = 0;
    std::string reason;
    bool operator==(const Repair&) const = default;
  };

  // Nothing before `nowNs` counts against the path: a node just made (it has half a second to be
  // linked and scheduled), or a check that found this process held back itself.
  void grace(uint64_t nowNs);
  // A cycle of `nowNs` reached us; `heard`: a port carried data from a peer. A repair, once.
  std::optional<Repair> cycle(uint64_t nowNs, bool heard);
  // Periodically. `due`: a source we link to runs. `stalled`: our node is not scheduled though
  // it should be.
  Action check(uint64_t nowNs, bool due, bool stalled);

private:
  uint64_t lastHeardNs_ = 0; // or the last check that expected nothing
  uint64_t lastCycleNs_ = 0;
  std::optional<uint64_t> brokenSinceNs_;
  uint64_t detectedNs_ = 0;
  std::string reason_;
  uint64_t nextActionNs_ = 0;
  uint64_t backoffNs_ = 0; // the wait before the next restart
};

} // namespace va
