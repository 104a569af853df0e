#include "acl/acl_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <map>
#include <regex>

#include "filesystem/permissions_lock.h"
#include "identity/sandbox_identity.h"
#include "platform/constants.h"
#include "platform/text.h"
#include "support/simulated_os.h"

namespace obrex {
namespace {

using test::SimFile;

// A machine with two project directories and the tool's command line.
struct Machine : test::SimulatedOs {
  Machine() {
    standard_output_expected = true;
    add_directory(u"C:\\proj").file_id[0] = 1;
    add_directory(u"C:\\other").file_id[0] = 2;
  }

  struct Outcome {
    std::uint32_t status;
    std::string out;
    std::string err;
  };
  Outcome run(const std::u16string& arguments) {
    command_line = u"obrex-sandbox-acl.exe " + arguments;
    output_written.clear();
    bytes_written.clear();
    const std::uint32_t status = run_acl_program(*this);
    return {status, output_written, bytes_written};
  }
};

// The SIDs of the projects, derived on a machine of their own.
std::string sid_of(const std::string& project, bool read_only) {
  Machine os;
  const auto identity = derive_sandbox_identity(
      os, project, read_only ? std::vector{project} : std::vector<std::string>{});
  return identity ? identity->sid_text : "(none)";
}

// The text with {P}, {R} and {O} replaced by the sandbox and read-only SIDs
// of C:\proj and the sandbox SID of C:\other.
std::string fill(std::string text) {
  static const std::map<std::string, std::string> sids = {
      {"{P}", sid_of("C:\\proj", false)},
      {"{R}", sid_of("C:\\proj", true)},
      {"{O}", sid_of("C:\\other", false)},
  };
  for (const auto& [placeholder, sid] : sids) {
    for (std::size_t at; (at = text.find(placeholder)) != std::string::npos;) {
      text.replace(at, placeholder.size(), sid);
    }
  }
  return text;
}

TEST(AclSid, PrintsBothSidsOfEachProjectAndReportsTheOnesItCannotDerive) {
  Machine os;
  const auto outcome = os.run(u"sid C:\\proj C:\\missing C:\\other");
  EXPECT_EQ(outcome.out,
            fill("{P}\t{R}\tC:\\proj\n{O}\t") + sid_of("C:\\other", true) + "\tC:\\other\n");
  EXPECT_EQ(outcome.err, "obrex-sandbox-acl: cannot open C:\\missing: The system cannot find the "
                         "file specified. (os error 2)\n");
  EXPECT_EQ(outcome.status, 1u);
  EXPECT_NE(sid_of("C:\\proj", false), sid_of("C:\\proj", true));
}

// Without --project, show lists what a command may have added by itself:
// every explicit allow entry but the user's, SYSTEM's and Administrators',
// and every entry of a SID that names no account. An OWNER RIGHTS entry is
// shown and marked either way.
TEST(AclShow, ListsTheLabelAndTheProjectsOrWhatACommandMayHaveAdded) {
  Machine os;
  os.accounts.insert("S-1-5-21-1-2-3-1002");
  SimFile& w = os.add_directory(u"C:\\w");
  w.label = "S:(ML;OICI;NW;;;LW)";
  w.dacl = fill("D:AI(A;OICI;FA;;;{P})(A;OICIID;0x1200a9;;;{R})(A;OICI;FA;;;{O})"
                "(D;;FA;;;S-1-5-21-9-9-9-9)(A;;FA;;;S-1-5-21-1-2-3-1001)(A;OICIID;FA;;;BA)"
                "(A;OICI;FA;;;WD)(A;;0x1301bf;;;S-1-5-5-0-123456)(A;OICIID;FA;;;AU)(A;;FA;;;BU)"
                "(D;;FA;;;WD)(A;;FA;;;S-1-5-11)(A;;FA;;;SY)(A;;FA;;;BA)"
                "(A;;FA;;;S-1-5-21-1-2-3-1002)(D;OICI;RCWDWO;;;OW)");
  const std::string owner_rights = "C:\\w\tentry\tS-1-3-4\tdeny\t0x000e0000\tOICI\texplicit\tOWNER "
                                   "RIGHTS\treplaces the owner's implied rights\n";
  struct Case {
    const char* name;
    std::u16string arguments;
    std::string out;
  };
  const Case cases[] = {
      {"by project", u"show --project C:\\proj C:\\w",
       fill("C:\\w\tlabel\tLow\tNW\tOICI\texplicit\tbelow Medium\n"
            "C:\\w\tentry\t{P}\tallow\t0x001f01ff\tOICI\texplicit\tsandbox SID of C:\\proj\n"
            "C:\\w\tentry\t{R}\tallow\t0x001200a9\tOICI\tinherited\tread-only SID of C:\\proj\n") +
           owner_rights},
      {"without a project", u"show C:\\w",
       fill("C:\\w\tlabel\tLow\tNW\tOICI\texplicit\tbelow Medium\n"
            "C:\\w\tentry\t{P}\tallow\t0x001f01ff\tOICI\texplicit\tno account\n"
            "C:\\w\tentry\t{O}\tallow\t0x001f01ff\tOICI\texplicit\tno account\n"
            "C:\\w\tentry\tS-1-5-21-9-9-9-9\tdeny\t0x001f01ff\t-\texplicit\tno account\n"
            "C:\\w\tentry\tS-1-1-0\tallow\t0x001f01ff\tOICI\texplicit\tEveryone\n"
            "C:\\w\tentry\tS-1-5-5-0-123456\tallow\t0x001301bf\t-\texplicit\tlogon SID\n"
            "C:\\w\tentry\tS-1-5-32-545\tallow\t0x001f01ff\t-\texplicit\tUsers\n"
            "C:\\w\tentry\tS-1-5-11\tallow\t0x001f01ff\t-\texplicit\tAuthenticated Users\n"
            "C:\\w\tentry\tS-1-5-21-1-2-3-1002\tallow\t0x001f01ff\t-\texplicit\taccount\n") +
           owner_rights},
  };
  for (const Case& c : cases) {
    const auto outcome = os.run(c.arguments);
    EXPECT_EQ(outcome.out, c.out) << c.name;
    EXPECT_EQ(outcome.err, "") << c.name;
    EXPECT_EQ(outcome.status, 0u) << c.name;
  }
  EXPECT_EQ(os.calls("set_security_info"), 0);
  // Each SID is looked up once: {P}, {O}, the unknown SID, Everyone for its
  // deny entry and the other account.
  EXPECT_EQ(os.calls("lookup_account_sid"), 5);
}

TEST(AclShow, RecursesWithoutFollowingLinksAndReportsOnlyExplicitLabelsAndEntries) {
  Machine os;
  os.add_directory(u"C:\\t");
  os.add_directory(u"C:\\t\\a").label = "S:(ML;OICI;NWNR;;;ME)";
  os.add_file(u"C:\\t\\a\\f").label = "S:(ML;OICIID;NWNR;;;ME)";
  os.add_file(u"C:\\t\\b\\c").dacl = fill("D:(A;;FA;;;{P})(A;;FA;;;BA)");
  // A protected DACL inherits nothing: an entry marked inherited there is
  // someone's own, hidden as inherited.
  os.add_file(u"C:\\t\\g").dacl = fill("D:P(A;OICIID;FA;;;{P})");
  os.add_file(u"C:\\t\\h").dacl = fill("D:(A;OICIID;FA;;;{P})");
  SimFile& link = os.add_directory(u"C:\\t\\link");
  link.reparse_tag = 0xA0000003u;
  link.dacl = fill("D:(A;;FA;;;{P})");
  const auto outcome = os.run(u"show --recurse --project C:\\proj C:\\t");
  EXPECT_EQ(
      outcome.out,
      fill("C:\\t\tlabel\tnone\n"
           "C:\\t\\a\tlabel\tMedium\tNWNR\tOICI\texplicit\n"
           "C:\\t\\b\\c\tentry\t{P}\tallow\t0x001f01ff\t-\texplicit\tsandbox SID of C:\\proj\n"
           "C:\\t\\g\tentry\t{P}\tallow\t0x001f01ff\tOICI\texplicit\tsandbox SID of C:\\proj\n"
           "C:\\t\\link\tnot followed\tjunction\n"));
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(outcome.status, 0u);
}

long occurrences(std::string_view text, std::string_view part) {
  long found = 0;
  for (auto at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1)) {
    ++found;
  }
  return found;
}

// The state of one path: its DACL and its label.
struct Security {
  std::string dacl;
  std::string label;
  friend bool operator==(const Security&, const Security&) = default;
};

TEST(AclRevoke, RemovesOnlyTheExactGrantsOfTheSidsAndTheLabelsAskedFor) {
  struct Case {
    const char* name;
    std::string options; // before the path; {P}, {R}, {O} filled in
    Security before;
    Security after;
    std::size_t removed; // lines printed for removals
    std::size_t kept;    // lines printed for entries of the SIDs left in place
  };
  const std::string project = "--project C:\\proj";
  const Case cases[] = {
      {"both SIDs' explicit grants, not the inherited one or another project's",
       project,
       {"D:AI(A;OICI;FA;;;{P})(A;OICIID;FA;;;{P})(A;OICI;FA;;;{O})(A;OICIID;FA;;;BA)"
        "(A;OICI;0x1f01ff;;;{R})",
        "S:(ML;OICI;NW;;;LW)"},
       {"D:AI(A;OICIID;FA;;;{P})(A;OICI;FA;;;{O})(A;OICIID;FA;;;BA)", "S:(ML;OICI;NW;;;LW)"},
       2,
       0},
      {"only the very grant the launcher writes; its look-alikes stay, byte for byte",
       project,
       {"D:(D;OICI;FA;;;{P})(A;CI;FA;;;{P})(A;OICI;0x1200a9;;;{R})(A;OICI;FA;;;{R};+4)"
        "(A;OICI;FA;;;{P})(XA;OICI;FA;;;{P};(@User.x == 1))(OA;OICI;FA;;;{R})(#42;;;;;)"
        "(A;OICI;FA;;;{O})(A;OICIID;FA;;;{P})(A;;FA;;;SY)",
        ""},
       {"D:(D;OICI;FA;;;{P})(A;CI;FA;;;{P})(A;OICI;0x1200a9;;;{R})(A;OICI;FA;;;{R};+4)"
        "(XA;OICI;FA;;;{P};(@User.x == 1))(OA;OICI;FA;;;{R})(#42;;;;;)"
        "(A;OICI;FA;;;{O})(A;OICIID;FA;;;{P})(A;;FA;;;SY)",
        ""},
       1,
       6},
      {"an entry marked inherited in a protected DACL is someone's own: kept and listed",
       project,
       {"D:P(A;OICIID;FA;;;{P})(A;OICI;FA;;;{P})(A;;FA;;;SY)", ""},
       {"D:P(A;OICIID;FA;;;{P})(A;;FA;;;SY)", ""},
       1,
       1},
      {"the grant beside conditional entries whose literals hold parentheses",
       project,
       {"D:(XA;;FA;;;{O};(@User.x == \"(\"))(A;OICI;FA;;;{P})(XA;OICI;FA;;;{P};(@User.x == "
        "\")\"))",
        ""},
       {"D:(XA;;FA;;;{O};(@User.x == \"(\"))(XA;OICI;FA;;;{P};(@User.x == \")\"))", ""},
       1,
       1},
      {"the grants of SIDs given with --sid",
       "--sid {O} --sid {R}",
       {"D:(A;OICI;FA;;;{O})(A;OICI;FA;;;{P})(A;OICI;FA;;;{R})(A;;FA;;;SY)", ""},
       {"D:(A;OICI;FA;;;{P})(A;;FA;;;SY)", ""},
       2,
       0},
      {"the write label with --labels, in the same write",
       project + " --labels",
       {"D:P(A;OICI;FA;;;{P})(A;;FA;;;SY)", "S:(ML;OICI;NW;;;LW)"},
       {"D:P(A;;FA;;;SY)", ""},
       2,
       0},
      {"a deny label with --deny-labels, whichever project wrote it",
       "--deny-labels",
       {"D:(A;;FA;;;SY)", "S:(ML;OICI;NWNR;;;ME)"},
       {"D:(A;;FA;;;SY)", ""},
       1,
       0},
      {"no deny label with --labels",
       "--labels",
       {"D:(A;;FA;;;SY)", "S:(ML;OICI;NWNR;;;ME)"},
       {"D:(A;;FA;;;SY)", "S:(ML;OICI;NWNR;;;ME)"},
       0,
       0},
      {"no write label with --deny-labels",
       "--deny-labels",
       {"D:(A;;FA;;;SY)", "S:(ML;OICI;NW;;;LW)"},
       {"D:(A;;FA;;;SY)", "S:(ML;OICI;NW;;;LW)"},
       0,
       0},
      {"no other label",
       "--labels --deny-labels",
       {"D:(A;;FA;;;SY)", "S:(ML;OICI;NW;;;HI)"},
       {"D:(A;;FA;;;SY)", "S:(ML;OICI;NW;;;HI)"},
       0,
       0},
      {"no inherited label",
       "--labels",
       {"D:(A;;FA;;;SY)", "S:(ML;OICIID;NW;;;LW)"},
       {"D:(A;;FA;;;SY)", "S:(ML;OICIID;NW;;;LW)"},
       0,
       0},
  };
  for (const Case& c : cases) {
    Machine os;
    SimFile& w = os.add_directory(u"C:\\w");
    w.dacl = fill(c.before.dacl);
    w.label = c.before.label;
    const std::u16string arguments = utf8_to_utf16("revoke " + fill(c.options) + " C:\\w");
    const auto first = os.run(arguments);
    EXPECT_EQ((Security{w.dacl, w.label}), (Security{fill(c.after.dacl), c.after.label})) << c.name;
    EXPECT_EQ(std::ranges::count(first.out, '\n'), static_cast<long>(c.removed + c.kept))
        << c.name << ": " << first.out;
    EXPECT_EQ(occurrences(first.out, "\tkept entry\t"), static_cast<long>(c.kept)) << c.name;
    EXPECT_EQ(first.err, "") << c.name;
    EXPECT_EQ(first.status, 0u) << c.name;
    EXPECT_EQ(os.calls("set_security_info"), c.removed > 0 ? 1 : 0) << c.name;

    // Nothing is left to remove the second time: nothing is written.
    const auto second = os.run(arguments);
    EXPECT_EQ(std::ranges::count(second.out, '\n'), static_cast<long>(c.kept)) << c.name;
    EXPECT_EQ(second.status, 0u) << c.name;
    EXPECT_EQ(os.calls("set_security_info"), c.removed > 0 ? 1 : 0) << c.name;
  }
}

// Names that the plain Win32 form cannot reach ("x." names "x" there, a name
// with an unpaired surrogate has no UTF-8 form) are revoked all the same.
TEST(AclRevoke, PrintsEachRemovalAndRecursesToEveryNameWithoutFollowingLinks) {
  Machine os;
  SimFile& w = os.add_directory(u"C:\\w");
  w.dacl = fill("D:(A;OICI;FA;;;{P})(A;;FA;;;SY)");
  w.label = "S:(ML;OICI;NW;;;LW)";
  os.add_file(u"C:\\w\\sub\\f").dacl = fill("D:(A;OICIID;FA;;;{P})(A;OICI;FA;;;{R})");
  SimFile& link = os.add_directory(u"C:\\w\\link");
  link.reparse_tag = 0xA000000Cu;
  link.dacl = fill("D:(A;OICI;FA;;;{P})");
  const std::string granted = fill("D:(A;OICI;FA;;;{P})(A;;FA;;;SY)");
  os.add_file(u"C:\\w\\x").dacl = "D:(A;;FA;;;SY)";
  const std::u16string odd[] = {u"\\\\?\\C:\\w\\x.", u"\\\\?\\C:\\w\\y ", u"C:\\w\\z\xD800"};
  for (const std::u16string& path : odd) {
    os.add_file(path).dacl = granted;
  }
  const auto outcome = os.run(u"revoke --project C:\\proj --labels --recurse C:\\w");
  const std::string removed = fill("\tremoved entry\t{P}\tallow\t0x001f01ff\tOICI\tsandbox SID of "
                                   "C:\\proj\n");
  EXPECT_EQ(outcome.out, "C:\\w" + removed + "C:\\w\tremoved label\tLow\tNW\tOICI\n" +
                             "C:\\w\\link\tnot followed\tsymbolic link\n" +
                             fill("C:\\w\\sub\\f\tremoved entry\t{R}\tallow\t0x001f01ff\tOICI\t"
                                  "read-only SID of C:\\proj\n") +
                             "C:\\w\\x." + removed + "C:\\w\\y " + removed +
                             "C:\\w\\z\xEF\xBF\xBD" + removed);
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(outcome.status, 0u);
  EXPECT_EQ(os.find(u"C:\\w\\sub\\f")->dacl, fill("D:(A;OICIID;FA;;;{P})"));
  EXPECT_EQ(link.dacl, fill("D:(A;OICI;FA;;;{P})"));
  EXPECT_EQ(os.find(u"C:\\w\\x")->dacl, "D:(A;;FA;;;SY)");
  for (const std::u16string& path : odd) {
    EXPECT_EQ(os.find(path)->dacl, "D:(A;;FA;;;SY)");
  }

  // A root's full path ends in a separator; no name below it gets a second.
  os.add_directory(u"D:\\");
  os.add_file(u"D:\\f").dacl = granted;
  EXPECT_EQ(os.run(u"revoke --project C:\\proj --recurse D:\\").out, "D:\\f" + removed);
}

// A command still running can swap a listed name for a junction, remove it,
// or move another directory in under it between the listing and the open:
// the object opened is not the one listed, so it is neither edited nor
// walked into. A given path whose attributes cannot be read is refused.
TEST(AclWalk, EditsNothingThatChangedSinceItWasListed) {
  struct Case {
    const char* name;
    std::function<void(Machine&)> change; // between the listing of C:\w and the open of sub
    std::u16string command;
    std::string err;
  };
  const Case cases[] = {
      {"a junction swapped in",
       [](Machine& os) {
         SimFile& junction = os.files[os.normalise(u"C:\\w\\sub")];
         junction = SimFile{};
         junction.directory = true;
         junction.reparse_tag = 0xA0000003u;
         junction.link_target = u"C:\\elsewhere";
         junction.dacl = fill("D:(A;OICI;FA;;;{P})");
       },
       u"revoke --project C:\\proj --recurse C:\\w",
       "C:\\w\\sub changed during the walk; not edited"},
      {"the name gone",
       [](Machine& os) {
         os.files.erase(os.normalise(u"C:\\w\\sub\\f"));
         os.files.erase(os.normalise(u"C:\\w\\sub"));
       },
       u"revoke --project C:\\proj --recurse C:\\w",
       "C:\\w\\sub changed during the walk; not edited"},
      {"another directory moved in", [](Machine& os) { os.find(u"C:\\w\\sub")->file_id[0] = 8; },
       u"show --project C:\\proj --recurse C:\\w", "C:\\w\\sub changed during the walk; not shown"},
      {"the given path's attributes unreadable",
       [](Machine& os) { os.fail_call("get_file_attribute_tag_info", 1, 5u); },
       u"revoke --project C:\\proj --recurse C:\\w\\sub",
       "cannot read the attributes of C:\\w\\sub: Access is denied. (os error 5)"},
  };
  const std::string granted = fill("D:(A;OICI;FA;;;{P})(A;;FA;;;SY)");
  for (const Case& c : cases) {
    Machine os;
    os.add_directory(u"C:\\w").dacl = granted;
    os.add_directory(u"C:\\w\\sub").file_id[0] = 7;
    os.add_file(u"C:\\w\\sub\\f").dacl = granted;
    SimFile& elsewhere = os.add_directory(u"C:\\elsewhere");
    elsewhere.dacl = granted;
    const bool walked = c.command.find(u"sub") == std::u16string::npos;
    if (walked) {
      os.before_call("get_file_id_extd_directory_info", 1,
                     [&os, &c] { os.before_call("create_file", 1, [&os, &c] { c.change(os); }); });
    } else {
      c.change(os);
    }
    const auto outcome = os.run(c.command);
    EXPECT_EQ(outcome.err, "obrex-sandbox-acl: " + c.err + "\n") << c.name;
    EXPECT_EQ(outcome.status, 1u) << c.name;
    EXPECT_EQ(elsewhere.dacl, granted) << c.name;
    if (const SimFile* f = os.find(u"C:\\w\\sub\\f")) {
      EXPECT_EQ(f->dacl, granted) << c.name;
    }
    EXPECT_EQ(os.calls("set_security_info"),
              c.command.starts_with(u"revoke") && walked ? 1 : 0)
        << c.name; // C:\w alone
  }
}

// A revoke that would lock everyone out, that is given a link, or that is
// given a --sid naming an account writes nothing to that path.
TEST(AclRevoke, RefusesAPathItCannotChangeSafely) {
  struct Case {
    const char* name;
    std::u16string command;
    std::string dacl;
    bool link;
    std::string err;
  };
  const Case cases[] = {
      {"no entry left", u"revoke --project C:\\proj --labels C:\\w", "D:P(A;OICI;FA;;;{P})", false,
       "refusing to leave C:\\w without any entry in its DACL, which would lock everyone out; "
       "run icacls C:\\w /reset to give it its parent's permissions instead"},
      {"a link, revoked", u"revoke --project C:\\proj --recurse C:\\w",
       "D:(A;OICI;FA;;;{P})(A;;FA;;;SY)", true,
       "C:\\w is a link or junction, which is not followed: give the path it leads to"},
      {"a --sid that names an account", u"revoke --sid S-1-5-21-1-2-3-1001 C:\\w",
       "D:(A;OICI;FA;;;S-1-5-21-1-2-3-1001)(A;;FA;;;SY)", false,
       "refusing --sid S-1-5-21-1-2-3-1001: it names an account, and a sandbox SID names none"},
      {"a link, shown", u"show C:\\w", "D:(A;OICI;FA;;;{P})(A;;FA;;;SY)", true,
       "C:\\w is a link or junction, which is not followed: give the path it leads to"},
  };
  for (const Case& c : cases) {
    Machine os;
    SimFile& w = os.add_directory(u"C:\\w");
    w.dacl = fill(c.dacl);
    w.label = "S:(ML;OICI;NW;;;LW)";
    if (c.link) {
      w.reparse_tag = 0xA0000003u;
    }
    const auto outcome = os.run(c.command);
    EXPECT_EQ(outcome.err, "obrex-sandbox-acl: " + c.err + "\n") << c.name;
    EXPECT_EQ(outcome.out, "") << c.name;
    EXPECT_EQ(outcome.status, 1u) << c.name;
    EXPECT_EQ(os.calls("set_security_info"), 0) << c.name;
    EXPECT_EQ(w.dacl, fill(c.dacl)) << c.name;
    EXPECT_EQ(w.label, "S:(ML;OICI;NW;;;LW)") << c.name;
  }
}

// What the read after the write finds. A grant that another write brought
// back (a run that read the DACL before the revoke wrote) is removed again,
// three times at most. A DACL left without entries, as the entries it
// inherits can leave it, is written back as it was read. A protection that
// changed is reported.
TEST(AclRevoke, ChecksWhatItWroteAndWritesBackADaclLeftEmpty) {
  const std::string before = fill("D:AI(A;OICI;FA;;;{P})(A;OICIID;FA;;;BA)");
  struct Case {
    const char* name;
    int changes; // how many of the reads after a write find `found`
    std::string found;
    std::string err;
    std::string after;
    int writes;
  };
  const Case cases[] = {
      {"a grant brought back once", 1, before, "", "D:AI(A;OICIID;FA;;;BA)", 2},
      {"a grant brought back three times", 3, before,
       "the removal from C:\\w did not hold: another program wrote its permissions back 3 times",
       before, 3},
      {"a DACL left empty", 1, "D:AI",
       "the DACL of C:\\w read back without any entry, which locks everyone out, and was written "
       "back as it was; run icacls C:\\w /reset to give it its parent's permissions instead",
       before, 2},
      {"a DACL protected meanwhile", 1, "D:PAI(A;OICIID;FA;;;BA)",
       "another program changed whether C:\\w inherits its parent's permissions during the "
       "revoke; check it with icacls C:\\w",
       "D:PAI(A;OICIID;FA;;;BA)", 1},
  };
  for (const Case& c : cases) {
    Machine os;
    SimFile& w = os.add_directory(u"C:\\w");
    w.dacl = before;
    // Reads: the first, then per attempt the one kept, the one edited, and
    // the check after the write.
    for (int attempt = 0; attempt < c.changes; ++attempt) {
      os.before_call("get_security_info", 4 + 3 * attempt, [&w, &c] { w.dacl = c.found; });
    }
    const auto outcome = os.run(u"revoke --project C:\\proj C:\\w");
    EXPECT_EQ(outcome.err, c.err.empty() ? "" : "obrex-sandbox-acl: " + c.err + "\n") << c.name;
    EXPECT_EQ(outcome.status, c.err.empty() ? 0u : 1u) << c.name;
    EXPECT_EQ(std::ranges::count(outcome.out, '\n'), c.err.empty() ? 1 : 0) << c.name;
    EXPECT_EQ(w.dacl, c.after) << c.name;
    EXPECT_EQ(os.calls("set_security_info"), c.writes) << c.name;
  }
}

// Revokes and runs of the launcher take turns at a DACL through one lock: a
// revoke takes it only for a path with something to remove, and holds it
// from the read it edits through the check after its write. A lock it
// cannot have is noted once, and the revoke goes on without it.
TEST(AclRevoke, TakesThePermissionsLockOnlyToRemoveAndHoldsItThroughTheCheck) {
  for (const std::string lock : {"free", "held elsewhere", "not to be had"}) {
    Machine os;
    const std::string granted = fill("D:(A;OICI;FA;;;{P})(A;;FA;;;SY)");
    os.add_directory(u"C:\\u").dacl = "D:(A;;FA;;;SY)";
    os.add_directory(u"C:\\w").dacl = granted;
    os.add_directory(u"C:\\v").dacl = granted;
    if (lock == "held elsewhere") {
      os.add_file(PermissionsLock::path_in(u"C:\\Users\\sandboxer")).locked_elsewhere = true;
    } else if (lock == "not to be had") {
      os.profile = std::nullopt;
    }
    const auto outcome = os.run(u"revoke --project C:\\proj C:\\u C:\\w C:\\v");
    EXPECT_EQ(outcome.status, 0u) << lock;
    EXPECT_EQ(os.find(u"C:\\w")->dacl, "D:(A;;FA;;;SY)") << lock;
    EXPECT_EQ(os.find(u"C:\\v")->dacl, "D:(A;;FA;;;SY)") << lock;
    EXPECT_EQ(outcome.err, lock == "free" ? ""
                                          : "obrex-sandbox-acl: note: going on without the "
                                            "permissions lock, which another program held too "
                                            "long or which could not be had; each removal is "
                                            "still checked after its write\n")
        << lock;
    // Waited for at most once.
    EXPECT_EQ(os.calls("lock_file_ex"), lock == "free"             ? 2
                                        : lock == "held elsewhere" ? 1
                                                                   : 0)
        << lock;
    EXPECT_EQ(os.calls("unlock_file_ex"), lock == "free" ? 2 : 0) << lock;
    const auto& log = os.call_log();
    if (lock == "free") {
      // C:\u, with nothing to remove, is read before the lock is first
      // taken; each turn holds the read kept, the read edited, the write
      // and the check.
      const auto first_turn = std::ranges::find(log, "lock_file_ex");
      EXPECT_EQ(std::count(log.begin(), first_turn, "get_security_info"), 2) << lock;
      for (auto turn = first_turn; turn != log.end();
           turn = std::find(turn + 1, log.end(), "lock_file_ex")) {
        std::vector<std::string> held;
        std::copy_if(turn, std::find(turn, log.end(), "unlock_file_ex"), std::back_inserter(held),
                     [](const std::string& call) {
                       return call.find("security_info") != std::string::npos;
                     });
        EXPECT_EQ(held, (std::vector<std::string>{"get_security_info", "get_security_info",
                                                  "set_security_info", "get_security_info"}));
      }
    }
  }
}

// Every call of a revoke that removes an entry and a label fails in turn.
// The path keeps its security or loses both at once, a failure ends with
// status 1 and one line on standard error, and nothing leaks.
TEST(AclRevoke, LeavesThePathWholeWhicheverCallFails) {
  const Security before{fill("D:AI(A;OICI;FA;;;{P})(A;OICIID;FA;;;BA)"), "S:(ML;OICI;NW;;;LW)"};
  const Security after{"D:AI(A;OICIID;FA;;;BA)", ""};
  const std::u16string arguments = u"revoke --project C:\\proj --labels C:\\w";
  const auto prepare = [&](Machine& os) -> SimFile& {
    SimFile& w = os.add_directory(u"C:\\w");
    w.dacl = before.dacl;
    w.label = before.label;
    return w;
  };
  Machine clean;
  prepare(clean);
  ASSERT_EQ(clean.run(arguments).status, 0u);
  std::map<std::string, int> seen;
  int failures = 0;
  for (const std::string& method : clean.call_log()) {
    const int nth = ++seen[method];
    if (method == "close_handle" || method == "local_free") {
      continue; // releases report nothing
    }
    Machine os;
    SimFile& w = prepare(os);
    os.fail_call(method, nth, 5u);
    const std::string where = method + " #" + std::to_string(nth);
    const auto outcome = os.run(arguments);
    const Security now{w.dacl, w.label};
    EXPECT_TRUE(now == before || now == after) << where << ": " << now.dacl << now.label;
    if (outcome.status != 0) {
      ++failures;
      EXPECT_EQ(outcome.status, 1u) << where;
      EXPECT_EQ(std::ranges::count(outcome.err, '\n'), 1) << where << ": " << outcome.err;
      EXPECT_NE(outcome.err.find("Access is denied. (os error 5)"), std::string::npos)
          << where << ": " << outcome.err;
    }
  }
  EXPECT_GT(failures, 10);
}

TEST(AclProgram, RefusesABadCommandLineWithOneLineAndStatus2) {
  struct Case {
    std::u16string arguments;
    const char* problem;
  };
  const Case cases[] = {
      {u"", "missing command"},
      {u"frob C:\\w", "unknown command frob"},
      {u"show", "missing PATH"},
      {u"sid --recurse C:\\proj", "unknown option --recurse"},
      {u"show --labels C:\\w", "unknown option --labels"},
      {u"show C:\\w --project", "--project needs a directory"},
      {u"revoke C:\\w", "revoke needs --project, --sid, --labels or --deny-labels"},
      {u"revoke --sid S-1-5-32-544 C:\\w",
       "--sid takes a sandbox SID, S-1-5-21 and four numbers, not S-1-5-32-544"},
      {u"revoke --sid S-1-5-21-1-2-3-4-5 C:\\w",
       "--sid takes a sandbox SID, S-1-5-21 and four numbers, not S-1-5-21-1-2-3-4-5"},
      {u"revoke --sid S-1-5-21-1-2-3-4294967296 C:\\w",
       "--sid takes a sandbox SID, S-1-5-21 and four numbers, not S-1-5-21-1-2-3-4294967296"},
      {u"show --sid S-1-5-21-1-2-3-4 C:\\w", "unknown option --sid"},
      {u"revoke --project C:\\proj --project C:\\other C:\\w", "revoke takes one --project"},
      {u"check C:\\w", "check takes no operand"},
      {u"check --recurse", "unknown option --recurse"},
      {u"check --inner-wait", "wrong number of operands"},
  };
  for (const Case& c : cases) {
    Machine os;
    os.add_directory(u"C:\\w");
    const auto outcome = os.run(c.arguments);
    const std::string prefix = std::string("obrex-sandbox-acl: ") + c.problem + "; usage: ";
    EXPECT_TRUE(outcome.err.starts_with(prefix)) << prefix << " / " << outcome.err;
    EXPECT_EQ(std::ranges::count(outcome.err, '\n'), 1) << outcome.err;
    EXPECT_EQ(outcome.out, "") << c.problem;
    EXPECT_EQ(outcome.status, 2u) << c.problem;
    EXPECT_EQ(os.calls("get_security_info") + os.calls("create_file"), 0) << c.problem;
  }
}

TEST(AclProgram, HelpAndVersionGoToStandardOutput) {
  Machine os;
  const auto help = os.run(u"--help");
  EXPECT_TRUE(help.out.starts_with("Usage: obrex-sandbox-acl sid DIR...\n")) << help.out;
  EXPECT_EQ(help.status, 0u);
  const auto version = os.run(u"--version");
  EXPECT_TRUE(std::regex_match(version.out, std::regex("obrex-sandbox-acl \\d+\\.\\d+\\.\\d+\n")))
      << version.out;
  EXPECT_EQ(version.status, 0u);
  // After "--", a path that looks like an option is a path.
  const auto odd = os.run(u"show -- --help");
  EXPECT_TRUE(odd.err.starts_with("obrex-sandbox-acl: cannot open --help: ")) << odd.err;
  EXPECT_EQ(odd.status, 1u);
}

} // namespace
} // namespace obrex
