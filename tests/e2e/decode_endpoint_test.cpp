// POST /decode through the built binary: validation, confinement, answers and the log line; and
// the confinement of client paths against a race.

#include "e2e/service_process.h"
#include "support/eventually.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <thread>

namespace va::e2e {
namespace {

using namespace std::chrono_literals;
using testing_support::listDir;
using testing_support::makeTone;
using testing_support::toneAmplitude;
namespace fs = std::filesystem;

std::string decodeBody(const std::string& input, const std::string& output) {
  return Json{{"input", input}, {"output", output}}.dump();
}

TEST(DecodeEndpoint, ValidatesConfinesAndDecodes) {
  Service s;
  const std::string r = s.root();
  ASSERT_TRUE(makeTone(r + "/tone.wav", 44100, 2, 440, 1, 0.25));
  fs::create_symlink(r + "/tone.wav", r + "/link.wav");
  std::ofstream(r + "/words.wav") << "no audio in here";
  // Inputs that are no regular file: opening a FIFO must not wait for a writer.
  ASSERT_EQ(::mkfifo((r + "/fifo.wav").c_str(), 0600), 0);
  int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s/socket.wav", r.c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  bool device = ::mknod((r + "/device.wav").c_str(), S_IFCHR | 0600, makedev(1, 5)) == 0;
  ASSERT_TRUE(s.start());

  const std::tuple<std::string, int, const char*> cases[] = {
      {"nope", 400, "bad_request"},
      {"[]", 400, "bad_request"},
      {R"({"output":")" + r + R"(/a.wav"})", 400, "bad_request"},
      {R"({"input":")" + r + R"(/tone.wav","output":5})", 400, "bad_request"},
      {decodeBody(r + "/tone.wav", r + "/out.mp3"), 400, "bad_request"},
      {decodeBody(r + "/tone.wav", "/elsewhere/out.mp3"), 400, "bad_request"}, // before any path
      {decodeBody("tone.wav", r + "/out.wav"), 403, "outside_root"},
      {decodeBody(r + "/link.wav", r + "/out.wav"), 403, "outside_root"},
      {decodeBody(r + "/no/such.wav", r + "/out.wav"), 403, "outside_root"},
      {decodeBody(r + "/tone.wav", r + "/no/dir/out.wav"), 403, "outside_root"},
      {decodeBody(r + "/tone.wav", "/tmp/out.wav"), 403, "outside_root"},
      {decodeBody(r + "/words.wav", r + "/out.wav"), 415, "unsupported_format"},
      {decodeBody(r + "/missing.wav", r + "/out.wav"), 422, "unreadable"},
      {decodeBody(r + "/fifo.wav", r + "/out.wav"), 422, "unreadable"},
      {decodeBody(r + "/socket.wav", r + "/out.wav"), 422, "unreadable"},
      {decodeBody(r + (device ? "/device.wav" : "/missing.wav"), r + "/out.wav"), 422,
       "unreadable"},
      {decodeBody(r + "/tone.wav", r + "/OUT.WAV"), 200, nullptr},
  };
  for (const auto& [body, status, error] : cases) {
    Reply reply = s.call("POST", "/decode", body);
    EXPECT_EQ(reply.status, status) << body;
    if (error) {
      EXPECT_EQ(reply.json, Json({{"error", error}})) << body;
    }
  }
  EXPECT_FALSE(fs::exists(r + "/no"));

  Reply done = s.call("POST", "/decode", decodeBody(r + "/tone.wav", r + "/out.wav"));
  ASSERT_EQ(done.status, 200) << done.json;
  int64_t frames = done.json["frames"].get<int64_t>();
  EXPECT_NEAR(static_cast<double>(frames), 16000, 2);
  EXPECT_DOUBLE_EQ(done.json["durationS"].get<double>(), static_cast<double>(frames) / 16000.0);
  auto wav = testing_support::readWav(r + "/out.wav");
  ASSERT_TRUE(wav);
  EXPECT_EQ(static_cast<int64_t>(wav->samples.size()), frames);
  std::string err = s.finish();
  EXPECT_NE(err.find("[audio] decoded " + std::to_string(frames) + " frames (1.0 s) in "),
            std::string::npos)
      << err;
  ::close(sock);
}

// The orderly exit does not wait for a decode, and leaves none of its temporary file behind.
TEST(DecodeEndpoint, SigtermDuringADecodeLeavesNoTemporaryFile) {
  Service s;
  // 4096 samples at 1 Hz: over an hour of output, written for a good while.
  ASSERT_EQ(testing_support::runToCompletion({"/usr/bin/ffmpeg", "-nostdin", "-f", "lavfi", "-i",
                                              "sine=frequency=0.1:sample_rate=1:duration=4096",
                                              "-c:a", "pcm_s16le", s.root() + "/slow.wav"})
                .status,
            0);
  ASSERT_TRUE(s.start());
  std::thread request([&] {
    s.call("POST", "/decode", decodeBody(s.root() + "/slow.wav", s.root() + "/out.wav"));
  });
  const std::string partial = s.root() + "/out.wav.partial";
  ASSERT_TRUE(testing_support::eventually([&] { return fs::exists(partial); }, 30s));
  s.finish();
  request.join();
  EXPECT_FALSE(fs::exists(partial));
  EXPECT_FALSE(fs::exists(s.root() + "/out.wav"));
}

// While a directory below the root and a link to a directory outside it trade places again and
// again, captures (and their segments) and decodes aimed below that directory never read or
// write outside the root and leave no temporary file. VA_RACE_SECONDS sets how long the swapping
// goes on (default 3).
TEST(Confinement, HoldsWhileADirectoryAndALinkTradePlaces) {
  Service s;
  const std::string race = s.root() + "/race", swap = s.root() + "/swap";
  const std::string outside = s.root() + "-outside";
  ASSERT_EQ(::mkdir(race.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(outside.c_str(), 0700), 0);
  ASSERT_TRUE(makeTone(race + "/in.wav", 16000, 1, 440, 0.2, 0.5));
  ASSERT_TRUE(makeTone(outside + "/in.wav", 16000, 1, 660, 0.2, 0.5));
  fs::create_directory_symlink(outside, swap);
  ASSERT_TRUE(s.start(kTestStrategies));
  const char* configured = std::getenv("VA_RACE_SECONDS");
  const auto seconds = std::chrono::duration<double>(configured ? std::atof(configured) : 3.0);

  std::atomic<bool> swapping{true};
  std::atomic<int> swaps{0};
  std::thread swapper([&] {
    while (swapping)
      if (::renameat2(AT_FDCWD, race.c_str(), AT_FDCWD, swap.c_str(), RENAME_EXCHANGE) == 0)
        ++swaps;
  });
  int captures = 0, decodes = 0, answered = 0;
  const auto end = std::chrono::steady_clock::now() + seconds;
  for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
    std::string n = std::to_string(i);
    Reply created = s.call("POST", "/captures", toneCapture(race + "/cap" + n, 1).dump());
    if (created.status == 201) {
      ++captures;
      std::this_thread::sleep_for(20ms); // a segment is made and written meanwhile
      s.stop(created.json["captureId"].get<std::string>());
    }
    Reply decoded =
        s.call("POST", "/decode", decodeBody(race + "/in.wav", race + "/out" + n + ".wav"));
    ++decodes;
    answered += decoded.status == 200;
    EXPECT_TRUE(decoded.status == 200 || decoded.status == 403 || decoded.status == 422)
        << decoded.status;
  }
  swapping = false;
  swapper.join();
  s.finish();
  std::printf("%d swaps; %d captures made, %d decodes of which %d answered 200\n", swaps.load(),
              captures, decodes, answered);

  // Wherever the directory ended up, outside holds nothing but its own input.
  std::string inside = fs::is_symlink(race) ? swap : race;
  EXPECT_EQ(listDir(outside), std::vector<std::string>{"in.wav"});
  int outputs = 0;
  for (const std::string& name : listDir(inside)) {
    EXPECT_FALSE(name.ends_with(".partial")) << name;
    if (!name.starts_with("out"))
      continue;
    ++outputs;
    auto wav = testing_support::readWav(inside + "/" + name);
    ASSERT_TRUE(wav) << name;
    EXPECT_LT(toneAmplitude(testing_support::toFloat(wav->samples), 16000, 660), 0.01)
        << name << " read outside";
  }
  EXPECT_EQ(outputs, answered);
}

} // namespace
} // namespace va::e2e
