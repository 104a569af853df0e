#include "platform/text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace obrex {
namespace {

TEST(Utf16ToUtf8, StrictRejectsAndLossyReplacesUnpairedSurrogates) {
  const auto units = [](std::initializer_list<char16_t> list) { return std::u16string(list); };
  // The units, the strict conversion (nullopt: rejected), the lossy one.
  const std::tuple<std::u16string, std::optional<std::string>, std::string> cases[] = {
      {u"C:\\\u00e9\u20ac\uffff", "C:\\\xc3\xa9\xe2\x82\xac\xef\xbf\xbf",
       "C:\\\xc3\xa9\xe2\x82\xac\xef\xbf\xbf"},
      {u"\U0001D11E\U0010FFFF", "\xf0\x9d\x84\x9e\xf4\x8f\xbf\xbf",
       "\xf0\x9d\x84\x9e\xf4\x8f\xbf\xbf"},
      {units({u'a', 0xD800}), std::nullopt, "a\xef\xbf\xbd"},
      {units({0xDC00, 0xD800, u'b'}), std::nullopt,
       "\xef\xbf\xbd\xef\xbf\xbd"
       "b"},
      {units({0xD800, 0xD834, 0xDD1E}), std::nullopt, "\xef\xbf\xbd\xf0\x9d\x84\x9e"},
  };
  for (const auto& [input, strict, lossy] : cases) {
    EXPECT_EQ(utf16_to_utf8(input), strict);
    EXPECT_EQ(utf16_to_utf8_lossy(input), lossy);
  }
}

} // namespace
} // namespace obrex
