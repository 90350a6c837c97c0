#pragma once

#include "core/file_io.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <utility>

namespace va {

// A capture's directory, as the request confined and made it: reached only through descriptors,
// and made again, walking `below` from the root, if it is removed while the capture records.
struct CaptureDirectory {
  UniqueFd parent;  // the directory that holds it, opened beneath the root
  std::string name; // its name in `parent`
  UniqueFd dir;     // the directory itself, opened without following a link
  std::string path; // canonical, for records and messages only
  // The service's root, opened once at start-up, and the directory's path below it ("a/b/x"):
  // the only way the directory is made again. Null root: it is never made again.
  std::shared_ptr<const UniqueFd> root;
  std::string below;
};

// A directory's identity: (device, inode).
using DirectoryKey = std::pair<uint64_t, uint64_t>;

inline std::optional<DirectoryKey> directoryKey(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0)
    return std::nullopt;
  return DirectoryKey{info.st_dev, info.st_ino};
}

// How a capture holds a directory it makes again. `claim` is true when the capture may record
// there: the directory is already the capture's, or it is unheld and the capture has just made it
// (`made`); a directory held by another capture, or one found there and not the capture's, is
// refused. `release` gives back one of the capture's directories (removed, so its inode may be
// reused). Either may run on any thread; both empty: a made directory is the caller's own.
struct DirectoryClaims {
  std::function<bool(DirectoryKey key, bool made)> claim;
  std::function<void(DirectoryKey key)> release;
};

} // namespace va
