#include "acl/sddl_entries.h"

#include <algorithm>
#include <charconv>
#include <iterator>

namespace obrex {
namespace {

struct Named {
  std::string_view name;
  std::uint32_t value;
};

// The right names of SDDL: generic, standard, directory-service, file,
// registry and mandatory-label rights.
constexpr Named kRights[] = {
    {"GA", 0x10000000}, {"GR", 0x80000000}, {"GW", 0x40000000}, {"GX", 0x20000000},
    {"RC", 0x00020000}, {"SD", 0x00010000}, {"WD", 0x00040000}, {"WO", 0x00080000},
    {"RP", 0x00000010}, {"WP", 0x00000020}, {"CC", 0x00000001}, {"DC", 0x00000002},
    {"LC", 0x00000004}, {"SW", 0x00000008}, {"LO", 0x00000080}, {"DT", 0x00000040},
    {"CR", 0x00000100}, {"FA", 0x001F01FF}, {"FR", 0x00120089}, {"FW", 0x00120116},
    {"FX", 0x001200A0}, {"KA", 0x000F003F}, {"KR", 0x00020019}, {"KW", 0x00020006},
    {"KX", 0x00020019}, {"NW", 0x00000001}, {"NR", 0x00000002}, {"NX", 0x00000004},
};

constexpr std::uint32_t kObjectInherit = 0x1;
constexpr std::uint32_t kContainerInherit = 0x2;

constexpr Named kFlags[] = {
    {"OI", kObjectInherit},
    {"CI", kContainerInherit},
    {"NP", 0x4},
    {"IO", 0x8},
    {"ID", 0x10},
    {"CR", 0x20},
    {"SA", 0x40},
    {"FA", 0x80},
};

constexpr std::uint32_t kNoWriteUp = 0x1;
constexpr std::uint32_t kNoReadUp = 0x2;
constexpr std::uint32_t kNoExecuteUp = 0x4;

// The mandatory levels by their SDDL alias and their SID.
struct Level {
  std::string_view alias;
  std::string_view sid;
  std::string_view name;
};
constexpr Level kLevels[] = {
    {"", "S-1-16-0", "Untrusted"},
    {"LW", "S-1-16-4096", "Low"},
    {"ME", "S-1-16-8192", "Medium"},
    {"MP", "S-1-16-8448", "Medium Plus"},
    {"HI", "S-1-16-12288", "High"},
    {"SI", "S-1-16-16384", "System"},
    {"", "S-1-16-20480", "Protected Process"},
};

std::optional<std::uint32_t> value_of(std::string_view name, const auto& table) {
  for (const Named& entry : table) {
    if (entry.name == name) {
      return entry.value;
    }
  }
  return std::nullopt;
}

// Two-letter names run together, each looked up in `table`.
std::optional<std::uint32_t> names_mask(std::string_view names, const auto& table) {
  if (names.size() % 2 != 0) {
    return std::nullopt;
  }
  std::uint32_t mask = 0;
  for (std::size_t i = 0; i < names.size(); i += 2) {
    const auto value = value_of(names.substr(i, 2), table);
    if (!value) {
      return std::nullopt;
    }
    mask |= *value;
  }
  return mask;
}

std::optional<std::uint32_t> number(std::string_view text, int base) {
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

// The end of the entry that begins with '(' at `start`: the position of its
// closing parenthesis, or npos when it stays open.
std::size_t entry_end(std::string_view text, std::size_t start) {
  int depth = 0;
  bool quoted = false;
  for (std::size_t i = start; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == '(') {
      ++depth;
    } else if (!quoted && c == ')' && --depth == 0) {
      return i;
    }
  }
  return std::string_view::npos;
}

// The fields of an entry's inner text, split at the semicolons that stand
// outside a nested condition and outside quotes.
std::optional<SddlEntry> split_entry(std::string_view text) {
  SddlEntry entry;
  entry.text = text;
  const std::string_view inner = text.substr(1, text.size() - 2);
  std::string_view* fields[] = {
      &entry.type, &entry.flags, &entry.rights, &entry.object_type, &entry.inherited_object_type,
      &entry.sid};
  std::size_t field = 0;
  std::size_t start = 0;
  int depth = 0;
  bool quoted = false;
  for (std::size_t i = 0; i <= inner.size(); ++i) {
    const char c = i < inner.size() ? inner[i] : ';';
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == '(') {
      ++depth;
    } else if (!quoted && c == ')') {
      --depth;
    } else if (!quoted && depth == 0 && c == ';') {
      *fields[field++] = inner.substr(start, i - start);
      start = i + 1;
      if (field == std::size(fields)) {
        entry.extra = inner.substr(std::min(i, inner.size()));
        return entry;
      }
    }
  }
  return std::nullopt;
}

} // namespace

bool SddlEntry::inherited() const {
  for (std::size_t i = 0; i + 1 < flags.size(); i += 2) {
    if (flags.substr(i, 2) == "ID") {
      return true;
    }
  }
  return false;
}

std::optional<SddlAcl> split_sddl_acl(std::string_view text) {
  // The part is a letter: "(:" would make the first entry the header's too.
  const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (text.size() < 2 || !letter(text[0]) || text[1] != ':') {
    return std::nullopt;
  }
  SddlAcl acl;
  std::size_t at = std::min(text.find('('), text.size());
  acl.header = text.substr(0, at);
  while (at < text.size()) {
    if (text[at] != '(') {
      return std::nullopt;
    }
    const std::size_t end = entry_end(text, at);
    if (end == std::string_view::npos) {
      return std::nullopt;
    }
    auto entry = split_entry(text.substr(at, end + 1 - at));
    if (!entry) {
      return std::nullopt;
    }
    acl.entries.push_back(*entry);
    at = end + 1;
  }
  return acl;
}

std::optional<std::uint32_t> sddl_access_mask(std::string_view rights) {
  if (rights.starts_with("0x") || rights.starts_with("0X")) {
    return number(rights.substr(2), 16);
  }
  if (const auto decimal = number(rights, 10)) {
    return decimal;
  }
  return names_mask(rights, kRights);
}

std::string inheritance_flags(std::string_view flags) {
  std::string kept;
  for (std::size_t i = 0; i < flags.size(); i += 2) {
    const std::string_view name = flags.substr(i, 2);
    if (name != "ID") {
      kept += name;
    }
  }
  return kept.empty() ? "-" : kept;
}

std::string mandatory_level_name(std::string_view sid) {
  for (const Level& level : kLevels) {
    if ((!level.alias.empty() && sid == level.alias) || sid == level.sid) {
      return std::string(level.name);
    }
  }
  return std::string(sid);
}

std::string label_policy_names(std::uint32_t mask) {
  std::string names;
  for (const Named& bit :
       {Named{"NW", kNoWriteUp}, Named{"NR", kNoReadUp}, Named{"NX", kNoExecuteUp}}) {
    if ((mask & bit.value) != 0) {
      names += bit.name;
    }
  }
  return names.empty() ? "-" : names;
}

bool is_sandbox_label(const SddlEntry& entry) {
  if (entry.type != "ML" || !entry.object_type.empty() || !entry.inherited_object_type.empty() ||
      !entry.extra.empty() ||
      names_mask(entry.flags, kFlags) != (kObjectInherit | kContainerInherit)) {
    return false;
  }
  const auto mask = sddl_access_mask(entry.rights);
  const std::string level = mandatory_level_name(entry.sid);
  return (mask == kNoWriteUp && level == "Low") ||
         (mask == (kNoWriteUp | kNoReadUp) && level == "Medium");
}

} // namespace obrex
