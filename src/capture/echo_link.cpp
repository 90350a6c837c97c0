#include "capture/echo_link.h"

#include <cmath>
#include <vector>

namespace va {

EchoLink::EchoLink(std::unique_ptr<EchoEngine> engine, std::shared_ptr<EventLog> events)
    : events_(std::move(events)), canceller_(std::move(engine)) {}

void EchoLink::push(std::span<const int16_t> frames, uint64_t firstNs, const Emit& emit) {
  if (!enabled_) {
    emit(frames, firstNs);
    return;
  }
  // Written after the lock goes: a disk that blocks must not hold up the reference.
  std::vector<std::pair<std::vector<int16_t>, uint64_t>> out;
  std::optional<double> delayMs;
  {
    std::lock_guard lock(lock_);
    canceller_.microphone(frames, firstNs, [&](std::span<const int16_t> done, uint64_t ns) {
      out.emplace_back(std::vector<int16_t>(done.begin(), done.end()), ns);
    });
    delayMs = canceller_.takeDelayReport();
  }
  for (const auto& [done, ns] : out)
    emit(done, ns);
  if (delayMs)
    events_->append("echo_path",
                    Json{{"track", "mic"}, {"delayMs", std::round(*delayMs * 10) / 10}});
}

void EchoLink::flush(const Emit& emit) {
  if (!enabled_)
    return;
  std::vector<std::pair<std::vector<int16_t>, uint64_t>> out;
  {
    std::lock_guard lock(lock_);
    canceller_.flush([&](std::span<const int16_t> done, uint64_t ns) {
      out.emplace_back(std::vector<int16_t>(done.begin(), done.end()), ns);
    });
  }
  for (const auto& [done, ns] : out)
    emit(done, ns);
}

void EchoLink::reference(std::span<const int16_t> frames, uint64_t firstNs) {
  std::lock_guard lock(lock_);
  canceller_.reference(frames, firstNs);
}

ReferenceSink::ReferenceSink(std::shared_ptr<EchoLink> link, std::shared_ptr<TaskQueue> queue)
    : link_(std::move(link)), queue_(std::move(queue)) {}

void ReferenceSink::write(std::span<const float> samples, double rateHz, uint64_t hostNs) {
  if (samples.empty() || !(rateHz > 0))
    return;
  lastFrameNs_ = hostNs;
  // A queue that does not keep up loses reference, which the canceller takes as silence.
  if (queued_.fetch_add(samples.size()) + samples.size() > kMaxQueuedSamples) {
    queued_ -= samples.size();
    return;
  }
  {
    std::lock_guard lock(lock_);
    if (!blocks_.add(samples, {rateHz, hostNs}))
      return;
  }
  queue_->async([self = weak_from_this()] {
    if (auto sink = self.lock()) {
      {
        std::lock_guard lock(sink->lock_);
        sink->blocks_.take(sink->taken_);
      }
      sink->queued_ -= sink->taken_.forEach([&](std::span<const float> block, const Block& info) {
        sink->ingest(block, info.rateHz, info.hostNs);
      });
      sink->taken_.samples.clear();
      sink->taken_.blocks.clear();
    }
  });
}

void ReferenceSink::ingest(std::span<const float> samples, double rateHz, uint64_t hostNs) {
  if (!converter_ || converter_->rateHz() != rateHz) {
    converter_ = Resampler::make(rateHz);
    if (!converter_)
      return;
    outputClock_.restart(rateHz);
    output_ = 0;
  }
  outputClock_.input(samples.size(), hostNs);
  (void)converter_->convert(samples, false, [&](std::span<const int16_t> out) {
    link_->reference(out, outputClock_.timeOf(output_));
    output_ += static_cast<int64_t>(out.size());
  });
}

void ReferenceSink::split() {
  queue_->sync([this] { converter_.reset(); });
}

void ReferenceSink::finish() {
  queue_->sync([] {});
}

} // namespace va
