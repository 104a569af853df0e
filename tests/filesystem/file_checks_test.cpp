#include "filesystem/file_checks.h"

#include <gtest/gtest.h>

#include "platform/constants.h"
#include "support/simulated_os.h"

namespace obrex {
namespace {

using test::SimulatedOs;

std::u16string repeat(std::size_t count) {
  return std::u16string(count, u'a');
}

struct PathCase {
  const char* name;
  std::u16string current_directory;
  std::u16string path;
  std::optional<std::u16string> expected; // nullopt: the test fails at once
  int full_path_calls;
};

class ExistenceTestPathTest : public testing::TestWithParam<PathCase> {};

TEST_P(ExistenceTestPathTest, GivesTheFormHandedToTheSystem) {
  const PathCase& c = GetParam();
  SimulatedOs os;
  os.current_directory = c.current_directory;
  const auto prepared = existence_test_path(os, c.path);
  if (c.expected) {
    ASSERT_TRUE(prepared) << prepared.error();
    EXPECT_EQ(*prepared, *c.expected);
  } else {
    EXPECT_FALSE(prepared);
  }
  EXPECT_EQ(os.calls("get_full_path_name"), c.full_path_calls);
}

const std::u16string kCwd = u"C:\\cwd";

INSTANTIATE_TEST_SUITE_P(
    Paths, ExistenceTestPathTest,
    testing::Values(
        PathCase{"DriveAbsolute", kCwd, u"C:\\w", u"C:\\w", 0},
        PathCase{"DriveAbsoluteWithSlash", kCwd, u"d:/w/x", u"d:/w/x", 0},
        PathCase{"Relative", kCwd, u"w\\x", u"\\\\?\\C:\\cwd\\w\\x", 1},
        PathCase{"RootRelative", kCwd, u"\\w", u"\\\\?\\C:\\w", 1},
        PathCase{"ShortShare", kCwd, u"\\\\server\\share\\x", u"\\\\server\\share\\x", 0},
        PathCase{"RelativeToAShare", u"\\\\server\\share\\dir", u"x",
                 u"\\\\?\\UNC\\server\\share\\dir\\x", 1},
        PathCase{"LongShare", kCwd, u"\\\\server\\share\\" + repeat(240),
                 u"\\\\?\\UNC\\server\\share\\" + repeat(240), 1},
        // 246 units and the NUL: 247, short enough.
        PathCase{"JustShort", kCwd, u"C:\\" + repeat(243), u"C:\\" + repeat(243), 0},
        // 247 units and the NUL: 248, long.
        PathCase{"JustLong", kCwd, u"C:\\" + repeat(244), u"\\\\?\\C:\\" + repeat(244), 1},
        PathCase{"LongVerbatim", kCwd, u"\\\\?\\C:\\" + repeat(300), u"\\\\?\\C:\\" + repeat(300),
                 0},
        PathCase{"NtPrefix", kCwd, u"\\??\\C:\\w", u"\\??\\C:\\w", 0},
        PathCase{"LongDevice", kCwd, u"\\\\.\\pipe\\" + repeat(250), u"\\\\.\\pipe\\" + repeat(250),
                 1},
        PathCase{"Nul", kCwd, std::u16string(u"C:\\w\0x", 6), std::nullopt, 0},
        PathCase{"EmptyRefusedBySystem", kCwd, u"", std::nullopt, 1}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

struct ExistenceCase {
  const char* name;
  std::u16string path;
  bool passes;
  bool directory;
  int opens;
  int find_calls;
};

class ExistenceTest : public testing::TestWithParam<ExistenceCase> {};

// C:\d a directory holding the file f; C:\link a symbolic link to C:\d and
// C:\broken one to nothing. The others refuse to be opened with their links
// followed: C:\locked (5) and C:\busy (32) are plain, C:\lockedlink (5) is a
// symbolic link, C:\busyalias (32), C:\alias (1920) are app-execution
// aliases, and C:\aliaslink (1920) is a symbolic link; C:\odd refuses with 87.
void build_tree(SimulatedOs& os) {
  os.add_directory(u"C:\\d");
  os.add_file(u"C:\\d\\f");
  const auto link = [&](const char16_t* path, std::uint32_t tag, std::uint32_t error,
                        std::optional<std::u16string> target) {
    test::SimFile& entry = os.add_file(path);
    entry.reparse_tag = tag;
    entry.follow_open_error = error;
    entry.link_target = std::move(target);
  };
  link(u"C:\\link", win::IO_REPARSE_TAG_SYMLINK, 0, u"C:\\d");
  link(u"C:\\broken", win::IO_REPARSE_TAG_SYMLINK, 0, u"C:\\gone");
  os.add_directory(u"C:\\locked").follow_open_error = win::ERROR_ACCESS_DENIED;
  os.add_file(u"C:\\busy").follow_open_error = win::ERROR_SHARING_VIOLATION;
  link(u"C:\\lockedlink", win::IO_REPARSE_TAG_SYMLINK, win::ERROR_ACCESS_DENIED, u"C:\\d");
  link(u"C:\\busyalias", win::IO_REPARSE_TAG_APPEXECLINK, win::ERROR_SHARING_VIOLATION,
       std::nullopt);
  link(u"C:\\alias", win::IO_REPARSE_TAG_APPEXECLINK, win::ERROR_CANT_ACCESS_FILE, std::nullopt);
  link(u"C:\\aliaslink", win::IO_REPARSE_TAG_SYMLINK, win::ERROR_CANT_ACCESS_FILE, u"C:\\d");
  os.add_file(u"C:\\odd").follow_open_error = win::ERROR_INVALID_PARAMETER;
}

TEST_P(ExistenceTest, PassesWhenTheFileInformationCanBeRead) {
  const ExistenceCase& c = GetParam();
  SimulatedOs os;
  build_tree(os);
  const auto found = existence_test(os, c.path);
  EXPECT_EQ(found.has_value(), c.passes);
  if (found) {
    EXPECT_EQ(found->is_directory(), c.directory);
  }
  EXPECT_EQ(os.calls("create_file"), c.opens);
  EXPECT_EQ(os.calls("find_first_file_ex"), c.find_calls);
  EXPECT_EQ(os.open_handles(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ExistenceTest,
    testing::Values(ExistenceCase{"Directory", u"C:\\d", true, true, 1, 0},
                    ExistenceCase{"File", u"C:\\d\\f", true, false, 1, 0},
                    ExistenceCase{"Missing", u"C:\\nothing", false, false, 1, 0},
                    ExistenceCase{"LinkFollowed", u"C:\\link", true, true, 1, 0},
                    ExistenceCase{"BrokenLink", u"C:\\broken", false, false, 1, 0},
                    ExistenceCase{"RefusedEntryRead", u"C:\\locked", true, true, 1, 1},
                    ExistenceCase{"BusyEntryRead", u"C:\\busy", true, false, 1, 1},
                    ExistenceCase{"RefusedLink", u"C:\\lockedlink", false, false, 1, 1},
                    ExistenceCase{"BusyAlias", u"C:\\busyalias", true, false, 1, 1},
                    ExistenceCase{"AliasReopened", u"C:\\alias", true, false, 2, 0},
                    ExistenceCase{"UnfollowableLink", u"C:\\aliaslink", false, false, 2, 0},
                    ExistenceCase{"OtherRefusal", u"C:\\odd", false, false, 1, 0},
                    ExistenceCase{"Nul", std::u16string(u"C:\\d\0", 5), false, false, 0, 0}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(ExistenceTest, FailsWhenAFallbackFails) {
  SimulatedOs os;
  build_tree(os);
  os.fail_call("find_first_file_ex", 1, win::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(existence_test(os, u"C:\\locked"));
  os.fail_call("create_file", 2, win::ERROR_ACCESS_DENIED); // the reopen of the alias
  EXPECT_FALSE(existence_test(os, u"C:\\alias"));
  EXPECT_EQ(os.open_handles(), 0u);
}

struct SecurityTextFailure {
  const char* name;
  const char* method;
  OsCode code;
  const char* message;
};

class ReadSecurityTextTest : public testing::TestWithParam<SecurityTextFailure> {};

TEST_P(ReadSecurityTextTest, ReportsTheFailedCall) {
  const SecurityTextFailure& c = GetParam();
  SimulatedOs os;
  os.add_directory(u"C:\\w");
  os.fail_call(c.method, 1, c.code);
  const auto text = read_security_text(os, "C:\\w", win::DACL_SECURITY_INFORMATION);
  ASSERT_FALSE(text);
  EXPECT_EQ(text.error().message, c.message);
  EXPECT_EQ(os.live_allocations(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ReadSecurityTextTest,
    testing::Values(
        SecurityTextFailure{"Read", "get_named_security_info", 5,
                            "cannot read the security of C:\\w: Access is denied. (os error 5)"},
        SecurityTextFailure{"ReadStatus", "get_named_security_info", 0x80070005,
                            "cannot read the security of C:\\w: error 2147942405"},
        SecurityTextFailure{
            "Format", "convert_security_descriptor_to_string_security_descriptor", 87,
            "cannot format the security of C:\\w: The parameter is incorrect. (os error 87)"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

} // namespace
} // namespace obrex
