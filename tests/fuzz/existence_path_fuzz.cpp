// The existence test takes the --write and --deny paths as the user typed
// them. Preparing such a path for the system must never crash: a path with a
// NUL fails, a \\?\ or \??\ path is used unchanged, and any other path is
// used as it is or made full and prefixed with \\?\ (\\?\UNC\ for a share;
// a full path that names a device, \\.\, takes no prefix). The whole test then
// runs against a small simulated tree and must release every handle.
// Input: the path as UTF-16 units (see fuzz_input.h), NULs kept.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "filesystem/file_checks.h"
#include "fuzz_input.h"
#include "support/simulated_os.h"

namespace {

constexpr obrex::OsCode kErrorInvalidName = 123;

// A directory, a file, an app-execution alias (opens only as itself), an entry
// that refuses the open, and a symbolic link to the directory.
void add_tree(obrex::test::SimulatedOs& os) {
  os.add_directory(u"C:\\cwd");
  os.add_file(u"C:\\cwd\\file.txt");
  obrex::test::SimFile& alias = os.add_file(u"C:\\cwd\\alias.exe");
  alias.reparse_tag = 0x8000001B;
  alias.follow_open_error = 1920;
  os.add_directory(u"C:\\cwd\\locked").follow_open_error = 5;
  obrex::test::SimFile& link = os.add_file(u"C:\\cwd\\link");
  link.reparse_tag = 0xA000000C;
  link.link_target = u"C:\\cwd";
  os.add_directory(u"\\\\server\\share\\dir");
}

std::u16string without_prefix(const std::u16string& prepared) {
  if (prepared.starts_with(u"\\\\?\\UNC\\")) {
    return u"\\\\" + prepared.substr(8);
  }
  if (prepared.starts_with(u"\\\\?\\")) {
    return prepared.substr(4);
  }
  return prepared;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string path = obrex::fuzz::units_of(data, size);
  obrex::test::SimulatedOs os;
  add_tree(os);

  const auto prepared = obrex::existence_test_path(os, path);
  if (path.find(u'\0') != std::u16string::npos) {
    OBREX_FUZZ_CHECK(!prepared && prepared.error() == kErrorInvalidName);
  } else if (path.starts_with(u"\\\\?\\") || path.starts_with(u"\\??\\")) {
    OBREX_FUZZ_CHECK(prepared && *prepared == path);
  } else if (!prepared) {
    OBREX_FUZZ_CHECK(os.calls("get_full_path_name") == 1); // only its failure is passed on
  } else if (*prepared != path) {
    OBREX_FUZZ_CHECK(prepared->starts_with(u"\\\\?\\") || prepared->starts_with(u"\\\\.\\"));
    OBREX_FUZZ_CHECK(without_prefix(*prepared) == os.full_path(path));
  }

  const auto metadata = obrex::existence_test(os, path);
  OBREX_FUZZ_CHECK(prepared || !metadata);
  OBREX_FUZZ_CHECK(os.open_handles() == 0);
  // The simulated system reports a call the steps never make as a test failure.
  OBREX_FUZZ_CHECK(!testing::UnitTest::GetInstance()->ad_hoc_test_result().Failed());
  return 0;
}
