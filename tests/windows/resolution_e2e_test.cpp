// The first two steps of a run on the real system: the command found on a
// real PATH (or refused) and the project's identity read from the disk.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <cwctype>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "identity/sandbox_identity.h"
#include "platform/win32_os.h"

namespace obrex::e2e {
namespace {

// Replaces each {dir} (the case's fresh directory), {probe} and {probe_dir}.
std::wstring expand(std::wstring text, const std::wstring& dir) {
  const std::wstring probe = probe_path();
  const std::pair<std::wstring, std::wstring> values[] = {
      {L"{dir}", dir},
      {L"{probe_dir}", probe.substr(0, probe.find_last_of(L'\\'))},
      {L"{probe}", probe}};
  for (const auto& [key, value] : values) {
    for (std::size_t at = text.find(key); at != std::wstring::npos;
         at = text.find(key, at + value.size())) {
      text.replace(at, key.size(), value);
    }
  }
  return text;
}

struct ResolutionCase {
  const char* name = "";
  // Made in order inside the case's directory: a name ending in '\' is a
  // directory, one ending in '*' a copy of the probe, any other an empty
  // file.
  std::vector<std::wstring> layout = {};
  std::wstring command = {}; // after "--", then "exit=7"
  std::wstring path = {};    // PATH
  std::optional<std::wstring> pathext = L".COM;.EXE;.BAT;.CMD";
  // The program the probe is started as; empty when the run fails with
  // `error` (after the program's name and ": "), and then with the text of
  // `os_error` after it.
  std::wstring program = {};
  std::wstring error = {};
  std::optional<DWORD> os_error = {};
  std::wstring project = L"{dir}";
  std::wstring current_directory = L"{probe_dir}";
};

void PrintTo(const ResolutionCase& c, std::ostream* out) {
  *out << c.name;
}

class CommandResolution : public testing::TestWithParam<ResolutionCase> {};

TEST_P(CommandResolution, FindsTheProgramOrFails) {
  const ResolutionCase& c = GetParam();
  const TempDirectory dir;
  const auto expanded = [&](const std::wstring& text) { return expand(text, dir.path()); };
  for (const std::wstring& entry : c.layout) {
    const std::wstring name = entry.substr(0, entry.size() - 1);
    if (entry.ends_with(L'\\')) {
      dir.make_directory(name);
    } else if (entry.ends_with(L'*')) {
      dir.copy_probe(name);
    } else {
      dir.make_file(entry);
    }
  }
  const std::vector<std::wstring> arguments = {L"--project", expanded(c.project), L"--",
                                               expanded(c.command), L"exit=7"};
  const std::vector<EnvironmentOverride> environment = {{L"PATH", expanded(c.path)},
                                                        {L"PATHEXT", c.pathext}};

  // An empty PATH entry stands for the current directory: the probe's, unless
  // the case names its own (left again before the case's directory goes).
  ASSERT_TRUE(::SetCurrentDirectoryW(expanded(c.current_directory).c_str()));
  const RunOutcome run = run_obrex(command_line(arguments), environment);
  ASSERT_TRUE(::SetCurrentDirectoryW(expanded(L"{probe_dir}").c_str()));

  if (c.program.empty()) {
    std::string expected = "obrex-sandbox-exec: " + utf8(expanded(c.error));
    if (c.os_error) {
      expected += ": " + os_error_text(*c.os_error);
    }
    EXPECT_EQ(run.err, expected + "\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.exit_code, 126u);
  } else {
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(probe_value(run.out, "command_line"),
              utf8(L"\"" + expanded(c.program) + L"\" exit=7"));
    EXPECT_EQ(run.exit_code, 7u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    ResolutionE2e, CommandResolution,
    testing::Values(ResolutionCase{.name = "FoundOnPathWithTheDefaultExtensions",
                                   .command = L"obrex_probe",
                                   .path = L"{dir}\\missing;{probe_dir};C:\\nowhere",
                                   .pathext = std::nullopt,
                                   .program = L"{probe_dir}\\obrex_probe.EXE"},
                    ResolutionCase{.name = "DirectoryWithBlanksAndNonAsciiName",
                                   .layout = {L"my t\u00e9\u4e2d\U0001F600\\",
                                              L"my t\u00e9\u4e2d\U0001F600\\tool.EXE*"},
                                   .command = L"tool",
                                   .path = L"{dir}\\my t\u00e9\u4e2d\U0001F600",
                                   .program = L"{dir}\\my t\u00e9\u4e2d\U0001F600\\tool.EXE"},
                    // "Q:x" leaves the current directory for a drive that is
                    // not there; Q.EXE in the current directory is still found.
                    ResolutionCase{.name = "PathExtPieceLeavingTheDirectoryPassesNothingOver",
                                   .layout = {L"Q.EXE*"},
                                   .command = L"Q",
                                   .path = L"",
                                   .pathext = L":x;.EXE",
                                   .program = L"Q.EXE",
                                   .current_directory = L"{dir}"},
                    ResolutionCase{.name = "MissingProjectWithNonAsciiName",
                                   .command = L"{probe}",
                                   .path = L"",
                                   .error = L"cannot open {dir}\\m\u00e9 \U0001F600",
                                   .os_error = ERROR_FILE_NOT_FOUND,
                                   .project = L"{dir}\\m\u00e9 \U0001F600"}),
    [](const testing::TestParamInfo<ResolutionCase>& test) {
      return std::string(test.param.name);
    });

// The identity through the real adapter: under Wine the child never sees
// its token, so the SID is checked where it is made.
TEST(SandboxIdentityOnDisk, FollowsTheDirectoryNotItsPathText) {
  const TempDirectory dir;
  const std::wstring project = dir.make_directory(L"project");
  dir.make_directory(L"other");
  Win32Os os;
  const auto sid_of = [&](const std::wstring& path, const std::vector<std::string>& read_only) {
    const auto identity = derive_sandbox_identity(os, utf8(path), read_only);
    if (!identity) {
      ADD_FAILURE() << utf8(path) << ": " << identity.error().message;
      return std::string();
    }
    // The SID structure and its text name the same SID.
    LPWSTR text = nullptr;
    EXPECT_TRUE(::ConvertSidToStringSidW(identity->sid.get().value, &text));
    EXPECT_EQ(utf8(text ? text : L""), identity->sid_text);
    ::LocalFree(text);
    return identity->sid_text;
  };

  const std::string sandbox = sid_of(project, {});
  EXPECT_TRUE(std::regex_match(sandbox, std::regex("S-1-5-21(-[0-9]+){4}"))) << sandbox;
  std::wstring slashes = project + L"/";
  std::replace(slashes.begin(), slashes.end(), L'\\', L'/');
  for (const std::wstring& same : {slashes, dir / L".\\project", dir / L"other\\..\\project"}) {
    EXPECT_EQ(sid_of(same, {}), sandbox) << utf8(same);
  }
  EXPECT_NE(sid_of(dir / L"other", {}), sandbox);
  // Listed as read-only by a path text equal to the project's: a SID of its
  // own.
  slashes[0] = static_cast<wchar_t>(std::towlower(slashes[0]));
  const std::string read_only = sid_of(dir / L".\\project", {utf8(slashes)});
  EXPECT_NE(read_only, sandbox);
}

} // namespace
} // namespace obrex::e2e
