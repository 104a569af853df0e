#include "platform/text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace obrex {
namespace {

std::u16string units(std::initializer_list<char16_t> list) {
  return std::u16string(list);
}

struct Utf16Case {
  const char* name;
  std::u16string input;
  std::optional<std::string> strict; // nullopt: rejected
  std::string lossy;
};

TEST(Utf16ToUtf8, StrictRejectsAndLossyReplacesUnpairedSurrogates) {
  const Utf16Case cases[] = {
      {"empty", u"", "", ""},
      {"ASCII", u"C:\\p q", "C:\\p q", "C:\\p q"},
      {"two and three bytes", u"\u00e9\u20ac", "\xc3\xa9\xe2\x82\xac", "\xc3\xa9\xe2\x82\xac"},
      {"highest basic-plane unit", u"\uffff", "\xef\xbf\xbf", "\xef\xbf\xbf"},
      {"surrogate pair", u"a\U0001D11Eb",
       "a\xf0\x9d\x84\x9e"
       "b",
       "a\xf0\x9d\x84\x9e"
       "b"},
      {"highest pair", u"\U0010FFFF", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
      {"high at the end", units({u'a', 0xD800}), std::nullopt, "a\xef\xbf\xbd"},
      {"high before a letter", units({0xDBFF, u'b'}), std::nullopt,
       "\xef\xbf\xbd"
       "b"},
      {"lone low", units({u'a', 0xDC00, u'b'}), std::nullopt,
       "a\xef\xbf\xbd"
       "b"},
      {"pair reversed", units({0xDC00, 0xD800}), std::nullopt, "\xef\xbf\xbd\xef\xbf\xbd"},
      {"high, then a pair", units({0xD800, 0xD834, 0xDD1E}), std::nullopt,
       "\xef\xbf\xbd\xf0\x9d\x84\x9e"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf16_to_utf8(c.input), c.strict) << c.name;
    EXPECT_EQ(utf16_to_utf8_lossy(c.input), c.lossy) << c.name;
  }
}

} // namespace
} // namespace obrex
