// How the fuzz targets read their input, and how they report a broken
// property.
//
// Text: every two bytes, little-endian, are one UTF-16 unit; an odd last byte
// is dropped. Lists: the text cut at its NUL units; the units before each NUL
// make one element, and the units after the last NUL one more when there are
// any. So the empty input is the empty list, a lone NUL one empty element, and
// "a", NUL, NUL the elements "a" and "". The byte-oriented targets cut their
// bytes at zero bytes the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace obrex::fuzz {

inline std::u16string units_of(const std::uint8_t* data, std::size_t size) {
  std::u16string units;
  units.reserve(size / 2);
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  return units;
}

template <class Char>
std::vector<std::basic_string<Char>> split_at_nul(std::basic_string_view<Char> text) {
  std::vector<std::basic_string<Char>> elements;
  std::size_t start = 0;
  for (std::size_t nul = text.find(Char{0}); nul != text.npos; nul = text.find(Char{0}, start)) {
    elements.emplace_back(text.substr(start, nul - start));
    start = nul + 1;
  }
  if (start < text.size()) {
    elements.emplace_back(text.substr(start));
  }
  return elements;
}

// Aborts, so that libFuzzer keeps the input as a crash.
[[noreturn]] inline void property_broken(const char* file, int line, const char* condition) {
  std::fprintf(stderr, "%s:%d: broken property: %s\n", file, line, condition);
  std::abort();
}

} // namespace obrex::fuzz

#define OBREX_FUZZ_CHECK(condition)                                                                \
  ((condition) ? static_cast<void>(0)                                                              \
               : ::obrex::fuzz::property_broken(__FILE__, __LINE__, #condition))
