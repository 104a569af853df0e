#include "filesystem/access_grants.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "filesystem/labels.h"
#include "identity/security_conversions.h"
#include "platform/constants.h"
#include "support/simulated_os.h"

namespace obrex {
namespace {

using test::SimulatedOs;

constexpr const char* kSidText = "S-1-5-21-10-20-30-1";
constexpr const char* kDefaultDacl = "D:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
constexpr const char* kGrantedDacl =
    "D:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-10-20-30-1)";

class AccessGrantsTest : public testing::Test {
protected:
  void SetUp() override {
    auto made = sid_from_text(os, kSidText);
    ASSERT_TRUE(made);
    sid = std::move(*made);
  }

  Result<void> prepare(const std::vector<std::string>& write_dirs) {
    return prepare_write_paths(os, write_dirs, sid.get(), kSidText);
  }

  // Nothing is left open or allocated but the sandbox SID.
  void expect_nothing_held() {
    EXPECT_EQ(os.live_allocations(), 1u);
    EXPECT_EQ(os.open_handles(), 0u);
  }

  SimulatedOs os;
  LocalMemory<SidPtr> sid;
};

TEST_F(AccessGrantsTest, LabelsThenGrantsEachExistingPath) {
  os.add_directory(u"C:\\w");
  os.add_file(u"C:\\notes.txt");
  ASSERT_TRUE(prepare({"C:\\w", "C:\\missing", "C:\\notes.txt"}));
  for (const char16_t* path : {u"C:\\w", u"C:\\notes.txt"}) {
    EXPECT_EQ(os.find(path)->label, "S:(ML;OICI;NW;;;LW)");
    EXPECT_EQ(os.find(path)->dacl, kGrantedDacl);
  }
  EXPECT_EQ(os.find(u"C:\\missing"), nullptr);

  ASSERT_EQ(os.explicit_accesses.size(), 2u);
  for (const EXPLICIT_ACCESS_W& entry : os.explicit_accesses) {
    EXPECT_EQ(entry.grfAccessPermissions, 0x1F01FFu);
    EXPECT_EQ(entry.grfAccessMode, 1u);  // GRANT_ACCESS
    EXPECT_EQ(entry.grfInheritance, 3u); // objects and containers, files alike
    EXPECT_EQ(entry.Trustee.pMultipleTrustee, nullptr);
    EXPECT_EQ(entry.Trustee.MultipleTrusteeOperation, 0u);
    EXPECT_EQ(entry.Trustee.TrusteeForm, 0u); // TRUSTEE_IS_SID
    EXPECT_EQ(entry.Trustee.TrusteeType, 0u); // TRUSTEE_IS_UNKNOWN
    EXPECT_EQ(entry.Trustee.ptstrName, sid.get().value);
  }

  // One path is finished, label before grant, before the next is begun.
  std::vector<std::string> writes;
  for (const std::string& call : os.call_log()) {
    if (call == "set_named_security_info" || call == "set_entries_in_acl") {
      writes.push_back(call);
    }
  }
  const std::vector<std::string> expected = {"set_named_security_info", "set_entries_in_acl",
                                             "set_named_security_info", "set_named_security_info",
                                             "set_entries_in_acl",      "set_named_security_info"};
  EXPECT_EQ(writes, expected);
  expect_nothing_held();
}

TEST_F(AccessGrantsTest, ASecondPassAndARepeatedPathWriteNothing) {
  os.add_directory(u"C:\\w");
  ASSERT_TRUE(prepare({"C:\\w", "C:\\w"}));
  EXPECT_EQ(os.calls("set_named_security_info"), 2); // one label, one DACL
  EXPECT_EQ(os.calls("set_entries_in_acl"), 1);
  ASSERT_TRUE(prepare({"C:\\w"}));
  EXPECT_EQ(os.calls("set_named_security_info"), 2);
  EXPECT_EQ(os.calls("set_entries_in_acl"), 1);
  EXPECT_EQ(os.find(u"C:\\w")->dacl, kGrantedDacl);
  expect_nothing_held();
}

TEST_F(AccessGrantsTest, ADenyAfterTheWriteKeepsTheGrant) {
  os.add_directory(u"C:\\w");
  ASSERT_TRUE(prepare({"C:\\w"}));
  ASSERT_TRUE(protect_denied_paths(os, {"C:\\w"}));
  EXPECT_EQ(os.find(u"C:\\w")->label, "S:(ML;OICI;NWNR;;;ME)");
  EXPECT_EQ(os.find(u"C:\\w")->dacl, kGrantedDacl);
  expect_nothing_held();
}

TEST_F(AccessGrantsTest, AFailureOnTheSecondPathKeepsTheFirstPathsChanges) {
  os.add_directory(u"C:\\a");
  os.add_directory(u"C:\\b");
  os.fail_call("set_named_security_info", 3, win::ERROR_ACCESS_DENIED); // C:\b's label
  const auto result = prepare({"C:\\a", "C:\\b"});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, "cannot label C:\\b: Access is denied. (os error 5)");
  EXPECT_EQ(os.find(u"C:\\a")->label, "S:(ML;OICI;NW;;;LW)");
  EXPECT_EQ(os.find(u"C:\\a")->dacl, kGrantedDacl);
  EXPECT_EQ(os.find(u"C:\\b")->label, "");
  EXPECT_EQ(os.find(u"C:\\b")->dacl, kDefaultDacl);
  expect_nothing_held();
}

struct GrantFailure {
  const char* name;
  const char* method;
  int nth;
  OsCode code;
  const char* message;
  bool labelled; // the label written before the failure stays
};

class GrantFailureTest : public AccessGrantsTest,
                         public testing::WithParamInterface<GrantFailure> {};

TEST_P(GrantFailureTest, ReportsTheFailedCallAndReleasesTheBuffers) {
  const GrantFailure& c = GetParam();
  os.add_directory(u"C:\\w");
  os.fail_call(c.method, c.nth, c.code);
  const auto result = prepare({"C:\\w"});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, c.message);
  EXPECT_EQ(os.find(u"C:\\w")->label, c.labelled ? "S:(ML;OICI;NW;;;LW)" : "");
  EXPECT_EQ(os.find(u"C:\\w")->dacl, kDefaultDacl);
  expect_nothing_held();
}

// The calls on a fresh path: the label is read (get_named_security_info 1)
// and written (set_named_security_info 1), the DACL read as text (2), then
// read (3), extended and written (set_named_security_info 2).
INSTANTIATE_TEST_SUITE_P(
    Failures, GrantFailureTest,
    testing::Values(
        GrantFailure{"LabelRead", "get_named_security_info", 1, 0x80070005,
                     "cannot read the security of C:\\w: error 2147942405", false},
        GrantFailure{"DaclText", "convert_security_descriptor_to_string_security_descriptor", 2, 87,
                     "cannot format the security of C:\\w: The parameter is incorrect. (os "
                     "error 87)",
                     true},
        GrantFailure{"DaclRead", "get_named_security_info", 3, 5,
                     "cannot read the permissions of C:\\w: Access is denied. (os error 5)", true},
        GrantFailure{"ExtendStatus", "set_entries_in_acl", 1, 0x80070057,
                     "cannot extend the permissions of C:\\w: error 2147942487", true},
        GrantFailure{"WriteStatus", "set_named_security_info", 2, 0xC0000022,
                     "cannot grant the sandbox write access to C:\\w: error 3221225506", true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

struct MentionCase {
  const char* name;
  std::string dacl;
  bool mentioned;
};

class SidMentionTest : public AccessGrantsTest, public testing::WithParamInterface<MentionCase> {};

TEST_P(SidMentionTest, GrantsOnlyWhenTheWholeSidIsAbsent) {
  const MentionCase& c = GetParam();
  EXPECT_EQ(dacl_mentions_sid(c.dacl, kSidText), c.mentioned);

  os.add_directory(u"C:\\w").dacl = c.dacl;
  ASSERT_TRUE(prepare({"C:\\w"}));
  EXPECT_EQ(os.calls("set_entries_in_acl"), c.mentioned ? 0 : 1);
  const std::string& dacl = os.find(u"C:\\w")->dacl;
  EXPECT_EQ(dacl, c.mentioned ? c.dacl : c.dacl + "(A;OICI;FA;;;S-1-5-21-10-20-30-1)");
  expect_nothing_held();
}

INSTANTIATE_TEST_SUITE_P(
    Dacls, SidMentionTest,
    testing::Values(
        MentionCase{"Granted", "D:(A;OICI;FA;;;S-1-5-21-10-20-30-1)", true},
        MentionCase{"DenyEntry", "D:(D;OICI;FA;;;S-1-5-21-10-20-30-1)", true},
        MentionCase{"FewerRights", "D:(A;;0x1200a9;;;S-1-5-21-10-20-30-1)(A;;FA;;;SY)", true},
        MentionCase{"LongerSidOnly", "D:(A;OICI;FA;;;S-1-5-21-10-20-30-12)", false},
        MentionCase{"LongerSidWithDash", "D:(A;OICI;FA;;;S-1-5-21-10-20-30-1-500)", false},
        MentionCase{"LongerSidThenWhole",
                    "D:(A;OICI;FA;;;S-1-5-21-10-20-30-12)(A;;FR;;;S-1-5-21-10-20-30-1)", true},
        MentionCase{"AtTheEnd", "D:S-1-5-21-10-20-30-1", true},
        MentionCase{"Others", "D:(A;OICI;FA;;;BA)(A;OICI;FA;;;S-1-5-21-10-20-31-1)", false}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

} // namespace
} // namespace obrex
