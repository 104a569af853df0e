#include "identity/restricted_token.h"

#include <gtest/gtest.h>

#include "core/security_conversions.h"
#include "support/simulated_os.h"

namespace obrex {
namespace {

using test::SimulatedOs;
using Sids = std::vector<std::pair<std::string, std::uint32_t>>;

const std::string kSandboxSid = "S-1-5-21-669023875-3582582253-860409785-2052304560";

// A simulated system holding the identity of the worked example.
struct Fixture {
  Fixture() : identity{std::move(*sid_from_text(os, kSandboxSid)), kSandboxSid} {}
  SimulatedOs os;
  SandboxIdentity identity;
};

TEST(RestrictedToken, RestrictsTheOwnTokenAndSetsItsDaclAndLevel) {
  Fixture f;
  {
    const auto token = build_restricted_token(f.os, f.identity);
    ASSERT_TRUE(token) << token.error().message;
    ASSERT_EQ(f.os.restricted_tokens.size(), 1u);
    const test::SimRestrictedToken& made = f.os.restricted_tokens[0];
    EXPECT_EQ(made.flags, 0x9u);
    EXPECT_EQ(made.restricting, (Sids{{kSandboxSid, 0}, {"S-1-1-0", 0}, {"S-1-5-5-0-123456", 0}}));
    EXPECT_EQ(made.default_dacl, "D:(A;;GA;;;S-1-5-21-1-2-3-1001)(A;;GA;;;SY)"
                                 "(A;;GA;;;S-1-5-21-669023875-3582582253-860409785-2052304560)");
    EXPECT_EQ(made.integrity_sid, "S-1-16-4096");
    EXPECT_EQ(made.integrity_attributes, 0x20u);
    // The label structure and the Low SID behind it: 8 bytes and one
    // subauthority.
    EXPECT_EQ(made.integrity_length, sizeof(TOKEN_MANDATORY_LABEL) + 12);
    EXPECT_EQ(f.os.handle_object(token->get())->access, 0x8Bu);
  }
}

TEST(RestrictedToken, LogonSidIsTheFirstGroupWithBothBits) {
  const std::pair<Sids, std::optional<std::string>> cases[] = {
      {{{"S-1-1-0", 0x7}}, std::nullopt},
      {{{"S-1-5-5-0-1", 0x80000007}, {"S-1-5-5-0-2", 0x40000007}}, std::nullopt},
      {{{"S-1-5-5-0-5", 0x40000007}, {"S-1-5-5-0-6", 0xC0000007}, {"S-1-5-5-0-7", 0xC0000007}},
       "S-1-5-5-0-6"},
  };
  for (const auto& [groups, logon] : cases) {
    Fixture f;
    f.os.token.groups = groups;
    ASSERT_TRUE(build_restricted_token(f.os, f.identity));
    Sids expected = {{kSandboxSid, 0}, {"S-1-1-0", 0}};
    if (logon) {
      expected.emplace_back(*logon, 0);
    }
    EXPECT_EQ(f.os.restricted_tokens.at(0).restricting, expected);
  }
}

TEST(RestrictedToken, TokenInformationGoesIntoABufferRoundedUpToWholeWords) {
  Fixture f;
  const auto own = f.os.open_process_token(0x8B);
  // Three groups: 8 bytes of header, 3 entries of 16, SIDs of 12, 20 and 12.
  const auto groups = read_token_information(f.os, *own, 2u, "groups");
  ASSERT_TRUE(groups) << groups.error().message;
  EXPECT_EQ(groups->size(), 13u); // 100 bytes
  f.os.close_handle(*own);
}

TEST(RestrictedToken, EveryFailingCallReleasesEverythingAndReturnsNoToken) {
  const std::string sddl =
      "D:(A;;GA;;;S-1-5-21-1-2-3-1001)(A;;GA;;;SY)(A;;GA;;;" + kSandboxSid + ")";
  const std::tuple<const char*, int, std::string> cases[] = {
      {"open_process_token", 1, "cannot open Obrex's token"},
      {"convert_string_sid_to_sid", 1, "cannot build the SID S-1-1-0"},
      {"get_token_information", 1, "cannot size Obrex's token groups"},
      {"get_token_information", 2, "cannot read Obrex's token groups"},
      {"convert_sid_to_string_sid", 1, "cannot format a SID"},
      {"convert_string_sid_to_sid", 2, "cannot build the SID S-1-5-5-0-123456"},
      {"create_restricted_token", 1, "cannot create the token restricted to " + kSandboxSid},
      {"get_token_information", 3, "cannot size Obrex's token user"},
      {"get_token_information", 4, "cannot read Obrex's token user"},
      {"convert_sid_to_string_sid", 2, "cannot format a SID"},
      {"convert_string_security_descriptor_to_security_descriptor", 1, "cannot parse " + sddl},
      {"get_security_descriptor_dacl", 1, "cannot read the default DACL"},
      {"set_token_information", 1, "cannot set the token's default DACL"},
      {"convert_string_sid_to_sid", 3, "cannot build the Low integrity SID"},
      {"set_token_information", 2, "cannot lower the token to Low integrity"},
  };
  for (const auto& [method, nth, context] : cases) {
    Fixture f;
    f.os.fail_call(method, nth, 5u);
    const auto token = build_restricted_token(f.os, f.identity);
    EXPECT_EQ(token ? "(a token)" : token.error().message,
              context + ": Access is denied. (os error 5)");
  }
}

} // namespace
} // namespace obrex
