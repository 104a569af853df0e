#include "filesystem/labels.h"

#include "core/security_conversions.h"
#include "filesystem/file_checks.h"
#include "platform/constants.h"
#include "platform/text.h"

namespace obrex {

Result<void> apply_label(Os& os, std::string_view path, std::string_view label) {
  const auto descriptor = security_descriptor_from_sddl(os, label);
  if (!descriptor) {
    return std::unexpected(descriptor.error());
  }
  const auto sacl = os.get_security_descriptor_sacl(descriptor->get());
  if (!sacl) {
    return std::unexpected(
        SandboxError::from_os_error(os, "cannot read the label to apply", sacl.error()));
  }
  const auto written = os.set_named_security_info(utf8_to_utf16(path), win::SE_FILE_OBJECT,
                                                  win::LABEL_SECURITY_INFORMATION, AclPtr{}, *sacl);
  if (!written) {
    return std::unexpected(
        SandboxError::from_status(os, "cannot label " + std::string(path), written.error()));
  }
  return {};
}

Result<void> ensure_low_write_label(Os& os, std::string_view path) {
  const auto label = read_security_text(os, path, win::LABEL_SECURITY_INFORMATION);
  if (!label) {
    return std::unexpected(label.error());
  }
  if (label->find(kLowWriteLabelMarker) != std::string::npos) {
    return {};
  }
  return apply_label(os, path, kLowWriteLabel);
}

Result<void> protect_denied_paths(Os& os, const std::vector<std::string>& deny_dirs) {
  for (const std::string& path : deny_dirs) {
    if (!existence_test(os, utf8_to_utf16(path))) {
      continue;
    }
    if (auto labelled = apply_label(os, path, kDenyLabel); !labelled) {
      return labelled;
    }
  }
  return {};
}

} // namespace obrex
