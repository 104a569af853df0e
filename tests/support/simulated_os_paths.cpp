// The simulated calls that open and read paths of the file tree.
#include "support/simulated_os.h"

#include <gtest/gtest.h>

#include "platform/constants.h"

namespace obrex::test {
namespace {

constexpr std::uint32_t kNormalAttributes = 0x20; // FILE_ATTRIBUTE_ARCHIVE
constexpr int kMaxLinkDepth = 8;

std::uint32_t attributes_of(const SimFile& entry) {
  std::uint32_t attributes = entry.attributes;
  if (entry.directory) {
    attributes |= win::FILE_ATTRIBUTE_DIRECTORY;
  }
  if (entry.reparse_tag != 0) {
    attributes |= win::FILE_ATTRIBUTE_REPARSE_POINT;
  }
  return attributes == 0 ? kNormalAttributes : attributes;
}

} // namespace

OsResult<Handle> SimulatedOs::create_file(std::u16string_view path, std::uint32_t /*access*/,
                                          std::uint32_t /*share*/, std::uint32_t disposition,
                                          std::uint32_t flags) {
  if (const auto fault = enter("create_file")) {
    return std::unexpected(*fault);
  }
  if (disposition != win::OPEN_EXISTING) {
    ADD_FAILURE() << "the program only opens what exists";
    return std::unexpected(win::ERROR_INVALID_PARAMETER);
  }
  std::u16string key = normalise(path);
  const bool follow = (flags & win::FILE_FLAG_OPEN_REPARSE_POINT) == 0;
  for (int depth = 0;; ++depth) {
    const auto it = files.find(key);
    if (it == files.end()) {
      const auto parent = parent_key(key);
      const bool parent_exists = !parent || files.contains(*parent);
      return std::unexpected(parent_exists ? win::ERROR_FILE_NOT_FOUND : win::ERROR_PATH_NOT_FOUND);
    }
    const SimFile& entry = it->second;
    if (follow && entry.follow_open_error != 0) {
      return std::unexpected(entry.follow_open_error);
    }
    if (follow && entry.link_target && depth < kMaxLinkDepth) {
      key = normalise(*entry.link_target);
      continue;
    }
    if (entry.directory && (flags & win::FILE_FLAG_BACKUP_SEMANTICS) == 0) {
      return std::unexpected(win::ERROR_ACCESS_DENIED); // directories open only so
    }
    return new_handle(HandleObject{HandleKind::File, key});
  }
}

namespace {

const SimFile* opened_entry(SimulatedOs& os, Handle file) {
  const auto* object = os.handle_object(file);
  if (object == nullptr || object->kind != SimulatedOs::HandleKind::File) {
    ADD_FAILURE() << "not a file handle";
    return nullptr;
  }
  const auto it = os.files.find(object->path);
  return it == os.files.end() ? nullptr : &it->second;
}

} // namespace

OsResult<BY_HANDLE_FILE_INFORMATION> SimulatedOs::get_file_information_by_handle(Handle file) {
  if (const auto fault = enter("get_file_information_by_handle")) {
    return std::unexpected(*fault);
  }
  const SimFile* entry = opened_entry(*this, file);
  if (entry == nullptr) {
    return std::unexpected(OsCode{6});
  }
  return BY_HANDLE_FILE_INFORMATION{attributes_of(*entry)};
}

OsResult<FILE_ID_INFO> SimulatedOs::get_file_id_info(Handle file) {
  if (const auto fault = enter("get_file_id_info")) {
    return std::unexpected(*fault);
  }
  const SimFile* entry = opened_entry(*this, file);
  if (entry == nullptr) {
    return std::unexpected(OsCode{6});
  }
  if (entry->file_id_error != 0) {
    return std::unexpected(entry->file_id_error);
  }
  FILE_ID_INFO info;
  info.VolumeSerialNumber = entry->volume_serial;
  std::copy(std::begin(entry->file_id), std::end(entry->file_id), std::begin(info.FileId));
  return info;
}

OsResult<FILE_ATTRIBUTE_TAG_INFO> SimulatedOs::get_file_attribute_tag_info(Handle file) {
  if (const auto fault = enter("get_file_attribute_tag_info")) {
    return std::unexpected(*fault);
  }
  const SimFile* entry = opened_entry(*this, file);
  if (entry == nullptr) {
    return std::unexpected(OsCode{6});
  }
  return FILE_ATTRIBUTE_TAG_INFO{attributes_of(*entry), entry->reparse_tag};
}

OsResult<std::u16string> SimulatedOs::get_full_path_name(std::u16string_view path) {
  if (const auto fault = enter("get_full_path_name")) {
    return std::unexpected(*fault);
  }
  if (path.empty()) {
    return std::unexpected(win::ERROR_INVALID_PARAMETER);
  }
  return full_path(path);
}

OsResult<WIN32_FIND_DATAW> SimulatedOs::find_first_file_ex(std::u16string_view path) {
  if (const auto fault = enter("find_first_file_ex")) {
    return std::unexpected(*fault);
  }
  const SimFile* entry = find(path);
  if (entry == nullptr) {
    return std::unexpected(win::ERROR_FILE_NOT_FOUND);
  }
  return WIN32_FIND_DATAW{attributes_of(*entry), entry->reparse_tag};
}

} // namespace obrex::test
