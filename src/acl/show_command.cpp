// obrex-sandbox-acl show: the labels and the sandbox SIDs' entries of paths.
#include "acl/acl_commands.h"

#include <cstddef>
#include <cstring>
#include <map>
#include <optional>

#include "acl/acl_reading.h"
#include "acl/path_walk.h"
#include "core/errors.h"
#include "identity/restricted_token.h"
#include "platform/constants.h"
#include "platform/owner.h"

namespace obrex {
namespace {

constexpr OsCode kErrorNoneMapped = 1332;

// Whether SIDs name accounts, each SID looked up once.
class AccountLookup {
public:
  // True or false; nullopt when the lookup failed (reported once).
  std::optional<bool> names_account(Os& os, AclOutput& out, const std::string& text, SidPtr sid) {
    const auto [it, added] = known_.try_emplace(text);
    if (added) {
      const auto found = os.lookup_account_sid(sid);
      if (!found && found.error() != kErrorNoneMapped) {
        out.fail(
            SandboxError::from_os_error(os, "cannot look up the account of " + text, found.error())
                .message);
        it->second = std::nullopt;
      } else {
        it->second = found.has_value();
      }
    }
    return it->second;
  }

private:
  std::map<std::string, std::optional<bool>, std::less<>> known_;
};

bool is_allow(std::uint8_t type) {
  return type == win::ACCESS_ALLOWED_ACE_TYPE || type == win::ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
         type == win::ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
         type == win::ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
}

// The groups that a sandboxed command with full access can open its tree to
// by itself: Everyone and the logon SID are restricting SIDs of every
// sandbox; Authenticated Users and Users take in the user's other programs
// and the machine's other accounts.
std::optional<std::string_view> open_group(std::string_view sid) {
  if (sid == "S-1-1-0") {
    return "Everyone";
  }
  if (sid == "S-1-5-11") {
    return "Authenticated Users";
  }
  if (sid == "S-1-5-32-545") {
    return "Users";
  }
  if (sid.starts_with("S-1-5-5-")) {
    return "logon SID";
  }
  return std::nullopt;
}

// The SID of this program's user: show leaves its entries out, with those
// of SYSTEM and Administrators. nullopt when it cannot be read (reported).
std::optional<std::string> own_user_sid(Os& os, AclOutput& out) {
  const auto opened = os.open_process_token(win::TOKEN_QUERY);
  if (!opened) {
    out.fail(SandboxError::from_os_error(os, "cannot open this program's token", opened.error())
                 .message);
    return std::nullopt;
  }
  const UniqueHandle token(os, *opened);
  const auto user = read_token_information(os, token.get(), win::TokenUser, "user");
  if (!user) {
    out.fail(user.error().message);
    return std::nullopt;
  }
  SID_AND_ATTRIBUTES entry;
  std::memcpy(&entry,
              reinterpret_cast<const unsigned char*>(user->data()) + offsetof(TOKEN_USER, User),
              sizeof entry);
  return sid_text_of(os, out, entry.Sid);
}

constexpr std::string_view kOwnerRights = "S-1-3-4";

} // namespace

void show_paths(Os& os, AclOutput& out, const AclRequest& request) {
  const bool by_project = !request.projects.empty();
  const std::vector<ProjectSid> sids = project_sids(os, out, request.projects);
  const std::optional<std::string> user = by_project ? std::nullopt : own_user_sid(os, out);
  AccountLookup accounts;

  // How an entry is shown: its SID, whose it is, and a mark when it has
  // one; nullopt when it is not shown.
  struct Shown {
    std::string sid;
    std::string whose;
    std::string_view mark;
  };
  const auto shown = [&](const ReadEntry& entry) -> std::optional<Shown> {
    if (entry.ace.Sid.value == nullptr) {
      return std::nullopt;
    }
    auto text = sid_text_of(os, out, entry.ace.Sid);
    if (!text) {
      return std::nullopt;
    }
    // Whatever it grants or denies, it replaces the owner's implied right to
    // read and change the permissions.
    if (*text == kOwnerRights) {
      return Shown{std::move(*text), "OWNER RIGHTS", "replaces the owner's implied rights"};
    }
    if (by_project) {
      const ProjectSid* sid = find_sid(os, sids, entry.ace.Sid);
      return sid == nullptr ? std::nullopt : std::optional(Shown{sid->sid_text, sid->whose, {}});
    }
    if (entry.inherited) {
      return std::nullopt;
    }
    const bool allow = is_allow(entry.ace.AceType);
    if (allow && (*text == user || *text == "S-1-5-18" || *text == "S-1-5-32-544")) {
      return std::nullopt;
    }
    if (const auto group = open_group(*text); group && allow) {
      return Shown{std::move(*text), std::string(*group), {}};
    }
    const auto account = accounts.names_account(os, out, *text, entry.ace.Sid);
    if (!account || (*account && !allow)) {
      return std::nullopt;
    }
    return Shown{std::move(*text), *account ? "account" : "no account", {}};
  };

  const auto show = [&](const Target& path, bool named) {
    const auto read = read_security(
        os, out, path, win::DACL_SECURITY_INFORMATION | win::LABEL_SECURITY_INFORMATION);
    if (!read) {
      return;
    }
    std::string lines;
    bool labelled = false;
    for (const ReadEntry& entry : read->label.entries) {
      const auto level = label_level_sid(os, out, entry);
      if (!level) {
        continue;
      }
      labelled = true;
      if (named || !entry.inherited) {
        lines += label_fields_line(path.display, "label", entry, *level, true);
      }
    }
    if (named && !labelled) {
      lines += output_line({path.display, "label", "none"});
    }
    for (const ReadEntry& entry : read->dacl.entries) {
      if (!named && entry.inherited) {
        continue;
      }
      if (const auto note = shown(entry)) {
        const std::string type = entry_type(entry.ace.AceType);
        const std::string mask = access_mask_text(entry.ace.Mask);
        const std::string flags = inheritance_flags(entry.ace.AceFlags);
        lines += note->mark.empty() ? output_line({path.display, "entry", note->sid, type, mask,
                                                   flags, origin(entry), note->whose})
                                    : output_line({path.display, "entry", note->sid, type, mask,
                                                   flags, origin(entry), note->whose, note->mark});
      }
    }
    if (!lines.empty()) {
      out.print(lines);
    }
  };

  const WalkRequest walk{request.recurse, win::READ_CONTROL, "shown"};
  for (const std::string& path : request.paths) {
    for_each_path(os, out, path, walk, show);
  }
}

} // namespace obrex
