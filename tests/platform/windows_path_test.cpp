#include "platform/windows_path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/errors.h"

namespace obrex {
namespace {

struct Case {
  std::u16string path;
  PathPrefix kind;
  std::u16string prefix;
  bool root;
  std::vector<std::u16string> components;
};

TEST(WindowsPath, SplitsPrefixRootAndComponents) {
  using enum PathPrefix;
  const Case cases[] = {
      {u"", None, u"", false, {}},
      {u"a\\b", None, u"", false, {u"a", u"b"}},
      // Either separator, doubled and trailing ones giving nothing; "." and
      // ".." stay as written.
      {u"a//b\\/.\\..\\", None, u"", false, {u"a", u"b", u".", u".."}},
      {u"C:", DriveRelative, u"C:", false, {}},
      {u"c:a\\b", DriveRelative, u"c:", false, {u"a", u"b"}},
      {u"C:/a", DriveAbsolute, u"C:", true, {u"a"}},
      {u"1:\\a", None, u"", false, {u"1:", u"a"}},
      {u"\\", Rooted, u"", true, {}},
      {u"/a\\b", Rooted, u"", true, {u"a", u"b"}},
      {u"\\\\server\\share", Unc, u"\\\\server\\share", false, {}},
      {u"//server/share/x/", Unc, u"//server/share", true, {u"x"}},
      {u"\\\\server", Unc, u"\\\\server", false, {}},
      {u"\\\\server\\\\x", Unc, u"\\\\server\\", true, {u"x"}},
      {u"\\\\", Unc, u"\\\\", false, {}},
      {u"//", Unc, u"//", false, {}},
      {u"\\\\.\\COM1\\x", Device, u"\\\\.\\COM1", true, {u"x"}},
      {u"\\\\.", Device, u"\\\\.", false, {}},
      // "\\?\" written with a '/' is no verbatim path: the system reads it as
      // a device path and normalises it.
      {u"//?/C:/x", Device, u"//?/C:", true, {u"x"}},
      {u"\\\\?\\C:\\a/b\\.\\..", Verbatim, u"\\\\?\\C:", true, {u"a/b", u".", u".."}},
      {u"\\\\?\\Volume{1}\\", Verbatim, u"\\\\?\\Volume{1}", true, {}},
      {u"\\\\?\\UNC\\server\\share\\x", VerbatimUnc, u"\\\\?\\UNC\\server\\share", true, {u"x"}},
      {u"\\??\\C:\\x/y", Nt, u"\\??\\C:", true, {u"x/y"}},
  };
  for (const Case& c : cases) {
    const WindowsPath path = split_windows_path(c.path);
    EXPECT_EQ(path.kind, c.kind) << display_text(c.path);
    EXPECT_EQ(path.prefix, c.prefix) << display_text(c.path);
    EXPECT_EQ(path.root, c.root) << display_text(c.path);
    EXPECT_EQ(std::vector<std::u16string>(path.components.begin(), path.components.end()),
              c.components)
        << display_text(c.path);
  }
}

} // namespace
} // namespace obrex
