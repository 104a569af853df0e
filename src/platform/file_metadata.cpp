#include "platform/file_metadata.h"

#include "platform/constants.h"
#include "platform/owner.h"

namespace obrex {

bool FileMetadata::is_directory() const {
  return (attributes & win::FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FileMetadata::is_name_surrogate() const {
  return (attributes & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (reparse_tag & win::IO_REPARSE_TAG_NAME_SURROGATE_BIT) != 0;
}

std::expected<FileMetadata, MetadataFailure> read_file_metadata(Os& os, std::u16string_view path,
                                                                bool follow_links) {
  std::uint32_t flags = win::FILE_FLAG_BACKUP_SEMANTICS;
  if (!follow_links) {
    flags |= win::FILE_FLAG_OPEN_REPARSE_POINT;
  }
  const auto opened =
      os.create_file(path, 0, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE,
                     win::OPEN_EXISTING, flags, SecurityDescriptorPtr{});
  if (!opened) {
    return std::unexpected(MetadataFailure{opened.error(), true});
  }
  const UniqueHandle file(os, *opened);
  const auto information = os.get_file_information_by_handle(file.get());
  if (!information) {
    return std::unexpected(MetadataFailure{information.error(), false});
  }
  FileMetadata metadata{information->dwFileAttributes, 0};
  if ((metadata.attributes & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    const auto tag = os.get_file_attribute_tag_info(file.get());
    if (!tag) {
      return std::unexpected(MetadataFailure{tag.error(), false});
    }
    metadata.reparse_tag = tag->ReparseTag;
  }
  return metadata;
}

} // namespace obrex
