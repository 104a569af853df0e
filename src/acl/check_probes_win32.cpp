// obrex-sandbox-acl check, the inner half: runs inside the sandbox and asks
// Windows directly what this process can do. Each probe is the call a
// command would make; a guarantee holds only when the system refused it
// (ERROR_ACCESS_DENIED), not when what it aimed at was missing.
#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "acl/check_command.h"
#include "platform/text.h"

// The probes live outside namespace obrex, whose portable copies of the
// Windows structures (os.h) would hide the real ones.
namespace {

using obrex::utf16_to_utf8_lossy;
using obrex::utf8_to_utf16;

std::wstring wide(std::string_view utf8) {
  const std::u16string units = utf8_to_utf16(utf8);
  return std::wstring(units.begin(), units.end());
}

std::string narrow(std::wstring_view text) {
  return utf16_to_utf8_lossy(std::u16string(text.begin(), text.end()));
}

// What became of one attempt: 0 when it succeeded, the error otherwise.
std::string outcome(DWORD error) {
  return error == 0                     ? "succeeded"
         : error == ERROR_ACCESS_DENIED ? "refused"
         : error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
             ? "missing (error " + std::to_string(error) + ")"
             : "error " + std::to_string(error);
}

std::vector<BYTE> token_information(TOKEN_INFORMATION_CLASS information) {
  HANDLE token = nullptr;
  std::vector<BYTE> buffer;
  if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    DWORD needed = 0;
    ::GetTokenInformation(token, information, nullptr, 0, &needed);
    buffer.resize(needed);
    if (needed == 0 || !::GetTokenInformation(token, information, buffer.data(), needed, &needed)) {
      buffer.clear();
    }
    ::CloseHandle(token);
  }
  return buffer;
}

std::string sid_string(PSID sid) {
  LPWSTR text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) {
    return "?";
  }
  std::string result = narrow(text);
  ::LocalFree(text);
  return result;
}

std::vector<std::string> group_sids(const std::vector<BYTE>& buffer, DWORD only = 0) {
  std::vector<std::string> sids;
  if (buffer.empty()) {
    return sids;
  }
  const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
  const SID_AND_ATTRIBUTES* group = groups->Groups;
  for (DWORD i = 0; i < groups->GroupCount; ++i, ++group) {
    if (only == 0 || (group->Attributes & only) == only) {
      sids.push_back(sid_string(group->Sid));
    }
  }
  return sids;
}

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) {
    text += (text.empty() ? "" : ", ") + item;
  }
  return text.empty() ? "none" : text;
}

// A new file at `path`: 0 when it could be made (and is removed again).
DWORD make_file(const std::wstring& path) {
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return ::GetLastError();
  }
  ::CloseHandle(file);
  ::DeleteFileW(path.c_str());
  return 0;
}

DWORD open_for(const std::wstring& path, DWORD access, DWORD flags = 0) {
  const HANDLE file =
      ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return ::GetLastError();
  }
  ::CloseHandle(file);
  return 0;
}

DWORD list(const std::wstring& directory) {
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileExW((directory + L"\\*").c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    return ::GetLastError();
  }
  ::FindClose(search);
  return 0;
}

struct Report {
  std::string text;
  void row(std::string_view name, bool ok, const std::string& detail) {
    text += std::string(name) + (ok ? " ok " : " fail ") + detail + "\n";
  }
};

// Making a file in a directory, deleting the file it holds, changing that
// file's DACL and taking its ownership: all four refused.
void four_writes(Report& report, std::string_view name, const std::wstring& directory) {
  // The file is deleted last: the other two need it.
  const DWORD made = make_file(directory + L"\\probe");
  const DWORD dacl = open_for(directory + L"\\file", WRITE_DAC);
  const DWORD owner = open_for(directory + L"\\file", WRITE_OWNER);
  const DWORD deleted = ::DeleteFileW((directory + L"\\file").c_str()) ? 0 : ::GetLastError();
  const bool ok = made == ERROR_ACCESS_DENIED && deleted == ERROR_ACCESS_DENIED &&
                  dacl == ERROR_ACCESS_DENIED && owner == ERROR_ACCESS_DENIED;
  report.row(name, ok,
             "make a file: " + outcome(made) + "; delete the file: " + outcome(deleted) +
                 "; change its DACL: " + outcome(dacl) + "; take its ownership: " + outcome(owner));
}

void probe_token(Report& report, const std::string& sandbox_sid) {
  const auto label = token_information(TokenIntegrityLevel);
  const std::string level =
      label.empty()
          ? "unreadable (error " + std::to_string(::GetLastError()) + ")"
          : sid_string(reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(label.data())->Label.Sid);
  report.row("integrity-level", level == "S-1-16-4096", level);

  std::vector<std::string> expected = group_sids(token_information(TokenGroups), SE_GROUP_LOGON_ID);
  expected.push_back(sandbox_sid);
  expected.push_back("S-1-1-0");
  std::vector<std::string> restricting = group_sids(token_information(TokenRestrictedSids));
  std::ranges::sort(expected);
  std::ranges::sort(restricting);
  report.row("restricting-sids", restricting == expected && expected.size() == 3,
             joined(restricting));

  std::vector<std::string> names;
  bool only_change_notify = true;
  if (const auto buffer = token_information(TokenPrivileges); !buffer.empty()) {
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    const LUID_AND_ATTRIBUTES* privilege = privileges->Privileges;
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i, ++privilege) {
      wchar_t name[128];
      DWORD length = 128;
      LUID luid = privilege->Luid;
      const std::string text = ::LookupPrivilegeNameW(nullptr, &luid, name, &length)
                                   ? narrow(std::wstring_view(name, length))
                                   : "?";
      only_change_notify = only_change_notify && text == "SeChangeNotifyPrivilege";
      names.push_back(text);
    }
  }
  report.row("privileges", only_change_notify, joined(names));
}

void probe_job(Report& report) {
  BOOL in_job = FALSE;
  JOBOBJECT_BASIC_UI_RESTRICTIONS ui{};
  if (!::IsProcessInJob(::GetCurrentProcess(), nullptr, &in_job) || !in_job) {
    report.row("job-ui-limits", false, "not in a job");
  } else if (!::QueryInformationJobObject(nullptr, JobObjectBasicUIRestrictions, &ui, sizeof ui,
                                          nullptr)) {
    report.row("job-ui-limits", false,
               "the job's UI limits cannot be read (error " + std::to_string(::GetLastError()) +
                   ")");
  } else {
    char text[16];
    std::snprintf(text, sizeof text, "0x%lX", static_cast<unsigned long>(ui.UIRestrictionsClass));
    report.row("job-ui-limits", ui.UIRestrictionsClass == 0xFF, std::string("UI limits ") + text);
  }

  wchar_t self[MAX_PATH * 4];
  const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
  const auto start = [&](DWORD flags, BOOL* child_in_job) -> DWORD {
    std::wstring line = L"\"" + std::wstring(self, length) + L"\" --version";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, flags | CREATE_SUSPENDED,
                          nullptr, nullptr, &startup, &process)) {
      return ::GetLastError();
    }
    if (child_in_job != nullptr && !::IsProcessInJob(process.hProcess, nullptr, child_in_job)) {
      *child_in_job = FALSE;
    }
    ::TerminateProcess(process.hProcess, 0);
    ::WaitForSingleObject(process.hProcess, 5000);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return 0;
  };
  const DWORD breakaway = start(CREATE_BREAKAWAY_FROM_JOB, nullptr);
  BOOL child_in_job = FALSE;
  const DWORD plain = start(0, &child_in_job);
  report.row("no-breakaway", breakaway == ERROR_ACCESS_DENIED && plain == 0 && child_in_job,
             "a child with CREATE_BREAKAWAY_FROM_JOB: " + outcome(breakaway) + "; a plain child: " +
                 (plain != 0     ? outcome(plain)
                  : child_in_job ? "in the job"
                                 : "outside every job"));
}

void probe_temp(Report& report, const std::string& expected) {
  const auto variable = [](const wchar_t* name) -> std::string {
    wchar_t value[32768];
    const DWORD length = ::GetEnvironmentVariableW(name, value, 32768);
    return length == 0 || length >= 32768 ? "(unset)" : narrow(std::wstring_view(value, length));
  };
  const std::string temp = variable(L"TEMP");
  const std::string tmp = variable(L"TMP");
  report.row("temp", temp == expected && tmp == expected, "TEMP=" + temp + " TMP=" + tmp);
}

void probe_files(Report& report, const std::wstring& scratch) {
  const std::wstring low = scratch + L"\\low";
  const DWORD listed = list(scratch + L"\\plain");
  const DWORD low_made = make_file(low + L"\\probe");
  report.row("write-restricted", listed == 0 && low_made == ERROR_ACCESS_DENIED,
             "list plain\\: " + outcome(listed) + "; make a file in low\\: " + outcome(low_made));

  const std::wstring first = scratch + L"\\write\\probe";
  const std::wstring second = scratch + L"\\write\\probe-renamed";
  std::string step = "make";
  DWORD error = 0;
  const HANDLE file = ::CreateFileW(first.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = ::GetLastError();
  } else {
    DWORD written = 0;
    step = "write";
    error = ::WriteFile(file, "probe", 5, &written, nullptr) && written == 5 ? 0 : ::GetLastError();
    ::CloseHandle(file);
    if (error == 0) {
      step = "rename";
      error = ::MoveFileExW(first.c_str(), second.c_str(), 0) ? 0 : ::GetLastError();
    }
    if (error == 0) {
      step = "delete";
      error = ::DeleteFileW(second.c_str()) ? 0 : ::GetLastError();
    } else {
      ::DeleteFileW(first.c_str());
    }
  }
  report.row("write-granted", error == 0,
             error == 0 ? "made, wrote, renamed and deleted a file in write\\"
                        : step + " in write\\: " + outcome(error));

  const DWORD outside = make_file(scratch + L"\\plain\\probe");
  report.row("write-outside-denied", outside == ERROR_ACCESS_DENIED,
             "make a file in plain\\: " + outcome(outside));
  four_writes(report, "write-low-ungranted-denied", low);
  four_writes(report, "write-other-project-denied", scratch + L"\\other");

  const DWORD deny_listed = list(scratch + L"\\deny");
  const DWORD deny_read = open_for(scratch + L"\\deny\\file", GENERIC_READ);
  report.row("deny-unreadable",
             deny_listed == ERROR_ACCESS_DENIED && deny_read == ERROR_ACCESS_DENIED,
             "list deny\\: " + outcome(deny_listed) + "; read its file: " + outcome(deny_read));
}

// The lock file can be opened neither for reading nor for writing, and a
// lock on it cannot be had. Only a refusal counts: a file that is missing
// shows nothing.
void probe_lock(Report& report, const std::wstring& lock) {
  const DWORD read = open_for(lock, GENERIC_READ);
  const DWORD write = open_for(lock, GENERIC_WRITE);
  DWORD locked = ERROR_ACCESS_DENIED;
  std::string lock_detail = "no handle to lock it with";
  const HANDLE file = ::CreateFileW(lock.c_str(), read == 0 ? GENERIC_READ : GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    OVERLAPPED range{};
    locked =
        ::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)
            ? 0
            : ::GetLastError();
    if (locked == 0) {
      ::UnlockFileEx(file, 0, 1, 0, &range);
    }
    lock_detail = locked == 0 ? "taken" : "not taken (error " + std::to_string(locked) + ")";
    ::CloseHandle(file);
  }
  report.row("lock-unreachable",
             read == ERROR_ACCESS_DENIED && write == ERROR_ACCESS_DENIED && locked != 0,
             narrow(lock) + ": open for reading: " + outcome(read) +
                 "; for writing: " + outcome(write) + "; lock: " + lock_detail);
}

void probe_other_sandbox(Report& report, const std::wstring& scratch) {
  const std::wstring other = scratch + L"\\other";
  char digits[32] = {};
  DWORD read = 0;
  const HANDLE pid_file = ::CreateFileW((other + L"\\pid").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
  if (pid_file != INVALID_HANDLE_VALUE) {
    ::ReadFile(pid_file, digits, sizeof digits - 1, &read, nullptr);
    ::CloseHandle(pid_file);
  }
  const auto pid = static_cast<DWORD>(std::strtoul(digits, nullptr, 10));
  if (pid == 0) {
    report.row("other-sandbox-unreachable", false,
               "the second sandboxed command's process ID cannot be read");
    return;
  }
  const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) {
    const DWORD error = ::GetLastError();
    report.row("other-sandbox-unreachable", error == ERROR_ACCESS_DENIED,
               "open its process: " + outcome(error));
    return;
  }
  HANDLE token = nullptr;
  const DWORD token_error =
      ::OpenProcessToken(process, TOKEN_DUPLICATE, &token) ? 0 : ::GetLastError();
  ::CloseHandle(process);
  if (token_error != 0) {
    report.row("other-sandbox-unreachable", token_error == ERROR_ACCESS_DENIED,
               "open its token for duplication: " + outcome(token_error));
    return;
  }
  HANDLE copy = nullptr;
  DWORD written = ERROR_ACCESS_DENIED;
  std::string how = "impersonation refused";
  if (::DuplicateTokenEx(token, TOKEN_IMPERSONATE | TOKEN_QUERY, nullptr, SecurityImpersonation,
                         TokenImpersonation, &copy)) {
    if (::SetThreadToken(nullptr, copy)) {
      written = make_file(other + L"\\impersonated");
      ::RevertToSelf();
      how = "write into its granted directory while impersonating it: " + outcome(written);
    }
    ::CloseHandle(copy);
  }
  ::CloseHandle(token);
  report.row("other-sandbox-unreachable", false, "opened its token for duplication; " + how);
}

} // namespace

namespace obrex {

std::uint32_t run_check_probes(const std::vector<std::string>& operands) {
  const std::wstring scratch = wide(operands[0]);
  Report report;
  probe_token(report, operands[1]);
  probe_job(report);
  probe_temp(report, operands[2]);
  probe_files(report, scratch);
  probe_lock(report, wide(operands[4]));
  probe_other_sandbox(report, scratch);
  // In the order the check shows them: the probes above run grouped by
  // what they touch.
  std::string ordered;
  for (const std::string_view name : kCheckNames) {
    const std::string prefix = std::string(name) + " ";
    for (std::size_t at = 0; at < report.text.size();) {
      const std::size_t end = report.text.find('\n', at);
      if (report.text.compare(at, prefix.size(), prefix) == 0) {
        ordered += report.text.substr(at, end - at + 1);
      }
      at = end + 1;
    }
  }
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), ordered.data(), static_cast<DWORD>(ordered.size()),
              &written, nullptr);
  return static_cast<std::uint32_t>(std::strtoul(operands[3].c_str(), nullptr, 10));
}

std::uint32_t run_check_wait(const std::string& directory) {
  const std::wstring base = wide(directory);
  const std::wstring part = base + L"\\pid.part";
  const HANDLE file = ::CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return 1;
  }
  const std::string pid = std::to_string(::GetCurrentProcessId());
  DWORD written = 0;
  const bool wrote =
      ::WriteFile(file, pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr) != 0;
  ::CloseHandle(file);
  if (!wrote || !::MoveFileExW(part.c_str(), (base + L"\\pid").c_str(), 0)) {
    return 1;
  }
  // Until the check says it is done, at most a minute.
  for (int poll = 0; poll < 600; ++poll) {
    if (::GetFileAttributesW((base + L"\\done").c_str()) != INVALID_FILE_ATTRIBUTES) {
      return 0;
    }
    ::Sleep(100);
  }
  return 0;
}

} // namespace obrex
