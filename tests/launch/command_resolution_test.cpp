#include "launch/command_resolution.h"

#include <gtest/gtest.h>

#include "platform/text.h"
#include "support/simulated_os.h"

namespace obrex {
namespace {

using test::SimulatedOs;
using Texts = std::vector<std::u16string>;

const std::string kBatch = " is a batch file, which Windows runs through cmd.exe; give it as a "
                           "cmd.exe command line instead";

// --- the text rules -------------------------------------------------------------

TEST(CommandTextRules, SearchOnlyForOneComponentThatIsNotAbsolute) {
  // clang-format off
  const std::pair<std::u16string, bool> cases[] = {
      {u"git", true}, {u"tool\\\\", true}, {u"C:", true}, {u"\\", true},
      {u"", false}, {u"bin/tool", false}, {u".\\tool", false}, {u"\\tool", false},
      {u"C:tool", false}, {u"C:\\tool", false}, {u"\\\\server\\share", false},
      {u"\\\\?\\C:", false},
  };
  // clang-format on
  for (const auto& [name, searched] : cases) {
    EXPECT_EQ(is_searched_name(name), searched) << display_text(name);
  }
}

TEST(CommandTextRules, ExtensionFollowsTheLastDotUnlessItLeads) {
  const std::pair<std::u16string, std::optional<std::u16string>> cases[] = {
      {u"python3.11", u"11"},      {u"a.b.C", u"C"}, {u"build.", u""}, {u"git", std::nullopt},
      {u".profile", std::nullopt},
  };
  for (const auto& [name, extension] : cases) {
    EXPECT_EQ(extension_of(name), extension) << display_text(name);
  }
}

TEST(CommandTextRules, BatchFilesAreBatOrCmdInAnyCaseWhateverTrailingDotsAndSpaces) {
  // clang-format off
  const std::pair<std::u16string, bool> cases[] = {
      {u"C:\\x\\setup.bat", true}, {u"setup.Cmd", true}, {u"x.bAt.", true}, {u"x.cmd . .", true},
      {u"x.bat.exe", false}, {u"x.exe.", false}, {u".cmd", false}, {u"C:\\d.bat\\t", false},
  };
  // clang-format on
  for (const auto& [program, batch] : cases) {
    EXPECT_EQ(is_batch_file(program), batch) << display_text(program);
  }
}

TEST(CommandTextRules, CandidatesPathListAndJoin) {
  const std::tuple<std::u16string, std::u16string, Texts> candidates[] = {
      {u"git", u".COM;.EXE;.BAT;.CMD", {u"git.COM", u"git.EXE", u"git.BAT", u"git.CMD"}},
      {u"git", u"", {u"git"}},
      {u"x", u";.a;", {u"x", u"x.a", u"x"}},
      {u"python3.11", u".EXE", {u"python3.11"}},
  };
  for (const auto& [name, path_ext, expected] : candidates) {
    EXPECT_EQ(candidate_names(name, path_ext), expected) << display_text(path_ext);
  }
  const std::pair<std::u16string, Texts> lists[] = {
      {u"", {u""}},
      {u"\"C:\\my;dir\";C:\\bin", {u"C:\\my;dir", u"C:\\bin"}},
      {u";C:\\a;;", {u"", u"C:\\a", u"", u""}},
      {u" C:\\a ; %SystemRoot%", {u" C:\\a ", u" %SystemRoot%"}},
      {u"\"unclosed;x", {u"unclosed;x"}},
  };
  for (const auto& [path, entries] : lists) {
    EXPECT_EQ(split_path_list(path), entries) << display_text(path);
  }
  const std::pair<std::u16string, std::u16string> joins[] = {
      {u"", u"x"},     {u"C:\\a", u"C:\\a\\x"}, {u"C:\\a/", u"C:\\a/x"},
      {u"C:", u"C:x"}, {u"C:a", u"C:a\\x"},
  };
  for (const auto& [directory, joined] : joins) {
    EXPECT_EQ(join_path(directory, u"x"), joined) << display_text(directory);
  }
}

TEST(CommandTextRules, QuoteOnlyWhatTheArgumentRulesWouldSplit) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"a b", u"\"a b\""},
      {u"", u"\"\""},
      {u"say \"hi\"", u"\"say \\\"hi\\\"\""},
      {u"C:\\dir\\", u"C:\\dir\\"},
      {u"C:\\my dir\\", u"\"C:\\my dir\\\\\""},
      {u"a\\\"b", u"\"a\\\\\\\"b\""},
      {u"a\tb", u"\"a\tb\""},
      {u"a\nb", u"\"a\nb\""},
      {u"a\vb", u"\"a\vb\""},
      {u"a\rb", u"a\rb"},
  };
  for (const auto& [argument, quoted] : cases) {
    std::u16string out = u"x "; // appended to, not replaced
    quote_argument(argument, out);
    EXPECT_EQ(out, u"x " + quoted) << display_text(argument);
  }
}

// --- resolution against the simulated system --------------------------------------

// An entry of the file tree: 'f' a file, 'd' a directory, 'l' a symbolic link
// to `target`, 'a' an app-execution alias (the open through it refused with
// 1920), 'j' a junction and 'r' a directory refused the same way, 'x' a file
// that refuses to open.
struct Entry {
  std::u16string path;
  char kind = 'f';
  std::u16string target = {};
};

// A simulated system with PATH (unset when nullopt), PATHEXT (likewise)
// and the entries.
struct Machine : SimulatedOs {
  Machine(std::optional<std::u16string> path, std::optional<std::u16string> path_ext,
          const std::vector<Entry>& entries) {
    if (path) {
      environment[u"Path"] = *path;
    }
    if (path_ext) {
      environment[u"PATHEXT"] = *path_ext;
    }
    for (const Entry& e : entries) {
      test::SimFile& file =
          e.kind == 'd' || e.kind == 'r' ? add_directory(e.path) : add_file(e.path);
      file.reparse_tag = e.kind == 'l'   ? 0xA000000Cu
                         : e.kind == 'a' ? 0x8000001Bu
                         : e.kind == 'j' ? 0xA0000003u
                                         : 0;
      if (e.kind == 'l') {
        file.link_target = e.target;
      } else if (e.kind == 'a' || e.kind == 'j' || e.kind == 'r') {
        file.follow_open_error = 1920u;
      } else if (e.kind == 'x') {
        file.follow_open_error = 5u;
      }
    }
  }
  Result<ResolvedCommand> resolve(std::vector<std::string> argv) {
    return resolve_command(*this, ArgumentList{std::move(argv)});
  }
};

// What is looked for, with PATH, PATHEXT and the entries; the program found,
// and what finding it took: one attribute query per candidate tried (and one
// of a directory that a candidate showed may be missing), and an open with
// the metadata reads for each candidate that the query did not show missing
// (a second one after a 1920).
struct Search {
  std::string name;
  std::optional<std::u16string> path;
  std::optional<std::u16string> path_ext;
  std::vector<Entry> entries;
  std::u16string program;
  int probes;
  int opens;
};

TEST(ResolveCommand, FindsTheFirstFileDirectoriesOutermost) {
  const std::u16string kAb = u"C:\\a;C:\\b";
  const std::u16string kApps = u"C:\\u\\WindowsApps";
  const std::u16string kOdd = u"C:\\\xD800";
  const std::u16string kLongExt = u"." + std::u16string(260, u'x');
  const Search cases[] = {
      {"git", kAb, {}, {{u"C:\\a", 'd'}, {u"C:\\b\\git.exe"}}, u"C:\\b\\git.EXE", 6, 1},
      {"git", kAb, {}, {{u"C:\\a\\git.exe"}, {u"C:\\b\\git.com"}}, u"C:\\a\\git.EXE", 2, 1},
      {"git",
       kAb,
       u".exe;.COM",
       {{u"C:\\a\\git.com"}, {u"C:\\a\\GIT.EXE"}},
       u"C:\\a\\git.exe",
       1,
       1},
      // Directories and links to them, to nothing or in a loop are passed
      // over; a link to a file counts.
      {"tool",
       kAb,
       {},
       {{u"C:\\a\\tool.COM", 'd'},
        {u"C:\\a\\tool.EXE", 'l', u"C:\\gone"},
        {u"C:\\a\\tool.BAT", 'l', u"C:\\a\\tool.BAT"},
        {u"C:\\a\\tool.CMD", 'l', u"C:\\a"},
        {u"C:\\real\\t.exe"},
        {u"C:\\b\\tool.COM", 'l', u"C:\\real\\t.exe"}},
       u"C:\\b\\tool.COM",
       5,
       5},
      // An alias is taken by its own metadata; a refused junction or
      // directory and an entry refused otherwise are passed over.
      {"python",
       u"C:\\a;" + kApps,
       {},
       {{u"C:\\a\\python.COM", 'j'},
        {u"C:\\a\\python.EXE", 'r'},
        {u"C:\\a\\python.BAT", 'x'},
        {kApps + u"\\python.exe", 'a'}},
       kApps + u"\\python.EXE",
       6,
       7},
      {"tool",
       u"\"C:\\my;dir\";C:\\bin",
       {},
       {{u"C:\\my;dir\\tool.exe"}},
       u"C:\\my;dir\\tool.EXE",
       2,
       1},
      {"tool", kAb, u"", {{u"C:\\a\\tool.exe"}, {u"C:\\a\\tool"}}, u"C:\\a\\tool", 1, 1},
      {"tool", kAb, u".EXE;", {{u"C:\\a\\tool"}, {u"C:\\b\\tool.exe"}}, u"C:\\a\\tool", 2, 1},
      {"tool", kAb, std::u16string(u".X\xD800"), {{u"C:\\a\\tool.exe"}}, u"C:\\a\\tool.EXE", 2, 1},
      // An unset PATH searches the current directory by relative names.
      {"tool", {}, {}, {{u"C:\\a\\tool.com"}, {u"C:\\cwd\\tool.exe"}}, u"tool.EXE", 2, 1},
      // A missing directory is settled by its first candidate and one query
      // of the directory itself, unless a candidate could lead out of it.
      {"git", u"C:\\gone;C:\\b", {}, {{u"C:\\b\\git.exe"}}, u"C:\\b\\git.EXE", 4, 1},
      {"git",
       u"C:\\gone",
       u".COM;\\..\\..\\b\\git.exe",
       {{u"C:\\b\\git.exe"}},
       u"C:\\gone\\git\\..\\..\\b\\git.exe",
       2,
       1},
      // A candidate that answers "path not found" while its directory is
      // there passes nothing over: one that leaves the current directory for
      // a missing drive, and one too long for the system.
      {"Q", {}, u":x;.EXE", {{u"C:\\cwd\\Q.EXE"}}, u"Q.EXE", 2, 1},
      {"tool", u"C:\\a", kLongExt + u";.EXE", {{u"C:\\a\\tool.EXE"}}, u"C:\\a\\tool.EXE", 3, 1},
      // PATH's units are kept even when they are not Unicode.
      {"tool", kOdd, u".EXE", {{kOdd + u"\\tool.exe"}}, kOdd + u"\\tool.EXE", 1, 1},
  };
  for (const Search& c : cases) {
    Machine os(c.path, c.path_ext, c.entries);
    const auto resolved = os.resolve({c.name});
    EXPECT_EQ(resolved ? resolved->program : utf8_to_utf16(resolved.error().message), c.program);
    EXPECT_EQ(os.calls("get_file_attributes"), c.probes) << display_text(c.program);
    EXPECT_EQ(os.calls("create_file"), c.opens) << display_text(c.program);
  }
}

// Only an answer that the name is missing passes a candidate over unread: a
// query refused for another reason must not hide a file.
TEST(ResolveCommand, AQueryThatFailsOtherwiseLeavesTheCandidateToTheMetadata) {
  for (const OsCode code : {5u, 32u, 1920u, OsCode{21} /* not ready */}) {
    Machine os(u"C:\\a", u".EXE", {{u"C:\\a\\git.exe"}});
    os.fail_call("get_file_attributes", 1, code);
    const auto resolved = os.resolve({"git"});
    EXPECT_EQ(resolved ? resolved->program : utf8_to_utf16(resolved.error().message),
              u"C:\\a\\git.EXE")
        << code;
  }
}

TEST(ResolveCommand, FailsForAnEmptyMissingOrBatchCommand) {
  const std::tuple<std::vector<std::string>, std::vector<Entry>, std::string> cases[] = {
      {{}, {}, "the command is empty"},
      // The current directory is not searched without an empty PATH entry.
      {{"foo", "a"}, {{u"C:\\cwd\\foo.exe"}, {u"C:\\b\\foo.exe", 'd'}}, "foo is not on PATH"},
      // The first match is taken, then refused.
      {{"build"}, {{u"C:\\a\\build.cmd"}, {u"C:\\b\\build.exe"}}, "C:\\a\\build.CMD" + kBatch},
      {{"setup.Cmd"}, {{u"C:\\b\\setup.cmd"}}, "C:\\b\\setup.Cmd" + kBatch},
      {{"C:\\x\\setup.bat."}, {}, "C:\\x\\setup.bat." + kBatch},
  };
  for (const auto& [argv, entries, message] : cases) {
    Machine os(u"C:\\a;C:\\b", {}, entries);
    const auto resolved = os.resolve(argv);
    EXPECT_EQ(resolved ? "(resolved)" : resolved.error().message, message);
  }
}

TEST(ResolveCommand, UsesNamesThatAreNotBareAsGivenAndQuotesTheArguments) {
  for (const std::string name : {"tools\\run.exe", "C:\\x\\run"}) {
    Machine os(u"C:\\a", {}, {});
    const auto resolved = os.resolve({name, "a b", "", "x\\", "caf\u00e9"});
    ASSERT_TRUE(resolved) << resolved.error().message;
    EXPECT_EQ(*resolved, (ResolvedCommand{utf8_to_utf16(name), u"\"a b\" \"\" x\\ caf\u00e9"}));
    EXPECT_EQ(os.calls("create_file"), 0); // no lookup, no existence test
  }
}

TEST(ResolveCommand, PassesVerbatimCommandsThroughUntouched) {
  const std::pair<std::string, std::string> cases[] = {
      {"C:\\Windows\\System32\\cmd.exe", "/d /c build.bat"},
      {"build.bat", "  \"unbalanced"}, // not refused
  };
  for (const auto& [program, command_line] : cases) {
    Machine os(u"C:\\Windows\\System32", {}, {{u"C:\\Windows\\System32\\build.bat"}});
    const auto resolved = resolve_command(os, Verbatim{program, command_line});
    ASSERT_TRUE(resolved) << resolved.error().message;
    EXPECT_EQ(*resolved, (ResolvedCommand{utf8_to_utf16(program), utf8_to_utf16(command_line)}));
    EXPECT_TRUE(os.call_log().empty()); // neither PATH nor PATHEXT, no metadata
  }
}

} // namespace
} // namespace obrex
