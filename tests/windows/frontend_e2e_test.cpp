// The real executable's command-line failures (the exact line on standard
// error, nothing on standard output, the exit status) and what the build
// puts into it besides its code.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <set>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace obrex::e2e {
namespace {

struct Loaded {
  std::uint32_t exit_code = 0;
  std::set<std::wstring> dlls; // file names, in lower case
};

// Runs the executable as a debugger would, to see every DLL it loads (its
// children are not watched). Standard input, output and error are NUL.
Loaded dlls_loaded_by_a_run(const std::wstring& arguments) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  const HANDLE nul = ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, 0, &inheritable,
                                   OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
  PROCESS_INFORMATION process{};
  std::wstring line = quoted_path(obrex_path()) + L" " + arguments;
  Loaded loaded;
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, DEBUG_ONLY_THIS_PROCESS,
                        nullptr, nullptr, &startup, &process)) {
    ADD_FAILURE() << "cannot start the executable: error " << ::GetLastError();
    ::CloseHandle(nul);
    return loaded;
  }
  for (bool running = true; running;) {
    DEBUG_EVENT event{};
    if (!::WaitForDebugEvent(&event, INFINITE)) {
      ADD_FAILURE() << "WaitForDebugEvent failed with error " << ::GetLastError();
      break;
    }
    DWORD continuation = DBG_CONTINUE;
    if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT && event.u.LoadDll.hFile != nullptr) {
      std::wstring path(32768, L'\0');
      path.resize(::GetFinalPathNameByHandleW(event.u.LoadDll.hFile, path.data(),
                                              static_cast<DWORD>(path.size()), 0));
      std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
      std::ranges::transform(name, name.begin(), [](wchar_t c) { return std::towlower(c); });
      loaded.dlls.insert(name);
      ::CloseHandle(event.u.LoadDll.hFile);
    } else if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT &&
               event.u.CreateProcessInfo.hFile != nullptr) {
      ::CloseHandle(event.u.CreateProcessInfo.hFile);
    } else if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT &&
               event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
      continuation = DBG_EXCEPTION_NOT_HANDLED; // the program's own handlers run
    } else if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) {
      loaded.exit_code = event.u.ExitProcess.dwExitCode;
      running = false;
    }
    ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continuation);
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  ::CloseHandle(nul);
  return loaded;
}

TEST(FrontEndE2e, UsageMessagesAreOneLineWithExit126) {
  struct Case {
    std::wstring arguments;
    std::string err;
  };
  for (const Case& c : {
           Case{L"", "obrex-sandbox-exec: expected -- or --verbatim and a command\n"},
           Case{L"-- cmd /c exit 0", "obrex-sandbox-exec: missing --project\n"},
       }) {
    const RunOutcome run = run_obrex(c.arguments);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.exit_code, 126u) << c.err;
  }
}

TEST(FrontEndE2e, UnpairedSurrogateIsAnInternalFailure) {
  const RunOutcome run =
      run_obrex(std::wstring(L"--project C:\\") + wchar_t(0xD800) + L" -- cmd /c exit 0");
  EXPECT_EQ(run.exit_code, 101u);
  EXPECT_EQ(run.out, "");
  // One line naming the failure, after the program's name.
  EXPECT_TRUE(run.err.starts_with("obrex-sandbox-exec")) << run.err;
  EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
}

TEST(Executable, NeverLoadsADllPlantedBesideIt) {
  // A bcrypt.dll beside the executable, where a sandboxed command could
  // write, ends the process with 77 if it is ever loaded. Windows' search
  // order looks beside the executable first for a DLL that is not a known
  // one; Wine prefers its own copy unless told otherwise for the program.
  TempDirectory tools;
  const std::wstring copy = tools.copy(obrex_path(), L"obrex-decoy-check.exe");
  tools.copy(built_file_path(L"decoy\\bcrypt.dll"), L"bcrypt.dll");
  const wchar_t* const wine_key = L"Software\\Wine\\AppDefaults\\obrex-decoy-check.exe";
  if (running_under_wine()) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER,
                                (std::wstring(wine_key) + L"\\DllOverrides").c_str(), 0, nullptr, 0,
                                KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const wchar_t order[] = L"native,builtin";
    ::RegSetValueExW(key, L"bcrypt", 0, REG_SZ, reinterpret_cast<const BYTE*>(order), sizeof order);
    ::RegCloseKey(key);
  }
  const RunOutcome run = run_raw(copy, quoted_path(copy) + L" --project " +
                                           quoted_path(tools.path()) + L" -- cmd /c exit 3");
  if (running_under_wine()) {
    ::RegDeleteTreeW(HKEY_CURRENT_USER, wine_key);
    ::RegDeleteKeyW(HKEY_CURRENT_USER, wine_key);
  }
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_code, 3u);
}

// shell32 and ole32 serve only the profile folder, and loading them costs
// more than the rest of a run: a run that fails before it needs them does
// not load them. The run that gets through shows that they are seen.
TEST(Executable, LoadsShell32AndOle32OnlyForTheProfileFolder) {
  struct Case {
    std::wstring arguments;
    std::uint32_t exit_code;
    bool loads_them;
  };
  TempDirectory project;
  const std::wstring given = L"--project " + quoted_path(project.path());
  for (const Case& c : {
           Case{L"--project C:\\p", 126, false},
           Case{given + L" -- obrex-no-such-command", 126, false},
           Case{L"--project " + quoted_path(project / L"missing") + L" -- cmd /c exit 0", 126,
                false},
           Case{given + L" -- cmd /c exit 3", 3, true},
       }) {
    const Loaded loaded = dlls_loaded_by_a_run(c.arguments);
    EXPECT_EQ(loaded.exit_code, c.exit_code) << utf8(c.arguments);
    EXPECT_EQ(loaded.dlls.contains(L"shell32.dll"), c.loads_them) << utf8(c.arguments);
    EXPECT_EQ(loaded.dlls.contains(L"ole32.dll"), c.loads_them) << utf8(c.arguments);
  }
}

TEST(Executable, CarriesItsApplicationManifest) {
  const HMODULE module = ::LoadLibraryExW(
      obrex_path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr) << "error " << ::GetLastError();
  const HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(resource, nullptr) << "no manifest resource (error " << ::GetLastError() << ")";
  const auto* bytes = static_cast<const char*>(::LockResource(::LoadResource(module, resource)));
  ASSERT_NE(bytes, nullptr);
  const std::string manifest(bytes, ::SizeofResource(module, resource));
  ::FreeLibrary(module);
  EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\""), std::string::npos)
      << manifest;
  EXPECT_NE(manifest.find(">true</longPathAware>"), std::string::npos) << manifest;
}

TEST(Executable, CarriesTheProjectVersion) {
  const std::wstring path = obrex_path();
  DWORD ignored = 0;
  std::vector<char> data(::GetFileVersionInfoSizeW(path.c_str(), &ignored));
  ASSERT_FALSE(data.empty()) << "no version resource (error " << ::GetLastError() << ")";
  ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(data.size()), data.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  const std::string numbers = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                              std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                              std::to_string(HIWORD(fixed->dwFileVersionLS));
  EXPECT_EQ(numbers, OBREX_VERSION);
  wchar_t* text = nullptr;
  ASSERT_TRUE(::VerQueryValueW(data.data(), L"\\StringFileInfo\\040904B0\\FileVersion",
                               reinterpret_cast<void**>(&text), &length));
  EXPECT_EQ(utf8(text), OBREX_VERSION);
}

} // namespace
} // namespace obrex::e2e
