#include "capture/captures.h"
#include "capture/event_log.h"
#include "core/serial_queue.h"

#include "fakes/scripted_strategy.h"
#include "support/audio_files.h"
#include "support/directory.h"

#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <thread>

namespace va {
namespace {

using testing_support::CallJournal;
using testing_support::ScriptedStrategy;
using Kind = CreateError::Kind;
using Calls = std::vector<std::string>;

// The default output's monitor: journals its calls; a start fails with `error`, if any.
class FakeReference final : public OutputMonitorIO {
public:
  FakeReference(std::shared_ptr<CallJournal> journal, std::optional<std::string> error)
      : journal_(std::move(journal)), error_(std::move(error)) {}
  std::expected<void, CaptureError> start(BlockDelivery,
                                          std::function<void(const OutputDeviceInfo&)>) override {
    journal_->add("reference.start");
    if (error_)
      return std::unexpected(CaptureError{*error_});
    return {};
  }
  void stop() override { journal_->add("reference.stop"); }

private:
  const std::shared_ptr<CallJournal> journal_;
  const std::optional<std::string> error_;
};

class CapturesTest : public testing::Test {
protected:
  // Offers the remote strategy "fake" only; both strategies journal into `journal_`.
  std::shared_ptr<Captures> make() {
    auto captures = std::make_shared<Captures>(
        Captures::Factories{
            .micStatus = [this] { return word_; },
            .makeMic = [this](std::optional<std::string>) -> std::shared_ptr<CaptureStrategy> {
              journal_->add("makeMic");
              if (micThrows_)
                throw std::system_error(
                    std::make_error_code(std::errc::resource_unavailable_try_again));
              return std::make_shared<ScriptedStrategy>("mic", journal_);
            },
            .makeRemote = [this](const std::string& name, const ProcessMatch&)
                -> std::expected<std::shared_ptr<CaptureStrategy>, RemoteStrategies::Refusal> {
              journal_->add("makeRemote");
              if (name != "fake")
                return std::unexpected(RemoteStrategies::Refusal::unsupported);
              return std::make_shared<ScriptedStrategy>("remote", journal_, remoteError_,
                                                        remoteOnStop_);
            },
            .makeQueue = [this](std::string label)
                -> std::expected<std::shared_ptr<TaskQueue>, std::error_code> {
              if (label == noThreadFor_)
                return std::unexpected(
                    std::make_error_code(std::errc::resource_unavailable_try_again));
              return SerialQueue::make(label);
            },
            .makeReference = withReference_ ? Captures::MakeReference([this] {
              return std::make_shared<FakeReference>(journal_, referenceError_);
            })
                                            : Captures::MakeReference()},
        clock_);
    captures_->setOnRecordingCountChange([this](int64_t n) {
      std::lock_guard lock(countsLock_);
      counts_.push_back(n);
    });
    return captures;
  }
  // A capture in the test's directory, or in a new subdirectory `sub` of it.
  CaptureSpec spec(bool mic, std::optional<std::string> remote, const std::string& sub = {}) const {
    CaptureSpec s;
    s.dir = sub.empty() ? dir_.path() : dir_.path() + "/" + sub;
    ::mkdir(s.dir.c_str(), 0700);
    s.directory = testing_support::captureDirectory(s.dir, sub.empty() ? "" : dir_.path());
    s.segmentSeconds = 60;
    if (mic)
      s.mic = CaptureSpec::Mic{};
    if (remote)
      s.remote = CaptureSpec::Remote{*remote, ProcessMatch{{"org.example.app"}, {}, true}};
    return s;
  }
  std::vector<int64_t> counts() {
    std::lock_guard lock(countsLock_);
    return counts_;
  }

  testing_support::TempDir dir_;
  std::string word_ = "granted";
  std::shared_ptr<CallJournal> journal_ = std::make_shared<CallJournal>();
  std::optional<std::string> remoteError_;
  std::function<void()> remoteOnStop_;
  bool micThrows_ = false;
  bool withReference_ = true;
  std::optional<std::string> referenceError_;
  std::string noThreadFor_; // the queue that gets no thread
  std::mutex countsLock_;
  std::vector<int64_t> counts_;
  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>(1'000'000'000);
  std::shared_ptr<Captures> captures_ = make();
};

TEST_F(CapturesTest, RefusalsComeBeforeAnythingIsMade) {
  // The permission, the tracks asked for, the refusal and the factory calls made before it.
  const std::tuple<const char*, bool, std::optional<std::string>, Kind, Calls> cases[] = {
      {"restricted", true, "fake", Kind::microphoneDenied, {}},
      {"denied", true, "nope", Kind::microphoneDenied, {}}, // the permission is tested first
      {"granted", true, "nope", Kind::unsupportedStrategy, {"makeRemote"}},
      {"not_determined", false, "nope", Kind::unsupportedStrategy, {"makeRemote"}},
  };
  for (const auto& [word, mic, remote, kind, calls] : cases) {
    SCOPED_TRACE(std::string(word) + (mic ? " mic" : "") + " " + remote.value_or("-"));
    word_ = word;
    journal_ = std::make_shared<CallJournal>();
    auto made = captures_->create(spec(mic, remote));
    ASSERT_FALSE(made);
    EXPECT_EQ(made.error().kind, kind);
    EXPECT_EQ(journal_->calls(), calls);
    EXPECT_EQ(testing_support::listDir(dir_.path()), std::vector<std::string>{})
        << "nothing on disk";
    EXPECT_TRUE(captures_->all().empty());
    EXPECT_EQ(counts(), std::vector<int64_t>{});
  }
}

// A thread that cannot be had (for the remote sink, the microphone's made), or a factory that
// throws for want of one: a busy refusal, the microphone stopped, the directory and the tracks
// given back, so that the same create succeeds later.
TEST_F(CapturesTest, ACreateWithoutAThreadIsBusyAndGivesEverythingBack) {
  std::vector<size_t> reported;
  captures_->setOnTracksChange([&](size_t tracks) { reported.push_back(tracks); });
  captures_->setTrackLimit(2);
  noThreadFor_ = "velmorrant-audio.sink.remote";
  auto made = captures_->create(spec(true, "fake"));
  ASSERT_FALSE(made);
  EXPECT_EQ(made.error().kind, Kind::busy);
  EXPECT_EQ(journal_->calls(), (Calls{"makeRemote", "makeMic", "mic.stop"}));
  noThreadFor_.clear();
  micThrows_ = true;
  made = captures_->create(spec(true, "fake"));
  ASSERT_FALSE(made);
  EXPECT_EQ(made.error().kind, Kind::busy);
  micThrows_ = false;
  EXPECT_TRUE(captures_->create(spec(true, "fake")));
  EXPECT_EQ(reported, (std::vector<size_t>{2, 0, 2, 0, 2}));
}

// A directory removed while its capture records is made again as that capture's own: another
// capture there is refused until the first stops.
TEST_F(CapturesTest, ADirectoryMadeAgainIsItsCapturesOwn) {
  auto first = captures_->create(spec(false, "fake", "x"));
  ASSERT_TRUE(first);
  const std::shared_ptr<TrackSink> sink = (*first)->tracks()[0].sink;
  sink->waitIdle();
  std::filesystem::remove_all(dir_.path() + "/x");
  sink->split(); // its open segment went with it
  sink->write(std::vector<float>(1600, 0.0f), 16000, 5'000'000'000);
  sink->waitIdle();
  ASSERT_TRUE(std::filesystem::exists(dir_.path() + "/x/tracks/remote/000002.wav"));
  auto second = captures_->create(spec(false, "fake", "x"));
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().kind, Kind::directoryBusy);
  captures_->stop((*first)->id());
  EXPECT_TRUE(captures_->create(spec(false, "fake", "x")));
}

// A failed start unwinds what was started, the microphone's second of audio finalised with its
// sink; a sink that cannot be made releases the remote strategy made for it, neither started nor
// stopped. Neither leaves a capture or a count behind.
TEST_F(CapturesTest, AFailedCreateUnwindsWhatItMade) {
  remoteError_ = "tap exploded";
  auto made = captures_->create(spec(true, "fake"));
  ASSERT_FALSE(made);
  EXPECT_EQ(made.error().text(), "failed(\"tap exploded\")"); // the kind and the description
  EXPECT_EQ(journal_->calls(), (Calls{"makeRemote", "makeMic", "mic.start", "remote.start",
                                      "mic.stop", "remote.stop"}));
  testing_support::TrackFiles mic = testing_support::readTrack(dir_.path() + "/tracks/mic");
  EXPECT_TRUE(mic.headersMatchData);
  EXPECT_EQ(mic.perSegment, std::vector<int64_t>{16000});

  journal_ = std::make_shared<CallJournal>();
  CaptureSpec sinkless = spec(true, "fake", "sinkless");
  std::ofstream(sinkless.dir + "/tracks") << "a file where the track directories go";
  made = captures_->create(sinkless);
  ASSERT_FALSE(made);
  EXPECT_EQ(made.error().kind, Kind::failed);
  EXPECT_NE(made.error().description.find("tracks/mic"), std::string::npos)
      << made.error().description;
  EXPECT_EQ(journal_->calls(), (Calls{"makeRemote"}));
  EXPECT_TRUE(captures_->all().empty());
  EXPECT_EQ(counts(), std::vector<int64_t>{});
}

// The microphone permission does not concern a remote-only capture. A stopped capture keeps its
// log and summary only: its strategies and sinks (with their queues, threads and files) are gone
// once the stop returns. A repeated stop returns the first summary and reports no new count.
TEST_F(CapturesTest, CountsStopsAndSummariesAndLetsGoOfStoppedTracks) {
  word_ = "restricted";
  auto first = captures_->create(spec(false, "fake"));
  ASSERT_TRUE(first);
  word_ = "granted";
  auto second = captures_->create(spec(true, "fake", "second"));
  ASSERT_TRUE(second);
  std::vector<std::weak_ptr<void>> held;
  for (const Capture::Track& track : (*second)->tracks()) {
    held.push_back(track.strategy);
    held.push_back(track.sink);
  }
  ASSERT_EQ(held.size(), 4u);
  auto summary = captures_->stop((*second)->id());
  EXPECT_EQ(summary,
            Json::parse(R"({"tracks":{"mic":{"droppedS":0.0,"frames":16000,"lostS":0.0,)"
                        R"("segments":1},"remote":{"droppedS":0.0,"frames":16000,"lostS":0.0,)"
                        R"("segments":1}}})"));
  for (const char* track : {"mic", "remote"}) { // what the summary counts is on disk: its second
    testing_support::TrackFiles files =
        testing_support::readTrack(dir_.path() + "/second/tracks/" + track);
    EXPECT_TRUE(files.headersMatchData) << track;
    EXPECT_EQ(files.perSegment, std::vector<int64_t>{16000}) << track;
    EXPECT_TRUE(std::ranges::all_of(files.samples, [](int16_t v) { return v == 0; })) << track;
  }
  for (const auto& weak : held)
    EXPECT_TRUE(weak.expired());
  EXPECT_FALSE((*second)->events()->snapshot(0).empty());
  EXPECT_EQ(captures_->stop((*second)->id()), summary);
  EXPECT_TRUE(captures_->stop((*first)->id()));
  EXPECT_EQ(counts(), (std::vector<int64_t>{1, 2, 1, 0}));
  EXPECT_EQ(captures_->recordingCount(), 0);
}

TEST_F(CapturesTest, EchoCancellationRunsItsReferenceFirstAndKeepsTheRawMicrophone) {
  struct Case {
    const char* sub;
    bool keepRaw;
    bool withReference;
    std::optional<std::string> referenceError;
    const char* fields;
  };
  for (const Case& c : {
           Case{"on", true, true, std::nullopt, R"({"echoCancellation":true})"},
           Case{"no-raw", false, true, std::nullopt, R"({"echoCancellation":true})"},
           Case{"no-output", true, true, "no default output",
                R"({"echoCancellation":false,"echoCancellationReason":"no default output"})"},
           Case{"no-server", true, false, std::nullopt,
                R"({"echoCancellation":false,)"
                R"("echoCancellationReason":"no audio server can be reached"})"},
       }) {
    SCOPED_TRACE(c.sub);
    withReference_ = c.withReference;
    referenceError_ = c.referenceError;
    captures_ = make();
    journal_->list.clear();
    CaptureSpec wanted = spec(true, std::nullopt, c.sub);
    wanted.mic->echoCancellation = true;
    wanted.mic->keepRaw = c.keepRaw;
    auto capture = captures_->create(wanted);
    ASSERT_TRUE(capture);
    Json summary = captures_->stop((*capture)->id()).value_or(Json());
    Calls calls{"makeMic"};
    if (c.withReference)
      calls.push_back("reference.start");
    calls.push_back(std::string("mic.fields ") + c.fields);
    calls.push_back("mic.start");
    calls.push_back("mic.stop");
    if (c.withReference)
      calls.push_back("reference.stop");
    EXPECT_EQ(journal_->calls(), calls);
    // The cancelled track and the raw one hold the same second of silence, frame for frame.
    std::vector<std::string> tracks{"mic"};
    if (c.keepRaw)
      tracks.push_back("micRaw");
    EXPECT_EQ(summary["tracks"].size(), tracks.size());
    for (const std::string& track : tracks) {
      EXPECT_EQ(summary["tracks"][track]["frames"], 16000) << track;
      testing_support::TrackFiles files =
          testing_support::readTrack(dir_.path() + "/" + c.sub + "/tracks/" + track);
      EXPECT_EQ(files.perSegment, std::vector<int64_t>{16000}) << track;
      EXPECT_TRUE(std::ranges::all_of(files.samples, [](int16_t v) { return v == 0; })) << track;
    }
    EXPECT_EQ(std::filesystem::exists(dir_.path() + "/" + c.sub + "/tracks/micRaw"), c.keepRaw);
  }
}

TEST_F(CapturesTest, ConcurrentStopsRunTheSequenceOnce) {
  std::promise<void> entered;
  remoteOnStop_ = [&entered] {
    entered.set_value();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  };
  auto made = captures_->create(spec(false, "fake"));
  ASSERT_TRUE(made);
  std::shared_ptr<Capture> capture = *made;

  std::optional<Json> byRequest;
  std::thread request([&] { byRequest = captures_->stop(capture->id()); });
  entered.get_future().wait();
  Json byExitPath = capture->stop(); // waits for the request's stop
  request.join();

  ASSERT_TRUE(byRequest);
  EXPECT_EQ(*byRequest, byExitPath);
  EXPECT_EQ(std::ranges::count(journal_->calls(), "remote.stop"), 1);
  EXPECT_EQ(counts(), (std::vector<int64_t>{1, 0}));
}

// One directory records one capture at a time; once it stops, the directory can be used again.
// Tracks are counted against their limit before anything is made, and reported as they come and
// go, so that connections can make room first.
TEST_F(CapturesTest, ADirectoryThatRecordsIsBusyAndTracksAreCountedAgainstTheirLimit) {
  std::vector<size_t> reported;
  captures_->setOnTracksChange([&](size_t tracks) { reported.push_back(tracks); });
  captures_->setTrackLimit(3);
  auto both = captures_->create(spec(true, "fake"));
  ASSERT_TRUE(both);
  auto busy = captures_->create(spec(false, "fake"));
  ASSERT_FALSE(busy);
  EXPECT_EQ(busy.error().kind, Kind::directoryBusy);
  ASSERT_TRUE(captures_->create(spec(false, "fake", "second")));
  auto third = captures_->create(spec(false, "fake", "third"));
  ASSERT_FALSE(third);
  EXPECT_EQ(third.error().kind, Kind::tooManyCaptures);
  // The request's own faults come first, even with the directory busy and no track to spare.
  EXPECT_EQ(captures_->create(spec(false, "nope")).error().kind, Kind::unsupportedStrategy);
  word_ = "denied";
  EXPECT_EQ(captures_->create(spec(true, {})).error().kind, Kind::microphoneDenied);
  captures_->stop((*both)->id());
  EXPECT_TRUE(captures_->create(spec(false, "fake")));
  EXPECT_EQ(reported, (std::vector<size_t>{2, 3, 1, 2}));
}

// Stopped captures are kept for an hour, and only the 64 most recently stopped.
TEST_F(CapturesTest, StoppedCapturesAreForgottenInTime) {
  std::vector<std::string> ids;
  for (size_t i = 0; i <= Captures::kKeptStopped; ++i) {
    auto capture = captures_->create(spec(false, "fake", "c" + std::to_string(i)));
    ASSERT_TRUE(capture);
    ids.push_back((*capture)->id());
    clock_->advance(1'000'000);
    captures_->stop(ids.back());
  }
  EXPECT_EQ(captures_->find(ids.front()), nullptr);
  EXPECT_NE(captures_->find(ids[1]), nullptr);
  clock_->advance(Captures::kKeptStoppedS * 1'000'000'000 - 10'000'000);
  EXPECT_NE(captures_->find(ids.back()), nullptr);
  clock_->advance(20'000'000);
  EXPECT_EQ(captures_->find(ids.back()), nullptr);
  EXPECT_EQ(captures_->stop(ids.back()), std::nullopt);
}

std::vector<int64_t> seqs(const std::vector<CaptureEvent>& events) {
  std::vector<int64_t> out;
  for (const auto& e : events)
    out.push_back(e.seq);
  return out;
}

// Numbered from one and stamped from the clock; the log's own keys win over fields of the same
// name; past ten thousand the oldest are forgotten. Waiting is the end-to-end long poll's, and the
// concurrent case's below.
TEST(EventLog, NumbersFromOneStampsFromTheClockAndForgetsPastTenThousand) {
  auto clock = std::make_shared<ManualClock>(1000);
  EventLog log(clock);
  EXPECT_EQ(log.append("a"), 1);
  clock->advance(5);
  EXPECT_EQ(log.append("b", Json{{"seq", "x"}, {"type", 1}, {"tNs", false}, {"track", "mic"}}), 2);
  auto all = log.snapshot(0);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].tNs, 1000u);
  EXPECT_EQ(all[1].json(), (Json{{"seq", 2}, {"tNs", 1005u}, {"type", "b"}, {"track", "mic"}}));
  EXPECT_EQ(seqs(log.snapshot(1)), std::vector<int64_t>{2});
  EXPECT_TRUE(log.snapshot(2).empty());
  EXPECT_EQ(seqs(log.snapshot(-7)), (std::vector<int64_t>{1, 2}));

  for (int i = 2; i < 10001; ++i)
    log.append("e");
  all = log.wait(0, 5.0); // returns at once: there is something newer
  ASSERT_EQ(all.size(), 10000u);
  EXPECT_EQ(all.front().seq, 2);
  EXPECT_EQ(all.back().seq, 10001);
  EXPECT_EQ(seqs(log.snapshot(9999)), (std::vector<int64_t>{10000, 10001}));
  EXPECT_EQ(log.snapshot(1).size(), 10000u);
}

TEST(EventLog, ConcurrentAppendersAndReadersLoseNothing) {
  EventLog log(std::make_shared<MonotonicClock>());
  constexpr int kWriters = 4, kEach = 2000;
  constexpr int64_t kTotal = kWriters * kEach;
  std::vector<std::thread> threads;
  std::vector<std::vector<CaptureEvent>> seen(3);
  for (auto& into : seen)
    threads.emplace_back([&log, &into] {
      int64_t after = 0;
      while (after < kTotal) {
        for (auto& e : log.wait(after, 10.0)) {
          EXPECT_EQ(e.seq, after + 1);
          after = e.seq;
          into.push_back(e);
        }
      }
    });
  for (int w = 0; w < kWriters; ++w)
    threads.emplace_back([&log, w] {
      for (int i = 0; i < kEach; ++i)
        log.append("e", Json{{"writer", w}, {"i", i}});
    });
  for (auto& t : threads)
    t.join();
  for (const auto& events : seen) {
    ASSERT_EQ(events.size(), static_cast<size_t>(kTotal));
    std::set<std::pair<int, int>> distinct;
    uint64_t lastNs = 0;
    for (const auto& e : events) {
      distinct.insert({e.fields["writer"].get<int>(), e.fields["i"].get<int>()});
      EXPECT_GE(e.tNs, lastNs);
      lastNs = e.tNs;
    }
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kTotal));
  }
}

} // namespace
} // namespace va
