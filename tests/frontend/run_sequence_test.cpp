#include "obrex/sandbox.h"

#include <gtest/gtest.h>

#include "support/simulated_os.h"

namespace obrex {
namespace {

using test::SimulatedOs;

const std::u16string kTemp =
    u"C:\\Users\\sandboxer\\AppData\\LocalLow\\Tornel\\Obrex\\sandbox-temp";

// A machine with a project, a secrets folder inside it, a tool on PATH and
// the profile's LocalLow folder.
struct Machine : SimulatedOs {
  Machine() {
    add_directory(u"C:\\proj\\secrets");
    add_file(u"C:\\bin\\tool.exe");
    add_directory(u"C:\\Users\\sandboxer\\AppData\\LocalLow");
    environment[u"PATH"] = u"C:\\bin";
    environment[u"TEMP"] = u"C:\\inherited";
    next_exit_code = 7;
  }
  int writes() const {
    return calls("set_named_security_info") + calls("set_entries_in_acl") +
           calls("create_directory");
  }
  std::string sid(std::size_t run) const { return processes.at(run).token->restricting[0].first; }
};

RunRequest typical_request() {
  return RunRequest{
      "C:\\proj", {"C:\\proj"}, {"C:\\proj\\secrets"}, {}, ArgumentList{{"tool", "a b"}}};
}

TEST(RunSandbox, PreparesEverythingThenRunsTheCommandAndPassesItsExitCodeOn) {
  Machine os;
  const auto result = run_sandbox(os, typical_request());
  ASSERT_TRUE(result) << result.error().message;
  EXPECT_EQ(*result, 7u);

  ASSERT_EQ(os.processes.size(), 1u);
  const auto& process = os.processes[0];
  EXPECT_EQ(process.command_line, u"\"C:\\bin\\tool.EXE\" \"a b\"");
  EXPECT_EQ(process.environment.at(u"TEMP"), kTemp);
  EXPECT_EQ(process.environment.at(u"TMP"), kTemp);
  // The caller's own TEMP (set) and TMP (unset) stay as they were.
  const std::map<std::u16string, std::u16string> callers = {{u"PATH", u"C:\\bin"},
                                                            {u"TEMP", u"C:\\inherited"}};
  EXPECT_EQ(os.environment, callers);
  ASSERT_TRUE(process.token);
  EXPECT_TRUE(process.token->default_dacl);
  EXPECT_EQ(process.token->integrity_sid, "S-1-16-4096");
  EXPECT_EQ(process.token->restricting.size(), 3u);

  const auto* project = os.find(u"C:\\proj");
  EXPECT_EQ(project->label, "S:(ML;OICI;NW;;;LW)");
  EXPECT_NE(project->dacl.find(os.sid(0)), std::string::npos) << project->dacl;
  EXPECT_EQ(os.find(u"C:\\proj\\secrets")->label, "S:(ML;OICI;NWNR;;;ME)");
  EXPECT_TRUE(os.find(kTemp));
}

TEST(RunSandbox, ChangesNothingWhenTheCommandOrTheProjectFails) {
  const std::tuple<CommandSpec, const char*, const char*> cases[] = {
      {ArgumentList{{"missing"}}, "C:\\proj", "missing is not on PATH"},
      {ArgumentList{{"C:\\x\\setup.bat"}}, "C:\\proj",
       "C:\\x\\setup.bat is a batch file, which Windows runs through cmd.exe; give it as a "
       "cmd.exe command line instead"},
      {ArgumentList{{"tool"}}, "C:\\nowhere",
       "cannot open C:\\nowhere: The system cannot find the file specified. (os error 2)"},
  };
  for (const auto& [command, project, message] : cases) {
    Machine os;
    // A launcher in a job that lets nothing break away fails after these.
    os.own_jobs = {0};
    RunRequest request = typical_request();
    request.command = command;
    request.project = project;
    const auto result = run_sandbox(os, request);
    EXPECT_EQ(result ? "(ran)" : result.error().message, message);
    EXPECT_EQ(os.writes(), 0) << message;
    EXPECT_TRUE(os.processes.empty()) << message; // no trial either
  }
}

// The job it runs in lets it break away, the one around that does not.
TEST(RunSandbox, ALauncherInJobsThatKeepTheirChildrenChangesNothing) {
  Machine os;
  os.own_jobs = {0x800u, 0};
  const auto result = run_sandbox(os, typical_request());
  EXPECT_TRUE(!result && result.error().message.starts_with(
                             "cannot confine the command to the sandbox's job: "));
  EXPECT_EQ(os.writes(), 0); // the temporary directory included
  EXPECT_EQ(os.calls("create_job_object") + os.calls("create_process_as_user"), 0);
}

TEST(RunSandbox, ASecondRunWritesOnlyTheDenyLabelAndAReadOnlyProjectGetsAnotherSid) {
  Machine os;
  ASSERT_TRUE(run_sandbox(os, typical_request()));
  const std::string dacl = os.find(u"C:\\proj")->dacl;
  const int labels = os.calls("set_named_security_info");
  const int grants = os.calls("set_entries_in_acl");

  ASSERT_TRUE(run_sandbox(os, typical_request()));
  EXPECT_EQ(os.calls("set_named_security_info"), labels + 1); // the deny label
  EXPECT_EQ(os.calls("set_entries_in_acl"), grants);
  EXPECT_EQ(os.find(u"C:\\proj")->dacl, dacl);
  EXPECT_EQ(os.sid(1), os.sid(0));

  RunRequest read_only = typical_request();
  read_only.read_only_dirs = {"c:/proj/"};
  ASSERT_TRUE(run_sandbox(os, read_only));
  EXPECT_NE(os.sid(2), os.sid(0));
}

TEST(RunSandbox, APathToWriteAndToDenyEndsDeniedAndKeepsItsGrant) {
  Machine os;
  RunRequest request = typical_request();
  request.write_dirs = request.deny_dirs;
  ASSERT_TRUE(run_sandbox(os, request));
  const auto* secrets = os.find(u"C:\\proj\\secrets");
  EXPECT_EQ(secrets->label, "S:(ML;OICI;NWNR;;;ME)");
  EXPECT_NE(secrets->dacl.find(os.sid(0)), std::string::npos) << secrets->dacl;
}

TEST(RunSandbox, WithoutAProfileTheInheritedTempStays) {
  Machine os;
  os.profile.reset();
  ASSERT_TRUE(run_sandbox(os, typical_request()));
  EXPECT_EQ(os.calls("get_environment_strings"), 0);
  EXPECT_EQ(os.processes.at(0).environment.at(u"TEMP"), u"C:\\inherited");
  EXPECT_EQ(os.calls("create_directory"), 0);
}

// Every call the run makes fails in turn, outside any job and inside one
// that allows breakaway on request. Whatever the outcome, the run gives
// back every handle and allocation, and a failed run never leaves a process
// running unless it failed after the command started (or failed to end a
// trial, which never runs).
TEST(RunSandbox, ReleasesEverythingWhicheverCallFails) {
  int failures = 0;
  for (const std::vector<std::uint32_t>& jobs :
       {std::vector<std::uint32_t>{}, std::vector{0x800u}}) {
    Machine clean;
    clean.own_jobs = jobs;
    ASSERT_TRUE(run_sandbox(clean, typical_request()));
    std::map<std::string, int> seen;
    for (const auto& method : clean.call_log()) {
      const int nth = ++seen[method];
      if (method == "close_handle") {
        continue; // a handle that cannot be closed stays open
      }
      Machine os;
      os.own_jobs = jobs;
      os.fail_call(method, nth, 5u);
      const std::string where =
          method + " #" + std::to_string(nth) + " in " + std::to_string(jobs.size()) + " jobs";
      try {
        const auto result = run_sandbox(os, typical_request());
        if (!result) {
          ++failures;
          const std::string& message = result.error().message;
          // The injected error, the tool not found at all, or a breakaway
          // that the job refuses.
          EXPECT_TRUE(message.ends_with("Access is denied. (os error 5)") ||
                      message == "tool is not on PATH" ||
                      message.ends_with("let the job allow breakaway)"))
              << where << ": " << message;
          for (const auto& process : os.processes) {
            EXPECT_TRUE(process.terminated ||
                        message.starts_with("cannot read C:\\bin\\tool.EXE's exit code") ||
                        message.starts_with("cannot wait for") ||
                        message.starts_with("cannot end obrex-sandbox-exec's trial"))
                << where << ": " << message;
          }
        } else {
          EXPECT_EQ(*result, 7u) << where;
        }
      } catch (const InternalFailure&) {
        EXPECT_EQ(method, "get_environment_strings") << where;
      }
    }
  }
  EXPECT_GT(failures, 40);
}

} // namespace
} // namespace obrex
