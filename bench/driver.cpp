// The process-level benchmark: obrex-sandbox-exec running a do-nothing
// command, against the floors (bench/floor.cpp) running the same command and
// the command started directly.
//
//   obrex_bench.exe [--rounds N] [--launcher PATH] [--baseline PATH] [--tree FILES]
//
// Every case runs in rounds: each round starts the programs one after
// another, the order rotated by one every round, after one untimed round.
// A time is the wall-clock time from CreateProcessW to the end of the wait
// for the process. For each case the table shows each program's median and
// the medians of the per-round ratios of the launcher to each floor. With
// --baseline, another build of the launcher (an earlier one, say) runs in
// the same rounds, and the ratio of the launcher to it is shown too. In the
// last case the launcher fails at its first step, as a mistyped command
// does, while the floors still run the command.
// The floors, the command and this program come from the same build
// directory, bench/; the launcher is by default in the directory above.
//
// With --tree, a second table follows: two trees of FILES empty files, 100 to
// a directory, one given with --write and one with --deny, and the time of
// the launcher's first and second run over each, beside a run with no paths,
// one run each. Those runs label the trees and grant them to the sandbox SID
// of the benchmark's project directory; the trees are deleted afterwards. A
// run that fails (under Wine, which cannot write labels) shows its exit code.
#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "obrex_bench: %s\n", what.c_str());
  std::exit(1);
}

std::string narrow(const std::wstring& text) {
  const int size =
      ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), size, nullptr, nullptr);
  out.resize(out.size() - 1);
  return out;
}

std::wstring quoted(const std::wstring& path) {
  return L"\"" + path + L"\"";
}

std::wstring directory_of(const std::wstring& path) {
  return path.substr(0, path.find_last_of(L"\\/"));
}

std::wstring own_directory() {
  std::wstring path(32768, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (length == 0 || length == path.size()) {
    fail("cannot find this program's own path");
  }
  path.resize(length);
  return directory_of(path);
}

std::wstring full_path(const std::wstring& path) {
  std::wstring full(32768, L'\0');
  const DWORD length =
      ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length == 0 || length >= full.size()) {
    fail("cannot make " + narrow(path) + " absolute");
  }
  full.resize(length);
  return full;
}

bool exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void make_directory(const std::wstring& path) {
  if (!::CreateDirectoryW(path.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
    fail("cannot create " + narrow(path));
  }
}

std::wstring sandbox_temp_directory() {
  PWSTR profile = nullptr;
  if (FAILED(::SHGetKnownFolderPath(FOLDERID_Profile, 0, nullptr, &profile))) {
    ::CoTaskMemFree(profile);
    fail("cannot locate the profile folder");
  }
  std::wstring path = profile;
  ::CoTaskMemFree(profile);
  if (!path.empty() && path.back() != L'\\') {
    path += L'\\';
  }
  return path + L"AppData\\LocalLow\\Tornel\\Obrex\\sandbox-temp";
}

double milliseconds_since(const LARGE_INTEGER& start) {
  LARGE_INTEGER now;
  LARGE_INTEGER frequency;
  ::QueryPerformanceCounter(&now);
  ::QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

// Starts the command line with NUL as its standard handles, waits for it
// and returns the time that took in milliseconds; or, when it cannot start
// or ends with another exit code than expected, why. The exit code goes to
// `exit_code` when given, and then any exit code is taken.
std::optional<double> try_run(const std::wstring& command_line, DWORD expected_exit_code,
                              std::string& why, DWORD* exit_code = nullptr) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  const HANDLE nul = ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, 0, &inheritable,
                                   OPEN_EXISTING, 0, nullptr);
  if (nul == INVALID_HANDLE_VALUE) {
    fail("cannot open NUL");
  }
  std::wstring line = command_line;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
  PROCESS_INFORMATION process{};
  LARGE_INTEGER start;
  ::QueryPerformanceCounter(&start);
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
    why = "cannot start " + narrow(command_line) + " (error " + std::to_string(::GetLastError()) +
          ")";
    ::CloseHandle(nul);
    return std::nullopt;
  }
  ::WaitForSingleObject(process.hProcess, INFINITE);
  const double elapsed = milliseconds_since(start);
  DWORD code = 1;
  ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  ::CloseHandle(nul);
  if (exit_code != nullptr) {
    *exit_code = code;
  } else if (code != expected_exit_code) {
    why = narrow(command_line) + " exited with code " + std::to_string(code);
    return std::nullopt;
  }
  return elapsed;
}

// Runs that had to be repeated: on a loaded machine Wine now and then fails
// to start a process.
int repeated_runs = 0;

// A run that fails is repeated, twice at most; a third failure ends the
// benchmark, since its figures would mean nothing.
double timed_run(const std::wstring& command_line, DWORD expected_exit_code) {
  std::string why;
  for (int attempt = 1;; ++attempt) {
    if (const auto elapsed = try_run(command_line, expected_exit_code, why)) {
      return *elapsed;
    }
    if (attempt == 3) {
      fail(why);
    }
    std::fprintf(stderr, "obrex_bench: %s; repeating the run\n", why.c_str());
    ++repeated_runs;
  }
}

double median(std::vector<double> values) {
  std::ranges::sort(values);
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

struct Case {
  const char* name;
  // What follows --project on the launcher's command line.
  std::wstring launcher_arguments;
  // PATH for the case's runs; the inherited one when nullopt.
  std::optional<std::wstring> path;
  // The sandbox temporary directory is removed before every run.
  bool remove_temp = false;
  // What the launcher ends with: 126 for a case where it fails.
  DWORD launcher_exit_code = 0;
};

// The programs of a round, the launcher first; then the floors, the command
// alone and the baseline, when there is one.
enum Program { kLauncher, kFloor1, kFloor2, kFloor3, kDirect, kBaseline };
constexpr const char* kHeadings[] = {"launcher", "floor 1", "floor 2",
                                     "floor 3",  "direct",  "baseline"};
constexpr const char* kRatioHeadings[] = {"", "L/F1", "L/F2", "L/F3", "", "L/base"};

struct Figures {
  std::vector<double> medians;            // per program
  std::vector<double> launcher_per_other; // per program; 0 where none is shown
};

class Bench {
public:
  Bench(std::wstring directory, std::wstring launcher, std::optional<std::wstring> baseline,
        int rounds)
      : directory_(std::move(directory)), launcher_(std::move(launcher)),
        baseline_(std::move(baseline)), rounds_(rounds),
        command_(directory_ + L"\\obrex_bench_noop.exe"), temp_(sandbox_temp_directory()) {
    std::vector<std::wstring> needed = {launcher_, command_, floor(1), floor(2), floor(3)};
    if (baseline_) {
      needed.push_back(*baseline_);
    }
    for (const std::wstring& program : needed) {
      if (!exists(program)) {
        fail(narrow(program) + " is missing; bench/run builds it");
      }
    }
    wchar_t temp[MAX_PATH + 1];
    if (::GetTempPathW(MAX_PATH + 1, temp) == 0) {
      fail("cannot find the temporary folder");
    }
    root_ = std::wstring(temp) + L"obrex-bench-" + std::to_wstring(::GetCurrentProcessId());
    make_directory(root_);
    make_directory(project());
  }
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;
  ~Bench() {
    ::RemoveDirectoryW(project().c_str());
    ::RemoveDirectoryW(root_.c_str());
  }

  // The second table: runs over a tree of `files` files.
  void measure_trees(int files) const {
    const std::wstring write_tree = root_ + L"\\write";
    const std::wstring deny_tree = root_ + L"\\deny";
    make_tree(write_tree, files);
    make_tree(deny_tree, files);
    const std::wstring head = quoted(launcher_) + L" --project " + quoted(project());
    const std::wstring tail = L" -- " + quoted(command_);
    const std::pair<const char*, std::wstring> rows[] = {
        {"no paths", head + tail},
        {"--write, first run", head + L" --write " + quoted(write_tree) + tail},
        {"--write, second run", head + L" --write " + quoted(write_tree) + tail},
        {"--deny, first run", head + L" --deny " + quoted(deny_tree) + tail},
        {"--deny, second run", head + L" --deny " + quoted(deny_tree) + tail},
    };
    std::printf("\nRuns over a tree of %d files (ms, one run each):\n", files);
    for (const auto& [name, line] : rows) {
      DWORD code = 0;
      const double elapsed = run_once(line, code);
      if (code == 0) {
        std::printf("  %-22s %10.1f\n", name, elapsed);
      } else {
        std::printf("  %-22s %10s (exit code %lu)\n", name, "failed", code);
      }
      std::fflush(stdout);
    }
    remove_tree(write_tree);
    remove_tree(deny_tree);
  }

  int programs() const { return baseline_ ? kBaseline + 1 : kBaseline; }
  std::wstring project() const { return root_ + L"\\project"; }
  std::wstring absent(const std::wstring& name) const { return root_ + L"\\absent\\" + name; }
  const std::wstring& command() const { return command_; }
  const std::wstring& command_directory() const { return directory_; }

  Figures measure(const Case& entry) {
    std::optional<std::wstring> saved_path;
    if (entry.path) {
      saved_path = environment(L"PATH");
      ::SetEnvironmentVariableW(L"PATH", entry.path->c_str());
    }
    const std::wstring launcher_arguments =
        L" --project " + quoted(project()) + entry.launcher_arguments;
    std::vector<std::wstring> lines = {
        quoted(launcher_) + launcher_arguments, quoted(floor(1)) + L" " + quoted(command_),
        quoted(floor(2)) + L" " + quoted(command_), quoted(floor(3)) + L" " + quoted(command_),
        quoted(command_)};
    if (baseline_) {
      lines.push_back(quoted(*baseline_) + launcher_arguments);
    }
    const int count = programs();
    std::vector<std::vector<double>> times(count);
    std::vector<std::vector<double>> ratios(count);
    for (int round = -1; round < rounds_; ++round) {
      std::vector<double> round_times(count);
      for (int turn = 0; turn < count; ++turn) {
        const int program = (turn + std::max(round, 0)) % count;
        if (entry.remove_temp) {
          remove_sandbox_temp();
        }
        const bool launcher = program == kLauncher || program == kBaseline;
        round_times[program] = timed_run(lines[program], launcher ? entry.launcher_exit_code : 0);
      }
      if (round < 0) {
        continue; // the untimed round
      }
      for (int program = 0; program < count; ++program) {
        times[program].push_back(round_times[program]);
        ratios[program].push_back(round_times[kLauncher] / round_times[program]);
      }
    }
    if (saved_path) {
      ::SetEnvironmentVariableW(L"PATH", saved_path->c_str());
    }
    Figures figures;
    for (int program = 0; program < count; ++program) {
      figures.medians.push_back(median(times[program]));
      figures.launcher_per_other.push_back(
          *kRatioHeadings[program] != '\0' ? median(ratios[program]) : 0.0);
    }
    return figures;
  }

private:
  // `count` empty files, 100 to a directory.
  static void make_tree(const std::wstring& path, int count) {
    make_directory(path);
    std::wstring directory;
    for (int i = 0; i < count; ++i) {
      if (i % 100 == 0) {
        wchar_t name[16];
        std::swprintf(name, 16, L"\\d%04d", i / 100);
        directory = path + name;
        make_directory(directory);
      }
      const std::wstring file = directory + L"\\f" + std::to_wstring(i) + L".txt";
      const HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle == INVALID_HANDLE_VALUE) {
        fail("cannot create " + narrow(file));
      }
      ::CloseHandle(handle);
    }
  }

  static void remove_tree(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    const HANDLE search = ::FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") {
          continue;
        }
        const std::wstring child = path + L"\\" + name;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
          remove_tree(child);
        } else {
          ::DeleteFileW(child.c_str());
        }
      } while (::FindNextFileW(search, &entry));
      ::FindClose(search);
    }
    ::RemoveDirectoryW(path.c_str());
  }

  // One run, timed as try_run times it, that may end with any exit code.
  static double run_once(const std::wstring& command_line, DWORD& exit_code) {
    std::string why;
    const auto elapsed = try_run(command_line, 0, why, &exit_code);
    if (!elapsed) {
      fail(why);
    }
    return *elapsed;
  }

  std::wstring floor(int number) const {
    return directory_ + L"\\obrex_bench_floor" + std::to_wstring(number) + L".exe";
  }

  static std::optional<std::wstring> environment(const wchar_t* name) {
    const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) {
      return std::nullopt;
    }
    std::wstring value(size, L'\0');
    value.resize(::GetEnvironmentVariableW(name, value.data(), size));
    return value;
  }

  // Only an empty directory is removed: the user's sandboxed commands may
  // keep files there, and those are never touched.
  void remove_sandbox_temp() const {
    if (!::RemoveDirectoryW(temp_.c_str()) && exists(temp_)) {
      fail(narrow(temp_) + " is not empty, so the case without it cannot be measured");
    }
  }

  std::wstring directory_;
  std::wstring launcher_;
  std::optional<std::wstring> baseline_;
  int rounds_;
  std::wstring command_;
  std::wstring temp_;
  std::wstring root_;
};

bool running_under_wine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::wstring path_argument(const char* value) {
  const std::string text = value;
  return full_path(std::wstring(text.begin(), text.end()));
}

} // namespace

int main(int argc, char** argv) {
  int rounds = 40;
  const std::wstring directory = own_directory();
  std::wstring launcher = directory_of(directory) + L"\\obrex-sandbox-exec.exe";
  std::optional<std::wstring> baseline;
  int tree_files = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--rounds" && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else if (option == "--launcher" && i + 1 < argc) {
      launcher = path_argument(argv[++i]);
    } else if (option == "--baseline" && i + 1 < argc) {
      baseline = path_argument(argv[++i]);
    } else if (option == "--tree" && i + 1 < argc) {
      tree_files = std::atoi(argv[++i]);
    } else {
      fail("usage: obrex_bench [--rounds N] [--launcher PATH] [--baseline PATH] [--tree FILES]");
    }
  }
  if (rounds < 1) {
    fail("--rounds needs a positive number");
  }

  Bench bench(directory, launcher, baseline, rounds);
  std::wstring ten_missing;
  for (int i = 0; i < 5; ++i) {
    ten_missing += L" --write " + quoted(bench.absent(L"w" + std::to_wstring(i)));
    ten_missing += L" --deny " + quoted(bench.absent(L"d" + std::to_wstring(i)));
  }
  // 39 directories that do not exist, then the command's own.
  std::wstring long_path;
  for (int i = 0; i < 39; ++i) {
    long_path += bench.absent(L"bin" + std::to_wstring(i)) + L";";
  }
  long_path += bench.command_directory();
  const std::wstring by_path = L" -- " + quoted(bench.command());
  const Case cases[] = {
      {"temp present, no paths", by_path, std::nullopt, false},
      {"temp absent", by_path, std::nullopt, true},
      {"ten missing paths", ten_missing + by_path, std::nullopt, false},
      {"40-entry PATH", L" -- obrex_bench_noop", long_path, false},
      // The launcher fails at its first step; the others run the command.
      {"command not on PATH", L" -- obrex-no-such-command", std::nullopt, false, 126},
  };

  std::printf("obrex_bench: %d rounds per case%s; medians, times in ms\n", rounds,
              running_under_wine() ? ", under Wine" : "");
  std::printf("%-24s", "case");
  for (int program = 0; program < bench.programs(); ++program) {
    std::printf(" %8s", kHeadings[program]);
  }
  for (int program = 0; program < bench.programs(); ++program) {
    if (*kRatioHeadings[program] != '\0') {
      std::printf(" %6s", kRatioHeadings[program]);
    }
  }
  std::printf("\n");
  for (const Case& entry : cases) {
    const Figures figures = bench.measure(entry);
    std::printf("%-24s", entry.name);
    for (const double milliseconds : figures.medians) {
      std::printf(" %8.1f", milliseconds);
    }
    for (int program = 0; program < bench.programs(); ++program) {
      if (*kRatioHeadings[program] != '\0') {
        std::printf(" %6.3f", figures.launcher_per_other[program]);
      }
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  if (repeated_runs > 0) {
    std::printf("(runs repeated after a failed start or a wrong exit code: %d)\n", repeated_runs);
  }
  if (tree_files > 0) {
    bench.measure_trees(tree_files);
  }
  return 0;
}
