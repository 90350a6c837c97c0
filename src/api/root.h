#pragma once

#include "core/file_io.h"

#include <optional>
#include <string>

namespace va {

// A client path confined below the root: resolved once, then reached only through descriptors.
struct ConfinedPath {
  std::string path; // canonical and absolute, for the capture's records and for messages
  UniqueFd parent;  // its directory, opened from the root's descriptor without following links
  std::string name; // its last component, to be used with `parent` (openat, mkdirat, ...)
};

// The capture root, and the confinement of client paths below it. Built fresh for each request
// so the root is resolved (and opened) again every time.
class Root {
public:
  // The real path of `root`; if that cannot be resolved, its lexically normal form.
  explicit Root(const std::string& root);

  const std::string& path() const { return path_; }

  // An absolute client path whose parent resolves, links followed, to the root or below it and
  // whose last component is a plain name that is not a symbolic link; nothing for any other
  // path. The path itself need not exist. The parent is then opened from the root's own
  // descriptor along its resolved, link-free path: a link swapped in after the resolution makes
  // that open fail (nothing), so it never leads out of the root.
  std::optional<ConfinedPath> contains(const std::string& clientPath) const;

private:
  std::string path_;
  UniqueFd fd_; // the root, opened once (O_PATH)
};

} // namespace va
