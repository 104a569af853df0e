// Write access for the sandbox on the --write paths: the Low write label and
// an inherited full-access entry for the sandbox SID, each only when missing.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/errors.h"
#include "platform/os.h"

namespace obrex {

// The grant this program writes, whatever its SID: an allow entry (type 0)
// with exactly the flags OICI (0x03), exactly the mask FILE_ALL_ACCESS, and
// nothing after its SID (size 8 plus the SID's length). An inherited copy,
// an inherit-only entry, narrower rights or a condition is not it.
bool is_grant_entry(Os& os, const ACE_RECORD& entry);

// An entry that denies: an access-denied entry of any form (plain, object,
// callback, callback object).
bool is_deny_entry(const ACE_RECORD& entry);

// What a path's DACL holds for one SID: the grant this program writes, and
// any deny entry.
struct GrantState {
  bool granted = false;
  bool denied = false;
};

// Reads the path's DACL and looks through its entries for `sid`. Fails with
// "cannot read the permissions of {path}" and the returned status or last
// error.
Result<GrantState> read_grant_state(Os& os, std::string_view path, SidPtr sid);

// For each write path in order: skipped silently when it fails the existence
// test; otherwise the Low write label unless present, then the grant unless
// the DACL already holds it. A deny entry for the SID fails the path ("cannot
// grant the sandbox write access to {path}: a deny entry for {sid_text}
// stands in its DACL"): a grant beside it could be cancelled by it. A grant
// is checked by reading the DACL again after the write and written again,
// up to three times in all, while another program's write has removed it
// ("cannot keep the sandbox's write access to {path}: another program
// rewrote its permissions 3 times").
// One path is finished before the next is begun; the first failure stops the pass and earlier paths
// keep their changes.
// `profile` is the profile folder as the caller asked for it, where the
// permissions lock's file is.
Result<void> prepare_write_paths(Os& os, const std::vector<std::string>& write_dirs, SidPtr sid,
                                 std::string_view sid_text,
                                 const OsResult<std::u16string>& profile);

// Adds to the path's DACL an entry granting `sid` full access, inherited by
// files and subdirectories; the rest of the DACL and its inheritance setting
// stay as they were. True when it wrote; false for a path without a DACL (a
// null DACL, full access for everyone), which is already writable and is left
// unchanged. Fails with "cannot read the permissions of {path}", "cannot
// extend the permissions of {path}" or "cannot grant the sandbox write access
// to {path}" and the returned status.
Result<bool> grant_write_access(Os& os, std::string_view path, SidPtr sid);

} // namespace obrex
