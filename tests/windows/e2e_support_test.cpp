// The harness and the probe, run directly: the faults that would let the
// other end-to-end tests pass wrongly.
#include <gtest/gtest.h>

#include <windows.h>

#include "e2e_support.h"

namespace obrex::e2e {
namespace {

// A variable that a case unsets must be gone for the run, not inherited.
TEST(Harness, EnvironmentOverridesHoldForOneRun) {
  // Put back at the end: the tests after this one, in the same process, make
  // their directories in the folder TMP names.
  std::wstring original(32768, L'\0');
  original.resize(::GetEnvironmentVariableW(L"TMP", original.data(), 32768));
  ASSERT_TRUE(::SetEnvironmentVariableW(L"TMP", L"C:\\inherited"));
  const RunOutcome run = run_raw(probe_path(), quoted_path(probe_path()),
                                 {{L"TEMP", L"C:\\sandbox-temp"}, {L"TMP", std::nullopt}});
  EXPECT_EQ(probe_value(run.out, "TEMP"), "C:\\sandbox-temp");
  EXPECT_EQ(probe_value(run.out, "TMP"), std::nullopt);
  wchar_t value[64] = {};
  EXPECT_EQ(::GetEnvironmentVariableW(L"TMP", value, 64), 12u);
  EXPECT_STREQ(value, L"C:\\inherited");
  ::SetEnvironmentVariableW(L"TMP", original.empty() ? nullptr : original.c_str());
}

// Outside the sandbox the probe reports its parent's job and error mode, not
// what a sandboxed run expects.
TEST(Harness, ProbeReportsTheJobAndErrorModeItHas) {
  BOOL in_job = FALSE;
  ASSERT_TRUE(::IsProcessInJob(::GetCurrentProcess(), nullptr, &in_job));
  const UINT original = ::SetErrorMode(0);
  const RunOutcome run = run_raw(probe_path(), quoted_path(probe_path()));
  ::SetErrorMode(original);
  EXPECT_EQ(probe_value(run.out, "in_job"), in_job ? "1" : "0");
  EXPECT_EQ(probe_value(run.out, "error_mode"), "0");
}

} // namespace
} // namespace obrex::e2e
