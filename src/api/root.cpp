#include "api/root.h"

#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>

namespace va {

namespace {

std::optional<std::string> realPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (!::realpath(path.c_str(), resolved))
    return std::nullopt;
  return std::string(resolved);
}

} // namespace

Root::Root(const std::string& root) {
  if (auto real = realPath(root)) {
    path_ = *real;
  } else {
    path_ = std::filesystem::path(root).lexically_normal().string();
    while (path_.size() > 1 && path_.back() == '/')
      path_.pop_back();
  }
  fd_ = UniqueFd(::open(path_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

std::optional<ConfinedPath> Root::contains(const std::string& clientPath) const {
  // A NUL would cut the path short in every system call below: refuse it outright.
  if (!fd_ || clientPath.empty() || clientPath.front() != '/' ||
      clientPath.find('\0') != std::string::npos)
    return std::nullopt;

  std::string path = clientPath;
  while (path.size() > 1 && path.back() == '/')
    path.pop_back();
  size_t slash = path.rfind('/');
  std::string last = path.substr(slash + 1);
  if (last.empty() || last == "." || last == "..")
    return std::nullopt; // also "/" itself

  auto parent = realPath(slash == 0 ? "/" : path.substr(0, slash));
  if (!parent)
    return std::nullopt;
  std::string below; // the resolved parent relative to the root: no link, ".", or ".." in it
  if (*parent != path_) {
    std::string prefix = path_.back() == '/' ? path_ : path_ + "/";
    if (parent->compare(0, prefix.size(), prefix) != 0)
      return std::nullopt;
    below = parent->substr(prefix.size());
  }

  ConfinedPath confined;
  confined.parent = UniqueFd(openBeneath(fd_.get(), below, O_PATH | O_DIRECTORY));
  if (!confined.parent)
    return std::nullopt;
  struct stat info {};
  if (::fstatat(confined.parent.get(), last.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(info.st_mode))
    return std::nullopt;
  confined.path = (parent->back() == '/' ? *parent : *parent + "/") + last;
  confined.name = std::move(last);
  return confined;
}

} // namespace va
