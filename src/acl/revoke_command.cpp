// obrex-sandbox-acl revoke: removes a project's grants and, when asked, the
// labels obrex-sandbox-exec writes.
#include "acl/acl_commands.h"

#include <algorithm>
#include <optional>

#include "acl/acl_reading.h"
#include "acl/path_walk.h"
#include "core/errors.h"
#include "core/security_conversions.h"
#include "filesystem/access_grants.h"
#include "filesystem/permissions_lock.h"
#include "platform/constants.h"

namespace obrex {

namespace {

// How often revoke writes a path whose removal another write undid.
constexpr int kRevokeAttempts = 3;
constexpr OsCode kErrorNoneMapped = 1332;

// The SIDs given with --sid, each of which must name no account: a slip
// cannot strip a real account's entries. A refused one is reported.
void add_given_sids(Os& os, AclOutput& out, const std::vector<std::string>& given,
                    std::vector<ProjectSid>& sids) {
  for (const std::string& text : given) {
    auto sid = sid_from_text(os, text);
    if (!sid) {
      out.fail(sid.error().message);
      continue;
    }
    const auto account = os.lookup_account_sid(sid->get());
    if (account) {
      out.fail("refusing --sid " + text + ": it names an account, and a sandbox SID names none");
    } else if (account.error() != kErrorNoneMapped) {
      out.fail(
          SandboxError::from_os_error(os, "cannot look up the account of " + text, account.error())
              .message);
    } else {
      sids.push_back({text, "given with --sid", std::move(*sid)});
    }
  }
}

enum class Revoked { Nothing, Written, Failed };

// One read-modify-write of a path.
struct Attempt {
  Revoked result = Revoked::Failed;
  std::string lines; // what it removed, then what it kept
  // The path's security as read before the write, and the parts written
  // (with the DACL's protection), for a write back.
  std::optional<ReadSecurity> before;
  std::uint32_t written = 0;
};

} // namespace

void revoke_paths(Os& os, AclOutput& out, const AclRequest& request) {
  std::vector<ProjectSid> sids = project_sids(os, out, request.projects);
  add_given_sids(os, out, request.sids, sids);
  // A project or SID that was refused stops the revoke before it begins:
  // nothing is revoked by half.
  if (out.failed()) {
    return;
  }
  const bool labels = request.labels || request.deny_labels;
  const std::uint32_t parts =
      win::DACL_SECURITY_INFORMATION | (labels ? win::LABEL_SECURITY_INFORMATION : 0);

  // What one read of a path shows: the entries to remove, by their index,
  // and a line for each removal and for each other explicit entry of the
  // SIDs, which stays. Only the grant obrex-sandbox-exec writes goes
  // (is_grant_entry): any other entry of those SIDs was made by someone
  // else, a deny entry on purpose. Of the labels, those asked for go.
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
      const SandboxLabel kind = level ? sandbox_label(os, entry, *level) : SandboxLabel::None;
      if ((kind == SandboxLabel::LowWrite && request.labels) ||
          (kind == SandboxLabel::Deny && request.deny_labels)) {
        plan.lines += label_fields_line(path.display, "removed label", entry, *level, false);
        plan.label_removals.push_back(entry.index);
      }
    }
    plan.lines += kept;
    return plan;
  };

  const auto revoke_once = [&](const Target& path) {
    Attempt attempt;
    attempt.before = read_security(os, out, path, parts);
    if (!attempt.before) {
      return attempt;
    }
    // The entries go from a second read, so that the first stays as it was
    // for a write back.
    auto edit = read_security(os, out, path, parts);
    if (!edit) {
      return attempt;
    }
    const Plan plan = plan_for(path, *edit);
    attempt.lines = plan.lines;
    if (!plan.any()) {
      attempt.result = Revoked::Nothing;
      return attempt;
    }
    // A DACL without entries grants nothing to anyone: the path's owner
    // alone could get back in, by taking the DACL back.
    if (!plan.dacl_removals.empty() && plan.dacl_removals.size() == edit->dacl.entries.size()) {
      out.fail("refusing to leave " + path.display +
               " without any entry in its DACL, which would lock everyone out; run icacls " +
               path.display + " /reset to give it its parent's permissions instead");
      return attempt;
    }
    // The entries go from the ACLs as read, the last first so that the
    // indexes of the others stay; every other entry stays as it is, byte for
    // byte.
    for (const auto& [acl, removals] : {std::pair(edit->dacl.acl, &plan.dacl_removals),
                                        std::pair(edit->label.acl, &plan.label_removals)}) {
      for (auto index = removals->rbegin(); index != removals->rend(); ++index) {
        if (const auto deleted = os.delete_ace(acl, *index); !deleted) {
          out.fail(SandboxError::from_os_error(os, "cannot remove an entry of " + path.display,
                                               deleted.error())
                       .message);
          return attempt;
        }
      }
    }
    // What stays, written back in one call so that the path never holds one
    // change without the other. The DACL keeps its protection: it is said
    // explicitly, since an ACL carries none of its own.
    AclPtr new_dacl;
    AclPtr new_sacl;
    if (!plan.dacl_removals.empty()) {
      attempt.written |=
          win::DACL_SECURITY_INFORMATION | ((edit->control & win::SE_DACL_PROTECTED) != 0
                                                ? win::PROTECTED_DACL_SECURITY_INFORMATION
                                                : win::UNPROTECTED_DACL_SECURITY_INFORMATION);
      new_dacl = edit->dacl.acl;
    }
    if (!plan.label_removals.empty()) {
      attempt.written |= win::LABEL_SECURITY_INFORMATION;
      new_sacl = edit->label.acl;
    }
    const auto written =
        os.set_security_info(path.handle, win::SE_FILE_OBJECT, attempt.written, new_dacl, new_sacl);
    if (!written) {
      out.fail(SandboxError::from_status(os, "cannot write the security of " + path.display,
                                         written.error())
                   .message);
      return attempt;
    }
    attempt.result = Revoked::Written;
    return attempt;
  };

  // Whether what was removed stays removed: a run that read the DACL before
  // the write, or another revoke, may have written an older DACL over it.
  // nullopt when it cannot be read again, when the DACL no longer has the
  // protection it was written with, or when it reads back empty, which the
  // entries inherited from the parent can leave: then the security read
  // before the write is written back (reported).
  const auto holds = [&](const Target& path, const Attempt& attempt) -> std::optional<bool> {
    const auto read = read_security(os, out, path, parts);
    if (!read) {
      return std::nullopt;
    }
    if ((attempt.written & win::DACL_SECURITY_INFORMATION) == 0) {
      return !plan_for(path, *read).any();
    }
    const bool protection = (attempt.written & win::PROTECTED_DACL_SECURITY_INFORMATION) != 0;
    if (((read->control & win::SE_DACL_PROTECTED) != 0) != protection) {
      out.fail("another program changed whether " + path.display +
               " inherits its parent's permissions during the revoke; check it with icacls " +
               path.display);
      return std::nullopt;
    }
    if (read->dacl.acl.value != nullptr && read->dacl.entries.empty()) {
      const auto restored = os.set_security_info(
          path.handle, win::SE_FILE_OBJECT, attempt.written, attempt.before->dacl.acl,
          (attempt.written & win::LABEL_SECURITY_INFORMATION) != 0 ? attempt.before->label.acl
                                                                   : AclPtr{});
      out.fail(restored ? "the DACL of " + path.display +
                              " read back without any entry, which locks everyone out, and "
                              "was written back as it was; run icacls " +
                              path.display + " /reset to give it its parent's permissions instead"
                        : SandboxError::from_status(os,
                                                    "the DACL of " + path.display +
                                                        " read back without any entry, which "
                                                        "locks everyone out, and cannot be "
                                                        "written back; run icacls " +
                                                        path.display + " /reset",
                                                    restored.error())
                              .message);
      return std::nullopt;
    }
    return !plan_for(path, *read).any();
  };

  // Runs of the launcher and other revokes wait while a path's security is
  // read again, rewritten and checked; a path with nothing to remove takes
  // no turn. A program that could not have the lock goes on without it,
  // each removal still checked after its write, and says so once.
  PermissionsLock lock(os);
  bool noted = false;
  const auto revoke = [&](const Target& path, bool) {
    const auto first = read_security(os, out, path, parts);
    if (!first) {
      return;
    }
    if (const Plan plan = plan_for(path, *first); !plan.any()) {
      if (!plan.lines.empty()) {
        out.print(plan.lines);
      }
      return;
    }
    const auto turn = lock.hold();
    if (!turn.owned() && !noted) {
      noted = true;
      out.note("going on without the permissions lock, which another program held too long or "
               "which could not be had; each removal is still checked after its write");
    }
    for (int attempt = 1;; ++attempt) {
      const Attempt made = revoke_once(path);
      if (made.result == Revoked::Failed) {
        return;
      }
      if (made.result == Revoked::Written) {
        const auto held = holds(path, made);
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
      if (!made.lines.empty()) {
        out.print(made.lines);
      }
      return;
    }
  };

  // The label takes WRITE_OWNER to write.
  const WalkRequest walk{request.recurse,
                         win::READ_CONTROL | win::WRITE_DAC | (labels ? win::WRITE_OWNER : 0),
                         "edited"};
  for (const std::string& path : request.paths) {
    for_each_path(os, out, path, walk, revoke);
  }
}

} // namespace obrex
