// The simulated token calls. The program's own token is `token`; restricted
// copies are recorded in `restricted_tokens`. Handles carry the rights they
// were opened with, and each call checks the right it needs.
#include "support/simulated_os.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/constants.h"

namespace obrex::test {
namespace {

constexpr OsCode kErrorBadLength = 24;
constexpr std::uint32_t kTokenAllAccess = 0xF01FF;

// The bytes a SID of this text takes: 8, and 4 per subauthority.
std::uint32_t sid_length(const std::string& text) {
  const auto dashes = std::count(text.begin(), text.end(), '-');
  return 8 + 4 * static_cast<std::uint32_t>(dashes - 2);
}

} // namespace

OsResult<Handle> SimulatedOs::open_process_token(std::uint32_t access) {
  if (const auto fault = enter("open_process_token")) {
    return std::unexpected(*fault);
  }
  if ((access & ~kTokenAllAccess) != 0) {
    return std::unexpected(win::ERROR_ACCESS_DENIED);
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
  const HandleObject* object = handle_object(handle);
  if (object == nullptr || object->kind != HandleKind::Token) {
    ADD_FAILURE() << "only the program's own token is queried";
    return std::unexpected(OsCode{6});
  }
  if ((object->access & win::TOKEN_QUERY) == 0) {
    return std::unexpected(win::ERROR_ACCESS_DENIED);
  }
  // The entries come first; the SIDs they point to follow them in the
  // buffer on Windows, so they count in the length.
  std::vector<SID_AND_ATTRIBUTES> entries;
  std::size_t header = 0;
  if (information_class == win::TokenGroups) {
    header = offsetof(TOKEN_GROUPS, Groups);
    for (const auto& [text, attributes] : token.groups) {
      entries.push_back({static_sid(text), attributes});
      needed += sid_length(text);
    }
  } else if (information_class == win::TokenUser) {
    header = offsetof(TOKEN_USER, User);
    entries.push_back({static_sid(token.user), 0});
    needed += sid_length(token.user);
  } else {
    ADD_FAILURE() << "token information class " << information_class << " is not read";
    return std::unexpected(win::ERROR_INVALID_PARAMETER);
  }
  needed += static_cast<std::uint32_t>(header + entries.size() * sizeof(SID_AND_ATTRIBUTES));
  if (buffer == nullptr || length < needed) {
    return std::unexpected(win::ERROR_INSUFFICIENT_BUFFER);
  }
  if (reinterpret_cast<std::uintptr_t>(buffer) % alignof(SID_AND_ATTRIBUTES) != 0) {
    ADD_FAILURE() << "token information buffer not aligned";
  }
  auto* bytes = static_cast<unsigned char*>(buffer);
  if (information_class == win::TokenGroups) {
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
  const HandleObject* object = handle_object(handle);
  if (object == nullptr || object->kind != HandleKind::Token) {
    ADD_FAILURE() << "only the program's own token is restricted";
    return std::unexpected(OsCode{6});
  }
  if ((object->access & win::TOKEN_DUPLICATE) == 0) {
    return std::unexpected(win::ERROR_ACCESS_DENIED);
  }
  SimRestrictedToken made;
  made.flags = flags;
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
  const HandleObject* object = handle_object(handle);
  if (object == nullptr || object->kind != HandleKind::RestrictedToken) {
    ADD_FAILURE() << "only the restricted token is changed";
    return std::unexpected(OsCode{6});
  }
  if ((object->access & win::TOKEN_ADJUST_DEFAULT) == 0) {
    return std::unexpected(win::ERROR_ACCESS_DENIED);
  }
  SimRestrictedToken& target = restricted_tokens[object->index];
  if (information_class == win::TokenDefaultDacl) {
    if (length < sizeof(TOKEN_DEFAULT_DACL)) {
      return std::unexpected(kErrorBadLength);
    }
    TOKEN_DEFAULT_DACL dacl;
    std::memcpy(&dacl, information, sizeof dacl);
    const std::string* text = acl_text(dacl.DefaultDacl);
    target.default_dacl = text == nullptr ? "" : *text;
    return {};
  }
  if (information_class == win::TokenIntegrityLevel) {
    if (length < sizeof(TOKEN_MANDATORY_LABEL)) {
      return std::unexpected(kErrorBadLength);
    }
    TOKEN_MANDATORY_LABEL label;
    std::memcpy(&label, information, sizeof label);
    const std::string* text = sid_text(label.Label.Sid);
    target.integrity_sid = text == nullptr ? "" : *text;
    target.integrity_attributes = label.Label.Attributes;
    target.integrity_length = length;
    return {};
  }
  ADD_FAILURE() << "token information class " << information_class << " is not set";
  return std::unexpected(win::ERROR_INVALID_PARAMETER);
}

} // namespace obrex::test
