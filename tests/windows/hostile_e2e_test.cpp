// The real executable under load and under hostile input: runs started
// together that all create the user's sandbox temporary directory, and
// inputs as large as Windows lets a caller make them, or naming what is not
// a directory. Each ends as it should, or with one line and status 126, well
// within its time limit.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

namespace obrex::e2e {
namespace {

using std::chrono::milliseconds;

// Windows caps a command line and an environment variable at 32,767 UTF-16
// units, the terminating NUL included.
constexpr std::size_t kLongestText = 32766;

// Far beyond what any of these runs needs, short of the test's own timeout.
constexpr milliseconds kTimeLimit{20000};

std::wstring probe_directory() {
  const std::wstring probe = probe_path();
  return probe.substr(0, probe.find_last_of(L'\\'));
}

// --- concurrency --------------------------------------------------------------

class SandboxTempConcurrencyE2e : public testing::Test {
protected:
  // The names inside a directory, "." and ".." left out.
  static std::vector<std::wstring> entries(const std::wstring& directory) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    const HANDLE search = ::FindFirstFileW((directory + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        if (std::wstring_view name = entry.cFileName; name != L"." && name != L"..") {
          names.emplace_back(name);
        }
      } while (::FindNextFileW(search, &entry));
      ::FindClose(search);
    }
    return names;
  }

  TempDirectory project_;
  const SandboxTempLevels levels_;
};

// The runs are created suspended and let go together, so that their walks
// through the missing levels overlap as closely as the system allows.
TEST_F(SandboxTempConcurrencyE2e, EightRunsStartedTogetherAllCreateIt) {
  levels_.remove_empty();
  if (::GetFileAttributesW(levels_.tornel.c_str()) != INVALID_FILE_ATTRIBUTES) {
    GTEST_SKIP() << utf8(levels_.tornel) << " holds files of other runs; it is left alone";
  }

  constexpr std::size_t kRuns = 8;
  std::latch start(kRuns);
  std::vector<RunOutcome> runs(kRuns);
  std::vector<std::string> harness_failures(kRuns);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < kRuns; ++i) {
    threads.emplace_back([&, i] {
      const std::wstring arguments = command_line(
          {L"--project", project_.path(), L"--", probe_path(), L"exit=" + std::to_wstring(10 + i)});
      try {
        runs[i] = run_obrex(arguments, {}, kTimeLimit, &start);
      } catch (const std::exception& failure) {
        harness_failures[i] = failure.what();
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }

  for (std::size_t i = 0; i < kRuns; ++i) {
    EXPECT_EQ(harness_failures[i], "") << "run " << i;
    EXPECT_FALSE(runs[i].timed_out) << "run " << i;
    EXPECT_EQ(runs[i].err, "") << "run " << i;
    EXPECT_EQ(runs[i].exit_code, 10 + i) << "run " << i;
    EXPECT_EQ(probe_value(runs[i].out, "TEMP"), utf8(levels_.sandbox_temp)) << "run " << i;
  }
  // One directory at each level, nothing beside it.
  EXPECT_EQ(entries(levels_.tornel), std::vector<std::wstring>{L"Obrex"});
  EXPECT_EQ(entries(levels_.obrex), std::vector<std::wstring>{L"sandbox-temp"});
  const DWORD attributes = ::GetFileAttributesW(levels_.sandbox_temp.c_str());
  EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES &&
              (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
}

// --- hostile input --------------------------------------------------------------

// What one case runs, and what it must give.
struct HostileRun {
  std::vector<std::wstring> arguments; // after the program's name
  std::vector<EnvironmentOverride> environment = {};
  // The probe's exit code and lines it must print, for a run that succeeds.
  std::uint32_t exit_code = 7;
  std::vector<std::pair<std::string, std::string>> probe = {};
  // Otherwise the message after the program's name, and the code whose text
  // ends it (0: any code).
  std::wstring error = {};
  std::optional<DWORD> os_error = {};
};

// Each case's directory is fresh, empty, and the current directory of the
// run.
struct HostileCase {
  const char* name = "";
  std::function<HostileRun(const TempDirectory& dir)> make;
};

void PrintTo(const HostileCase& c, std::ostream* out) {
  *out << c.name;
}

// The length of the program's command line for these arguments.
std::size_t line_length(const std::vector<std::wstring>& arguments) {
  return quoted_path(obrex_path()).size() + 1 + command_line(arguments).size();
}

// 30,000 units with blanks, backslashes, double quotes and non-ASCII text, so
// that the quoting on both command lines is exercised along its length.
std::wstring long_argument() {
  const std::wstring chunk = L"a b\\c \\\\\"d\t\u00e9\u4e2d\\ ";
  std::wstring argument;
  while (argument.size() < 30000) {
    argument += chunk;
    argument += std::wstring(100 - chunk.size(), L'x');
  }
  argument.resize(30000);
  return argument;
}

// `count` distinct texts, each `prefix` and letters, together `length`
// units long.
std::vector<std::wstring> filler(std::size_t count, std::size_t length, const wchar_t* prefix) {
  std::vector<std::wstring> texts;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t size = length / count + (i < length % count ? 1 : 0);
    std::wstring text = prefix;
    for (std::size_t n = i; text.size() < size; n /= 26) {
      text += static_cast<wchar_t>(L'a' + n % 26);
    }
    texts.push_back(text);
  }
  return texts;
}

std::wstring join(const std::vector<std::wstring>& texts, wchar_t separator) {
  std::wstring joined;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    joined += (i == 0 ? L"" : std::wstring(1, separator)) + texts[i];
  }
  return joined;
}

// PATH of 10,000 entries up to the limit: relative names that do not exist
// in the case's directory, then `last`.
std::wstring long_path_list(const std::wstring& last) {
  constexpr std::size_t kEntries = 10000;
  std::vector<std::wstring> entries =
      filler(kEntries - 1, kLongestText - (kEntries - 1) - last.size(), L"");
  entries.push_back(last);
  return join(entries, L';');
}

std::vector<std::wstring> probe_command(const std::wstring& project,
                                        std::vector<std::wstring> tail = {L"exit=7"}) {
  std::vector<std::wstring> arguments = {L"--project", project, L"--", probe_path()};
  arguments.insert(arguments.end(), tail.begin(), tail.end());
  return arguments;
}

// A device or a missing share as the project: the run fails at the open or
// at the file ID. Wine gives NUL a file ID, so the run goes on there, and
// answers with its own codes; Windows answers with its device's or its
// redirector's code, so there the line is checked up to the code.
HostileRun refused_project(const std::wstring& project, const wchar_t* windows_error,
                           DWORD wine_error) {
  HostileRun run{.arguments = probe_command(project)};
  if (!running_under_wine()) {
    run.error =
        windows_error + project + (project == L"NUL" ? L" (the sandbox needs NTFS or ReFS)" : L"");
    run.os_error = 0;
  } else if (wine_error != 0) {
    run.error = L"cannot open " + project;
    run.os_error = wine_error;
  }
  return run;
}

class HostileInputE2e : public testing::TestWithParam<HostileCase> {};

TEST_P(HostileInputE2e, EndsAsItShouldWithinItsTimeLimit) {
  const HostileCase& c = GetParam();
  const TempDirectory dir;
  const HostileRun expected = c.make(dir);
  ASSERT_LE(line_length(expected.arguments), kLongestText);
  for (const auto& [name, value] : expected.environment) {
    ASSERT_LE(value.value_or(L"").size(), kLongestText) << utf8(name);
  }

  wchar_t previous[MAX_PATH];
  ASSERT_NE(::GetCurrentDirectoryW(MAX_PATH, previous), 0u);
  ASSERT_TRUE(::SetCurrentDirectoryW(dir.path().c_str()));
  const auto began = std::chrono::steady_clock::now();
  const RunOutcome run =
      run_obrex(command_line(expected.arguments), expected.environment, kTimeLimit);
  const auto took =
      std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - began);
  ::SetCurrentDirectoryW(previous);

  RecordProperty("milliseconds", static_cast<int>(took.count()));
  std::cout << "[ TIME     ] " << c.name << ": " << took.count() << " ms, "
            << (run.err.empty() ? "exit code " + std::to_string(run.exit_code) + "\n" : run.err);
  ASSERT_FALSE(run.timed_out) << "still running after " << kTimeLimit.count() << " ms";
  if (expected.error.empty()) {
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_code, expected.exit_code);
    for (const auto& [key, value] : expected.probe) {
      EXPECT_EQ(probe_value(run.out, key), value) << key;
    }
  } else {
    std::string line = "obrex-sandbox-exec: " + utf8(expected.error);
    if (expected.os_error == 0u) {
      EXPECT_TRUE(run.err.starts_with(line + ": ")) << run.err;
    } else {
      if (expected.os_error) {
        line += ": " + os_error_text(*expected.os_error);
      }
      EXPECT_EQ(run.err, line + "\n");
    }
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.exit_code, 126u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    HostileE2e, HostileInputE2e,
    testing::Values(
        HostileCase{"ArgumentOf30000UnitsArrivesIntact",
                    [](const TempDirectory& dir) {
                      const std::wstring argument = long_argument();
                      return HostileRun{.arguments =
                                            probe_command(dir.path(), {argument, L"exit=7"}),
                                        .probe = {{"argc", "3"}, {"arg1", utf8(argument)}}};
                    }},
        HostileCase{"WriteOptionsUpToTheLimitThatDoNotExist",
                    [](const TempDirectory& dir) {
                      // Missing paths are skipped: an existing one would fail
                      // under Wine, which cannot read labels.
                      std::vector<std::wstring> arguments = probe_command(dir.path());
                      std::vector<std::wstring> writes;
                      for (std::size_t length = line_length(arguments), i = 0;; ++i) {
                        const std::wstring path = L"m\\" + std::to_wstring(i);
                        length += std::wstring_view(L" --write ").size() + path.size();
                        if (length > kLongestText) {
                          break;
                        }
                        writes.insert(writes.end(), {L"--write", path});
                      }
                      arguments.insert(arguments.begin() + 2, writes.begin(), writes.end());
                      return HostileRun{.arguments = arguments};
                    }},
        HostileCase{"PathOf10000EntriesWithTheCommandInTheLast",
                    [](const TempDirectory& dir) {
                      return HostileRun{
                          .arguments = {L"--project", dir.path(), L"--", L"obrex_probe", L"exit=7"},
                          .environment = {{L"PATH", long_path_list(probe_directory())},
                                          {L"PATHEXT", std::nullopt}},
                          .probe = {{"command_line", utf8(L"\"" + probe_directory() +
                                                          L"\\obrex_probe.EXE\" exit=7")}}};
                    }},
        HostileCase{"PathextOf5000PiecesWithTheExtensionInTheLast",
                    [](const TempDirectory& dir) {
                      constexpr std::size_t kPieces = 5000;
                      std::vector<std::wstring> pieces =
                          filler(kPieces - 1, kLongestText - (kPieces - 1) - 4, L".");
                      pieces.push_back(L".EXE");
                      return HostileRun{
                          .arguments = {L"--project", dir.path(), L"--", L"obrex_probe", L"exit=7"},
                          .environment = {{L"PATH", probe_directory()},
                                          {L"PATHEXT", join(pieces, L';')}},
                          .probe = {{"command_line", utf8(L"\"" + probe_directory() +
                                                          L"\\obrex_probe.EXE\" exit=7")}}};
                    }},
        HostileCase{"ProjectIsTheNulDevice",
                    [](const TempDirectory&) {
                      return refused_project(L"NUL", L"cannot read the file ID of ", 0);
                    }},
        HostileCase{
            "ProjectIsTheConsole",
            [](const TempDirectory&) { return refused_project(L"CON", L"cannot open ", 6); }},
        HostileCase{"ProjectIsAFile",
                    [](const TempDirectory& dir) {
                      return HostileRun{.arguments = probe_command(dir.make_file(L"project.txt"))};
                    }},
        HostileCase{"ProjectIsAShareOnAServerThatDoesNotExist",
                    [](const TempDirectory&) {
                      return refused_project(L"\\\\nowhere\\share\\x", L"cannot open ", 3);
                    }}),
    [](const testing::TestParamInfo<HostileCase>& test) { return std::string(test.param.name); });

} // namespace
} // namespace obrex::e2e
