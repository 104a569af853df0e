// The in-process side of the benchmark: the Os calls that one run makes, for
// a typical run and for the cases that bench/driver.cpp times, counted from
// the simulated system's call log, and for a launcher started inside a job
// that lets its children break away silently or on request. The figures
// depend on the code only, not on the machine. The console handler's target
// and record are memory the handler shares, no system call: they are
// counted in a column of their own, not among the Os calls.
//
//   build/host/bench/obrex_bench_calls
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "obrex/sandbox.h"
#include "platform/constants.h"
#include "platform/text.h"
#include "support/simulated_os.h"

namespace {

using obrex::ArgumentList;
using obrex::RunRequest;
using obrex::test::SimulatedOs;

const std::u16string kProfile = u"C:\\Users\\sandboxer";
const std::u16string kTempParent = kProfile + u"\\AppData\\LocalLow\\Tornel\\Obrex";
// Where the permissions lock's file is made: its directory is there once any
// run on the machine has written a grant.
const std::u16string kLockDirectory = kProfile + u"\\AppData\\Local\\Tornel\\Obrex";
const std::string kCommand = "C:\\bench\\obrex_bench_noop.exe";
// PATHEXT as Windows sets it: eleven extensions, each tried in every
// directory of PATH before the next directory.
const std::u16string kWindowsPathExt = u".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH;.MSC";

struct Case {
  const char* name;
  RunRequest request;
  bool temp_present = true;
  std::u16string path = u"C:\\Windows\\system32;C:\\Windows";
  // Runs on the same machine before the counted one.
  int earlier_runs = 0;
  // The jobs the launcher runs in, innermost first, by their limit flags.
  std::vector<std::uint32_t> jobs = {};
};

struct Count {
  std::vector<std::string> log;
  int of(const std::string& method) const {
    return static_cast<int>(std::ranges::count(log, method));
  }
};

Count count_calls(const Case& entry) {
  SimulatedOs os;
  os.environment[u"PATH"] = entry.path;
  os.environment[u"PATHEXT"] = kWindowsPathExt;
  os.profile = kProfile;
  os.own_jobs = entry.jobs;
  os.add_directory(entry.temp_present ? kTempParent + u"\\sandbox-temp" : kTempParent);
  os.add_directory(kLockDirectory);
  os.add_directory(u"C:\\proj\\secrets");
  os.add_file(u"C:\\Program Files\\nodejs\\node.exe");
  os.add_file(u"C:\\bench\\obrex_bench_noop.exe");
  for (int run = 0; run <= entry.earlier_runs; ++run) {
    const std::size_t before = os.call_log().size();
    const auto outcome = obrex::run_sandbox(os, entry.request);
    if (!outcome) {
      std::fprintf(stderr, "obrex_bench_calls: %s: %s\n", entry.name,
                   outcome.error().message.c_str());
      std::exit(1);
    }
    if (run == entry.earlier_runs) {
      return Count{
          {os.call_log().begin() + static_cast<std::ptrdiff_t>(before), os.call_log().end()}};
    }
  }
  return {};
}

} // namespace

int main() {
  const RunRequest typical{
      "C:\\proj", {"C:\\proj"}, {"C:\\proj\\secrets"}, {}, ArgumentList{{"node", "build.js"}}};
  const std::u16string typical_path =
      u"C:\\Windows\\system32;C:\\Windows;C:\\Program Files\\nodejs";
  RunRequest plain{"C:\\proj", {}, {}, {}, ArgumentList{{kCommand}}};
  RunRequest ten_missing = plain;
  for (int i = 0; i < 5; ++i) {
    ten_missing.write_dirs.push_back("C:\\absent\\w" + std::to_string(i));
    ten_missing.deny_dirs.push_back("C:\\absent\\d" + std::to_string(i));
  }
  RunRequest by_name = plain;
  by_name.command = ArgumentList{{"obrex_bench_noop"}};
  std::u16string long_path;
  for (int i = 0; i < 39; ++i) {
    long_path += u"C:\\absent\\bin" + obrex::utf8_to_utf16(std::to_string(i)) + u";";
  }
  long_path += u"C:\\bench";

  const Case cases[] = {
      {"typical, first run", typical, true, typical_path, 0},
      {"typical, later run", typical, true, typical_path, 1},
      {"temp present, no paths", plain},
      {"temp absent", plain, false},
      {"ten missing paths", ten_missing},
      {"40-entry PATH", by_name, true, long_path},
      {"in a silent-breakaway job",
       plain,
       true,
       u"",
       0,
       {0x1000u}}, // JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK
      {"in a breakaway job",
       plain,
       true,
       u"C:\\Windows\\system32;C:\\Windows",
       0,
       {0x800u}}, // JOB_OBJECT_LIMIT_BREAKAWAY_OK
  };
  const char* const columns[] = {"create_file", "get_file_attributes", "get_environment_variable",
                                 "get_named_security_info", "set_named_security_info"};
  // The console handler's target and record: memory that the handler
  // shares, no system call. Counted apart from the Os calls.
  const char* const handler_methods[] = {"set_console_ctrl_target", "console_interrupted"};
  std::printf("%-26s %8s %12s %10s %9s %9s %9s %8s\n", "case", "Os calls", "create_file",
              "attributes", "env reads", "sec reads", "sec writes", "handler");
  std::map<std::string, int> typical_methods;
  std::vector<std::string> typical_order;
  for (const Case& entry : cases) {
    const Count count = count_calls(entry);
    int handler = 0;
    for (const char* method : handler_methods) {
      handler += count.of(method);
    }
    std::printf("%-26s %8zu", entry.name, count.log.size() - static_cast<std::size_t>(handler));
    const int widths[] = {12, 10, 9, 9, 9};
    for (std::size_t i = 0; i < std::size(columns); ++i) {
      std::printf(" %*d", widths[i], count.of(columns[i]));
    }
    std::printf(" %8d\n", handler);
    if (&entry == &cases[0]) {
      for (const std::string& method : count.log) {
        if (typical_methods[method]++ == 0) {
          typical_order.push_back(method);
        }
      }
    }
  }
  std::printf("\n%s, by method in the order of first use:\n", cases[0].name);
  for (const std::string& method : typical_order) {
    std::printf("  %-58s %3d\n", method.c_str(), typical_methods[method]);
  }
  // The simulated system reports misuse as a test failure.
  return ::testing::UnitTest::GetInstance()->ad_hoc_test_result().Failed() ? 1 : 0;
}
