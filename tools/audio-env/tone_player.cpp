// A PipeWire client that plays a sine: a virtual microphone (an Audio/Source node) or a fake
// application (a playback stream). SIGUSR1 pauses the stream (its node goes idle, as a paused
// player's does), SIGUSR2 resumes it, SIGTERM or the end of --seconds ends it.
//   va-tone-player [--hz F] [--amplitude A] [--channels N] [--seconds S] [--source]
//                  [--delay S] [--prop KEY=VALUE]...
// With --delay the tone starts after S seconds of silence, and its onset (CLOCK_MONOTONIC ns,
// when the first tone sample is written) goes to stderr.

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

namespace {

constexpr uint32_t kRate = 48000;

struct Player {
  pw_main_loop* loop = nullptr;
  pw_stream* stream = nullptr;
  double hz = 440;
  double amplitude = 0.5;
  uint32_t channels = 2;
  double phase = 0;
  uint64_t silentFrames = 0; // --delay: frames of silence before the tone
  bool onsetReported = false;
};

uint64_t monotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

void onProcess(void* data) {
  auto* player = static_cast<Player*>(data);
  pw_buffer* buffer = pw_stream_dequeue_buffer(player->stream);
  if (!buffer)
    return;
  spa_buffer* spa = buffer->buffer;
  auto* samples = static_cast<float*>(spa->datas[0].data);
  if (!samples) {
    // Given back all the same: a stream has only a few buffers, and each one kept stalls it.
    pw_stream_queue_buffer(player->stream, buffer);
    return;
  }
  uint32_t stride = sizeof(float) * player->channels;
  uint32_t frames = spa->datas[0].maxsize / stride;
  if (buffer->requested != 0 && buffer->requested < frames)
    frames = static_cast<uint32_t>(buffer->requested);
  const double step = 2 * M_PI * player->hz / kRate;
  for (uint32_t i = 0; i < frames; ++i) {
    float value = 0;
    if (player->silentFrames > 0) {
      --player->silentFrames;
    } else {
      if (!player->onsetReported) {
        player->onsetReported = true;
        std::fprintf(stderr, "va-tone-player: onset at %llu\n",
                     static_cast<unsigned long long>(monotonicNs()));
      }
      value = static_cast<float>(player->amplitude * std::sin(player->phase));
      player->phase = std::fmod(player->phase + step, 2 * M_PI);
    }
    for (uint32_t c = 0; c < player->channels; ++c)
      samples[i * player->channels + c] = value;
  }
  spa->datas[0].chunk->offset = 0;
  spa->datas[0].chunk->stride = static_cast<int32_t>(stride);
  spa->datas[0].chunk->size = frames * stride;
  pw_stream_queue_buffer(player->stream, buffer);
}

void onSignal(void* data, int signal) {
  auto* player = static_cast<Player*>(data);
  if (signal == SIGUSR1 || signal == SIGUSR2)
    pw_stream_set_active(player->stream, signal == SIGUSR2);
  else
    pw_main_loop_quit(player->loop);
}

void onTimeout(void* data, uint64_t) {
  pw_main_loop_quit(static_cast<Player*>(data)->loop);
}

[[noreturn]] void usage() {
  std::fprintf(stderr, "usage: va-tone-player [--hz F] [--amplitude A] [--channels N] "
                       "[--seconds S] [--delay S] [--source] [--prop KEY=VALUE]...\n");
  std::exit(2);
}

} // namespace

int main(int argc, char** argv) {
  Player player;
  double seconds = 0;
  bool source = false;
  std::vector<std::pair<std::string, std::string>> props;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc)
        usage();
      return argv[++i];
    };
    if (arg == "--hz")
      player.hz = std::atof(value().c_str());
    else if (arg == "--amplitude")
      player.amplitude = std::atof(value().c_str());
    else if (arg == "--channels")
      player.channels = static_cast<uint32_t>(std::atoi(value().c_str()));
    else if (arg == "--seconds")
      seconds = std::atof(value().c_str());
    else if (arg == "--delay")
      player.silentFrames = static_cast<uint64_t>(std::atof(value().c_str()) * kRate);
    else if (arg == "--source")
      source = true;
    else if (arg == "--prop") {
      std::string pair = value();
      size_t equals = pair.find('=');
      if (equals == std::string::npos)
        usage();
      props.emplace_back(pair.substr(0, equals), pair.substr(equals + 1));
    } else
      usage();
  }
  if (player.channels < 1 || player.channels > 8 || player.hz <= 0)
    usage();

  pw_init(&argc, &argv);
  player.loop = pw_main_loop_new(nullptr);
  pw_loop* loop = pw_main_loop_get_loop(player.loop);
  for (int signal : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2})
    pw_loop_add_signal(loop, signal, onSignal, &player);
  if (seconds > 0) {
    spa_source* timer = pw_loop_add_timer(loop, onTimeout, &player);
    timespec at{static_cast<time_t>(seconds), static_cast<long>(std::fmod(seconds, 1.0) * 1e9)};
    pw_loop_update_timer(loop, timer, &at, nullptr, false);
  }

  pw_properties* properties =
      pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", nullptr);
  if (source)
    pw_properties_set(properties, PW_KEY_MEDIA_CLASS, "Audio/Source");
  for (const auto& [key, text] : props)
    pw_properties_set(properties, key.c_str(), text.c_str());

  static const pw_stream_events events = {
      .version = PW_VERSION_STREAM_EVENTS,
      .destroy = nullptr,
      .state_changed = nullptr,
      .control_info = nullptr,
      .io_changed = nullptr,
      .param_changed = nullptr,
      .add_buffer = nullptr,
      .remove_buffer = nullptr,
      .process = onProcess,
      .drained = nullptr,
      .command = nullptr,
      .trigger_done = nullptr,
  };
  player.stream = pw_stream_new_simple(loop, "va-tone-player", properties, &events, &player);

  uint8_t podBuffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(podBuffer, sizeof podBuffer);
  spa_audio_info_raw info{};
  info.format = SPA_AUDIO_FORMAT_F32;
  info.rate = kRate;
  info.channels = player.channels;
  if (player.channels == 1) {
    info.position[0] = SPA_AUDIO_CHANNEL_MONO;
  } else if (player.channels == 2) {
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
  } else {
    info.flags = SPA_AUDIO_FLAG_UNPOSITIONED;
  }
  const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
  auto flags =
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS);
  if (pw_stream_connect(player.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) < 0) {
    std::fprintf(stderr, "va-tone-player: cannot connect the stream\n");
    return 1;
  }
  pw_main_loop_run(player.loop);
  pw_stream_destroy(player.stream);
  pw_main_loop_destroy(player.loop);
  pw_deinit();
  return 0;
}
