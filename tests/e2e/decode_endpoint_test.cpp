// POST /decode through the built binary: validation, confinement, answers and the log line.

#include "e2e/service_process.h"
#include "support/audio_files.h"
#include "support/eventually.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace va::e2e {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(DecodeEndpoint, ValidatesConfinesAndDecodes) {
  std::string root = makeTempDir("va_e2e_decode");
  ASSERT_FALSE(root.empty());
  ASSERT_EQ(std::system(("sox -n -r 44100 -c 2 -b 16 " + root +
                         "/tone.wav synth 1 sine 440 vol 0.25 >/dev/null 2>&1")
                            .c_str()),
            0);
  fs::create_symlink(root + "/tone.wav", root + "/link.wav");
  std::ofstream(root + "/words.wav") << "no audio in here";
  // Inputs that are no regular file: opening a FIFO must not wait for a writer.
  ASSERT_EQ(::mkfifo((root + "/fifo.wav").c_str(), 0600), 0);
  int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s/socket.wav", root.c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  bool device = ::mknod((root + "/device.wav").c_str(), S_IFCHR | 0600, makedev(1, 5)) == 0;
  RunningService s = startService(root, getpid());
  ASSERT_TRUE(s.ready.is_object());

  auto body = [](const std::string& input, const std::string& output) {
    return Json{{"input", input}, {"output", output}}.dump();
  };
  const std::string r = root;
  struct Case {
    std::string body;
    int status;
    const char* error;
  };
  const Case cases[] = {
      {"nope", 400, "bad_request"},
      {"[]", 400, "bad_request"},
      {R"({"output":")" + r + R"(/a.wav"})", 400, "bad_request"},
      {R"({"input":")" + r + R"(/tone.wav","output":5})", 400, "bad_request"},
      {body(r + "/tone.wav", r + "/out.mp3"), 400, "bad_request"},
      {body(r + "/tone.wav", "/elsewhere/out.mp3"), 400, "bad_request"}, // before any path
      {body("tone.wav", r + "/out.wav"), 403, "outside_root"},
      {body(r + "/link.wav", r + "/out.wav"), 403, "outside_root"},
      {body(r + "/no/such.wav", r + "/out.wav"), 403, "outside_root"},
      {body(r + "/tone.wav", r + "/no/dir/out.wav"), 403, "outside_root"},
      {body(r + "/tone.wav", "/tmp/out.wav"), 403, "outside_root"},
      {body(r + "/words.wav", r + "/out.wav"), 415, "unsupported_format"},
      {body(r + "/missing.wav", r + "/out.wav"), 422, "unreadable"},
      {body(r + "/fifo.wav", r + "/out.wav"), 422, "unreadable"},
      {body(r + "/socket.wav", r + "/out.wav"), 422, "unreadable"},
      {body(r + (device ? "/device.wav" : "/missing.wav"), r + "/out.wav"), 422, "unreadable"},
      {body(r + "/tone.wav", r + "/OUT.WAV"), 200, nullptr},
  };
  for (const Case& c : cases) {
    Reply reply = call(s, "POST", "/decode", c.body);
    EXPECT_EQ(reply.status, c.status) << c.body;
    if (c.error) {
      EXPECT_EQ(reply.json, Json({{"error", c.error}})) << c.body;
    }
  }
  EXPECT_FALSE(fs::exists(root + "/no"));

  Reply done = call(s, "POST", "/decode", body(r + "/tone.wav", r + "/out.wav"));
  ASSERT_EQ(done.status, 200) << done.json;
  int64_t frames = done.json["frames"].get<int64_t>();
  EXPECT_NEAR(static_cast<double>(frames), 16000, 2);
  EXPECT_DOUBLE_EQ(done.json["durationS"].get<double>(), static_cast<double>(frames) / 16000.0);
  auto wav = testing_support::readWav(root + "/out.wav");
  ASSERT_TRUE(wav);
  EXPECT_EQ(static_cast<int64_t>(wav->samples.size()), frames);

  s.process->signal(SIGTERM);
  EXPECT_EQ(s.process->wait(30s), 0);
  std::string err = s.process->drainStderr();
  EXPECT_NE(err.find("[audio] decoded " + std::to_string(frames) + " frames (1.0 s) in "),
            std::string::npos)
      << err;
  ::close(sock);
  fs::remove_all(root);
}

// The orderly exit does not wait for a decode, and leaves none of its temporary file behind.
TEST(DecodeEndpoint, SigtermDuringADecodeLeavesNoTemporaryFile) {
  std::string root = makeTempDir("va_e2e_decode_exit");
  // 4096 samples at 1 Hz: over an hour of output, written for a good while.
  ASSERT_EQ(
      std::system(("ffmpeg -nostdin -f lavfi -i sine=frequency=0.1:sample_rate=1:duration=4096 "
                   "-c:a pcm_s16le " +
                   root + "/slow.wav >/dev/null 2>&1")
                      .c_str()),
      0);
  RunningService s = startService(root, getpid());
  ASSERT_TRUE(s.ready.is_object());
  std::thread request([&] {
    call(s, "POST", "/decode",
         Json{{"input", root + "/slow.wav"}, {"output", root + "/out.wav"}}.dump());
  });
  const std::string partial = root + "/out.wav.partial";
  ASSERT_TRUE(testing_support::eventually([&] { return fs::exists(partial); }, 30s));
  s.process->signal(SIGTERM);
  EXPECT_EQ(s.process->wait(30s), 0);
  request.join();
  EXPECT_FALSE(fs::exists(partial));
  EXPECT_FALSE(fs::exists(root + "/out.wav"));
  fs::remove_all(root);
}

} // namespace
} // namespace va::e2e
