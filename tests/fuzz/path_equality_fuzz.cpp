// Path equality decides which SID a run gets. It must hold for a path and
// itself and not depend on the order of the two paths; the kind of separator
// and the case of a drive letter must not matter outside a \\?\ path, which
// the system takes as written (a \??\ path compares like any rooted one).
// Input: bytes, the paths a and b cut at zero bytes (see fuzz_input.h); a
// missing path is the empty text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "identity/sandbox_identity.h"

namespace {

bool is_verbatim(const std::string& path) {
  return path.starts_with("\\\\?\\");
}

bool is_ascii_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

void check_written_otherwise(const std::string& path) {
  if (is_verbatim(path)) {
    return;
  }
  std::string backslashed = path;
  for (char& c : backslashed) {
    c = c == '/' ? '\\' : c;
  }
  if (!is_verbatim(backslashed)) {
    OBREX_FUZZ_CHECK(obrex::paths_equal(path, backslashed));
  }
  if (path.size() >= 2 && is_ascii_letter(path[0]) && path[1] == ':') {
    std::string other_case = path;
    other_case[0] = static_cast<char>(path[0] ^ 0x20);
    OBREX_FUZZ_CHECK(obrex::paths_equal(path, other_case));
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using obrex::paths_equal;
  std::vector<std::string> paths =
      obrex::fuzz::split_at_nul(std::string_view(reinterpret_cast<const char*>(data), size));
  paths.resize(std::max<std::size_t>(paths.size(), 2));
  const std::string& a = paths[0];
  const std::string& b = paths[1];

  OBREX_FUZZ_CHECK(paths_equal(a, a));
  OBREX_FUZZ_CHECK(paths_equal(b, b));
  OBREX_FUZZ_CHECK(paths_equal(a, b) == paths_equal(b, a));
  check_written_otherwise(a);
  check_written_otherwise(b);
  return 0;
}
