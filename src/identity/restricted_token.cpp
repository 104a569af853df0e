#include "identity/restricted_token.h"

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "core/security_conversions.h"
#include "platform/constants.h"

namespace obrex {
namespace {

constexpr std::uint32_t kOwnTokenAccess =
    win::TOKEN_ASSIGN_PRIMARY | win::TOKEN_DUPLICATE | win::TOKEN_QUERY | win::TOKEN_ADJUST_DEFAULT;
constexpr std::uint32_t kRestrictionFlags = win::DISABLE_MAX_PRIVILEGE | win::WRITE_RESTRICTED;
constexpr std::string_view kEveryoneSid = "S-1-1-0";
constexpr std::u16string_view kLowIntegritySid = u"S-1-16-4096";

template <class T> T read_at(const TokenBuffer& buffer, std::size_t offset) {
  T value;
  std::memcpy(&value, reinterpret_cast<const unsigned char*>(buffer.data()) + offset, sizeof value);
  return value;
}

// The SID of the first group that carries both logon bits, in stored order.
std::optional<SidPtr> find_logon_sid(const TokenBuffer& groups) {
  const std::size_t bytes = groups.size() * sizeof(std::uint64_t);
  const auto count = read_at<std::uint32_t>(groups, offsetof(TOKEN_GROUPS, GroupCount));
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t offset = offsetof(TOKEN_GROUPS, Groups) + i * sizeof(SID_AND_ATTRIBUTES);
    if (offset + sizeof(SID_AND_ATTRIBUTES) > bytes) {
      break; // never past what the system wrote
    }
    const auto group = read_at<SID_AND_ATTRIBUTES>(groups, offset);
    if ((group.Attributes & win::SE_GROUP_LOGON_ID) == win::SE_GROUP_LOGON_ID) {
      return group.Sid;
    }
  }
  return std::nullopt;
}

// A copy of the token's logon SID that the caller owns, or an empty owner
// when the token has none.
Result<LocalMemory<SidPtr>> copy_logon_sid(Os& os, Handle own_token) {
  const auto groups = read_token_information(os, own_token, win::TokenGroups, "groups");
  if (!groups) {
    return std::unexpected(groups.error());
  }
  const std::optional<SidPtr> logon = find_logon_sid(*groups);
  if (!logon) {
    return LocalMemory<SidPtr>();
  }
  const auto text = sid_to_text(os, *logon);
  if (!text) {
    return std::unexpected(text.error());
  }
  return sid_from_text(os, *text);
}

Result<std::string> user_sid_text(Os& os, Handle own_token) {
  const auto user = read_token_information(os, own_token, win::TokenUser, "user");
  if (!user) {
    return std::unexpected(user.error());
  }
  return sid_to_text(os, read_at<SID_AND_ATTRIBUTES>(*user, offsetof(TOKEN_USER, User)).Sid);
}

} // namespace

Result<TokenBuffer> read_token_information(Os& os, Handle token, std::uint32_t information_class,
                                           std::string_view name) {
  std::uint32_t needed = 0;
  const auto sized = os.get_token_information(token, information_class, nullptr, 0, needed);
  if (needed == 0) {
    return std::unexpected(SandboxError::from_os_error(
        os, "cannot size Obrex's token " + std::string(name), sized ? 0 : sized.error()));
  }
  TokenBuffer buffer((needed + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t), 0);
  std::uint32_t written = 0;
  const auto read =
      os.get_token_information(token, information_class, buffer.data(), needed, written);
  if (!read) {
    return std::unexpected(SandboxError::from_os_error(
        os, "cannot read Obrex's token " + std::string(name), read.error()));
  }
  return buffer;
}

Result<UniqueHandle> build_restricted_token(Os& os, const SandboxIdentity& identity) {
  const auto opened = os.open_process_token(kOwnTokenAccess);
  if (!opened) {
    return std::unexpected(
        SandboxError::from_os_error(os, "cannot open Obrex's token", opened.error()));
  }
  const UniqueHandle own_token(os, *opened);

  const auto everyone = sid_from_text(os, kEveryoneSid);
  if (!everyone) {
    return std::unexpected(everyone.error());
  }
  const auto logon = copy_logon_sid(os, own_token.get());
  if (!logon) {
    return std::unexpected(logon.error());
  }

  std::vector<SID_AND_ATTRIBUTES> restricting = {{identity.sid.get(), 0}, {everyone->get(), 0}};
  if (*logon) {
    restricting.push_back({logon->get(), 0});
  }
  const auto created = os.create_restricted_token(own_token.get(), kRestrictionFlags, restricting);
  if (!created) {
    return std::unexpected(SandboxError::from_os_error(
        os, "cannot create the token restricted to " + identity.sid_text, created.error()));
  }
  UniqueHandle token(os, *created); // closed on every failure from here on

  const auto user = user_sid_text(os, own_token.get());
  if (!user) {
    return std::unexpected(user.error());
  }
  const auto descriptor = security_descriptor_from_sddl(
      os, "D:(A;;GA;;;" + *user + ")(A;;GA;;;SY)(A;;GA;;;" + identity.sid_text + ")");
  if (!descriptor) {
    return std::unexpected(descriptor.error());
  }
  const auto dacl = os.get_security_descriptor_dacl(descriptor->get());
  if (!dacl) {
    return std::unexpected(
        SandboxError::from_os_error(os, "cannot read the default DACL", dacl.error()));
  }
  const TOKEN_DEFAULT_DACL default_dacl{*dacl};
  if (const auto set = os.set_token_information(token.get(), win::TokenDefaultDacl, &default_dacl,
                                                sizeof default_dacl);
      !set) {
    return std::unexpected(
        SandboxError::from_os_error(os, "cannot set the token's default DACL", set.error()));
  }

  const auto converted = os.convert_string_sid_to_sid(kLowIntegritySid);
  if (!converted) {
    return std::unexpected(
        SandboxError::from_os_error(os, "cannot build the Low integrity SID", converted.error()));
  }
  const LocalMemory<SidPtr> low(os, *converted);
  const TOKEN_MANDATORY_LABEL label{{low.get(), win::SE_GROUP_INTEGRITY}};
  const auto length = static_cast<std::uint32_t>(sizeof label) + os.get_length_sid(low.get());
  if (const auto set =
          os.set_token_information(token.get(), win::TokenIntegrityLevel, &label, length);
      !set) {
    return std::unexpected(
        SandboxError::from_os_error(os, "cannot lower the token to Low integrity", set.error()));
  }
  return token;
}

} // namespace obrex
