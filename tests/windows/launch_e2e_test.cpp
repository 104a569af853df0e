// The launch on the real system: the probe started in the sandbox reports
// the command line it was given, its job, error mode and token, and ends
// with the code it is asked for.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <regex>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "identity/sandbox_identity.h"
#include "platform/win32_os.h"

namespace obrex::e2e {
namespace {

// A run of the probe, given by its full path, in a sandbox whose project is
// a fresh directory.
class LaunchTest {
protected:
  // `tail` follows the probe on the program's own command line as it is.
  RunOutcome run_probe(const std::wstring& tail) const {
    return run_obrex(L"--project " + command_line_argument(project_.path()) + L" -- " +
                     command_line_argument(probe_path()) + (tail.empty() ? L"" : L" " + tail));
  }
  RunOutcome run_verbatim(const std::wstring& program, const std::wstring& text) const {
    return run_obrex(command_line({L"--project", project_.path(), L"--verbatim", program, text}));
  }

  TempDirectory project_;
};

// The probe's start as the child sees it: the quoted program, one space and
// `tail`.
std::string child_line(const std::wstring& tail) {
  return utf8(L"\"" + probe_path() + L"\" " + tail);
}

void expect_arguments(const RunOutcome& run, const std::vector<std::string>& arguments) {
  EXPECT_EQ(probe_value(run.out, "argc"), std::to_string(arguments.size() + 1));
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    EXPECT_EQ(probe_value(run.out, "arg" + std::to_string(i + 1)), arguments[i]) << i;
  }
}

struct ArgumentCase {
  const char* name;
  std::wstring given;                 // after the probe on the program's command line
  std::wstring passed;                // after the probe on the child's
  std::vector<std::string> arguments; // the child's argv after its name
};

void PrintTo(const ArgumentCase& c, std::ostream* out) {
  *out << c.name;
}

class ArgumentLists : public LaunchTest, public testing::TestWithParam<ArgumentCase> {};

TEST_P(ArgumentLists, ReachTheChildQuotedForItsRuntime) {
  const RunOutcome run = run_probe(GetParam().given);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(probe_value(run.out, "command_line"), child_line(GetParam().passed));
  expect_arguments(run, GetParam().arguments);
}

INSTANTIATE_TEST_SUITE_P(
    LaunchE2e, ArgumentLists,
    testing::Values(
        ArgumentCase{"Plain", L"one two", L"one two", {"one", "two"}},
        ArgumentCase{"None", L"", L"", {}},
        ArgumentCase{"Spaces", LR"("a b" c)", LR"("a b" c)", {"a b", "c"}},
        ArgumentCase{"Empty", LR"("" x "")", LR"("" x "")", {"", "x", ""}},
        ArgumentCase{"EmbeddedQuotes",
                     LR"("say ""hi""" next)",
                     LR"("say \"hi\"" next)",
                     {"say \"hi\"", "next"}},
        ArgumentCase{"QuoteWithoutSpaces", LR"(a\"b)", LR"("a\"b")", {"a\"b"}},
        ArgumentCase{
            "TrailingBackslashAlone", LR"(C:\dir\ x)", LR"(C:\dir\ x)", {"C:\\dir\\", "x"}},
        ArgumentCase{"TrailingBackslashWithSpace",
                     LR"("C:\my dir\\" x)",
                     LR"("C:\my dir\\" x)",
                     {"C:\\my dir\\", "x"}},
        ArgumentCase{"BackslashesBeforeAQuote", LR"(a\\\"b)", LR"("a\\\"b")", {"a\\\"b"}},
        ArgumentCase{"BackslashesElsewhere", LR"("a\\b c")", LR"("a\\b c")", {"a\\\\b c"}},
        // Tab and vertical tab need quotes; carriage return does not. (A line
        // feed would too, but the probe's report is cut into lines at it.)
        ArgumentCase{"OtherBlanks",
                     L"\"x\ty\" c\vd e\rf",
                     L"\"x\ty\" \"c\vd\" e\rf",
                     {"x\ty", "c\vd", "e\rf"}},
        ArgumentCase{"NonAscii",
                     L"\u00e9\u4e2d \"\U0001F600 x\"",
                     L"\u00e9\u4e2d \"\U0001F600 x\"",
                     {"\xc3\xa9\xe4\xb8\xad", "\xf0\x9f\x98\x80 x"}},
        ArgumentCase{"OptionsAfterTheCommand",
                     LR"(--write C:\w --verbatim)",
                     LR"(--write C:\w --verbatim)",
                     {"--write", "C:\\w", "--verbatim"}}),
    [](const testing::TestParamInfo<ArgumentCase>& test) { return std::string(test.param.name); });

struct VerbatimCase {
  const char* name;
  std::wstring text; // the command-line text given with --verbatim
  std::vector<std::string> arguments;
};

void PrintTo(const VerbatimCase& c, std::ostream* out) {
  *out << c.name;
}

class VerbatimCommandLines : public LaunchTest, public testing::TestWithParam<VerbatimCase> {};

TEST_P(VerbatimCommandLines, ReachTheChildUnchanged) {
  const RunOutcome run = run_verbatim(probe_path(), GetParam().text);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(probe_value(run.out, "command_line"), child_line(GetParam().text));
  expect_arguments(run, GetParam().arguments);
}

INSTANTIATE_TEST_SUITE_P(LaunchE2e, VerbatimCommandLines,
                         testing::Values(VerbatimCase{"Empty", L"", {}},
                                         VerbatimCase{"BlanksAndQuotesKept",
                                                      LR"(a   b "c  d" \"e f\\)",
                                                      {"a", "b", "c  d", "\"e", "f\\\\"}},
                                         VerbatimCase{"UnbalancedQuote", LR"("open x)", {"open x"}},
                                         VerbatimCase{"LeadingAndTrailingBlanks", L"  x  ", {"x"}},
                                         VerbatimCase{"NonAscii",
                                                      L"\u00e9 \U0001F600",
                                                      {"\xc3\xa9", "\xf0\x9f\x98\x80"}}),
                         [](const testing::TestParamInfo<VerbatimCase>& test) {
                           return std::string(test.param.name);
                         });

class LaunchE2e : public LaunchTest, public testing::Test {};

// Nothing but the probe's own lines, first to last.
void expect_only_the_probe_wrote(const std::string& out) {
  static const std::regex probe_line(
      "(command_line|argc|arg[0-9]+|TEMP|TMP|in_job|ui_restrictions(_error)?|error_mode|"
      "current_directory)=.*");
  ASSERT_TRUE(out.starts_with("command_line=")) << out;
  ASSERT_TRUE(out.ends_with("\n")) << out;
  std::size_t start = 0;
  std::string last;
  while (start < out.size()) {
    const std::size_t end = out.find('\n', start);
    last = out.substr(start, end - start);
    EXPECT_TRUE(std::regex_match(last, probe_line)) << last;
    start = end + 1;
  }
  EXPECT_TRUE(last.starts_with("current_directory=")) << last;
}

TEST_F(LaunchE2e, ExitCodesPassThroughWithNothingWritten) {
  for (const std::uint32_t code : {0u, 1u, 126u, 3u, 0xC0000005u}) {
    const RunOutcome run = run_probe(L"exit=" + std::to_wstring(code));
    EXPECT_EQ(run.exit_code, code);
    EXPECT_EQ(run.err, "") << code;
    expect_only_the_probe_wrote(run.out);
  }
}

TEST_F(LaunchE2e, ChildRunsInAUserInterfaceRestrictedJobInOurDirectory) {
  const RunOutcome run = run_probe(L"");
  wchar_t directory[MAX_PATH];
  const DWORD length = ::GetCurrentDirectoryW(MAX_PATH, directory);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(probe_value(run.out, "current_directory"), utf8(std::wstring_view(directory, length)));
  EXPECT_EQ(probe_value(run.out, "in_job"), "1");
  const auto error = probe_value(run.out, "ui_restrictions_error");
  if (error && running_under_wine()) {
    GTEST_SKIP() << "Wine does not report a job's user-interface limits to the process in it "
                    "(QueryInformationJobObject fails with "
                 << *error << ")";
  }
  EXPECT_EQ(error, std::nullopt);
  EXPECT_EQ(probe_value(run.out, "ui_restrictions"), "0xFF");
}

TEST_F(LaunchE2e, ChildInheritsTheErrorModeWithoutDialogs) {
  // From a caller with no error mode of its own, so that only the program
  // can have set it.
  const UINT original = ::SetErrorMode(0);
  const RunOutcome run = run_probe(L"");
  ::SetErrorMode(original);
  ASSERT_EQ(run.exit_code, 0u) << run.err;
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine does not pass the error mode on to a child process (it reports "
                 << probe_value(run.out, "error_mode").value_or("nothing") << ")";
  }
  EXPECT_EQ(probe_value(run.out, "error_mode"),
            std::to_string(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX));
}

std::string sid_text(PSID sid) {
  LPWSTR text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) {
    return "?";
  }
  std::string result = utf8(text);
  ::LocalFree(text);
  return result;
}

// The logon SID of this process's token, the first group marked as one;
// empty when there is none.
std::string own_logon_sid() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    ADD_FAILURE() << "OpenProcessToken: " << ::GetLastError();
    return {};
  }
  DWORD needed = 0;
  ::GetTokenInformation(token, TokenGroups, nullptr, 0, &needed);
  std::vector<std::uint64_t> buffer((needed + 7) / 8 + 1);
  std::string logon;
  if (::GetTokenInformation(token, TokenGroups, buffer.data(), needed, &needed)) {
    const auto* groups = reinterpret_cast<const ::TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount && logon.empty(); ++i) {
      if ((groups->Groups[i].Attributes & SE_GROUP_LOGON_ID) == SE_GROUP_LOGON_ID) {
        logon = sid_text(groups->Groups[i].Sid);
      }
    }
  } else {
    ADD_FAILURE() << "GetTokenInformation: " << ::GetLastError();
  }
  ::CloseHandle(token);
  return logon;
}

TEST_F(LaunchE2e, ChildRunsUnderTheRestrictedLowToken) {
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine ignores the token given to CreateProcessAsUserW: the child runs under "
                    "the caller's, without restricting SIDs or a Low integrity level";
  }
  Win32Os os;
  const auto identity = derive_sandbox_identity(os, utf8(project_.path()), {});
  ASSERT_TRUE(identity) << identity.error().message;
  const std::string logon = own_logon_sid();

  const RunOutcome run = run_probe(L"token exit=5");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_code, 5u);
  EXPECT_EQ(probe_value(run.out, "integrity"), "S-1-16-4096");
  EXPECT_EQ(probe_value(run.out, "restricting_sids"),
            identity->sid_text + ",S-1-1-0" + (logon.empty() ? "" : "," + logon));
  EXPECT_EQ(probe_value(run.out, "privileges"), "SeChangeNotifyPrivilege");
}

TEST_F(LaunchE2e, MissingProgramCannotStart) {
  const std::wstring missing = project_ / L"missing.exe";
  const std::string expected = "obrex-sandbox-exec: cannot start " + utf8(missing) + ": " +
                               os_error_text(ERROR_FILE_NOT_FOUND) + "\n";
  for (const RunOutcome& run :
       {run_verbatim(missing, L"x"),
        run_obrex(command_line({L"--project", project_.path(), L"--", missing, L"x"}))}) {
    EXPECT_EQ(run.err, expected);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.exit_code, 126u);
  }
}

} // namespace
} // namespace obrex::e2e
