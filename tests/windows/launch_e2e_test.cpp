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

StartOptions in_job(std::uint32_t limits) {
  StartOptions options;
  options.job_limits = limits;
  return options;
}

// Started inside a job, as CI runners, task schedulers and agent harnesses
// start it. A job that keeps its children makes the run fail before anything
// changes: the command never starts.
TEST_F(LaunchE2e, InsideAJobThatLetsNothingBreakAwayTheRunIsRefused) {
  const RunOutcome run =
      run_obrex(command_line({L"--project", project_.path(), L"--", probe_path()}), {},
                std::nullopt, nullptr, in_job(0));
  EXPECT_EQ(run.err, "obrex-sandbox-exec: cannot confine the command to the sandbox's job: "
                     "obrex-sandbox-exec runs in a job that lets no process break away (start it "
                     "outside that job, or let the job allow breakaway)\n");
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.exit_code, 126u);
}

// A job that lets its children leave, on request or silently: the command
// leaves it and runs in the sandbox's job with every user-interface limit.
TEST_F(LaunchE2e, InsideAJobThatAllowsBreakawayTheCommandGetsEveryLimit) {
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine's QueryInformationJobObject reports no limit flags for the job a "
                    "process runs in, whatever the job allows, so under Wine the program "
                    "refuses every job";
  }
  for (const std::uint32_t limits :
       {JOB_OBJECT_LIMIT_BREAKAWAY_OK, JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK}) {
    const RunOutcome run =
        run_obrex(command_line({L"--project", project_.path(), L"--", probe_path(), L"exit=3"}), {},
                  std::nullopt, nullptr, in_job(limits));
    EXPECT_EQ(run.err, "") << limits;
    EXPECT_EQ(run.exit_code, 3u) << limits;
    EXPECT_EQ(probe_value(run.out, "in_job"), "1") << limits;
    EXPECT_EQ(probe_value(run.out, "ui_restrictions"), "0xFF") << limits << "\n" << run.out;
  }
}

// Ctrl+Break, sent to the launcher's process group while the command runs,
// reaches the launcher and the command alike: the command decides (the probe
// handles it and ends with 43), and the launcher stays to pass its exit code
// on instead of dying with STATUS_CONTROL_C_EXIT (0xC000013A). The launcher
// gets a console and a process group of its own, so the test is not hit.
TEST_F(LaunchE2e, CtrlBreakLeavesTheExitCodeToTheCommand) {
  // Where the command can say it is ready without a --write path: Low
  // labelled, and open to Everyone, one of its restricting SIDs.
  const TempDirectory signals;
  const std::wstring ready = signals / L"ready";
  PSECURITY_DESCRIPTOR open_to_low = nullptr;
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
      L"D:(A;OICI;FA;;;WD)S:(ML;OICI;NW;;;LW)", SDDL_REVISION_1, &open_to_low, nullptr));
  const DWORD secured = ::SetFileSecurityW(
      signals.path().c_str(), DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION, open_to_low);
  ::LocalFree(open_to_low);
  ASSERT_TRUE(secured || running_under_wine()) << ::GetLastError();
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
