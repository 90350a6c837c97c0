#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace va {

inline constexpr std::string_view kHelperVersion = "0.1.0";

// Writes one whole line to standard output under the process-wide stdout lock, so the READY
// line and the state lines never interleave. Any thread.
void writeStdoutLine(std::string_view line);

// The running report: VELMORRANT_AUDIO_STATE {"recording":N} with its line feed.
std::string stateLine(int64_t recording);

// Writes "velmorrant-audio: " + message to standard error and ends the process with status 2.
[[noreturn]] void fail(std::string_view message);

namespace ReadyLine {
// VELMORRANT_AUDIO_READY {"pid":...,"port":...,"token":"...","version":"..."} + "\n"
std::string render(uint16_t port, std::string_view token, std::string_view version, int32_t pid);
} // namespace ReadyLine

} // namespace va
