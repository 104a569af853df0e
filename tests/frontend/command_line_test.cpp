#include "obrex/sandbox.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

namespace obrex {
namespace {

using Units = std::vector<std::u16string>;

const std::u16string kHigh(1, char16_t{0xD800});
const std::u16string kLow(1, char16_t{0xDC00});

TEST(SplitCommandLine, SplitsByTheProgramNameRuleThenTheArgumentRules) {
  const std::pair<std::u16string, Units> cases[] = {
      {u"prog.exe --project \"C:\\my dir\" -- tool \"a \"\"b\"\" c\"",
       {u"prog.exe", u"--project", u"C:\\my dir", u"--", u"tool", u"a \"b\" c"}},
      {u"p \"C:\\dir\\\\\" x", {u"p", u"C:\\dir\\", u"x"}}, // even run before a quote
      {u"p a\\\\\\\"b", {u"p", u"a\\\"b"}},                 // odd run before a quote
      {u"p a\\\\b", {u"p", u"a\\\\b"}},                     // no quote follows
      {u"p \"\" x", {u"p", u"", u"x"}},
      {u"p \"", {u"p", u""}}, // a lone quote at the end
      {u"p\tx  \t ", {u"p", u"x"}},
      {u" prog.exe -- x", {u"", u"prog.exe", u"--", u"x"}}, // a leading blank: empty name
      {u"\"C:\\Program Files\\x\\prog.exe\" a", {u"C:\\Program Files\\x\\prog.exe", u"a"}},
      {u"C:\\a\\\"b c\" d", {u"C:\\a\\b c", u"d"}}, // the name knows no escapes
      {std::u16string(u"p a\0 b", 6), {u"p", u"a"}},
      {u"p " + kHigh + u" x", {u"p", kHigh, u"x"}}, // split, not converted
  };
  for (const auto& [raw, expected] : cases) {
    EXPECT_EQ(split_command_line(raw, [] { return std::u16string(u"unexpected"); }), expected);
  }
  // An absent or empty line holds the module's name alone.
  for (const auto& raw :
       {std::optional<std::u16string>(), std::optional(std::u16string(u"\0p", 2))}) {
    EXPECT_EQ(split_command_line(raw, [] { return std::u16string(u"C:\\obrex.exe"); }),
              Units{u"C:\\obrex.exe"});
  }
}

RunRequest request(std::string project, CommandSpec command, std::vector<std::string> write = {},
                   std::vector<std::string> deny = {}, std::vector<std::string> read_only = {}) {
  return RunRequest{std::move(project), std::move(write), std::move(deny), std::move(read_only),
                    std::move(command)};
}

TEST(ParseArguments, ReadsRequestsOrGivesUsageMessagesInOrderOfPrecedence) {
  const std::pair<Units, std::variant<RunRequest, std::string>> cases[] = {
      {{u"--project", u"C:\\a", u"--project", u"C:\\b", u"--", u"x"},
       request("C:\\b", ArgumentList{{"x"}})},
      {{u"--deny", u"D1", u"--write", u"W", u"--read-only", u"R", u"--project", u"P", u"--write",
        u"W", u"--deny", u"D2", u"--", u"x", u"y"},
       request("P", ArgumentList{{"x", "y"}}, {"W", "W"}, {"D1", "D2"}, {"R"})},
      {{u"--project", u"P", u"--", u"--write", u"W", u"--verbatim"},
       request("P", ArgumentList{{"--write", "W", "--verbatim"}})},
      {{u"--write", u"--deny", u"--project", u"--", u"--", u""},
       request("--", ArgumentList{{""}}, {"--deny"})},
      {{u"--project", u"P", u"--verbatim", u"--", u"/c \"dir\"  x"},
       request("P", Verbatim{"--", "/c \"dir\"  x"})},
      {{u"--project", u"\u00fc", u"--", u"\U0001D11E"},
       request("\xc3\xbc", ArgumentList{{"\xf0\x9d\x84\x9e"}})},
      {{}, "expected -- or --verbatim and a command"},
      {{u"--write", u"W"}, "expected -- or --verbatim and a command"},
      {{u"--project", u"P", u"--"}, "no command after --"},
      {{u"--", u"cmd"}, "missing --project"},
      {{u"--verbatim", u"a", u"--project"}, "missing --project"},
      {{u"cmd"}, "unknown argument: cmd"},
      {{u"--project=P", u"--", u"x"}, "unknown argument: --project=P"},
      {{u"--write", u"W", u"--project"}, "--project needs a value"},
      {{u"--project", u"P", u"--write"}, "--write needs a value"},
      {{u"--project", u"P", u"--deny"}, "--deny needs a value"},
      {{u"--project", u"P", u"--read-only"}, "--read-only needs a value"},
      {{u"--project", u"P", u"--verbatim"}, "--verbatim needs a value"},
      {{u"--project", u"P", u"--verbatim", u"cmd.exe"}, "--verbatim needs a value"},
      {{u"--verbatim", u"a", u"b", u"x", u"y"}, "unexpected argument after the command: x"},
      {{u"--project", u"P", u"--Bogus", u"--verbatim"}, "unknown argument: --Bogus"},
      // Arguments past the stop are neither examined nor converted.
      {{u"--bogus", kHigh}, "unknown argument: --bogus"},
      {{u"--verbatim", u"a", u"b", u"x", kLow}, "unexpected argument after the command: x"},
  };
  for (const auto& [arguments, expected] : cases) {
    const auto result = parse_arguments(arguments);
    if (const auto* message = std::get_if<std::string>(&expected)) {
      EXPECT_EQ(result ? "(a request)" : result.error().message, *message);
    } else {
      EXPECT_TRUE(result && *result == std::get<RunRequest>(expected))
          << (result ? "another request" : result.error().message);
    }
  }
}

TEST(ParseArguments, AnUnpairedSurrogateIsAnInternalFailureWhenReached) {
  const std::pair<Units, const char*> cases[] = {
      {{u"--project", u"P", u"x" + kHigh}, "argument 3"},
      {{u"--project", u"P", u"--verbatim", u"a", kLow + kHigh}, "argument 5"},
      {{kHigh, u"--bogus"}, "argument 1"},
  };
  for (const auto& [arguments, position] : cases) {
    try {
      (void)parse_arguments(arguments);
      ADD_FAILURE() << "no internal failure at " << position;
    } catch (const InternalFailure& failure) {
      EXPECT_EQ(failure.diagnostic(), std::string("obrex-sandbox-exec: ") + position +
                                          " is not valid UTF-16 (it holds an unpaired surrogate)");
    }
  }
}

} // namespace
} // namespace obrex
