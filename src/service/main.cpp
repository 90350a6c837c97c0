// velmorrant-audio: the service's entry. Validates the command line, builds the server, arms the
// parent watch and SIGTERM on the main loop, announces itself with the READY line and then
// serves until an orderly exit.

#include "api/router.h"
#include "capture/captures.h"
#include "capture/microphone_strategy.h"
#include "capture/process_tap_strategy.h"
#include "capture/remote_strategies.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/serial_queue.h"
#include "http/server.h"
#include "http/token.h"
#include "platform/null_platform.h"
#include "platform/pipewire/pipewire_platform.h"
#include "service/command_line.h"
#include "service/descriptor_limit.h"
#include "service/orderly_exit.h"
#include "service/output.h"
#include "service/parent_watch.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <csignal>
#include <unistd.h>
#include <vector>

using namespace va;

namespace {

// The "process-tap" remote strategy over the audio server, or over nothing when none was
// reachable at start (it then waits for an application that never comes).
std::shared_ptr<CaptureStrategy> makeProcessTap(const std::shared_ptr<pw::Host>& audio,
                                                const ProcessMatch& match,
                                                std::shared_ptr<const Clock> clock) {
  ProcessTapStrategy::Platform platform{
      .processes = std::make_shared<NoProcesses>(),
      .tap = pw::makeTap(audio),
      .outputs = std::make_shared<NoOutputDevices>(),
      .notifier = nullptr,
  };
  if (audio) {
    platform.processes = std::make_shared<pw::Processes>(audio);
    platform.outputs = std::make_shared<pw::Outputs>(audio);
    platform.notifier = audio->notifier();
  }
  return std::make_shared<ProcessTapStrategy>(
      match, std::move(platform), true, std::move(clock),
      std::make_shared<SerialQueue>("velmorrant-audio.tap"));
}

} // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::expected<ServeOptions, std::string> options = parseCommandLine(args);
  if (!options)
    fail(options.error());

  // A parent that closed our stdout must not kill a recording service with SIGPIPE: writes then
  // fail with EPIPE, which the line writers ignore.
  std::signal(SIGPIPE, SIG_IGN);

  std::expected<std::string, std::string> token = Token::generate();
  if (!token)
    fail("could not generate the token: " + token.error());

  auto clock = std::make_shared<MonotonicClock>();
  // The audio server connection; it keeps looking for a server that is not there yet.
  std::shared_ptr<pw::Host> audio = pw::Host::start(static_cast<int32_t>(getpid()));
  RouterPlatform platform{
      .devices = std::make_shared<NoInputDevices>(),
      .applications = std::make_shared<NoApplications>(),
      .system = std::make_shared<KernelSystemInfo>(),
      .mic = std::make_shared<UndeterminedMicAuthorization>(),
  };
  if (audio)
    platform = RouterPlatform{
        .devices = std::make_shared<pw::Inputs>(audio),
        .applications = std::make_shared<pw::Applications>(audio),
        .system = std::make_shared<pw::System>(audio),
        .mic = std::make_shared<pw::MicPermission>(audio),
        .processes = std::make_shared<pw::Processes>(audio),
    };
  std::shared_ptr<MicAuthorization> mic = platform.mic;
  // Never destroyed, like the server: exit paths use it until the process ends.
  auto* captures = new Captures(
      Captures::Factories{
          .micStatus = [mic] { return mic->status(); },
          .makeMic = [audio, clock, platform](
                         std::optional<std::string> uid) -> std::shared_ptr<CaptureStrategy> {
            if (!audio)
              return std::make_shared<UnavailableStrategy>("no audio server can be reached");
            return std::make_shared<MicrophoneStrategy>(
                std::move(uid),
                MicrophoneStrategy::Platform{.devices = platform.devices,
                                             .auth = platform.mic,
                                             .io = std::make_shared<pw::MicInput>(audio),
                                             .notifier = audio->notifier()},
                clock, std::make_shared<SerialQueue>("velmorrant-audio.mic"));
          },
          .makeRemote =
              [clock, audio](const std::string& name, const ProcessMatch& match) {
                return RemoteStrategies::make(name, match, clock, [&](const ProcessMatch& wanted) {
                  return makeProcessTap(audio, wanted, clock);
                });
              },
          .makeQueue = {},
          .makeReference =
              audio ? Captures::MakeReference([audio]() -> std::shared_ptr<OutputMonitorIO> {
                return std::make_shared<pw::OutputMonitor>(audio);
              })
                    : Captures::MakeReference(),
      },
      clock);
  // Installed before anything can create a capture.
  captures->setOnRecordingCountChange(
      [](int64_t recording) { writeStdoutLine(stateLine(recording)); });

  // The root is opened here, once: every request resolves its paths below this descriptor, so a
  // link that named the root and is re-pointed later leads nowhere new.
  std::expected<std::shared_ptr<const Root>, std::string> root = Root::open(options->root);
  if (!root)
    fail(root.error());
  auto router = std::make_shared<Router>(std::string(kHelperVersion), *root, platform,
                                         std::shared_ptr<Captures>(captures, [](Captures*) {}));

  // Connections are capped below the descriptor limit so that a flood of them cannot keep a
  // segment file or a decode from opening.
  const uint64_t descriptors = raiseDescriptorLimit();
  Server::Options serverOptions;
  serverOptions.maxConnections = connectionCap(descriptors, Server::kMaxConnections);

  // Never destroyed: the process ends through exitNow.
  auto* server = new Server(*token, router, serverOptions);
  // Recording tracks take their descriptors from the connections' share: no more tracks than the
  // limit leaves room for, and idle connections give way before a capture opens anything.
  captures->setTrackLimit(trackCap(descriptors));
  captures->setOnTracksChange([server, descriptors](size_t tracks) {
    server->setMaxConnections(connectionCap(descriptors, Server::kMaxConnections, tracks));
  });
  std::expected<uint16_t, ServerError> port = server->start();
  if (!port)
    fail("could not listen: " + port.error().description);

  asio::io_context mainLoop(1);
  const int32_t parentPid = options->parentPid;
  auto parentWatch = ParentWatch::start(parentPid, mainLoop, [server, captures, parentPid] {
    finaliseAndExit("parent " + std::to_string(parentPid) + " exited", server, captures);
  });
  // asio replaces SIGTERM's terminating action with its own handler and delivers here.
  asio::signal_set term(mainLoop, SIGTERM);
  term.async_wait([server, captures](std::error_code ec, int) {
    if (!ec)
      finaliseAndExit("SIGTERM", server, captures);
  });

  writeStdoutLine(ReadyLine::render(*port, *token, kHelperVersion, static_cast<int32_t>(getpid())));
  log("listening on 127.0.0.1:" + std::to_string(*port) + ", root " + options->root + ", parent " +
      std::to_string(parentPid));
  log(std::to_string(descriptors) + " descriptors, at most " +
      std::to_string(serverOptions.maxConnections) + " connections");

  auto keepRunning = asio::make_work_guard(mainLoop);
  for (;;)
    mainLoop.run();
}
