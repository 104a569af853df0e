// Runs the command line it is given in the sandbox through the library and
// ends with the command's exit code, or prints the error and ends with 126.
// Like the executable, it keeps DLLs to the system directory and shows
// messages escaped.
#include <obrex/sandbox.h>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  obrex::restrict_dll_search_to_system_directory();
  std::vector<std::u16string> arguments;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    arguments.emplace_back(argument.begin(), argument.end()); // ASCII arguments only
  }
  try {
    const auto request = obrex::parse_arguments(arguments);
    if (!request) {
      std::fprintf(stderr, "usage: %s\n",
                   obrex::escape_control_characters(request.error().message).c_str());
      return 126;
    }
    const auto outcome = obrex::run_sandbox(obrex::system_os(), *request);
    if (!outcome) {
      std::fprintf(stderr, "%s (code %u)\n",
                   obrex::escape_control_characters(outcome.error().message).c_str(),
                   outcome.error().os_code.value_or(0));
      return 126;
    }
    return static_cast<int>(*outcome);
  } catch (const obrex::InternalFailure& failure) {
    std::fprintf(stderr, "%s\n", failure.diagnostic().c_str());
    return 101;
  }
}
