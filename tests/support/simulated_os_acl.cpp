// The simulated calls that only the companion tool makes: account lookup
// and directory listing.
#include "support/simulated_os.h"

#include <gtest/gtest.h>

#include "platform/constants.h"

namespace obrex::test {
namespace {

constexpr OsCode kErrorNoneMapped = 1332;
constexpr OsCode kErrorDirectory = 267;

} // namespace

OsResult<void> SimulatedOs::lookup_account_sid(SidPtr sid) {
  if (const auto fault = enter("lookup_account_sid")) {
    return std::unexpected(*fault);
  }
  const std::string* text = sid_text(sid);
  if (text == nullptr || !accounts.contains(*text)) {
    return std::unexpected(kErrorNoneMapped);
  }
  return {};
}

OsResult<std::vector<FoundFile>> SimulatedOs::find_files(std::u16string_view pattern) {
  if (const auto fault = enter("find_files")) {
    return std::unexpected(*fault);
  }
  if (!pattern.ends_with(u"\\*")) {
    ADD_FAILURE() << "the program lists whole directories only";
    return std::unexpected(win::ERROR_INVALID_PARAMETER);
  }
  const std::u16string directory = normalise(pattern.substr(0, pattern.size() - 2));
  const auto it = files.find(directory);
  if (it == files.end()) {
    return std::unexpected(win::ERROR_PATH_NOT_FOUND);
  }
  if (!it->second.directory) {
    return std::unexpected(kErrorDirectory);
  }
  constexpr std::uint32_t kDirectory = win::FILE_ATTRIBUTE_DIRECTORY;
  std::vector<FoundFile> found = {{u".", {kDirectory, 0}}, {u"..", {kDirectory, 0}}};
  for (const auto& [key, entry] : files) {
    if (key != directory && parent_key(key) == directory) {
      std::uint32_t attributes = entry.directory ? kDirectory : 0x20; // ARCHIVE
      if (entry.reparse_tag != 0) {
        attributes |= win::FILE_ATTRIBUTE_REPARSE_POINT;
      }
      found.push_back({key.substr(key.find_last_of(u'\\') + 1), {attributes, entry.reparse_tag}});
    }
  }
  return found;
}

} // namespace obrex::test
