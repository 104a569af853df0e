#include "identity/restricted_token.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "identity/security_conversions.h"
#include "platform/constants.h"
#include "support/simulated_os.h"

namespace obrex {
namespace {

using test::SimulatedOs;
using Sids = std::vector<std::pair<std::string, std::uint32_t>>;

const std::string kSandboxSid = "S-1-5-21-669023875-3582582253-860409785-2052304560";

SandboxIdentity identity_in(SimulatedOs& os, const std::string& text = kSandboxSid) {
  auto sid = sid_from_text(os, text);
  EXPECT_TRUE(sid);
  return SandboxIdentity{std::move(*sid), text};
}

TEST(RestrictedToken, RestrictsTheOwnTokenAndSetsItsDaclAndLevel) {
  SimulatedOs os;
  const SandboxIdentity identity = identity_in(os);
  {
    const auto token = build_restricted_token(os, identity);
    ASSERT_TRUE(token) << token.error().message;
    ASSERT_EQ(os.restricted_tokens.size(), 1u);
    const test::SimRestrictedToken& made = os.restricted_tokens[0];
    EXPECT_EQ(made.flags, 0x9u);
    const Sids restricting = {{kSandboxSid, 0}, {"S-1-1-0", 0}, {"S-1-5-5-0-123456", 0}};
    EXPECT_EQ(made.restricting, restricting);
    EXPECT_EQ(made.default_dacl, "D:(A;;GA;;;S-1-5-21-1-2-3-1001)(A;;GA;;;SY)"
                                 "(A;;GA;;;S-1-5-21-669023875-3582582253-860409785-2052304560)");
    EXPECT_EQ(made.integrity_sid, "S-1-16-4096");
    EXPECT_EQ(made.integrity_attributes, 0x20u);
    // The label structure and the Low SID behind it: 8 bytes and one
    // subauthority.
    EXPECT_EQ(made.integrity_length, sizeof(TOKEN_MANDATORY_LABEL) + 12);
    const auto* object = os.handle_object(token->get());
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->kind, SimulatedOs::HandleKind::RestrictedToken);
    EXPECT_EQ(object->access, 0x8Bu);
    EXPECT_EQ(os.open_handles(), 1u);     // the new token only
    EXPECT_EQ(os.live_allocations(), 1u); // the identity's SID only
  }
  EXPECT_EQ(os.open_handles(), 0u);
}

TEST(RestrictedToken, LogonSidIsTheFirstGroupWithBothBits) {
  struct Case {
    const char* name;
    Sids groups;
    std::optional<std::string> logon;
  };
  const Case cases[] = {
      {"None", {{"S-1-1-0", 0x7}, {"S-1-2-0", 0x7}}, std::nullopt},
      {"NoGroups", {}, std::nullopt},
      {"OnlyOneBitEach",
       {{"S-1-5-5-0-1", 0x80000007}, {"S-1-5-5-0-2", 0x40000007}, {"S-1-5-5-0-3", 0x3}},
       std::nullopt},
      {"BothBitsAlone", {{"S-1-1-0", 0x7}, {"S-1-5-5-0-4", 0xC0000000}}, "S-1-5-5-0-4"},
      {"FirstOfSeveral",
       {{"S-1-5-5-0-5", 0x40000007}, {"S-1-5-5-0-6", 0xC0000007}, {"S-1-5-5-0-7", 0xC0000007}},
       "S-1-5-5-0-6"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimulatedOs os;
    os.token.groups = c.groups;
    const SandboxIdentity identity = identity_in(os);
    const auto token = build_restricted_token(os, identity);
    ASSERT_TRUE(token) << token.error().message;
    Sids expected = {{kSandboxSid, 0}, {"S-1-1-0", 0}};
    if (c.logon) {
      expected.emplace_back(*c.logon, 0);
    }
    ASSERT_EQ(os.restricted_tokens.size(), 1u);
    EXPECT_EQ(os.restricted_tokens[0].restricting, expected);
    EXPECT_EQ(os.live_allocations(), 1u);
  }
}

TEST(RestrictedToken, DefaultDaclNamesTheUnrestrictedUserAndTheSandbox) {
  SimulatedOs os;
  os.token.user = "S-1-5-21-7-8-9-500";
  const SandboxIdentity identity =
      identity_in(os, "S-1-5-21-1868805269-3114411757-4043673337-2385440343");
  const auto token = build_restricted_token(os, identity);
  ASSERT_TRUE(token) << token.error().message;
  EXPECT_EQ(os.restricted_tokens[0].default_dacl,
            "D:(A;;GA;;;S-1-5-21-7-8-9-500)(A;;GA;;;SY)"
            "(A;;GA;;;S-1-5-21-1868805269-3114411757-4043673337-2385440343)");
}

// Records the buffer and length of every GetTokenInformation.
class TokenReadRecordingOs : public SimulatedOs {
public:
  struct Read {
    const void* buffer;
    std::uint32_t length, needed;
  };
  std::vector<Read> reads;

  OsResult<void> get_token_information(Handle handle, std::uint32_t information_class, void* buffer,
                                       std::uint32_t length, std::uint32_t& needed) override {
    const auto result =
        SimulatedOs::get_token_information(handle, information_class, buffer, length, needed);
    reads.push_back({buffer, length, needed});
    return result;
  }
};

TEST(RestrictedToken, TokenInformationGoesIntoAnAlignedZeroedBufferOfTheNeededLength) {
  struct Case {
    std::uint32_t information_class;
    Sids groups;
    std::uint32_t needed;     // what the simulated system asks for
    std::size_t buffer_bytes; // that, rounded up to a multiple of 8
    std::size_t written;      // the structure it lays out at the start
  };
  const Sids two = {{"S-1-1-0", 7}, {"S-1-2-0", 7}};
  const Case cases[] = {
      {win::TokenUser, two, 44, 48, sizeof(TOKEN_USER)},
      {win::TokenGroups, SimulatedOs().token.groups, 100, 104, 8 + 3 * sizeof(SID_AND_ATTRIBUTES)},
      {win::TokenGroups, two, 64, 64, 8 + 2 * sizeof(SID_AND_ATTRIBUTES)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.needed);
    TokenReadRecordingOs os;
    os.token.groups = c.groups;
    const auto own = os.open_process_token(0x8B);
    ASSERT_TRUE(own);
    const auto buffer = read_token_information(os, *own, c.information_class, "x");
    ASSERT_TRUE(buffer) << buffer.error().message;
    ASSERT_EQ(os.reads.size(), 2u);
    EXPECT_EQ(os.reads[0].buffer, nullptr);
    EXPECT_EQ(os.reads[0].length, 0u);
    EXPECT_EQ(os.reads[0].needed, c.needed);
    EXPECT_EQ(buffer->size() * 8, c.buffer_bytes);
    EXPECT_EQ(os.reads[1].buffer, buffer->data());
    EXPECT_EQ(os.reads[1].length, c.needed);
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer->data());
    for (std::size_t i = c.written; i < buffer->size() * 8; ++i) {
      EXPECT_EQ(bytes[i], 0) << "byte " << i;
    }
    os.close_handle(*own);
  }
}

TEST(RestrictedToken, EveryFailingCallReleasesEverythingAndReturnsNoToken) {
  struct Case {
    const char* method;
    int nth;
    std::string context;
  };
  const std::string sddl =
      "D:(A;;GA;;;S-1-5-21-1-2-3-1001)(A;;GA;;;SY)(A;;GA;;;" + kSandboxSid + ")";
  const std::vector<Case> cases = {
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

  // The table holds every call of a successful build that can fail, in order.
  {
    SimulatedOs os;
    const SandboxIdentity identity = identity_in(os);
    const std::size_t start = os.call_log().size();
    ASSERT_TRUE(build_restricted_token(os, identity));
    const std::set<std::string> infallible = {"close_handle", "local_free", "get_length_sid"};
    std::map<std::string, int> seen;
    std::vector<std::pair<std::string, int>> fallible;
    for (std::size_t i = start; i < os.call_log().size(); ++i) {
      const std::string& method = os.call_log()[i];
      if (!infallible.contains(method)) {
        fallible.emplace_back(method, ++seen[method]);
      }
    }
    std::vector<std::pair<std::string, int>> tabled;
    for (const Case& c : cases) {
      tabled.emplace_back(c.method, c.nth);
    }
    EXPECT_EQ(fallible, tabled);
  }

  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " #" + std::to_string(c.nth));
    SimulatedOs os;
    const SandboxIdentity identity = identity_in(os);
    os.fail_call(c.method, c.nth, win::ERROR_ACCESS_DENIED);
    const auto token = build_restricted_token(os, identity);
    ASSERT_FALSE(token);
    EXPECT_EQ(token.error().message, c.context + ": Access is denied. (os error 5)");
    EXPECT_EQ(os.open_handles(), 0u);
    EXPECT_EQ(os.live_allocations(), 1u); // the identity's SID, which stays the caller's
  }
}

} // namespace
} // namespace obrex
