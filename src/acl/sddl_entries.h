// The entries of a DACL or a label as the system writes them in SDDL: a part
// letter and its flags ("D:PAI", "S:"), then each entry in parentheses,
// "type;flags;rights;object type;inherited object type;SID" and, for a
// conditional entry, ";(condition)". The tool reads entries from this text
// and writes back the same text without the entries it removes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace obrex {

struct SddlEntry {
  std::string_view text; // the whole entry, its parentheses included
  std::string_view type;
  std::string_view flags;
  std::string_view rights;
  std::string_view object_type;
  std::string_view inherited_object_type;
  std::string_view sid;
  std::string_view extra; // ";" and what follows the SID, or empty

  // Carries the ID flag: a copy of an inheritable entry of the parent.
  bool inherited() const;
};

struct SddlAcl {
  std::string_view header; // the part letter, ':' and the ACL's flags
  std::vector<SddlEntry> entries;
};

// Splits an ACL text into its header and entries. Parentheses nest (a
// condition holds its own) and do not count inside a double-quoted literal.
// nullopt when the text does not begin with a letter and ':', holds anything but
// entries after the header, or leaves a parenthesis or quote open.
std::optional<SddlAcl> split_sddl_acl(std::string_view text);

// The header and the entries for which `keep` is true, in their order.
template <class Keep> std::string join_sddl_acl(const SddlAcl& acl, Keep keep) {
  std::string text(acl.header);
  for (const SddlEntry& entry : acl.entries) {
    if (keep(entry)) {
      text += entry.text;
    }
  }
  return text;
}

// The rights of an entry as an access mask: a number ("0x1f01ff", "2032127")
// or SDDL right names run together ("FA", "FRFX", "NWNR"). nullopt for a name
// that the tool does not know.
std::optional<std::uint32_t> sddl_access_mask(std::string_view rights);

// The flags without the ID flag ("OICIID" gives "OICI"), or "-" when none
// remain.
std::string inheritance_flags(std::string_view flags);

// The mandatory level that a label entry's SID names: "Low", "Medium", ...,
// or the SID text itself for a level without a name.
std::string mandatory_level_name(std::string_view sid);

// A label policy mask as the names of its bits, "NW", "NR", "NX" in this
// order ("NWNR"), or "-" when none is set.
std::string label_policy_names(std::uint32_t mask);

// An explicit label entry that obrex-sandbox-exec writes: S:(ML;OICI;NW;;;LW)
// on a --write path, S:(ML;OICI;NWNR;;;ME) on a --deny path, in whatever
// spelling the system chose for the same flags, mask and level.
bool is_sandbox_label(const SddlEntry& entry);

} // namespace obrex
