// Conversions between the program's UTF-8 texts and the UTF-16 units of the
// system.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace obrex {

// Strict: nullopt when the units hold an unpaired surrogate.
std::optional<std::string> utf16_to_utf8(std::u16string_view units);

// For display: every unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8_lossy(std::u16string_view units);

// The program's texts are valid UTF-8; a malformed sequence, should one
// arrive, becomes U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);

} // namespace obrex
