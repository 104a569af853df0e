#include "core/report.h"

#include "platform/constants.h"
#include "platform/text.h"

namespace obrex {

std::string escape_control_characters(std::string_view text) {
  constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
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
