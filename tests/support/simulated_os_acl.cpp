// The simulated calls that only the companion tool makes: account lookup
// and directory listing.
#include "support/simulated_os.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace obrex::test {
namespace {

constexpr OsCode kErrorNoneMapped = 1332;

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

OsResult<std::vector<FILE_ID_EXTD_DIR_INFO>>
SimulatedOs::get_file_id_extd_directory_info(Handle directory) {
  if (const auto fault = enter("get_file_id_extd_directory_info")) {
    return std::unexpected(*fault);
  }
  const HandleObject* object = handle_object(directory, HandleKind::File);
  if (object == nullptr || !files.at(object->path).directory) {
    return std::unexpected(87u);
  }
  constexpr std::uint32_t kDirectory = 0x10u;
  std::vector<FILE_ID_EXTD_DIR_INFO> found = {{u".", kDirectory, 0, {}},
                                              {u"..", kDirectory, 0, {}}};
  for (const auto& [key, entry] : files) {
    if (key != object->path && parent_key(key) == object->path) {
      FILE_ID_EXTD_DIR_INFO listed{
          key.substr(key.find_last_of(u'\\') + 1), 0, entry.reparse_tag, {}};
      listed.FileAttributes = (entry.directory ? kDirectory : 0x20) | // ARCHIVE
                              (entry.reparse_tag != 0 ? 0x400u : 0);
      std::ranges::copy(entry.file_id, listed.FileId);
      found.push_back(std::move(listed));
    }
  }
  return found;
}

} // namespace obrex::test
