#include "filesystem/access_grants.h"

#include "filesystem/file_checks.h"
#include "filesystem/labels.h"
#include "filesystem/permissions_lock.h"
#include "platform/constants.h"
#include "platform/owner.h"
#include "platform/text.h"

namespace obrex {
namespace {

// How often a grant is written while another write keeps removing it.
constexpr int kGrantAttempts = 3;

// The grant's type, flags and mask: what can be told without a call.
bool has_grant_form(const ACE_RECORD& entry) {
  constexpr std::uint32_t kInheritedByAll = win::OBJECT_INHERIT_ACE | win::CONTAINER_INHERIT_ACE;
  return entry.AceType == win::ACCESS_ALLOWED_ACE_TYPE && entry.AceFlags == kInheritedByAll &&
         entry.Mask == win::FILE_ALL_ACCESS && entry.Sid.value != nullptr;
}

} // namespace

bool is_grant_entry(Os& os, const ACE_RECORD& entry) {
  return has_grant_form(entry) && entry.AceSize == 8 + os.get_length_sid(entry.Sid);
}

bool is_deny_entry(const ACE_RECORD& entry) {
  switch (entry.AceType) {
  case win::ACCESS_DENIED_ACE_TYPE:
  case win::ACCESS_DENIED_OBJECT_ACE_TYPE:
  case win::ACCESS_DENIED_CALLBACK_ACE_TYPE:
  case win::ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
    return true;
  default:
    return false;
  }
}

Result<GrantState> read_grant_state(Os& os, std::string_view path, SidPtr sid) {
  const std::string context = "cannot read the permissions of " + std::string(path);
  const auto info = os.get_named_security_info(utf8_to_utf16(path), win::SE_FILE_OBJECT,
                                               win::DACL_SECURITY_INFORMATION, /*want_dacl=*/true);
  if (!info) {
    return std::unexpected(SandboxError::from_status(os, context, info.error()));
  }
  const LocalMemory<SecurityDescriptorPtr> descriptor(os, info->descriptor);
  GrantState state;
  if (info->dacl.value == nullptr) {
    return state; // a null DACL: no entries
  }
  const auto count = os.get_acl_information(info->dacl);
  if (!count) {
    return std::unexpected(SandboxError::from_os_error(os, context, count.error()));
  }
  for (std::uint32_t index = 0; index < *count; ++index) {
    const auto entry = os.get_ace(info->dacl, index);
    if (!entry) {
      return std::unexpected(SandboxError::from_os_error(os, context, entry.error()));
    }
    if (entry->Sid.value == nullptr) {
      continue;
    }
    if (is_deny_entry(*entry)) {
      state.denied = state.denied || os.equal_sid(entry->Sid, sid);
    } else if (has_grant_form(*entry) && os.equal_sid(entry->Sid, sid)) {
      state.granted = state.granted || is_grant_entry(os, *entry);
    }
  }
  return state;
}

Result<void> prepare_write_paths(Os& os, const std::vector<std::string>& write_dirs, SidPtr sid,
                                 std::string_view sid_text,
                                 const OsResult<std::u16string>& profile) {
  PermissionsLock lock(os, profile);
  for (const std::string& path : write_dirs) {
    if (!existence_test(os, utf8_to_utf16(path))) {
      continue;
    }
    if (auto labelled = ensure_low_write_label(os, path); !labelled) {
      return labelled;
    }
    const auto state = read_grant_state(os, path, sid);
    if (!state) {
      return std::unexpected(state.error());
    }
    if (state->denied) {
      return std::unexpected(SandboxError::from_context(
          "cannot grant the sandbox write access to " + path + ": a deny entry for " +
          std::string(sid_text) + " stands in its DACL"));
    }
    if (state->granted) {
      continue;
    }
    // Another run may write the same DACL from a read it made before this
    // write, and so drop this entry. Runs of this program and revokes take
    // turns through the lock; against any other writer the DACL is read
    // again after the write, and written again while the entry is missing.
    const auto turn = lock.hold();
    for (int attempt = 1;; ++attempt) {
      const auto wrote = grant_write_access(os, path, sid);
      if (!wrote) {
        return std::unexpected(wrote.error());
      }
      if (!*wrote) {
        break;
      }
      const auto written = read_grant_state(os, path, sid);
      if (!written) {
        return std::unexpected(written.error());
      }
      if (written->granted) {
        break;
      }
      if (attempt == kGrantAttempts) {
        return std::unexpected(
            SandboxError::from_context("cannot keep the sandbox's write access to " + path +
                                       ": another program rewrote its permissions " +
                                       std::to_string(kGrantAttempts) + " times"));
      }
    }
  }
  return {};
}

Result<bool> grant_write_access(Os& os, std::string_view path, SidPtr sid) {
  const std::u16string units = utf8_to_utf16(path);
  const auto info = os.get_named_security_info(units, win::SE_FILE_OBJECT,
                                               win::DACL_SECURITY_INFORMATION, /*want_dacl=*/true);
  if (!info) {
    return std::unexpected(SandboxError::from_status(
        os, "cannot read the permissions of " + std::string(path), info.error()));
  }
  const LocalMemory<SecurityDescriptorPtr> descriptor(os, info->descriptor);
  // A null DACL (no DACL at all) already gives everyone full access, the
  // sandbox included. Merging the entry into it would leave a DACL holding
  // that entry alone and lock every other principal out, the user too; it is
  // left as it is. An empty DACL, which grants nothing, gets the entry.
  if (info->dacl.value == nullptr) {
    return false;
  }

  EXPLICIT_ACCESS_W entry;
  entry.grfAccessPermissions = win::FILE_ALL_ACCESS;
  entry.grfAccessMode = win::GRANT_ACCESS;
  entry.grfInheritance = win::SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  entry.Trustee.pMultipleTrustee = nullptr;
  entry.Trustee.MultipleTrusteeOperation = win::NO_MULTIPLE_TRUSTEE;
  entry.Trustee.TrusteeForm = win::TRUSTEE_IS_SID;
  entry.Trustee.TrusteeType = win::TRUSTEE_IS_UNKNOWN;
  entry.Trustee.ptstrName = sid.value;
  const auto extended = os.set_entries_in_acl(entry, info->dacl);
  if (!extended) {
    return std::unexpected(SandboxError::from_status(
        os, "cannot extend the permissions of " + std::string(path), extended.error()));
  }
  const LocalMemory<AclPtr> new_acl(os, *extended);

  // DACL_SECURITY_INFORMATION alone: the path keeps its own setting for
  // inheriting from its parent.
  const auto written = os.set_named_security_info(
      units, win::SE_FILE_OBJECT, win::DACL_SECURITY_INFORMATION, new_acl.get(), AclPtr{});
  if (!written) {
    return std::unexpected(SandboxError::from_status(
        os, "cannot grant the sandbox write access to " + std::string(path), written.error()));
  }
  return true;
}

} // namespace obrex
