// What the subcommands of obrex-sandbox-acl share in reading paths: the
// projects' SIDs, a path's DACL and label read entry by entry, and how
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
#include "platform/os.h"
#include "platform/owner.h"

namespace obrex {

// One of the SIDs of a project named with --project.
struct ProjectSid {
  std::string sid_text;
  std::string whose; // "sandbox SID of DIR" or "read-only SID of DIR"
  LocalMemory<SidPtr> sid;
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

// The project SID that `sid` equals, or nullptr.
const ProjectSid* find_sid(Os& os, const std::vector<ProjectSid>& sids, SidPtr sid);

// One entry of a path's DACL or label, as GetAce gave it.
struct ReadEntry {
  std::uint32_t index = 0; // its place in the ACL
  ACE_RECORD ace;
  // Carries INHERITED_ACE in an ACL that is not protected: in a protected
  // one, which inherits nothing, such an entry was written so and counts as
  // explicit.
  bool inherited = false;
};

// One ACL of a path, pointing into the descriptor it was read with; null
// when the path has none.
struct ReadAcl {
  AclPtr acl;
  std::vector<ReadEntry> entries;
};

// A path's DACL and, when asked for, its label (the mandatory label entries
// of its SACL), with the descriptor's control bits.
struct ReadSecurity {
  LocalMemory<SecurityDescriptorPtr> descriptor;
  std::uint16_t control = 0;
  ReadAcl dacl;
  ReadAcl label;
};

// Reads the parts (DACL_SECURITY_INFORMATION, LABEL_SECURITY_INFORMATION) of
// the path's security and lists their entries. nullopt on failure
// (reported).
std::optional<ReadSecurity> read_security(Os& os, AclOutput& out, const Target& target,
                                          std::uint32_t parts);

// The entry's SID as text; nullopt when it cannot be formatted (reported).
std::optional<std::string> sid_text_of(Os& os, AclOutput& out, SidPtr sid);

std::string_view origin(const ReadEntry& entry);
// "allow", "deny", "object allow", ..., or "type 0xNN".
std::string entry_type(std::uint8_t type);
std::string access_mask_text(std::uint32_t mask);
// The inheritance flags without INHERITED_ACE ("OICI"), or "-" when none
// remain.
std::string inheritance_flags(std::uint8_t flags);

// The label an entry of a SACL holds: its level's SID as text. nullopt for
// an entry that is no mandatory label, or whose SID cannot be formatted
// (reported).
std::optional<std::string> label_level_sid(Os& os, AclOutput& out, const ReadEntry& entry);

// The labels obrex-sandbox-exec writes, exactly (flags, mask and size): the
// Low write label S:(ML;OICI;NW;;;LW) on a --write path, the deny label
// S:(ML;OICI;NWNR;;;ME) on a --deny path. `level_sid` is the entry's level.
enum class SandboxLabel { None, LowWrite, Deny };
SandboxLabel sandbox_label(Os& os, const ReadEntry& entry, std::string_view level_sid);

// "{path}\t{what}\t{level}\t{policy}\t{flags}", and with `with_origin`
// "\texplicit|inherited" and "\tbelow Medium" for an explicit label below
// Medium.
std::string label_fields_line(std::string_view path, std::string_view what, const ReadEntry& entry,
                              std::string_view level_sid, bool with_origin);

} // namespace obrex
