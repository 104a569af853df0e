#include "frontend/errors.h"

#include "platform/constants.h"
#include "platform/text.h"

namespace obrex {
namespace {

constexpr std::uint32_t kNtStatusFacilityBit = 0x10000000;
constexpr std::uint32_t kMessageCapacity = 2048;

std::string signed_decimal(std::uint32_t code) {
  return std::to_string(static_cast<std::int32_t>(code));
}

// The white space of Unicode; all of it lies in the basic plane.
bool is_white_space(char16_t unit) {
  return (unit >= 0x09 && unit <= 0x0D) || unit == 0x20 || unit == 0x85 || unit == 0xA0 ||
         unit == 0x1680 || (unit >= 0x2000 && unit <= 0x200A) || unit == 0x2028 || unit == 0x2029 ||
         unit == 0x202F || unit == 0x205F || unit == 0x3000;
}

std::string system_message(Os& os, OsCode code) {
  std::uint32_t flags = win::FORMAT_MESSAGE_FROM_SYSTEM | win::FORMAT_MESSAGE_IGNORE_INSERTS;
  ModuleHandle source;
  OsCode passed = code;
  if ((code & kNtStatusFacilityBit) != 0) {
    if (const auto ntdll = os.get_module_handle(u"NTDLL.DLL")) {
      flags |= win::FORMAT_MESSAGE_FROM_HMODULE;
      source = *ntdll;
      passed = code & ~kNtStatusFacilityBit;
    }
  }
  const auto units = os.format_message(flags, source, passed, kMessageCapacity);
  if (!units) {
    return "OS Error " + signed_decimal(passed) + " (FormatMessageW() returned error " +
           std::to_string(units.error()) + ")";
  }
  std::u16string_view view = *units;
  while (!view.empty() && is_white_space(view.back())) {
    view.remove_suffix(1);
  }
  auto text = utf16_to_utf8(view);
  if (!text) {
    return "OS Error " + signed_decimal(passed) + " (FormatMessageW() returned invalid UTF-16)";
  }
  return std::move(*text);
}

} // namespace

std::string os_error_text(Os& os, OsCode code) {
  return system_message(os, code) + " (os error " + signed_decimal(code) + ")";
}

SandboxError SandboxError::from_context(std::string context) {
  return SandboxError{std::move(context)};
}

SandboxError SandboxError::from_os_error(Os& os, std::string_view context, OsCode code) {
  std::string message(context);
  message += ": ";
  message += os_error_text(os, code);
  return SandboxError{std::move(message)};
}

SandboxError SandboxError::from_status(Os& os, std::string_view context, std::uint32_t status) {
  if (static_cast<std::int32_t>(status) < 0) {
    std::string message(context);
    message += ": error ";
    message += std::to_string(status);
    return SandboxError{std::move(message)};
  }
  return from_os_error(os, context, status);
}

OsResult<void> write_standard_error(Os& os, std::string_view line) {
  const Handle handle = os.get_std_handle(win::STD_ERROR_HANDLE);
  if (handle.value == nullptr) {
    return {};
  }
  if (os.get_console_mode(handle) && os.get_console_output_cp() != win::CP_UTF8) {
    return os.write_console(handle, utf8_to_utf16(line));
  }
  return os.write_file(handle, line);
}

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

void report_failure(Os& os, std::string_view message) {
  std::string line(kProgramName);
  line += ": ";
  line += escape_control_characters(message);
  line += '\n';
  if (const auto written = write_standard_error(os, line); !written) {
    throw InternalFailure(std::string(kProgramName) +
                          ": cannot write the error message to standard error: " +
                          os_error_text(os, written.error()));
  }
}

std::string display_text(std::u16string_view units) {
  return utf16_to_utf8_lossy(units);
}

} // namespace obrex
