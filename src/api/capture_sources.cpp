#include "api/capture_sources.h"

#include <algorithm>
#include <map>
#include <set>

namespace va::CaptureSources {

Json json(InputDeviceProvider& devices, ApplicationProvider& applications,
          ProcessObjectProvider* processes) {
  // 0 means no default: no listed device has id 0 as its default.
  const uint32_t defaultID = devices.defaultInputID().value_or(0);

  Json inputs = Json::array();
  for (const InputDevice& d : devices.inputs()) {
    inputs.push_back(Json{{"uid", d.uid},
                          {"name", d.name},
                          {"transport", d.transport},
                          {"isDefault", defaultID != 0 && d.id == defaultID}});
  }

  // Grouped by identity; the first instance seen names the entry. std::map gives ascending
  // byte order of the identity.
  struct Entry {
    std::string name;
    std::vector<int32_t> pids;
  };
  std::map<std::string, Entry> byID;
  for (const RunningApplication& app : applications.runningApplications()) {
    if (!app.regular || !app.bundleID || app.pid < 1)
      continue;
    auto [it, inserted] = byID.try_emplace(*app.bundleID);
    if (inserted)
      it->second.name = app.name.value_or(*app.bundleID);
    it->second.pids.push_back(app.pid);
  }
  std::set<int32_t> playingPids;
  std::set<std::string> playingIDs;
  if (processes)
    for (const AudioProcessInfo& process : processes->processes())
      if (process.runningOutput) {
        playingPids.insert(process.pid);
        playingIDs.insert(process.bundleID);
      }
  Json apps = Json::array();
  for (const auto& [id, entry] : byID) {
    bool playing = playingIDs.contains(id) || std::ranges::any_of(entry.pids, [&](int32_t pid) {
                     return playingPids.contains(pid);
                   });
    apps.push_back(
        Json{{"bundleId", id}, {"name", entry.name}, {"pids", entry.pids}, {"playing", playing}});
  }

  return Json{{"inputs", std::move(inputs)}, {"applications", std::move(apps)}};
}

} // namespace va::CaptureSources
