// What the subcommands of obrex-sandbox-acl share in reading paths: the
// projects' SIDs, one part of a path's security split into entries, and how
// entries and labels are written in result lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "acl/acl_commands.h"
#include "acl/path_walk.h"
#include "acl/sddl_entries.h"
#include "platform/os.h"

namespace obrex {

// One of the SIDs of a project named with --project.
struct ProjectSid {
  std::string sid_text;
  std::string whose; // "sandbox SID of DIR" or "read-only SID of DIR"
};

// The sandbox SID and the read-only SID of a project directory, derived as
// obrex-sandbox-exec derives them: the read-only one for a project listed
// with --read-only. nullopt when either fails (reported).
std::optional<std::pair<std::string, std::string>> both_sids(Os& os, AclOutput& out,
                                                             const std::string& project);

// Both SIDs of each project; a project whose SIDs cannot be derived is
// reported and left out.
std::vector<ProjectSid> project_sids(Os& os, AclOutput& out,
                                     const std::vector<std::string>& projects);

const ProjectSid* find_sid(const std::vector<ProjectSid>& sids, std::string_view sid);

std::string_view origin(const SddlEntry& entry);
std::string entry_type(std::string_view type);
std::string access_mask_text(std::string_view rights);
std::string label_fields_line(std::string_view path, std::string_view what, const SddlEntry& entry,
                              bool with_origin);

// One part of a path's security, split into entries; they point into the
// text that the caller of read_acl keeps.
struct ReadAcl {
  SddlAcl acl;
  std::uint32_t windows_count = 0; // the entries Windows counts, when asked for
};

// Reads one part (DACL_SECURITY_INFORMATION or LABEL_SECURITY_INFORMATION)
// of the path's security as text and splits it; with `count`, also asks
// Windows how many entries that ACL holds. nullopt on failure (reported).
std::optional<ReadAcl> read_acl(Os& os, AclOutput& out, const Target& target, std::uint32_t part,
                                std::string& text, bool count);

} // namespace obrex
