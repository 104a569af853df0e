// What a reader of a test run needs beside the results, in Markdown on
// standard output and, with --summary FILE, appended to FILE in UTF-8 (the
// workflow's job summary); and what the standard user's leg needs from
// Windows.
//
//   obrex_ci_report facts [--title TEXT] [--summary FILE]
//       where the tests run: the Windows build, the account, whether it is
//       elevated, its integrity level and mandatory policy, whether this
//       process is in a job, which breakaway that job says it allows, and
//       which trial leaves it; and whether the volumes of the working
//       directory and of the temporary folder keep ACLs. Under Wine, also
//       Wine's version: Wine answers some of these questions with fixed
//       values, which are printed as it gives them.
//   obrex_ci_report results [--title TEXT] [--summary FILE] XML...
//       for each GoogleTest XML report: how many tests ran, failed and were
//       skipped, every failed test with its first failure line, and every
//       skipped test with its reason.
//   obrex_ci_report check [--standard-user]
//       ends with 1 and one line on standard error when this process is in
//       a job that the launcher's trial cannot leave (every end-to-end run
//       would fail with the job line), or, with --standard-user, when its
//       token holds Administrators (S-1-5-32-544) with any attributes or is
//       elevated. Prints the token's groups and the trial first.
//   obrex_ci_report add-user USER
//       makes the local account USER with NetUserAdd, password from
//       OBREX_RUN_AS_PASSWORD, never expiring, a member of Users only.
//   obrex_ci_report run-as USER COMMAND_LINE
//       starts COMMAND_LINE as the local account USER, whose password is in
//       OBREX_RUN_AS_PASSWORD, in the current directory, and ends with its
//       exit code. CreateProcessWithLogonW loads the account's profile, makes
//       the environment from it (its own TEMP and profile folder, nothing of
//       the caller's) and lets it use the caller's window station and
//       desktop; it needs no privilege beyond knowing the password. It also
//       puts the command in a process group of its own, which ignores Ctrl+C
//       (Ctrl+Break still arrives).
//
// facts and results end with 0, or with 2 when their arguments are wrong or
// a file cannot be read or written: what they report fails nothing.
#include <windows.h>

#include <lm.h>
#include <sddl.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../windows_text.h"

namespace {

using obrex::windows_text::token_information;
using obrex::windows_text::utf8;

std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
  return text;
}

std::string error_text(const char* call) {
  return std::string("unknown (") + call + " failed with " + std::to_string(::GetLastError()) + ")";
}

std::string sid_text(PSID sid) {
  LPWSTR text = nullptr;
  const std::string result = ::ConvertSidToStringSidW(sid, &text) ? utf8(text) : "?";
  ::LocalFree(text);
  return result;
}

std::string account_name(PSID sid) {
  wchar_t name[256];
  wchar_t domain[256];
  DWORD name_length = 256;
  DWORD domain_length = 256;
  SID_NAME_USE use;
  if (!::LookupAccountSidW(nullptr, sid, name, &name_length, domain, &domain_length, &use)) {
    return sid_text(sid);
  }
  return utf8(domain) + "\\" + utf8(name) + " (" + sid_text(sid) + ")";
}

std::optional<std::wstring> registry_text(const wchar_t* value) {
  wchar_t text[256];
  DWORD size = sizeof text;
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", value,
                     RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::wstring(text);
}

// RtlGetVersion answers the true version; GetVersionExW answers what the
// manifest claims.
std::string windows_build() {
  using RtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  const auto get_version = reinterpret_cast<RtlGetVersion>(
      reinterpret_cast<void (*)()>(::GetProcAddress(ntdll, "RtlGetVersion")));
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (get_version == nullptr || get_version(&version) != 0) {
    return "unknown (RtlGetVersion failed)";
  }
  std::string text = std::to_string(version.dwMajorVersion) + "." +
                     std::to_string(version.dwMinorVersion) + "." +
                     std::to_string(version.dwBuildNumber);
  DWORD revision = 0;
  DWORD size = sizeof revision;
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"UBR",
                     RRF_RT_REG_DWORD, nullptr, &revision, &size) == ERROR_SUCCESS) {
    text += "." + std::to_string(revision);
  }
  const auto product = registry_text(L"ProductName");
  const auto display = registry_text(L"DisplayVersion");
  if (product || display) {
    text += " (" + utf8(product.value_or(L"")) + (product && display ? " " : "") +
            utf8(display.value_or(L"")) + ")";
  }
  return text;
}

std::optional<std::string> wine_version() {
  using WineGetVersion = const char*(__cdecl*)();
  const auto get = reinterpret_cast<WineGetVersion>(reinterpret_cast<void (*)()>(
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
  return get != nullptr ? std::optional<std::string>(get()) : std::nullopt;
}

std::string integrity_name(const std::string& sid) {
  static const std::pair<const char*, const char*> levels[] = {
      {"S-1-16-0", "Untrusted"},      {"S-1-16-4096", "Low"},   {"S-1-16-8192", "Medium"},
      {"S-1-16-8448", "Medium Plus"}, {"S-1-16-12288", "High"}, {"S-1-16-16384", "System"},
  };
  for (const auto& [level, name] : levels) {
    if (sid == level) {
      return name;
    }
  }
  return "other";
}

using Facts = std::vector<std::pair<std::string, std::string>>;

void token_facts(Facts& out) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    out.emplace_back("account", error_text("OpenProcessToken"));
    return;
  }
  const auto user = token_information(token, TokenUser);
  out.emplace_back("account",
                   user.empty()
                       ? error_text("GetTokenInformation(TokenUser)")
                       : account_name(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid));

  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof administrators;
  BOOL member = FALSE;
  if (::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
      ::CheckTokenMembership(nullptr, administrators, &member)) {
    // A filtered token has the group for deny only: CheckTokenMembership
    // answers no, the group list shows it.
    std::string text = member ? "member, enabled" : "not an enabled member";
    if (const auto groups = token_information(token, TokenGroups); !member && !groups.empty()) {
      const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups.data());
      for (DWORD i = 0; i < list->GroupCount; ++i) {
        if (::EqualSid(list->Groups[i].Sid, administrators) &&
            (list->Groups[i].Attributes & SE_GROUP_USE_FOR_DENY_ONLY) != 0) {
          text = "member for deny only (a filtered token)";
        }
      }
    }
    out.emplace_back("Administrators group", text);
  }

  TOKEN_ELEVATION elevation{};
  TOKEN_ELEVATION_TYPE type{};
  DWORD length = 0;
  std::string elevated =
      ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &length)
          ? (elevation.TokenIsElevated ? "yes" : "no")
          : error_text("GetTokenInformation(TokenElevation)");
  if (::GetTokenInformation(token, TokenElevationType, &type, sizeof type, &length)) {
    elevated += type == TokenElevationTypeFull      ? " (full token of a split pair)"
                : type == TokenElevationTypeLimited ? " (limited token of a split pair)"
                                                    : " (no split token)";
  }
  out.emplace_back("elevated", elevated);

  const auto label = token_information(token, TokenIntegrityLevel);
  if (label.empty()) {
    out.emplace_back("integrity level", error_text("GetTokenInformation(TokenIntegrityLevel)"));
  } else {
    const std::string sid =
        sid_text(reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(label.data())->Label.Sid);
    out.emplace_back("integrity level", integrity_name(sid) + " (" + sid + ")");
  }
  TOKEN_MANDATORY_POLICY policy{};
  if (::GetTokenInformation(token, TokenMandatoryPolicy, &policy, sizeof policy, &length)) {
    std::string text = hex(policy.Policy);
    if ((policy.Policy & TOKEN_MANDATORY_POLICY_NO_WRITE_UP) != 0) {
      text += " no-write-up";
    }
    if ((policy.Policy & TOKEN_MANDATORY_POLICY_NEW_PROCESS_MIN) != 0) {
      text += " new-process-min";
    }
    out.emplace_back("mandatory policy", text);
  } else {
    out.emplace_back("mandatory policy", error_text("GetTokenInformation(TokenMandatoryPolicy)"));
  }
  ::CloseHandle(token);
}

struct Trial {
  bool leaves = false;
  std::string text;
};

// The launcher's trial, made with this executable: started suspended with no
// inherited handles, first without and then with CREATE_BREAKAWAY_FROM_JOB,
// it must be in no job at all; it is ended before it runs.
Trial job_trial() {
  std::vector<wchar_t> path(32768);
  const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), 32768);
  if (length == 0 || length >= 32768) {
    return {false, error_text("GetModuleFileNameW")};
  }
  std::string tried;
  for (const DWORD flag : {DWORD{0}, DWORD{CREATE_BREAKAWAY_FROM_JOB}}) {
    const char* name = flag == 0 ? "without the breakaway flag" : "with CREATE_BREAKAWAY_FROM_JOB";
    std::wstring command_line = L"\"" + std::wstring(path.data(), length) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(path.data(), command_line.data(), nullptr, nullptr, FALSE,
                          CREATE_SUSPENDED | flag, nullptr, nullptr, &startup, &process)) {
      tried += std::string(tried.empty() ? "" : "; ") + name + ": CreateProcessW failed with " +
               std::to_string(::GetLastError());
      continue;
    }
    BOOL in_job = TRUE;
    const BOOL asked = ::IsProcessInJob(process.hProcess, nullptr, &in_job);
    const DWORD error = ::GetLastError();
    ::TerminateProcess(process.hProcess, 1);
    ::WaitForSingleObject(process.hProcess, INFINITE);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    if (asked && !in_job) {
      return {true, std::string("leaves every job ") + name};
    }
    tried += std::string(tried.empty() ? "" : "; ") + name + ": " +
             (asked ? "still in a job" : "IsProcessInJob failed with " + std::to_string(error));
  }
  return {false, "leaves no job: " + tried};
}

void job_facts(Facts& out) {
  BOOL in_job = FALSE;
  if (!::IsProcessInJob(::GetCurrentProcess(), nullptr, &in_job)) {
    out.emplace_back("in a job", error_text("IsProcessInJob"));
    return;
  }
  out.emplace_back("in a job", in_job ? "yes" : "no");
  if (!in_job) {
    return;
  }
  out.emplace_back("job trial", job_trial().text);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  if (!::QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits, nullptr)) {
    out.emplace_back("job breakaway", error_text("QueryInformationJobObject"));
    return;
  }
  const DWORD flags = limits.BasicLimitInformation.LimitFlags;
  std::string breakaway = (flags & JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK) != 0 ? "silent breakaway"
                          : (flags & JOB_OBJECT_LIMIT_BREAKAWAY_OK) != 0      ? "breakaway"
                                                                              : "none";
  out.emplace_back("job breakaway", breakaway + " (limit flags " + hex(flags) + ")");
  JOBOBJECT_BASIC_UI_RESTRICTIONS ui{};
  if (::QueryInformationJobObject(nullptr, JobObjectBasicUIRestrictions, &ui, sizeof ui, nullptr)) {
    out.emplace_back("job UI limits", hex(ui.UIRestrictionsClass));
  }
}

void volume_fact(Facts& out, const std::string& what, const std::wstring& path) {
  wchar_t root[MAX_PATH + 1];
  wchar_t file_system[MAX_PATH + 1];
  DWORD flags = 0;
  if (!::GetVolumePathNameW(path.c_str(), root, MAX_PATH + 1)) {
    out.emplace_back(what, utf8(path) + ": " + error_text("GetVolumePathNameW"));
    return;
  }
  if (!::GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, &flags, file_system,
                               MAX_PATH + 1)) {
    out.emplace_back(what, utf8(path) + ": " + error_text("GetVolumeInformationW"));
    return;
  }
  out.emplace_back(what,
                   utf8(path) + " on " + utf8(root) + ", " + utf8(file_system) + ", " +
                       ((flags & FILE_PERSISTENT_ACLS) != 0 ? "keeps ACLs" : "keeps no ACLs") +
                       " (flags " + hex(flags) + ")");
}

Facts facts() {
  Facts list;
  list.emplace_back("Windows", windows_build());
  if (const auto wine = wine_version()) {
    list.emplace_back("Wine", *wine + " (it enforces no labels, restricted tokens or DACLs)");
  }
  token_facts(list);
  DWORD session = 0;
  if (::ProcessIdToSessionId(::GetCurrentProcessId(), &session)) {
    list.emplace_back("session", std::to_string(session));
  }
  job_facts(list);
  std::vector<wchar_t> path(32768);
  const DWORD length = ::GetCurrentDirectoryW(32768, path.data());
  volume_fact(list, "working directory", std::wstring(path.data(), length));
  const DWORD temp = ::GetTempPathW(32768, path.data());
  volume_fact(list, "temporary folder", std::wstring(path.data(), temp));
  return list;
}

// Table cells hold no line break and no bar.
std::string cell(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') {
      c = ' ';
    }
  }
  std::string out;
  for (const char c : text) {
    if (c == '|') {
      out += '\\';
    }
    out += c;
  }
  return out;
}

std::string facts_markdown(const std::string& title) {
  std::string text = "### " + title + "\n\n| | |\n|---|---|\n";
  for (const auto& [key, value] : facts()) {
    text += "| " + key + " | " + cell(value) + " |\n";
  }
  return text + "\n";
}

// The XML entities that GoogleTest writes, decoded.
std::string unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    const std::size_t end = text.find(';', i);
    if (end == std::string_view::npos) {
      out += text.substr(i);
      break;
    }
    const std::string_view entity = text.substr(i + 1, end - i - 1);
    if (entity == "amp") {
      out += '&';
    } else if (entity == "lt") {
      out += '<';
    } else if (entity == "gt") {
      out += '>';
    } else if (entity == "quot") {
      out += '"';
    } else if (entity == "apos") {
      out += '\'';
    } else if (entity.starts_with("#x") || entity.starts_with("#")) {
      const bool is_hex = entity.starts_with("#x");
      const unsigned long code = std::strtoul(std::string(entity.substr(is_hex ? 2 : 1)).c_str(),
                                              nullptr, is_hex ? 16 : 10);
      out += code < 0x80 ? static_cast<char>(code) : '?';
    } else {
      out += text.substr(i, end - i + 1);
    }
    i = end;
  }
  return out;
}

// The value of `name` in the start tag `tag`, or nullopt.
std::optional<std::string> attribute(std::string_view tag, std::string_view name) {
  std::string key(" ");
  key.append(name).append("=\"");
  const std::size_t start = tag.find(key);
  if (start == std::string_view::npos) {
    return std::nullopt;
  }
  const std::size_t value = start + key.size();
  const std::size_t end = tag.find('"', value);
  return unescape(tag.substr(value, end - value));
}

// A GoogleTest message starts with the place, "file:line", on a line of its
// own. A skip's reason is the rest, on one line; a failure's first line is
// the place and the line after it.
std::string first_line(std::string message, bool keep_place) {
  if (const std::size_t line_break = message.find('\n'); line_break != std::string::npos) {
    const std::size_t colon = message.rfind(':', line_break);
    if (colon != std::string::npos && colon + 1 < line_break &&
        message.find_first_not_of("0123456789", colon + 1) == line_break) {
      message.replace(line_break, 1, keep_place ? ": " : "");
      message.erase(0, keep_place ? 0 : line_break);
    }
  }
  if (const std::size_t end = message.find('\n'); keep_place && end != std::string::npos) {
    message.erase(end);
  }
  return message.empty() ? "(no message)" : cell(message);
}

std::optional<std::string> results_markdown(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  const std::string xml{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  int tests = 0;
  std::vector<std::string> failed;
  std::vector<std::string> skipped;
  for (std::size_t at = xml.find("<testcase "); at != std::string::npos;
       at = xml.find("<testcase ", at + 1)) {
    const std::size_t tag_end = xml.find('>', at);
    const std::string_view tag(xml.data() + at, tag_end - at);
    const bool empty = tag.ends_with("/");
    const std::size_t body_end = empty ? tag_end : xml.find("</testcase>", tag_end);
    const std::string_view body(xml.data() + tag_end, body_end - tag_end);
    ++tests;
    const std::string name = "- `" + attribute(tag, "classname").value_or("?") + "." +
                             attribute(tag, "name").value_or("?") + "`: ";
    if (const std::size_t failure = body.find("<failure"); failure != std::string_view::npos) {
      const std::string_view failure_tag = body.substr(failure, body.find('>', failure) - failure);
      failed.push_back(name + first_line(attribute(failure_tag, "message").value_or(""), true));
    } else if (const std::size_t skip = body.find("<skipped"); skip != std::string_view::npos) {
      const std::string_view skip_tag = body.substr(skip, body.find('>', skip) - skip);
      skipped.push_back(name + first_line(attribute(skip_tag, "message").value_or(""), false));
    } else if (attribute(tag, "result") == "skipped" || attribute(tag, "status") == "notrun") {
      skipped.push_back(name + "(no message)");
    }
  }
  std::string text = "`" + file + "`: " + std::to_string(tests) + " tests, " +
                     std::to_string(failed.size()) + " failed, " + std::to_string(skipped.size()) +
                     " skipped\n\n";
  for (const auto* list : {&failed, &skipped}) {
    if (!list->empty()) {
      text += list == &failed ? "Failed:\n\n" : "Skipped:\n\n";
      for (const std::string& entry : *list) {
        text += entry + "\n";
      }
      text += "\n";
    }
  }
  return text;
}

// This process's token is a standard user's: no Administrators in its
// groups with any attributes (enabled, deny only, or otherwise), not
// elevated. Prints the groups it found.
bool standard_user() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    std::fprintf(stderr, "obrex_ci_report: %s\n", error_text("OpenProcessToken").c_str());
    return false;
  }
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof administrators;
  ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size);
  const auto groups = token_information(token, TokenGroups);
  TOKEN_ELEVATION elevation{};
  DWORD length = 0;
  const BOOL asked =
      ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &length);
  ::CloseHandle(token);
  if (groups.empty() || !asked) {
    std::fprintf(stderr, "obrex_ci_report: cannot read this token's groups or elevation\n");
    return false;
  }
  std::string found;
  std::printf("groups of this token:\n");
  const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups.data());
  for (DWORD i = 0; i < list->GroupCount; ++i) {
    const std::string attributes = hex(list->Groups[i].Attributes);
    std::printf("  %s %s\n", account_name(list->Groups[i].Sid).c_str(), attributes.c_str());
    if (::EqualSid(list->Groups[i].Sid, administrators)) {
      found = "holds Administrators (S-1-5-32-544, attributes " + attributes + ")";
    }
  }
  if (elevation.TokenIsElevated) {
    found += std::string(found.empty() ? "" : " and ") + "is elevated";
  }
  if (!found.empty()) {
    std::fprintf(stderr, "obrex_ci_report: not a standard user: this token %s\n", found.c_str());
  }
  return found.empty();
}

int check(bool standard) {
  bool holds = !standard || standard_user();
  BOOL in_job = FALSE;
  if (!::IsProcessInJob(::GetCurrentProcess(), nullptr, &in_job)) {
    std::fprintf(stderr, "obrex_ci_report: %s\n", error_text("IsProcessInJob").c_str());
    return 1;
  }
  if (in_job) {
    const Trial trial = job_trial();
    std::printf("this process is in a job; the trial %s\n", trial.text.c_str());
    if (!trial.leaves) {
      std::fprintf(stderr,
                   "obrex_ci_report: the launcher's trial %s; every sandboxed run in this job "
                   "would be refused with the job line\n",
                   trial.text.c_str());
      holds = false;
    }
  } else {
    std::printf("this process is in no job\n");
  }
  std::fflush(stdout);
  return holds ? 0 : 1;
}

std::optional<std::wstring> password_from_environment() {
  std::vector<wchar_t> password(256);
  const DWORD length = ::GetEnvironmentVariableW(L"OBREX_RUN_AS_PASSWORD", password.data(), 256);
  if (length == 0 || length >= 256) {
    std::fputs("obrex_ci_report: OBREX_RUN_AS_PASSWORD is not set\n", stderr);
    return std::nullopt;
  }
  return std::wstring(password.data(), length);
}

// A local account in Users and no other group. NetUserAdd with
// USER_PRIV_USER makes an ordinary user; Users is named by its SID, as its
// name depends on the system's language.
int add_user(const std::wstring& user) {
  auto password = password_from_environment();
  if (!password) {
    return 2;
  }
  USER_INFO_1 info{};
  info.usri1_name = const_cast<wchar_t*>(user.c_str());
  info.usri1_password = password->data();
  info.usri1_priv = USER_PRIV_USER;
  info.usri1_flags = UF_SCRIPT | UF_DONT_EXPIRE_PASSWD;
  DWORD bad_field = 0;
  const NET_API_STATUS added = ::NetUserAdd(nullptr, 1, reinterpret_cast<BYTE*>(&info), &bad_field);
  ::SecureZeroMemory(password->data(), password->size() * sizeof(wchar_t));
  if (added != NERR_Success) {
    std::fprintf(stderr, "obrex_ci_report: NetUserAdd %s failed with %lu (field %lu)\n",
                 utf8(user).c_str(), static_cast<unsigned long>(added), bad_field);
    return 2;
  }
  BYTE users[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof users;
  wchar_t name[256];
  wchar_t domain[256];
  DWORD name_length = 256;
  DWORD domain_length = 256;
  SID_NAME_USE use;
  if (!::CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &size) ||
      !::LookupAccountSidW(nullptr, users, name, &name_length, domain, &domain_length, &use)) {
    std::fprintf(stderr, "obrex_ci_report: %s\n", error_text("LookupAccountSidW(Users)").c_str());
    return 2;
  }
  // The member by its documented form, DOMAIN\NAME: a local account's domain
  // is this computer.
  wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD computer_length = MAX_COMPUTERNAME_LENGTH + 1;
  if (!::GetComputerNameW(computer, &computer_length)) {
    std::fprintf(stderr, "obrex_ci_report: %s\n", error_text("GetComputerNameW").c_str());
    return 2;
  }
  std::wstring member = std::wstring(computer, computer_length) + L"\\" + user;
  LOCALGROUP_MEMBERS_INFO_3 entry{member.data()};
  const NET_API_STATUS joined =
      ::NetLocalGroupAddMembers(nullptr, name, 3, reinterpret_cast<BYTE*>(&entry), 1);
  if (joined != NERR_Success && joined != ERROR_MEMBER_IN_ALIAS) {
    std::fprintf(stderr, "obrex_ci_report: NetLocalGroupAddMembers %s %s failed with %lu\n",
                 utf8(name).c_str(), utf8(user).c_str(), static_cast<unsigned long>(joined));
    return 2;
  }
  std::printf("made the local account %s, a member of %s\n", utf8(user).c_str(),
              utf8(name).c_str());
  return 0;
}

int run_as(const std::wstring& user, std::wstring command_line) {
  auto password = password_from_environment();
  if (!password) {
    return 2;
  }
  std::vector<wchar_t> directory(32768);
  ::GetCurrentDirectoryW(32768, directory.data());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const BOOL started = ::CreateProcessWithLogonW(
      user.c_str(), L".", password->c_str(), LOGON_WITH_PROFILE, nullptr, command_line.data(),
      CREATE_UNICODE_ENVIRONMENT, nullptr, directory.data(), &startup, &process);
  const DWORD error = ::GetLastError();
  ::SecureZeroMemory(password->data(), password->size() * sizeof(wchar_t));
  if (!started) {
    std::fprintf(stderr, "obrex_ci_report: CreateProcessWithLogonW as %s failed with %lu\n",
                 utf8(user).c_str(), error);
    return 2;
  }
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 2;
  ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

int usage() {
  std::fputs("usage: obrex_ci_report facts [--title TEXT] [--summary FILE]\n"
             "       obrex_ci_report results [--title TEXT] [--summary FILE] XML...\n"
             "       obrex_ci_report check [--standard-user]\n"
             "       obrex_ci_report add-user USER\n"
             "       obrex_ci_report run-as USER COMMAND_LINE\n",
             stderr);
  return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    return usage();
  }
  const std::wstring verb = argv[1];
  if (verb == L"run-as") {
    return argc == 4 ? run_as(argv[2], argv[3]) : usage();
  }
  if (verb == L"add-user") {
    return argc == 3 ? add_user(argv[2]) : usage();
  }
  if (verb == L"check") {
    return argc == 2 || (argc == 3 && std::wstring(argv[2]) == L"--standard-user")
               ? check(argc == 3)
               : usage();
  }
  std::string title = verb == L"facts" ? "Where the tests ran" : "Test results";
  std::optional<std::wstring> summary;
  std::vector<std::string> files;
  for (int i = 2; i < argc; ++i) {
    const std::wstring argument = argv[i];
    if (argument == L"--title" && i + 1 < argc) {
      title = utf8(argv[++i]);
    } else if (argument == L"--summary" && i + 1 < argc) {
      summary = argv[++i];
    } else if (verb == L"results" && !argument.starts_with(L"--")) {
      files.push_back(utf8(argument));
    } else {
      return usage();
    }
  }
  std::string text;
  bool unreadable = false;
  if (verb == L"facts") {
    text = facts_markdown(title);
  } else if (verb == L"results" && !files.empty()) {
    text = "### " + title + "\n\n";
    for (const std::string& file : files) {
      // A report that is missing (its executable ended before writing it)
      // is said in the summary too, and the others are still listed.
      const auto part = results_markdown(file);
      if (!part) {
        std::fprintf(stderr, "obrex_ci_report: cannot read %s\n", file.c_str());
        unreadable = true;
      }
      text += part.value_or("`" + file + "`: **no report: cannot read it**\n\n");
    }
  } else {
    return usage();
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  if (summary) {
    const HANDLE file = ::CreateFileW(summary->c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    if (file == INVALID_HANDLE_VALUE ||
        !::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
      std::fprintf(stderr, "obrex_ci_report: cannot append to %s (error %lu)\n",
                   utf8(*summary).c_str(), ::GetLastError());
      return 2;
    }
    ::CloseHandle(file);
  }
  return unreadable ? 2 : 0;
}
