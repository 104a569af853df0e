#include "frontend/errors.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/simulated_os.h"

namespace obrex {
namespace {

using test::SimulatedOs;

struct ErrorTextCase {
  const char* name;
  std::function<void(SimulatedOs&)> set_up;
  OsCode code;
  std::string expected;
};

TEST(OsErrorText, DescribesCodesFromTheSystemOrNtdll) {
  const ErrorTextCase cases[] = {
      {"system message, CR LF trimmed", [](SimulatedOs&) {}, 5, "Access is denied. (os error 5)"},
      {"all trailing white space trimmed, inner kept",
       [](SimulatedOs& os) { os.system_messages[1000] = u" Two  words.\t \u3000\u00a0\r\n\r\n"; },
       1000, " Two  words. (os error 1000)"},
      {"non-ASCII message",
       [](SimulatedOs& os) { os.system_messages[5] = u"Acc\u00e8s refus\u00e9.\r\n"; }, 5,
       "Acc\xc3\xa8s refus\xc3\xa9. (os error 5)"},
      {"NT facility bit: NTDLL's table with the bit cleared, code shown negative",
       [](SimulatedOs& os) { os.system_messages[0xD0000005] = u"wrong table\r\n"; }, 0xD0000005,
       "The instruction at 0x%p referenced memory at 0x%p. (os error -805306363)"},
      {"NT facility bit with a positive code",
       [](SimulatedOs& os) {
         os.ntdll_messages[0x22] = u"NT table.\r\n";
         os.system_messages[0x10000022] = u"wrong table\r\n";
       },
       0x10000022, "NT table. (os error 268435490)"},
      {"no facility bit: the system's table even with the top bit set",
       [](SimulatedOs& os) {
         os.system_messages[0xC0000005] = u"System table.\r\n";
         os.ntdll_messages[0xC0000005] = u"wrong table\r\n";
       },
       0xC0000005, "System table. (os error -1073741819)"},
      {"NTDLL not loaded: the system's table with the code unchanged",
       [](SimulatedOs& os) {
         os.ntdll_loaded = false;
         os.system_messages[0xD0000005] = u"System table.\r\n";
       },
       0xD0000005, "System table. (os error -805306363)"},
      {"no message: the code passed and the error of FormatMessageW", [](SimulatedOs&) {}, 12345,
       "OS Error 12345 (FormatMessageW() returned error 317) (os error 12345)"},
      {"no NTDLL message: the code passed, with the bit cleared", [](SimulatedOs&) {}, 0xD0000022,
       "OS Error -1073741790 (FormatMessageW() returned error 317) (os error -805306334)"},
      {"FormatMessageW fails", [](SimulatedOs& os) { os.fail_call("format_message", 1, 8); }, 5,
       "OS Error 5 (FormatMessageW() returned error 8) (os error 5)"},
      {"invalid UTF-16 from FormatMessageW",
       [](SimulatedOs& os) {
         os.system_messages[77] = u"bad " + std::u16string(1, char16_t{0xD800}) + u"\r\n";
       },
       77, "OS Error 77 (FormatMessageW() returned invalid UTF-16) (os error 77)"},
  };
  for (const auto& c : cases) {
    SimulatedOs os;
    c.set_up(os);
    EXPECT_EQ(os_error_text(os, c.code), c.expected) << c.name;
  }
}

TEST(SandboxErrorFromStatus, NegativeStatusesAreShownUnsigned) {
  const std::pair<std::uint32_t, std::string> cases[] = {
      {5, "cannot label C:\\w: Access is denied. (os error 5)"},
      {0x80000000, "cannot label C:\\w: error 2147483648"},
      {0xC0000022, "cannot label C:\\w: error 3221225506"},
      {0xFFFFFFFF, "cannot label C:\\w: error 4294967295"},
      // Positive, with the NT facility bit: NTDLL's table, the bit cleared.
      {0x7FFFFFFF, "cannot label C:\\w: OS Error 1879048191 (FormatMessageW() returned error 317) "
                   "(os error 2147483647)"},
  };
  for (const auto& [status, expected] : cases) {
    SimulatedOs os;
    EXPECT_EQ(SandboxError::from_status(os, "cannot label C:\\w", status).message, expected);
  }
}

struct ReportCase {
  const char* name;
  bool console;
  std::uint32_t code_page;
  std::string message;
  std::u16string console_expected;
  std::string bytes_expected;
};

TEST(ReportFailure, WritesOneLineAsUtf16ToALegacyConsoleAndAsUtf8Otherwise) {
  const std::string non_ascii = "cannot open C:\\\xc3\xbc\\\xf0\x9d\x84\x9e";
  const ReportCase cases[] = {
      {"console, code page 437", true, 437, "missing --project",
       u"obrex-sandbox-exec: missing --project\n", ""},
      {"console, UTF-8 code page", true, 65001, "missing --project", u"",
       "obrex-sandbox-exec: missing --project\n"},
      {"redirected", false, 437, "missing --project", u"",
       "obrex-sandbox-exec: missing --project\n"},
      {"non-ASCII to a legacy console", true, 850, non_ascii,
       u"obrex-sandbox-exec: cannot open C:\\\u00fc\\\U0001D11E\n", ""},
      {"non-ASCII redirected", false, 850, non_ascii, u"",
       "obrex-sandbox-exec: " + non_ascii + "\n"},
  };
  for (const auto& c : cases) {
    SimulatedOs os;
    os.std_error_is_console = c.console;
    os.console_output_cp = c.code_page;
    report_failure(os, c.message);
    EXPECT_EQ(os.console_written, c.console_expected) << c.name;
    EXPECT_EQ(os.bytes_written, c.bytes_expected) << c.name;
    EXPECT_EQ(os.calls("write_console") + os.calls("write_file"), 1) << c.name;
  }
}

TEST(ReportFailure, DropsTheLineWithoutAStandardErrorHandle) {
  for (const bool console : {false, true}) {
    SimulatedOs os;
    os.std_error = Handle{};
    os.std_error_is_console = console;
    EXPECT_NO_THROW(report_failure(os, "missing --project"));
    EXPECT_EQ(os.calls("write_console") + os.calls("write_file"), 0);
  }
}

TEST(ReportFailure, AFailedWriteIsAnInternalFailure) {
  for (const bool console : {false, true}) {
    SimulatedOs os;
    os.std_error_is_console = console;
    os.write_error = 232;
    os.system_messages[232] = u"The pipe is being closed.\r\n";
    try {
      report_failure(os, "missing --project");
      ADD_FAILURE() << "no internal failure, console " << console;
    } catch (const InternalFailure& failure) {
      EXPECT_EQ(failure.diagnostic(), "obrex-sandbox-exec: cannot write the error message to "
                                      "standard error: The pipe is being closed. (os error 232)");
    }
  }
}

} // namespace
} // namespace obrex
