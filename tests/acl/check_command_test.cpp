#include "acl/check_command.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <sstream>

#include "platform/text.h"
#include "support/simulated_os.h"

namespace obrex {
namespace {

constexpr std::uint32_t kCode = 20'000;

// What the probes say when every guarantee holds, but `failing`.
std::string probe_report(std::string_view failing = "") {
  std::string report;
  for (std::size_t i = 0; i + 1 < kCheckNames.size(); ++i) {
    report += std::string(kCheckNames[i]) + (kCheckNames[i] == failing ? " fail " : " ok ") +
              "seen " + std::to_string(i) + "\n";
  }
  return report;
}

std::vector<std::string> failed_names(const std::vector<CheckRow>& rows) {
  std::vector<std::string> names;
  for (const CheckRow& row : rows) {
    if (!row.ok) {
      names.push_back(row.name);
    }
  }
  return names;
}

TEST(CheckRows, EachGuaranteeFailsAloneAndCarriesWhatWasSeen) {
  const auto all = check_rows(probe_report(), kCode, kCode);
  ASSERT_EQ(all.size(), kCheckNames.size());
  EXPECT_TRUE(failed_names(all).empty());
  EXPECT_EQ(all[3], (CheckRow{"privileges", true, "seen 3"}));
  for (const std::string_view name : kCheckNames) {
    const bool exit_code = name == "exit-code";
    const auto rows = check_rows(probe_report(name), exit_code ? 126 : kCode, kCode);
    EXPECT_EQ(failed_names(rows), std::vector<std::string>{std::string(name)}) << name;
  }
  EXPECT_EQ(check_rows(probe_report(), 126, kCode).back().detail,
            "the launcher ended with 126, the probes with 20000");
}

// A report that is missing, cut short or garbled proves nothing: the rows
// it does not show fail, and a forged exit-code line changes nothing.
TEST(CheckRows, WhatTheReportDoesNotShowFails) {
  const std::string rest = probe_report().substr(probe_report().find('\n') + 1);
  const struct {
    std::string report;
    std::uint32_t status;
    std::vector<std::string> failed;
  } cases[] = {
      {"", kCode, std::vector<std::string>(kCheckNames.begin(), kCheckNames.end() - 1)},
      {"integrity-level\n" + rest, kCode, {"integrity-level"}},
      {"integrity-level maybe S-1-16-4096\n" + rest, kCode, {"integrity-level"}},
      {"integrity-level ok a\r\n" + rest + "integrity-level ok b\n", kCode, {"integrity-level"}},
      {probe_report() + "exit-code ok forged\nextra ok x\n", 7, {"exit-code"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(failed_names(check_rows(c.report, c.status, kCode)), c.failed) << c.report;
  }
}

// A machine with the launcher beside the tool and a TEMP; each launcher run
// says what the test has it say.
struct CheckMachine : test::SimulatedOs {
  CheckMachine() {
    standard_output_expected = true;
    add_file(u"C:\\tools\\obrex-sandbox-exec.exe");
    add_directory(u"C:\\temp");
    environment[u"TEMP"] = u"C:\\temp";
    on_start = [this](const test::SimProcess& process) {
      std::istringstream words(utf16_to_utf8_lossy(process.command_line));
      std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
      const auto at = std::ranges::find_if(
          args, [](const std::string& a) { return a.starts_with("--inner-"); });
      if (*at == "--inner-wait") {
        if (second_ready) {
          add_file(utf8_to_utf16(at[1] + "\\pid"));
        }
        return SimRun{};
      }
      code = static_cast<std::uint32_t>(std::stoul(at[4]));
      return probes ? probes(code) : SimRun{probe_report(), code};
    };
  }

  std::uint32_t run(const std::u16string& arguments) {
    command_line = u"obrex-sandbox-acl.exe check" + arguments;
    return run_acl_program(*this);
  }
  bool scratch_left() const {
    return std::ranges::any_of(files, [](const auto& entry) {
      return entry.first.starts_with(u"c:\\temp\\obrex-check-");
    });
  }

  bool second_ready = true;
  std::function<SimRun(std::uint32_t)> probes;
  std::uint32_t code = 0;
};

TEST(Check, PrintsTheRowsAndLeavesNothingBehind) {
  const struct {
    std::string name;
    std::function<void(CheckMachine&)> setup;
    std::uint32_t status;
    std::string out; // found in standard output
    std::string err; // the start of standard error
    bool revoked;    // the grants and labels were taken away by revoke
  } cases[] = {
      {"every row holds", {}, 0, "PASS  exit-code", "", true},
      {"a row fails",
       [](CheckMachine& os) {
         os.probes = [](std::uint32_t code) {
           return test::SimulatedOs::SimRun{probe_report("deny-unreadable"), code};
         };
       },
       1, "FAIL  deny-unreadable             seen 11\n", "", true},
      {"the probes end with another code",
       [](CheckMachine& os) {
         os.probes = [](std::uint32_t) { return test::SimulatedOs::SimRun{probe_report(), 3}; };
       },
       1, "\n14 of 15 hold\n", "", true},
      {"the launcher refused",
       [](CheckMachine& os) {
         os.probes = [](std::uint32_t) {
           return test::SimulatedOs::SimRun{"obrex-sandbox-exec: cannot label D: no\r\n", 126};
         };
       },
       1, "", "obrex-sandbox-acl: cannot check: the launcher refused: cannot label D: no\n", true},
      {"the launcher cannot be started for the probes",
       [](CheckMachine& os) { os.fail_call("create_process_with_output", 2, 5); }, 1, "",
       "obrex-sandbox-acl: cannot check: cannot start C:\\tools\\obrex-sandbox-exec.exe: ", true},
      {"the second sandbox never gets ready", [](CheckMachine& os) { os.second_ready = false; }, 1,
       "", "obrex-sandbox-acl: cannot check: the second sandboxed command did not get ready\n",
       true},
      {"no launcher beside the tool",
       [](CheckMachine& os) { os.files.erase(u"c:\\tools\\obrex-sandbox-exec.exe"); }, 1, "",
       "obrex-sandbox-acl: cannot check: C:\\tools\\obrex-sandbox-exec.exe is not beside this "
       "program\n",
       false},
      {"the scratch cannot be labelled",
       [](CheckMachine& os) { os.fail_call("set_named_security_info", 1, 5); }, 1, "",
       "obrex-sandbox-acl: cannot check: cannot label C:\\temp\\obrex-check-", false},
      {"the scratch cannot be made",
       [](CheckMachine& os) { os.fail_call("create_directory", 4, 5); }, 1, "",
       "obrex-sandbox-acl: cannot check: cannot make C:\\temp\\obrex-check-", false},
  };
  for (const auto& c : cases) {
    CheckMachine os;
    if (c.setup) {
      c.setup(os);
    }
    EXPECT_EQ(os.run(u""), c.status) << c.name;
    EXPECT_NE(os.output_written.find(c.out), std::string::npos) << c.name << os.output_written;
    // Nothing on standard error, or one line.
    EXPECT_TRUE(c.err.empty() ? os.bytes_written.empty()
                              : os.bytes_written.starts_with(c.err) &&
                                    os.bytes_written.find('\n') + 1 == os.bytes_written.size())
        << c.name << ": " << os.bytes_written;
    EXPECT_FALSE(os.scratch_left()) << c.name;
    EXPECT_EQ(os.calls("set_security_info") > 0, c.revoked) << c.name;
  }
}

TEST(Check, KeepsTheScratchAndGivesJson) {
  CheckMachine os;
  EXPECT_EQ(os.run(u" --json --keep"), 0u);
  EXPECT_TRUE(os.output_written.starts_with("{\"facts\": {\"windows\": \"10.0 build 19045\", "))
      << os.output_written;
  EXPECT_TRUE(os.output_written.ends_with(
      "{\"name\": \"exit-code\", \"ok\": true, \"detail\": \"the launcher ended with " +
      std::to_string(os.code) + ", the probes with " + std::to_string(os.code) +
      "\"}], \"held\": 15, \"total\": 15}\n"));
  EXPECT_TRUE(os.bytes_written.starts_with("obrex-sandbox-acl: note: kept C:\\temp\\obrex-check-"));
  EXPECT_TRUE(os.scratch_left());
  EXPECT_EQ(os.calls("set_security_info"), 0);
}

} // namespace
} // namespace obrex
