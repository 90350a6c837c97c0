#pragma once

#include <chrono>
#include <string_view>

namespace va {

class Captures;
class Server;

inline constexpr std::chrono::milliseconds kFinaliseWatchdog{2800};

// Starts a thread that, `after` from now, logs "finalising took too long; exiting" and ends the
// process with status 1. Never cancelled: it matters only if the process is still alive.
void armFinaliseWatchdog(std::chrono::milliseconds after = kFinaliseWatchdog);

// The orderly exit, on the main loop: log the reason and the number of recording captures, arm
// the watchdog, stop accepting connections, stop every capture that still records (its files
// finalised), report the new count if any was stopped, remove the temporary file of every decode
// still running, exit with status 0.
[[noreturn]] void finaliseAndExit(std::string_view reason, Server* server, Captures* captures);

} // namespace va
