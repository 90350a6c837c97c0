// The confinement of client paths against a race: while a directory below the root and a link to
// a directory outside it trade places again and again, captures (and their segments) and decodes
// aimed below that directory never read or write outside the root and leave no temporary file.
// VA_RACE_SECONDS sets how long the swapping goes on (default 3).

#include "e2e/service_process.h"
#include "support/audio_files.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace va::e2e {
namespace {

using namespace std::chrono_literals;
using testing_support::listDir;
using testing_support::readWav;
using testing_support::toFloat;
using testing_support::toneAmplitude;
namespace fs = std::filesystem;

TEST(Confinement, HoldsWhileADirectoryAndALinkTradePlaces) {
  const std::string root = makeTempDir("va_e2e_race_root");
  const std::string outside = makeTempDir("va_e2e_race_outside");
  const std::string race = root + "/race";
  ASSERT_EQ(::mkdir(race.c_str(), 0700), 0);
  auto tone = [](const std::string& path, int hz) {
    return std::system(("sox -n -r 16000 -c 1 -b 16 " + path + " synth 0.2 sine " +
                        std::to_string(hz) + " vol 0.5 >/dev/null 2>&1")
                           .c_str()) == 0;
  };
  ASSERT_TRUE(tone(race + "/in.wav", 440));
  ASSERT_TRUE(tone(outside + "/in.wav", 660));
  fs::create_directory_symlink(outside, root + "/swap");

  RunningService s = startService(root, getpid(), {"VELMORRANT_AUDIO_TEST_STRATEGIES=1"});
  ASSERT_TRUE(s.ready.is_object());
  const char* configured = std::getenv("VA_RACE_SECONDS");
  const auto seconds = std::chrono::duration<double>(configured ? std::atof(configured) : 3.0);

  std::atomic<bool> swapping{true};
  std::atomic<int> swaps{0};
  std::thread swapper([&] {
    while (swapping) {
      if (::renameat2(AT_FDCWD, race.c_str(), AT_FDCWD, (root + "/swap").c_str(),
                      RENAME_EXCHANGE) == 0)
        ++swaps;
    }
  });
  int captures = 0, decodes = 0, answered = 0;
  const auto end = std::chrono::steady_clock::now() + seconds;
  for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
    std::string n = std::to_string(i);
    Json create{{"dir", race + "/cap" + n},
                {"segmentSeconds", 1},
                {"remote", {{"strategy", "test-tone"}, {"match", {{"bundleIds", {"x"}}}}}}};
    Reply created = call(s, "POST", "/captures", create.dump());
    if (created.status == 201) {
      ++captures;
      std::this_thread::sleep_for(20ms); // a segment is made and written meanwhile
      call(s, "POST", "/captures/" + created.json["captureId"].get<std::string>() + "/stop");
    }
    Reply decoded =
        call(s, "POST", "/decode",
             Json{{"input", race + "/in.wav"}, {"output", race + "/out" + n + ".wav"}}.dump());
    ++decodes;
    answered += decoded.status == 200;
    EXPECT_TRUE(decoded.status == 200 || decoded.status == 403 || decoded.status == 422)
        << decoded.status;
  }
  swapping = false;
  swapper.join();
  s.process->signal(SIGTERM);
  EXPECT_EQ(s.process->wait(30s), 0);
  std::printf("%d swaps; %d captures made, %d decodes of which %d answered 200\n", swaps.load(),
              captures, decodes, answered);

  // Wherever the directory ended up, outside holds nothing but its own input.
  std::string inside = fs::is_symlink(race) ? root + "/swap" : race;
  EXPECT_EQ(listDir(outside), std::vector<std::string>{"in.wav"});
  int outputs = 0;
  for (const std::string& name : listDir(inside)) {
    EXPECT_FALSE(name.ends_with(".partial")) << name;
    if (!name.starts_with("out"))
      continue;
    ++outputs;
    auto wav = readWav(inside + "/" + name);
    ASSERT_TRUE(wav) << name;
    EXPECT_LT(toneAmplitude(toFloat(wav->samples), 16000, 660), 0.01) << name << " read outside";
  }
  EXPECT_EQ(outputs, answered);
  std::error_code ignored;
  fs::remove_all(root, ignored);
  fs::remove_all(outside, ignored);
}

} // namespace
} // namespace va::e2e
