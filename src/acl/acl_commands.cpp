#include "acl/acl_commands.h"

#include <algorithm>
#include <map>
#include <optional>
#include <utility>

#include "acl/sddl_entries.h"
#include "core/errors.h"
#include "core/report.h"
#include "core/security_conversions.h"
#include "filesystem/file_checks.h"
#include "identity/sandbox_identity.h"
#include "platform/constants.h"
#include "platform/file_metadata.h"
#include "platform/text.h"

namespace obrex {
namespace {

constexpr OsCode kErrorNoneMapped = 1332;

// One of the SIDs of a project named with --project.
struct ProjectSid {
  std::string sid_text;
  std::string whose; // "sandbox SID of DIR" or "read-only SID of DIR"
};

// The sandbox SID and the read-only SID of a project directory, derived as
// obrex-sandbox-exec derives them: the read-only one for a project listed
// with --read-only. nullopt when either fails (reported).
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

// Whether SIDs name accounts, each SID looked up once.
class AccountLookup {
public:
  // True or false; nullopt when the lookup failed (reported once).
  std::optional<bool> names_account(Os& os, AclOutput& out, std::string_view sid) {
    // SDDL writes the well-known SIDs by their aliases ("BA", "SY").
    if (!sid.starts_with("S-")) {
      return true;
    }
    const auto [it, added] = known_.try_emplace(std::string(sid));
    if (added) {
      it->second = look_up(os, out, it->first);
    }
    return it->second;
  }

private:
  static std::optional<bool> look_up(Os& os, AclOutput& out, const std::string& sid) {
    const auto structure = sid_from_text(os, sid);
    if (!structure) {
      out.fail(structure.error().message);
      return std::nullopt;
    }
    const auto found = os.lookup_account_sid(structure->get());
    if (!found && found.error() != kErrorNoneMapped) {
      out.fail(
          SandboxError::from_os_error(os, "cannot look up the account of " + sid, found.error())
              .message);
      return std::nullopt;
    }
    return found.has_value();
  }

  std::map<std::string, std::optional<bool>, std::less<>> known_;
};

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

std::string policy_text(std::string_view rights) {
  const auto mask = sddl_access_mask(rights);
  return mask ? label_policy_names(*mask) : std::string(rights);
}

std::string label_fields_line(std::string_view path, std::string_view what, const SddlEntry& entry,
                              bool with_origin) {
  const std::string level = mandatory_level_name(entry.sid);
  const std::string policy = policy_text(entry.rights);
  const std::string flags = inheritance_flags(entry.flags);
  return with_origin ? output_line({path, what, level, policy, flags, origin(entry)})
                     : output_line({path, what, level, policy, flags});
}

// One part of the path's security as its ACL, or nullopt (reported). An
// empty text, a part the path does not have, gives an ACL without entries.
std::optional<SddlAcl> read_acl(Os& os, AclOutput& out, const std::string& path, std::uint32_t part,
                                std::string& text) {
  auto read = read_security_text(os, path, part);
  if (!read) {
    out.fail(read.error().message);
    return std::nullopt;
  }
  text = std::move(*read);
  if (text.empty()) {
    return SddlAcl{};
  }
  auto acl = split_sddl_acl(text);
  if (!acl) {
    out.fail("cannot parse the security of " + path + ": " + text);
  }
  return acl;
}

std::u16string child_path(std::u16string_view directory, std::u16string_view name) {
  std::u16string path(directory);
  if (!path.empty() && path.back() != u'\\' && path.back() != u'/') {
    path += u'\\';
  }
  return path + std::u16string(name);
}

// A file or directory found below a path.
struct Found {
  std::u16string path;
  bool directory = false;
};

// The entries of a directory, without "." and "..", links and other
// name-surrogate reparse points: they are not followed.
std::vector<Found> children(Os& os, AclOutput& out, const std::u16string& directory) {
  std::vector<Found> found;
  const auto listed = os.find_files(child_path(directory, u"*"));
  if (!listed) {
    if (listed.error() != win::ERROR_FILE_NOT_FOUND) {
      out.fail(
          SandboxError::from_os_error(os, "cannot list " + display_text(directory), listed.error())
              .message);
    }
    return found;
  }
  for (const FoundFile& entry : *listed) {
    const FileMetadata metadata{entry.data.dwFileAttributes,
                                (entry.data.dwFileAttributes & win::FILE_ATTRIBUTE_REPARSE_POINT) !=
                                        0
                                    ? entry.data.dwReserved0
                                    : 0};
    if (entry.name == u"." || entry.name == u".." || metadata.is_name_surrogate()) {
      continue;
    }
    found.push_back({child_path(directory, entry.name), metadata.is_directory()});
  }
  return found;
}

// Calls visit(path, true) for `root` and, with `recurse`, visit(path, false)
// for everything below it, each directory before what it holds.
template <class Visit>
void for_each_path(Os& os, AclOutput& out, const std::string& root, bool recurse, Visit visit) {
  visit(root, true);
  if (!recurse) {
    return;
  }
  const std::u16string root_units = utf8_to_utf16(root);
  const auto metadata = existence_test(os, root_units);
  if (!metadata || !metadata->is_directory()) {
    return;
  }
  std::vector<Found> pending = children(os, out, root_units);
  std::ranges::reverse(pending);
  while (!pending.empty()) {
    const Found next = std::move(pending.back());
    pending.pop_back();
    const auto path = utf16_to_utf8(next.path);
    if (!path) {
      out.fail("cannot handle " + display_text(next.path) + ": its name is not valid UTF-16");
      continue;
    }
    visit(*path, false);
    if (next.directory) {
      std::vector<Found> inner = children(os, out, next.path);
      pending.insert(pending.end(), inner.rbegin(), inner.rend());
    }
  }
}

} // namespace

void AclOutput::print(std::string_view lines) {
  if (const auto written = write_standard_stream(os_, win::STD_OUTPUT_HANDLE, lines); !written) {
    throw InternalFailure(std::string(kAclProgramName) + ": cannot write to standard output: " +
                          os_error_text(os_, written.error()));
  }
}

void AclOutput::fail(std::string_view message) {
  failed_ = true;
  report_failure(os_, message, kAclProgramName);
}

std::string output_line(std::initializer_list<std::string_view> fields) {
  std::string line;
  for (const std::string_view field : fields) {
    if (!line.empty()) {
      line += '\t';
    }
    line += escape_control_characters(field);
  }
  line += '\n';
  return line;
}

void print_sids(Os& os, AclOutput& out, const std::vector<std::string>& directories) {
  for (const std::string& directory : directories) {
    if (const auto both = both_sids(os, out, directory)) {
      out.print(output_line({both->first, both->second, directory}));
    }
  }
}

void show_paths(Os& os, AclOutput& out, const AclRequest& request) {
  const bool by_project = !request.projects.empty();
  const std::vector<ProjectSid> sids = project_sids(os, out, request.projects);
  AccountLookup accounts;

  // Whose the entry's SID is, when the entry is to be shown.
  const auto whose = [&](const SddlEntry& entry) -> std::optional<std::string> {
    if (by_project) {
      const ProjectSid* sid = find_sid(sids, entry.sid);
      return sid == nullptr ? std::nullopt : std::optional(sid->whose);
    }
    if (entry.inherited() || accounts.names_account(os, out, entry.sid) != false) {
      return std::nullopt;
    }
    return "no account";
  };

  const auto show = [&](const std::string& path, bool named) {
    std::string lines;
    std::string text;
    if (const auto label = read_acl(os, out, path, win::LABEL_SECURITY_INFORMATION, text)) {
      if (named && label->entries.empty()) {
        lines += output_line({path, "label", "none"});
      }
      for (const SddlEntry& entry : label->entries) {
        if (named || !entry.inherited()) {
          lines += label_fields_line(path, "label", entry, true);
        }
      }
    }
    if (const auto dacl = read_acl(os, out, path, win::DACL_SECURITY_INFORMATION, text)) {
      for (const SddlEntry& entry : dacl->entries) {
        if (!named && entry.inherited()) {
          continue;
        }
        if (const auto note = whose(entry)) {
          lines += output_line({path, "entry", entry.sid, entry_type(entry.type),
                                access_mask_text(entry.rights), inheritance_flags(entry.flags),
                                origin(entry), *note});
        }
      }
    }
    if (!lines.empty()) {
      out.print(lines);
    }
  };

  for (const std::string& path : request.paths) {
    for_each_path(os, out, path, request.recurse, show);
  }
}

void revoke_paths(Os& os, AclOutput& out, const AclRequest& request) {
  const std::vector<ProjectSid> sids = project_sids(os, out, request.projects);
  if (sids.empty()) {
    return;
  }
  const auto removed_entry = [&](const SddlEntry& entry) {
    return !entry.inherited() && find_sid(sids, entry.sid) != nullptr;
  };
  const auto removed_label = [](const SddlEntry& entry) { return is_sandbox_label(entry); };

  const auto revoke = [&](const std::string& path, bool) {
    std::string dacl_text;
    const auto dacl = read_acl(os, out, path, win::DACL_SECURITY_INFORMATION, dacl_text);
    if (!dacl) {
      return;
    }
    std::string label_text;
    std::optional<SddlAcl> label = SddlAcl{};
    if (request.labels) {
      label = read_acl(os, out, path, win::LABEL_SECURITY_INFORMATION, label_text);
      if (!label) {
        return;
      }
    }

    std::string lines;
    for (const SddlEntry& entry : dacl->entries) {
      if (removed_entry(entry)) {
        lines += output_line({path, "removed entry", entry.sid, entry_type(entry.type),
                              access_mask_text(entry.rights), inheritance_flags(entry.flags),
                              find_sid(sids, entry.sid)->whose});
      }
    }
    const bool dacl_changes = !lines.empty();
    bool label_changes = false;
    for (const SddlEntry& entry : label->entries) {
      if (removed_label(entry)) {
        lines += label_fields_line(path, "removed label", entry, false);
        label_changes = true;
      }
    }
    if (lines.empty()) {
      return;
    }

    // What stays, written back in one call so that the path never holds one
    // change without the other.
    std::string sddl;
    std::uint32_t information = 0;
    if (dacl_changes) {
      sddl += join_sddl_acl(*dacl, [&](const SddlEntry& entry) { return !removed_entry(entry); });
      information |= win::DACL_SECURITY_INFORMATION;
    }
    if (label_changes) {
      sddl += join_sddl_acl(*label, [&](const SddlEntry& entry) { return !removed_label(entry); });
      information |= win::LABEL_SECURITY_INFORMATION;
    }
    const auto descriptor = security_descriptor_from_sddl(os, sddl);
    if (!descriptor) {
      out.fail(descriptor.error().message);
      return;
    }
    // An ACL missing from the new descriptor fails the path: without a DACL
    // the write would open the path to everyone.
    const auto new_acl = [&](const OsResult<AclPtr>& acl, const std::string& what,
                             std::string_view none) -> std::optional<AclPtr> {
      if (!acl) {
        out.fail(SandboxError::from_os_error(os, what, acl.error()).message);
        return std::nullopt;
      }
      if (acl->value == nullptr) {
        out.fail(what + ": " + std::string(none));
        return std::nullopt;
      }
      return *acl;
    };
    AclPtr new_dacl;
    AclPtr new_sacl;
    if (dacl_changes) {
      const auto acl = new_acl(os.get_security_descriptor_dacl(descriptor->get()),
                               "cannot read the new permissions of " + path, "there are none");
      if (!acl) {
        return;
      }
      new_dacl = *acl;
    }
    if (label_changes) {
      const auto acl = new_acl(os.get_security_descriptor_sacl(descriptor->get()),
                               "cannot read the new label of " + path, "there is none");
      if (!acl) {
        return;
      }
      new_sacl = *acl;
    }
    const auto written = os.set_named_security_info(utf8_to_utf16(path), win::SE_FILE_OBJECT,
                                                    information, new_dacl, new_sacl);
    if (!written) {
      out.fail(
          SandboxError::from_status(os, "cannot write the security of " + path, written.error())
              .message);
      return;
    }
    out.print(lines);
  };

  for (const std::string& path : request.paths) {
    for_each_path(os, out, path, request.recurse, revoke);
  }
}

} // namespace obrex
