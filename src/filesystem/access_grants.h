// Write access for the sandbox on the --write paths: the Low write label and
// an inherited full-access entry for the sandbox SID, each only when missing.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/errors.h"
#include "platform/os.h"

namespace obrex {

// Whether a DACL text already mentions the SID: `sid_text` standing as a
// whole SID, that is not followed by a digit or '-' (so ...-1 is not found
// inside ...-12). Any entry counts: an allow entry with fewer rights, a deny
// entry.
bool dacl_mentions_sid(std::string_view dacl_text, std::string_view sid_text);

// For each write path in order: skipped silently when it fails the existence
// test; otherwise the Low write label unless present, then the grant unless
// the DACL already mentions `sid_text`. A grant is checked by reading the
// DACL again after the write and written again, up to three times in all,
// while another program's write has removed it ("cannot keep the sandbox's
// write access to {path}: another program rewrote its permissions 3 times").
// One path is finished before the next is begun; the first failure stops the pass and earlier paths
// keep their changes.
Result<void> prepare_write_paths(Os& os, const std::vector<std::string>& write_dirs, SidPtr sid,
                                 std::string_view sid_text);

// Adds to the path's DACL an entry granting `sid` full access, inherited by
// files and subdirectories; the rest of the DACL and its inheritance setting
// stay as they were. True when it wrote; false for a path without a DACL (a
// null DACL, full access for everyone), which is already writable and is left
// unchanged. Fails with "cannot read the permissions of {path}", "cannot
// extend the permissions of {path}" or "cannot grant the sandbox write access
// to {path}" and the returned status.
Result<bool> grant_write_access(Os& os, std::string_view path, SidPtr sid);

} // namespace obrex
