// Fuzz target for the create-capture body: any bytes are refused or give a CaptureSpec that keeps
// every promise of the validation, and nothing throws.

#include "api/capture_request.h"

#include "fuzz_check.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  std::optional<va::CaptureSpec> spec = va::parseCaptureRequest(body);
  if (!spec)
    return 0;
  check(spec->dir.starts_with("/"));
  check(spec->segmentSeconds >= 1 && spec->segmentSeconds <= 3600);
  check(spec->mic || spec->remote);
  if (spec->mic && spec->mic->deviceUid)
    check(!spec->mic->deviceUid->empty());
  if (spec->remote) {
    const va::ProcessMatch& match = spec->remote->match;
    check(!spec->remote->strategy.empty());
    check(!match.bundleIds.empty() || !match.bundlePrefixes.empty());
    for (const auto* list : {&match.bundleIds, &match.bundlePrefixes})
      for (const std::string& entry : *list)
        check(!entry.empty());
    // The match survives its own JSON form.
    check(va::ProcessMatch::fromJson(match.json()) == match);
  }
  return 0;
}
