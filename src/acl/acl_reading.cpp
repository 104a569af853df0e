#include "acl/acl_reading.h"

#include <algorithm>
#include <charconv>

#include "core/errors.h"
#include "identity/sandbox_identity.h"
#include "platform/constants.h"
#include "platform/owner.h"
#include "platform/text.h"

namespace obrex {
namespace {

std::string policy_text(std::string_view rights) {
  const auto mask = sddl_access_mask(rights);
  return mask ? label_policy_names(*mask) : std::string(rights);
}

// An explicit label below Medium: one that lets Low-integrity programs
// write, or that a sandboxed command may have set by itself.
bool below_medium(const SddlEntry& entry) {
  if (entry.inherited()) {
    return false;
  }
  if (entry.sid == "LW") {
    return true;
  }
  constexpr std::string_view kLevelPrefix = "S-1-16-";
  if (!entry.sid.starts_with(kLevelPrefix)) {
    return false;
  }
  const std::string_view rid = entry.sid.substr(kLevelPrefix.size());
  std::uint32_t level = 0;
  const auto [end, error] = std::from_chars(rid.data(), rid.data() + rid.size(), level);
  return error == std::errc() && end == rid.data() + rid.size() && level < 0x2000;
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

// Both SIDs of each project; a project whose SIDs cannot be derived is
// reported and left out.
std::vector<ProjectSid> project_sids(Os& os, AclOutput& out,
                                     const std::vector<std::string>& projects) {
  std::vector<ProjectSid> sids;
  for (const std::string& project : projects) {
    if (const auto both = both_sids(os, out, project)) {
      sids.push_back({both->first, "sandbox SID of " + project});
      sids.push_back({both->second, "read-only SID of " + project});
    }
  }
  return sids;
}

const ProjectSid* find_sid(const std::vector<ProjectSid>& sids, std::string_view sid) {
  const auto it = std::ranges::find(sids, sid, &ProjectSid::sid_text);
  return it == sids.end() ? nullptr : &*it;
}

std::string_view origin(const SddlEntry& entry) {
  return entry.inherited() ? "inherited" : "explicit";
}

std::string entry_type(std::string_view type) {
  if (type == "A") {
    return "allow";
  }
  if (type == "D") {
    return "deny";
  }
  return std::string(type);
}

std::string access_mask_text(std::string_view rights) {
  const auto mask = sddl_access_mask(rights);
  if (!mask) {
    return std::string(rights);
  }
  constexpr char kHex[] = "0123456789abcdef";
  std::string text = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) {
    text += kHex[(*mask >> shift) & 0xF];
  }
  return text;
}

std::string label_fields_line(std::string_view path, std::string_view what, const SddlEntry& entry,
                              bool with_origin) {
  const std::string level = mandatory_level_name(entry.sid);
  const std::string policy = policy_text(entry.rights);
  const std::string flags = inheritance_flags(entry.flags);
  if (!with_origin) {
    return output_line({path, what, level, policy, flags});
  }
  return below_medium(entry)
             ? output_line({path, what, level, policy, flags, origin(entry), "below Medium"})
             : output_line({path, what, level, policy, flags, origin(entry)});
}

std::optional<ReadAcl> read_acl(Os& os, AclOutput& out, const Target& target, std::uint32_t part,
                                std::string& text, bool count) {
  const bool dacl_part = part == win::DACL_SECURITY_INFORMATION;
  const auto info = os.get_named_security_info(target.units, win::SE_FILE_OBJECT, part, dacl_part);
  if (!info) {
    out.fail(
        SandboxError::from_status(os, "cannot read the security of " + target.display, info.error())
            .message);
    return std::nullopt;
  }
  const LocalMemory<SecurityDescriptorPtr> descriptor(os, info->descriptor);
  const auto units = os.convert_security_descriptor_to_string_security_descriptor(
      descriptor.get(), win::SDDL_REVISION_1, part);
  if (!units) {
    out.fail(SandboxError::from_os_error(os, "cannot format the security of " + target.display,
                                         units.error())
                 .message);
    return std::nullopt;
  }
  text = utf16_to_utf8_lossy(*units);
  ReadAcl read;
  if (!text.empty()) {
    auto acl = split_sddl_acl(text);
    if (!acl) {
      out.fail("cannot parse the security of " + target.display + ": " + text);
      return std::nullopt;
    }
    read.acl = std::move(*acl);
  }
  if (count) {
    const OsResult<AclPtr> acl = dacl_part ? OsResult<AclPtr>(info->dacl)
                                           : os.get_security_descriptor_sacl(descriptor.get());
    OsResult<std::uint32_t> entries = 0u;
    if (!acl) {
      entries = std::unexpected(acl.error());
    } else if (acl->value != nullptr) {
      entries = os.get_acl_information(*acl);
    }
    if (!entries) {
      out.fail(SandboxError::from_os_error(os, "cannot count the entries of " + target.display,
                                           entries.error())
                   .message);
      return std::nullopt;
    }
    read.windows_count = *entries;
  }
  return read;
}

} // namespace obrex
