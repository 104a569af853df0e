// The real executable's command-line failures: the exact line on standard
// error, nothing on standard output, and the exit status.
#include <gtest/gtest.h>

#include <string>

#include "e2e_support.h"

namespace obrex::e2e {
namespace {

struct UsageCase {
  const char* name;
  std::wstring arguments;
  std::string err;
};

void PrintTo(const UsageCase& usage, std::ostream* out) {
  *out << usage.name;
}

class UsageMessages : public testing::TestWithParam<UsageCase> {};

TEST_P(UsageMessages, PrintOneLineAndExit126) {
  const RunOutcome run = run_obrex(GetParam().arguments);
  EXPECT_EQ(run.err, GetParam().err);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.exit_code, 126u);
}

INSTANTIATE_TEST_SUITE_P(
    FrontEndE2e, UsageMessages,
    testing::Values(
        UsageCase{"NoArguments", L"",
                  "obrex-sandbox-exec: expected -- or --verbatim and a command\n"},
        UsageCase{"ProjectOnly", L"--project C:\\p",
                  "obrex-sandbox-exec: expected -- or --verbatim and a command\n"},
        UsageCase{"MissingProject", L"-- cmd /c exit 0", "obrex-sandbox-exec: missing --project\n"},
        UsageCase{"NoCommandAfterDashes", L"--project C:\\p --",
                  "obrex-sandbox-exec: no command after --\n"},
        UsageCase{"VerbatimWithOneValue", L"--project C:\\p --verbatim cmd.exe",
                  "obrex-sandbox-exec: --verbatim needs a value\n"},
        // Redirected standard error receives UTF-8, whatever the console's
        // code page.
        UsageCase{
            "NonAsciiArgumentInUtf8", L"--project C:\\p --b\u00e9\u4e2d\U0001F600",
            "obrex-sandbox-exec: unknown argument: --b\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80\n"},
        // Reading stops at the first error: the unpaired surrogate after it is
        // never converted.
        UsageCase{"ErrorBeforeAnUnpairedSurrogate", std::wstring(L"--bogus ") + wchar_t(0xD800),
                  "obrex-sandbox-exec: unknown argument: --bogus\n"}),
    [](const testing::TestParamInfo<UsageCase>& test) { return std::string(test.param.name); });

TEST(FrontEndE2e, EmptyCommandLineIsNoArguments) {
  const RunOutcome run = run_raw(obrex_path(), L"");
  EXPECT_EQ(run.err, "obrex-sandbox-exec: expected -- or --verbatim and a command\n");
  EXPECT_EQ(run.exit_code, 126u);
}

TEST(FrontEndE2e, UnpairedSurrogateIsAnInternalFailure) {
  for (const wchar_t unit : {wchar_t(0xD800), wchar_t(0xDC00)}) {
    const RunOutcome run = run_obrex(std::wstring(L"--project C:\\") + unit + L" -- cmd /c exit 0");
    EXPECT_EQ(run.exit_code, 101u) << "unit " << static_cast<unsigned>(unit);
    EXPECT_EQ(run.out, "");
    // One line naming the failure, after the program's name.
    EXPECT_TRUE(run.err.starts_with("obrex-sandbox-exec")) << run.err;
    EXPECT_TRUE(run.err.ends_with("\n")) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
  }
}

} // namespace
} // namespace obrex::e2e
