#include "api/root.h"

#include <climits>
#include <cstdlib>
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
    return;
  }
  path_ = std::filesystem::path(root).lexically_normal().string();
  while (path_.size() > 1 && path_.back() == '/')
    path_.pop_back();
}

std::optional<std::string> Root::contains(const std::string& clientPath) const {
  // A NUL would cut the path short in every system call below: refuse it outright.
  if (clientPath.empty() || clientPath.front() != '/' || clientPath.find('\0') != std::string::npos)
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
  if (*parent != path_) {
    std::string prefix = path_.back() == '/' ? path_ : path_ + "/";
    if (parent->compare(0, prefix.size(), prefix) != 0)
      return std::nullopt;
  }

  std::string joined = (parent->back() == '/' ? *parent : *parent + "/") + last;
  struct stat info {};
  if (::lstat(joined.c_str(), &info) == 0 && S_ISLNK(info.st_mode))
    return std::nullopt;
  return joined;
}

} // namespace va
