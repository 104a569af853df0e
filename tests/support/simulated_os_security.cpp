// The simulated SID, security-descriptor and token calls. SIDs are kept as
// their text, descriptors as the SDDL text of their DACL and label. The
// program's own token is `token`; restricted copies are recorded in
// `restricted_tokens`.
#include "support/simulated_os.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "platform/text.h"

namespace obrex::test {
namespace {

// The bytes a SID of this text takes: 8, and 4 per subauthority.
std::uint32_t sid_length(const std::string& text) {
  return 8 + 4 * static_cast<std::uint32_t>(std::ranges::count(text, '-') - 2);
}

// The SDDL names of what the entries of the tests' ACL texts hold.
using Named = std::pair<std::string_view, std::uint32_t>;
constexpr Named kTypes[] = {{"A", 0},  {"D", 1},   {"OA", 5},  {"OD", 6},
                            {"XA", 9}, {"XD", 10}, {"ZA", 11}, {"ML", 0x11}};
constexpr Named kFlags[] = {{"OI", 0x1}, {"CI", 0x2}, {"NP", 0x4}, {"IO", 0x8}, {"ID", 0x10}};
constexpr Named kRights[] = {{"FA", 0x1F01FF}, {"FR", 0x120089},   {"FW", 0x120116},
                             {"FX", 0x1200A0}, {"RC", 0x20000},    {"WD", 0x40000},
                             {"WO", 0x80000},  {"GA", 0x10000000}, {"NW", 0x1},
                             {"NR", 0x2},      {"NX", 0x4},        {"CC", 0x1}};
constexpr std::pair<std::string_view, std::string_view> kSidAliases[] = {
    {"WD", "S-1-1-0"},      {"BA", "S-1-5-32-544"}, {"SY", "S-1-5-18"}, {"AU", "S-1-5-11"},
    {"BU", "S-1-5-32-545"}, {"OW", "S-1-3-4"},      {"CO", "S-1-3-0"},  {"LW", "S-1-16-4096"},
    {"ME", "S-1-16-8192"},  {"HI", "S-1-16-12288"},
};

std::optional<std::uint32_t> value_of(std::string_view name, std::span<const Named> table) {
  const auto it = std::ranges::find(table, name, &Named::first);
  return it == table.end() ? std::nullopt : std::optional(it->second);
}

// Two-letter names run together.
std::optional<std::uint32_t> names_value(std::string_view names, std::span<const Named> table) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < names.size(); i += 2) {
    const auto one = value_of(names.substr(i, 2), table);
    if (!one) {
      return std::nullopt;
    }
    value |= *one;
  }
  return value;
}

std::string canonical_sid(std::string_view sid) {
  const auto it =
      std::ranges::find(kSidAliases, sid, &std::pair<std::string_view, std::string_view>::first);
  return std::string(it == std::end(kSidAliases) ? sid : it->second);
}

// Where each entry of an ACL's text lies, its parentheses included. A
// condition's own parentheses, and those inside a quoted literal, belong to
// their entry.
using Span = std::pair<std::size_t, std::size_t>;
std::vector<Span> entry_spans(const std::string& text) {
  std::vector<Span> spans;
  int depth = 0;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == '(' && depth++ == 0) {
      spans.emplace_back(i, i);
    } else if (!quoted && c == ')' && --depth == 0) {
      spans.back().second = i + 1;
    }
  }
  return spans;
}

// The flags of an ACL's text: what stands between its part letter and its
// first entry ("P", "AI", "PAI").
std::string acl_header(const std::string& text) {
  return text.substr(std::min<std::size_t>(2, text.size()),
                     std::min(text.find('('), text.size()) - std::min<std::size_t>(2, text.size()));
}

} // namespace

SidPtr SimulatedOs::static_sid(const std::string& text) {
  static_sids_.push_back(std::make_unique<std::string>(text));
  return SidPtr{static_sids_.back().get()};
}

const std::string* SimulatedOs::sid_text(SidPtr sid) {
  for (const auto& owned : static_sids_) {
    if (owned.get() == sid.value) {
      return owned.get();
    }
  }
  const Allocation* found = allocation(sid.value, AllocationKind::Sid);
  return found == nullptr ? nullptr : &found->text;
}

OsResult<SidPtr> SimulatedOs::convert_string_sid_to_sid(std::u16string_view text) {
  if (const auto fault = enter("convert_string_sid_to_sid")) {
    return std::unexpected(*fault);
  }
  const auto utf8 = utf16_to_utf8(text);
  if (!utf8 || !utf8->starts_with("S-1-")) {
    return std::unexpected(1337u);
  }
  return SidPtr{allocate(Allocation{AllocationKind::Sid, *utf8, nullptr, nullptr})};
}

OsResult<std::u16string> SimulatedOs::convert_sid_to_string_sid(SidPtr sid) {
  if (const auto fault = enter("convert_sid_to_string_sid")) {
    return std::unexpected(*fault);
  }
  const std::string* text = sid_text(sid);
  return utf8_to_utf16(text == nullptr ? "" : *text);
}

std::uint32_t SimulatedOs::get_length_sid(SidPtr sid) {
  enter("get_length_sid");
  const std::string* text = sid_text(sid);
  return text == nullptr ? 0 : sid_length(*text);
}

OsResult<SecurityDescriptorPtr>
SimulatedOs::convert_string_security_descriptor_to_security_descriptor(std::u16string_view sddl,
                                                                       std::uint32_t revision) {
  if (const auto fault = enter("convert_string_security_descriptor_to_security_descriptor")) {
    return std::unexpected(*fault);
  }
  if (revision != 1u) {
    return std::unexpected(87u);
  }
  // The DACL ("D:...") comes first, the label ("S:...") after it.
  const std::string text = utf16_to_utf8_lossy(sddl);
  const std::size_t label = std::min(text.find("S:"), text.size());
  Allocation descriptor{AllocationKind::SecurityDescriptor, text, nullptr, nullptr};
  if (text.starts_with("D:")) {
    descriptor.dacl = std::make_unique<std::string>(text.substr(0, label));
  }
  if (label < text.size()) {
    descriptor.sacl = std::make_unique<std::string>(text.substr(label));
  }
  return SecurityDescriptorPtr{allocate(std::move(descriptor))};
}

OsResult<std::u16string> SimulatedOs::convert_security_descriptor_to_string_security_descriptor(
    SecurityDescriptorPtr descriptor, std::uint32_t revision, std::uint32_t information) {
  if (const auto fault = enter("convert_security_descriptor_to_string_security_descriptor")) {
    return std::unexpected(*fault);
  }
  const Allocation* found = allocation(descriptor.value, AllocationKind::SecurityDescriptor);
  if (found == nullptr || revision != 1u) {
    return std::unexpected(87u);
  }
  std::string text;
  if ((information & 0x4u) != 0 && found->dacl) {
    text += *found->dacl;
  }
  if ((information & 0x10u) != 0 && found->sacl) {
    text += *found->sacl;
  }
  return utf8_to_utf16(text);
}

OsResult<AclPtr> SimulatedOs::get_security_descriptor_dacl(SecurityDescriptorPtr descriptor) {
  if (const auto fault = enter("get_security_descriptor_dacl")) {
    return std::unexpected(*fault);
  }
  const Allocation* found = allocation(descriptor.value, AllocationKind::SecurityDescriptor);
  return AclPtr{found == nullptr ? nullptr : found->dacl.get()};
}

OsResult<AclPtr> SimulatedOs::get_security_descriptor_sacl(SecurityDescriptorPtr descriptor) {
  if (const auto fault = enter("get_security_descriptor_sacl")) {
    return std::unexpected(*fault);
  }
  const Allocation* found = allocation(descriptor.value, AllocationKind::SecurityDescriptor);
  return AclPtr{found == nullptr ? nullptr : found->sacl.get()};
}

OsResult<std::uint32_t> SimulatedOs::get_acl_information(AclPtr acl) {
  if (const auto fault = enter("get_acl_information")) {
    return std::unexpected(*fault);
  }
  const std::string* text = acl_text(acl);
  if (text == nullptr) {
    ADD_FAILURE() << "GetAclInformation without an ACL";
    return std::unexpected(87u);
  }
  return static_cast<std::uint32_t>(entry_spans(*text).size());
}

OsResult<ACE_RECORD> SimulatedOs::get_ace(AclPtr acl, std::uint32_t index) {
  if (const auto fault = enter("get_ace")) {
    return std::unexpected(*fault);
  }
  const std::string* text = acl_text(acl);
  const auto spans = text == nullptr ? std::vector<Span>{} : entry_spans(*text);
  if (index >= spans.size()) {
    return std::unexpected(87u);
  }
  const auto [start, end] = spans[index];
  const std::string inner = text->substr(start + 1, end - start - 2);
  std::vector<std::string> fields;
  for (std::size_t at = 0; fields.size() < 6;) {
    const std::size_t semicolon = std::min(inner.find(';', at), inner.size());
    fields.push_back(inner.substr(at, semicolon - at));
    at = std::min(semicolon + 1, inner.size());
    if (fields.size() == 6 && semicolon < inner.size()) {
      fields.push_back(inner.substr(at)); // a condition or "+N"
    }
  }
  ACE_RECORD record;
  const std::string& type = fields[0];
  if (type.starts_with('#')) {
    record.AceType = static_cast<std::uint8_t>(std::stoi(type.substr(1)));
    record.AceSize = 8;
    return record;
  }
  const auto known_type = value_of(type, kTypes);
  const auto flags = names_value(fields[1], kFlags);
  const auto mask =
      fields[2].starts_with("0x")
          ? std::optional(static_cast<std::uint32_t>(std::stoul(fields[2], nullptr, 16)))
          : names_value(fields[2], kRights);
  const std::string sid = canonical_sid(fields[5]);
  if (!known_type || !flags || !mask || !sid.starts_with("S-1-")) {
    ADD_FAILURE() << "an entry the simulated system cannot read: " << inner;
    return std::unexpected(87u);
  }
  record.AceType = static_cast<std::uint8_t>(*known_type);
  record.AceFlags = static_cast<std::uint8_t>(*flags);
  record.Mask = *mask;
  record.Sid = static_sid(sid);
  const bool object = *known_type == 5 || *known_type == 6 || *known_type == 11;
  const bool callback = *known_type >= 9 && *known_type <= 11;
  std::size_t size = 8 + sid_length(sid);
  if (object) {
    size += 4 + (fields[3].empty() ? 0 : 16) + (fields[4].empty() ? 0 : 16);
  }
  if (fields.size() == 7) {
    size += callback ? (fields[6].size() + 3) / 4 * 4 : std::stoul(fields[6].substr(1));
  }
  record.AceSize = static_cast<std::uint16_t>(size);
  return record;
}

OsResult<void> SimulatedOs::delete_ace(AclPtr acl, std::uint32_t index) {
  if (const auto fault = enter("delete_ace")) {
    return std::unexpected(*fault);
  }
  // The ACL is the simulated system's own memory, changed in place.
  auto* text = const_cast<std::string*>(acl_text(acl));
  const auto spans = text == nullptr ? std::vector<Span>{} : entry_spans(*text);
  if (index >= spans.size()) {
    return std::unexpected(87u);
  }
  text->erase(spans[index].first, spans[index].second - spans[index].first);
  return {};
}

OsResult<std::uint16_t>
SimulatedOs::get_security_descriptor_control(SecurityDescriptorPtr descriptor) {
  if (const auto fault = enter("get_security_descriptor_control")) {
    return std::unexpected(*fault);
  }
  const Allocation* found = allocation(descriptor.value, AllocationKind::SecurityDescriptor);
  if (found == nullptr) {
    return std::unexpected(87u);
  }
  std::uint16_t control = 0x8000; // SE_SELF_RELATIVE
  if (found->dacl) {
    const std::string header = acl_header(*found->dacl);
    control |= 0x4; // SE_DACL_PRESENT
    control |= header.find('P') != std::string::npos ? 0x1000u : 0;
    control |= header.find("AI") != std::string::npos ? 0x400 : 0; // SE_DACL_AUTO_INHERITED
  }
  if (found->sacl) {
    control |= 0x10; // SE_SACL_PRESENT
    control |= acl_header(*found->sacl).find('P') != std::string::npos ? 0x2000u : 0;
  }
  return control;
}

bool SimulatedOs::equal_sid(SidPtr a, SidPtr b) {
  enter("equal_sid");
  const std::string* first = sid_text(a);
  const std::string* second = sid_text(b);
  return first != nullptr && second != nullptr && canonical_sid(*first) == canonical_sid(*second);
}

OsResult<Handle> SimulatedOs::open_process_token(std::uint32_t access) {
  if (const auto fault = enter("open_process_token")) {
    return std::unexpected(*fault);
  }
  return new_handle(HandleObject{HandleKind::Token, {}, 0, access});
}

OsResult<void> SimulatedOs::get_token_information(Handle handle, std::uint32_t information_class,
                                                  void* buffer, std::uint32_t length,
                                                  std::uint32_t& needed) {
  needed = 0;
  if (const auto fault = enter("get_token_information")) {
    return std::unexpected(*fault);
  }
  if (handle_object(handle, HandleKind::Token) == nullptr) {
    return std::unexpected(OsCode{6});
  }
  // The entries come first; the SIDs they point to follow them in the
  // buffer on Windows, so they count in the length.
  const bool groups = information_class == 2u;
  if (information_class == 20u) { // TokenElevation: not elevated
    needed = sizeof(std::uint32_t);
    if (buffer == nullptr || length < needed) {
      return std::unexpected(122u);
    }
    std::memset(buffer, 0, needed);
    return {};
  }
  // TokenIntegrityLevel: TOKEN_MANDATORY_LABEL is laid out as TOKEN_USER.
  const bool label = information_class == 25u;
  if (!groups && !label && information_class != 1u) {
    ADD_FAILURE() << "token information class " << information_class << " is not read";
    return std::unexpected(87u);
  }
  std::vector<SID_AND_ATTRIBUTES> entries;
  for (const auto& [text, attributes] : groups  ? token.groups
                                        : label ? decltype(token.groups){{token.integrity, 0x20u}}
                                                : decltype(token.groups){{token.user, 0}}) {
    entries.push_back({static_sid(text), attributes});
    needed += sid_length(text);
  }
  const std::size_t header = groups ? offsetof(TOKEN_GROUPS, Groups) : offsetof(TOKEN_USER, User);
  needed += static_cast<std::uint32_t>(header + entries.size() * sizeof(SID_AND_ATTRIBUTES));
  if (buffer == nullptr || length < needed) {
    return std::unexpected(122u);
  }
  if (reinterpret_cast<std::uintptr_t>(buffer) % alignof(SID_AND_ATTRIBUTES) != 0) {
    ADD_FAILURE() << "token information buffer not aligned";
  }
  auto* bytes = static_cast<unsigned char*>(buffer);
  if (groups) {
    const auto count = static_cast<std::uint32_t>(entries.size());
    std::memcpy(bytes + offsetof(TOKEN_GROUPS, GroupCount), &count, sizeof count);
  }
  std::memcpy(bytes + header, entries.data(), entries.size() * sizeof(SID_AND_ATTRIBUTES));
  return {};
}

OsResult<Handle>
SimulatedOs::create_restricted_token(Handle handle, std::uint32_t flags,
                                     std::span<const SID_AND_ATTRIBUTES> restricting) {
  if (const auto fault = enter("create_restricted_token")) {
    return std::unexpected(*fault);
  }
  const HandleObject* object = handle_object(handle, HandleKind::Token);
  if (object == nullptr) {
    return std::unexpected(OsCode{6});
  }
  SimRestrictedToken made{flags, {}, {}, {}, 0, 0};
  for (const SID_AND_ATTRIBUTES& entry : restricting) {
    const std::string* text = sid_text(entry.Sid);
    made.restricting.emplace_back(text == nullptr ? "" : *text, entry.Attributes);
  }
  restricted_tokens.push_back(std::move(made));
  // The new token is reached with the rights of the handle it came from.
  return new_handle(
      HandleObject{HandleKind::RestrictedToken, {}, restricted_tokens.size() - 1, object->access});
}

OsResult<void> SimulatedOs::set_token_information(Handle handle, std::uint32_t information_class,
                                                  const void* information, std::uint32_t length) {
  if (const auto fault = enter("set_token_information")) {
    return std::unexpected(*fault);
  }
  const HandleObject* object = handle_object(handle, HandleKind::RestrictedToken);
  if (object == nullptr) {
    return std::unexpected(OsCode{6});
  }
  SimRestrictedToken& target = restricted_tokens[object->index];
  if (information_class == 6u && length == sizeof(TOKEN_DEFAULT_DACL)) {
    TOKEN_DEFAULT_DACL dacl;
    std::memcpy(&dacl, information, sizeof dacl);
    const std::string* text = acl_text(dacl.DefaultDacl);
    target.default_dacl = text == nullptr ? "" : *text;
  } else if (information_class == 25u) {
    TOKEN_MANDATORY_LABEL label;
    std::memcpy(&label, information, sizeof label);
    const std::string* text = sid_text(label.Label.Sid);
    target.integrity_sid = text == nullptr ? "" : *text;
    target.integrity_attributes = label.Label.Attributes;
    target.integrity_length = length;
  } else {
    ADD_FAILURE() << "SetTokenInformation with class " << information_class << " and length "
                  << length;
    return std::unexpected(87u);
  }
  return {};
}

} // namespace obrex::test
