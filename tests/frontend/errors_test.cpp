#include "core/errors.h"
#include "core/report.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/simulated_os.h"

namespace obrex {
namespace {

using test::SimulatedOs;

TEST(OsErrorText, DescribesCodesFromTheSystemOrNtdll) {
  const std::tuple<std::function<void(SimulatedOs&)>, OsCode, std::string> cases[] = {
      {[](SimulatedOs&) {}, 5, "Access is denied. (os error 5)"},
      {[](SimulatedOs& os) { os.system_messages[1000] = u" Two  words.\t \u3000\u00a0\r\n\r\n"; },
       1000, " Two  words. (os error 1000)"},
      // The NT facility bit: NTDLL's table with the bit cleared; the code is
      // shown as it was, negative when the top bit is set too.
      {[](SimulatedOs& os) { os.system_messages[0xD0000005] = u"wrong table\r\n"; }, 0xD0000005,
       "The instruction at 0x%p referenced memory at 0x%p. (os error -805306363)"},
      {[](SimulatedOs& os) { os.ntdll_messages[0x22] = u"NT table.\r\n"; }, 0x10000022,
       "NT table. (os error 268435490)"},
      {[](SimulatedOs& os) { os.system_messages[0xC0000005] = u"System table.\r\n"; }, 0xC0000005,
       "System table. (os error -1073741819)"},
      {[](SimulatedOs& os) {
         os.ntdll_loaded = false;
         os.system_messages[0xD0000005] = u"System table.\r\n";
       },
       0xD0000005, "System table. (os error -805306363)"},
      {[](SimulatedOs&) {}, 12345,
       "OS Error 12345 (FormatMessageW() returned error 317) (os error 12345)"},
      {[](SimulatedOs&) {}, 0xD0000022,
       "OS Error -1073741790 (FormatMessageW() returned error 317) (os error -805306334)"},
      {[](SimulatedOs& os) { os.system_messages[77] = std::u16string(1, char16_t{0xD800}); }, 77,
       "OS Error 77 (FormatMessageW() returned invalid UTF-16) (os error 77)"},
  };
  for (const auto& [set_up, code, expected] : cases) {
    SimulatedOs os;
    set_up(os);
    EXPECT_EQ(os_error_text(os, code), expected);
  }
}

TEST(SandboxErrorFromStatus, ShowsNegativeStatusesUnsigned) {
  const std::pair<std::uint32_t, std::string> cases[] = {
      {5, "cannot label W: Access is denied. (os error 5)"},
      {0x80000000, "cannot label W: error 2147483648"},
      {0x7FFFFFFF, "cannot label W: OS Error 1879048191 (FormatMessageW() returned error 317) "
                   "(os error 2147483647)"},
  };
  for (const auto& [status, expected] : cases) {
    SimulatedOs os;
    const SandboxError error = SandboxError::from_status(os, "cannot label W", status);
    EXPECT_EQ(error.message, expected);
    // The code travels beside the text, for programs that embed the library.
    EXPECT_EQ(error.os_code, status);
  }
  EXPECT_EQ(SandboxError::from_context("missing --project").os_code, std::nullopt);
}

TEST(ReportFailure, WritesOneLineAsUtf16ToALegacyConsoleAndAsUtf8Otherwise) {
  const std::tuple<bool, std::uint32_t, std::u16string, std::string> cases[] = {
      {true, 850, u"obrex-sandbox-exec: C:\\\u00fc\\\U0001D11E\n", ""},
      {true, 65001, u"", "obrex-sandbox-exec: C:\\\xc3\xbc\\\xf0\x9d\x84\x9e\n"},
      {false, 437, u"", "obrex-sandbox-exec: C:\\\xc3\xbc\\\xf0\x9d\x84\x9e\n"},
  };
  for (const auto& [console, code_page, console_expected, bytes_expected] : cases) {
    SimulatedOs os;
    os.std_error_is_console = console;
    os.console_output_cp = code_page;
    report_failure(os, "C:\\\xc3\xbc\\\xf0\x9d\x84\x9e");
    EXPECT_EQ(os.console_written, console_expected);
    EXPECT_EQ(os.bytes_written, bytes_expected);
  }
}

TEST(ReportFailure, EscapesControlCharactersSoTheLineStaysOneLineAndInert) {
  struct Case {
    std::string message;
    std::string written;
  };
  const Case cases[] = {
      {"cannot open C:\\a\nb\r", "cannot open C:\\a\\x0ab\\x0d"},
      {"unknown argument: \x1b[31mred\x1b]0;title\x07",
       "unknown argument: \\x1b[31mred\\x1b]0;title\\x07"},
      {std::string("\0\t\x1f\x7f", 4), "\\x00\\x09\\x1f\\x7f"},
      // C1 controls (U+0080 to U+009F) are escaped; U+00A0 and beyond, and a
      // stray 0xC2, are not controls.
      {"\xc2\x80\xc2\x9b\xc2\xa0\xe2\x80\x8b\xc2", "\\x80\\x9b\xc2\xa0\xe2\x80\x8b\xc2"},
      // The line and paragraph separators and the bidirectional controls
      // become \u{HHHH}; their neighbours and a cut-off sequence do not.
      {"a\xe2\x80\xa8"
       "b\xe2\x80\xa9"
       "c\xe2\x80\xaa\xe2\x80\xae"
       "d\xe2\x81\xa6\xe2\x81\xa9",
       "a\\u{2028}b\\u{2029}c\\u{202a}\\u{202e}d\\u{2066}\\u{2069}"},
      {"\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa\xe2\x80",
       "\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa\xe2\x80"},
  };
  for (const Case& c : cases) {
    SimulatedOs os;
    report_failure(os, c.message);
    EXPECT_EQ(os.bytes_written, "obrex-sandbox-exec: " + c.written + "\n");
  }
  SimulatedOs console;
  console.std_error_is_console = true;
  report_failure(console, "a\x1b[2Jb");
  EXPECT_EQ(console.console_written, u"obrex-sandbox-exec: a\\x1b[2Jb\n");
}

TEST(ReportFailure, DropsTheLineWithoutAHandleAndFailsInternallyWhenAWriteFails) {
  for (const bool console : {false, true}) {
    SimulatedOs os;
    os.std_error_is_console = console;
    os.std_error = Handle{};
    report_failure(os, "missing --project");
    EXPECT_EQ(os.calls("write_console") + os.calls("write_file"), 0);

    SimulatedOs failing;
    failing.std_error_is_console = console;
    failing.write_error = 232;
    failing.system_messages[232] = u"The pipe is being closed.\r\n";
    try {
      report_failure(failing, "missing --project");
      ADD_FAILURE() << "no internal failure, console " << console;
    } catch (const InternalFailure& failure) {
      EXPECT_EQ(failure.diagnostic(), "obrex-sandbox-exec: cannot write the error message to "
                                      "standard error: The pipe is being closed. (os error 232)");
    }
  }
}

} // namespace
} // namespace obrex
