// obrex-sandbox-acl revoke: removes a project's grants and, when asked, the
// labels obrex-sandbox-exec writes.
#include "acl/acl_commands.h"

#include <algorithm>
#include <optional>

#include "acl/acl_reading.h"
#include "acl/path_walk.h"
#include "core/errors.h"
#include "core/permissions_lock.h"
#include "core/security_conversions.h"
#include "platform/constants.h"

namespace obrex {

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
