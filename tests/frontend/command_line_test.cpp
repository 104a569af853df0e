#include "frontend/command_line.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "support/request_printer.h"

namespace obrex {
namespace {

using Units = std::vector<std::u16string>;

const std::u16string kHigh(1, char16_t{0xD800});
const std::u16string kLow(1, char16_t{0xDC00});

std::u16string no_module_name() {
  ADD_FAILURE() << "the module file name is read only for an empty command line";
  return u"unexpected";
}

struct SplitCase {
  const char* name;
  std::u16string raw;
  Units expected;
};

TEST(SplitCommandLine, SplitsByTheProgramNameRuleThenTheArgumentRules) {
  const SplitCase cases[] = {
      {"quoted value and doubled quotes",
       u"prog.exe --project \"C:\\my dir\" -- tool \"a \"\"b\"\" c\"",
       {u"prog.exe", u"--project", u"C:\\my dir", u"--", u"tool", u"a \"b\" c"}},
      {"even run before a closing quote", u"p \"C:\\dir\\\\\" x", {u"p", u"C:\\dir\\", u"x"}},
      {"odd run before a quote", u"p a\\\\\\\"b", {u"p", u"a\\\"b"}},
      {"run without a quote stays whole", u"p a\\\\b", {u"p", u"a\\\\b"}},
      {"escaped quote outside quotes", u"p \\\"x\\\"", {u"p", u"\"x\""}},
      {"even run then an opening quote", u"p a\\\\\"b c\"", {u"p", u"a\\b c"}},
      {"odd run inside quotes", u"p \"a\\\\\\\"b\" c", {u"p", u"a\\\"b", u"c"}},
      {"doubled quote inside quotes", u"p \"a\"\"b\"", {u"p", u"a\"b"}},
      {"doubled quote then a quote at the end", u"p \"\"\"\"", {u"p", u"\""}},
      {"empty pair", u"p \"\"", {u"p", u""}},
      {"empty pair between arguments", u"p \"\" x", {u"p", u"", u"x"}},
      {"lone quote at the end", u"p \"", {u"p", u""}},
      {"unclosed quote keeps blanks", u"p \"a  b", {u"p", u"a  b"}},
      {"quoted part joined to plain text", u"p \"a b\"c d", {u"p", u"a bc", u"d"}},
      {"trailing blanks add nothing", u"p x  \t ", {u"p", u"x"}},
      {"tabs separate", u"p\ta\t\tb", {u"p", u"a", u"b"}},
      {"leading blank: empty name", u" prog.exe -- x", {u"", u"prog.exe", u"--", u"x"}},
      {"quoted name with a space",
       u"\"C:\\Program Files\\x\\prog.exe\" a",
       {u"C:\\Program Files\\x\\prog.exe", u"a"}},
      {"name knows no escapes", u"C:\\a\\\"b c\" d", {u"C:\\a\\b c", u"d"}},
      {"unclosed quote in the name", u"\"C:\\x y z", {u"C:\\x y z"}},
      {"quote inside the name", u"p\"a b\" c", {u"pa b", u"c"}},
      {"empty quoted name", u"\"\" x", {u"", u"x"}},
      {"text after a NUL is not read", std::u16string(u"p a\0 b", 6), {u"p", u"a"}},
      {"unpaired surrogates are only split",
       u"p " + kHigh + u" x" + kLow,
       {u"p", kHigh, u"x" + kLow}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(split_command_line(c.raw, no_module_name), c.expected) << c.name;
  }
}

TEST(SplitCommandLine, ReadsTheModuleNameOnlyForAnAbsentOrEmptyLine) {
  const std::optional<std::u16string> raws[] = {std::nullopt, u"", std::u16string(u"\0p x", 4)};
  for (const auto& raw : raws) {
    int calls = 0;
    const auto elements = split_command_line(raw, [&calls] {
      ++calls;
      return std::u16string(u"C:\\tools\\obrex-sandbox-exec.exe");
    });
    EXPECT_EQ(elements, Units{u"C:\\tools\\obrex-sandbox-exec.exe"});
    EXPECT_EQ(calls, 1);
  }
}

// The expected outcome: a request, or a usage message.
struct ParseCase {
  const char* name;
  Units arguments;
  std::variant<RunRequest, std::string> expected;
};

RunRequest request(std::string project, std::vector<std::string> argv) {
  RunRequest r;
  r.project = std::move(project);
  r.command = ArgumentList{std::move(argv)};
  return r;
}

RunRequest with(RunRequest r, std::vector<std::string> write, std::vector<std::string> deny,
                std::vector<std::string> read_only) {
  r.write_dirs = std::move(write);
  r.deny_dirs = std::move(deny);
  r.read_only_dirs = std::move(read_only);
  return r;
}

RunRequest verbatim(std::string project, std::string program, std::string command_line) {
  RunRequest r;
  r.project = std::move(project);
  r.command = Verbatim{std::move(program), std::move(command_line)};
  return r;
}

void check(const ParseCase& c) {
  const auto result = parse_arguments(c.arguments);
  if (const auto* expected = std::get_if<RunRequest>(&c.expected)) {
    ASSERT_TRUE(result.has_value()) << c.name << ": " << result.error().message;
    EXPECT_EQ(*result, *expected) << c.name;
  } else {
    ASSERT_FALSE(result.has_value()) << c.name;
    EXPECT_EQ(result.error().message, std::get<std::string>(c.expected)) << c.name;
  }
}

TEST(ParseArguments, ReadsRequests) {
  const ParseCase cases[] = {
      {"last --project wins",
       {u"--project", u"C:\\a", u"--project", u"C:\\b", u"--", u"x"},
       request("C:\\b", {"x"})},
      {"duplicates stay, in order",
       {u"--write", u"C:\\a", u"--project", u"P", u"--write", u"C:\\a", u"--", u"x"},
       with(request("P", {"x"}), {"C:\\a", "C:\\a"}, {}, {})},
      {"every list in the order given",
       {u"--deny", u"D1", u"--read-only", u"R", u"--project", u"P", u"--write", u"W", u"--deny",
        u"D2", u"--", u"x", u"y"},
       with(request("P", {"x", "y"}), {"W"}, {"D1", "D2"}, {"R"})},
      {"nothing after -- is an option",
       {u"--project", u"C:\\p", u"--", u"--write", u"C:\\w", u"--verbatim", u"--"},
       request("C:\\p", {"--write", "C:\\w", "--verbatim", "--"})},
      {"a value that looks like an option",
       {u"--write", u"--deny", u"--project", u"--", u"--", u"x"},
       with(request("--", {"x"}), {"--deny"}, {}, {})},
      {"empty texts are accepted", {u"--project", u"", u"--", u""}, request("", {""})},
      {"verbatim keeps both texts",
       {u"--project", u"P", u"--verbatim", u"cmd.exe", u"/c \"dir\"  x"},
       verbatim("P", "cmd.exe", "/c \"dir\"  x")},
      {"verbatim values that look like options",
       {u"--project", u"P", u"--verbatim", u"--", u"--project"},
       verbatim("P", "--", "--project")},
      {"non-ASCII texts become UTF-8",
       {u"--project", u"C:\\\u00fcber", u"--", u"\U0001D11E", u"\u20ac"},
       request("C:\\\xc3\xbc"
               "ber",
               {"\xf0\x9d\x84\x9e", "\xe2\x82\xac"})},
  };
  for (const auto& c : cases) {
    check(c);
  }
}

TEST(ParseArguments, GivesUsageMessagesInOrderOfPrecedence) {
  const ParseCase cases[] = {
      {"no arguments", {}, "expected -- or --verbatim and a command"},
      {"project alone", {u"--project", u"C:\\p"}, "expected -- or --verbatim and a command"},
      {"missing command before missing project",
       {u"--write", u"W"},
       "expected -- or --verbatim and a command"},
      {"nothing after --", {u"--project", u"C:\\p", u"--"}, "no command after --"},
      {"no project", {u"--", u"cmd"}, "missing --project"},
      {"a word where an option belongs", {u"cmd"}, "unknown argument: cmd"},
      {"options are case-sensitive", {u"--Project", u"x"}, "unknown argument: --Project"},
      {"no short options", {u"-p", u"x"}, "unknown argument: -p"},
      {"no name=value form",
       {u"--project=C:\\p", u"--", u"x"},
       "unknown argument: --project=C:\\p"},
      {"no help", {u"--help"}, "unknown argument: --help"},
      {"an empty argument", {u"--project", u"P", u""}, "unknown argument: "},
      {"--project last", {u"--write", u"W", u"--project"}, "--project needs a value"},
      {"--write last", {u"--project", u"P", u"--write"}, "--write needs a value"},
      {"--deny last", {u"--project", u"P", u"--deny"}, "--deny needs a value"},
      {"--read-only last", {u"--project", u"P", u"--read-only"}, "--read-only needs a value"},
      {"--verbatim with nothing", {u"--project", u"P", u"--verbatim"}, "--verbatim needs a value"},
      {"--verbatim with one value",
       {u"--project", u"C:\\p", u"--verbatim", u"cmd.exe"},
       "--verbatim needs a value"},
      {"only the first extra is named",
       {u"--project", u"C:\\p", u"--verbatim", u"cmd.exe", u"/c dir", u"x", u"y"},
       "unexpected argument after the command: x"},
      {"extra argument before missing project",
       {u"--verbatim", u"a", u"b", u"--project"},
       "unexpected argument after the command: --project"},
      {"verbatim values are not options", {u"--verbatim", u"a", u"--project"}, "missing --project"},
      {"the earlier error wins",
       {u"--project", u"C:\\p", u"--bogus", u"--verbatim"},
       "unknown argument: --bogus"},
      {"later arguments are not looked at",
       {u"--bogus", u"--project"},
       "unknown argument: --bogus"},
  };
  for (const auto& c : cases) {
    check(c);
  }
}

// Runs `parse` and returns the diagnostic of the internal failure it threw.
template <class F> std::string internal_failure(F parse) {
  try {
    parse();
  } catch (const InternalFailure& failure) {
    return failure.diagnostic();
  }
  return "(no internal failure)";
}

TEST(ParseArguments, AnUnpairedSurrogateIsAnInternalFailureWhenReached) {
  struct Case {
    const char* name;
    Units arguments;
    const char* position;
  };
  const Case cases[] = {
      {"where an option belongs", {u"--project", u"P", u"x" + kHigh}, "argument 3"},
      {"as an option's value", {u"--write", kLow + u"y"}, "argument 2"},
      {"in the command", {u"--project", u"P", u"--", u"x", kLow + kHigh}, "argument 5"},
      {"as a verbatim value", {u"--project", u"P", u"--verbatim", u"a", kHigh}, "argument 5"},
      {"as the first extra argument", {u"--verbatim", u"a", u"b", kHigh}, "argument 4"},
      {"before a usage error", {kHigh, u"--bogus"}, "argument 1"},
  };
  for (const auto& c : cases) {
    const auto diagnostic = internal_failure([&] { (void)parse_arguments(c.arguments); });
    EXPECT_TRUE(diagnostic.starts_with("obrex-sandbox-exec: ")) << c.name << ": " << diagnostic;
    EXPECT_NE(diagnostic.find(c.position), std::string::npos) << c.name << ": " << diagnostic;
    EXPECT_NE(diagnostic.find("UTF-16"), std::string::npos) << c.name << ": " << diagnostic;
  }
}

TEST(ParseArguments, ArgumentsPastTheStopAreNotConverted) {
  const ParseCase cases[] = {
      {"after an unknown argument", {u"--bogus", kHigh}, "unknown argument: --bogus"},
      {"after the first extra argument",
       {u"--project", u"P", u"--verbatim", u"a", u"b", u"x", kLow},
       "unexpected argument after the command: x"},
  };
  for (const auto& c : cases) {
    check(c);
  }
}

} // namespace
} // namespace obrex
