#include "e2e_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <knownfolders.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <memory>
#include <stdexcept>
#include <thread>
#include <utility>

#include "windows_text.h"

namespace obrex::e2e {
namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const {
    if (handle != INVALID_HANDLE_VALUE) {
      ::CloseHandle(handle);
    }
  }
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + " failed with error " + std::to_string(::GetLastError()));
}

std::optional<std::wstring> environment_variable(const std::wstring& name) {
  std::wstring value(32768, L'\0'); // the longest a value can be, and its NUL
  ::SetLastError(ERROR_SUCCESS);
  value.resize(::GetEnvironmentVariableW(name.c_str(), value.data(), 32768));
  if (value.empty() && ::GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
    return std::nullopt;
  }
  return value;
}

void set_environment_variable(const std::wstring& name, const std::optional<std::wstring>& value) {
  if (!::SetEnvironmentVariableW(name.c_str(), value ? value->c_str() : nullptr)) {
    fail("SetEnvironmentVariableW");
  }
}

void read_all(HANDLE pipe, std::string& bytes) {
  char buffer[4096];
  DWORD read = 0;
  while (::ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    bytes.append(buffer, read);
  }
}

std::wstring directory_of_this_program() {
  std::wstring path(32768, L'\0');
  path.resize(::GetModuleFileNameW(nullptr, path.data(), 32768));
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

void remove_tree(const std::wstring& directory) {
  WIN32_FIND_DATAW entry;
  const HANDLE search = ::FindFirstFileW((directory + L"\\*").c_str(), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      const std::wstring child = directory + L"\\" + name;
      if (name == L"." || name == L"..") {
        continue;
      } else if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        ::DeleteFileW(child.c_str());
      } else if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        remove_tree(child);
      } else {
        ::RemoveDirectoryW(child.c_str());
      }
    } while (::FindNextFileW(search, &entry));
    ::FindClose(search);
  }
  ::RemoveDirectoryW(directory.c_str());
}

} // namespace

bool running_under_wine() {
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::wstring obrex_path() {
  return directory_of_this_program() + L"" OBREX_EXE_NAME;
}

std::wstring probe_path() {
  return directory_of_this_program() + L"" OBREX_PROBE_NAME;
}

std::wstring built_file_path(std::wstring_view name) {
  return directory_of_this_program() + std::wstring(name);
}

std::wstring quoted_path(std::wstring_view path) {
  return L"\"" + std::wstring(path) + L"\"";
}

RunOutcome run_raw(const std::wstring& program, const std::wstring& command_line,
                   const std::vector<EnvironmentOverride>& environment, TimeLimit time_limit,
                   std::latch* start_together, const StartOptions& options) {
  // Every run started together arrives once, also one that fails before its
  // process exists, so that the others are let go.
  struct Arrival {
    std::latch* latch;
    ~Arrival() {
      if (latch != nullptr) {
        latch->count_down();
      }
    }
    void wait() {
      if (latch != nullptr) {
        std::exchange(latch, nullptr)->arrive_and_wait();
      }
    }
  } arrival{start_together};
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE ends[4] = {};
  if (!::CreatePipe(&ends[0], &ends[1], &inheritable, 0) ||
      !::CreatePipe(&ends[2], &ends[3], &inheritable, 0)) {
    fail("CreatePipe");
  }
  const OwnedHandle out_read(ends[0]), err_read(ends[2]);
  OwnedHandle out_write(ends[1]), err_write(ends[3]);
  // Only the child's ends are inherited.
  ::SetHandleInformation(out_read.get(), HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(err_read.get(), HANDLE_FLAG_INHERIT, 0);
  OwnedHandle input(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inheritable, OPEN_EXISTING, 0, nullptr));

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input.get();
  startup.hStdOutput = out_write.get();
  startup.hStdError = err_write.get();
  std::wstring writable_line = command_line;
  PROCESS_INFORMATION process{};
  // The child copies the environment as it starts; ours is put back then.
  std::vector<EnvironmentOverride> saved;
  for (const auto& [name, value] : environment) {
    saved.emplace_back(name, environment_variable(name));
    set_environment_variable(name, value);
  }
  // The jobs, each reporting the processes that join it to one port.
  std::vector<OwnedHandle> jobs;
  OwnedHandle port;
  if (!options.jobs.empty()) {
    port.reset(::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
  }
  for (const std::uint32_t flags : options.jobs) {
    const HANDLE job = jobs.emplace_back(::CreateJobObjectW(nullptr, nullptr)).get();
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = flags;
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT reporting{job, port.get()};
    if (job == nullptr || port == nullptr ||
        !::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits) ||
        !::SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &reporting,
                                   sizeof reporting)) {
      fail("a job for the run");
    }
  }
  const bool suspended = start_together != nullptr || !jobs.empty();
  const BOOL started =
      ::CreateProcessW(program.c_str(), writable_line.data(), nullptr, nullptr, TRUE,
                       (suspended ? CREATE_SUSPENDED : 0) | options.creation_flags, nullptr,
                       nullptr, &startup, &process);
  for (auto it = saved.rbegin(); it != saved.rend(); ++it) {
    set_environment_variable(it->first, it->second);
  }
  arrival.wait();
  if (!started) {
    fail("CreateProcessW");
  }
  const OwnedHandle process_handle(process.hProcess), thread_handle(process.hThread);
  // The outermost first: a process in a job joins another as a nested one.
  for (auto job = jobs.rbegin(); job != jobs.rend(); ++job) {
    if (!::AssignProcessToJobObject(job->get(), process.hProcess)) {
      ::TerminateProcess(process.hProcess, 1);
      fail("AssignProcessToJobObject");
    }
  }
  if (suspended) {
    ::ResumeThread(process.hThread);
  }
  if (options.started) {
    options.started(process.dwProcessId);
  }
  // The pipes end when the child and whatever inherited them are done.
  out_write.reset();
  err_write.reset();
  input.reset();

  RunOutcome outcome;
  // A run that outlives its limit is ended, which closes its ends of the
  // pipes, so that a hang fails the test instead of blocking it.
  std::thread watchdog;
  if (time_limit) {
    watchdog = std::thread([&] {
      if (::WaitForSingleObject(process.hProcess, static_cast<DWORD>(time_limit->count())) ==
          WAIT_TIMEOUT) {
        outcome.timed_out = true;
        ::TerminateProcess(process.hProcess, ERROR_TIMEOUT);
      }
    });
  }
  std::thread err_reader([&] { read_all(err_read.get(), outcome.err); });
  read_all(out_read.get(), outcome.out);
  err_reader.join();
  if (watchdog.joinable()) {
    watchdog.join();
  }
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exit_code = 0;
  if (!::GetExitCodeProcess(process.hProcess, &exit_code)) {
    fail("GetExitCodeProcess");
  }
  outcome.exit_code = exit_code;
  DWORD message = 0;
  ULONG_PTR key = 0;
  OVERLAPPED* detail = nullptr;
  while (port && ::GetQueuedCompletionStatus(port.get(), &message, &key, &detail, 0)) {
    if (message == JOB_OBJECT_MSG_NEW_PROCESS) {
      outcome.job_members.push_back(
          static_cast<std::uint32_t>(reinterpret_cast<ULONG_PTR>(detail)));
    }
  }
  return outcome;
}

RunOutcome run_obrex(std::wstring_view arguments,
                     const std::vector<EnvironmentOverride>& environment, TimeLimit time_limit,
                     std::latch* start_together, const StartOptions& options) {
  const std::wstring program = obrex_path();
  return run_raw(program, quoted_path(program) + L" " + std::wstring(arguments), environment,
                 time_limit, start_together, options);
}

std::optional<std::string> probe_value(std::string_view out, std::string_view key) {
  for (std::size_t at = 0; at < out.size();) {
    const std::size_t end = std::min(out.find('\n', at), out.size());
    const std::string_view line = out.substr(at, end - at);
    if (line.starts_with(key) && line.size() > key.size() && line[key.size()] == '=') {
      return std::string(line.substr(key.size() + 1));
    }
    at = end + 1;
  }
  return std::nullopt;
}

std::string utf8(std::wstring_view text) {
  return windows_text::utf8(text);
}

std::wstring command_line_argument(std::wstring_view argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring_view::npos) {
    return std::wstring(argument);
  }
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    quoted += c;
    backslashes = 0;
  }
  quoted.append(2 * backslashes, L'\\');
  return quoted + L"\"";
}

std::wstring command_line(const std::vector<std::wstring>& arguments) {
  std::wstring line;
  for (const std::wstring& argument : arguments) {
    line += (line.empty() ? L"" : L" ") + command_line_argument(argument);
  }
  return line;
}

std::string os_error_text(std::uint32_t code) {
  wchar_t text[2048];
  const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, text, 2048, nullptr);
  if (length == 0) {
    fail("FormatMessageW(" + std::to_string(code) + ")");
  }
  std::wstring_view message(text, length);
  while (!message.empty() && std::iswspace(message.back())) {
    message.remove_suffix(1);
  }
  return utf8(message) + " (os error " + std::to_string(static_cast<std::int32_t>(code)) + ")";
}

std::string security_text(const std::wstring& path, std::uint32_t part) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  LPWSTR text = nullptr;
  EXPECT_EQ(::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, part, nullptr, nullptr, nullptr,
                                    nullptr, &descriptor),
            0u)
      << utf8(path);
  EXPECT_TRUE(descriptor != nullptr && ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
                                           descriptor, SDDL_REVISION_1, part, &text, nullptr));
  const std::string result = text != nullptr ? utf8(text) : "";
  ::LocalFree(text);
  ::LocalFree(descriptor);
  return result;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

std::wstring sandbox_temp_directory() {
  PWSTR profile = nullptr;
  if (::SHGetKnownFolderPath(FOLDERID_Profile, 0, nullptr, &profile) != S_OK) {
    ::CoTaskMemFree(profile);
    throw std::runtime_error("SHGetKnownFolderPath(FOLDERID_Profile) failed");
  }
  const std::wstring directory =
      profile + std::wstring(L"\\AppData\\LocalLow\\Tornel\\Obrex\\sandbox-temp");
  ::CoTaskMemFree(profile);
  return directory;
}

SandboxTempLevels::SandboxTempLevels() : sandbox_temp(sandbox_temp_directory()) {
  obrex = sandbox_temp.substr(0, sandbox_temp.rfind(L'\\'));
  tornel = obrex.substr(0, obrex.rfind(L'\\'));
}

void SandboxTempLevels::remove_empty() const {
  for (const std::wstring* level : {&sandbox_temp, &obrex, &tornel}) {
    ::RemoveDirectoryW(level->c_str());
  }
}

TempDirectory::TempDirectory() {
  static std::atomic<unsigned> count = 0;
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
  path_ = std::wstring(temp, length) + L"obrex-e2e-" + std::to_wstring(::GetCurrentProcessId()) +
          L"-" + std::to_wstring(::GetTickCount64()) + L"-" + std::to_wstring(count++);
  if (length == 0 || length > MAX_PATH || !::CreateDirectoryW(path_.c_str(), nullptr)) {
    fail("CreateDirectoryW in the temporary folder");
  }
}

TempDirectory::~TempDirectory() {
  remove_tree(path_);
}

std::wstring TempDirectory::operator/(std::wstring_view relative) const {
  return path_ + L"\\" + std::wstring(relative);
}

std::wstring TempDirectory::make_directory(std::wstring_view relative) const {
  const std::wstring path = *this / relative;
  if (!::CreateDirectoryW(path.c_str(), nullptr)) {
    fail("CreateDirectoryW(" + utf8(path) + ")");
  }
  return path;
}

std::wstring TempDirectory::make_file(std::wstring_view relative) const {
  const std::wstring path = *this / relative;
  const OwnedHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    fail("CreateFileW(" + utf8(path) + ")");
  }
  return path;
}

std::wstring TempDirectory::copy_probe(std::wstring_view relative) const {
  return copy(probe_path(), relative);
}

std::wstring TempDirectory::copy(const std::wstring& source, std::wstring_view relative) const {
  const std::wstring path = *this / relative;
  if (!::CopyFileW(source.c_str(), path.c_str(), TRUE)) {
    fail("CopyFileW(" + utf8(path) + ")");
  }
  return path;
}

} // namespace obrex::e2e
