// A floor of the benchmark: the least a launcher can do. It starts the rest
// of its own command line as a process with CreateProcessW, waits for it and
// exits with its exit code.
//
// Built three times: floor 1 as it is; floor 2 (OBREX_FLOOR_PROFILE_FOLDER)
// also importing shell32 and ole32 and asking for the profile folder first,
// as obrex-sandbox-exec must on every run that gets that far; and floor 3
// (also OBREX_FLOOR_CNG), which besides loads bcrypt.dll from the system
// directory and hashes 70 bytes with SHA-256, as obrex-sandbox-exec must to
// derive the sandbox's identity.
#include <windows.h>

#if defined(OBREX_FLOOR_PROFILE_FOLDER)
#include <knownfolders.h>
#include <shlobj.h>
#endif
#if defined(OBREX_FLOOR_CNG)
#include <bcrypt.h>
#endif

#include <cstdio>
#include <string>

namespace {

// The command line without this program's name: the name ends at the first
// space or tab outside double quotes, and the blanks after it are skipped.
std::wstring rest_of_command_line() {
  const wchar_t* line = ::GetCommandLineW();
  bool quoted = false;
  for (; *line != L'\0' && (quoted || (*line != L' ' && *line != L'\t')); ++line) {
    if (*line == L'"') {
      quoted = !quoted;
    }
  }
  while (*line == L' ' || *line == L'\t') {
    ++line;
  }
  return line;
}

} // namespace

int main() {
#if defined(OBREX_FLOOR_PROFILE_FOLDER)
  PWSTR profile = nullptr;
  ::SHGetKnownFolderPath(FOLDERID_Profile, 0, nullptr, &profile);
  ::CoTaskMemFree(profile);
#endif
#if defined(OBREX_FLOOR_CNG)
  const HMODULE bcrypt = ::LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  const auto open = reinterpret_cast<decltype(::BCryptOpenAlgorithmProvider)*>(
      reinterpret_cast<void (*)()>(::GetProcAddress(bcrypt, "BCryptOpenAlgorithmProvider")));
  const auto hash = reinterpret_cast<decltype(::BCryptHash)*>(
      reinterpret_cast<void (*)()>(::GetProcAddress(bcrypt, "BCryptHash")));
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  UCHAR seed[70] = {};
  UCHAR digest[32];
  if (open == nullptr || hash == nullptr ||
      open(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0 ||
      hash(algorithm, nullptr, 0, seed, static_cast<ULONG>(sizeof seed), digest,
           static_cast<ULONG>(sizeof digest)) < 0) {
    return 125;
  }
#endif
  std::wstring command_line = rest_of_command_line();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
    std::fwprintf(stderr, L"cannot start %ls (error %lu)\n", command_line.c_str(),
                  ::GetLastError());
    return 126;
  }
  ::CloseHandle(process.hThread);
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hProcess);
  return static_cast<int>(code);
}
