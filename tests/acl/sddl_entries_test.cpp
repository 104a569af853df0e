#include "acl/sddl_entries.h"

#include <gtest/gtest.h>

namespace obrex {
namespace {

TEST(SplitSddlAcl, FindsEachEntryAndItsSidThroughNestedConditions) {
  struct Case {
    const char* name;
    const char* text;
    const char* header;
    std::vector<std::string> sids; // empty and `valid` false: not an ACL
    bool valid = true;
  };
  const Case cases[] = {
      {"flags and an inherited entry",
       "D:PAI(A;OICI;FA;;;BA)(A;OICIID;0x1200a9;;;S-1-5-21-1-2-3-4)",
       "D:PAI",
       {"BA", "S-1-5-21-1-2-3-4"}},
      {"a condition with nested and quoted parentheses",
       "D:(XA;;FA;;;S-1-5-21-1-2-3-4;(Member_of {SID(BA)} && (@User.x == \"a)b;\")))(A;;FA;;;SY)",
       "D:",
       {"S-1-5-21-1-2-3-4", "SY"}},
      {"a label", "S:(ML;OICI;NWNR;;;ME)", "S:", {"ME"}},
      {"a null DACL", "D:NO_ACCESS_CONTROL", "D:NO_ACCESS_CONTROL", {}},
      {"an entry left open", "D:(A;;FA;;;BA", "", {}, false},
      {"a quote left open", "D:(XA;;FA;;;WD;(@User.x == \"a))", "", {}, false},
      {"too few fields", "D:(A;;FA;;BA)", "", {}, false},
      {"text between entries", "D:(A;;FA;;;BA)x(A;;FA;;;SY)", "", {}, false},
      {"no part letter", "(A;;FA;;;BA)", "", {}, false},
      {"a parenthesis for the part letter", "(:A;;FA;;;BA)(A;;FA;;;SY)", "", {}, false},
  };
  for (const Case& c : cases) {
    const auto acl = split_sddl_acl(c.text);
    ASSERT_EQ(acl.has_value(), c.valid) << c.name;
    if (!acl) {
      continue;
    }
    EXPECT_EQ(acl->header, c.header) << c.name;
    std::vector<std::string> sids;
    std::string rejoined(acl->header);
    for (const SddlEntry& entry : acl->entries) {
      sids.emplace_back(entry.sid);
      rejoined += entry.text;
    }
    EXPECT_EQ(sids, c.sids) << c.name;
    EXPECT_EQ(rejoined, c.text) << c.name;
  }
  const auto conditional = split_sddl_acl(cases[1].text);
  EXPECT_EQ(conditional->entries[0].extra, ";(Member_of {SID(BA)} && (@User.x == \"a)b;\"))");
  EXPECT_TRUE(split_sddl_acl(cases[0].text)->entries[1].inherited());
}

TEST(IsSandboxLabel, OnlyTheExplicitLabelsTheLauncherWrites) {
  struct Case {
    const char* entry;
    bool sandbox;
  };
  const Case cases[] = {
      {"S:(ML;OICI;NW;;;LW)", true},      {"S:(ML;CIOI;0x1;;;S-1-16-4096)", true},
      {"S:(ML;OICI;NWNR;;;ME)", true},    {"S:(ML;OICI;NRNW;;;S-1-16-8192)", true},
      {"S:(ML;OICIID;NW;;;LW)", false}, // inherited from the parent
      {"S:(ML;;NW;;;LW)", false},         {"S:(ML;OICINP;NW;;;LW)", false},
      {"S:(ML;OICI;NWNR;;;LW)", false},   {"S:(ML;OICI;NW;;;ME)", false},
      {"S:(ML;OICI;NWNRNX;;;ME)", false}, {"S:(ML;OICI;NW;;;HI)", false},
  };
  for (const Case& c : cases) {
    const auto acl = split_sddl_acl(c.entry);
    ASSERT_TRUE(acl && acl->entries.size() == 1) << c.entry;
    EXPECT_EQ(is_sandbox_label(acl->entries[0]), c.sandbox) << c.entry;
  }
}

TEST(SddlAccessMask, ReadsNumbersAndRightNames) {
  struct Case {
    const char* rights;
    std::optional<std::uint32_t> mask;
  };
  const Case cases[] = {
      {"FA", 0x1F01FF}, {"0x1200a9", 0x1200A9}, {"FRFX", 0x1200A9},  {"2032127", 0x1F01FF},
      {"NWNR", 0x3},    {"ZZ", std::nullopt},   {"F", std::nullopt}, {"0x", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sddl_access_mask(c.rights), c.mask) << c.rights;
  }
}

} // namespace
} // namespace obrex
