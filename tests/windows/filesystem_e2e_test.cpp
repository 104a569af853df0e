// What a run leaves on the real file system: the user's sandbox temporary
// directory, and the labels and grants of the --write and --deny paths.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "e2e_support.h"
#include "identity/sandbox_identity.h"
#include "platform/win32_os.h"

namespace obrex::e2e {
namespace {

// The user's sandbox temporary directory and the levels above it that a
// run creates when they are missing.
class SandboxTempE2e : public testing::Test {
protected:
  // Removes the levels that a run creates, as far as they are empty (other
  // runs may have left files there); true when the sandbox temporary
  // directory is gone.
  bool remove_empty_levels() const {
    levels_.remove_empty();
    return ::GetFileAttributesW(levels_.sandbox_temp.c_str()) == INVALID_FILE_ATTRIBUTES;
  }

  RunOutcome run_probe() const {
    // The run's own TEMP and TMP are replaced, whatever they were.
    return run_obrex(command_line({L"--project", project_.path(), L"--", probe_path()}),
                     {{L"TEMP", L"C:\\inherited-temp"}, {L"TMP", std::nullopt}});
  }

  TempDirectory project_;
  const SandboxTempLevels levels_;
};

TEST_F(SandboxTempE2e, IsCreatedAndGivenToTheCommand) {
  remove_empty_levels();
  const RunOutcome run = run_probe();
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_code, 0u);
  const DWORD attributes = ::GetFileAttributesW(levels_.sandbox_temp.c_str());
  EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES &&
              (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
  EXPECT_EQ(probe_value(run.out, "TEMP"), utf8(levels_.sandbox_temp));
  EXPECT_EQ(probe_value(run.out, "TMP"), utf8(levels_.sandbox_temp));
}

TEST_F(SandboxTempE2e, FileInItsPlaceFailsTheRun) {
  if (!remove_empty_levels()) {
    GTEST_SKIP() << utf8(levels_.sandbox_temp) << " holds files of other runs; it is left alone";
  }
  ::CreateDirectoryW(levels_.tornel.c_str(), nullptr);
  ::CreateDirectoryW(levels_.obrex.c_str(), nullptr);
  const HANDLE file = ::CreateFileW(levels_.sandbox_temp.c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << "error " << ::GetLastError();
  ::CloseHandle(file);
  const RunOutcome run = run_probe();
  // Removed before any check, so that later runs find the usual state.
  ::DeleteFileW(levels_.sandbox_temp.c_str());
  EXPECT_EQ(run.err, "obrex-sandbox-exec: cannot create " + utf8(levels_.sandbox_temp) + ": " +
                         os_error_text(ERROR_ALREADY_EXISTS) + "\n");
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.exit_code, 126u);
}

// A junction at the sandbox temporary directory's place, even one to a
// directory, is no directory: the run refuses it and changes nothing there.
TEST_F(SandboxTempE2e, JunctionInItsPlaceFailsTheRun) {
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine makes no junctions: mklink /J and CreateSymbolicLinkW report success "
                    "and create nothing";
  }
  if (!remove_empty_levels()) {
    GTEST_SKIP() << utf8(levels_.sandbox_temp) << " holds files of other runs; it is left alone";
  }
  ::CreateDirectoryW(levels_.tornel.c_str(), nullptr);
  ::CreateDirectoryW(levels_.obrex.c_str(), nullptr);
  wchar_t system[MAX_PATH];
  const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring cmd = std::wstring(system, length) + L"\\cmd.exe";
  ASSERT_EQ(run_raw(cmd, quoted_path(cmd) + L" /d /c mklink /J " +
                             quoted_path(levels_.sandbox_temp) + L" " +
                             quoted_path(project_.path()))
                .exit_code,
            0u);
  const RunOutcome run = run_probe();
  // The junction alone goes; the directory it points to stays.
  ::RemoveDirectoryW(levels_.sandbox_temp.c_str());
  EXPECT_EQ(run.err, "obrex-sandbox-exec: cannot create " + utf8(levels_.sandbox_temp) + ": " +
                         os_error_text(ERROR_ALREADY_EXISTS) + "\n");
  EXPECT_EQ(run.exit_code, 126u);
}

class PathPreparationE2e : public testing::Test {
protected:
  TempDirectory project_;
};

TEST_F(PathPreparationE2e, MissingWriteAndDenyPathsAreSkipped) {
  // Absolute, relative, and too long for a path without the extended-length
  // prefix.
  const std::vector<std::wstring> skipped = {
      project_ / L"missing\\deeper", L"obrex-e2e-missing\\relative",
      project_ / (std::wstring(200, L'm') + L"\\" + std::wstring(200, L'n'))};
  std::vector<std::wstring> arguments = {L"--project", project_.path()};
  for (const std::wstring& path : skipped) {
    arguments.insert(arguments.end(), {L"--write", path, L"--deny", path});
  }
  arguments.insert(arguments.end(), {L"--", probe_path(), L"exit=7"});
  const RunOutcome run = run_obrex(command_line(arguments));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_code, 7u);
  for (const std::wstring& path : skipped) {
    EXPECT_EQ(::GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES) << utf8(path);
  }
}

TEST_F(PathPreparationE2e, WritePathsAreLabelledAndGrantedAndDenyPathsLabelled) {
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine cannot read or write integrity labels (GetNamedSecurityInfoW with "
                    "LABEL_SECURITY_INFORMATION fails with 5), so a run with an existing --write "
                    "or --deny path fails there";
  }
  const std::wstring write = project_.make_directory(L"write");
  const std::wstring file = project_.make_file(L"write.txt");
  const std::wstring deny = project_.make_directory(L"deny");
  const std::wstring both = project_.make_directory(L"both");
  Win32Os os;
  const auto identity = derive_sandbox_identity(os, utf8(project_.path()), {});
  ASSERT_TRUE(identity) << identity.error().message;
  const std::string grant = "(A;OICI;FA;;;" + identity->sid_text + ")";

  const std::wstring arguments = command_line(
      {L"--project", project_.path(), L"--write", write, L"--write", write, L"--write", file,
       L"--deny", deny, L"--write", both, L"--deny", both, L"--", probe_path(), L"exit=3"});
  const RunOutcome first = run_obrex(arguments);
  ASSERT_EQ(first.err, "");
  ASSERT_EQ(first.exit_code, 3u);

  struct Expected {
    const std::wstring& path;
    const char* label;
    std::size_t grants;
  };
  const Expected expected[] = {{write, "(ML;OICI;NW;;;LW)", 1},
                               {file, ";NW;;;LW)", 1},
                               {deny, "(ML;OICI;NWNR;;;ME)", 0},
                               {both, "(ML;OICI;NWNR;;;ME)", 1}};
  std::vector<std::string> labels, dacls;
  for (const Expected& e : expected) {
    labels.push_back(security_text(e.path, LABEL_SECURITY_INFORMATION));
    dacls.push_back(security_text(e.path, DACL_SECURITY_INFORMATION));
    EXPECT_NE(labels.back().find(e.label), std::string::npos) << utf8(e.path) << labels.back();
    EXPECT_EQ(occurrences(labels.back(), "(ML;"), 1u) << utf8(e.path) << labels.back();
    EXPECT_EQ(occurrences(dacls.back(), identity->sid_text), e.grants)
        << utf8(e.path) << dacls.back();
    if (e.grants > 0) {
      EXPECT_NE(dacls.back().find(grant), std::string::npos) << utf8(e.path) << dacls.back();
    }
  }
  // The project itself is not touched when not listed.
  EXPECT_EQ(security_text(project_.path(), DACL_SECURITY_INFORMATION).find(identity->sid_text),
            std::string::npos);

  // A second run finds everything in place and adds nothing.
  const RunOutcome second = run_obrex(arguments);
  ASSERT_EQ(second.err, "");
  ASSERT_EQ(second.exit_code, 3u);
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(security_text(expected[i].path, LABEL_SECURITY_INFORMATION), labels[i]);
    EXPECT_EQ(security_text(expected[i].path, DACL_SECURITY_INFORMATION), dacls[i]);
  }
}

} // namespace
} // namespace obrex::e2e
