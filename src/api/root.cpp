#include "api/root.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace va {

namespace {

// As many links as the kernel itself follows in one path.
constexpr int kMaxLinks = 40;

// Appends the components of `path` to `out`, "." dropped and ".." taking the last one back.
// A ".." with nothing to take back fails, unless `clamp` (an absolute path: "/.." is "/").
bool normalise(std::vector<std::string>& out, std::string_view path, bool clamp) {
  for (size_t at = 0; at <= path.size();) {
    size_t slash = std::min(path.find('/', at), path.size());
    std::string_view part = path.substr(at, slash - at);
    at = slash + 1;
    if (part.empty() || part == ".")
      continue;
    if (part != "..")
      out.emplace_back(part);
    else if (!out.empty())
      out.pop_back();
    else if (!clamp)
      return false;
  }
  return true;
}

std::vector<std::string> components(std::string_view absolute) {
  std::vector<std::string> out;
  normalise(out, absolute, true);
  return out;
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names)
    out += (out.empty() ? "" : "/") + name;
  return out;
}

} // namespace

bool outOfResources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM;
}

Root::Root(std::string path, std::vector<std::string> canonical, std::vector<std::string> given,
           UniqueFd fd)
    : path_(std::move(path)), canonical_(std::move(canonical)), given_(std::move(given)),
      fd_(std::make_shared<const UniqueFd>(std::move(fd))) {}

std::expected<std::shared_ptr<const Root>, std::string> Root::open(const std::string& given) {
  if (given.empty() || given.front() != '/')
    return std::unexpected("the root " + given + " is not an absolute path");
  UniqueFd fd(::open(given.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!fd)
    return std::unexpected("cannot open the root " + given + ": " + std::strerror(errno));
  // The kernel's name for the directory that was opened: no second lookup of `given` that a
  // re-pointed link could divert.
  char link[32];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd.get());
  char resolved[PATH_MAX];
  ssize_t n = ::readlink(link, resolved, sizeof resolved);
  if (n <= 0 || n >= static_cast<ssize_t>(sizeof resolved) || resolved[0] != '/')
    return std::unexpected("cannot resolve the root " + given + " through /proc");
  std::vector<std::string> canonical =
      components(std::string_view(resolved, static_cast<size_t>(n)));
  std::string path = "/" + joined(canonical);
  return std::shared_ptr<const Root>(
      new Root(std::move(path), std::move(canonical), components(given), std::move(fd)));
}

std::expected<std::vector<std::string>, Refusal>
Root::below(const std::vector<std::string>& absolute) const {
  // The longer of the root's two names first, should one hold the other.
  const bool canonicalFirst = canonical_.size() >= given_.size();
  for (const auto* prefix :
       {canonicalFirst ? &canonical_ : &given_, canonicalFirst ? &given_ : &canonical_})
    if (absolute.size() >= prefix->size() &&
        std::equal(prefix->begin(), prefix->end(), absolute.begin()))
      return std::vector<std::string>(absolute.begin() + static_cast<ptrdiff_t>(prefix->size()),
                                      absolute.end());
  return std::unexpected(Refusal::outside);
}

std::expected<ConfinedPath, Refusal> Root::contains(const std::string& clientPath) const {
  constexpr auto outside = std::unexpected(Refusal::outside);
  constexpr auto busy = std::unexpected(Refusal::busy);
  // A NUL would cut the path short in every system call below: refuse it outright.
  if (clientPath.empty() || clientPath.front() != '/' || clientPath.find('\0') != std::string::npos)
    return outside;
  // The last component as sent (a trailing "/" ignored): ".", ".." and "/" name no new entry.
  std::string_view trimmed = clientPath;
  while (trimmed.size() > 1 && trimmed.back() == '/')
    trimmed.remove_suffix(1);
  std::string_view last = trimmed.substr(trimmed.rfind('/') + 1);
  if (last.empty() || last == "." || last == "..")
    return outside;

  std::expected<std::vector<std::string>, Refusal> names = below(components(clientPath));
  if (!names || names->empty()) // the root itself is never a client path
    return outside;
  std::string name = std::move(names->back());
  names->pop_back();

  // The parent, a component at a time from the root. `todo` holds what is left, next one last;
  // `done` the link-free names walked so far, `current` the last of them opened.
  std::vector<std::string> todo(names->rbegin(), names->rend());
  std::vector<std::string> done;
  UniqueFd current;
  int at = fd_->get();
  int links = 0;
  while (!todo.empty()) {
    std::string part = std::move(todo.back());
    todo.pop_back();
    UniqueFd next(::openat(at, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (next) {
      done.push_back(std::move(part));
      current = std::move(next);
      at = current.get();
      continue;
    }
    if (outOfResources(errno))
      return busy;
    if (errno == ENOENT)
      return std::unexpected(Refusal::missing);
    if ((errno != ENOTDIR && errno != ELOOP) || ++links > kMaxLinks)
      return outside;
    // Perhaps a link: its target takes its place, resolved below the root like the client path.
    char target[PATH_MAX];
    ssize_t n = ::readlinkat(at, part.c_str(), target, sizeof target);
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof target))
      return outOfResources(errno) ? busy : outside;
    std::string_view link(target, static_cast<size_t>(n));
    std::vector<std::string> resolved;
    if (link.front() == '/') {
      std::expected<std::vector<std::string>, Refusal> inside = below(components(link));
      if (!inside)
        return outside;
      resolved = std::move(*inside);
    } else {
      resolved = std::move(done);
      if (!normalise(resolved, link, false))
        return outside; // above the root
    }
    // Walked again from the root: a bounded number of times, so still linear.
    todo.insert(todo.end(), resolved.rbegin(), resolved.rend());
    done.clear();
    current = UniqueFd();
    at = fd_->get();
  }

  ConfinedPath confined;
  confined.parent =
      current ? std::move(current)
              : UniqueFd(::openat(at, ".", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!confined.parent)
    return outOfResources(errno) ? busy : outside;
  struct stat info {};
  if (::fstatat(confined.parent.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(info.st_mode))
    return outside;
  done.push_back(name);
  confined.below = joined(done);
  confined.path = (path_ == "/" ? "/" : path_ + "/") + confined.below;
  confined.name = std::move(name);
  return confined;
}

} // namespace va
