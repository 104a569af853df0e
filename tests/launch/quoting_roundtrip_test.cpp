// Whatever arguments a command is given, the child reads back exactly those:
// the command line built from quoted arguments is split again by the Windows
// argument rules.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "launch/command_resolution.h"
#include "obrex/sandbox.h"
#include "platform/text.h"
#include "support/simulated_os.h"

namespace obrex {
namespace {

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
    ASSERT_EQ(split_command_line(line, [] { return std::u16string(); }), expected)
        << "list " << list << ": " << display_text(line);
  }
}

} // namespace
} // namespace obrex
