#include "service/command_line.h"
#include "service/output.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace va {
namespace {

std::expected<ServeOptions, std::string> parse(std::vector<std::string> args) {
  return parseCommandLine(args);
}

TEST(CommandLine, RefusalsInOrder) {
  const std::string file = ::testing::TempDir() + "/va_cli_regular_file";
  std::ofstream(file) << "x";
  const std::string usage = "usage: velmorrant-audio serve --root <abs dir> --parent-pid <pid>";
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{}, usage},
      {{"record"}, usage},
      {{"Serve", "--root", "/tmp"}, usage},
      {{"serve"}, "--root must be an absolute directory"},
      {{"serve", "--root", "/tmp"}, "--parent-pid must be a pid"},
      {{"serve", "--root", "relative/dir", "--parent-pid", "123"},
       "--root must be an absolute directory"},
      {{"serve", "--root", "", "--parent-pid", "123"}, "--root must be an absolute directory"},
      {{"serve", "--root", "/no/such", "--parent-pid", "123"},
       "--root /no/such is not a directory"},
      {{"serve", "--root", file, "--parent-pid", "123"}, "--root " + file + " is not a directory"},
      {{"serve", "--root", "/tmp", "--parent-pid", "1"}, "--parent-pid must be a pid"},
      {{"serve", "--root", "/tmp", "--parent-pid", "0"}, "--parent-pid must be a pid"},
      {{"serve", "--root", "/tmp", "--parent-pid", "-5"}, "--parent-pid must be a pid"},
      {{"serve", "--root", "/tmp", "--parent-pid", ""}, "--parent-pid must be a pid"},
      {{"serve", "--root", "/tmp", "--parent-pid", "2147483648"}, "--parent-pid must be a pid"},
      {{"serve", "--root", "/tmp", "--parent-pid", "0x10"}, "--parent-pid must be a pid"},
      {{"serve", "--root", "/tmp", "--parent-pid", " 12"}, "--parent-pid must be a pid"},
      {{"serve", "--root", "/tmp", "--parent-pid", "++12"}, "--parent-pid must be a pid"},
      {{"serve", "--root", "/tmp", "--parent-pid", "123", "--verbose"}, "--verbose needs a value"},
      {{"serve", "--verbose", "1", "--root", "/tmp", "--parent-pid", "123"},
       "unknown argument --verbose"},
      {{"serve", "--root"}, "--root needs a value"},
      {{"serve", "--parent-pid", "x", "--root"}, "--root needs a value"},
      {{"serve", "--parent-pid", "x"}, "--root must be an absolute directory"},
      {{"serve", "--root", "/no/such", "--parent-pid", "x"}, "--root /no/such is not a directory"},
  };
  for (const Case& c : cases) {
    auto r = parse(c.args);
    ASSERT_FALSE(r.has_value()) << testing::PrintToString(c.args);
    EXPECT_EQ(r.error(), c.message) << testing::PrintToString(c.args);
  }
}

TEST(CommandLine, Accepts) {
  auto r = parse({"serve", "--root", "/a", "--root", "/tmp/", "--parent-pid", "+77"});
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(r->root, "/tmp/"); // the last value, as given
  EXPECT_EQ(r->parentPid, 77);
  r = parse({"serve", "--parent-pid", "2147483647", "--root", "/"});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->parentPid, 2147483647);
  // A value is taken whatever it looks like.
  r = parse({"serve", "--root", "--parent-pid", "--parent-pid", "5"});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "--root must be an absolute directory");
}

TEST(CommandLine, FollowsSymlinksForTheRoot) {
  namespace fs = std::filesystem;
  fs::path dir = fs::path(::testing::TempDir()) / "va_cli_link_target";
  fs::path link = fs::path(::testing::TempDir()) / "va_cli_link";
  fs::create_directories(dir);
  fs::remove(link);
  fs::create_directory_symlink(dir, link);
  auto r = parse({"serve", "--root", link.string(), "--parent-pid", "2"});
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(r->root, link.string());
}

} // namespace
} // namespace va
