// Whatever arguments a command is given, the child reads back exactly those:
// the command line built from quoted arguments is split again by the Windows
// argument rules.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "launch/command_resolution.h"
#include "platform/text.h"
#include "support/simulated_os.h"

namespace obrex {
namespace {

// The Windows reading of a whole command line: the program name (quotes
// toggle, no escapes), then the arguments. A local stand-in for the
// front end's split_command_line, which reads by the same rules.
std::vector<std::u16string> split_windows_command_line(std::u16string_view raw) {
  std::vector<std::u16string> out;
  std::size_t i = 0;
  std::u16string current;
  bool quoted = false;
  for (; i < raw.size() && (quoted || (raw[i] != u' ' && raw[i] != u'\t')); ++i) {
    if (raw[i] == u'"') {
      quoted = !quoted;
    } else {
      current += raw[i];
    }
  }
  out.push_back(std::move(current));
  current.clear();
  quoted = false;
  while (i < raw.size() && (raw[i] == u' ' || raw[i] == u'\t')) {
    ++i;
  }
  while (i < raw.size()) {
    const char16_t c = raw[i];
    if (!quoted && (c == u' ' || c == u'\t')) {
      out.push_back(std::move(current));
      current.clear();
      while (i < raw.size() && (raw[i] == u' ' || raw[i] == u'\t')) {
        ++i;
      }
      continue;
    }
    if (c == u'\\') {
      std::size_t n = 0;
      while (i < raw.size() && raw[i] == u'\\') {
        ++n;
        ++i;
      }
      if (i < raw.size() && raw[i] == u'"') {
        current.append(n / 2, u'\\');
        if (n % 2 == 1) {
          current += u'"';
          ++i;
        }
      } else {
        current.append(n, u'\\');
      }
      continue;
    }
    if (c == u'"') {
      if (!quoted) {
        quoted = true;
        ++i;
      } else if (i + 1 < raw.size() && raw[i + 1] == u'"') {
        current += u'"';
        i += 2;
      } else if (i + 1 == raw.size()) {
        out.push_back(std::move(current));
        return out;
      } else {
        quoted = false;
        ++i;
      }
      continue;
    }
    current += c;
    ++i;
  }
  if (!current.empty() || quoted) {
    out.push_back(std::move(current));
  }
  return out;
}

TEST(ArgumentSplitter, ReadsTheKnownExamples) {
  // The stand-in must itself be right for the property below to mean much.
  using Args = std::vector<std::u16string>;
  EXPECT_EQ(
      split_windows_command_line(u"prog.exe --project \"C:\\my dir\" -- tool \"a \"\"b\"\" c\""),
      (Args{u"prog.exe", u"--project", u"C:\\my dir", u"--", u"tool", u"a \"b\" c"}));
  EXPECT_EQ(split_windows_command_line(u"p \"C:\\dir\\\\\" x"), (Args{u"p", u"C:\\dir\\", u"x"}));
  EXPECT_EQ(split_windows_command_line(u"p a\\\\\\\"b a\\\\b"), (Args{u"p", u"a\\\"b", u"a\\\\b"}));
  EXPECT_EQ(split_windows_command_line(u"p \"\""), (Args{u"p", u""}));
  EXPECT_EQ(split_windows_command_line(u"p \""), (Args{u"p", u""}));
  EXPECT_EQ(split_windows_command_line(u"p x  \t"), (Args{u"p", u"x"}));
  EXPECT_EQ(split_windows_command_line(u"C:\\a\\\"b c\" d"), (Args{u"C:\\a\\b c", u"d"}));
}

// Pieces an argument is built from: the characters that matter to quoting,
// runs of backslashes, and text beyond ASCII (a surrogate pair included).
const std::u16string kPieces[] = {
    u"a",      u"Z",      u"-",          u" ",  u"  ",   u"\t",     u"\n",   u"\v",
    u"\r",     u"\"",     u"\"\"",       u"\\", u"\\\\", u"\\\\\\", u"\\\"", u"\\\\\"",
    u"\u00e9", u"\u20ac", u"\U0001F600", u"=",  u"/",    u"%PATH%", u";",
};

std::u16string generate_argument(std::mt19937& random) {
  std::u16string argument;
  const std::uint32_t length = random() % 9; // 0 to 8 pieces: empty arguments too
  for (std::uint32_t k = 0; k < length; ++k) {
    argument += kPieces[random() % std::size(kPieces)];
  }
  if (random() % 4 == 0) {
    argument.append(1 + random() % 4, u'\\'); // trailing backslashes
  }
  return argument;
}

TEST(QuotingRoundTrip, ChildReadsBackEveryGeneratedArgumentList) {
  std::mt19937 random(20240611);
  constexpr int kLists = 5000;
  for (int list = 0; list < kLists; ++list) {
    std::vector<std::string> argv{"C:\\bin\\prog.exe"};
    std::vector<std::u16string> expected{u"C:\\bin\\prog.exe"};
    const std::uint32_t count = random() % 6; // 0 to 5 arguments
    for (std::uint32_t k = 0; k < count; ++k) {
      expected.push_back(generate_argument(random));
      argv.push_back(*utf16_to_utf8(expected.back()));
    }
    test::SimulatedOs os;
    const auto resolved = resolve_command(os, ArgumentList{argv});
    ASSERT_TRUE(resolved) << resolved.error().message;
    const std::u16string line = child_command_line(*resolved);
    ASSERT_EQ(split_windows_command_line(line), expected)
        << "list " << list << ": " << display_text(line);
  }
}

TEST(QuotingRoundTrip, EachQuotedArgumentReadsBackAlone) {
  std::mt19937 random(7);
  for (int k = 0; k < 5000; ++k) {
    const std::u16string argument = generate_argument(random);
    std::u16string line = u"p ";
    quote_argument(argument, line);
    const std::vector<std::u16string> expected{u"p", argument};
    ASSERT_EQ(split_windows_command_line(line), expected) << display_text(line);
  }
}

} // namespace
} // namespace obrex
