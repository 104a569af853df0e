#include "filesystem/sandbox_temp.h"

#include <gtest/gtest.h>

#include "support/simulated_os.h"

namespace obrex {
namespace {

using test::SimulatedOs;

TEST(ParentPath, DropsTheLastComponentButNeverTheRoot) {
  // clang-format off
  const std::pair<std::u16string, std::optional<std::u16string>> cases[] = {
      {u"C:\\a\\\\b\\", u"C:\\a"}, {u"C:\\a", u"C:\\"}, {u"C:\\", std::nullopt},
      {u"C:a", u"C:"}, {u"a", u""}, {u"", std::nullopt},
      {u"\\\\server\\share\\x", u"\\\\server\\share\\"}, {u"\\\\server\\share\\", std::nullopt},
      {u"\\\\?\\UNC\\server\\share\\x", u"\\\\?\\UNC\\server\\share\\"},
      {u"\\\\?\\C:\\a", u"\\\\?\\C:\\"},
  };
  // clang-format on
  for (const auto& [path, parent] : cases) {
    EXPECT_EQ(parent_path(path), parent) << display_text(path);
  }
}

const std::u16string kProfile = u"C:\\Users\\sandboxer";
const std::u16string kLocalLow = kProfile + u"\\AppData\\LocalLow";
const std::u16string kTornel = kLocalLow + u"\\Tornel";
const std::u16string kObrex = kTornel + u"\\Obrex";
const std::u16string kTemp = kObrex + u"\\sandbox-temp";

struct TreeCase {
  std::u16string existing; // the deepest directory there beforehand
  // What stands at sandbox-temp: 'f' a file, 'j' a junction and 'l' a
  // symbolic link to LocalLow, 'd' a directory that refuses to be opened;
  // 0 nothing.
  char in_the_way = 0;
  std::vector<std::pair<int, OsCode>> faults; // of the create_directory calls
  int create_calls;
  std::optional<std::string> error; // the text after "cannot create {the whole path}: "
  std::vector<std::u16string> created;
};

TEST(PrepareSandboxTemp, CreatesTheMissingLevelsTopDown) {
  const std::string exists = "Cannot create a file when that file already exists. (os error 183)";
  const std::string denied = "Access is denied. (os error 5)";
  const TreeCase cases[] = {
      {kTemp, 0, {}, 1, std::nullopt, {}},
      // Walk: sandbox-temp, Obrex missing, Tornel made; then Obrex,
      // sandbox-temp.
      {kLocalLow, 0, {}, 5, std::nullopt, {kTornel, kObrex, kTemp}},
      {kObrex, 'f', {}, 1, exists, {}},
      // A level is read without following links: a link to a directory is
      // no directory. One that refuses the open is read from its entry.
      {kObrex, 'j', {}, 1, exists, {}},
      {kObrex, 'l', {}, 1, exists, {}},
      {kObrex, 'd', {}, 1, std::nullopt, {}},
      // Another run makes the two levels between the walk and the creation.
      {kTemp, 0, {{1, 3u}, {2, 2u}}, 5, std::nullopt, {}},
      {kTemp, 0, {{1, 80u}}, 1, std::nullopt, {}},
      {kLocalLow, 0, {{3, 5u}}, 3, denied, {}},
      {kLocalLow, 0, {{4, 5u}}, 4, denied, {kTornel}},
      {kLocalLow, 0, {{1, 53u}, {2, 67u}, {3, 15u}}, 7, std::nullopt, {kTornel, kObrex, kTemp}},
  };
  for (const TreeCase& c : cases) {
    SimulatedOs os;
    os.add_directory(c.existing);
    if (c.in_the_way != 0) {
      test::SimFile& entry = c.in_the_way == 'f' ? os.add_file(kTemp) : os.add_directory(kTemp);
      if (c.in_the_way == 'j' || c.in_the_way == 'l') {
        entry.reparse_tag = c.in_the_way == 'j' ? 0xA0000003u : 0xA000000Cu;
        entry.link_target = kLocalLow;
      } else if (c.in_the_way == 'd') {
        os.fail_call("create_file", 1, 5u);
      }
    }
    for (const auto& [nth, code] : c.faults) {
      os.fail_call("create_directory", nth, code);
    }
    const std::size_t entries_before = os.files.size();
    const auto result = prepare_sandbox_temp(os, os.get_known_folder_path_profile());
    if (c.error) {
      EXPECT_EQ(result ? "(made)" : result.error().message,
                "cannot create " + display_text(kTemp) + ": " + *c.error);
    } else {
      EXPECT_EQ(result.value(), kTemp);
    }
    EXPECT_EQ(os.calls("create_directory"), c.create_calls);
    for (const auto& path : c.created) {
      EXPECT_TRUE(os.find(path) && os.find(path)->directory) << display_text(path);
    }
    EXPECT_EQ(os.files.size(), entries_before + c.created.size());
  }
}

TEST(PrepareSandboxTemp, JoinsWithoutDoublingTheSeparatorAndCreatesLongPaths) {
  const std::u16string long_profile = u"C:\\Users\\" + std::u16string(220, u'p');
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"D:\\x\\", u"D:\\x\\AppData\\LocalLow\\Tornel\\Obrex\\sandbox-temp"},
      {long_profile, long_profile + u"\\AppData\\LocalLow\\Tornel\\Obrex\\sandbox-temp"},
  };
  for (const auto& [profile, expected] : cases) {
    SimulatedOs os;
    os.add_directory(profile);
    os.profile = profile;
    const auto result = prepare_sandbox_temp(os, os.get_known_folder_path_profile());
    ASSERT_TRUE(result) << result.error().message;
    EXPECT_EQ(*result, expected);
    EXPECT_NE(os.find(expected), nullptr);
  }
}

// TEMP and TMP replaced whatever the case of their names, every other entry
// kept, and the block sorted by upper-case name: "_" comes after letters.
TEST(EnvironmentWithTemp, ReplacesTempAndTmpAndKeepsTheBlockSorted) {
  using namespace std::string_literals;
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"=C:=C:\\cwd\0Path=C:\\bin\0Temp=C:\\old\0tmp=x\0T_X=1\0TEMPLATE=y\0windir=W\0"s,
       u"=C:=C:\\cwd\0Path=C:\\bin\0TEMP=D:\\t\0TEMPLATE=y\0TMP=D:\\t\0T_X=1\0windir=W\0\0"s},
      {u""s, u"TEMP=D:\\t\0TMP=D:\\t\0\0"s},
  };
  for (const auto& [entries, block] : cases) {
    EXPECT_EQ(environment_with_temp(entries, u"D:\\t"), block) << display_text(entries);
  }

  SimulatedOs os;
  os.environment = {{u"Temp", u"C:\\old"}, {u"PATH", u"C:\\bin"}};
  const auto environment = os.environment;
  EXPECT_EQ(sandbox_environment(os, u"D:\\t"), u"PATH=C:\\bin\0TEMP=D:\\t\0TMP=D:\\t\0\0"s);
  EXPECT_EQ(os.environment, environment); // this process's own stays

  os.fail_call("get_environment_strings", 1, 5u);
  try {
    sandbox_environment(os, u"D:\\t");
    ADD_FAILURE() << "no internal failure";
  } catch (const InternalFailure& failure) {
    EXPECT_EQ(failure.diagnostic(), "obrex-sandbox-exec: failed to read the environment block");
  }
}

} // namespace
} // namespace obrex
