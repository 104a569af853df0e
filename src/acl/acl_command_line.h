// The command line of obrex-sandbox-acl:
//
//   obrex-sandbox-acl sid DIR...
//   obrex-sandbox-acl show [--project DIR]... [--recurse] PATH...
//   obrex-sandbox-acl revoke [--project DIR] [--sid SID]... [--labels] [--deny-labels]
//                            [--recurse] PATH...
//   obrex-sandbox-acl check [--json] [--keep]
//   obrex-sandbox-acl --help | --version
//
// Options and operands may come in any order; an option's value is always
// the next argument; "--" ends the options, so that the operands after it
// may begin with "--".
#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace obrex {

inline constexpr std::string_view kAclProgramName = "obrex-sandbox-acl";

enum class AclCommand { Sid, Show, Revoke, Check };

// What `check` runs: the whole check, or one of its two halves inside a
// sandbox, which the check starts itself and which --help does not show:
// the probes (operands: the scratch directory, its sandbox SID, the sandbox
// temporary directory, the exit code to end with, the permissions lock) and
// the second sandbox's wait (operand: the directory it leaves its process
// ID in and is told to end through).
enum class CheckForm { Whole, Probes, Wait };

struct AclRequest {
  AclCommand command = AclCommand::Sid;
  std::vector<std::string> projects; // --project, in order
  std::vector<std::string> sids;     // --sid, in order: each S-1-5-21 and four numbers
  bool labels = false;               // --labels
  bool deny_labels = false;          // --deny-labels
  bool recurse = false;              // --recurse
  bool json = false;                 // check --json
  bool keep = false;                 // check --keep
  CheckForm check_form = CheckForm::Whole;
  std::vector<std::string> paths; // the DIR or PATH operands, in order
  friend bool operator==(const AclRequest&, const AclRequest&) = default;
};

struct AclHelp {
  friend bool operator==(AclHelp, AclHelp) = default;
};
struct AclVersion {
  friend bool operator==(AclVersion, AclVersion) = default;
};

using AclInvocation = std::variant<AclRequest, AclHelp, AclVersion>;

// Reads the arguments that follow the program's name (UTF-8). A command line
// that does not fit gives one line: what is wrong, then the usage.
std::expected<AclInvocation, std::string>
parse_acl_arguments(std::span<const std::string> arguments);

// What --help prints.
std::string acl_help_text();

} // namespace obrex
