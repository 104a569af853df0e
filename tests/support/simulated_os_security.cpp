// The simulated SID, security-descriptor and token calls. SIDs are kept as
// their text, descriptors as the SDDL text of their DACL and label. The
// program's own token is `token`; restricted copies are recorded in
// `restricted_tokens`.
#include "support/simulated_os.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/constants.h"
#include "platform/text.h"

namespace obrex::test {
namespace {

// The bytes a SID of this text takes: 8, and 4 per subauthority.
std::uint32_t sid_length(const std::string& text) {
  return 8 + 4 * static_cast<std::uint32_t>(std::ranges::count(text, '-') - 2);
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
    return std::unexpected(win::ERROR_INVALID_SID);
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
  if (revision != win::SDDL_REVISION_1) {
    return std::unexpected(win::ERROR_INVALID_PARAMETER);
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
  if (found == nullptr || revision != win::SDDL_REVISION_1) {
    return std::unexpected(win::ERROR_INVALID_PARAMETER);
  }
  std::string text;
  if ((information & win::DACL_SECURITY_INFORMATION) != 0 && found->dacl) {
    text += *found->dacl;
  }
  if ((information & win::LABEL_SECURITY_INFORMATION) != 0 && found->sacl) {
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
    return std::unexpected(win::ERROR_INVALID_PARAMETER);
  }
  if (const auto it = ace_counts.find(*text); it != ace_counts.end()) {
    return it->second;
  }
  // One entry per parenthesis at the outer level; a condition's own
  // parentheses and those inside a quoted literal do not count.
  std::uint32_t entries = 0;
  int depth = 0;
  bool quoted = false;
  for (const char c : *text) {
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == '(' && depth++ == 0) {
      ++entries;
    } else if (!quoted && c == ')') {
      --depth;
    }
  }
  return entries;
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
  const bool groups = information_class == win::TokenGroups;
  if (!groups && information_class != win::TokenUser) {
    ADD_FAILURE() << "token information class " << information_class << " is not read";
    return std::unexpected(win::ERROR_INVALID_PARAMETER);
  }
  std::vector<SID_AND_ATTRIBUTES> entries;
  for (const auto& [text, attributes] :
       groups ? token.groups : decltype(token.groups){{token.user, 0}}) {
    entries.push_back({static_sid(text), attributes});
    needed += sid_length(text);
  }
  const std::size_t header = groups ? offsetof(TOKEN_GROUPS, Groups) : offsetof(TOKEN_USER, User);
  needed += static_cast<std::uint32_t>(header + entries.size() * sizeof(SID_AND_ATTRIBUTES));
  if (buffer == nullptr || length < needed) {
    return std::unexpected(win::ERROR_INSUFFICIENT_BUFFER);
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
  if (information_class == win::TokenDefaultDacl && length == sizeof(TOKEN_DEFAULT_DACL)) {
    TOKEN_DEFAULT_DACL dacl;
    std::memcpy(&dacl, information, sizeof dacl);
    const std::string* text = acl_text(dacl.DefaultDacl);
    target.default_dacl = text == nullptr ? "" : *text;
  } else if (information_class == win::TokenIntegrityLevel) {
    TOKEN_MANDATORY_LABEL label;
    std::memcpy(&label, information, sizeof label);
    const std::string* text = sid_text(label.Label.Sid);
    target.integrity_sid = text == nullptr ? "" : *text;
    target.integrity_attributes = label.Label.Attributes;
    target.integrity_length = length;
  } else {
    ADD_FAILURE() << "SetTokenInformation with class " << information_class << " and length "
                  << length;
    return std::unexpected(win::ERROR_INVALID_PARAMETER);
  }
  return {};
}

} // namespace obrex::test
