// obrex-sandbox-acl show: the labels and the sandbox SIDs' entries of paths.
#include "acl/acl_commands.h"

#include <map>
#include <optional>

#include "acl/acl_reading.h"
#include "acl/path_walk.h"
#include "core/errors.h"
#include "core/security_conversions.h"
#include "platform/constants.h"

namespace obrex {
namespace {

constexpr OsCode kErrorNoneMapped = 1332;

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

} // namespace

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

} // namespace obrex
