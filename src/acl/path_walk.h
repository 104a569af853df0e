// The walk of obrex-sandbox-acl over the paths it is given and, with
// --recurse, everything below them.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "acl/acl_commands.h"
#include "platform/file_metadata.h"
#include "platform/os.h"
#include "platform/text.h"

namespace obrex {

// A path as the tool handles it: the units handed to the system, and the
// text written in lines and messages.
struct Target {
  std::u16string units;
  std::string display;
};

// A file or directory found below a path.
struct Found {
  Target target;
  bool directory = false;
};

// The path in the \\?\ form, in which the system takes every name as it is
// written (a trailing dot or blank included): made absolute first, as any
// other call would, unless it has that form already.
OsResult<std::u16string> verbatim_path(Os& os, std::u16string_view path);

// The entries of a directory (its units in the \\?\ form), without "." and
// "..", links and other name-surrogate reparse points: they are not
// followed.
std::vector<Found> children(Os& os, AclOutput& out, const Target& directory);

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

} // namespace obrex
