#include "core/report.h"

#include "platform/constants.h"
#include "platform/text.h"

namespace obrex {

namespace {

constexpr char kHex[] = "0123456789abcdef";

// The code point of a line or paragraph separator (U+2028, U+2029) or a
// bidirectional control (U+202A to U+202E, U+2066 to U+2069) that `text`
// holds in UTF-8 at `i`; 0 for anything else. Each is three bytes: 0xE2,
// then 0x80 0xA8 to 0xAE or 0x81 0xA6 to 0xA9.
unsigned disguising_character_at(std::string_view text, std::size_t i) {
  if (i + 2 >= text.size() || static_cast<unsigned char>(text[i]) != 0xE2) {
    return 0;
  }
  const auto second = static_cast<unsigned char>(text[i + 1]);
  const auto third = static_cast<unsigned char>(text[i + 2]);
  if ((second == 0x80 && third >= 0xA8 && third <= 0xAE) ||
      (second == 0x81 && third >= 0xA6 && third <= 0xA9)) {
    return 0x2000u + ((second & 0x3Fu) << 6) + (third & 0x3Fu);
  }
  return 0;
}

} // namespace

std::string escape_control_characters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (const unsigned code_point = disguising_character_at(text, i); code_point != 0) {
      out += "\\u{";
      for (int shift = 12; shift >= 0; shift -= 4) {
        out += kHex[(code_point >> shift) & 0xF];
      }
      out += '}';
      i += 2;
      continue;
    }
    auto code = static_cast<unsigned char>(text[i]);
    // U+0080 to U+009F, the C1 controls, are 0xC2 0x80 to 0xC2 0x9F in UTF-8.
    const bool c1 = code == 0xC2 && i + 1 < text.size() &&
                    static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (c1) {
      code = static_cast<unsigned char>(text[++i]);
    } else if (code >= 0x20 && code != 0x7F) {
      out += text[i];
      continue;
    }
    out += "\\x";
    out += kHex[code >> 4];
    out += kHex[code & 0xF];
  }
  return out;
}

OsResult<void> write_standard_stream(Os& os, std::uint32_t which, std::string_view text) {
  const Handle handle = os.get_std_handle(which);
  if (handle.value == nullptr) {
    return {};
  }
  if (os.get_console_mode(handle) && os.get_console_output_cp() != win::CP_UTF8) {
    return os.write_console(handle, utf8_to_utf16(text));
  }
  return os.write_file(handle, text);
}

OsResult<void> write_standard_error(Os& os, std::string_view line) {
  return write_standard_stream(os, win::STD_ERROR_HANDLE, line);
}

void report_failure(Os& os, std::string_view message, std::string_view program) {
  std::string line(program);
  line += ": ";
  line += escape_control_characters(message);
  line += '\n';
  if (const auto written = write_standard_error(os, line); !written) {
    throw InternalFailure(std::string(program) +
                          ": cannot write the error message to standard error: " +
                          os_error_text(os, written.error()));
  }
}

} // namespace obrex
