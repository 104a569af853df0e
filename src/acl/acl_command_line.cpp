#include "acl/acl_command_line.h"

namespace obrex {
namespace {

constexpr std::string_view kGeneralUsage =
    "usage: obrex-sandbox-acl sid|show|revoke ARGUMENT... (see obrex-sandbox-acl --help)";
constexpr std::string_view kSidUsage = "usage: obrex-sandbox-acl sid DIR...";
constexpr std::string_view kShowUsage =
    "usage: obrex-sandbox-acl show [--project DIR]... [--recurse] PATH...";
constexpr std::string_view kRevokeUsage =
    "usage: obrex-sandbox-acl revoke --project DIR [--labels] [--recurse] PATH...";

std::string_view usage_of(AclCommand command) {
  switch (command) {
  case AclCommand::Sid:
    return kSidUsage;
  case AclCommand::Show:
    return kShowUsage;
  case AclCommand::Revoke:
    break;
  }
  return kRevokeUsage;
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
  } else {
    return usage_error("unknown command " + first, kGeneralUsage);
  }
  const std::string_view usage = usage_of(request.command);
  const bool sid = request.command == AclCommand::Sid;
  const bool revoke = request.command == AclCommand::Revoke;

  bool options_ended = false;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (options_ended || !argument.starts_with("--")) {
      request.paths.push_back(argument);
    } else if (argument == "--") {
      options_ended = true;
    } else if (argument == "--help") {
      return AclHelp{};
    } else if (argument == "--project" && !sid) {
      if (i + 1 == arguments.size()) {
        return usage_error("--project needs a directory", usage);
      }
      if (revoke && !request.projects.empty()) {
        return usage_error("revoke takes one --project", usage);
      }
      request.projects.push_back(arguments[++i]);
    } else if (argument == "--recurse" && !sid) {
      request.recurse = true;
    } else if (argument == "--labels" && revoke) {
      request.labels = true;
    } else {
      return usage_error("unknown option " + argument, usage);
    }
  }
  if (revoke && request.projects.empty()) {
    return usage_error("revoke needs --project", usage);
  }
  if (request.paths.empty()) {
    return usage_error(sid ? "missing DIR" : "missing PATH", usage);
  }
  return request;
}

std::string acl_help_text() {
  return R"(Usage: obrex-sandbox-acl sid DIR...
       obrex-sandbox-acl show [--project DIR]... [--recurse] PATH...
       obrex-sandbox-acl revoke --project DIR [--labels] [--recurse] PATH...

Shows and removes what obrex-sandbox-exec leaves on disk: the entries of a
project's sandbox SIDs in access-control lists, and its integrity labels.
Results go to standard output, one tab-separated line each.

  sid DIR...      For each project directory: its sandbox SID, its
                  read-only SID and the directory.
  show PATH...    For each path: its integrity labels, then the entries of
                  sandbox SIDs in its DACL. With --project, the entries of
                  the projects' SIDs; without, every explicit entry whose SID
                  names no account (Windows shows it as "Account Unknown")
                  and every explicit allow entry of Everyone, the logon SID,
                  Authenticated Users or Users. Labels below Medium are
                  marked.
  revoke PATH...  Removes the grants obrex-sandbox-exec writes for the
                  project's two SIDs (explicit allow entries of full access,
                  inherited by files and directories) from each path;
                  entries inherited from them go by themselves. Other entries
                  of those SIDs stay. Prints what it removed and kept.
                  Refuses a path whose DACL would be left empty.

  --project DIR   A project directory, as given to obrex-sandbox-exec.
  --labels        revoke also removes an explicit label that
                  obrex-sandbox-exec writes: S:(ML;OICI;NW;;;LW) or
                  S:(ML;OICI;NWNR;;;ME). Other labels stay.
  --recurse       Also every file and directory below each path; show
                  reports only where an explicit entry or label lives. Links
                  and junctions are not followed: a PATH that is one is
                  refused, and each one below is a result line
                  "PATH<tab>not followed<tab>junction" (or "symbolic link",
                  or its reparse tag). Whatever is no longer what its
                  directory listed when it is opened (a name swapped for a
                  junction meanwhile) is left alone and reported as a
                  failure, "PATH changed during the walk".
  --              Ends the options.
  --help          Prints this text.
  --version       Prints the version.

Exit status: 0 when everything succeeded, 1 when something failed (each
failure is one line on standard error), 2 after a usage error.
)";
}

} // namespace obrex
