#include "filesystem/labels.h"

#include <gtest/gtest.h>

#include "support/simulated_os.h"

namespace obrex {
namespace {

using test::SimulatedOs;

constexpr const char* kDeny = "S:(ML;OICI;NWNR;;;ME)";

TEST(EnsureLowWriteLabel, WritesOnlyWithoutTheMarker) {
  const std::pair<std::string, bool> cases[] = {
      {"S:(ML;OICIID;NW;;;LW)", false}, {"S:(ML;;NW;;;LW)", false},      {"", true},
      {"S:(ML;OICI;NW;;;ME)", true},    {"S:(ML;OICI;NWNR;;;LW)", true},
  };
  for (const auto& [label, written] : cases) {
    SimulatedOs os;
    os.add_directory(u"C:\\w").label = label;
    ASSERT_TRUE(ensure_low_write_label(os, "C:\\w"));
    EXPECT_EQ(os.find(u"C:\\w")->label, written ? "S:(ML;OICI;NW;;;LW)" : label);
    EXPECT_EQ(os.calls("set_named_security_info"), written ? 1 : 0);
  }
}

TEST(ProtectDeniedPaths, LabelsEveryExistingPathEveryTimeUntilOneFails) {
  SimulatedOs os;
  os.add_directory(u"C:\\secrets").label = kDeny;
  os.add_file(u"C:\\key.pem").label = "S:(ML;OICI;NW;;;LW)";
  os.add_directory(u"C:\\c");
  const std::vector<std::string> deny = {"C:\\missing", "C:\\secrets", "C:\\key.pem"};
  for (int run = 1; run <= 2; ++run) {
    ASSERT_TRUE(protect_denied_paths(os, deny));
    EXPECT_EQ(os.calls("set_named_security_info"), 2 * run);
    // The label is parsed anew for every path and never read first.
    EXPECT_EQ(os.calls("convert_string_security_descriptor_to_security_descriptor"), 2 * run);
    EXPECT_EQ(os.calls("get_named_security_info"), 0);
  }
  EXPECT_EQ(os.find(u"C:\\key.pem")->label, kDeny);

  os.fail_call("set_named_security_info", 2, 5u);
  const auto result = protect_denied_paths(os, {"C:\\key.pem", "C:\\secrets", "C:\\c"});
  EXPECT_EQ(result ? "(labelled)" : result.error().message,
            "cannot label C:\\secrets: Access is denied. (os error 5)");
  EXPECT_EQ(os.find(u"C:\\c")->label, "");
}

TEST(ApplyLabel, ReportsTheFailedCallAndReleasesTheDescriptor) {
  const std::pair<const char*, const char*> cases[] = {
      {"convert_string_security_descriptor_to_security_descriptor",
       "cannot parse S:(ML;OICI;NWNR;;;ME): Access is denied. (os error 5)"},
      {"get_security_descriptor_sacl",
       "cannot read the label to apply: Access is denied. (os error 5)"},
  };
  for (const auto& [method, message] : cases) {
    SimulatedOs os;
    os.add_directory(u"C:\\d");
    os.fail_call(method, 1, 5u);
    const auto result = apply_label(os, "C:\\d", kDenyLabel);
    EXPECT_EQ(result ? "(labelled)" : result.error().message, message);
    EXPECT_EQ(os.find(u"C:\\d")->label, "");
  }
}

} // namespace
} // namespace obrex
