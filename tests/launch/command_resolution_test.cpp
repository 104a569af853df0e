#include "launch/command_resolution.h"

#include <gtest/gtest.h>

#include "platform/constants.h"
#include "platform/text.h"
#include "support/simulated_os.h"

namespace obrex {
namespace {

using test::SimulatedOs;
using Texts = std::vector<std::u16string>;

const std::string kBatch = " is a batch file, which Windows runs through cmd.exe; give it as a "
                           "cmd.exe command line instead";

// --- the text rules -------------------------------------------------------------

TEST(PathShape, CountsComponentsAndTellsAbsolutePaths) {
  struct Case {
    std::u16string path;
    std::size_t components;
    bool absolute;
  };
  // A bare name, even with trailing separators, a bare drive or a bare root
  // is one component and so is searched for.
  // clang-format off
  const Case cases[] = {
      {u"git", 1, false}, {u"tool\\", 1, false}, {u"tool//", 1, false}, {u"C:", 1, false},
      {u"\\", 1, false}, {u"", 0, false}, {u"bin\\tool", 2, false}, {u"bin/tool", 2, false},
      {u"a\\\\b", 2, false}, {u".\\tool", 2, false}, {u"\\tool", 2, false}, {u"/tool", 2, false},
      {u"C:tool", 2, false}, {u"C:\\", 2, true}, {u"C:\\tools\\tool.exe", 4, true},
      {u"c:/tools//tool.exe/", 4, true}, {u"\\\\server\\share", 1, true},
      {u"\\\\server\\share\\x.exe", 3, true}, {u"//server/share/x.exe", 3, true},
      {u"\\\\.\\pipe\\x", 3, true}, {u"\\\\?\\C:\\x", 3, true}, {u"\\\\?\\C:", 1, true},
      {u"\\\\?\\UNC\\server\\share\\x", 3, true},
      {u"\\\\?\\C:/x", 2, true}}; // after \\?\ only '\' separates
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(display_text(c.path));
    EXPECT_EQ(path_component_count(c.path), c.components);
    EXPECT_EQ(is_absolute_path(c.path), c.absolute);
    EXPECT_EQ(is_searched_name(c.path), c.components == 1 && !c.absolute);
  }
}

TEST(Extension, FollowsTheLastDotUnlessItLeads) {
  const std::pair<std::u16string, std::optional<std::u16string>> cases[] = {
      {u"python3.11", u"11"},
      {u"git.EXE", u"EXE"},
      {u"a.b.c", u"c"},
      {u"build.", u""},
      {u"..x", u"x"},
      {u"git", std::nullopt},
      {u".profile", std::nullopt},
      {u".", std::nullopt},
      {u"", std::nullopt}};
  for (const auto& [name, extension] : cases) {
    SCOPED_TRACE(display_text(name));
    EXPECT_EQ(extension_of(name), extension);
  }
}

TEST(BatchFile, IsBatOrCmdInAnyCase) {
  const std::pair<std::u16string, bool> cases[] = {{u"C:\\x\\setup.bat", true},
                                                   {u"setup.Cmd", true},
                                                   {u"x.bAt", true},
                                                   {u"x.bat.exe", false},
                                                   {u"x.batch", false},
                                                   {u"x.bat.", true},
                                                   {u"C:\\x\\setup.cmd . .", true},
                                                   {u"x.exe.", false},
                                                   {u"bat", false},
                                                   {u".cmd", false},
                                                   {u"C:\\dir.bat\\tool", false}};
  for (const auto& [program, batch] : cases) {
    SCOPED_TRACE(display_text(program));
    EXPECT_EQ(is_batch_file(program), batch);
  }
}

TEST(Candidates, AreTheNameOrEachPathExtPiece) {
  const std::tuple<std::u16string, std::u16string, Texts> cases[] = {
      {u"git", u".COM;.EXE;.BAT;.CMD", {u"git.COM", u"git.EXE", u"git.BAT", u"git.CMD"}},
      {u"git", u"", {u"git"}},
      {u"git", u".EXE;", {u"git.EXE", u"git"}},
      {u"x", u";.a;;.b", {u"x", u"x.a", u"x", u"x.b"}},
      {u"x", u"EXE", {u"xEXE"}},
      {u".profile", u".A", {u".profile.A"}},
      {u"python3.11", u".EXE", {u"python3.11"}},
      {u"build.", u".EXE", {u"build."}}};
  for (const auto& [name, path_ext, candidates] : cases) {
    SCOPED_TRACE(display_text(name) + " with " + display_text(path_ext));
    EXPECT_EQ(candidate_names(name, path_ext), candidates);
  }
}

TEST(PathList, SplitsAtSemicolonsOutsideQuotes) {
  const std::pair<std::u16string, Texts> cases[] = {
      {u"", {u""}},
      {u"C:\\a;C:\\b", {u"C:\\a", u"C:\\b"}},
      {u"\"C:\\my;dir\";C:\\bin", {u"C:\\my;dir", u"C:\\bin"}},
      {u";C:\\a;;", {u"", u"C:\\a", u"", u""}},
      {u" C:\\a ; %SystemRoot%", {u" C:\\a ", u" %SystemRoot%"}},
      {u"C:\\a\"b\"c", {u"C:\\abc"}},
      {u"\"unclosed;x", {u"unclosed;x"}},
      {u"\"\";x", {u"", u"x"}}};
  for (const auto& [path, entries] : cases) {
    SCOPED_TRACE(display_text(path));
    EXPECT_EQ(split_path_list(path), entries);
  }
}

TEST(JoinPath, PutsABackslashOnlyWhereNeeded) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"", u"x"},
      {u"C:\\a", u"C:\\a\\x"},
      {u"C:\\a\\", u"C:\\a\\x"},
      {u"C:\\a/", u"C:\\a/x"},
      {u"C:", u"C:x"},
      {u"z:", u"z:x"},
      {u"1:", u"1:\\x"},
      {u"C:a", u"C:a\\x"},
      {u"\\\\srv\\share", u"\\\\srv\\share\\x"}};
  for (const auto& [directory, joined] : cases) {
    SCOPED_TRACE(display_text(directory));
    EXPECT_EQ(join_path(directory, u"x"), joined);
  }
}

TEST(QuoteArgument, QuotesOnlyWhatTheArgumentRulesWouldSplit) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"a b", u"\"a b\""},
      {u"", u"\"\""},
      {u"say \"hi\"", u"\"say \\\"hi\\\"\""},
      {u"C:\\dir\\", u"C:\\dir\\"},
      {u"C:\\my dir\\", u"\"C:\\my dir\\\\\""},
      {u"a\\\"b", u"\"a\\\\\\\"b\""},
      {u"a\\\\b", u"a\\\\b"},
      {u"a\tb", u"\"a\tb\""},
      {u"a\nb", u"\"a\nb\""},
      {u"a\vb", u"\"a\vb\""},
      {u"a\rb", u"a\rb"},
      {u"\\\\\"", u"\"\\\\\\\\\\\"\""},
      {u"caf\u00e9 \u20ac", u"\"caf\u00e9 \u20ac\""}};
  for (const auto& [argument, quoted] : cases) {
    SCOPED_TRACE(display_text(argument));
    std::u16string out = u"prefix|"; // appended to, not replaced
    quote_argument(argument, out);
    EXPECT_EQ(out, u"prefix|" + quoted);
    std::u16string from_utf8;
    quote_argument(std::string_view(display_text(argument)), from_utf8);
    EXPECT_EQ(from_utf8, quoted);
  }
}

TEST(ChildCommandLine, IsTheQuotedProgramASpaceAndTheArguments) {
  EXPECT_EQ(child_command_line({u"C:\\p\\prog.exe", u"\"a b\" x\\"}),
            u"\"C:\\p\\prog.exe\" \"a b\" x\\");
  EXPECT_EQ(child_command_line({u"C:\\p\\prog.exe", u""}), u"\"C:\\p\\prog.exe\" ");
}

// --- resolution against the simulated system --------------------------------------

Result<ResolvedCommand> resolve(SimulatedOs& os, std::vector<std::string> argv) {
  return resolve_command(os, ArgumentList{std::move(argv)});
}

// An entry of the file tree: 'f' a file, 'd' a directory, 'l' a symbolic link
// to `target`, 'a' an app-execution alias (the open through it refused with
// 1920), 'j' a junction and 'r' a directory refused the same way, 'x' a file
// that refuses to open.
struct Entry {
  std::u16string path;
  char kind = 'f';
  std::u16string target = {};
};

void add_entries(SimulatedOs& os, const std::vector<Entry>& entries) {
  for (const Entry& e : entries) {
    test::SimFile& file =
        e.kind == 'd' || e.kind == 'r' ? os.add_directory(e.path) : os.add_file(e.path);
    if (e.kind == 'l') {
      file.reparse_tag = win::IO_REPARSE_TAG_SYMLINK;
      file.link_target = e.target;
    } else if (e.kind == 'a' || e.kind == 'j') {
      file.reparse_tag =
          e.kind == 'a' ? win::IO_REPARSE_TAG_APPEXECLINK : win::IO_REPARSE_TAG_MOUNT_POINT;
      file.follow_open_error = win::ERROR_CANT_ACCESS_FILE;
    } else if (e.kind == 'r' || e.kind == 'x') {
      file.follow_open_error =
          e.kind == 'r' ? win::ERROR_CANT_ACCESS_FILE : win::ERROR_ACCESS_DENIED;
    }
  }
}

struct SearchCase {
  const char* what;
  std::string name;
  std::optional<std::u16string> path;
  std::optional<std::u16string> path_ext;
  std::vector<Entry> entries;
  std::u16string program; // expected
  int metadata_reads;     // expected opens
};

TEST(PathSearch, FindsTheFirstFileDirectoriesOutermost) {
  const std::u16string kAb = u"C:\\a;C:\\b";
  const std::u16string kApps = u"C:\\u\\WindowsApps";
  // clang-format off
  const SearchCase cases[] = {
      {"every default extension in C:\\a, then C:\\b", "git", kAb, {},
       {{u"C:\\a", 'd'}, {u"C:\\b\\git.exe"}}, u"C:\\b\\git.EXE", 6},
      {"an earlier directory wins over an earlier extension", "git", kAb, {},
       {{u"C:\\a\\git.exe"}, {u"C:\\b\\git.com"}}, u"C:\\a\\git.EXE", 2},
      {"PATHEXT's order and case", "git", kAb, u".exe;.COM",
       {{u"C:\\a\\git.com"}, {u"C:\\a\\GIT.EXE"}}, u"C:\\a\\git.exe", 1},
      {"directories named like a candidate are passed over", "tool", kAb, {},
       {{u"C:\\a\\tool.COM", 'd'}, {u"C:\\b\\tool.COM"}}, u"C:\\b\\tool.COM", 5},
      {"a link to a file counts as the file", "tool", kAb, {},
       {{u"C:\\real\\t.exe"}, {u"C:\\a\\tool.COM", 'l', u"C:\\real\\t.exe"}},
       u"C:\\a\\tool.COM", 1},
      {"links to a directory, to nothing or in a loop are passed over", "tool", kAb, {},
       {{u"C:\\d", 'd'}, {u"C:\\a\\tool.COM", 'l', u"C:\\d"},
        {u"C:\\a\\tool.EXE", 'l', u"C:\\gone"}, {u"C:\\a\\tool.BAT", 'l', u"C:\\a\\tool.BAT"},
        {u"C:\\b\\tool.COM"}}, u"C:\\b\\tool.COM", 5},
      {"an app-execution alias is taken by its own metadata", "python", u"C:\\a;" + kApps, {},
       {{u"C:\\a", 'd'}, {kApps + u"\\python.exe", 'a'}}, kApps + u"\\python.EXE", 7},
      {"a refused junction or directory is passed over", "tool", kAb, {},
       {{u"C:\\a\\tool.COM", 'j'}, {u"C:\\a\\tool.EXE", 'r'}, {u"C:\\b\\tool.COM"}},
       u"C:\\b\\tool.COM", 7},
      {"other errors only make the candidate absent", "tool", kAb, {},
       {{u"C:\\a\\tool.COM", 'x'}, {u"C:\\b\\tool.COM"}}, u"C:\\b\\tool.COM", 5},
      {"a quoted entry keeps its semicolon", "tool", u"\"C:\\my;dir\";C:\\bin", {},
       {{u"C:\\my;dir\\tool.exe"}, {u"C:\\bin\\tool.exe"}}, u"C:\\my;dir\\tool.EXE", 2},
      {"an empty PATHEXT tries the bare name only", "tool", kAb, u"",
       {{u"C:\\a\\tool.exe"}, {u"C:\\a\\tool"}}, u"C:\\a\\tool", 1},
      {"\".EXE;\" tries the extension, then the bare name", "tool", kAb, u".EXE;",
       {{u"C:\\a\\tool"}, {u"C:\\b\\tool.exe"}}, u"C:\\a\\tool", 2},
      {"a PATHEXT that is not Unicode gives the default list", "tool", kAb,
       std::u16string(u".X\xD800"), {{u"C:\\a\\tool.exe"}}, u"C:\\a\\tool.EXE", 2},
      {"an unset PATH searches the current directory by relative names", "tool", {}, {},
       {{u"C:\\a\\tool.com"}, {u"C:\\cwd\\tool.exe"}}, u"tool.EXE", 2},
      {"an empty entry is the current directory, in its place", "tool", u"C:\\a;;C:\\b", {},
       {{u"C:\\a", 'd'}, {u"C:\\cwd\\tool.exe"}, {u"C:\\b\\tool.com"}}, u"tool.EXE", 6},
      {"entries are neither trimmed nor expanded", "tool", u" C:\\a;%PATH%;C:\\b", u".EXE",
       {{u"C:\\a\\tool.exe"}, {u"C:\\b\\tool.exe"}}, u"C:\\b\\tool.EXE", 3},
      {"a trailing separator takes no second one", "tool", u"C:\\a\\", u".EXE",
       {{u"C:\\a\\tool.exe"}}, u"C:\\a\\tool.EXE", 1},
      {"a bare drive is joined directly", "tool", u"C:", u".EXE",
       {{u"C:\\tool.exe"}}, u"C:tool.EXE", 1},
      {"a name with an extension is the only candidate", "python3.11", kAb, {},
       {{u"C:\\a\\python3.11.exe"}, {u"C:\\b\\python3.11"}}, u"C:\\b\\python3.11", 2},
      {"a name ending in '.' has an (empty) extension", "tool.", kAb, {},
       {{u"C:\\a\\tool..exe"}, {u"C:\\a\\tool."}}, u"C:\\a\\tool.", 1},
      {"PATH's units are kept even when they are not Unicode", "tool",
       std::u16string(u"C:\\\xD800"), u".EXE", {{std::u16string(u"C:\\\xD800\\tool.exe")}},
       std::u16string(u"C:\\\xD800\\tool.EXE"), 1}};
  // clang-format on
  for (const SearchCase& c : cases) {
    SCOPED_TRACE(c.what);
    SimulatedOs os;
    if (c.path) {
      os.environment[u"Path"] = *c.path;
    }
    if (c.path_ext) {
      os.environment[u"PATHEXT"] = *c.path_ext;
    }
    add_entries(os, c.entries);
    const auto resolved = resolve(os, {c.name});
    ASSERT_TRUE(resolved) << resolved.error().message;
    EXPECT_EQ(resolved->program, c.program) << display_text(resolved->program);
    EXPECT_EQ(resolved->arguments, u"");
    // One metadata read per candidate tried, a second only after a 1920.
    EXPECT_EQ(os.calls("create_file"), c.metadata_reads);
    EXPECT_EQ(os.open_handles(), 0u);
  }
}

TEST(PathSearch, ReadsEachVariableOnlyWhenItMatters) {
  // PATH for a searched name; PATHEXT only for one without an extension;
  // neither for a name used as given.
  const std::pair<std::string, int> cases[] = {{"tool", 2}, {"tool.exe", 1}, {"bin\\tool", 0}};
  for (const auto& [name, reads] : cases) {
    SCOPED_TRACE(name);
    SimulatedOs os;
    os.environment[u"PATH"] = u"C:\\a";
    os.add_file(u"C:\\a\\tool.exe");
    EXPECT_TRUE(resolve(os, {name}));
    EXPECT_EQ(os.calls("get_environment_variable"), reads);
  }
}

TEST(PathSearch, FailsForAMissingOrBatchCommand) {
  struct Case {
    std::string name;
    std::optional<std::u16string> path_ext;
    std::vector<Entry> entries;
    std::string message;
  };
  const Case cases[] = {
      {"foo", {}, {}, "foo is not on PATH"},
      {"foo", u".X;;.Y", {{u"C:\\b\\foo.exe"}}, "foo is not on PATH"},
      {"foo", {}, {{u"C:\\cwd\\foo.exe"}, {u"C:\\b\\foo.exe", 'd'}}, "foo is not on PATH"},
      {"f\u00f6\u00f6.exe", {}, {}, "f\u00f6\u00f6.exe is not on PATH"},
      // The first match is taken, then refused.
      {"build", {}, {{u"C:\\a\\build.cmd"}, {u"C:\\b\\build.exe"}}, "C:\\a\\build.CMD" + kBatch},
      {"setup.Cmd", {}, {{u"C:\\b\\setup.cmd"}}, "C:\\b\\setup.Cmd" + kBatch},
      {"tool", u".bAt", {{u"C:\\b\\tool.bat"}}, "C:\\b\\tool.bAt" + kBatch}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    SimulatedOs os;
    os.environment[u"PATH"] = u"C:\\a;C:\\b";
    if (c.path_ext) {
      os.environment[u"PATHEXT"] = *c.path_ext;
    }
    add_entries(os, c.entries);
    const auto resolved = resolve(os, {c.name, "arg"});
    ASSERT_FALSE(resolved);
    EXPECT_EQ(resolved.error().message, c.message);
    EXPECT_EQ(os.open_handles(), 0u);
  }
}

TEST(PathSearch, ShowsAFoundBatchPathThatIsNotUnicodeWithReplacement) {
  SimulatedOs os;
  os.environment[u"PATH"] = std::u16string(u"C:\\\xDC00x");
  os.add_file(std::u16string(u"C:\\\xDC00x\\run.bat"));
  const auto resolved = resolve(os, {"run"});
  ASSERT_FALSE(resolved);
  EXPECT_EQ(resolved.error().message, "C:\\\uFFFDx\\run.BAT" + kBatch);
}

TEST(Resolution, UsesNamesThatAreNotBareAsGivenAndRefusesBatchFiles) {
  const std::pair<std::string, bool> cases[] = {{"tools\\run.exe", false},
                                                {"C:\\x\\run", false},
                                                {".\\tool", false},
                                                {"C:tool", false},
                                                {"\\tool", false},
                                                {"\\\\srv\\share\\x.exe", false},
                                                {"bin/t\u00e9l\u00e9", false},
                                                {"", false},
                                                {"C:\\x\\setup.bat", true},
                                                {".\\go.CMD", true}};
  for (const auto& [name, batch] : cases) {
    SCOPED_TRACE(name);
    SimulatedOs os;
    os.environment[u"PATH"] = u"C:\\a";
    const auto resolved = resolve(os, {name, "a b"});
    EXPECT_EQ(os.calls("create_file"), 0); // no lookup, no existence test
    if (batch) {
      ASSERT_FALSE(resolved);
      EXPECT_EQ(resolved.error().message, name + kBatch);
    } else {
      ASSERT_TRUE(resolved) << resolved.error().message;
      EXPECT_EQ(*resolved, (ResolvedCommand{utf8_to_utf16(name), u"\"a b\""}));
    }
  }
}

TEST(Resolution, RefusesAnEmptyCommandWithoutReadingAnything) {
  SimulatedOs os;
  const auto resolved = resolve(os, {});
  ASSERT_FALSE(resolved);
  EXPECT_EQ(resolved.error().message, "the command is empty");
  EXPECT_TRUE(os.call_log().empty());
}

TEST(Resolution, QuotesTheArgumentsIntoOneText) {
  SimulatedOs os;
  os.environment[u"PATH"] = u"C:\\bin";
  os.add_file(u"C:\\bin\\prog.exe");
  const auto resolved = resolve(os, {"prog", "a b", "", "x\\", "caf\u00e9"});
  ASSERT_TRUE(resolved) << resolved.error().message;
  EXPECT_EQ(child_command_line(*resolved), u"\"C:\\bin\\prog.EXE\" \"a b\" \"\" x\\ caf\u00e9");
}

TEST(Resolution, PassesVerbatimCommandsThroughUntouched) {
  const std::pair<std::string, std::string> cases[] = {
      {"C:\\Windows\\System32\\cmd.exe", "/d /c build.bat"},
      {"build.bat", ""}, // not refused
      {"cmd.exe", "  \"unbalanced"},
      {"", "\u00e9 \t"}};
  for (const auto& [program, command_line] : cases) {
    SCOPED_TRACE(program);
    SimulatedOs os;
    os.environment[u"PATH"] = u"C:\\Windows\\System32";
    os.add_file(u"C:\\Windows\\System32\\cmd.exe");
    const auto resolved = resolve_command(os, Verbatim{program, command_line});
    ASSERT_TRUE(resolved) << resolved.error().message;
    EXPECT_EQ(*resolved, (ResolvedCommand{utf8_to_utf16(program), utf8_to_utf16(command_line)}));
    EXPECT_TRUE(os.call_log().empty()); // neither PATH nor PATHEXT, no metadata
  }
  EXPECT_EQ(child_command_line({u"C:\\Windows\\System32\\cmd.exe", u"/d /c build.bat"}),
            u"\"C:\\Windows\\System32\\cmd.exe\" /d /c build.bat");
}

} // namespace
} // namespace obrex
