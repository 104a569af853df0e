// Reading what a path names: its attributes and, for a reparse point, its
// tag. Shared by the PATH search and the existence test.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/os.h"

namespace obrex {

struct FileMetadata {
  std::uint32_t attributes = 0;
  std::uint32_t reparse_tag = 0; // 0 unless attributes carry the reparse-point bit

  bool is_directory() const;
  // A symbolic link or a junction: a reparse point whose tag has the
  // name-surrogate bit.
  bool is_name_surrogate() const;
};

// Why the metadata could not be read: the code of the call that failed, and
// whether it was the open. The fallbacks of a refused open apply only then:
// a path that opens but whose metadata cannot be read is simply unreadable.
struct MetadataFailure {
  OsCode code = 0;
  bool open_failed = false;
};

// Opens the path with no access rights, every share mode and backup
// semantics (so directories open), following links unless `follow_links` is
// false; reads its attributes and, for a reparse point, its tag; closes it.
std::expected<FileMetadata, MetadataFailure> read_file_metadata(Os& os, std::u16string_view path,
                                                                bool follow_links);

} // namespace obrex
