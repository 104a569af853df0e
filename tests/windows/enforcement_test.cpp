// What the sandbox enforces, as the real system's access checks decide it: a
// probe started through the real executable tries to write, read, list and
// use the clipboard, and reports what the system answered. The token it runs
// under is checked by LaunchE2e.ChildRunsUnderTheRestrictedLowToken.
//
// Wine enforces no integrity labels, restricted tokens, DACLs or job limits,
// so every check here skips under it.
#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdint>
#include <cstring>
#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "filesystem/permissions_lock.h"
#include "identity/sandbox_identity.h"
#include "platform/win32_os.h"

namespace obrex::e2e {
namespace {

constexpr const char* kWineHasNoLabels =
    "Wine cannot write integrity labels (SetNamedSecurityInfoW with LABEL_SECURITY_INFORMATION "
    "fails with 5), so a run with an existing --write or --deny path fails there, and it "
    "enforces no labels, restricted tokens or DACLs";

// The program's options, "--" and the probe with `probe_arguments`.
RunOutcome run_probe(std::vector<std::wstring> options,
                     const std::vector<std::wstring>& probe_arguments) {
  options.insert(options.end(), {L"--", probe_path()});
  options.insert(options.end(), probe_arguments.begin(), probe_arguments.end());
  return run_obrex(command_line(options));
}

// What the probe reports for one of its try_ arguments: "0" or the error code.
std::optional<std::string> attempt_outcome(const RunOutcome& run, const std::wstring& attempt) {
  return probe_value(run.out, utf8(attempt));
}

// Writes the parts of `sddl` that `part` names (OWNER_SECURITY_INFORMATION,
// DACL_SECURITY_INFORMATION, LABEL_SECURITY_INFORMATION, with
// PROTECTED_DACL_SECURITY_INFORMATION) on `path`; 0, or the error.
DWORD write_security(const std::wstring& path, DWORD part, const std::wstring& sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    return ::GetLastError();
  }
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PACL sacl = nullptr;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  ::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
  ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  ::GetSecurityDescriptorSacl(descriptor, &present, &sacl, &defaulted);
  const DWORD result = ::SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                               part, owner, nullptr, dacl, sacl);
  ::LocalFree(descriptor);
  return result;
}

std::wstring wide(const std::string& ascii) {
  return std::wstring(ascii.begin(), ascii.end());
}

// Two directories in `parent`, each refusing the command's writes by one
// guarantee alone: a Low write label lets a Low-integrity writer past the
// integrity check, so there only the write restriction refuses (nothing
// grants the restricting SIDs); a grant to Everyone satisfies the write
// restriction, so there only the default Medium label refuses. Each holds a
// file.txt.
struct Target {
  const char* refused_by;
  std::wstring path;
};
void make_targets(const TempDirectory& parent, std::vector<Target>& targets) {
  const std::wstring low = parent.make_directory(L"low");
  ASSERT_EQ(write_security(low, LABEL_SECURITY_INFORMATION, L"S:(ML;OICI;NW;;;LW)"), 0u);
  const std::wstring granted = parent.make_directory(L"granted");
  const std::string dacl = security_text(granted, DACL_SECURITY_INFORMATION);
  ASSERT_EQ(write_security(granted, DACL_SECURITY_INFORMATION, wide(dacl) + L"(A;OICI;FA;;;WD)"),
            0u);
  parent.make_file(L"low\\file.txt");
  parent.make_file(L"granted\\file.txt");
  targets = {{"the write restriction alone", low}, {"the integrity level alone", granted}};
}

class EnforcementE2e : public testing::Test {
protected:
  TempDirectory project_;
};

TEST_F(EnforcementE2e, WritesOnlyInWritePathsAndNeitherReadsNorListsDenyPaths) {
  if (running_under_wine()) {
    GTEST_SKIP() << kWineHasNoLabels;
  }
  const std::wstring out = project_.make_directory(L"out");
  const std::wstring secrets = project_.make_directory(L"secrets");
  const std::wstring key = project_.make_file(L"secrets\\key.txt");
  const std::wstring notes = project_.make_file(L"notes.txt");
  std::vector<Target> targets;
  ASSERT_NO_FATAL_FAILURE(make_targets(project_, targets));

  struct Attempt {
    std::wstring argument; // for the probe, in the order made
    DWORD expected;        // 0, or the error the system gives
  };
  std::vector<Attempt> attempts = {{L"try_mkdir=" + out + L"\\sub", 0}};
  for (const std::wstring& dir : {out, out + L"\\sub"}) {
    attempts.insert(attempts.end(), {{L"try_create=" + dir + L"\\a.txt", 0},
                                     {L"try_write=" + dir + L"\\a.txt", 0},
                                     {L"try_rename=" + dir + L"\\a.txt|" + dir + L"\\b.txt", 0},
                                     {L"try_delete=" + dir + L"\\b.txt", 0}});
  }
  for (const Target& target : targets) {
    attempts.insert(attempts.end(),
                    {{L"try_create=" + target.path + L"\\a.txt", ERROR_ACCESS_DENIED},
                     {L"try_mkdir=" + target.path + L"\\sub", ERROR_ACCESS_DENIED},
                     {L"try_write=" + target.path + L"\\file.txt", ERROR_ACCESS_DENIED}});
  }
  // Reading and listing are refused by --deny alone.
  attempts.insert(attempts.end(), {{L"try_read=" + notes, 0},
                                   {L"try_list=" + project_.path(), 0},
                                   {L"try_read=" + key, ERROR_ACCESS_DENIED},
                                   {L"try_list=" + secrets, ERROR_ACCESS_DENIED}});
  std::vector<std::wstring> arguments;
  for (const Attempt& a : attempts) {
    arguments.push_back(a.argument);
  }

  const RunOutcome run =
      run_probe({L"--project", project_.path(), L"--write", out, L"--deny", secrets}, arguments);
  ASSERT_EQ(run.err, "");
  ASSERT_EQ(run.exit_code, 0u);
  for (const Attempt& a : attempts) {
    EXPECT_EQ(attempt_outcome(run, a.argument), std::to_string(a.expected)) << utf8(a.argument);
  }
}

// The DACL of a path as it is now, written back when the object goes.
class SavedDacl {
public:
  explicit SavedDacl(std::wstring path) : path_(std::move(path)) {
    status_ = ::GetNamedSecurityInfoW(path_.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, &dacl_, nullptr, &descriptor_);
  }
  SavedDacl(const SavedDacl&) = delete;
  SavedDacl& operator=(const SavedDacl&) = delete;
  ~SavedDacl() {
    if (status_ == ERROR_SUCCESS) {
      ::SetNamedSecurityInfoW(path_.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, dacl_, nullptr);
      ::LocalFree(descriptor_);
    }
  }
  DWORD status() const { return status_; }

private:
  std::wstring path_;
  PACL dacl_ = nullptr;
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  DWORD status_ = ERROR_SUCCESS;
};

// It keeps the security it inherits from LocalLow: a Low label, and no
// write entry for the restricting SIDs until a run lists it.
TEST_F(EnforcementE2e, SandboxTempIsWritableOnlyWhenListed) {
  if (running_under_wine()) {
    GTEST_SKIP() << kWineHasNoLabels;
  }
  const std::wstring temp = sandbox_temp_directory();
  const std::wstring attempt = L"try_create=" + temp + L"\\obrex-enforcement-" +
                               std::to_wstring(::GetCurrentProcessId()) + L"-" +
                               std::to_wstring(::GetTickCount64()) + L".txt";
  const std::wstring file = attempt.substr(attempt.find(L'=') + 1);

  // This run also makes the directory when it is missing.
  const RunOutcome unlisted = run_probe({L"--project", project_.path()}, {attempt});
  ::DeleteFileW(file.c_str());
  EXPECT_EQ(unlisted.err, "");
  EXPECT_EQ(attempt_outcome(unlisted, attempt), std::to_string(ERROR_ACCESS_DENIED));

  // Listing it grants this project's SID there for good; the DACL is put
  // back, so that the user's directory collects no entries of tests.
  const SavedDacl saved(temp);
  ASSERT_EQ(saved.status(), 0u) << utf8(temp);
  const RunOutcome listed = run_probe({L"--project", project_.path(), L"--write", temp}, {attempt});
  ::DeleteFileW(file.c_str());
  EXPECT_EQ(listed.err, "");
  EXPECT_EQ(attempt_outcome(listed, attempt), "0");
}

// Enables or disables one privilege of this process's token; whether the
// token holds it and the change was made.
bool switch_privilege(const wchar_t* name, bool enable) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) {
    return false;
  }
  TOKEN_PRIVILEGES change{1, {{{0, 0}, static_cast<DWORD>(enable ? SE_PRIVILEGE_ENABLED : 0)}}};
  const bool done = ::LookupPrivilegeValueW(nullptr, name, &change.Privileges[0].Luid) &&
                    ::AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr) &&
                    ::GetLastError() == ERROR_SUCCESS;
  ::CloseHandle(token);
  return done;
}

// A Low write label lets a Low-integrity writer past the integrity check, so
// what denies a write there is the write restriction alone: the restricting
// SIDs (the sandbox SID, Everyone, the logon SID) must be granted write
// access as well as the user (the ungranted case is a target of
// WritesOnlyInWritePathsAndNeitherReadsNorListsDenyPaths). The user fully
// controls each directory.
TEST_F(EnforcementE2e, WriteRestrictionDecidesWhereTheLabelAllowsWriting) {
  if (running_under_wine()) {
    GTEST_SKIP() << kWineHasNoLabels;
  }
  const TempDirectory other_project;
  Win32Os os;
  const auto other = derive_sandbox_identity(os, utf8(other_project.path()), {});
  ASSERT_TRUE(other);
  const TempDirectory elsewhere;
  struct Case {
    const char* name;
    std::wstring grant; // an entry added to the DACL
    DWORD expected;
  };
  const Case cases[] = {
      {"granted to Everyone", L"(A;OICI;FA;;;WD)", 0},
      {"granted to another project's SID", L"(A;OICI;FA;;;" + wide(other->sid_text) + L")",
       ERROR_ACCESS_DENIED},
  };
  std::vector<std::wstring> attempts;
  for (const Case& c : cases) {
    const std::wstring dir = elsewhere.make_directory(L"case" + std::to_wstring(attempts.size()));
    ASSERT_EQ(write_security(dir, LABEL_SECURITY_INFORMATION, L"S:(ML;OICI;NW;;;LW)"), 0u);
    const std::string dacl = security_text(dir, DACL_SECURITY_INFORMATION);
    ASSERT_EQ(write_security(dir, DACL_SECURITY_INFORMATION, wide(dacl) + c.grant), 0u);
    attempts.push_back(L"try_create=" + dir + L"\\a.txt");
  }
  const RunOutcome run = run_probe({L"--project", project_.path()}, attempts);
  ASSERT_EQ(run.err, "");
  for (std::size_t i = 0; i < attempts.size(); ++i) {
    EXPECT_EQ(attempt_outcome(run, attempts[i]), std::to_string(cases[i].expected))
        << cases[i].name << ": " << run.out;
  }
}

// No Microsoft page says which rights count as writing for the integrity
// check or for a write-restricted token: deleting and renaming are expected
// to, and a run that shows otherwise is a finding for SECURITY.md.
TEST_F(EnforcementE2e, CommandCannotDeleteOrRenameInTheProject) {
  if (running_under_wine()) {
    GTEST_SKIP() << kWineHasNoLabels;
  }
  std::vector<Target> targets;
  ASSERT_NO_FATAL_FAILURE(make_targets(project_, targets));
  std::vector<std::wstring> attempts;
  for (const Target& target : targets) {
    attempts.push_back(L"try_rename=" + target.path + L"\\file.txt|" + target.path + L"\\b.txt");
    attempts.push_back(L"try_delete=" + target.path + L"\\file.txt");
  }
  const RunOutcome run = run_probe({L"--project", project_.path()}, attempts);
  ASSERT_EQ(run.err, "");
  for (std::size_t i = 0; i < attempts.size(); ++i) {
    EXPECT_EQ(attempt_outcome(run, attempts[i]), std::to_string(ERROR_ACCESS_DENIED))
        << utf8(attempts[i]) << ": not refused by " << targets[i / 2].refused_by
        << "; the sandbox could change the project, and SECURITY.md must say so";
  }
}

// The deny label reaches what was there before the first run with the
// path, however deep.
TEST_F(EnforcementE2e, FilesBeforeTheFirstDenyRunAreUnreadable) {
  if (running_under_wine()) {
    GTEST_SKIP() << kWineHasNoLabels;
  }
  project_.make_directory(L"private");
  project_.make_directory(L"private\\old");
  const std::wstring file = project_.make_file(L"private\\old\\file.txt");
  const std::wstring attempt = L"try_read=" + file;
  const RunOutcome outside =
      run_raw(probe_path(), quoted_path(probe_path()) + L" " + command_line_argument(attempt));
  ASSERT_EQ(attempt_outcome(outside, attempt), "0") << outside.out;

  const RunOutcome run =
      run_probe({L"--project", project_.path(), L"--deny", project_ / L"private"}, {attempt});
  ASSERT_EQ(run.err, "");
  EXPECT_EQ(attempt_outcome(run, attempt), std::to_string(ERROR_ACCESS_DENIED)) << run.out;
  const std::string label = security_text(file, LABEL_SECURITY_INFORMATION);
  EXPECT_NE(label.find(";;;ME)"), std::string::npos) << label;
}

// From inside the sandbox, a junction in a --write directory to a directory
// it cannot write, and a hard link to a file it cannot write, would each
// give it a way to write there. The same probe outside the sandbox makes
// them all, so a refusal inside is the sandbox's.
TEST_F(EnforcementE2e, CommandCannotLinkToWhatItCannotWrite) {
  if (running_under_wine()) {
    GTEST_SKIP() << kWineHasNoLabels;
  }
  const std::wstring out = project_.make_directory(L"out");
  std::vector<Target> targets;
  ASSERT_NO_FATAL_FAILURE(make_targets(project_, targets));
  const auto attempts = [&](const std::wstring& where) {
    std::vector<std::wstring> made;
    for (std::size_t i = 0; i < targets.size(); ++i) {
      const std::wstring name = out + L"\\" + where + std::to_wstring(i);
      made.push_back(L"try_junction=" + name + L"|" + targets[i].path);
      made.push_back(L"try_hardlink=" + name + L".txt|" + targets[i].path + L"\\file.txt");
    }
    return made;
  };
  const auto outside_attempts = attempts(L"outside");
  std::wstring line = quoted_path(probe_path());
  for (const std::wstring& attempt : outside_attempts) {
    line += L" " + command_line_argument(attempt);
  }
  const RunOutcome outside = run_raw(probe_path(), line);
  for (const std::wstring& attempt : outside_attempts) {
    ASSERT_EQ(attempt_outcome(outside, attempt), "0") << utf8(attempt) << ": " << outside.out;
  }

  const auto inside_attempts = attempts(L"inside");
  const RunOutcome inside =
      run_probe({L"--project", project_.path(), L"--write", out}, inside_attempts);
  ASSERT_EQ(inside.err, "");
  for (std::size_t i = 0; i < inside_attempts.size(); ++i) {
    EXPECT_NE(attempt_outcome(inside, inside_attempts[i]), "0")
        << utf8(inside_attempts[i]) << ": Windows let the sandbox link to what "
        << targets[i / 2].refused_by << " keeps it from writing; SECURITY.md must say so";
  }
}

// Labelling needs WRITE_OWNER, which modifying does not give: on a directory
// the user may modify but someone else owns, the run fails at the label with
// its one line, before it starts anything. OBREX_FOREIGN_OWNED_DIR names such
// a directory made for the run; otherwise the test makes one, owned by
// SYSTEM, which takes SeRestorePrivilege.
TEST_F(EnforcementE2e, WritePathOwnedBySomeoneElseFailsTheRun) {
  if (running_under_wine()) {
    GTEST_SKIP() << kWineHasNoLabels;
  }
  wchar_t given[MAX_PATH];
  const DWORD given_length = ::GetEnvironmentVariableW(L"OBREX_FOREIGN_OWNED_DIR", given, MAX_PATH);
  std::wstring dir(given, given_length < MAX_PATH ? given_length : 0);
  const TempDirectory parent;
  if (dir.empty()) {
    if (!switch_privilege(L"SeRestorePrivilege", true)) {
      GTEST_SKIP() << "making a directory that someone else owns takes SeRestorePrivilege, which "
                      "this account lacks, and OBREX_FOREIGN_OWNED_DIR is not set";
    }
    HANDLE own = nullptr;
    ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &own);
    std::vector<std::uint64_t> user(64);
    DWORD length = 0;
    const BOOL read = ::GetTokenInformation(own, TokenUser, user.data(), 512, &length);
    ::CloseHandle(own);
    LPWSTR sid = nullptr;
    if (read) {
      ::ConvertSidToStringSidW(reinterpret_cast<::TOKEN_USER*>(user.data())->User.Sid, &sid);
    }
    const std::wstring modify = L"(A;OICI;0x1301BF;;;" + std::wstring(sid ? sid : L"") + L")";
    ::LocalFree(sid);
    dir = parent.make_directory(L"foreign");
    const DWORD written = write_security(dir,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                             PROTECTED_DACL_SECURITY_INFORMATION,
                                         L"O:SYD:P(A;OICI;FA;;;SY)" + modify);
    // Children inherit the enabled privilege, and with it the launcher could
    // write the owner and the label.
    ASSERT_TRUE(switch_privilege(L"SeRestorePrivilege", false));
    ASSERT_EQ(written, 0u);
  }
  const RunOutcome run = run_probe({L"--project", project_.path(), L"--write", dir}, {});
  EXPECT_EQ(run.exit_code, 126u) << run.out;
  EXPECT_TRUE(run.err.starts_with("obrex-sandbox-exec: cannot label ")) << run.err;
  EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
  EXPECT_EQ(run.out, "");
}

// Puts `text` on the clipboard as `window`'s; 0, or the error that refused it.
DWORD place_on_clipboard(HWND window, const std::wstring& text) {
  if (window == nullptr || !::OpenClipboard(window)) {
    return ::GetLastError();
  }
  const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  const HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes);
  DWORD error = ::GetLastError();
  if (memory != nullptr) {
    std::memcpy(::GlobalLock(memory), text.c_str(), bytes);
    ::GlobalUnlock(memory);
    if (::EmptyClipboard() && ::SetClipboardData(CF_UNICODETEXT, memory) != nullptr) {
      error = 0;
    } else {
      error = ::GetLastError();
      ::GlobalFree(memory);
    }
  }
  ::CloseClipboard();
  return error;
}

// The test replaces what the clipboard held.
TEST_F(EnforcementE2e, CommandCannotReadTheClipboard) {
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine does not apply a job's user-interface limits";
  }
  const std::wstring text = L"obrex-clipboard-" + std::to_wstring(::GetTickCount64());
  const HWND window = ::CreateWindowExW(0, L"STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        nullptr, nullptr);
  if (const DWORD error = place_on_clipboard(window, text); error != 0) {
    ::DestroyWindow(window);
    GTEST_SKIP() << "this session's clipboard cannot be written (error " << error << ")";
  }
  const RunOutcome outside = run_raw(probe_path(), quoted_path(probe_path()) + L" clipboard");
  const RunOutcome inside = run_probe({L"--project", project_.path()}, {L"clipboard"});
  ::DestroyWindow(window);

  // Outside the sandbox the probe reads it, so what stops it inside is the
  // sandbox; but the two runs differ in job, integrity level and token at
  // once, and every run of the program sets all of the job's UI limits, so
  // this cannot tell the clipboard limit from the other two.
  EXPECT_EQ(probe_value(outside.out, "clipboard"), utf8(text)) << outside.out;
  EXPECT_EQ(inside.err, "");
  EXPECT_EQ(inside.exit_code, 0u);
  EXPECT_EQ(probe_value(inside.out, "clipboard"), std::nullopt) << inside.out;
  EXPECT_EQ(probe_value(inside.out, "clipboard_error"), std::to_string(ERROR_ACCESS_DENIED))
      << inside.out;
}

// A junction at `link` to the directory `target`, made with cmd.exe's mklink;
// whether it was made.
bool make_junction(const std::wstring& link, const std::wstring& target) {
  wchar_t system[MAX_PATH];
  const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring cmd = std::wstring(system, length) + L"\\cmd.exe";
  return run_raw(cmd, quoted_path(cmd) + L" /d /c mklink /J " + quoted_path(link) + L" " +
                          quoted_path(target))
             .exit_code == 0;
}

// The SID a run confines its command under, the first restricting SID, names
// one grant on disk, whichever path leads to the project; --read-only on the
// project names another.
TEST_F(EnforcementE2e, OneProjectOneGrantWhicheverPathLeadsToIt) {
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine ignores the token given to CreateProcessAsUserW, so the probe cannot "
                    "see the sandbox SID; and "
                 << kWineHasNoLabels;
  }
  const std::wstring project = project_.path();
  const std::wstring out = project_.make_directory(L"out");
  const TempDirectory elsewhere;
  const std::wstring junction = elsewhere / L"junction";
  ASSERT_TRUE(make_junction(junction, project));
  Win32Os os;
  const auto sandbox = derive_sandbox_identity(os, utf8(project), {});
  const auto read_only = derive_sandbox_identity(os, utf8(project), {utf8(project)});
  ASSERT_TRUE(sandbox && read_only);
  ASSERT_NE(sandbox->sid_text, read_only->sid_text);

  struct Case {
    const char* name;
    std::vector<std::wstring> options;
    std::string sid;   // the run's, granted once on `out` afterwards
    bool adds_nothing; // the DACL of `out` stays as the run found it
  };
  const Case cases[] = {
      {"first run", {L"--project", project, L"--write", out}, sandbox->sid_text, false},
      {"through a junction",
       {L"--project", junction, L"--write", junction + L"\\out"},
       sandbox->sid_text,
       true},
      {"read-only",
       {L"--project", project, L"--read-only", project, L"--write", out},
       read_only->sid_text,
       false},
  };
  std::string dacl = security_text(out, DACL_SECURITY_INFORMATION);
  for (const Case& c : cases) {
    const RunOutcome run = run_probe(c.options, {L"token"});
    EXPECT_EQ(run.err, "") << c.name;
    const std::string sids = probe_value(run.out, "restricting_sids").value_or("");
    EXPECT_EQ(sids.substr(0, sids.find(',')), c.sid) << c.name;
    const std::string after = security_text(out, DACL_SECURITY_INFORMATION);
    EXPECT_EQ(occurrences(after, c.sid), 1u) << c.name << ": " << after;
    if (c.adds_nothing) {
      EXPECT_EQ(after, dacl) << c.name;
    }
    dacl = after;
  }
}

// Runs of the program and revokes take turns at a DACL through a lock file
// in the user's profile; a sandboxed command must neither open it for
// reading or writing nor lock it, or it could hold every later run up. The
// codes the system gives are kept in the report.
TEST_F(EnforcementE2e, CommandCanNeitherOpenNorLockThePermissionsLock) {
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine enforces no integrity labels or restricted tokens";
  }
  Win32Os os;
  const auto profile = os.get_known_folder_path_profile();
  ASSERT_TRUE(profile) << "error " << profile.error();
  const std::u16string units = PermissionsLock::path_in(*profile);
  const std::wstring path(units.begin(), units.end());
  {
    PermissionsLock lock(os); // makes the file when it is missing, and lets it go
    ASSERT_TRUE(lock.hold().owned());
  }
  EXPECT_EQ(occurrences(security_text(path, LABEL_SECURITY_INFORMATION), "(ML;;NWNR;;;ME)"), 1u);
  const std::vector<std::wstring> attempts = {L"try_read=" + path, L"try_write=" + path,
                                              L"try_lock=" + path};
  const RunOutcome run = run_probe({L"--project", project_.path()}, attempts);
  ASSERT_EQ(run.exit_code, 0u) << run.err;
  for (const std::wstring& attempt : attempts) {
    const auto outcome = attempt_outcome(run, attempt);
    ASSERT_TRUE(outcome) << utf8(attempt);
    EXPECT_NE(*outcome, "0") << utf8(attempt);
    RecordProperty(utf8(attempt.substr(0, attempt.find(L'='))), *outcome);
  }
}

// Agents run commands in parallel: eight projects that list one directory at
// the same moment all end with their grant.
TEST_F(EnforcementE2e, ConcurrentRunsOfEightProjectsAllKeepTheirGrant) {
  if (running_under_wine()) {
    GTEST_SKIP() << kWineHasNoLabels;
  }
  const TempDirectory shared;
  std::vector<TempDirectory> projects(8);
  std::latch together(8);
  std::vector<RunOutcome> runs(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < projects.size(); ++i) {
    threads.emplace_back([&, i] {
      runs[i] = run_obrex(command_line({L"--project", projects[i].path(), L"--write", shared.path(),
                                        L"--", probe_path()}),
                          {}, std::chrono::seconds(60), &together);
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  const std::string dacl = security_text(shared.path(), DACL_SECURITY_INFORMATION);
  Win32Os os;
  for (std::size_t i = 0; i < projects.size(); ++i) {
    EXPECT_EQ(runs[i].exit_code, 0u) << runs[i].err;
    const auto identity = derive_sandbox_identity(os, utf8(projects[i].path()), {});
    ASSERT_TRUE(identity) << identity.error().message;
    EXPECT_EQ(occurrences(dacl, identity->sid_text + ")"), 1u) << i << ": " << dacl;
  }
}

} // namespace
} // namespace obrex::e2e
