#include "acl/path_walk.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "core/errors.h"
#include "platform/constants.h"
#include "platform/file_metadata.h"
#include "platform/owner.h"
#include "platform/text.h"
#include "platform/windows_path.h"

namespace obrex {
namespace {

constexpr std::uint32_t kShareAll =
    win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE;

// The path in the \\?\ form, in which the system takes every name as it is
// written (a trailing dot or blank included): made absolute first, as any
// other call would, unless it has that form already.
OsResult<std::u16string> verbatim_path(Os& os, std::u16string_view path) {
  if (split_windows_path(path).is_verbatim()) {
    return std::u16string(path);
  }
  auto full = os.get_full_path_name(path);
  if (!full) {
    return full;
  }
  switch (split_windows_path(*full).kind) {
  case PathPrefix::DriveAbsolute:
    return u"\\\\?\\" + *full;
  case PathPrefix::Unc:
    return u"\\\\?\\UNC\\" + full->substr(2);
  default:
    return full; // a device path, or verbatim already
  }
}

// A name below a directory. A full path may end in a separator already (a
// root always does), and the \\?\ form takes a second one for an empty name.
std::u16string joined(std::u16string_view directory, std::u16string_view name) {
  std::u16string path(directory);
  if (!path.ends_with(u'\\')) {
    path += u'\\';
  }
  return path.append(name);
}

std::string child_display(std::string_view directory, std::u16string_view name) {
  std::string display(directory);
  if (!display.ends_with('\\') && !display.ends_with('/')) {
    display += '\\';
  }
  return display + utf16_to_utf8_lossy(name);
}

std::string reparse_kind(std::uint32_t tag) {
  if (tag == win::IO_REPARSE_TAG_MOUNT_POINT) {
    return "junction";
  }
  if (tag == win::IO_REPARSE_TAG_SYMLINK) {
    return "symbolic link";
  }
  constexpr char kHex[] = "0123456789abcdef";
  std::string text = "reparse tag 0x";
  for (int shift = 28; shift >= 0; shift -= 4) {
    text += kHex[(tag >> shift) & 0xF];
  }
  return text;
}

// An opened object: its handle, and what it is.
struct Opened {
  UniqueHandle handle;
  FileMetadata metadata;
};

// Opens the object without following a link, with the request's rights;
// reads its attributes and reparse tag through the handle. The failure's
// code, and whether it was the open that failed.
std::expected<Opened, MetadataFailure> open_object(Os& os, std::u16string_view path,
                                                   std::uint32_t access, bool directory) {
  const std::uint32_t flags =
      win::FILE_FLAG_OPEN_REPARSE_POINT | (directory ? win::FILE_FLAG_BACKUP_SEMANTICS : 0);
  const auto opened = os.create_file(path, access | win::FILE_READ_ATTRIBUTES, kShareAll,
                                     win::OPEN_EXISTING, flags, SecurityDescriptorPtr{});
  if (!opened) {
    return std::unexpected(MetadataFailure{opened.error(), true});
  }
  Opened object{UniqueHandle(os, *opened), {}};
  const auto tag = os.get_file_attribute_tag_info(object.handle.get());
  if (!tag) {
    return std::unexpected(MetadataFailure{tag.error(), false});
  }
  object.metadata = FileMetadata{
      tag->FileAttributes,
      (tag->FileAttributes & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? tag->ReparseTag : 0};
  return object;
}

// A directory being walked: held open while what it lists is visited.
struct Level {
  UniqueHandle handle;
  std::u16string units;
  std::string display;
  std::uint64_t volume_serial = 0;
  std::vector<FILE_ID_EXTD_DIR_INFO> listed;
  std::size_t next = 0;
};

class Walk {
public:
  Walk(Os& os, AclOutput& out, const WalkRequest& request,
       const std::function<void(const Target&, bool)>& visit)
      : os_(os), out_(out), request_(request), visit_(visit) {}

  void run(const std::string& given) {
    const auto verbatim = verbatim_path(os_, utf8_to_utf16(given));
    if (!verbatim) {
      fail_with("cannot open " + given, verbatim.error());
      return;
    }
    // Not yet known to be a directory: opened as one may be, and ready to be
    // listed when asked to recurse.
    auto root = open_object(os_, *verbatim, access(request_.recurse), true);
    if (!root) {
      fail_with((root.error().open_failed ? "cannot open " : "cannot read the attributes of ") +
                    given,
                root.error().code);
      return;
    }
    if (root->metadata.is_name_surrogate()) {
      out_.fail(given + " is a link or junction, which is not followed: give the path it leads to");
      return;
    }
    visit_(Target{*verbatim, given, root->handle.get()}, true);
    if (request_.recurse && root->metadata.is_directory()) {
      descend(std::move(root->handle), *verbatim, given);
      walk();
    }
  }

private:
  std::uint32_t access(bool listed) const {
    return request_.access | (listed ? win::FILE_LIST_DIRECTORY : 0);
  }

  void fail_with(const std::string& context, OsCode code) {
    out_.fail(SandboxError::from_os_error(os_, context, code).message);
  }

  // Lists the directory through its handle and keeps it open for the walk.
  void descend(UniqueHandle handle, std::u16string units, std::string display) {
    const auto id = os_.get_file_id_info(handle.get());
    if (!id) {
      fail_with("cannot read the file ID of " + display, id.error());
      return;
    }
    auto listed = os_.get_file_id_extd_directory_info(handle.get());
    if (!listed) {
      fail_with("cannot list " + display, listed.error());
      return;
    }
    levels_.push_back(Level{std::move(handle), std::move(units), std::move(display),
                            id->VolumeSerialNumber, std::move(*listed), 0});
  }

  void walk() {
    while (!levels_.empty()) {
      Level& level = levels_.back();
      if (level.next == level.listed.size()) {
        levels_.pop_back();
        continue;
      }
      const FILE_ID_EXTD_DIR_INFO entry = level.listed[level.next++];
      if (entry.FileName == u"." || entry.FileName == u"..") {
        continue;
      }
      std::u16string units = joined(level.units, entry.FileName);
      std::string display = child_display(level.display, entry.FileName);
      const FileMetadata listed{entry.FileAttributes,
                                (entry.FileAttributes & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0
                                    ? entry.ReparsePointTag
                                    : 0};
      if (listed.is_name_surrogate()) {
        out_.print(output_line({display, "not followed", reparse_kind(listed.reparse_tag)}));
        continue;
      }
      const std::uint64_t volume_serial = level.volume_serial;
      auto opened = open_object(os_, units, access(listed.is_directory()), listed.is_directory());
      if (!opened) {
        const OsCode code = opened.error().code;
        if (opened.error().open_failed &&
            (code == win::ERROR_FILE_NOT_FOUND || code == win::ERROR_PATH_NOT_FOUND)) {
          changed(display);
        } else {
          fail_with(
              (opened.error().open_failed ? "cannot open " : "cannot read the attributes of ") +
                  display,
              code);
        }
        continue;
      }
      const auto id = os_.get_file_id_info(opened->handle.get());
      if (!id) {
        fail_with("cannot read the file ID of " + display, id.error());
        continue;
      }
      if (id->VolumeSerialNumber != volume_serial ||
          !std::ranges::equal(id->FileId, entry.FileId) || opened->metadata.is_name_surrogate() ||
          opened->metadata.is_directory() != listed.is_directory()) {
        changed(display);
        continue;
      }
      visit_(Target{units, display, opened->handle.get()}, false);
      if (listed.is_directory()) {
        descend(std::move(opened->handle), std::move(units), std::move(display));
      }
    }
  }

  void changed(const std::string& display) {
    out_.fail(display + " changed during the walk; not " + std::string(request_.undone));
  }

  Os& os_;
  AclOutput& out_;
  const WalkRequest& request_;
  const std::function<void(const Target&, bool)>& visit_;
  std::vector<Level> levels_;
};

} // namespace

void for_each_path(Os& os, AclOutput& out, const std::string& given, const WalkRequest& request,
                   const std::function<void(const Target&, bool)>& visit) {
  Walk(os, out, request, visit).run(given);
}

} // namespace obrex
