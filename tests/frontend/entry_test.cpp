#include "frontend/entry.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/request_printer.h"
#include "support/simulated_os.h"

namespace obrex {
namespace {

using test::SimulatedOs;

// A run that records the requests it was given and returns, or throws, what
// it is told.
struct FakeRun {
  Result<std::uint32_t> outcome = 0u;
  std::optional<InternalFailure> failure;
  std::vector<RunRequest> requests;

  RunSandbox function() {
    return [this](Os&, const RunRequest& request) -> Result<std::uint32_t> {
      requests.push_back(request);
      if (failure) {
        throw *failure;
      }
      return outcome;
    };
  }
};

int writes(const SimulatedOs& os) {
  return os.calls("write_console") + os.calls("write_file");
}

TEST(RunProgram, UsageMessagesEndWith126WithoutARun) {
  const std::pair<std::optional<std::u16string>, std::string> cases[] = {
      {std::nullopt, "expected -- or --verbatim and a command"},
      {u"", "expected -- or --verbatim and a command"},
      {u"x.exe -- cmd", "missing --project"},
      {u" prog.exe -- x", "unknown argument: prog.exe"},
  };
  for (const auto& [line, message] : cases) {
    SimulatedOs os;
    os.command_line = line;
    os.fail_call("get_module_file_name", 1, 122); // an empty line still reads as no arguments
    FakeRun run;
    EXPECT_EQ(run_program(os, run.function()), 126u) << message;
    EXPECT_EQ(os.bytes_written, "obrex-sandbox-exec: " + message + "\n");
    EXPECT_TRUE(run.requests.empty()) << message;
    EXPECT_EQ(os.calls("get_module_file_name"), line && !line->empty() ? 0 : 1) << message;
  }
}

TEST(RunProgram, PassesTheCommandsExitCodeThroughSilently) {
  RunRequest expected;
  expected.project = "C:\\my dir";
  expected.write_dirs = {"W"};
  expected.command = ArgumentList{{"tool", "a b"}};
  for (const std::uint32_t code : {0u, 1u, 101u, 126u, 0xC0000005u}) {
    SimulatedOs os;
    os.command_line = u"x.exe --project \"C:\\my dir\" --write W -- tool \"a b\"";
    FakeRun run;
    run.outcome = code;
    EXPECT_EQ(run_program(os, run.function()), code);
    EXPECT_EQ(writes(os), 0) << code;
    ASSERT_EQ(run.requests.size(), 1u);
    EXPECT_EQ(run.requests.front(), expected);
  }
}

TEST(RunProgram, AFailedRunIsReportedWith126) {
  SimulatedOs os;
  os.command_line = u"x.exe --project P -- nothing";
  FakeRun run;
  run.outcome = std::unexpected(SandboxError::from_context("nothing is not on PATH"));
  EXPECT_EQ(run_program(os, run.function()), 126u);
  EXPECT_EQ(os.bytes_written, "obrex-sandbox-exec: nothing is not on PATH\n");
  EXPECT_EQ(writes(os), 1);
}

TEST(RunProgram, InternalFailuresEndWith101AndOneDiagnosticLine) {
  const std::u16string lone_low(1, char16_t{0xDC00});
  struct Case {
    std::u16string command_line;
    std::optional<InternalFailure> thrown_by_run;
    std::string expected; // the whole line, or a part of it
  };
  const Case cases[] = {
      {u"x.exe --project P -- x",
       InternalFailure("obrex-sandbox-exec: cannot set TEMP: Access is denied. (os error 5)"),
       "obrex-sandbox-exec: cannot set TEMP: Access is denied. (os error 5)\n"},
      {u"x.exe --project P -- x", InternalFailure("cannot set TMP\r\nsecond line\n"),
       "obrex-sandbox-exec: cannot set TMP  second line\n"},
      {u"x.exe --project P -- x " + lone_low, std::nullopt, "argument 5"},
      {u"x" + lone_low + u".exe --bogus", std::nullopt, "name"},
  };
  for (const auto& c : cases) {
    SimulatedOs os;
    os.command_line = c.command_line;
    FakeRun run;
    run.failure = c.thrown_by_run;
    EXPECT_EQ(run_program(os, run.function()), 101u) << c.expected;
    EXPECT_EQ(run.requests.size(), c.thrown_by_run ? 1u : 0u) << c.expected;
    EXPECT_EQ(writes(os), 1) << c.expected;
    if (c.thrown_by_run) {
      EXPECT_EQ(os.bytes_written, c.expected);
    } else {
      const std::string& line = os.bytes_written;
      EXPECT_TRUE(line.starts_with("obrex-sandbox-exec: ")) << line;
      EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
      EXPECT_NE(line.find(c.expected), std::string::npos) << line;
    }
  }
}

TEST(RunProgram, AFailedErrorLineIsAnInternalFailure) {
  // The usage line cannot be written; the diagnostic that follows can.
  SimulatedOs os;
  os.command_line = u"x.exe";
  os.fail_call("write_file", 1, 232);
  FakeRun run;
  EXPECT_EQ(run_program(os, run.function()), 101u);
  EXPECT_EQ(os.calls("write_file"), 2);
  EXPECT_TRUE(os.bytes_written.starts_with(
      "obrex-sandbox-exec: cannot write the error message to standard error: OS Error 232"))
      << os.bytes_written;

  // Neither line can be written, after a failed run: still 101.
  SimulatedOs broken;
  broken.command_line = u"x.exe --project P -- x";
  broken.write_error = 232;
  run.outcome = std::unexpected(SandboxError::from_context("cannot open P"));
  EXPECT_EQ(run_program(broken, run.function()), 101u);
  EXPECT_EQ(broken.calls("write_file"), 2);
}

} // namespace
} // namespace obrex
