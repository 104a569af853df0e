#include "filesystem/file_checks.h"

#include <gtest/gtest.h>

#include "support/simulated_os.h"

namespace obrex {
namespace {

using test::SimulatedOs;

TEST(ExistenceTestPath, GivesTheFormHandedToTheSystem) {
  const std::u16string a243(243, u'a');
  const std::u16string a244(244, u'a');
  // The current directory, the path, what is handed on (nullopt: the test
  // fails at once) and whether GetFullPathNameW was asked.
  const std::tuple<std::u16string, std::u16string, std::optional<std::u16string>, bool> cases[] = {
      {u"C:\\cwd", u"C:\\w", u"C:\\w", false},
      {u"C:\\cwd", u"w\\x", u"\\\\?\\C:\\cwd\\w\\x", true},
      {u"C:\\cwd", u"\\\\server\\share\\x", u"\\\\server\\share\\x", false},
      {u"\\\\server\\share\\dir", u"x", u"\\\\?\\UNC\\server\\share\\dir\\x", true},
      // 246 units and the NUL: short enough; 247 and the NUL: long.
      {u"C:\\cwd", u"C:\\" + a243, u"C:\\" + a243, false},
      {u"C:\\cwd", u"C:\\" + a244, u"\\\\?\\C:\\" + a244, true},
      {u"C:\\cwd", u"\\\\?\\C:\\" + a244, u"\\\\?\\C:\\" + a244, false},
      {u"C:\\cwd", u"\\??\\C:\\w", u"\\??\\C:\\w", false},
      {u"C:\\cwd", u"\\\\.\\pipe\\" + a244, u"\\\\.\\pipe\\" + a244, true},
      {u"C:\\cwd", std::u16string(u"C:\\w\0x", 6), std::nullopt, false},
  };
  for (const auto& [current_directory, path, expected, full_path_asked] : cases) {
    SimulatedOs os;
    os.current_directory = current_directory;
    const auto prepared = existence_test_path(os, path);
    EXPECT_EQ(prepared ? std::optional(*prepared) : std::nullopt, expected);
    EXPECT_EQ(os.calls("get_full_path_name"), full_path_asked ? 1 : 0);
  }
}

TEST(ExistenceTest, PassesWhenTheFileInformationCanBeRead) {
  // C:\d a directory; links to it, to nothing, and entries that refuse to be
  // opened with links followed: plain ones (5, 32), a symbolic link (5), an
  // app-execution alias (1920), a symbolic link (1920), and another error.
  SimulatedOs os;
  os.add_directory(u"C:\\d");
  const auto add = [&os](const char16_t* path, std::uint32_t tag, std::uint32_t error,
                         std::optional<std::u16string> target) {
    test::SimFile& entry = os.add_file(path);
    entry.reparse_tag = tag;
    entry.follow_open_error = error;
    entry.link_target = std::move(target);
  };
  add(u"C:\\link", 0xA000000Cu, 0, u"C:\\d");
  add(u"C:\\broken", 0xA000000Cu, 0, u"C:\\gone");
  os.add_directory(u"C:\\locked").follow_open_error = 5u;
  add(u"C:\\busy", 0, 32u, std::nullopt);
  add(u"C:\\lockedlink", 0xA000000Cu, 5u, u"C:\\d");
  add(u"C:\\alias", 0x8000001Bu, 1920u, std::nullopt);
  add(u"C:\\aliaslink", 0xA000000Cu, 1920u, u"C:\\d");
  add(u"C:\\odd", 0, 87u, std::nullopt);

  enum class Outcome { Missing, File, Directory };
  struct Case {
    std::u16string path;
    Outcome outcome;
    int opens;
    int entry_reads; // FindFirstFileExW
  };
  using enum Outcome;
  const Case cases[] = {
      {u"C:\\d", Directory, 1, 0},        {u"C:\\missing", Missing, 1, 0},
      {u"C:\\link", Directory, 1, 0},     {u"C:\\broken", Missing, 1, 0},
      {u"C:\\locked", Directory, 1, 1},   {u"C:\\busy", File, 1, 1},
      {u"C:\\lockedlink", Missing, 1, 1}, {u"C:\\alias", File, 2, 0},
      {u"C:\\aliaslink", Missing, 2, 0},  {u"C:\\odd", Missing, 1, 0},
  };
  for (const Case& c : cases) {
    const int opens_before = os.calls("create_file");
    const int entry_reads_before = os.calls("find_first_file_ex");
    const auto found = existence_test(os, c.path);
    EXPECT_EQ(found ? (found->is_directory() ? Directory : File) : Missing, c.outcome)
        << display_text(c.path);
    EXPECT_EQ(os.calls("create_file") - opens_before, c.opens) << display_text(c.path);
    EXPECT_EQ(os.calls("find_first_file_ex") - entry_reads_before, c.entry_reads)
        << display_text(c.path);
  }
  // A path that opens but whose metadata cannot be read fails at once: the
  // fallbacks stand in for a refused open only.
  for (const OsCode code : {5u, 32u, 1920u}) {
    const int opens_before = os.calls("create_file");
    os.fail_call("get_file_information_by_handle", 1, code);
    EXPECT_FALSE(existence_test(os, u"C:\\d")) << code;
    EXPECT_EQ(os.calls("create_file") - opens_before, 1) << code;
  }
  EXPECT_EQ(os.calls("find_first_file_ex"), 3);
  // A directory entry that cannot be read either: the test fails.
  os.fail_call("find_first_file_ex", 1, 5u);
  EXPECT_FALSE(existence_test(os, u"C:\\locked"));
}

} // namespace
} // namespace obrex
