#include "frontend/run_sequence.h"

#include <gtest/gtest.h>

#include <set>

#include "platform/constants.h"
#include "support/simulated_os.h"

namespace obrex {
namespace {

using test::SimulatedOs;

const std::u16string kTemp =
    u"C:\\Users\\sandboxer\\AppData\\LocalLow\\Tornel\\Obrex\\sandbox-temp";

// A machine with a project, a secrets folder inside it, a tool on PATH and
// the profile's LocalLow folder.
void build_machine(SimulatedOs& os) {
  os.add_directory(u"C:\\proj\\secrets");
  os.add_file(u"C:\\bin\\tool.exe");
  os.add_directory(u"C:\\Users\\sandboxer\\AppData\\LocalLow");
  os.environment[u"PATH"] = u"C:\\bin";
  os.environment[u"TEMP"] = u"C:\\inherited";
  os.next_exit_code = 7;
}

RunRequest typical_request() {
  RunRequest request;
  request.project = "C:\\proj";
  request.write_dirs = {"C:\\proj"};
  request.deny_dirs = {"C:\\proj\\secrets"};
  request.command = ArgumentList{{"tool", "a b"}};
  return request;
}

int writes(const SimulatedOs& os) {
  return os.calls("set_named_security_info") + os.calls("set_entries_in_acl") +
         os.calls("create_directory");
}

TEST(RunSandbox, PreparesEverythingThenRunsTheCommandAndPassesItsExitCodeOn) {
  SimulatedOs os;
  build_machine(os);
  const auto result = run_sandbox(os, typical_request());
  ASSERT_TRUE(result) << result.error().message;
  EXPECT_EQ(*result, 7u);

  ASSERT_EQ(os.processes.size(), 1u);
  const auto& process = os.processes[0];
  EXPECT_EQ(process.application, u"C:\\bin\\tool.EXE");
  EXPECT_EQ(process.command_line, u"\"C:\\bin\\tool.EXE\" \"a b\"");
  EXPECT_EQ(process.environment.at(u"TEMP"), kTemp);
  EXPECT_EQ(process.environment.at(u"TMP"), kTemp);
  ASSERT_TRUE(process.token);
  EXPECT_TRUE(process.token->default_dacl);
  EXPECT_EQ(process.token->integrity_sid, "S-1-16-4096");
  ASSERT_EQ(process.token->restricting.size(), 3u);

  const auto* project = os.find(u"C:\\proj");
  const std::string sid = process.token->restricting[0].first;
  EXPECT_NE(project->label.find(";NW;;;LW)"), std::string::npos) << project->label;
  EXPECT_NE(project->dacl.find(sid), std::string::npos) << project->dacl;
  EXPECT_NE(os.find(u"C:\\proj\\secrets")->label.find("NWNR;;;ME)"), std::string::npos);
  EXPECT_TRUE(os.find(kTemp));

  EXPECT_EQ(os.open_handles(), 0u);
  EXPECT_EQ(os.live_allocations(), 0u);
}

TEST(RunSandbox, ChangesNothingWhenTheCommandOrTheProjectFails) {
  struct Case {
    const char* name;
    CommandSpec command;
    const char* project;
    const char* message;
  };
  const Case cases[] = {
      {"not on PATH", ArgumentList{{"missing"}}, "C:\\proj", "missing is not on PATH"},
      {"batch file", ArgumentList{{"C:\\x\\setup.bat"}}, "C:\\proj",
       "C:\\x\\setup.bat is a batch file, which Windows runs through cmd.exe; give it as a "
       "cmd.exe command line instead"},
      {"no project", ArgumentList{{"tool"}}, "C:\\nowhere",
       "cannot open C:\\nowhere: The system cannot find the file specified. (os error 2)"},
  };
  for (const auto& c : cases) {
    SimulatedOs os;
    build_machine(os);
    RunRequest request = typical_request();
    request.command = c.command;
    request.project = c.project;
    const auto result = run_sandbox(os, request);
    ASSERT_FALSE(result) << c.name;
    EXPECT_EQ(result.error().message, c.message) << c.name;
    EXPECT_EQ(writes(os), 0) << c.name;
    EXPECT_FALSE(os.find(kTemp)) << c.name;
    EXPECT_EQ(os.calls("set_environment_variable"), 0) << c.name;
    EXPECT_TRUE(os.processes.empty()) << c.name;
    EXPECT_EQ(os.open_handles(), 0u) << c.name;
    EXPECT_EQ(os.live_allocations(), 0u) << c.name;
  }
}

TEST(RunSandbox, ASecondRunWritesOnlyTheDenyLabel) {
  SimulatedOs os;
  build_machine(os);
  ASSERT_TRUE(run_sandbox(os, typical_request()));
  const std::string dacl = os.find(u"C:\\proj")->dacl;
  const int label_writes = os.calls("set_named_security_info");
  const int grants = os.calls("set_entries_in_acl");
  const int directories = os.calls("create_directory");

  ASSERT_TRUE(run_sandbox(os, typical_request()));
  EXPECT_EQ(os.calls("set_named_security_info"), label_writes + 1); // the deny label
  EXPECT_EQ(os.calls("set_entries_in_acl"), grants);
  EXPECT_EQ(os.calls("create_directory"), directories + 1); // finds the directory there
  EXPECT_EQ(os.find(u"C:\\proj")->dacl, dacl);
  ASSERT_EQ(os.processes.size(), 2u);
  EXPECT_EQ(os.processes[0].token->restricting[0], os.processes[1].token->restricting[0]);
}

TEST(RunSandbox, TheReadOnlyProjectGetsAnotherSid) {
  SimulatedOs os;
  build_machine(os);
  ASSERT_TRUE(run_sandbox(os, typical_request()));
  RunRequest request = typical_request();
  request.read_only_dirs = {"c:/proj/"};
  ASSERT_TRUE(run_sandbox(os, request));
  ASSERT_EQ(os.processes.size(), 2u);
  EXPECT_NE(os.processes[0].token->restricting[0].first,
            os.processes[1].token->restricting[0].first);
}

TEST(RunSandbox, WithoutAProfileTheInheritedTempStays) {
  SimulatedOs os;
  build_machine(os);
  os.profile.reset();
  ASSERT_TRUE(run_sandbox(os, typical_request()));
  EXPECT_EQ(os.calls("set_environment_variable"), 0);
  EXPECT_EQ(os.processes.at(0).environment.at(u"TEMP"), u"C:\\inherited");
  EXPECT_EQ(os.calls("create_directory"), 0);
}

// Every call the run makes fails in turn. Whatever the outcome, the run
// gives back every handle and allocation, and a failed run never reports an
// exit code.
TEST(RunSandbox, ReleasesEverythingWhicheverCallFails) {
  std::vector<std::string> log;
  {
    SimulatedOs os;
    build_machine(os);
    ASSERT_TRUE(run_sandbox(os, typical_request()));
    log = os.call_log();
  }
  const std::set<std::string> never_fail = {
      "local_free",        "close_handle",         "get_std_handle",           "set_error_mode",
      "terminate_process", "get_length_sid",       "get_environment_variable", "get_module_handle",
      "get_console_mode",  "get_console_output_cp"};
  std::map<std::string, int> seen;
  int failures = 0;
  for (const auto& method : log) {
    const int nth = ++seen[method];
    if (never_fail.contains(method)) {
      continue;
    }
    SimulatedOs os;
    build_machine(os);
    os.fail_call(method, nth, win::ERROR_ACCESS_DENIED);
    bool internal = false;
    std::optional<Result<std::uint32_t>> result;
    try {
      result = run_sandbox(os, typical_request());
    } catch (const InternalFailure&) {
      internal = true;
    }
    const std::string where = method + " #" + std::to_string(nth);
    if (internal) {
      EXPECT_EQ(method, "set_environment_variable") << where;
    } else if (!*result) {
      ++failures;
      EXPECT_FALSE(result->error().message.empty()) << where;
      EXPECT_TRUE(os.processes.empty() || os.processes[0].terminated ||
                  result->error().message.starts_with("cannot read") ||
                  result->error().message.starts_with("cannot wait"))
          << where << ": " << result->error().message;
    } else {
      EXPECT_EQ(**result, 7u) << where;
    }
    EXPECT_EQ(os.open_handles(), 0u) << where;
    EXPECT_EQ(os.live_allocations(), 0u) << where;
  }
  EXPECT_GT(failures, 20);
}

} // namespace
} // namespace obrex
