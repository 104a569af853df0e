#include "launch/job_process.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

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
  Result<std::uint32_t> run(const ResolvedCommand& command = kCommand,
                            const std::optional<std::u16string>& block = std::nullopt) {
    const auto breakaway = plan_breakaway(*this);
    if (!breakaway) {
      return std::unexpected(breakaway.error());
    }
    return run_in_job(*this, token, command, *breakaway, block);
  }
  // The processes started as trials, and the command (the one with a token).
  std::vector<const test::SimProcess*> trials() const {
    std::vector<const test::SimProcess*> found;
    for (const auto& process : processes) {
      if (!process.token) {
        found.push_back(&process);
      }
    }
    return found;
  }
  const test::SimProcess* command() const {
    return processes.empty() || !processes.back().token ? nullptr : &processes.back();
  }
  // The token stays the caller's: closing it fails if the launch closed it.
  ~Launcher() override { close_handle(token); }
  Handle token;
};

TEST(RunInJob, StartsSuspendedConfinesResumesAndWaits) {
  Launcher os;
  os.next_exit_code = 7;
  using namespace std::string_literals;
  const std::u16string block = u"A=1\0TEMP=D:\\t\0TMP=D:\\t\0\0"s;
  const auto result = os.run(kCommand, block);
  EXPECT_EQ(result.value(), 7u);

  const std::vector<std::string> expected_calls = {
      "is_process_in_job",
      "create_job_object",
      "set_information_job_object",
      "get_std_handle",
      "get_std_handle",
      "get_std_handle",
      "set_error_mode",
      "set_console_ctrl_handler",
      "create_process_as_user",
      "set_console_ctrl_target",
      "console_interrupted",
      "assign_process_to_job_object",
      "console_interrupted",
      "resume_thread",
      "close_handle", // the thread
      "wait_for_single_object",
      "get_exit_code_process",
      "set_console_ctrl_target", // cleared before the process handle closes
      "close_handle",
      "close_handle", // the process, the job
  };
  EXPECT_EQ(os.call_log(), expected_calls);

  ASSERT_EQ(os.processes.size(), 1u);
  const test::SimProcess& child = os.processes[0];
  EXPECT_EQ(child.application, u"C:\\bin\\tool.exe");
  EXPECT_EQ(child.command_line, u"\"C:\\bin\\tool.exe\" \"a b\" x");
  EXPECT_TRUE(child.inherit_handles);
  EXPECT_EQ(child.creation_flags, 0x4u | 0x400u); // suspended, Unicode environment
  const std::map<std::u16string, std::u16string> environment = {
      {u"A", u"1"}, {u"TEMP", u"D:\\t"}, {u"TMP", u"D:\\t"}};
  EXPECT_EQ(child.environment, environment);
  EXPECT_EQ(child.startup.dwFlags, 0x100u);
  EXPECT_EQ(child.startup.hStdInput, os.std_input);
  EXPECT_EQ(child.startup.hStdOutput, os.std_output);
  EXPECT_EQ(child.startup.hStdError, os.std_error);
  EXPECT_EQ(child.error_mode, 0x1u | 0x2u);
  EXPECT_EQ(os.error_mode, 3u);                // kept after the launch
  EXPECT_EQ(child.job_ui_restrictions, 0xFFu); // JOB_OBJECT_UILIMIT_ALL
  EXPECT_EQ(child.job_limit_flags, 0u);        // outside any job: no kill-on-close
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
       "cannot keep Ctrl+C from ending obrex-sandbox-exec: Access is denied. (os error 5)",
       std::nullopt},
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

// Started inside jobs (innermost first), the launcher finds by trials how
// the command leaves them all, if it can, before it creates anything; a
// command left in an outer job could only run in a job without UI limits.
// Once out of its caller's jobs, the command's job kills on close.
TEST(RunInJob, LeavesEveryJobItRunsInOrRefusesWhenItCannot) {
  constexpr std::uint32_t kBreakaway = 0x800u;
  constexpr std::uint32_t kSilent = 0x1000u;
  constexpr std::uint32_t kRequest = 0x01000000u; // CREATE_BREAKAWAY_FROM_JOB
  const char* const refused = "cannot confine the command to the sandbox's job: "
                              "obrex-sandbox-exec runs in a job that lets no process break away "
                              "(start it outside that job, or let the job allow breakaway)";
  struct Case {
    std::vector<std::uint32_t> jobs;
    std::string failing_call; // "method" or "method#n", failing with 5
    std::size_t trials;
    std::optional<std::uint32_t> breakaway; // the command's, or none: not created
    std::string message;
  };
  const Case cases[] = {
      {{}, "", 0, 0, ""},
      {{kSilent}, "", 1, 0, ""},
      {{kSilent | kBreakaway}, "", 1, 0, ""},
      {{kSilent, kSilent}, "", 1, 0, ""},
      {{kBreakaway}, "", 2, kRequest, ""},
      {{kBreakaway, kBreakaway}, "", 2, kRequest, ""},
      {{kBreakaway, kSilent}, "", 2, kRequest, ""},
      // Refused: the flag itself (error 5), or an outer job keeps the trials.
      {{0x2000}, "", 1, std::nullopt, refused},
      {{kBreakaway, 0}, "", 2, std::nullopt, refused},
      {{kSilent, kBreakaway}, "", 1, std::nullopt, refused},
      {{kBreakaway},
       "is_process_in_job",
       0,
       std::nullopt,
       "cannot tell whether obrex-sandbox-exec runs in a job: Access is denied. (os error 5)"},
      {{kBreakaway},
       "get_module_file_name",
       0,
       std::nullopt,
       "cannot find obrex-sandbox-exec's own executable: Access is denied. (os error 5)"},
      {{kBreakaway},
       "create_process",
       0,
       std::nullopt,
       "cannot start obrex-sandbox-exec's trial process: Access is denied. (os error 5)"},
      {{kBreakaway},
       "is_process_in_job#2",
       1,
       std::nullopt,
       "cannot tell whether obrex-sandbox-exec's trial process left every job: Access is "
       "denied. (os error 5)"},
      {{kBreakaway},
       "terminate_process",
       1,
       std::nullopt,
       "cannot end obrex-sandbox-exec's trial process: Access is denied. (os error 5)"},
      {{kSilent},
       "wait_for_single_object",
       1,
       std::nullopt,
       "cannot end obrex-sandbox-exec's trial process: Access is denied. (os error 5)"},
      {{kSilent},
       "set_information_job_object#2",
       1,
       std::nullopt,
       "cannot make the sandbox's job end its processes when it closes: Access is denied. (os "
       "error 5)"},
  };
  for (const Case& c : cases) {
    Launcher os;
    os.own_jobs = c.jobs;
    os.next_exit_code = 4;
    if (const auto hash = c.failing_call.find('#'); !c.failing_call.empty()) {
      os.fail_call(c.failing_call.substr(0, hash),
                   hash == std::string::npos ? 1 : std::stoi(c.failing_call.substr(hash + 1)), 5u);
    }
    const auto result = os.run();
    const std::string where = c.message + " / " + std::to_string(c.jobs.size()) + " jobs, " +
                              std::to_string(c.jobs.empty() ? 0 : c.jobs[0]);
    EXPECT_EQ(result ? "" : result.error().message, c.message) << where;
    const auto trials = os.trials();
    ASSERT_EQ(trials.size(), c.trials) << where;
    for (std::size_t i = 0; i < trials.size(); ++i) {
      EXPECT_EQ(trials[i]->application, u"C:\\tools\\obrex-sandbox-exec.exe") << where;
      EXPECT_EQ(trials[i]->command_line, u"\"C:\\tools\\obrex-sandbox-exec.exe\"") << where;
      EXPECT_EQ(trials[i]->creation_flags, 0x4u | 0x8u | (i == 0 ? 0 : kRequest)) << where;
      EXPECT_FALSE(trials[i]->resumed) << where;
      EXPECT_EQ(trials[i]->terminated, c.failing_call != "terminate_process") << where;
      EXPECT_EQ(trials[i]->exit_code, trials[i]->terminated ? 0 : kStillActive) << where;
    }
    ASSERT_EQ(os.command() != nullptr, c.breakaway.has_value()) << where;
    if (c.breakaway) {
      EXPECT_EQ(result.value_or(0), 4u) << where;
      EXPECT_EQ(os.command()->creation_flags, 0x4u | *c.breakaway) << where;
      EXPECT_EQ(os.command()->job_ui_restrictions, 0xFFu) << where;
      EXPECT_EQ(os.command()->job_limit_flags, c.jobs.empty() ? 0u : 0x2000u) << where;
    }
    if (!c.message.starts_with("cannot make")) {
      EXPECT_EQ(os.calls("create_job_object"), c.breakaway ? 1 : 0) << where;
    }
  }
}

// Ctrl+C or Ctrl+Break at each moment of the launch: from the handler's
// installation to the resume, it ends the command, which never ran, and the
// run ends as an interrupted program does; before the handler, it is not
// seen here (the system ends the program then), and after the last check the
// command has it and decides.
TEST(RunInJob, AnInterruptBeforeTheResumeEndsTheCommand) {
  struct Case {
    std::string before; // the call at whose start the interrupt comes
    bool ended;
    bool assigned;
  };
  const Case cases[] = {
      {"set_console_ctrl_handler", false, true},
      {"create_process_as_user", true, false},
      {"console_interrupted", true, false},
      {"assign_process_to_job_object", true, true},
      {"resume_thread", false, true},
  };
  for (const Case& c : cases) {
    Launcher os;
    os.next_exit_code = 7;
    os.before_call(c.before, 1, [&os] { os.console_interrupt = true; });
    const auto result = os.run();
    EXPECT_EQ(result.value(), c.ended ? 0xC000013Au : 7u) << c.before;
    const test::SimProcess& child = os.processes.at(0);
    EXPECT_EQ(child.terminated, c.ended) << c.before;
    EXPECT_EQ(child.resumed, !c.ended) << c.before;
    EXPECT_EQ(child.job_ui_restrictions.has_value(), c.assigned) << c.before;
    EXPECT_EQ(os.console_target, Handle{}) << c.before;
  }

  Launcher os;
  os.before_call("create_process_as_user", 1, [&os] { os.console_interrupt = true; });
  os.fail_call("terminate_process", 1, 5u);
  const auto result = os.run();
  EXPECT_EQ(result ? "(ran)" : result.error().message,
            "cannot end C:\\bin\\tool.exe: Access is denied. (os error 5)");
}

} // namespace
} // namespace obrex
