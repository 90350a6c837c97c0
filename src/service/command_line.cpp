#include "service/command_line.h"

#include "core/decimal.h"

#include <sys/stat.h>

namespace va {

std::expected<ServeOptions, std::string> parseCommandLine(std::span<const std::string> args) {
  if (args.empty() || args[0] != "serve")
    return std::unexpected("usage: velmorrant-audio serve --root <abs dir> --parent-pid <pid>");
  std::optional<std::string> rootArg, parentArg;
  for (size_t i = 1; i < args.size();) {
    const std::string& flag = args[i++];
    if (i == args.size())
      return std::unexpected(flag + " needs a value");
    const std::string& value = args[i++];
    if (flag == "--root")
      rootArg = value;
    else if (flag == "--parent-pid")
      parentArg = value;
    else
      return std::unexpected("unknown argument " + flag);
  }

  if (!rootArg || !rootArg->starts_with("/"))
    return std::unexpected("--root must be an absolute directory");
  struct stat st {};
  if (::stat(rootArg->c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return std::unexpected("--root " + *rootArg + " is not a directory");

  std::optional<int32_t> pid = parentArg ? parseDecimal<int32_t>(*parentArg) : std::nullopt;
  if (!pid || *pid < 2)
    return std::unexpected("--parent-pid must be a pid");
  return ServeOptions{*rootArg, *pid};
}

} // namespace va
