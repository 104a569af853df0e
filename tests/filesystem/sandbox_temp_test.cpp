#include "filesystem/sandbox_temp.h"

#include <gtest/gtest.h>

#include "platform/constants.h"
#include "support/simulated_os.h"

namespace obrex {
namespace {

using test::SimulatedOs;

struct ParentCase {
  std::u16string path;
  std::optional<std::u16string> parent;
};

TEST(ParentPath, DropsTheLastComponent) {
  const ParentCase cases[] = {
      {u"C:\\a\\b", u"C:\\a"},
      {u"C:\\a", u"C:\\"},
      {u"C:\\a\\b\\", u"C:\\a"},
      {u"C:\\a\\\\b", u"C:\\a"},
      {u"C:\\", std::nullopt},
      {u"C:", std::nullopt},
      {u"C:a", u"C:"},
      {u"", std::nullopt},
      {u"a", u""},
      {u"a\\b", u"a"},
      {u"\\a", u"\\"},
      {u"\\\\server\\share\\x", u"\\\\server\\share\\"},
      {u"\\\\server\\share\\", std::nullopt},
      {u"\\\\?\\C:\\a", u"\\\\?\\C:\\"},
      {u"\\\\?\\UNC\\server\\share\\x\\y", u"\\\\?\\UNC\\server\\share\\x"},
      {u"\\\\?\\UNC\\server\\share\\x", u"\\\\?\\UNC\\server\\share\\"},
  };
  for (const ParentCase& c : cases) {
    EXPECT_EQ(parent_path(c.path), c.parent) << std::string(c.path.begin(), c.path.end());
  }
}

const std::u16string kProfile = u"C:\\Users\\sandboxer";
const std::u16string kLocalLow = kProfile + u"\\AppData\\LocalLow";
const std::u16string kTornel = kLocalLow + u"\\Tornel";
const std::u16string kObrex = kTornel + u"\\Obrex";
const std::u16string kTemp = kObrex + u"\\sandbox-temp";
constexpr const char* kTempText =
    "C:\\Users\\sandboxer\\AppData\\LocalLow\\Tornel\\Obrex\\sandbox-temp";

struct TreeCase {
  const char* name;
  std::vector<std::u16string> directories; // existing beforehand
  std::vector<std::u16string> files;       // existing beforehand
  // create_directory calls made to fail: which one, with what code.
  std::vector<std::pair<int, OsCode>> faults;
  int create_calls;
  std::optional<std::string> error; // the text after "cannot create {path}: "
  std::vector<std::u16string> directories_after;
};

class SandboxTempTest : public testing::TestWithParam<TreeCase> {};

TEST_P(SandboxTempTest, CreatesTheMissingLevels) {
  const TreeCase& c = GetParam();
  SimulatedOs os;
  os.add_directory(kProfile);
  for (const auto& path : c.directories) {
    os.add_directory(path);
  }
  for (const auto& path : c.files) {
    os.add_file(path);
  }
  for (const auto& [nth, code] : c.faults) {
    os.fail_call("create_directory", nth, code);
  }
  const std::size_t entries_before = os.files.size();

  const auto result = prepare_sandbox_temp(os);
  if (c.error) {
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, std::string("cannot create ") + kTempText + ": " + *c.error);
  } else {
    ASSERT_TRUE(result) << result.error().message;
    EXPECT_EQ(*result, kTemp);
  }
  EXPECT_EQ(os.calls("create_directory"), c.create_calls);
  for (const auto& path : c.directories_after) {
    const test::SimFile* entry = os.find(path);
    EXPECT_TRUE(entry != nullptr && entry->directory) << std::string(path.begin(), path.end());
  }
  EXPECT_EQ(os.files.size(), entries_before + c.directories_after.size());
  EXPECT_EQ(os.open_handles(), 0u);
}

const std::string kExistsText =
    "Cannot create a file when that file already exists. (os error 183)";

INSTANTIATE_TEST_SUITE_P(
    Trees, SandboxTempTest,
    testing::Values(
        TreeCase{"AllLevelsExist", {kTemp}, {}, {}, 1, std::nullopt, {}},
        // Walk: sandbox-temp, Obrex missing, Tornel made; then Obrex,
        // sandbox-temp.
        TreeCase{
            "OnlyLocalLowExists", {kLocalLow}, {}, {}, 5, std::nullopt, {kTornel, kObrex, kTemp}},
        TreeCase{"FileInTheWay", {kObrex}, {kTemp}, {}, 1, kExistsText, {}},
        // Tornel is a file: Obrex is not found below it, and Tornel exists
        // but is no directory. The message names the whole path.
        TreeCase{"FileInTheWayOfAParent", {kLocalLow}, {kTornel}, {}, 3, kExistsText, {}},
        // The walk finds sandbox-temp and Obrex missing; another run makes
        // them before this one does.
        TreeCase{"CreatedConcurrently",
                 {kTemp},
                 {},
                 {{1, win::ERROR_PATH_NOT_FOUND}, {2, win::ERROR_FILE_NOT_FOUND}},
                 5,
                 std::nullopt,
                 {}},
        TreeCase{"FileCreatedConcurrently",
                 {kObrex},
                 {kTemp},
                 {{1, win::ERROR_PATH_NOT_FOUND}},
                 3,
                 kExistsText,
                 {}},
        TreeCase{
            "ReportedFileExists", {kTemp}, {}, {{1, win::ERROR_FILE_EXISTS}}, 1, std::nullopt, {}},
        TreeCase{"WalkRefused",
                 {kLocalLow},
                 {},
                 {{3, win::ERROR_ACCESS_DENIED}},
                 3,
                 "Access is denied. (os error 5)",
                 {}},
        TreeCase{"CreationRefused",
                 {kLocalLow},
                 {},
                 {{4, win::ERROR_ACCESS_DENIED}},
                 4,
                 "Access is denied. (os error 5)",
                 {kTornel}},
        // Walk: three levels reported unreachable, LocalLow exists; then
        // the three levels.
        TreeCase{"OtherNotFoundCodes",
                 {kLocalLow},
                 {},
                 {{1, win::ERROR_BAD_NETPATH},
                  {2, win::ERROR_BAD_NET_NAME},
                  {3, win::ERROR_INVALID_DRIVE}},
                 7,
                 std::nullopt,
                 {kTornel, kObrex, kTemp}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(PrepareSandboxTemp, JoinsWithoutDoublingTheSeparator) {
  for (const std::u16string profile : {u"D:\\Profiles\\x", u"D:\\Profiles\\x\\"}) {
    SimulatedOs os;
    os.add_directory(u"D:\\Profiles\\x");
    os.profile = profile;
    const auto result = prepare_sandbox_temp(os);
    ASSERT_TRUE(result) << result.error().message;
    EXPECT_EQ(*result, u"D:\\Profiles\\x\\AppData\\LocalLow\\Tornel\\Obrex\\sandbox-temp");
    EXPECT_NE(os.find(**result), nullptr);
  }
}

TEST(PrepareSandboxTemp, ReachesTheTopOfAMissingDrive) {
  SimulatedOs os;
  os.profile = u"Q:\\Users\\x";
  const auto result = prepare_sandbox_temp(os);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message,
            "cannot create Q:\\Users\\x\\AppData\\LocalLow\\Tornel\\Obrex\\sandbox-temp: The "
            "system cannot find the path specified. (os error 3)");
  // Seven levels walked up to Q:\, which is never created; then Q:\Users.
  EXPECT_EQ(os.calls("create_directory"), 8);
}

TEST(PrepareSandboxTemp, CreatesLongPathsInTheExtendedForm) {
  SimulatedOs os;
  const std::u16string profile = u"C:\\Users\\" + std::u16string(220, u'p');
  os.add_directory(profile);
  os.profile = profile;
  const auto result = prepare_sandbox_temp(os);
  ASSERT_TRUE(result) << result.error().message;
  EXPECT_EQ(*result, profile + u"\\AppData\\LocalLow\\Tornel\\Obrex\\sandbox-temp");
  EXPECT_NE(os.find(**result), nullptr);
}

TEST(PrepareSandboxTemp, WithoutAProfileThereIsNoDirectoryAndTheEnvironmentStays) {
  SimulatedOs os;
  os.profile = std::nullopt;
  os.environment = {{u"TEMP", u"C:\\old"}, {u"TMP", u"C:\\old"}};
  const auto environment = os.environment;
  const auto result = prepare_sandbox_temp(os);
  ASSERT_TRUE(result);
  EXPECT_FALSE(*result);
  EXPECT_EQ(os.calls("create_directory"), 0);
  set_sandbox_temp_environment(os, *result);
  EXPECT_EQ(os.calls("set_environment_variable"), 0);
  EXPECT_EQ(os.environment, environment);
}

TEST(SetSandboxTempEnvironment, PointsTempThenTmpAtTheDirectory) {
  SimulatedOs os;
  os.environment = {{u"Temp", u"C:\\old"}, {u"PATH", u"C:\\bin"}};
  set_sandbox_temp_environment(os, kTemp);
  const std::map<std::u16string, std::u16string> expected = {
      {u"TEMP", kTemp}, {u"TMP", kTemp}, {u"PATH", u"C:\\bin"}};
  EXPECT_EQ(os.environment, expected);
}

struct EnvironmentFailure {
  int nth;
  std::u16string directory;
  const char* diagnostic;
  std::optional<std::u16string> temp_after;
};

TEST(SetSandboxTempEnvironment, AFailureIsAnInternalFailure) {
  const EnvironmentFailure cases[] = {
      {1, kTemp,
       R"x(obrex-sandbox-exec: failed to set environment variable `"TEMP"` to `"C:\\Users\\sandboxer\\AppData\\LocalLow\\Tornel\\Obrex\\sandbox-temp"`: Access is denied. (os error 5))x",
       std::nullopt},
      {2, u"C:\\a \"b\"",
       R"x(obrex-sandbox-exec: failed to set environment variable `"TMP"` to `"C:\\a \"b\""`: Access is denied. (os error 5))x",
       u"C:\\a \"b\""},
  };
  for (const EnvironmentFailure& c : cases) {
    SimulatedOs os;
    os.fail_call("set_environment_variable", c.nth, win::ERROR_ACCESS_DENIED);
    try {
      set_sandbox_temp_environment(os, c.directory);
      ADD_FAILURE() << "no internal failure for call " << c.nth;
    } catch (const InternalFailure& failure) {
      EXPECT_EQ(failure.diagnostic(), c.diagnostic);
    }
    EXPECT_EQ(os.get_environment_variable(u"TEMP"), c.temp_after);
    EXPECT_EQ(os.get_environment_variable(u"TMP"), std::nullopt);
  }
}

} // namespace
} // namespace obrex
