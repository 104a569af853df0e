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

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "e2e_support.h"
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
  // The user's own directory, not listed: its default Medium label keeps
  // out a Low-integrity writer.
  const TempDirectory elsewhere;

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
  attempts.insert(attempts.end(), {{L"try_create=" + (project_ / L"a.txt"), ERROR_ACCESS_DENIED},
                                   {L"try_mkdir=" + (project_ / L"sub"), ERROR_ACCESS_DENIED},
                                   {L"try_write=" + notes, ERROR_ACCESS_DENIED},
                                   {L"try_create=" + (elsewhere / L"a.txt"), ERROR_ACCESS_DENIED},
                                   // Reading and listing are refused by --deny alone.
                                   {L"try_read=" + notes, 0},
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
  // sandbox.
  EXPECT_EQ(probe_value(outside.out, "clipboard"), utf8(text)) << outside.out;
  EXPECT_EQ(inside.err, "");
  EXPECT_EQ(inside.exit_code, 0u);
  EXPECT_EQ(probe_value(inside.out, "clipboard"), std::nullopt) << inside.out;
  EXPECT_NE(probe_value(inside.out, "clipboard_error"), std::nullopt) << inside.out;
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
      {"the same request", {L"--project", project, L"--write", out}, sandbox->sid_text, true},
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

} // namespace
} // namespace obrex::e2e
