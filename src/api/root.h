#pragma once

#include "core/file_io.h"

#include <expected>
#include <memory>
#include <string>
#include <vector>

namespace va {

// A client path confined below the root: resolved once, then reached only through descriptors.
struct ConfinedPath {
  std::string path;  // canonical and absolute, for the capture's records and for messages
  std::string below; // the same relative to the root ("a/b/x")
  UniqueFd parent;   // its directory, reached from the root's descriptor
  std::string name;  // its last component, to be used with `parent` (openat, mkdirat, ...)
};

// Why a client path was not confined.
enum class Refusal {
  outside, // not below the root, or a link where none may be
  missing, // a directory on the way to it does not exist
  busy,    // a descriptor or memory could not be had (EMFILE, ENFILE, ENOMEM): try again later
};

// True for the errors that say the process is short of descriptors or memory, not that a path
// is wrong.
bool outOfResources(int error);

// The capture root, opened once at start-up and never looked up by name again: a link that
// named it, re-pointed later, changes nothing. Client paths are resolved below its descriptor,
// one component at a time. Immutable; safe from any thread.
class Root {
public:
  // Opens `given` (an absolute directory; links followed, this once). Its canonical path is
  // what the opened directory is called then. The error is a message.
  static std::expected<std::shared_ptr<const Root>, std::string> open(const std::string& given);

  const std::string& path() const { return path_; } // canonical, as resolved at start-up
  const std::shared_ptr<const UniqueFd>& fd() const { return fd_; }

  // An absolute client path below the root whose last component is a plain name that is not a
  // symbolic link. The path must begin with the root's canonical path or with the path as
  // given at start-up; "." and ".." are taken lexically before anything is looked at. Its
  // parent is then walked from the root's descriptor: a link on the way is read and its target
  // resolved again below the root (an absolute target must also begin with one of the root's
  // two names; at most 40 links), and anything leading out is refused. The path itself need
  // not exist; its parent must. Linear in the path's length.
  std::expected<ConfinedPath, Refusal> contains(const std::string& clientPath) const;

private:
  Root(std::string path, std::vector<std::string> canonical, std::vector<std::string> given,
       UniqueFd fd);

  // The names below the root that `absolute` (lexically normal components) stands for.
  std::expected<std::vector<std::string>, Refusal>
  below(const std::vector<std::string>& absolute) const;

  const std::string path_;
  const std::vector<std::string> canonical_; // components of path_
  const std::vector<std::string> given_;     // components of the path given at start-up
  const std::shared_ptr<const UniqueFd> fd_; // O_PATH | O_DIRECTORY
};

} // namespace va
