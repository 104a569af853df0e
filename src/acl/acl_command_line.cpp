#include "acl/acl_command_line.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

namespace obrex {
namespace {

constexpr std::string_view kGeneralUsage =
    "usage: obrex-sandbox-acl sid|show|revoke|check ARGUMENT... (see obrex-sandbox-acl --help)";
constexpr std::string_view kCheckUsage = "usage: obrex-sandbox-acl check [--json] [--keep]";
// The operands of the two internal forms of check.
constexpr std::size_t kProbeOperands = 5;
constexpr std::size_t kWaitOperands = 1;
constexpr std::string_view kSidUsage = "usage: obrex-sandbox-acl sid DIR...";
constexpr std::string_view kShowUsage =
    "usage: obrex-sandbox-acl show [--project DIR]... [--recurse] PATH...";
constexpr std::string_view kRevokeUsage =
    "usage: obrex-sandbox-acl revoke [--project DIR] [--sid SID]... [--labels] [--deny-labels] "
    "[--recurse] PATH...";

std::string_view usage_of(AclCommand command) {
  switch (command) {
  case AclCommand::Sid:
    return kSidUsage;
  case AclCommand::Show:
    return kShowUsage;
  case AclCommand::Check:
    return kCheckUsage;
  case AclCommand::Revoke:
    break;
  }
  return kRevokeUsage;
}

// A SID of the form the launcher's SIDs take: S-1-5-21 and four numbers,
// each of 32 bits.
bool is_sandbox_sid_form(std::string_view text) {
  constexpr std::string_view kPrefix = "S-1-5-21-";
  if (!text.starts_with(kPrefix)) {
    return false;
  }
  text.remove_prefix(kPrefix.size());
  for (int number = 0; number < 4; ++number) {
    const std::size_t end = std::min(text.find('-'), text.size());
    std::uint32_t value = 0;
    const auto [at, error] = std::from_chars(text.data(), text.data() + end, value);
    if (end == 0 || error != std::errc() || at != text.data() + end ||
        (number < 3) != (end < text.size())) {
      return false;
    }
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return true;
}

std::unexpected<std::string> usage_error(std::string_view problem, std::string_view usage) {
  std::string line(problem);
  line += "; ";
  line += usage;
  return std::unexpected(std::move(line));
}

} // namespace

std::expected<AclInvocation, std::string>
parse_acl_arguments(std::span<const std::string> arguments) {
  if (arguments.empty()) {
    return usage_error("missing command", kGeneralUsage);
  }
  const std::string& first = arguments[0];
  if (first == "--help") {
    return AclHelp{};
  }
  if (first == "--version") {
    return AclVersion{};
  }
  AclRequest request;
  if (first == "sid") {
    request.command = AclCommand::Sid;
  } else if (first == "show") {
    request.command = AclCommand::Show;
  } else if (first == "revoke") {
    request.command = AclCommand::Revoke;
  } else if (first == "check") {
    request.command = AclCommand::Check;
  } else {
    return usage_error("unknown command " + first, kGeneralUsage);
  }
  const std::string_view usage = usage_of(request.command);
  const bool sid = request.command == AclCommand::Sid;
  const bool revoke = request.command == AclCommand::Revoke;
  const bool check = request.command == AclCommand::Check;

  bool options_ended = false;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (options_ended || !argument.starts_with("--")) {
      request.paths.push_back(argument);
    } else if (argument == "--") {
      options_ended = true;
    } else if (argument == "--help") {
      return AclHelp{};
    } else if (check && (argument == "--json" || argument == "--keep")) {
      (argument == "--json" ? request.json : request.keep) = true;
    } else if (check && (argument == "--inner-probes" || argument == "--inner-wait")) {
      request.check_form = argument == "--inner-probes" ? CheckForm::Probes : CheckForm::Wait;
    } else if (check) {
      return usage_error("unknown option " + argument, usage);
    } else if (argument == "--project" && !sid) {
      if (i + 1 == arguments.size()) {
        return usage_error("--project needs a directory", usage);
      }
      if (revoke && !request.projects.empty()) {
        return usage_error("revoke takes one --project", usage);
      }
      request.projects.push_back(arguments[++i]);
    } else if (argument == "--sid" && revoke) {
      if (i + 1 == arguments.size()) {
        return usage_error("--sid needs a SID", usage);
      }
      const std::string& value = arguments[++i];
      if (!is_sandbox_sid_form(value)) {
        return usage_error("--sid takes a sandbox SID, S-1-5-21 and four numbers, not " + value,
                           usage);
      }
      request.sids.push_back(value);
    } else if (argument == "--recurse" && !sid) {
      request.recurse = true;
    } else if (argument == "--labels" && revoke) {
      request.labels = true;
    } else if (argument == "--deny-labels" && revoke) {
      request.deny_labels = true;
    } else {
      return usage_error("unknown option " + argument, usage);
    }
  }
  if (check) {
    const std::size_t operands = request.check_form == CheckForm::Probes ? kProbeOperands
                                 : request.check_form == CheckForm::Wait ? kWaitOperands
                                                                         : 0;
    if (request.paths.size() != operands) {
      return usage_error(operands == 0 ? "check takes no operand" : "wrong number of operands",
                         usage);
    }
    return request;
  }
  if (revoke && request.projects.empty() && request.sids.empty() && !request.labels &&
      !request.deny_labels) {
    return usage_error("revoke needs --project, --sid, --labels or --deny-labels", usage);
  }
  if (request.paths.empty()) {
    return usage_error(sid ? "missing DIR" : "missing PATH", usage);
  }
  return request;
}

std::string acl_help_text() {
  return R"(Usage: obrex-sandbox-acl sid DIR...
       obrex-sandbox-acl show [--project DIR]... [--recurse] PATH...
       obrex-sandbox-acl revoke [--project DIR] [--sid SID]... [--labels] [--deny-labels]
                                [--recurse] PATH...
       obrex-sandbox-acl check [--json] [--keep]

Shows and removes what obrex-sandbox-exec leaves on disk: the entries of a
project's sandbox SIDs in access-control lists, and its integrity labels.
Results go to standard output, one tab-separated line each. Also checks,
on this machine, each guarantee the sandbox makes.

  sid DIR...      For each project directory: its sandbox SID, its
                  read-only SID and the directory.
  show PATH...    For each path: its integrity labels, then entries of its
                  DACL. With --project, the entries of the projects' SIDs;
                  without, every explicit allow entry except those of your
                  own account, SYSTEM and Administrators, and every explicit
                  entry whose SID names no account (Windows shows it as
                  "Account Unknown"; the sandbox SIDs of every project are
                  such SIDs). Every OWNER RIGHTS (S-1-3-4) entry is shown and
                  marked: it takes away the owner's own right to read and
                  change the permissions. Labels below Medium are marked. An
                  entry marked inherited in a DACL that inherits nothing
                  (protected) counts as explicit.
  revoke PATH...  Removes from each path the grant obrex-sandbox-exec writes
                  for each SID given (the project's two SIDs with --project,
                  or each --sid): the explicit allow entry of full access
                  inherited by files and directories, exactly; entries
                  inherited from it go by themselves. Every other entry stays
                  as it was, and so does whether the path inherits its
                  parent's permissions. Prints what it removed and the other
                  explicit entries of those SIDs, which it kept. Refuses a
                  path whose DACL would be left empty, and writes back what
                  it read when the DACL reads back empty all the same. Takes
                  turns with runs of obrex-sandbox-exec through their lock,
                  only for a path with something to remove; when it cannot
                  have the lock, it does the rest without it and says so
                  once, in a note.

  --project DIR   A project directory, as given to obrex-sandbox-exec.
  --sid SID       revoke: a SID whose grants to remove (may repeat), for a
                  project directory that no longer exists: S-1-5-21 and four
                  numbers, naming no account (show lists such SIDs as "no
                  account").
  --labels        revoke also removes the Low write label that
                  obrex-sandbox-exec writes on a --write path,
                  S:(ML;OICI;NW;;;LW), exactly. Other labels stay.
  --deny-labels   revoke also removes the Medium deny label that
                  obrex-sandbox-exec writes on a --deny path,
                  S:(ML;OICI;NWNR;;;ME), exactly. Such a label names no
                  project: it goes whichever project wrote it.
  --recurse       Also every file and directory below each path; show
                  reports only where an explicit entry or label lives. Links
                  and junctions are not followed: a PATH that is one is
                  refused, and each one below is a result line
                  "PATH<tab>not followed<tab>junction" (or "symbolic link",
                  or its reparse tag). Whatever is no longer what its
                  directory listed when it is opened (a name swapped for a
                  junction meanwhile) is left alone and reported as a
                  failure, "PATH changed during the walk".
  check           Proves on this machine each guarantee the sandbox makes.
                  Makes a scratch project in %TEMP% (obrex-check-...) with
                  a write, a deny, a plain, a Low-labelled and another
                  project's directory, runs obrex-sandbox-exec.exe (beside
                  this program) on it with probes inside the sandbox, and
                  prints a header (Windows version, user, elevation,
                  integrity level, job), one PASS or FAIL row per guarantee
                  with what was seen (integrity-level, write-restricted,
                  restricting-sids, privileges, job-ui-limits, no-breakaway,
                  temp, write-granted, write-outside-denied,
                  write-low-ungranted-denied, write-other-project-denied,
                  deny-unreadable, lock-unreachable,
                  other-sandbox-unreachable, exit-code), and "N of M
                  hold". While the probes run it holds the permissions
                  lock, which they must not reach. Then removes the
                  scratch projects' grants and labels, as revoke does, and
                  the scratch trees. A FAIL row means the sandbox cannot be
                  trusted on this machine. Exit status 0 when every row
                  holds, 1 otherwise or when the check cannot finish.
  --json          check: one JSON object instead of the table:
                  {"facts": {...}, "checks": [{"name", "ok", "detail"}],
                  "held": N, "total": M}.
  --keep          check: leaves the scratch in place and prints its path.
  --              Ends the options.
  --help          Prints this text.
  --version       Prints the version.

Exit status: 0 when everything succeeded (every row held), 1 when something
failed (each failure is one line on standard error), 2 after a usage error. A line
"obrex-sandbox-acl: note: ..." on standard error is no failure.
)";
}

} // namespace obrex
