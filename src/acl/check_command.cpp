// obrex-sandbox-acl check, the outer half: the scratch, the two launcher
// runs, the rows and the cleanup.
#include "acl/check_command.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "core/errors.h"
#include "core/security_conversions.h"
#include "filesystem/access_grants.h"
#include "filesystem/labels.h"
#include "filesystem/permissions_lock.h"
#include "filesystem/sandbox_temp.h"
#include "identity/restricted_token.h"
#include "identity/sandbox_identity.h"
#include "launch/command_resolution.h"
#include "launch/job_process.h"
#include "platform/constants.h"
#include "platform/owner.h"
#include "platform/text.h"

namespace obrex {
namespace {

constexpr std::uint32_t kHeld = 0;
constexpr std::uint32_t kNotHeld = 1;
constexpr std::u16string_view kLauncherName = u"obrex-sandbox-exec.exe";
constexpr std::string_view kLauncherPrefix = "obrex-sandbox-exec: ";
// How long the second sandbox may take to get ready, and to end once told.
constexpr int kReadyPolls = 200;
constexpr std::uint32_t kPollMilliseconds = 100;
constexpr std::uint32_t kEndMilliseconds = 10'000;

std::string json_string(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    const auto unit = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (unit < 0x20 || unit == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", unit);
      quoted += escaped;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::size_t held_count(const std::vector<CheckRow>& rows) {
  return static_cast<std::size_t>(std::ranges::count_if(rows, &CheckRow::ok));
}

std::string hex(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (const std::uint8_t byte : bytes) {
    constexpr std::string_view kDigits = "0123456789abcdef";
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xF];
  }
  return text;
}

std::string integrity_name(std::string_view sid) {
  constexpr std::pair<std::string_view, std::string_view> kLevels[] = {
      {"S-1-16-0", "Untrusted"},      {"S-1-16-4096", "Low"},   {"S-1-16-8192", "Medium"},
      {"S-1-16-8448", "Medium Plus"}, {"S-1-16-12288", "High"}, {"S-1-16-16384", "System"}};
  for (const auto& [level, name] : kLevels) {
    if (sid == level) {
      return std::string(name) + " (" + std::string(sid) + ")";
    }
  }
  return std::string(sid);
}

// The header: what this machine and this caller are.
std::vector<CheckFact> read_facts(Os& os) {
  std::vector<CheckFact> facts;
  if (const auto version = os.rtl_get_version()) {
    facts.push_back({"windows", std::to_string(version->dwMajorVersion) + "." +
                                    std::to_string(version->dwMinorVersion) + " build " +
                                    std::to_string(version->dwBuildNumber)});
  } else {
    facts.push_back({"windows", "unknown: " + os_error_text(os, version.error())});
  }
  const auto variable = [&os](std::u16string_view name) {
    const auto value = os.get_environment_variable(name);
    return value ? utf16_to_utf8_lossy(*value) : std::string("?");
  };
  std::string user = variable(u"USERDOMAIN") + "\\" + variable(u"USERNAME");
  std::string elevated = "unknown";
  std::string integrity = "unknown";
  const auto opened = os.open_process_token(win::TOKEN_QUERY);
  if (opened) {
    const UniqueHandle token(*opened, CloseHandleThrough(os));
    const auto sid_of = [&](std::uint32_t information, std::string_view name) {
      const auto buffer = read_token_information(os, token.get(), information, name);
      if (!buffer) {
        return buffer.error().message;
      }
      // TOKEN_USER and TOKEN_MANDATORY_LABEL both begin with the SID.
      const auto text =
          sid_to_text(os, reinterpret_cast<const SID_AND_ATTRIBUTES*>(buffer->data())->Sid);
      return text ? *text : text.error().message;
    };
    user += " (" + sid_of(win::TokenUser, "user") + ")";
    integrity = integrity_name(sid_of(win::TokenIntegrityLevel, "integrity level"));
    if (const auto buffer =
            read_token_information(os, token.get(), win::TokenElevation, "elevation")) {
      elevated = (*buffer)[0] & 0xFFFFFFFFu ? "yes" : "no";
    } else {
      elevated = buffer.error().message;
    }
  } else {
    user += " (" + os_error_text(os, opened.error()) + ")";
  }
  facts.push_back({"user", user});
  facts.push_back({"elevated", elevated});
  facts.push_back({"integrity", integrity});
  const auto in_job = os.is_process_in_job(Handle{});
  std::string job = !in_job   ? "unknown: " + os_error_text(os, in_job.error())
                    : *in_job ? "yes"
                              : "no";
  if (in_job && *in_job) {
    const auto plan = plan_breakaway(os);
    job += !plan                       ? "; the command cannot leave it: " + plan.error().message
           : plan->creation_flags != 0 ? "; the command leaves it on request (breakaway)"
                                       : "; the command leaves it silently";
  }
  facts.push_back({"in a job", job});
  return facts;
}

std::u16string command_line(std::u16string_view program, std::initializer_list<std::string> args) {
  std::u16string line;
  quote_argument(program, line);
  for (const std::string& argument : args) {
    line += u' ';
    quote_argument(argument, line);
  }
  return line;
}

// A started launcher: its process and the read end of its output.
struct Started {
  UniqueHandle process;
  UniqueHandle output;
};

Result<Started> start(Os& os, std::u16string_view program, std::u16string line) {
  const auto pipe = os.create_pipe();
  if (!pipe) {
    return std::unexpected(
        SandboxError::from_os_error(os, "cannot make a pipe for the launcher", pipe.error()));
  }
  Started started{UniqueHandle(), UniqueHandle(pipe->read, CloseHandleThrough(os))};
  const UniqueHandle write(pipe->write, CloseHandleThrough(os));
  const auto process = os.create_process_with_output(program, line, write.get());
  if (!process) {
    return std::unexpected(SandboxError::from_os_error(
        os, "cannot start " + utf16_to_utf8_lossy(program), process.error()));
  }
  os.close_handle(process->hThread);
  started.process = UniqueHandle(process->hProcess, CloseHandleThrough(os));
  return started;
}

bool exists(Os& os, std::u16string_view path) {
  return os.get_file_attributes(path).has_value();
}

// The check's scratch: what it made, so that it can take it apart again.
// Only names the check knows are removed; anything else found there stays,
// and is reported.
class Scratch {
public:
  Scratch(Os& os, AclOutput& out) : os_(os), out_(out) {}

  // A directory, and the names of the files that may be found in it when
  // it is removed.
  Result<void> make_directory(const std::string& path, std::vector<std::string_view> files) {
    if (const auto made = os_.create_directory(utf8_to_utf16(path)); !made) {
      return std::unexpected(SandboxError::from_os_error(os_, "cannot make " + path, made.error()));
    }
    directories_.push_back({path, std::move(files)});
    return {};
  }
  Result<void> make_file(const std::string& path) {
    const auto file =
        os_.create_file(utf8_to_utf16(path), win::GENERIC_WRITE, 0, win::CREATE_NEW, 0, {});
    if (!file) {
      return std::unexpected(SandboxError::from_os_error(os_, "cannot make " + path, file.error()));
    }
    os_.close_handle(*file);
    return {};
  }
  // From now on the paths may hold grants of these SIDs and labels.
  void secured(std::vector<std::string> sids, std::vector<std::string> paths) {
    sids_ = std::move(sids);
    secured_ = std::move(paths);
  }

  // The grants and labels go as revoke takes them away, then the tree.
  void remove() {
    if (!secured_.empty()) {
      AclRequest revoke;
      revoke.command = AclCommand::Revoke;
      revoke.sids = sids_;
      revoke.labels = true;
      revoke.deny_labels = true;
      revoke.paths = secured_;
      AclOutput quiet(os_, /*quiet=*/true);
      revoke_paths(os_, quiet, revoke);
      out_.carry(quiet);
    }
    for (auto made = directories_.rbegin(); made != directories_.rend(); ++made) {
      for (const std::string_view name : made->second) {
        const std::string path = made->first + "\\" + std::string(name);
        const auto removed = os_.delete_file(utf8_to_utf16(path));
        if (!removed && removed.error() != win::ERROR_FILE_NOT_FOUND) {
          fail_removal(path, removed.error());
        }
      }
      if (const auto removed = os_.remove_directory(utf8_to_utf16(made->first)); !removed) {
        fail_removal(made->first, removed.error());
      }
    }
  }

private:
  void fail_removal(const std::string& path, OsCode error) {
    out_.fail(SandboxError::from_os_error(os_, "cannot remove " + path, error).message);
  }

  Os& os_;
  AclOutput& out_;
  std::vector<std::pair<std::string, std::vector<std::string_view>>> directories_;
  std::vector<std::string> sids_;
  std::vector<std::string> secured_;
};

} // namespace

std::vector<CheckRow> check_rows(std::string_view report, std::uint32_t status,
                                 std::uint32_t expected_status) {
  std::vector<CheckRow> rows;
  std::vector<int> seen(kCheckNames.size(), 0);
  for (const std::string_view name : kCheckNames) {
    rows.push_back({std::string(name), false, "not reported from inside the sandbox"});
  }
  while (!report.empty()) {
    const std::size_t end = std::min(report.find('\n'), report.size());
    std::string_view line = report.substr(0, end);
    report.remove_prefix(std::min(end + 1, report.size()));
    if (line.ends_with('\r')) {
      line.remove_suffix(1);
    }
    const std::size_t first = line.find(' ');
    const std::size_t second = line.find(' ', first == line.npos ? line.npos : first + 1);
    if (second == line.npos) {
      continue;
    }
    const std::string_view name = line.substr(0, first);
    const std::string_view verdict = line.substr(first + 1, second - first - 1);
    const auto at = std::ranges::find(kCheckNames.begin(), kCheckNames.end() - 1, name);
    if (at == kCheckNames.end() - 1 || (verdict != "ok" && verdict != "fail")) {
      continue;
    }
    const auto index = static_cast<std::size_t>(at - kCheckNames.begin());
    if (++seen[index] > 1) {
      rows[index] = {std::string(name), false, "reported more than once"};
      continue;
    }
    rows[index] = {std::string(name), verdict == "ok", std::string(line.substr(second + 1))};
  }
  rows.back().ok = status == expected_status;
  rows.back().detail = "the launcher ended with " + std::to_string(status) + ", the probes with " +
                       std::to_string(expected_status);
  return rows;
}

std::string check_table(const std::vector<CheckFact>& facts, const std::vector<CheckRow>& rows) {
  std::string text;
  for (const CheckFact& fact : facts) {
    text += fact.name + ":" + std::string(12 - std::min<std::size_t>(fact.name.size(), 11), ' ') +
            escape_control_characters(fact.value) + "\n";
  }
  text += "\n";
  for (const CheckRow& row : rows) {
    text += std::string(row.ok ? "PASS  " : "FAIL  ") + row.name +
            std::string(28 - std::min<std::size_t>(row.name.size(), 27), ' ') +
            escape_control_characters(row.detail) + "\n";
  }
  text +=
      "\n" + std::to_string(held_count(rows)) + " of " + std::to_string(rows.size()) + " hold\n";
  return text;
}

std::string check_json(const std::vector<CheckFact>& facts, const std::vector<CheckRow>& rows) {
  std::string text = "{\"facts\": {";
  for (std::size_t i = 0; i < facts.size(); ++i) {
    text += (i == 0 ? "" : ", ") + json_string(facts[i].name) + ": " + json_string(facts[i].value);
  }
  text += "}, \"checks\": [";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    text += std::string(i == 0 ? "" : ", ") + "{\"name\": " + json_string(rows[i].name) +
            ", \"ok\": " + (rows[i].ok ? "true" : "false") +
            ", \"detail\": " + json_string(rows[i].detail) + "}";
  }
  text += "], \"held\": " + std::to_string(held_count(rows)) +
          ", \"total\": " + std::to_string(rows.size()) + "}\n";
  return text;
}

std::uint32_t run_check(Os& os, AclOutput& out, const AclRequest& request) {
  const std::vector<CheckFact> facts = read_facts(os);
  const auto companion = os.get_module_file_name();
  if (!companion) {
    out.fail(SandboxError::from_os_error(os, "cannot read this program's path", companion.error())
                 .message);
    return kNotHeld;
  }
  const auto directory = parent_path(*companion);
  const std::u16string launcher =
      (directory && !directory->empty() ? *directory + u"\\" : std::u16string()) +
      std::u16string(kLauncherName);
  if (!exists(os, launcher)) {
    out.fail("cannot check: " + utf16_to_utf8_lossy(launcher) + " is not beside this program");
    return kNotHeld;
  }
  const auto temp = os.get_environment_variable(u"TEMP");
  if (!temp || temp->empty()) {
    out.fail("cannot check: TEMP is not set");
    return kNotHeld;
  }
  std::array<std::uint8_t, 12> random{};
  if (const auto drawn = os.bcrypt_gen_random(random); !drawn) {
    out.fail(SandboxError::from_status(os, "cannot check: no random name", drawn.error()).message);
    return kNotHeld;
  }
  // The probes end with a code of the check's choosing, never one the
  // launcher gives of its own (126, 101) or STILL_ACTIVE.
  const std::uint32_t code = 0x4000 + ((std::uint32_t{random[8]} << 8 | random[9]) & 0x3FFF);
  const std::string root = utf16_to_utf8_lossy(*temp) + (temp->ends_with(u'\\') ? "" : "\\") +
                           "obrex-check-" + hex(std::span(random).first(8));
  const auto at = [&root](std::string_view name) { return root + "\\" + std::string(name); };
  const std::string write = at("write"), deny = at("deny"), plain = at("plain"), low = at("low"),
                    other = at("other"), second = at("second");
  // The probes try the lock file of this user; without a profile there is
  // none, and the probes find nothing.
  const auto profile = os.get_known_folder_path_profile();
  const std::string lock_path =
      profile ? utf16_to_utf8_lossy(PermissionsLock::path_in(*profile)) : "-";

  Scratch scratch(os, out);
  std::vector<std::string> sids;
  const auto give_up = [&](std::string_view message) {
    out.fail("cannot check: " + std::string(message));
    if (request.keep) {
      out.note("kept " + root);
    } else {
      scratch.remove();
    }
    return kNotHeld;
  };
  const auto prepare = [&]() -> Result<void> {
    // Beside the file the check makes, the probes' files stay where a write
    // they expected to be refused went through (or was cut short).
    const std::pair<std::string, std::vector<std::string_view>> directories[] = {
        {root, {}},
        {write, {"probe", "probe-renamed"}},
        {deny, {"file"}},
        {plain, {"file", "probe"}},
        {low, {"file", "probe"}},
        {other, {"file", "probe", "impersonated", "pid.part", "pid", "done"}},
        {second, {}}};
    for (const auto& [path, files] : directories) {
      if (auto made = scratch.make_directory(path, files); !made) {
        return made;
      }
    }
    for (const std::string& path : {deny, plain, low, other}) {
      if (auto made = scratch.make_file(path + "\\file"); !made) {
        return made;
      }
    }
    for (const std::string& project : {root, second}) {
      auto identity = derive_sandbox_identity(os, project, {});
      if (!identity) {
        return std::unexpected(identity.error());
      }
      sids.push_back(identity->sid_text);
    }
    if (auto labelled_low = apply_label(os, low, kLowWriteLabel); !labelled_low) {
      return labelled_low;
    }
    scratch.secured(sids, {write, deny, low, other});
    // Both grants are in place before the lock is held, as the launcher
    // writes them: the runs find nothing to write and so need no lock.
    for (const auto& [index, granted] : {std::pair(0, write), std::pair(1, other)}) {
      auto sid = sid_from_text(os, sids[index]);
      if (!sid) {
        return std::unexpected(sid.error());
      }
      if (auto given = prepare_write_paths(os, {granted}, sid->get(), sids[index], profile);
          !given) {
        return given;
      }
    }
    return {};
  };
  if (const auto prepared = prepare(); !prepared) {
    return give_up(prepared.error().message);
  }
  const auto sandbox_temp = prepare_sandbox_temp(os, profile);
  if (!sandbox_temp) {
    return give_up(sandbox_temp.error().message);
  }
  const std::string temp_dir = *sandbox_temp ? utf16_to_utf8_lossy(**sandbox_temp) : "-";

  // The second sandbox: another project's command, waiting.
  auto waiting = start(
      os, launcher,
      command_line(launcher, {"--project", second, "--write", other, "--",
                              utf16_to_utf8_lossy(*companion), "check", "--inner-wait", other}));
  if (!waiting) {
    return give_up(waiting.error().message);
  }
  const auto end_waiting = [&] {
    if (const auto told = scratch.make_file(other + "\\done");
        !told || os.wait_for_single_object(waiting->process.get(), kEndMilliseconds) !=
                     OsResult<std::uint32_t>(win::WAIT_OBJECT_0)) {
      static_cast<void>(os.terminate_process(waiting->process.get(), 1));
    }
  };
  for (int poll = 0;; ++poll) {
    if (exists(os, utf8_to_utf16(other + "\\pid"))) {
      break;
    }
    const auto waited = os.wait_for_single_object(waiting->process.get(), kPollMilliseconds);
    if (poll == kReadyPolls || !waited || *waited != win::WAIT_TIMEOUT) {
      end_waiting();
      const auto said = os.read_file_to_end(waiting->output.get());
      std::string line = said ? said->substr(0, said->find('\n')) : "";
      return give_up("the second sandboxed command did not get ready" +
                     (line.empty() ? std::string() : ": " + line));
    }
  }

  // The probes, while this program holds the permissions lock.
  std::string report;
  std::uint32_t status = 0;
  bool lock_held = false;
  std::optional<std::string> failure;
  {
    PermissionsLock lock(os, profile);
    const auto turn = lock.hold();
    lock_held = turn.owned();
    const auto probing =
        start(os, launcher,
              command_line(launcher, {"--project", root, "--write", write, "--deny", deny, "--",
                                      utf16_to_utf8_lossy(*companion), "check", "--inner-probes",
                                      root, sids[0], temp_dir, std::to_string(code), lock_path}));
    if (!probing) {
      failure = probing.error().message;
    } else {
      const auto read = os.read_file_to_end(probing->output.get());
      const auto waited = os.wait_for_single_object(probing->process.get(), win::INFINITE);
      const auto ended = os.get_exit_code_process(probing->process.get());
      if (read && waited && ended) {
        report = *read;
        status = *ended;
      } else {
        failure = SandboxError::from_os_error(os, "cannot follow the launcher",
                                              !read     ? read.error()
                                              : !waited ? waited.error()
                                                        : ended.error())
                      .message;
      }
    }
  }
  end_waiting();
  if (failure) {
    return give_up(*failure);
  }
  if (report.starts_with(kLauncherPrefix) && status != code) {
    const std::string said = report.substr(kLauncherPrefix.size());
    return give_up("the launcher refused: " + said.substr(0, said.find_first_of("\r\n")));
  }

  std::vector<CheckRow> rows = check_rows(report, status, code);
  if (!lock_held) {
    CheckRow& lock_row = *std::ranges::find(rows, "lock-unreachable", &CheckRow::name);
    lock_row.ok = false;
    lock_row.detail = "this program could not hold the lock itself; " + lock_row.detail;
  }
  out.print(request.json ? check_json(facts, rows) : check_table(facts, rows));
  if (request.keep && request.json) {
    out.note("kept " + root);
  } else if (request.keep) {
    out.print("kept " + root + "\n");
  } else {
    scratch.remove();
  }
  return held_count(rows) == rows.size() && !out.failed() ? kHeld : kNotHeld;
}

} // namespace obrex
