#include "launch/job_process.h"

#include <gtest/gtest.h>

#include "platform/constants.h"
#include "support/simulated_os.h"

namespace obrex {
namespace {

using test::SimulatedOs;

const ResolvedCommand kCommand{u"C:\\bin\\tool.exe", u"\"a b\" x"};

// A simulated system with the program on disk and a restricted token that
// the run holds (and closes itself, after the launch).
class RunInJob : public testing::Test {
protected:
  void SetUp() override {
    os.add_file(kCommand.program);
    test::SimRestrictedToken restricted;
    restricted.flags = win::WRITE_RESTRICTED | win::DISABLE_MAX_PRIVILEGE;
    restricted.integrity_sid = "S-1-16-4096";
    os.restricted_tokens.push_back(restricted);
    token = os.new_handle({SimulatedOs::HandleKind::RestrictedToken, {}, 0});
    handles_before = os.open_handles();
    os.system_messages[258] = u"The wait operation timed out.\r\n";
  }

  SimulatedOs os;
  Handle token;
  std::size_t handles_before = 0;
};

TEST_F(RunInJob, StartsSuspendedConfinesResumesAndWaits) {
  os.next_exit_code = 7;
  const auto result = run_in_job(os, token, kCommand);
  ASSERT_TRUE(result) << result.error().message;
  EXPECT_EQ(*result, 7u);

  const std::vector<std::string> expected_calls = {
      "create_job_object",      "set_information_job_object",
      "get_std_handle",         "get_std_handle",
      "get_std_handle",         "set_error_mode",
      "create_process_as_user", "assign_process_to_job_object",
      "resume_thread",          "close_handle", // the thread
      "wait_for_single_object", "get_exit_code_process",
      "close_handle",           "close_handle", // the process, the job
  };
  EXPECT_EQ(os.call_log(), expected_calls);

  ASSERT_EQ(os.processes.size(), 1u);
  const test::SimProcess& child = os.processes[0];
  EXPECT_EQ(child.application, u"C:\\bin\\tool.exe");
  EXPECT_EQ(child.command_line, u"\"C:\\bin\\tool.exe\" \"a b\" x");
  EXPECT_TRUE(child.inherit_handles);
  EXPECT_EQ(child.creation_flags, win::CREATE_SUSPENDED);
  EXPECT_EQ(child.startup.dwFlags, win::STARTF_USESTDHANDLES);
  EXPECT_EQ(child.startup.hStdInput, os.std_input);
  EXPECT_EQ(child.startup.hStdOutput, os.std_output);
  EXPECT_EQ(child.startup.hStdError, os.std_error);
  ASSERT_TRUE(child.token);
  EXPECT_EQ(child.token->flags, win::WRITE_RESTRICTED | win::DISABLE_MAX_PRIVILEGE);
  EXPECT_EQ(child.token->integrity_sid, "S-1-16-4096");
  EXPECT_EQ(child.error_mode, win::SEM_FAILCRITICALERRORS | win::SEM_NOGPFAULTERRORBOX);
  EXPECT_EQ(os.error_mode, 3u); // kept after the launch
  EXPECT_EQ(child.job_ui_restrictions, win::JOB_OBJECT_UILIMIT_ALL);
  EXPECT_TRUE(child.resumed);
  EXPECT_FALSE(child.terminated);

  EXPECT_EQ(os.open_handles(), handles_before); // the token is still the caller's
}

TEST_F(RunInJob, PassesTheWhole32BitExitCode) {
  for (const std::uint32_t code : {0u, 1u, 3u, 126u, 255u, 0x80000000u, 0xC0000005u, 0xFFFFFFFEu}) {
    SCOPED_TRACE(code);
    os.next_exit_code = code;
    const auto result = run_in_job(os, token, kCommand);
    ASSERT_TRUE(result) << result.error().message;
    EXPECT_EQ(*result, code);
    EXPECT_EQ(os.open_handles(), handles_before);
  }
}

TEST_F(RunInJob, EndsTheCommandLineInASpaceWithoutArguments) {
  ASSERT_TRUE(run_in_job(os, token, {kCommand.program, u""}));
  EXPECT_EQ(os.processes.at(0).command_line, u"\"C:\\bin\\tool.exe\" ");
}

TEST_F(RunInJob, ReportsAProgramThatDoesNotExist) {
  const ResolvedCommand missing{std::u16string(u"C:\\bin\\t\xD800.exe"), u""};
  const auto result = run_in_job(os, token, missing);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message,
            "cannot start C:\\bin\\t\uFFFD.exe: The system cannot find the file specified. (os "
            "error 2)");
  EXPECT_TRUE(os.processes.empty());
  EXPECT_EQ(os.open_handles(), handles_before);
}

TEST_F(RunInJob, CleansUpAfterEveryFailingCall) {
  constexpr std::uint32_t kStillActive = 259;
  struct Case {
    const char* method;
    OsCode code;
    std::string message;
    // The process afterwards: none, ended by TerminateProcess(process, 1),
    // ended by itself (9), or still running.
    std::optional<std::uint32_t> exit_code;
  };
  const Case cases[] = {
      {"create_job_object", 5, "cannot create the sandbox's job: Access is denied. (os error 5)",
       std::nullopt},
      {"set_information_job_object", 87,
       "cannot restrict the sandbox's job: The parameter is incorrect. (os error 87)",
       std::nullopt},
      {"create_process_as_user", 5,
       "cannot start C:\\bin\\tool.exe: Access is denied. (os error 5)", std::nullopt},
      {"assign_process_to_job_object", 5,
       "cannot confine the command to the sandbox's job: Access is denied. (os error 5)", 1},
      {"resume_thread", 6, "cannot start C:\\bin\\tool.exe: The handle is invalid. (os error 6)",
       1},
      {"get_exit_code_process", 6,
       "cannot read C:\\bin\\tool.exe's exit code: The handle is invalid. (os error 6)", 9},
      // WAIT_FAILED: the command is left running in its job.
      {"wait_for_single_object", 6,
       "cannot wait for C:\\bin\\tool.exe: The handle is invalid. (os error 6)", kStillActive},
  };
  os.next_exit_code = 9;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    os.fail_call(c.method, 1, c.code);
    const std::size_t processes_before = os.processes.size();
    const int terminations = os.calls("terminate_process");
    const auto result = run_in_job(os, token, kCommand);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, c.message);
    const bool terminated = c.exit_code == 1u;
    EXPECT_EQ(os.calls("terminate_process") - terminations, terminated ? 1 : 0);
    ASSERT_EQ(os.processes.size() - processes_before, c.exit_code ? 1u : 0u);
    if (c.exit_code) {
      EXPECT_EQ(os.processes.back().terminated, terminated);
      EXPECT_EQ(os.processes.back().exit_code, *c.exit_code);
    }
    EXPECT_EQ(os.open_handles(), handles_before);
  }
}

TEST_F(RunInJob, FailsAWaitThatDoesNotSeeTheProcessEnd) {
  // WAIT_TIMEOUT and WAIT_ABANDONED are not the end of the command: its exit
  // code would read STILL_ACTIVE.
  const std::pair<std::uint32_t, std::string> cases[] = {
      {258, "cannot wait for C:\\bin\\tool.exe: The wait operation timed out. (os error 258)"},
      {0x80, "cannot wait for C:\\bin\\tool.exe: OS Error 128 (FormatMessageW() returned error "
             "317) (os error 128)"},
  };
  for (const auto& [wait_result, message] : cases) {
    SCOPED_TRACE(wait_result);
    os.wait_result = wait_result;
    const int exit_code_reads = os.calls("get_exit_code_process");
    const auto result = run_in_job(os, token, kCommand);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, message);
    EXPECT_EQ(os.calls("get_exit_code_process"), exit_code_reads);
    EXPECT_EQ(os.calls("terminate_process"), 0);
    EXPECT_FALSE(os.processes.back().terminated);
    EXPECT_EQ(os.processes.back().job_ui_restrictions, win::JOB_OBJECT_UILIMIT_ALL);
    EXPECT_EQ(os.open_handles(), handles_before);
  }
}

} // namespace
} // namespace obrex
