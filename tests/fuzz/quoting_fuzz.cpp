// Whatever arguments a command is given, the child reads back exactly those:
// each argument quoted, the child's command line built for the program `p`,
// and that line split by the Windows argument rules gives `p` and the same
// arguments again.
// Input: the argument list, cut at NUL units (see fuzz_input.h); an argument
// never holds a NUL, since the command line ends at the first.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "obrex/sandbox.h"
#include "fuzz_input.h"
#include "launch/command_resolution.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace obrex;
  const std::u16string units = fuzz::units_of(data, size);
  const std::vector<std::u16string> arguments = fuzz::split_at_nul(std::u16string_view(units));

  ResolvedCommand command{u"p", {}};
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) {
      command.arguments += u' ';
    }
    quote_argument(arguments[i], command.arguments);
  }
  const std::u16string line = child_command_line(command);

  std::vector<std::u16string> expected{u"p"};
  expected.insert(expected.end(), arguments.begin(), arguments.end());
  OBREX_FUZZ_CHECK(split_command_line(line, [] { return std::u16string(u"module"); }) == expected);
  return 0;
}
