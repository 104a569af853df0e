#include "filesystem/labels.h"

#include <gtest/gtest.h>

#include "platform/constants.h"
#include "support/simulated_os.h"

namespace obrex {
namespace {

using test::SimulatedOs;

struct MarkerCase {
  const char* name;
  std::string label;
  bool written;
};

class LowWriteLabelTest : public testing::TestWithParam<MarkerCase> {};

TEST_P(LowWriteLabelTest, WritesOnlyWithoutTheMarker) {
  const MarkerCase& c = GetParam();
  SimulatedOs os;
  os.add_directory(u"C:\\w").label = c.label;
  ASSERT_TRUE(ensure_low_write_label(os, "C:\\w"));
  EXPECT_EQ(os.calls("set_named_security_info"), c.written ? 1 : 0);
  EXPECT_EQ(os.find(u"C:\\w")->label, c.written ? "S:(ML;OICI;NW;;;LW)" : c.label);
  EXPECT_EQ(os.live_allocations(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Labels, LowWriteLabelTest,
                         testing::Values(MarkerCase{"Inherited", "S:(ML;OICIID;NW;;;LW)", false},
                                         MarkerCase{"NoFlags", "S:(ML;;NW;;;LW)", false},
                                         MarkerCase{"None", "", true},
                                         MarkerCase{"Medium", "S:(ML;OICI;NW;;;ME)", true},
                                         MarkerCase{"LowNoReadUp", "S:(ML;OICI;NWNR;;;LW)", true}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(ProtectDeniedPaths, LabelsEveryExistingPathEveryTime) {
  SimulatedOs os;
  os.add_directory(u"C:\\secrets").label = "S:(ML;OICI;NWNR;;;ME)";
  os.add_file(u"C:\\key.pem").label = "S:(ML;OICI;NW;;;LW)";
  const std::vector<std::string> deny = {"C:\\missing", "C:\\secrets", "C:\\no\\where",
                                         "C:\\key.pem"};
  for (int run = 1; run <= 2; ++run) {
    ASSERT_TRUE(protect_denied_paths(os, deny));
    EXPECT_EQ(os.calls("set_named_security_info"), 2 * run);
    // The label is parsed anew for every path and never read first.
    EXPECT_EQ(os.calls("convert_string_security_descriptor_to_security_descriptor"), 2 * run);
    EXPECT_EQ(os.calls("get_named_security_info"), 0);
  }
  EXPECT_EQ(os.find(u"C:\\secrets")->label, "S:(ML;OICI;NWNR;;;ME)");
  EXPECT_EQ(os.find(u"C:\\key.pem")->label, "S:(ML;OICI;NWNR;;;ME)");
  EXPECT_EQ(os.find(u"C:\\missing"), nullptr);
  EXPECT_EQ(os.live_allocations(), 0u);
  EXPECT_EQ(os.open_handles(), 0u);
}

TEST(ProtectDeniedPaths, StopsAtTheFirstFailureKeepingEarlierLabels) {
  SimulatedOs os;
  for (const char16_t* path : {u"C:\\a", u"C:\\b", u"C:\\c"}) {
    os.add_directory(path);
  }
  os.fail_call("set_named_security_info", 2, win::ERROR_ACCESS_DENIED);
  const auto result = protect_denied_paths(os, {"C:\\a", "C:\\b", "C:\\c"});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, "cannot label C:\\b: Access is denied. (os error 5)");
  EXPECT_EQ(os.find(u"C:\\a")->label, "S:(ML;OICI;NWNR;;;ME)");
  EXPECT_EQ(os.find(u"C:\\b")->label, "");
  EXPECT_EQ(os.find(u"C:\\c")->label, "");
  EXPECT_EQ(os.live_allocations(), 0u);
}

struct LabelFailure {
  const char* name;
  const char* method;
  OsCode code;
  const char* message;
};

class ApplyLabelTest : public testing::TestWithParam<LabelFailure> {};

TEST_P(ApplyLabelTest, ReportsTheFailedCallAndReleasesTheDescriptor) {
  const LabelFailure& c = GetParam();
  SimulatedOs os;
  os.add_directory(u"C:\\d");
  os.fail_call(c.method, 1, c.code);
  const auto result = apply_label(os, "C:\\d", kDenyLabel);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, c.message);
  EXPECT_EQ(os.find(u"C:\\d")->label, "");
  EXPECT_EQ(os.live_allocations(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ApplyLabelTest,
    testing::Values(
        LabelFailure{
            "Parse", "convert_string_security_descriptor_to_security_descriptor", 87,
            "cannot parse S:(ML;OICI;NWNR;;;ME): The parameter is incorrect. (os error 87)"},
        LabelFailure{"ReadSacl", "get_security_descriptor_sacl", 87,
                     "cannot read the label to apply: The parameter is incorrect. (os error 87)"},
        LabelFailure{"Write", "set_named_security_info", 5,
                     "cannot label C:\\d: Access is denied. (os error 5)"},
        LabelFailure{"WriteStatus", "set_named_security_info", 0x80070005,
                     "cannot label C:\\d: error 2147942405"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

} // namespace
} // namespace obrex
