#include "acl/acl_reading.h"

#include <algorithm>
#include <charconv>

#include "core/errors.h"
#include "core/security_conversions.h"
#include "identity/sandbox_identity.h"
#include "platform/constants.h"

namespace obrex {
namespace {

struct Named {
  std::string_view name;
  std::uint32_t value;
};

// The mandatory levels by their SID.
constexpr std::pair<std::string_view, std::string_view> kLevels[] = {
    {"S-1-16-0", "Untrusted"},
    {"S-1-16-4096", "Low"},
    {"S-1-16-8192", "Medium"},
    {"S-1-16-8448", "Medium Plus"},
    {"S-1-16-12288", "High"},
    {"S-1-16-16384", "System"},
    {"S-1-16-20480", "Protected Process"},
};
constexpr std::string_view kLowLevel = "S-1-16-4096";
constexpr std::string_view kMediumLevel = "S-1-16-8192";

std::string names_of(std::uint32_t bits, std::initializer_list<Named> names) {
  std::string text;
  for (const Named& name : names) {
    if ((bits & name.value) != 0) {
      text += name.name;
    }
  }
  return text.empty() ? "-" : text;
}

std::string level_name(std::string_view sid) {
  const auto it =
      std::ranges::find(kLevels, sid, &std::pair<std::string_view, std::string_view>::first);
  return std::string(it == std::end(kLevels) ? sid : it->second);
}

std::string policy_names(std::uint32_t mask) {
  return names_of(mask, {{"NW", win::SYSTEM_MANDATORY_LABEL_NO_WRITE_UP},
                         {"NR", win::SYSTEM_MANDATORY_LABEL_NO_READ_UP},
                         {"NX", win::SYSTEM_MANDATORY_LABEL_NO_EXECUTE_UP}});
}

// An explicit label below Medium: one that lets Low-integrity programs
// write, or that a sandboxed command may have set by itself.
bool below_medium(const ReadEntry& entry, std::string_view level_sid) {
  constexpr std::string_view kLevelPrefix = "S-1-16-";
  if (entry.inherited || !level_sid.starts_with(kLevelPrefix)) {
    return false;
  }
  const std::string_view rid = level_sid.substr(kLevelPrefix.size());
  std::uint32_t level = 0;
  const auto [end, error] = std::from_chars(rid.data(), rid.data() + rid.size(), level);
  return error == std::errc() && end == rid.data() + rid.size() && level < 0x2000;
}

// The entries of a non-null ACL, in order. In a protected ACL nothing is
// inherited: an entry marked inherited there was written so by someone, and
// counts as explicit.
std::optional<std::vector<ReadEntry>> read_entries(Os& os, AclOutput& out, const Target& target,
                                                   AclPtr acl, bool protected_acl) {
  std::vector<ReadEntry> entries;
  const auto count = os.get_acl_information(acl);
  if (!count) {
    out.fail(SandboxError::from_os_error(os, "cannot count the entries of " + target.display,
                                         count.error())
                 .message);
    return std::nullopt;
  }
  for (std::uint32_t index = 0; index < *count; ++index) {
    const auto ace = os.get_ace(acl, index);
    if (!ace) {
      out.fail(SandboxError::from_os_error(os, "cannot read the entries of " + target.display,
                                           ace.error())
                   .message);
      return std::nullopt;
    }
    entries.push_back({index, *ace, (ace->AceFlags & win::INHERITED_ACE) != 0 && !protected_acl});
  }
  return entries;
}

} // namespace

std::optional<std::pair<std::string, std::string>> both_sids(Os& os, AclOutput& out,
                                                             const std::string& project) {
  const auto sandbox = derive_sandbox_identity(os, project, {});
  if (!sandbox) {
    out.fail(sandbox.error().message);
    return std::nullopt;
  }
  const auto read_only = derive_sandbox_identity(os, project, {project});
  if (!read_only) {
    out.fail(read_only.error().message);
    return std::nullopt;
  }
  return std::pair(sandbox->sid_text, read_only->sid_text);
}

std::vector<ProjectSid> project_sids(Os& os, AclOutput& out,
                                     const std::vector<std::string>& projects) {
  std::vector<ProjectSid> sids;
  for (const std::string& project : projects) {
    const auto both = both_sids(os, out, project);
    if (!both) {
      continue;
    }
    // Both or neither: a project is revoked whole.
    auto sandbox = sid_from_text(os, both->first);
    auto read_only = sid_from_text(os, both->second);
    if (!sandbox || !read_only) {
      out.fail((!sandbox ? sandbox : read_only).error().message);
      continue;
    }
    sids.push_back({both->first, "sandbox SID of " + project, std::move(*sandbox)});
    sids.push_back({both->second, "read-only SID of " + project, std::move(*read_only)});
  }
  return sids;
}

const ProjectSid* find_sid(Os& os, const std::vector<ProjectSid>& sids, SidPtr sid) {
  const auto it = std::ranges::find_if(
      sids, [&](const ProjectSid& project) { return os.equal_sid(project.sid.get(), sid); });
  return it == sids.end() ? nullptr : &*it;
}

std::optional<ReadSecurity> read_security(Os& os, AclOutput& out, const Target& target,
                                          std::uint32_t parts) {
  const auto info = os.get_security_info(target.handle, win::SE_FILE_OBJECT, parts);
  if (!info) {
    out.fail(
        SandboxError::from_status(os, "cannot read the security of " + target.display, info.error())
            .message);
    return std::nullopt;
  }
  ReadSecurity read{LocalMemory<SecurityDescriptorPtr>(os, info->descriptor), 0, {}, {}};
  const auto control = os.get_security_descriptor_control(read.descriptor.get());
  if (!control) {
    out.fail(SandboxError::from_os_error(os, "cannot read the security of " + target.display,
                                         control.error())
                 .message);
    return std::nullopt;
  }
  read.control = *control;
  read.dacl.acl = info->dacl;
  read.label.acl = info->sacl;
  for (const auto& [part, protection] : {std::pair(&read.dacl, win::SE_DACL_PROTECTED),
                                         std::pair(&read.label, win::SE_SACL_PROTECTED)}) {
    if (part->acl.value != nullptr) {
      auto entries = read_entries(os, out, target, part->acl, (read.control & protection) != 0);
      if (!entries) {
        return std::nullopt;
      }
      part->entries = std::move(*entries);
    }
  }
  return read;
}

std::optional<std::string> sid_text_of(Os& os, AclOutput& out, SidPtr sid) {
  auto text = sid_to_text(os, sid);
  if (!text) {
    out.fail(text.error().message);
    return std::nullopt;
  }
  return std::move(*text);
}

std::string_view origin(const ReadEntry& entry) {
  return entry.inherited ? "inherited" : "explicit";
}

std::string entry_type(std::uint8_t type) {
  switch (type) {
  case win::ACCESS_ALLOWED_ACE_TYPE:
    return "allow";
  case win::ACCESS_DENIED_ACE_TYPE:
    return "deny";
  case win::ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    return "object allow";
  case win::ACCESS_DENIED_OBJECT_ACE_TYPE:
    return "object deny";
  case win::ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
    return "callback allow";
  case win::ACCESS_DENIED_CALLBACK_ACE_TYPE:
    return "callback deny";
  case win::ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
    return "callback object allow";
  case win::ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
    return "callback object deny";
  default:
    constexpr char kHex[] = "0123456789abcdef";
    return std::string("type 0x") + kHex[type >> 4] + kHex[type & 0xF];
  }
}

std::string access_mask_text(std::uint32_t mask) {
  constexpr char kHex[] = "0123456789abcdef";
  std::string text = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) {
    text += kHex[(mask >> shift) & 0xF];
  }
  return text;
}

std::string inheritance_flags(std::uint8_t flags) {
  return names_of(flags, {{"OI", win::OBJECT_INHERIT_ACE},
                          {"CI", win::CONTAINER_INHERIT_ACE},
                          {"NP", win::NO_PROPAGATE_INHERIT_ACE},
                          {"IO", win::INHERIT_ONLY_ACE},
                          {"CR", 0x20},
                          {"SA", 0x40},
                          {"FA", 0x80}});
}

std::optional<std::string> label_level_sid(Os& os, AclOutput& out, const ReadEntry& entry) {
  if (entry.ace.AceType != win::SYSTEM_MANDATORY_LABEL_ACE_TYPE || entry.ace.Sid.value == nullptr) {
    return std::nullopt;
  }
  return sid_text_of(os, out, entry.ace.Sid);
}

SandboxLabel sandbox_label(Os& os, const ReadEntry& entry, std::string_view level_sid) {
  constexpr std::uint32_t kNoWriteUp = win::SYSTEM_MANDATORY_LABEL_NO_WRITE_UP;
  constexpr std::uint32_t kNoReadUp = win::SYSTEM_MANDATORY_LABEL_NO_READ_UP;
  const ACE_RECORD& ace = entry.ace;
  if (ace.AceType != win::SYSTEM_MANDATORY_LABEL_ACE_TYPE ||
      ace.AceFlags != (win::OBJECT_INHERIT_ACE | win::CONTAINER_INHERIT_ACE) ||
      ace.Sid.value == nullptr || ace.AceSize != 8 + os.get_length_sid(ace.Sid)) {
    return SandboxLabel::None;
  }
  if (ace.Mask == kNoWriteUp && level_sid == kLowLevel) {
    return SandboxLabel::LowWrite;
  }
  if (ace.Mask == (kNoWriteUp | kNoReadUp) && level_sid == kMediumLevel) {
    return SandboxLabel::Deny;
  }
  return SandboxLabel::None;
}

std::string label_fields_line(std::string_view path, std::string_view what, const ReadEntry& entry,
                              std::string_view level_sid, bool with_origin) {
  const std::string level = level_name(level_sid);
  const std::string policy = policy_names(entry.ace.Mask);
  const std::string flags = inheritance_flags(entry.ace.AceFlags);
  if (!with_origin) {
    return output_line({path, what, level, policy, flags});
  }
  return below_medium(entry, level_sid)
             ? output_line({path, what, level, policy, flags, origin(entry), "below Medium"})
             : output_line({path, what, level, policy, flags, origin(entry)});
}

} // namespace obrex
