#include "platform/file_metadata.h"

#include <gtest/gtest.h>

#include "platform/constants.h"
#include "support/simulated_os.h"

namespace obrex {
namespace {

using test::SimulatedOs;

struct MetadataCase {
  const char* name;
  bool follow;
  std::u16string path;
  std::optional<OsCode> error; // expected failure
  bool directory;
  bool name_surrogate;
};

class FileMetadataTest : public testing::TestWithParam<MetadataCase> {};

// C:\d a directory; C:\d\f.exe a file; C:\link a symbolic link to C:\d;
// C:\broken a link to nothing; C:\alias an app-execution alias.
void build_tree(SimulatedOs& os) {
  os.add_directory(u"C:\\d");
  os.add_file(u"C:\\d\\f.exe");
  test::SimFile& link = os.add_file(u"C:\\link");
  link.reparse_tag = win::IO_REPARSE_TAG_SYMLINK;
  link.link_target = u"C:\\d";
  test::SimFile& broken = os.add_file(u"C:\\broken");
  broken.reparse_tag = win::IO_REPARSE_TAG_SYMLINK;
  broken.link_target = u"C:\\gone";
  test::SimFile& alias = os.add_file(u"C:\\alias");
  alias.reparse_tag = win::IO_REPARSE_TAG_APPEXECLINK;
  alias.follow_open_error = win::ERROR_CANT_ACCESS_FILE;
}

TEST_P(FileMetadataTest, ReadsWhatThePathNames) {
  const MetadataCase& c = GetParam();
  SimulatedOs os;
  build_tree(os);
  const auto metadata = read_file_metadata(os, c.path, c.follow);
  if (c.error) {
    ASSERT_FALSE(metadata);
    EXPECT_EQ(metadata.error(), *c.error);
  } else {
    ASSERT_TRUE(metadata) << metadata.error();
    EXPECT_EQ(metadata->is_directory(), c.directory);
    EXPECT_EQ(metadata->is_name_surrogate(), c.name_surrogate);
  }
  EXPECT_EQ(os.open_handles(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, FileMetadataTest,
    testing::Values(
        MetadataCase{"Directory", true, u"C:\\d", std::nullopt, true, false},
        MetadataCase{"File", true, u"C:/d/f.exe", std::nullopt, false, false},
        MetadataCase{"LinkFollowed", true, u"C:\\link", std::nullopt, true, false},
        MetadataCase{"LinkItself", false, u"C:\\link", std::nullopt, false, true},
        MetadataCase{"BrokenLink", true, u"C:\\broken", win::ERROR_FILE_NOT_FOUND, false, false},
        MetadataCase{"AliasRefused", true, u"C:\\alias", win::ERROR_CANT_ACCESS_FILE, false, false},
        MetadataCase{"AliasItself", false, u"C:\\alias", std::nullopt, false, false},
        MetadataCase{"Missing", true, u"C:\\nothing", win::ERROR_FILE_NOT_FOUND, false, false},
        MetadataCase{"MissingParent", true, u"C:\\no\\thing", win::ERROR_PATH_NOT_FOUND, false,
                     false}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(FileMetadata, ClosesTheHandleWhenAReadFails) {
  for (const char* method : {"get_file_information_by_handle", "get_file_attribute_tag_info"}) {
    SimulatedOs os;
    build_tree(os);
    os.fail_call(method, 1, win::ERROR_ACCESS_DENIED);
    const auto metadata = read_file_metadata(os, u"C:\\link", false);
    ASSERT_FALSE(metadata) << method;
    EXPECT_EQ(metadata.error(), win::ERROR_ACCESS_DENIED) << method;
    EXPECT_EQ(os.open_handles(), 0u) << method;
  }
}

} // namespace
} // namespace obrex
