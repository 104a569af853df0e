#include "filesystem/access_grants.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "core/security_conversions.h"
#include "filesystem/permissions_lock.h"
#include "platform/constants.h"
#include "support/simulated_os.h"

namespace obrex {
namespace {

constexpr const char* kSidText = "S-1-5-21-10-20-30-1";
constexpr const char* kDefaultDacl = "D:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
constexpr const char* kGrant = "(A;OICI;FA;;;S-1-5-21-10-20-30-1)";
constexpr const char* kLowLabel = "S:(ML;OICI;NW;;;LW)";
constexpr const char* kOtherGrant = "(A;OICI;FA;;;S-1-5-21-10-20-30-2)";

// A simulated system with the directory C:\w and the sandbox SID.
struct Grants : test::SimulatedOs {
  Grants() : sid(std::move(*sid_from_text(*this, kSidText))) { add_directory(u"C:\\w"); }

  Result<void> prepare(const std::vector<std::string>& write_dirs) {
    return prepare_write_paths(*this, write_dirs, sid.get(), kSidText,
                               get_known_folder_path_profile());
  }
  LocalMemory<SidPtr> sid;
};

TEST(PrepareWritePaths, LabelsThenGrantsEachExistingPathOnce) {
  Grants os;
  os.add_file(u"C:\\notes.txt");
  ASSERT_TRUE(os.prepare({"C:\\missing", "C:\\w", "C:\\notes.txt", "C:\\w"}));
  for (const char16_t* path : {u"C:\\w", u"C:\\notes.txt"}) {
    EXPECT_EQ(os.find(path)->label, kLowLabel);
    EXPECT_EQ(os.find(path)->dacl, std::string(kDefaultDacl) + kGrant);
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
    EXPECT_EQ(entry.Trustee.ptstrName, os.sid.get().value);
  }

  // One path is finished, label before grant, before the next is begun; the
  // path listed again is left alone.
  std::vector<std::string> writes;
  std::ranges::copy_if(os.call_log(), std::back_inserter(writes), [](const std::string& call) {
    return call == "set_named_security_info" || call == "set_entries_in_acl";
  });
  const std::vector<std::string> expected = {"set_named_security_info", "set_entries_in_acl",
                                             "set_named_security_info", "set_named_security_info",
                                             "set_entries_in_acl",      "set_named_security_info"};
  EXPECT_EQ(writes, expected);
}

TEST(PrepareWritePaths, AFailureOnTheSecondPathKeepsTheFirstPathsChanges) {
  Grants os;
  os.add_directory(u"C:\\b");
  os.fail_call("set_named_security_info", 3, 5u); // C:\b's label
  const auto result = os.prepare({"C:\\w", "C:\\b"});
  EXPECT_EQ(result ? "(prepared)" : result.error().message,
            "cannot label C:\\b: Access is denied. (os error 5)");
  EXPECT_EQ(os.find(u"C:\\w")->dacl, std::string(kDefaultDacl) + kGrant);
  EXPECT_EQ(os.find(u"C:\\b")->dacl, kDefaultDacl);
}

TEST(PrepareWritePaths, ReportsEachFailedCallAndReleasesTheBuffers) {
  // On a fresh path the label is read (get_named_security_info #1) and
  // written (set_named_security_info #1), the DACL read for its entries
  // (#2), then read (#3), extended and written (set_named_security_info #2).
  const std::tuple<const char*, int, OsCode, const char*, bool> cases[] = {
      {"get_named_security_info", 1, 0x80070005,
       "cannot read the security of C:\\w: error 2147942405", false},
      {"get_ace", 1, 87,
       "cannot read the permissions of C:\\w: The parameter is incorrect. (os error 87)", true},
      {"get_named_security_info", 3, 5,
       "cannot read the permissions of C:\\w: Access is denied. (os error 5)", true},
      {"set_entries_in_acl", 1, 0x80070057,
       "cannot extend the permissions of C:\\w: error 2147942487", true},
      {"set_named_security_info", 2, 0xC0000022,
       "cannot grant the sandbox write access to C:\\w: error 3221225506", true},
  };
  for (const auto& [method, nth, code, message, labelled] : cases) {
    Grants os;
    os.fail_call(method, nth, code);
    const auto result = os.prepare({"C:\\w"});
    EXPECT_EQ(result ? "(prepared)" : result.error().message, message);
    // A label written before the failure stays.
    EXPECT_EQ(os.find(u"C:\\w")->label, labelled ? kLowLabel : "");
    EXPECT_EQ(os.find(u"C:\\w")->dacl, kDefaultDacl);
  }
}

TEST(PrepareWritePaths, ANullDaclIsLeftAloneAndAnEmptyOneGetsTheEntry) {
  struct Case {
    const char* dacl;
    std::string after;
    int dacl_writes;
  };
  for (const Case& c : {Case{"D:NO_ACCESS_CONTROL", "D:NO_ACCESS_CONTROL", 0},
                        Case{"D:", std::string("D:") + kGrant, 1}}) {
    Grants os;
    os.find(u"C:\\w")->dacl = c.dacl;
    ASSERT_TRUE(os.prepare({"C:\\w"}));
    EXPECT_EQ(os.find(u"C:\\w")->dacl, c.after);
    EXPECT_EQ(os.find(u"C:\\w")->label, kLowLabel); // the label step is unchanged
    EXPECT_EQ(os.calls("set_entries_in_acl"), c.dacl_writes) << c.dacl;
    EXPECT_EQ(os.calls("set_named_security_info"), 1 + c.dacl_writes) << c.dacl;
  }
}

// Only the very entry this program writes counts as a grant already made;
// a deny entry for the SID, wherever it comes from, fails the path rather
// than let a grant beside it be cancelled.
TEST(PrepareWritePaths, FindsTheExactGrantAndRefusesBesideADenyEntry) {
  const std::string denied = "cannot grant the sandbox write access to C:\\w: a deny entry for "
                             "S-1-5-21-10-20-30-1 stands in its DACL";
  const std::pair<std::string, std::string> cases[] = {
      {"D:(A;;FA;;;SY)(A;OICI;FA;;;S-1-5-21-10-20-30-1)", "granted"},
      {"D:(A;OICIID;FA;;;S-1-5-21-10-20-30-1)", ""},               // an inherited copy
      {"D:(A;OICIIO;FA;;;S-1-5-21-10-20-30-1)", ""},               // inherit-only
      {"D:(A;CI;FA;;;S-1-5-21-10-20-30-1)", ""},                   // other flags
      {"D:(A;OICI;0x1200a9;;;S-1-5-21-10-20-30-1)", ""},           // fewer rights
      {"D:(A;OICI;FA;;;S-1-5-21-10-20-30-1;+4)", ""},              // bytes after the SID
      {"D:(XA;OICI;FA;;;S-1-5-21-10-20-30-1;(@User.x == 1))", ""}, // a condition
      {"D:(A;OICI;FA;;;S-1-5-21-10-20-30-12)", ""},                // a longer SID
      {"D:(D;OICI;FA;;;S-1-5-21-10-20-30-1)", denied},
      {"D:(A;OICI;FA;;;S-1-5-21-10-20-30-1)(D;IO;FA;;;S-1-5-21-10-20-30-1)", denied},
      {"D:(XD;;FA;;;S-1-5-21-10-20-30-1;(@User.x == 1))", denied},
  };
  for (const auto& [dacl, outcome] : cases) {
    Grants os;
    os.find(u"C:\\w")->dacl = dacl;
    const auto result = os.prepare({"C:\\w"});
    EXPECT_EQ(result ? "" : result.error().message, outcome == denied ? denied : "") << dacl;
    EXPECT_EQ(os.find(u"C:\\w")->dacl, outcome.empty() ? dacl + kGrant : dacl);
    EXPECT_EQ(os.find(u"C:\\w")->label, kLowLabel) << dacl; // labelled first all the same
  }
}

// Another run's grant, for the SID ...-2, written from a read it made before
// this run wrote: it lands between this run's write and the read that checks
// it, and this run's entry is gone.
TEST(PrepareWritePaths, WritesAgainWhenAnotherRunsWriteRemovedTheGrant) {
  struct Case {
    int overwrites; // how many of this run's writes another write undoes
    const char* message;
    int grants;
  };
  const Case cases[] = {
      {1, "", 2},
      {3,
       "cannot keep the sandbox's write access to C:\\w: another program rewrote its permissions "
       "3 times",
       3},
  };
  for (const Case& c : cases) {
    Grants os;
    // Reads: the label (#1), the DACL as text (#2), then per attempt the
    // DACL to extend and the check after the write.
    for (int attempt = 0; attempt < c.overwrites; ++attempt) {
      os.before_call("get_named_security_info", 4 + 2 * attempt,
                     [&os] { os.find(u"C:\\w")->dacl = std::string(kDefaultDacl) + kOtherGrant; });
    }
    const auto result = os.prepare({"C:\\w"});
    EXPECT_EQ(result ? "" : result.error().message, c.message);
    if (!*c.message) {
      EXPECT_EQ(os.find(u"C:\\w")->dacl, std::string(kDefaultDacl) + kOtherGrant + kGrant);
    }
    EXPECT_EQ(os.calls("set_entries_in_acl"), c.grants);
  }
}

// Runs of the launcher and revokes take turns at a DACL through one lock
// that a sandboxed command can neither take nor hold up: taken only for a
// grant that is written, held from the read through the check after the
// write, waited for at most once, and given back. A grant that goes on
// without it is still written and checked.
TEST(PrepareWritePaths, WritesEachGrantHoldingTheLockThatNoSandboxCanTake) {
  struct Case {
    const char* lock;
    int locks, waits, unlocks;
  };
  const Case cases[] = {
      {"free", 2, 0, 2},
      {"held elsewhere", 1, 1, 0},
      {"freed during the wait", 2, 1, 2},
      {"freed as the wait times out", 2, 1, 2},
      {"not to be had", 0, 0, 0},
  };
  const std::u16string lock_path = PermissionsLock::path_in(u"C:\\Users\\sandboxer");
  for (const Case& c : cases) {
    const std::string lock = c.lock;
    Grants os;
    os.add_directory(u"C:\\v");
    const auto release = [&] { os.find(lock_path)->locked_elsewhere = false; };
    if (lock != "free" && lock != "not to be had") {
      os.add_file(lock_path).locked_elsewhere = true;
    }
    if (lock == "freed during the wait") {
      os.before_call("wait_for_single_object", 1, release);
    } else if (lock == "freed as the wait times out") {
      os.before_call("cancel_io_ex", 1, release);
    } else if (lock == "not to be had") {
      os.profile = std::nullopt;
    }
    ASSERT_TRUE(os.prepare({"C:\\w", "C:\\v"})) << lock;
    for (const char16_t* path : {u"C:\\w", u"C:\\v"}) {
      EXPECT_EQ(os.find(path)->dacl, std::string(kDefaultDacl) + kGrant) << lock;
    }
    // Per path: the label read and written, the DACL read, read again,
    // written and checked, with the lock or without it.
    EXPECT_EQ(os.calls("get_named_security_info"), 8) << lock;
    EXPECT_EQ(os.calls("set_named_security_info"), 4) << lock;
    EXPECT_EQ(os.calls("lock_file_ex"), c.locks) << lock;
    EXPECT_EQ(os.calls("wait_for_single_object"), c.waits) << lock;
    EXPECT_EQ(os.calls("unlock_file_ex"), c.unlocks) << lock;
    if (lock == "free") {
      // Made by this run: labelled against Low integrity.
      EXPECT_EQ(os.find(lock_path)->label, "S:(ML;;NWNR;;;ME)");
      // Between taking and giving back the lock: the read, the write and
      // the check of one path.
      std::vector<std::string> turn;
      const auto& log = os.call_log();
      const auto taken = std::ranges::find(log, "lock_file_ex");
      std::copy_if(
          taken, std::find(taken, log.end(), "unlock_file_ex"), std::back_inserter(turn),
          [](const std::string& call) { return call.find("security_info") != std::string::npos; });
      EXPECT_EQ(turn,
                (std::vector<std::string>{"get_named_security_info", "set_named_security_info",
                                          "get_named_security_info"}));
    }

    // Once granted, later runs take no lock at all.
    ASSERT_TRUE(os.prepare({"C:\\w", "C:\\v"}));
    EXPECT_EQ(os.calls("lock_file_ex"), c.locks) << lock;
  }
}

} // namespace
} // namespace obrex
