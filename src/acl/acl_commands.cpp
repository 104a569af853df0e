#include "acl/acl_commands.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <optional>
#include <utility>

#include "acl/sddl_entries.h"
#include "core/errors.h"
#include "core/permissions_lock.h"
#include "core/report.h"
#include "core/security_conversions.h"
#include "identity/sandbox_identity.h"
#include "platform/constants.h"
#include "platform/file_metadata.h"
#include "platform/owner.h"
#include "platform/text.h"
#include "platform/windows_path.h"

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

bool is_allow(std::string_view type) {
  return type == "A" || type == "OA" || type == "XA" || type == "ZA";
}

// The groups that a sandboxed command with full access can open its tree to
// by itself: Everyone and the logon SID are restricting SIDs of every
// sandbox; Authenticated Users and Users take in the user's other programs
// and the machine's other accounts.
std::optional<std::string_view> open_group(std::string_view sid) {
  if (sid == "WD" || sid == "S-1-1-0") {
    return "Everyone";
  }
  if (sid == "AU" || sid == "S-1-5-11") {
    return "Authenticated Users";
  }
  if (sid == "BU" || sid == "S-1-5-32-545") {
    return "Users";
  }
  if (sid.starts_with("S-1-5-5-")) {
    return "logon SID";
  }
  return std::nullopt;
}

// A path as the tool handles it: the units handed to the system, and the
// text written in lines and messages.
struct Target {
  std::u16string units;
  std::string display;
};

// One part of a path's security, split into entries; they point into the
// text that the caller of read_acl keeps.
struct ReadAcl {
  SddlAcl acl;
  std::uint32_t windows_count = 0; // the entries Windows counts, when asked for
};

// Reads one part (DACL_SECURITY_INFORMATION or LABEL_SECURITY_INFORMATION)
// of the path's security as text and splits it; with `count`, also asks
// Windows how many entries that ACL holds. nullopt on failure (reported).
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

// The path in the \\?\ form, in which the system takes every name as it is
// written (a trailing dot or blank included): made absolute first, as any
// other call would, unless it has that form already.
OsResult<std::u16string> verbatim_path(Os& os, std::u16string_view path) {
  if (split_windows_path(path).is_verbatim()) {
    return std::u16string(path);
  }
  auto full = os.get_full_path_name(path);
  if (!full) {
    return full;
  }
  switch (split_windows_path(*full).kind) {
  case PathPrefix::DriveAbsolute:
    return u"\\\\?\\" + *full;
  case PathPrefix::Unc:
    return u"\\\\?\\UNC\\" + full->substr(2);
  default:
    return full; // a device path, or verbatim already
  }
}

// A name below a directory. A full path may end in a separator already (a
// root always does), and the \\?\ form takes a second one for an empty name.
std::u16string joined(std::u16string_view directory, std::u16string_view name) {
  std::u16string path(directory);
  if (!path.ends_with(u'\\')) {
    path += u'\\';
  }
  return path.append(name);
}

Target child_of(const Target& directory, std::u16string_view name) {
  Target child = directory;
  child.units = joined(directory.units, name);
  if (!child.display.ends_with('\\') && !child.display.ends_with('/')) {
    child.display += '\\';
  }
  child.display += utf16_to_utf8_lossy(name);
  return child;
}

// A file or directory found below a path.
struct Found {
  Target target;
  bool directory = false;
};

// The entries of a directory (its units in the \\?\ form), without "." and
// "..", links and other name-surrogate reparse points: they are not
// followed.
std::vector<Found> children(Os& os, AclOutput& out, const Target& directory) {
  std::vector<Found> found;
  const auto listed = os.find_files(joined(directory.units, u"*"));
  if (!listed) {
    if (listed.error() != win::ERROR_FILE_NOT_FOUND) {
      out.fail(SandboxError::from_os_error(os, "cannot list " + directory.display, listed.error())
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
    found.push_back({child_of(directory, entry.name), metadata.is_directory()});
  }
  return found;
}

// Calls visit(path, true) for `given` and, with `recurse`, visit(path,
// false) for everything below it, each directory before what it holds. Below
// the given path every name is reached through the \\?\ form and kept in
// UTF-16. A given path that is itself a link or junction is refused: neither
// it nor what it leads to is read or written.
template <class Visit>
void for_each_path(Os& os, AclOutput& out, const std::string& given, bool recurse, Visit visit) {
  const Target root{utf8_to_utf16(given), given};
  const auto verbatim = verbatim_path(os, root.units);
  std::optional<FileMetadata> own;
  if (verbatim) {
    if (const auto metadata = read_file_metadata(os, *verbatim, /*follow_links=*/false)) {
      own = *metadata;
    }
  }
  if (own && own->is_name_surrogate()) {
    out.fail(given + " is a link or junction, which is not followed: give the path it leads to");
    return;
  }
  visit(root, true);
  if (!recurse || !own || !own->is_directory()) {
    return;
  }
  std::vector<Found> pending = children(os, out, Target{*verbatim, given});
  std::ranges::reverse(pending);
  while (!pending.empty()) {
    const Found next = std::move(pending.back());
    pending.pop_back();
    visit(next.target, false);
    if (next.directory) {
      std::vector<Found> inner = children(os, out, next.target);
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
    if (entry.inherited()) {
      return std::nullopt;
    }
    if (const auto group = open_group(entry.sid); group && is_allow(entry.type)) {
      return std::string(*group);
    }
    if (accounts.names_account(os, out, entry.sid) != false) {
      return std::nullopt;
    }
    return "no account";
  };

  const auto show = [&](const Target& path, bool named) {
    std::string lines;
    std::string text;
    if (const auto label =
            read_acl(os, out, path, win::LABEL_SECURITY_INFORMATION, text, /*count=*/false)) {
      if (named && label->acl.entries.empty()) {
        lines += output_line({path.display, "label", "none"});
      }
      for (const SddlEntry& entry : label->acl.entries) {
        if (named || !entry.inherited()) {
          lines += label_fields_line(path.display, "label", entry, true);
        }
      }
    }
    if (const auto dacl =
            read_acl(os, out, path, win::DACL_SECURITY_INFORMATION, text, /*count=*/false)) {
      for (const SddlEntry& entry : dacl->acl.entries) {
        if (!named && entry.inherited()) {
          continue;
        }
        if (const auto note = whose(entry)) {
          lines += output_line({path.display, "entry", entry.sid, entry_type(entry.type),
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

namespace {

// How often revoke writes a path whose removal another write undid.
constexpr int kRevokeAttempts = 3;

enum class Revoked { Nothing, Written, Failed };

} // namespace

void revoke_paths(Os& os, AclOutput& out, const AclRequest& request) {
  const std::vector<ProjectSid> sids = project_sids(os, out, request.projects);
  if (sids.empty()) {
    return;
  }
  // The grant obrex-sandbox-exec writes: an explicit allow entry of full
  // access, inherited by files and directories. Any other entry of the
  // project's SIDs was made by someone else, a deny entry on purpose, and
  // stays.
  const auto removed_entry = [&](const SddlEntry& entry) {
    return entry.type == "A" && !entry.inherited() && find_sid(sids, entry.sid) != nullptr &&
           sddl_access_mask(entry.rights) == win::FILE_ALL_ACCESS &&
           inheritance_flags(entry.flags) == "OICI" && entry.object_type.empty() &&
           entry.inherited_object_type.empty() && entry.extra.empty();
  };
  const auto kept_entry = [&](const SddlEntry& entry) {
    return !entry.inherited() && find_sid(sids, entry.sid) != nullptr && !removed_entry(entry);
  };
  const auto removed_label = [](const SddlEntry& entry) { return is_sandbox_label(entry); };
  const auto entry_line = [&](const Target& path, std::string_view what, const SddlEntry& entry) {
    return output_line({path.display, what, entry.sid, entry_type(entry.type),
                        access_mask_text(entry.rights), inheritance_flags(entry.flags),
                        find_sid(sids, entry.sid)->whose});
  };

  // One read-modify-write of the path; `lines` receives what it removed and
  // what it left.
  const auto revoke_once = [&](const Target& path, std::string& lines) {
    std::string dacl_text;
    const auto dacl =
        read_acl(os, out, path, win::DACL_SECURITY_INFORMATION, dacl_text, /*count=*/true);
    if (!dacl) {
      return Revoked::Failed;
    }
    std::string label_text;
    std::optional<ReadAcl> label = ReadAcl{};
    if (request.labels) {
      label = read_acl(os, out, path, win::LABEL_SECURITY_INFORMATION, label_text, /*count=*/true);
      if (!label) {
        return Revoked::Failed;
      }
    }

    std::size_t dacl_removals = 0;
    std::string kept;
    for (const SddlEntry& entry : dacl->acl.entries) {
      if (removed_entry(entry)) {
        lines += entry_line(path, "removed entry", entry);
        ++dacl_removals;
      } else if (kept_entry(entry)) {
        kept += entry_line(path, "kept entry", entry);
      }
    }
    bool label_changes = false;
    for (const SddlEntry& entry : label->acl.entries) {
      if (removed_label(entry)) {
        lines += label_fields_line(path.display, "removed label", entry, false);
        label_changes = true;
      }
    }
    lines += kept;
    const bool dacl_changes = dacl_removals > 0;
    if (!dacl_changes && !label_changes) {
      return Revoked::Nothing;
    }

    // The entries read must be the entries Windows holds: a write built from
    // a text that hides one would drop it, or keep a removed one.
    struct Part {
      const char* name;
      const ReadAcl* read;
      bool changes;
    };
    for (const Part& part :
         {Part{"DACL", &*dacl, dacl_changes}, Part{"label", &*label, label_changes}}) {
      if (part.changes && part.read->acl.entries.size() != part.read->windows_count) {
        out.fail("cannot revoke on " + path.display + ": Windows counts " +
                 std::to_string(part.read->windows_count) + " entries in its " + part.name +
                 " but its text shows " + std::to_string(part.read->acl.entries.size()));
        return Revoked::Failed;
      }
    }
    // A DACL without entries grants nothing to anyone: the path's owner
    // alone could get back in, by taking the DACL back.
    if (dacl_changes && dacl_removals == dacl->acl.entries.size()) {
      out.fail("refusing to leave " + path.display +
               " without any entry in its DACL, which would lock everyone out; run icacls " +
               path.display + " /reset to give it its parent's permissions instead");
      return Revoked::Failed;
    }

    // What stays, written back in one call so that the path never holds one
    // change without the other.
    std::string sddl;
    std::uint32_t information = 0;
    if (dacl_changes) {
      sddl +=
          join_sddl_acl(dacl->acl, [&](const SddlEntry& entry) { return !removed_entry(entry); });
      information |= win::DACL_SECURITY_INFORMATION;
    }
    if (label_changes) {
      sddl +=
          join_sddl_acl(label->acl, [&](const SddlEntry& entry) { return !removed_label(entry); });
      information |= win::LABEL_SECURITY_INFORMATION;
    }
    const auto descriptor = security_descriptor_from_sddl(os, sddl);
    if (!descriptor) {
      out.fail(descriptor.error().message);
      return Revoked::Failed;
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
      const auto acl =
          new_acl(os.get_security_descriptor_dacl(descriptor->get()),
                  "cannot read the new permissions of " + path.display, "there are none");
      if (!acl) {
        return Revoked::Failed;
      }
      new_dacl = *acl;
    }
    if (label_changes) {
      const auto acl = new_acl(os.get_security_descriptor_sacl(descriptor->get()),
                               "cannot read the new label of " + path.display, "there is none");
      if (!acl) {
        return Revoked::Failed;
      }
      new_sacl = *acl;
    }
    const auto written = os.set_named_security_info(path.units, win::SE_FILE_OBJECT, information,
                                                    new_dacl, new_sacl);
    if (!written) {
      out.fail(SandboxError::from_status(os, "cannot write the security of " + path.display,
                                         written.error())
                   .message);
      return Revoked::Failed;
    }
    return Revoked::Written;
  };

  // Whether what was removed stays removed: a run that read the DACL before
  // the write, or another revoke, may have written an older DACL over it.
  // nullopt when it cannot be read again (reported).
  const auto holds = [&](const Target& path) -> std::optional<bool> {
    std::string text;
    const auto dacl = read_acl(os, out, path, win::DACL_SECURITY_INFORMATION, text, false);
    if (!dacl) {
      return std::nullopt;
    }
    if (std::ranges::any_of(dacl->acl.entries, removed_entry)) {
      return false;
    }
    if (!request.labels) {
      return true;
    }
    const auto label = read_acl(os, out, path, win::LABEL_SECURITY_INFORMATION, text, false);
    if (!label) {
      return std::nullopt;
    }
    return std::ranges::none_of(label->acl.entries, removed_label);
  };

  // Runs of the launcher and other revokes wait while a path's security is
  // read, rewritten and checked.
  PermissionsLock lock(os);
  const auto revoke = [&](const Target& path, bool) {
    const auto turn = lock.hold();
    for (int attempt = 1;; ++attempt) {
      std::string lines;
      const Revoked revoked = revoke_once(path, lines);
      if (revoked == Revoked::Failed) {
        return;
      }
      if (revoked == Revoked::Written) {
        const auto held = holds(path);
        if (!held) {
          return;
        }
        if (!*held) {
          if (attempt < kRevokeAttempts) {
            continue;
          }
          out.fail("the removal from " + path.display + " did not hold: another program wrote " +
                   "its permissions back " + std::to_string(kRevokeAttempts) + " times");
          return;
        }
      }
      if (!lines.empty()) {
        out.print(lines);
      }
      return;
    }
  };

  for (const std::string& path : request.paths) {
    for_each_path(os, out, path, request.recurse, revoke);
  }
}

} // namespace obrex
