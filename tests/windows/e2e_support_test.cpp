// The end-to-end harness and the probe, run directly: what the other
// end-to-end tests rely on.
#include <gtest/gtest.h>

#include <windows.h>

#include "e2e_support.h"

namespace obrex::e2e {
namespace {

struct LineCase {
  const char* name;
  std::wstring tail; // after the probe's quoted path and a space
  std::vector<std::string> arguments;
};

void PrintTo(const LineCase& line, std::ostream* out) {
  *out << line.name;
}

class ProbeCommandLine : public testing::TestWithParam<LineCase> {};

TEST_P(ProbeCommandLine, IsReceivedExactly) {
  const std::wstring line = quoted_path(probe_path()) + L" " + GetParam().tail;
  const RunOutcome run = run_raw(probe_path(), line);
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(probe_value(run.out, "command_line"), utf8(line));
  EXPECT_EQ(probe_value(run.out, "argc"), std::to_string(GetParam().arguments.size() + 1));
  for (std::size_t i = 0; i < GetParam().arguments.size(); ++i) {
    EXPECT_EQ(probe_value(run.out, "arg" + std::to_string(i + 1)), GetParam().arguments[i]) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Harness, ProbeCommandLine,
    testing::Values(LineCase{"Plain", L"one two", {"one", "two"}},
                    LineCase{"Quoted", L"\"two words\" \"\"", {"two words", ""}},
                    LineCase{"Backslashes", L"a\\\\\\\"b c\\\\", {"a\\\"b", "c\\\\"}},
                    LineCase{"NonAscii",
                             L"\u00e9\u4e2d \U0001F600",
                             {"\xc3\xa9\xe4\xb8\xad", "\xf0\x9f\x98\x80"}},
                    LineCase{"TrailingBlanks", L"x  \t ", {"x"}}),
    [](const testing::TestParamInfo<LineCase>& test) { return std::string(test.param.name); });

TEST(Harness, ExitCodesComeBackWhole) {
  for (const std::uint32_t code : {0u, 1u, 126u, 0x80000000u, 0xC0000005u}) {
    const RunOutcome run =
        run_raw(probe_path(), quoted_path(probe_path()) + L" exit=" + std::to_wstring(code));
    EXPECT_EQ(run.exit_code, code);
  }
}

TEST(Harness, StandardOutputAndErrorAreCapturedApart) {
  const RunOutcome run =
      run_raw(probe_path(), quoted_path(probe_path()) + L" err=to-the-error-stream");
  EXPECT_EQ(run.err, "to-the-error-stream\n");
  EXPECT_TRUE(probe_value(run.out, "command_line"));
  EXPECT_EQ(run.out.find("\nto-the-error-stream\n"), std::string::npos);
}

TEST(Harness, EnvironmentOverridesHoldForOneRun) {
  const std::wstring name = L"OBREX_HARNESS_VARIABLE";
  ASSERT_TRUE(::SetEnvironmentVariableW(name.c_str(), L"before"));
  ASSERT_TRUE(::SetEnvironmentVariableW(L"TMP", L"C:\\inherited"));
  const RunOutcome run = run_raw(probe_path(), quoted_path(probe_path()),
                                 {{L"TEMP", L"C:\\sandbox-temp"}, {L"TMP", std::nullopt}});
  EXPECT_EQ(probe_value(run.out, "TEMP"), "C:\\sandbox-temp");
  EXPECT_EQ(probe_value(run.out, "TMP"), std::nullopt);

  wchar_t value[64] = {};
  EXPECT_EQ(::GetEnvironmentVariableW(L"TMP", value, 64), 12u);
  EXPECT_STREQ(value, L"C:\\inherited");
  ::SetEnvironmentVariableW(name.c_str(), nullptr);
}

TEST(Harness, ProbeReportsItsSurroundings) {
  wchar_t directory[MAX_PATH];
  const DWORD length = ::GetCurrentDirectoryW(MAX_PATH, directory);
  ASSERT_GT(length, 0u);
  const UINT original = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  const RunOutcome run = run_raw(probe_path(), quoted_path(probe_path()));
  ::SetErrorMode(original);
  EXPECT_EQ(probe_value(run.out, "current_directory"), utf8(std::wstring_view(directory, length)));
  EXPECT_TRUE(probe_value(run.out, "in_job"));
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine does not pass the error mode on to a child process";
  }
  EXPECT_EQ(probe_value(run.out, "error_mode"),
            std::to_string(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX));
}

} // namespace
} // namespace obrex::e2e
