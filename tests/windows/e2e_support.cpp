#include "e2e_support.h"

#include <windows.h>

#include <atomic>
#include <cwctype>
#include <stdexcept>
#include <thread>

namespace obrex::e2e {
namespace {

class OwnedHandle {
public:
  OwnedHandle() = default;
  explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() { reset(); }
  HANDLE get() const { return handle_; }
  HANDLE* out() { return &handle_; }
  void reset() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) {
      ::CloseHandle(handle_);
    }
    handle_ = nullptr;
  }

private:
  HANDLE handle_ = nullptr;
};

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + " failed with error " + std::to_string(::GetLastError()));
}

std::optional<std::wstring> environment_variable(const std::wstring& name) {
  std::wstring value(256, L'\0');
  for (;;) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length =
        ::GetEnvironmentVariableW(name.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (length == 0 && ::GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
      return std::nullopt;
    }
    if (length < value.size()) {
      value.resize(length);
      return value;
    }
    value.resize(length);
  }
}

void set_environment_variable(const std::wstring& name, const std::optional<std::wstring>& value) {
  if (!::SetEnvironmentVariableW(name.c_str(), value ? value->c_str() : nullptr)) {
    fail("SetEnvironmentVariableW");
  }
}

// Applies the overrides for the lifetime of the object.
class ScopedEnvironment {
public:
  explicit ScopedEnvironment(const std::vector<EnvironmentOverride>& overrides) {
    for (const auto& [name, value] : overrides) {
      saved_.emplace_back(name, environment_variable(name));
      set_environment_variable(name, value);
    }
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
  ~ScopedEnvironment() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      ::SetEnvironmentVariableW(it->first.c_str(), it->second ? it->second->c_str() : nullptr);
    }
  }

private:
  std::vector<EnvironmentOverride> saved_;
};

void read_all(HANDLE pipe, std::string& bytes) {
  char buffer[4096];
  DWORD read = 0;
  while (::ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    bytes.append(buffer, read);
  }
}

std::wstring directory_of_this_program() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) {
      fail("GetModuleFileNameW");
    }
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  return path.substr(0, path.find_last_of(L"\\/") + 1);
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

std::wstring quoted_path(std::wstring_view path) {
  return L"\"" + std::wstring(path) + L"\"";
}

RunOutcome run_raw(const std::wstring& program, const std::wstring& command_line,
                   const std::vector<EnvironmentOverride>& environment) {
  ScopedEnvironment scoped(environment);

  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  OwnedHandle out_read, out_write, err_read, err_write;
  if (!::CreatePipe(out_read.out(), out_write.out(), &inheritable, 0) ||
      !::CreatePipe(err_read.out(), err_write.out(), &inheritable, 0)) {
    fail("CreatePipe");
  }
  // Only the child's ends are inherited.
  ::SetHandleInformation(out_read.get(), HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(err_read.get(), HANDLE_FLAG_INHERIT, 0);
  OwnedHandle input(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inheritable, OPEN_EXISTING, 0, nullptr));
  if (input.get() == INVALID_HANDLE_VALUE) {
    fail("CreateFileW(NUL)");
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input.get();
  startup.hStdOutput = out_write.get();
  startup.hStdError = err_write.get();
  std::wstring writable_line = command_line;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(program.c_str(), writable_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &process)) {
    fail("CreateProcessW");
  }
  OwnedHandle process_handle(process.hProcess);
  OwnedHandle thread_handle(process.hThread);
  // The pipes end when the child and whatever inherited them are done.
  out_write.reset();
  err_write.reset();
  input.reset();

  RunOutcome outcome;
  std::thread err_reader([&] { read_all(err_read.get(), outcome.err); });
  read_all(out_read.get(), outcome.out);
  err_reader.join();

  ::WaitForSingleObject(process_handle.get(), INFINITE);
  DWORD exit_code = 0;
  if (!::GetExitCodeProcess(process_handle.get(), &exit_code)) {
    fail("GetExitCodeProcess");
  }
  outcome.exit_code = exit_code;
  return outcome;
}

RunOutcome run_obrex(std::wstring_view arguments,
                     const std::vector<EnvironmentOverride>& environment) {
  const std::wstring program = obrex_path();
  return run_raw(program, quoted_path(program) + L" " + std::wstring(arguments), environment);
}

std::optional<std::string> probe_value(std::string_view out, std::string_view key) {
  while (!out.empty()) {
    const std::size_t end = out.find('\n');
    const std::string_view line = out.substr(0, end);
    if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == '=') {
      return std::string(line.substr(key.size() + 1));
    }
    if (end == std::string_view::npos) {
      break;
    }
    out.remove_prefix(end + 1);
  }
  return std::nullopt;
}

std::string utf8(std::wstring_view text) {
  if (text.empty()) {
    return {};
  }
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                        nullptr, nullptr);
  return bytes;
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

TempDirectory::TempDirectory() {
  static std::atomic<unsigned> count = 0;
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
  if (length == 0 || length > MAX_PATH) {
    fail("GetTempPathW");
  }
  path_ = std::wstring(temp, length) + L"obrex-e2e-" + std::to_wstring(::GetCurrentProcessId()) +
          L"-" + std::to_wstring(::GetTickCount64()) + L"-" + std::to_wstring(count++);
  if (!::CreateDirectoryW(path_.c_str(), nullptr)) {
    fail("CreateDirectoryW");
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
  OwnedHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    fail("CreateFileW(" + utf8(path) + ")");
  }
  return path;
}

std::wstring TempDirectory::copy_probe(std::wstring_view relative) const {
  const std::wstring path = *this / relative;
  if (!::CopyFileW(probe_path().c_str(), path.c_str(), TRUE)) {
    fail("CopyFileW(" + utf8(path) + ")");
  }
  return path;
}

void remove_tree(const std::wstring& directory) {
  WIN32_FIND_DATAW entry;
  const HANDLE search = ::FindFirstFileW((directory + L"\\*").c_str(), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") {
        continue;
      }
      const std::wstring child = directory + L"\\" + name;
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
          (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        remove_tree(child);
      } else if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        ::RemoveDirectoryW(child.c_str());
      } else {
        ::DeleteFileW(child.c_str());
      }
    } while (::FindNextFileW(search, &entry));
    ::FindClose(search);
  }
  ::RemoveDirectoryW(directory.c_str());
}

} // namespace obrex::e2e
