#include "frontend/entry.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/simulated_os.h"

namespace obrex {
namespace {

using test::SimulatedOs;

// Runs the program on `line` with a run that records its requests and
// returns, or throws, what it is told.
struct Program {
  explicit Program(std::optional<std::u16string> line) { os.command_line = std::move(line); }

  std::uint32_t run(Result<std::uint32_t> outcome = 0u,
                    std::optional<InternalFailure> failure = std::nullopt) {
    return run_program(os, [&](Os&, const RunRequest& request) -> Result<std::uint32_t> {
      requests.push_back(request);
      if (failure) {
        throw *failure;
      }
      return outcome;
    });
  }

  SimulatedOs os;
  std::vector<RunRequest> requests;
};

TEST(RunProgram, UsageMessagesEndWith126WithoutARun) {
  const std::pair<std::optional<std::u16string>, std::string> cases[] = {
      {std::nullopt, "expected -- or --verbatim and a command"},
      {u"", "expected -- or --verbatim and a command"},
      {u"x.exe -- cmd", "missing --project"},
  };
  for (const auto& [line, message] : cases) {
    Program program(line);
    program.os.fail_call("get_module_file_name", 1, 122); // still no arguments
    EXPECT_EQ(program.run(), 126u);
    EXPECT_EQ(program.os.bytes_written, "obrex-sandbox-exec: " + message + "\n");
    EXPECT_TRUE(program.requests.empty());
    EXPECT_EQ(program.os.calls("get_module_file_name"), line && !line->empty() ? 0 : 1);
  }
}

TEST(RunProgram, PassesTheExitCodeThroughSilentlyAndReportsAFailedRunWith126) {
  const RunRequest expected{"C:\\my dir", {"W"}, {}, {}, ArgumentList{{"tool", "a b"}}};
  const std::pair<Result<std::uint32_t>, std::string> cases[] = {
      {0u, ""},
      {0xC0000005u, ""},
      {std::unexpected(SandboxError::from_context("x is not on PATH")),
       "obrex-sandbox-exec: x is not on PATH\n"},
  };
  for (const auto& [outcome, written] : cases) {
    Program program(u"x.exe --project \"C:\\my dir\" --write W -- tool \"a b\"");
    EXPECT_EQ(program.run(outcome), outcome ? *outcome : 126u);
    EXPECT_EQ(program.os.bytes_written, written);
    EXPECT_EQ(program.requests, std::vector{expected});
  }
}

TEST(RunProgram, InternalFailuresEndWith101AndOneDiagnosticLine) {
  const std::u16string lone_low(1, char16_t{0xDC00});
  struct Case {
    std::u16string command_line;
    std::optional<InternalFailure> thrown_by_the_run;
    std::string written;
  };
  const Case cases[] = {
      {u"x.exe --project P -- x", InternalFailure("obrex-sandbox-exec: cannot set TEMP"),
       "obrex-sandbox-exec: cannot set TEMP\n"},
      {u"x.exe --project P -- x", InternalFailure("cannot set TMP\r\nsecond line\n"),
       "obrex-sandbox-exec: cannot set TMP\\x0d\\x0asecond line\\x0a\n"},
      {u"x.exe --project P -- x " + lone_low, std::nullopt,
       "obrex-sandbox-exec: argument 5 is not valid UTF-16 (it holds an unpaired surrogate)\n"},
      {u"x" + lone_low + u".exe --bogus", std::nullopt,
       "obrex-sandbox-exec: the program's name is not valid UTF-16 (it holds an unpaired "
       "surrogate)\n"},
  };
  for (const Case& c : cases) {
    Program program(c.command_line);
    EXPECT_EQ(program.run(0u, c.thrown_by_the_run), 101u);
    EXPECT_EQ(program.requests.size(), c.thrown_by_the_run ? 1u : 0u);
    EXPECT_EQ(program.os.bytes_written, c.written);
  }
}

TEST(RunProgram, AnErrorLineThatCannotBeWrittenIsAnInternalFailure) {
  // The usage line cannot be written; the diagnostic that follows can.
  Program program(u"x.exe");
  program.os.fail_call("write_file", 1, 232);
  EXPECT_EQ(program.run(), 101u);
  EXPECT_EQ(program.os.bytes_written,
            "obrex-sandbox-exec: cannot write the error message to standard error: OS Error 232 "
            "(FormatMessageW() returned error 317) (os error 232)\n");

  // Neither line can be written, after a failed run: still 101.
  Program broken(u"x.exe --project P -- x");
  broken.os.write_error = 232;
  EXPECT_EQ(broken.run(std::unexpected(SandboxError::from_context("cannot open P"))), 101u);
  EXPECT_EQ(broken.os.calls("write_file"), 2);
}

} // namespace
} // namespace obrex
