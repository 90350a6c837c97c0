#include "service/orderly_exit.h"

#include "service/exit_now.h"

#include "capture/captures.h"
#include "core/log.h"
#include "decode/decode.h"
#include "http/server.h"

#include <string>
#include <thread>
#include <unistd.h>

namespace va {

void armFinaliseWatchdog(std::chrono::milliseconds after) {
  std::thread([after] {
    std::this_thread::sleep_for(after);
    log("finalising took too long; exiting");
    exitNow(1);
  }).detach();
}

void finaliseAndExit(std::string_view reason, Server* server, Captures* captures) {
  int64_t recording = captures ? captures->recordingCount() : 0;
  log(std::string(reason) + "; finalising " + std::to_string(recording) + " capture(s)");
  armFinaliseWatchdog();
  if (server)
    server->cancelListener();
  bool stoppedAny = false;
  if (captures) {
    // Each capture's own stop, without the registry's lock and without a report per stop.
    for (const auto& capture : captures->all()) {
      if (capture->isRecording()) {
        capture->stop();
        stoppedAny = true;
      }
    }
    if (stoppedAny)
      captures->reportRecordingCount();
  }
  // A decode still running cannot finish now: its temporary file goes with it.
  Decode::removeUnfinished();
  // Other threads are not waited for: their work dies with the process. exitNow skips static
  // destructors that could race with them.
  exitNow(0);
}

} // namespace va
