#include "core/errors.h"

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
  return SandboxError{std::move(context), std::nullopt};
}

SandboxError SandboxError::from_os_error(Os& os, std::string_view context, OsCode code) {
  std::string message(context);
  message += ": ";
  message += os_error_text(os, code);
  return SandboxError{std::move(message), code};
}

SandboxError SandboxError::from_status(Os& os, std::string_view context, std::uint32_t status) {
  if (static_cast<std::int32_t>(status) < 0) {
    std::string message(context);
    message += ": error ";
    message += std::to_string(status);
    return SandboxError{std::move(message), status};
  }
  return from_os_error(os, context, status);
}

std::string display_text(std::u16string_view units) {
  return utf16_to_utf8_lossy(units);
}

} // namespace obrex
