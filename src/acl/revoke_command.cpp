// obrex-sandbox-acl revoke: removes a project's grants and, when asked, the
// labels obrex-sandbox-exec writes.
#include "acl/acl_commands.h"

#include <algorithm>
#include <optional>

#include "acl/acl_reading.h"
#include "acl/path_walk.h"
#include "core/errors.h"
#include "core/permissions_lock.h"
#include "filesystem/access_grants.h"
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
  const std::uint32_t parts =
      win::DACL_SECURITY_INFORMATION | (request.labels ? win::LABEL_SECURITY_INFORMATION : 0);

  // What one read of a path shows: the entries to remove, by their index,
  // and a line for each removal and for each other explicit entry of the
  // projects' SIDs, which stays. Only the grant obrex-sandbox-exec writes
  // goes (is_grant_entry): any other entry of those SIDs was made by someone
  // else, a deny entry on purpose.
  struct Plan {
    std::vector<std::uint32_t> dacl_removals;
    std::vector<std::uint32_t> label_removals;
    std::string lines;
    bool any() const { return !dacl_removals.empty() || !label_removals.empty(); }
  };
  const auto plan_for = [&](const Target& path, const ReadSecurity& read) {
    Plan plan;
    std::string kept;
    for (const ReadEntry& entry : read.dacl.entries) {
      const ProjectSid* sid =
          entry.ace.Sid.value == nullptr ? nullptr : find_sid(os, sids, entry.ace.Sid);
      const bool removed = sid != nullptr && is_grant_entry(os, entry.ace);
      if (sid == nullptr || (!removed && entry.inherited)) {
        continue;
      }
      (removed ? plan.lines : kept) +=
          output_line({path.display, removed ? "removed entry" : "kept entry", sid->sid_text,
                       entry_type(entry.ace.AceType), access_mask_text(entry.ace.Mask),
                       inheritance_flags(entry.ace.AceFlags), sid->whose});
      if (removed) {
        plan.dacl_removals.push_back(entry.index);
      }
    }
    for (const ReadEntry& entry : read.label.entries) {
      const auto level = label_level_sid(os, out, entry);
      if (level && is_sandbox_label(os, entry, *level)) {
        plan.lines += label_fields_line(path.display, "removed label", entry, *level, false);
        plan.label_removals.push_back(entry.index);
      }
    }
    plan.lines += kept;
    return plan;
  };

  // One read-modify-write of the path; `lines` receives what it removed and
  // what it left, `protection` whether the DACL written was protected.
  const auto revoke_once = [&](const Target& path, std::string& lines, bool& protection) {
    auto read = read_security(os, out, path, parts);
    if (!read) {
      return Revoked::Failed;
    }
    const Plan plan = plan_for(path, *read);
    lines = plan.lines;
    if (!plan.any()) {
      return Revoked::Nothing;
    }
    // A DACL without entries grants nothing to anyone: the path's owner
    // alone could get back in, by taking the DACL back.
    if (!plan.dacl_removals.empty() && plan.dacl_removals.size() == read->dacl.entries.size()) {
      out.fail("refusing to leave " + path.display +
               " without any entry in its DACL, which would lock everyone out; run icacls " +
               path.display + " /reset to give it its parent's permissions instead");
      return Revoked::Failed;
    }
    // The entries go from the ACLs as read, the last first so that the
    // indexes of the others stay; every other entry stays as it is, byte for
    // byte.
    for (const auto& [acl, removals] : {std::pair(read->dacl.acl, &plan.dacl_removals),
                                        std::pair(read->label.acl, &plan.label_removals)}) {
      for (auto index = removals->rbegin(); index != removals->rend(); ++index) {
        if (const auto deleted = os.delete_ace(acl, *index); !deleted) {
          out.fail(SandboxError::from_os_error(os, "cannot remove an entry of " + path.display,
                                               deleted.error())
                       .message);
          return Revoked::Failed;
        }
      }
    }
    // What stays, written back in one call so that the path never holds one
    // change without the other. The DACL keeps its protection: it is said
    // explicitly, since an ACL carries none of its own.
    protection = (read->control & win::SE_DACL_PROTECTED) != 0;
    std::uint32_t information = 0;
    AclPtr new_dacl;
    AclPtr new_sacl;
    if (!plan.dacl_removals.empty()) {
      information |= win::DACL_SECURITY_INFORMATION |
                     (protection ? win::PROTECTED_DACL_SECURITY_INFORMATION
                                 : win::UNPROTECTED_DACL_SECURITY_INFORMATION);
      new_dacl = read->dacl.acl;
    }
    if (!plan.label_removals.empty()) {
      information |= win::LABEL_SECURITY_INFORMATION;
      new_sacl = read->label.acl;
    }
    const auto written =
        os.set_security_info(path.handle, win::SE_FILE_OBJECT, information, new_dacl, new_sacl);
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
  // nullopt when it cannot be read again, or when the DACL no longer has the
  // protection it was written with (reported).
  const auto holds = [&](const Target& path, bool protection) -> std::optional<bool> {
    const auto read = read_security(os, out, path, parts);
    if (!read) {
      return std::nullopt;
    }
    if (((read->control & win::SE_DACL_PROTECTED) != 0) != protection) {
      out.fail("another program changed whether " + path.display +
               " inherits its parent's permissions during the revoke; check it with icacls " +
               path.display);
      return std::nullopt;
    }
    return !plan_for(path, *read).any();
  };

  // Runs of the launcher and other revokes wait while a path's security is
  // read, rewritten and checked.
  PermissionsLock lock(os);
  const auto revoke = [&](const Target& path, bool) {
    const auto turn = lock.hold();
    for (int attempt = 1;; ++attempt) {
      std::string lines;
      bool protection = false;
      const Revoked revoked = revoke_once(path, lines, protection);
      if (revoked == Revoked::Failed) {
        return;
      }
      if (revoked == Revoked::Written) {
        const auto held = holds(path, protection);
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

  // The label takes WRITE_OWNER to write.
  const WalkRequest walk{
      request.recurse, win::READ_CONTROL | win::WRITE_DAC | (request.labels ? win::WRITE_OWNER : 0),
      "edited"};
  for (const std::string& path : request.paths) {
    for_each_path(os, out, path, walk, revoke);
  }
}

} // namespace obrex
