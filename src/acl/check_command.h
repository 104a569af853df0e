// obrex-sandbox-acl check: runs the real launcher on a scratch project with
// probes inside the sandbox, and shows which of the sandbox's guarantees
// hold on this machine.
//
// The check has two halves. The outer one, here, makes the scratch, holds
// the permissions lock, starts obrex-sandbox-exec twice through the Os seam
// (a second sandbox that waits, then the probes), reads the probes' report
// from the launcher's output, prints the rows and cleans up. The inner one
// (check_probes_win32.cpp) runs inside the sandbox, calls Windows directly,
// writes one line per guarantee, "{name} ok|fail {detail}", and ends with
// the exit code the outer half chose.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "acl/acl_commands.h"
#include "platform/os.h"

namespace obrex {

// The guarantees, in the order they are shown. Every one but the last is
// reported by the probes; the last is the launcher's exit status.
inline constexpr std::array<std::string_view, 15> kCheckNames = {
    "integrity-level",
    "write-restricted",
    "restricting-sids",
    "privileges",
    "job-ui-limits",
    "no-breakaway",
    "temp",
    "write-granted",
    "write-outside-denied",
    "write-low-ungranted-denied",
    "write-other-project-denied",
    "deny-unreadable",
    "lock-unreachable",
    "other-sandbox-unreachable",
    "exit-code",
};

struct CheckRow {
  std::string name;
  bool ok = false;
  std::string detail;
  friend bool operator==(const CheckRow&, const CheckRow&) = default;
};

// A header line: what it is and what was found.
struct CheckFact {
  std::string name;
  std::string value;
};

// The rows, one per name in kCheckNames, from the probes' report and the
// launcher's exit status. A guarantee the report does not show (the report
// missing, cut short or garbled) fails; so does one it shows twice. The
// exit code holds when the launcher's status is the one the probes were
// told to end with.
std::vector<CheckRow> check_rows(std::string_view report, std::uint32_t status,
                                 std::uint32_t expected_status);

// The table (facts, rows, "N of M hold") and the JSON object.
std::string check_table(const std::vector<CheckFact>& facts, const std::vector<CheckRow>& rows);
std::string check_json(const std::vector<CheckFact>& facts, const std::vector<CheckRow>& rows);

// The whole check. 0 when every row holds, 1 when one fails or the check
// cannot finish (said on standard error in one line).
std::uint32_t run_check(Os& os, AclOutput& out, const AclRequest& request);

// The inner halves, on Windows only: the probes and the second sandbox's
// wait. Each returns the status to end with.
std::uint32_t run_check_probes(const std::vector<std::string>& operands);
std::uint32_t run_check_wait(const std::string& directory);

} // namespace obrex
