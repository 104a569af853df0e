#include "filesystem/access_grants.h"

#include "core/permissions_lock.h"
#include "filesystem/file_checks.h"
#include "filesystem/labels.h"
#include "platform/constants.h"
#include "platform/owner.h"
#include "platform/text.h"

namespace obrex {
namespace {

// How often a grant is written while another write keeps removing it.
constexpr int kGrantAttempts = 3;

} // namespace

bool dacl_mentions_sid(std::string_view dacl_text, std::string_view sid_text) {
  for (auto at = dacl_text.find(sid_text); at != std::string_view::npos;
       at = dacl_text.find(sid_text, at + 1)) {
    const auto after = at + sid_text.size();
    if (after == dacl_text.size()) {
      return true;
    }
    const char next = dacl_text[after];
    if (!(next >= '0' && next <= '9') && next != '-') {
      return true;
    }
  }
  return false;
}

Result<void> prepare_write_paths(Os& os, const std::vector<std::string>& write_dirs, SidPtr sid,
                                 std::string_view sid_text) {
  PermissionsLock lock(os);
  for (const std::string& path : write_dirs) {
    if (!existence_test(os, utf8_to_utf16(path))) {
      continue;
    }
    if (auto labelled = ensure_low_write_label(os, path); !labelled) {
      return labelled;
    }
    const auto dacl = read_security_text(os, path, win::DACL_SECURITY_INFORMATION);
    if (!dacl) {
      return std::unexpected(dacl.error());
    }
    if (dacl_mentions_sid(*dacl, sid_text)) {
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
      const auto written = read_security_text(os, path, win::DACL_SECURITY_INFORMATION);
      if (!written) {
        return std::unexpected(written.error());
      }
      if (dacl_mentions_sid(*written, sid_text)) {
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
