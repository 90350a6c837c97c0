#include "support/audio_files.h"
#include "support/child_process.h"

#include <csignal>
#include <gtest/gtest.h>
#include <thread>

namespace va {
namespace {

using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::readWav;
using testing_support::TempDir;

// A recording process that dies without warning leaves a playable segment whose header is at
// most a second (and one block) behind the samples on disk.
TEST(CrashSafety, AKilledRecorderLeavesAValidSegment) {
  TempDir dir;
  ChildProcess recorder({VA_TONE_RECORDER, dir.path(), "600"});
  ASSERT_EQ(recorder.readStdoutLine(10s), "recording");
  std::this_thread::sleep_for(3500ms);
  recorder.signal(SIGKILL);
  ASSERT_EQ(recorder.wait(10s), 128 + SIGKILL);

  auto wav = readWav(dir.path() + "/tracks/remote/000001.wav");
  ASSERT_TRUE(wav);
  size_t onDisk = wav->bytes.size() - 44;
  EXPECT_EQ(onDisk % 2, 0u);
  EXPECT_GE(onDisk, 2u * 32000) << "the recorder wrote too little to tell";
  EXPECT_EQ(wav->riffSize, wav->dataSize + 36);
  EXPECT_GT(wav->dataSize, 0u);
  EXPECT_LE(wav->dataSize, onDisk);
  constexpr size_t kOneBlockBytes = 2 * 160; // 10 ms at 16 kHz
  EXPECT_LE(onDisk - wav->dataSize, 32000 + kOneBlockBytes);
}

} // namespace
} // namespace va
