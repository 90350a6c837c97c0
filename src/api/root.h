#pragma once

#include <optional>
#include <string>

namespace va {

// The capture root, and the confinement of client paths below it. Built fresh for each request
// so the root is resolved again every time.
class Root {
public:
  // The real path of `root`; if that cannot be resolved, its lexically normal form.
  explicit Root(const std::string& root);

  const std::string& path() const { return path_; }

  // The canonical form of an absolute client path whose parent resolves to the root or below
  // it and whose last component is a plain name that is not a symbolic link; nothing for any
  // other path. The path itself need not exist.
  std::optional<std::string> contains(const std::string& clientPath) const;

private:
  std::string path_;
};

} // namespace va
