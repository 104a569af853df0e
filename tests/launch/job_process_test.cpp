#include "launch/job_process.h"

#include <gtest/gtest.h>

#include "platform/constants.h"
#include "support/simulated_os.h"

namespace obrex {
namespace {

using test::SimulatedOs;

const ResolvedCommand kCommand{u"C:\\bin\\tool.exe", u"\"a b\" x"};
constexpr std::uint32_t kStillActive = 259;

// A simulated system with the program on disk and a restricted token that
// the run holds (and closes itself, after the launch).
struct Launcher : SimulatedOs {
  Launcher() {
    add_file(kCommand.program);
    restricted_tokens.push_back({0x9, {}, {}, "S-1-16-4096", 0x20, 0});
    token = new_handle({HandleKind::RestrictedToken, {}, 0});
    system_messages[258] = u"The wait operation timed out.\r\n";
  }
  Result<std::uint32_t> run(const ResolvedCommand& command = kCommand) {
    const auto flags = job_breakaway_flags(*this);
    if (!flags) {
      return std::unexpected(flags.error());
    }
    return run_in_job(*this, token, command, *flags);
  }
  // The token stays the caller's: closing it fails if the launch closed it.
  ~Launcher() override { close_handle(token); }
  Handle token;
};

TEST(RunInJob, StartsSuspendedConfinesResumesAndWaits) {
  Launcher os;
  os.next_exit_code = 7;
  const auto result = os.run();
  EXPECT_EQ(result.value(), 7u);

  const std::vector<std::string> expected_calls = {
      "is_process_in_job",
      "create_job_object",
      "set_information_job_object",
      "get_std_handle",
      "get_std_handle",
      "get_std_handle",
      "set_error_mode",
      "create_process_as_user",
      "assign_process_to_job_object",
      "set_console_ctrl_handler",
      "resume_thread",
      "close_handle", // the thread
      "wait_for_single_object",
      "get_exit_code_process",
      "close_handle",
      "close_handle", // the process, the job
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
  EXPECT_EQ(child.token->integrity_sid, "S-1-16-4096");
  EXPECT_EQ(child.error_mode, win::SEM_FAILCRITICALERRORS | win::SEM_NOGPFAULTERRORBOX);
  EXPECT_EQ(os.error_mode, 3u); // kept after the launch
  EXPECT_EQ(child.job_ui_restrictions, win::JOB_OBJECT_UILIMIT_ALL);
  EXPECT_TRUE(child.resumed);
}

TEST(RunInJob, PassesTheWhole32BitExitCodeAndEndsALineWithoutArgumentsInASpace) {
  for (const std::uint32_t code : {0u, 3u, 0xC0000005u}) {
    Launcher os;
    os.next_exit_code = code;
    EXPECT_EQ(os.run({kCommand.program, u""}).value(), code);
    EXPECT_EQ(os.processes.at(0).command_line, u"\"C:\\bin\\tool.exe\" ");
  }
}

TEST(RunInJob, CleansUpAfterEveryFailure) {
  // The call made to fail ("missing program": a program that is not there;
  // "wait result": a wait that returns something else than WAIT_OBJECT_0),
  // the code, the message, and the process afterwards: none, ended by
  // TerminateProcess(process, 1), ended by itself (9), or still running.
  const std::tuple<std::string, OsCode, std::string, std::optional<std::uint32_t>> cases[] = {
      {"create_job_object", 5, "cannot create the sandbox's job: Access is denied. (os error 5)",
       std::nullopt},
      {"set_information_job_object", 87,
       "cannot restrict the sandbox's job: The parameter is incorrect. (os error 87)",
       std::nullopt},
      {"missing program", 0,
       "cannot start C:\\bin\\t\uFFFD.exe: The system cannot find the file specified. (os error 2)",
       std::nullopt},
      {"assign_process_to_job_object", 5,
       "cannot confine the command to the sandbox's job: Access is denied. (os error 5)", 1},
      {"set_console_ctrl_handler", 5,
       "cannot keep Ctrl+C from ending obrex-sandbox-exec: Access is denied. (os error 5)", 1},
      {"resume_thread", 6, "cannot start C:\\bin\\tool.exe: The handle is invalid. (os error 6)",
       1},
      {"get_exit_code_process", 6,
       "cannot read C:\\bin\\tool.exe's exit code: The handle is invalid. (os error 6)", 9},
      // A wait that fails or does not see the end leaves the command running.
      {"wait_for_single_object", 6,
       "cannot wait for C:\\bin\\tool.exe: The handle is invalid. (os error 6)", kStillActive},
      {"wait result", 258,
       "cannot wait for C:\\bin\\tool.exe: The wait operation timed out. (os error 258)",
       kStillActive},
  };
  for (const auto& [method, code, message, exit_code] : cases) {
    Launcher os;
    os.next_exit_code = 9;
    ResolvedCommand command = kCommand;
    if (method == "missing program") {
      command = {std::u16string(u"C:\\bin\\t\xD800.exe"), u""};
    } else if (method == "wait result") {
      os.wait_result = code; // WAIT_TIMEOUT
    } else {
      os.fail_call(method, 1, code);
    }
    const auto result = os.run(command);
    EXPECT_EQ(result ? "(ran)" : result.error().message, message);
    ASSERT_EQ(os.processes.size(), exit_code ? 1u : 0u) << message;
    if (exit_code) {
      EXPECT_EQ(os.processes[0].terminated, *exit_code == 1u) << message;
      EXPECT_EQ(os.processes[0].exit_code, *exit_code) << message;
    }
  }
}

// Started inside a job, the launcher gets the command out of it where the
// job allows that, and otherwise refuses before creating anything: a command
// left in the outer job could only run in a job without UI limits.
TEST(RunInJob, LeavesTheJobItRunsInOrRefusesWhenItCannot) {
  constexpr std::uint32_t kBreakaway = win::JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  constexpr std::uint32_t kSilent = win::JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
  const std::string refused =
      "cannot confine the command to the sandbox's job: obrex-sandbox-exec runs in a job that "
      "lets no process break away (start it outside that job, or let the job allow breakaway)";
  struct Case {
    std::optional<std::uint32_t> own_job; // its limit flags; none outside a job
    std::string failing_call;
    std::optional<std::uint32_t> creation_flags; // none: refused, no process
    std::string message;
  };
  const Case cases[] = {
      {std::nullopt, "", win::CREATE_SUSPENDED, ""},
      {kSilent, "", win::CREATE_SUSPENDED, ""},
      {kSilent | kBreakaway, "", win::CREATE_SUSPENDED, ""},
      {kBreakaway, "", win::CREATE_SUSPENDED | win::CREATE_BREAKAWAY_FROM_JOB, ""},
      {0x2000, "", std::nullopt, refused}, // kill-on-close only
      {kBreakaway, "is_process_in_job", std::nullopt,
       "cannot tell whether obrex-sandbox-exec runs in a job: Access is denied. (os error 5)"},
      {kBreakaway, "query_information_job_object", std::nullopt,
       "cannot read the limits of the job that obrex-sandbox-exec runs in: Access is denied. "
       "(os error 5)"},
  };
  for (const Case& c : cases) {
    Launcher os;
    os.own_job_limits = c.own_job;
    os.next_exit_code = 4;
    if (!c.failing_call.empty()) {
      os.fail_call(c.failing_call, 1, win::ERROR_ACCESS_DENIED);
    }
    const auto result = os.run();
    const std::string where = c.message + " / " + std::to_string(c.own_job.value_or(0));
    EXPECT_EQ(result ? "" : result.error().message, c.message) << where;
    ASSERT_EQ(os.processes.size(), c.creation_flags ? 1u : 0u) << where;
    EXPECT_EQ(os.calls("create_job_object"), c.creation_flags ? 1 : 0) << where;
    if (c.creation_flags) {
      EXPECT_EQ(result.value_or(0), 4u) << where;
      EXPECT_EQ(os.processes[0].creation_flags, *c.creation_flags) << where;
      EXPECT_EQ(os.processes[0].job_ui_restrictions, win::JOB_OBJECT_UILIMIT_ALL) << where;
      EXPECT_EQ(os.calls("query_information_job_object"), c.own_job ? 1 : 0) << where;
    }
  }
}

} // namespace
} // namespace obrex
