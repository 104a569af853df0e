// The child that end-to-end runs start inside the sandbox. It prints what it
// sees, one "key=value" line each, in UTF-8 on standard output, and exits
// with the code it is asked for.
//
// Arguments (any other argument is only reported):
//   exit=N   end with exit code N (decimal, or hexadecimal with 0x)
//   err=TEXT write TEXT and a line feed to standard error
//   token    also report the token: integrity level, restricting SIDs and
//            privileges
//
// Lines always printed: command_line, argc and arg1.. (the arguments as the C
// runtime splits them), TEMP and TMP (absent when unset), in_job,
// ui_restrictions (or ui_restrictions_error with the code), error_mode,
// current_directory.
#include <windows.h>

#include <sddl.h>

#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

namespace {

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

std::string output;

void line(std::string_view key, std::wstring_view value) {
  output.append(key);
  output += '=';
  output += utf8(value);
  output += '\n';
}

void line(std::string_view key, std::uint32_t value, bool hex = false) {
  wchar_t text[16];
  std::swprintf(text, 16, hex ? L"0x%X" : L"%u", value);
  line(key, text);
}

void report_environment(const wchar_t* name, std::string_view key) {
  std::vector<wchar_t> buffer(1024);
  for (;;) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length =
        ::GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 && ::GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
      return;
    }
    if (length < buffer.size()) {
      line(key, std::wstring_view(buffer.data(), length));
      return;
    }
    buffer.resize(length);
  }
}

std::vector<unsigned char> token_information(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  DWORD needed = 0;
  ::GetTokenInformation(token, kind, nullptr, 0, &needed);
  // Zeroed, and aligned for the pointers inside.
  std::vector<unsigned char> buffer(needed + sizeof(void*));
  if (needed == 0 || !::GetTokenInformation(token, kind, buffer.data(), needed, &needed)) {
    buffer.clear();
  }
  return buffer;
}

std::wstring sid_text(PSID sid) {
  LPWSTR text = nullptr;
  std::wstring result = L"?";
  if (::ConvertSidToStringSidW(sid, &text)) {
    result = text;
  }
  ::LocalFree(text);
  return result;
}

void report_token() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    line("token_error", ::GetLastError());
    return;
  }
  const auto label = token_information(token, TokenIntegrityLevel);
  if (label.empty()) {
    line("integrity_error", ::GetLastError());
  } else {
    line("integrity",
         sid_text(reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(label.data())->Label.Sid));
  }
  const auto restricted = token_information(token, TokenRestrictedSids);
  std::wstring sids;
  if (!restricted.empty()) {
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(restricted.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
      sids += (i == 0 ? L"" : L",") + sid_text(groups->Groups[i].Sid);
    }
  }
  line("restricting_sids", sids);
  const auto privileges = token_information(token, TokenPrivileges);
  std::wstring names;
  if (!privileges.empty()) {
    const auto* list = reinterpret_cast<const TOKEN_PRIVILEGES*>(privileges.data());
    for (DWORD i = 0; i < list->PrivilegeCount; ++i) {
      LUID luid = list->Privileges[i].Luid;
      wchar_t name[128];
      DWORD length = 128;
      names += i == 0 ? L"" : L",";
      names += ::LookupPrivilegeNameW(nullptr, &luid, name, &length) ? name : L"?";
    }
  }
  line("privileges", names);
  ::CloseHandle(token);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
  UINT exit_code = 0;
  bool want_token = false;
  std::string error_output;

  line("command_line", ::GetCommandLineW());
  line("argc", static_cast<std::uint32_t>(argc));
  for (int i = 1; i < argc; ++i) {
    line("arg" + std::to_string(i), argv[i]);
    const std::wstring_view argument = argv[i];
    if (argument.starts_with(L"exit=")) {
      exit_code = static_cast<UINT>(std::wcstoul(argv[i] + 5, nullptr, 0));
    } else if (argument.starts_with(L"err=")) {
      error_output += utf8(argument.substr(4)) + '\n';
    } else if (argument == L"token") {
      want_token = true;
    }
  }

  report_environment(L"TEMP", "TEMP");
  report_environment(L"TMP", "TMP");

  BOOL in_job = FALSE;
  if (::IsProcessInJob(::GetCurrentProcess(), nullptr, &in_job)) {
    line("in_job", in_job ? 1u : 0u);
  } else {
    line("in_job_error", ::GetLastError());
  }
  JOBOBJECT_BASIC_UI_RESTRICTIONS ui{};
  if (::QueryInformationJobObject(nullptr, JobObjectBasicUIRestrictions, &ui, sizeof ui, nullptr)) {
    line("ui_restrictions", ui.UIRestrictionsClass, true);
  } else {
    line("ui_restrictions_error", ::GetLastError());
  }
  line("error_mode", ::GetErrorMode());

  std::vector<wchar_t> directory(MAX_PATH);
  DWORD length = ::GetCurrentDirectoryW(static_cast<DWORD>(directory.size()), directory.data());
  if (length >= directory.size()) {
    directory.resize(length);
    length = ::GetCurrentDirectoryW(static_cast<DWORD>(directory.size()), directory.data());
  }
  line("current_directory", std::wstring_view(directory.data(), length));

  if (want_token) {
    report_token();
  }

  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), output.data(), static_cast<DWORD>(output.size()),
              &written, nullptr);
  if (!error_output.empty()) {
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), error_output.data(),
                static_cast<DWORD>(error_output.size()), &written, nullptr);
  }
  ::ExitProcess(exit_code);
}
