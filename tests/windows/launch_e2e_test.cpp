// The launch on the real system: the probe started in the sandbox reports
// the command line it was given, its job, error mode and token, and ends
// with the code it is asked for.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "identity/sandbox_identity.h"
#include "obrex/sandbox.h"
#include "platform/win32_os.h"

namespace obrex::e2e {
namespace {

// Runs of the probe, given by its full path, in a sandbox whose project is a
// fresh directory.
class LaunchE2e : public testing::Test {
protected:
  // `tail` follows the probe on the program's own command line as it is.
  RunOutcome run_probe(const std::wstring& tail) const {
    return run_obrex(L"--project " + command_line_argument(project_.path()) + L" -- " +
                     command_line_argument(probe_path()) + (tail.empty() ? L"" : L" " + tail));
  }

  TempDirectory project_;
};

// The probe's start as the child sees it: the quoted program, one space and
// `tail`.
std::string child_line(const std::wstring& tail) {
  return utf8(L"\"" + probe_path() + L"\" " + tail);
}

// Arguments that need quoting reach the child as the host model quotes them,
// and its C runtime splits them back.
TEST_F(LaunchE2e, ArgumentListsReachTheChildQuotedForItsRuntime) {
  struct Case {
    std::wstring given;                 // after the probe on the program's command line
    std::wstring passed;                // after the probe on the child's
    std::vector<std::string> arguments; // the child's argv after its name
  };
  for (const Case& c : {
           Case{L"", L"", {}},
           Case{LR"("a b" "" "say ""hi""" a\\\"b "C:\my dir\\" C:\dir\ "a\\b c")",
                LR"("a b" "" "say \"hi\"" "a\\\"b" "C:\my dir\\" C:\dir\ "a\\b c")",
                {"a b", "", "say \"hi\"", "a\\\"b", "C:\\my dir\\", "C:\\dir\\", "a\\\\b c"}},
           // Tab and vertical tab need quotes; carriage return does not.
           Case{L"\"x\ty\" c\vd e\rf \u00e9\u4e2d \"\U0001F600 x\"",
                L"\"x\ty\" \"c\vd\" e\rf \u00e9\u4e2d \"\U0001F600 x\"",
                {"x\ty", "c\vd", "e\rf", "\xc3\xa9\xe4\xb8\xad", "\xf0\x9f\x98\x80 x"}},
       }) {
    const RunOutcome run = run_probe(c.given);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(probe_value(run.out, "command_line"), child_line(c.passed));
    EXPECT_EQ(probe_value(run.out, "argc"), std::to_string(c.arguments.size() + 1));
    for (std::size_t i = 0; i < c.arguments.size(); ++i) {
      EXPECT_EQ(probe_value(run.out, "arg" + std::to_string(i + 1)), c.arguments[i]) << i;
    }
  }
}

TEST_F(LaunchE2e, VerbatimCommandLinesReachTheChildUnchanged) {
  for (const std::wstring& text :
       {std::wstring(), std::wstring(L"  a \"b  c\" \\\"d\\\\ \u00e9 \"x  ")}) {
    const RunOutcome run =
        run_obrex(command_line({L"--project", project_.path(), L"--verbatim", probe_path(), text}));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(probe_value(run.out, "command_line"), child_line(text));
  }
}

TEST_F(LaunchE2e, ExitCodesPassThroughWithNothingWritten) {
  // Nothing but the probe's report, first line to last.
  static const std::regex only_the_probe("command_line=[^\\n]*\\n([^\\n]*\\n)*"
                                         "current_directory=[^\\n]*\\n");
  for (const std::uint32_t code : {0u, 1u, 126u, 0xC0000005u}) {
    const RunOutcome run = run_probe(L"exit=" + std::to_wstring(code));
    EXPECT_EQ(run.exit_code, code);
    EXPECT_EQ(run.err, "") << code;
    EXPECT_TRUE(std::regex_match(run.out, only_the_probe)) << run.out;
  }
}

TEST_F(LaunchE2e, ChildRunsInAUserInterfaceRestrictedJobInOurDirectoryWithOurHandles) {
  // An inheritable handle of ours reaches the child through the program.
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  ASSERT_TRUE(::CreatePipe(&read_end, &write_end, &inheritable, 0));
  ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  const RunOutcome run =
      run_probe(L"write_to=" + std::to_wstring(reinterpret_cast<UINT_PTR>(write_end)));
  ::CloseHandle(write_end);
  char received[16] = {};
  DWORD count = 0;
  ::ReadFile(read_end, received, sizeof received, &count, nullptr);
  ::CloseHandle(read_end);
  EXPECT_EQ(std::string(received, count), "inherited");
  wchar_t directory[MAX_PATH];
  const DWORD length = ::GetCurrentDirectoryW(MAX_PATH, directory);
  EXPECT_EQ(probe_value(run.out, "current_directory"), utf8(std::wstring_view(directory, length)));
  EXPECT_EQ(probe_value(run.out, "in_job"), "1");
  const auto error = probe_value(run.out, "ui_restrictions_error");
  if (error && running_under_wine()) {
    GTEST_SKIP() << "Wine does not report a job's user-interface limits to the process in it "
                    "(QueryInformationJobObject fails with "
                 << *error << ")";
  }
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

// One record of this process's token, aligned for the pointers inside.
std::vector<std::uint64_t> own_token_information(TOKEN_INFORMATION_CLASS kind) {
  HANDLE token = nullptr;
  DWORD needed = 0;
  ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token);
  ::GetTokenInformation(token, kind, nullptr, 0, &needed);
  std::vector<std::uint64_t> buffer((needed + 7) / 8 + 1);
  EXPECT_TRUE(::GetTokenInformation(token, kind, buffer.data(), needed, &needed));
  ::CloseHandle(token);
  return buffer;
}

std::string sid_text(PSID sid) {
  LPWSTR text = nullptr;
  EXPECT_TRUE(::ConvertSidToStringSidW(sid, &text));
  const std::string result = text != nullptr ? utf8(text) : "";
  ::LocalFree(text);
  return result;
}

// The logon SID of this process's token, the first group marked as one;
// empty when there is none.
std::string own_logon_sid() {
  const auto buffer = own_token_information(TokenGroups);
  const auto* groups = reinterpret_cast<const ::TOKEN_GROUPS*>(buffer.data());
  for (DWORD i = 0; i < groups->GroupCount; ++i) {
    if ((groups->Groups[i].Attributes & SE_GROUP_LOGON_ID) == SE_GROUP_LOGON_ID) {
      return sid_text(groups->Groups[i].Sid);
    }
  }
  return {};
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
  const std::string user = sid_text(
      reinterpret_cast<const ::TOKEN_USER*>(own_token_information(TokenUser).data())->User.Sid);

  const RunOutcome run = run_probe(L"token exit=5");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_code, 5u);
  EXPECT_EQ(probe_value(run.out, "integrity"), "S-1-16-4096");
  EXPECT_EQ(probe_value(run.out, "restricting_sids"),
            identity->sid_text + ",S-1-1-0" + (logon.empty() ? "" : "," + logon));
  EXPECT_EQ(probe_value(run.out, "privileges"), "SeChangeNotifyPrivilege");
  // What the command creates without a security descriptor of its own is
  // open only to the user, the system and the sandbox: generic all for each.
  EXPECT_EQ(probe_value(run.out, "default_dacl"),
            "0:0:0x10000000:" + user +
                ",0:0:0x10000000:S-1-5-18,0:0:0x10000000:" + identity->sid_text);
}

StartOptions in_jobs(std::vector<std::uint32_t> jobs) {
  StartOptions options;
  options.jobs = std::move(jobs);
  return options;
}

constexpr std::uint32_t kBreakaway = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
constexpr std::uint32_t kSilent = JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;

// A directory where the command can leave signs without a --write path: Low
// labelled, and open to Everyone, one of its restricting SIDs.
void open_to_the_sandbox(const TempDirectory& directory) {
  PSECURITY_DESCRIPTOR open_to_low = nullptr;
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
      L"D:(A;OICI;FA;;;WD)S:(ML;OICI;NW;;;LW)", SDDL_REVISION_1, &open_to_low, nullptr));
  const DWORD secured =
      ::SetFileSecurityW(directory.path().c_str(),
                         DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION, open_to_low);
  ::LocalFree(open_to_low);
  ASSERT_TRUE(secured || running_under_wine()) << ::GetLastError();
}

bool exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Started inside jobs, innermost first, as CI runners, task schedulers and
// agent harnesses start it. Jobs that keep the children of the program,
// whichever of them does, make the run fail before anything changes, the
// sandbox's temporary directory included: the command never starts.
TEST_F(LaunchE2e, InsideJobsThatKeepTheirChildrenTheRunIsRefused) {
  const SandboxTempLevels levels;
  levels.remove_empty();
  const bool temp_gone = !exists(levels.sandbox_temp);
  for (const auto& jobs :
       {std::vector<std::uint32_t>{0}, std::vector{kBreakaway, 0u}, std::vector{kSilent, 0u}}) {
    const RunOutcome run =
        run_obrex(command_line({L"--project", project_.path(), L"--", probe_path()}), {},
                  std::nullopt, nullptr, in_jobs(jobs));
    EXPECT_TRUE(run.err.starts_with(
        "obrex-sandbox-exec: cannot confine the command to the sandbox's job: "))
        << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.exit_code, 126u);
    EXPECT_TRUE(!temp_gone || !exists(levels.sandbox_temp)) << jobs.size() << " jobs";
  }
  if (!temp_gone) {
    GTEST_SKIP() << utf8(levels.sandbox_temp) << " holds files of other runs, so whether a "
                 << "refused run makes it is not seen";
  }
}

// Jobs that let the program's children go, on request, silently, or both
// nested: the command leaves every one of them (it is never reported as
// joining any) and runs in the sandbox's job with every user-interface
// limit.
TEST_F(LaunchE2e, InsideJobsThatAllowBreakawayTheCommandRunsInTheSandboxsJobAlone) {
  for (const auto& jobs :
       {std::vector{kBreakaway}, std::vector{kSilent}, std::vector{kBreakaway, kBreakaway}}) {
    const RunOutcome run =
        run_obrex(command_line({L"--project", project_.path(), L"--", probe_path(), L"exit=3"}), {},
                  std::nullopt, nullptr, in_jobs(jobs));
    const std::string where = std::to_string(jobs.size()) + " jobs, " + std::to_string(jobs[0]);
    EXPECT_EQ(run.err, "") << where;
    EXPECT_EQ(run.exit_code, 3u) << where;
    EXPECT_EQ(probe_value(run.out, "in_job"), "1") << where;
    const auto command = probe_value(run.out, "process_id");
    ASSERT_TRUE(command) << where;
    EXPECT_FALSE(std::ranges::count(run.job_members, std::stoul(*command)) > 0)
        << where << ": the command joined the caller's job";
    if (!running_under_wine()) {
      EXPECT_EQ(probe_value(run.out, "ui_restrictions"), "0xFF") << where << "\n" << run.out;
    }
  }
}

// Out of its caller's jobs, the command would outlive a caller that gave up
// on it; its job kills on close instead, so ending the launcher ends it. The
// command signs that it started, then would sign again two seconds later.
TEST_F(LaunchE2e, InsideAJobEndingTheLauncherEndsTheCommand) {
  for (const std::uint32_t limits : {kBreakaway, kSilent}) {
    const TempDirectory signals;
    open_to_the_sandbox(signals);
    const std::wstring started = signals / L"started";
    const std::wstring finished = signals / L"finished";
    StartOptions options = in_jobs({limits});
    options.started = [&](std::uint32_t process_id) {
      for (int waited = 0; waited < 20000 && !exists(started); waited += 10) {
        ::Sleep(10);
      }
      const HANDLE launcher = ::OpenProcess(PROCESS_TERMINATE, FALSE, process_id);
      ::TerminateProcess(launcher, 9);
      ::CloseHandle(launcher);
    };
    const RunOutcome run = run_obrex(
        command_line({L"--project", project_.path(), L"--", probe_path(), L"try_create=" + started,
                      L"sleep=2000", L"try_create=" + finished}),
        {}, std::chrono::seconds(60), nullptr, options);
    EXPECT_EQ(run.exit_code, 9u) << limits;
    EXPECT_TRUE(exists(started)) << limits;
    ::Sleep(3000);
    EXPECT_FALSE(exists(finished)) << limits << ": the command outlived the launcher";
  }
}

// The library gives the command the sandbox's TEMP and TMP and leaves the
// caller's own as they were, set or unset.
TEST_F(LaunchE2e, TheLibraryLeavesTheCallersTempAndTmpAsTheyWere) {
  const TempDirectory output;
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  for (const auto& [temp, tmp] : {std::pair<const wchar_t*, const wchar_t*>{L"C:\\caller", nullptr},
                                  std::pair<const wchar_t*, const wchar_t*>{nullptr, L"C:\\x"}}) {
    ::SetEnvironmentVariableW(L"TEMP", temp);
    ::SetEnvironmentVariableW(L"TMP", tmp);
    const std::wstring report = output.make_file(temp != nullptr ? L"temp" : L"tmp");
    const HANDLE file = ::CreateFileW(report.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                                      OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const HANDLE standard_output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    ::SetStdHandle(STD_OUTPUT_HANDLE, file); // where the command reports
    const auto outcome = run_sandbox(
        system_os(),
        RunRequest{utf8(project_.path()), {}, {}, {}, ArgumentList{{utf8(probe_path())}}});
    ::SetStdHandle(STD_OUTPUT_HANDLE, standard_output);
    ::CloseHandle(file);
    ASSERT_TRUE(outcome) << outcome.error().message;
    EXPECT_EQ(*outcome, 0u);

    wchar_t value[32768];
    for (const auto& [name, expected] : {std::pair(L"TEMP", temp), std::pair(L"TMP", tmp)}) {
      ::SetLastError(ERROR_SUCCESS);
      const DWORD length = ::GetEnvironmentVariableW(name, value, 32768);
      if (expected == nullptr) {
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND)) << utf8(name);
      } else {
        EXPECT_EQ(std::wstring(value, length), expected) << utf8(name);
      }
    }
    std::string seen;
    const HANDLE reader = ::CreateFileW(report.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    char buffer[4096];
    DWORD count = 0;
    while (::ReadFile(reader, buffer, sizeof buffer, &count, nullptr) && count > 0) {
      seen.append(buffer, count);
    }
    ::CloseHandle(reader);
    EXPECT_EQ(probe_value(seen, "TEMP"), utf8(sandbox_temp_directory())) << seen;
    EXPECT_EQ(probe_value(seen, "TMP"), utf8(sandbox_temp_directory())) << seen;
  }
}

// Ctrl+Break, sent to the launcher's process group while the command runs,
// reaches the launcher and the command alike: the command decides (the probe
// handles it and ends with 43), and the launcher stays to pass its exit code
// on instead of dying with STATUS_CONTROL_C_EXIT (0xC000013A). The launcher
// gets a console and a process group of its own, so the test is not hit.
// Ctrl+Break, unlike Ctrl+C, arrives in a process group that ignores Ctrl+C,
// as every process that CreateProcessWithLogonW starts does.
TEST_F(LaunchE2e, CtrlBreakLeavesTheExitCodeToTheCommand) {
  // Where the command can say it is ready without a --write path.
  const TempDirectory signals;
  const std::wstring ready = signals / L"ready";
  open_to_the_sandbox(signals);
  RunOutcome sender;
  StartOptions options;
  options.creation_flags = CREATE_NEW_PROCESS_GROUP | CREATE_NEW_CONSOLE;
  options.started = [&](std::uint32_t process_id) {
    for (int waited = 0;
         waited < 20000 && ::GetFileAttributesW(ready.c_str()) == INVALID_FILE_ATTRIBUTES;
         waited += 10) {
      ::Sleep(10);
    }
    sender = run_raw(probe_path(), quoted_path(probe_path()) + L" send_ctrl_break=" +
                                       std::to_wstring(process_id));
    if (probe_value(sender.out, "ctrl_break_sent") != "0") {
      ::DeleteFileW(ready.c_str()); // the command stops waiting
    }
  };
  const RunOutcome run = run_obrex(command_line({L"--project", project_.path(), L"--", probe_path(),
                                                 L"await_ctrl_break=" + ready}),
                                   {}, std::chrono::seconds(60), nullptr, options);
  if (running_under_wine() && probe_value(sender.out, "ctrl_break_sent") != "0") {
    GTEST_SKIP() << "Wine cannot send Ctrl+Break to another console's process group (error "
                 << probe_value(sender.out, "ctrl_break_sent").value_or("?") << ")";
  }
  EXPECT_EQ(probe_value(sender.out, "ctrl_break_sent"), "0");
  EXPECT_EQ(probe_value(run.out, "ctrl_break"), "received") << run.out;
  EXPECT_EQ(run.exit_code, 43u) << "0xC000013A is STATUS_CONTROL_C_EXIT";
  EXPECT_EQ(run.err, "");
}

TEST_F(LaunchE2e, MissingProgramCannotStart) {
  const std::wstring missing = project_ / L"missing.exe";
  const RunOutcome run =
      run_obrex(command_line({L"--project", project_.path(), L"--", missing, L"x"}));
  EXPECT_EQ(run.err, "obrex-sandbox-exec: cannot start " + utf8(missing) + ": " +
                         os_error_text(ERROR_FILE_NOT_FOUND) + "\n");
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.exit_code, 126u);
}

} // namespace
} // namespace obrex::e2e
