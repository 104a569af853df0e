// obrex-sandbox-acl check run for real: every guarantee holds on Windows;
// under Wine, which enforces no token, label or DACL, the rows it cannot
// hold fail and the others pass.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "acl/check_command.h"
#include "e2e_support.h"
#include "filesystem/permissions_lock.h"

namespace obrex::e2e {
namespace {

constexpr std::uint32_t kCode = 17'000;

std::wstring acl_path() {
  return built_file_path(L"obrex-sandbox-acl.exe");
}

// The check's scratch directories in %TEMP%.
std::set<std::wstring> scratch_left() {
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
  std::set<std::wstring> found;
  ::WIN32_FIND_DATAW entry{};
  const HANDLE search =
      ::FindFirstFileW((std::wstring(temp, length) + L"obrex-check-*").c_str(), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      found.insert(entry.cFileName);
    } while (::FindNextFileW(search, &entry));
    ::FindClose(search);
  }
  return found;
}

// The permissions lock of this user.
std::wstring lock_file() {
  wchar_t profile[MAX_PATH];
  const DWORD length = ::GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH);
  const std::u16string path = PermissionsLock::path_in(
      std::u16string(profile, profile + std::min<DWORD>(length, MAX_PATH)));
  return std::wstring(path.begin(), path.end());
}

RunOutcome run_check(std::wstring_view options) {
  return run_raw(acl_path(), quoted_path(acl_path()) + L" check" + std::wstring(options), {},
                 std::chrono::minutes(2));
}

TEST(CheckE2e, EveryGuaranteeHoldsOnWindows) {
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine enforces no token, label or DACL, and the launcher cannot label a "
                    "--write or --deny path there";
  }
  const auto before = scratch_left();
  for (const std::wstring_view options : {L"", L" --json"}) {
    const RunOutcome run = run_check(options);
    EXPECT_EQ(run.exit_code, 0u) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(
        run.out.ends_with(options.empty() ? "\n15 of 15 hold\n" : "\"held\": 15, \"total\": 15}\n"))
        << run.out;
  }
  EXPECT_EQ(scratch_left(), before);
}

// Wine cannot read or write a label, so the launcher refuses the check's
// --write and --deny paths, and the check cannot finish: it says so in one
// line, prints no table and leaves nothing behind.
TEST(CheckE2e, UnderWineTheCheckSaysItCannotFinish) {
  if (!running_under_wine()) {
    GTEST_SKIP() << "on Windows the check finishes (EveryGuaranteeHoldsOnWindows)";
  }
  const auto before = scratch_left();
  const RunOutcome run = run_check(L"");
  EXPECT_EQ(run.exit_code, 1u);
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(run.err.starts_with("obrex-sandbox-acl: cannot check: ") &&
              occurrences(run.err, "\n") == 1)
      << run.err;
  EXPECT_EQ(scratch_left(), before);
}

// The probes inside a sandbox of the real launcher, without the --write and
// --deny paths that Wine cannot label: exactly the rows that need no token,
// label or DACL enforcement hold there.
TEST(CheckE2e, UnderWineExactlyTheUnenforcedRowsFail) {
  if (!running_under_wine()) {
    GTEST_SKIP() << "the whole check runs on Windows (EveryGuaranteeHoldsOnWindows)";
  }
  TempDirectory scratch;
  for (const wchar_t* directory : {L"write", L"deny", L"plain", L"low", L"other"}) {
    scratch.make_directory(directory);
  }
  for (const wchar_t* file : {L"deny\\file", L"plain\\file", L"low\\file", L"other\\file"}) {
    scratch.make_file(file);
  }
  const RunOutcome sid =
      run_raw(acl_path(), quoted_path(acl_path()) + L" sid " + command_line({scratch.path()}));
  ASSERT_EQ(sid.exit_code, 0u) << sid.err;
  const std::string sandbox_sid = sid.out.substr(0, sid.out.find('\t'));
  const std::wstring sid_wide(sandbox_sid.begin(), sandbox_sid.end());
  const RunOutcome run =
      run_obrex(command_line({L"--project", scratch.path(), L"--", acl_path(), L"check",
                              L"--inner-probes", scratch.path(), sid_wide, sandbox_temp_directory(),
                              std::to_wstring(kCode), lock_file()}),
                {}, std::chrono::minutes(1));
  std::set<std::string> failed;
  for (const CheckRow& row : check_rows(run.out, run.exit_code, kCode)) {
    if (!row.ok) {
      failed.insert(row.name);
    }
  }
  const std::set<std::string> expected = {"integrity-level",
                                          "write-restricted",
                                          "restricting-sids",
                                          "privileges",
                                          "job-ui-limits",
                                          "write-outside-denied",
                                          "write-low-ungranted-denied",
                                          "write-other-project-denied",
                                          "deny-unreadable",
                                          "lock-unreachable",
                                          "other-sandbox-unreachable"};
  EXPECT_EQ(failed, expected) << run.out << run.err;
}

} // namespace
} // namespace obrex::e2e
