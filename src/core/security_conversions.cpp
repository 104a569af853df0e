#include "core/security_conversions.h"

#include "platform/constants.h"
#include "platform/text.h"

namespace obrex {

Result<LocalMemory<SidPtr>> sid_from_text(Os& os, std::string_view text) {
  const auto sid = os.convert_string_sid_to_sid(utf8_to_utf16(text));
  if (!sid) {
    return std::unexpected(
        SandboxError::from_os_error(os, "cannot build the SID " + std::string(text), sid.error()));
  }
  return LocalMemory<SidPtr>(os, *sid);
}

Result<std::string> sid_to_text(Os& os, SidPtr sid) {
  const auto text = os.convert_sid_to_string_sid(sid);
  if (!text) {
    return std::unexpected(SandboxError::from_os_error(os, "cannot format a SID", text.error()));
  }
  return utf16_to_utf8_lossy(*text);
}

Result<LocalMemory<SecurityDescriptorPtr>> security_descriptor_from_sddl(Os& os,
                                                                         std::string_view sddl) {
  const auto descriptor = os.convert_string_security_descriptor_to_security_descriptor(
      utf8_to_utf16(sddl), win::SDDL_REVISION_1);
  if (!descriptor) {
    return std::unexpected(
        SandboxError::from_os_error(os, "cannot parse " + std::string(sddl), descriptor.error()));
  }
  return LocalMemory<SecurityDescriptorPtr>(os, *descriptor);
}

} // namespace obrex
