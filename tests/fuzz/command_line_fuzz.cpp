// The process command line is whatever the caller passed: splitting it and
// reading the elements must end in a request, a usage message or, for an
// element that is not valid UTF-16, InternalFailure; never in anything else.
// Input: the raw command line as UTF-16 units (see fuzz_input.h), NULs kept.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "obrex/sandbox.h"
#include "fuzz_input.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace obrex;
  const std::u16string raw = fuzz::units_of(data, size);
  const std::u16string_view text = std::u16string_view(raw).substr(0, raw.find(u'\0'));

  bool module_asked = false;
  const std::vector<std::u16string> elements = split_command_line(raw, [&] {
    module_asked = true;
    return std::u16string(u"C:\\bin\\obrex-sandbox-exec.exe");
  });

  OBREX_FUZZ_CHECK(!elements.empty());
  OBREX_FUZZ_CHECK(module_asked == text.empty());
  if (!module_asked) {
    // Quotes and escapes only ever drop units; the name never keeps a quote;
    // without quotes a blank always ends an element.
    std::size_t kept = 0;
    for (const std::u16string& element : elements) {
      OBREX_FUZZ_CHECK(element.find(u'\0') == std::u16string::npos);
      kept += element.size();
    }
    OBREX_FUZZ_CHECK(kept <= text.size());
    OBREX_FUZZ_CHECK(elements.front().find(u'"') == std::u16string::npos);
    if (text.find(u'"') == std::u16string_view::npos) {
      for (const std::u16string& element : elements) {
        OBREX_FUZZ_CHECK(element.find_first_of(u" \t") == std::u16string::npos);
      }
    }
  }

  try {
    const auto request = read_command_line(elements);
    if (request) {
      const auto* list = std::get_if<ArgumentList>(&request->command);
      OBREX_FUZZ_CHECK(list == nullptr || !list->argv.empty());
    } else {
      OBREX_FUZZ_CHECK(!request.error().message.empty());
    }
  } catch (const InternalFailure&) {
    // Only an element that holds an unpaired surrogate may end the reading so.
    OBREX_FUZZ_CHECK(std::ranges::any_of(
        elements, [](const std::u16string& element) { return !utf16_to_utf8(element); }));
  }
  return 0;
}
