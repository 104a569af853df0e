// The simulated SID and security-descriptor calls. SIDs are kept as their
// text, descriptors as the SDDL text of their DACL and label.
#include "support/simulated_os.h"

#include <gtest/gtest.h>

#include <cctype>

#include "platform/constants.h"
#include "platform/text.h"

namespace obrex::test {
namespace {

constexpr OsCode kErrorInvalidAcl = 1336;

// "S-1-<authority>-<sub>..." with 1 to 15 sub-authorities, each a 32-bit
// decimal number.
bool valid_sid_text(const std::string& text, int& subauthorities) {
  if (!text.starts_with("S-1-")) {
    return false;
  }
  subauthorities = -1; // the authority is not one
  std::size_t start = 4;
  while (start <= text.size()) {
    auto end = text.find('-', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    if (end == start || end - start > 10) {
      return false;
    }
    for (std::size_t i = start; i < end; ++i) {
      if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
        return false;
      }
    }
    if (std::stoull(text.substr(start, end - start)) > 0xFFFFFFFFull) {
      return false;
    }
    ++subauthorities;
    start = end + 1;
  }
  return subauthorities >= 1 && subauthorities <= 15;
}

// Splits "D:...S:..." at its top-level part markers. False when the text is
// not made of D: and S: parts whose entries are parenthesised with six
// fields.
bool split_sddl(const std::string& sddl, std::optional<std::string>& dacl,
                std::optional<std::string>& sacl) {
  std::size_t i = 0;
  while (i < sddl.size()) {
    if (i + 1 >= sddl.size() || sddl[i + 1] != ':' || (sddl[i] != 'D' && sddl[i] != 'S')) {
      return false;
    }
    std::size_t end = i + 2;
    int depth = 0;
    while (end < sddl.size() && (depth > 0 || (sddl[end] != 'D' && sddl[end] != 'S') ||
                                 end + 1 >= sddl.size() || sddl[end + 1] != ':')) {
      depth += sddl[end] == '(' ? 1 : sddl[end] == ')' ? -1 : 0;
      ++end;
    }
    const std::string part = sddl.substr(i, end - i);
    for (std::size_t open = part.find('('); open != std::string::npos;
         open = part.find('(', open + 1)) {
      const auto close = part.find(')', open);
      if (close == std::string::npos ||
          std::count(part.begin() + static_cast<long>(open),
                     part.begin() + static_cast<long>(close), ';') != 5) {
        return false;
      }
    }
    (sddl[i] == 'D' ? dacl : sacl) = part;
    i = end;
  }
  return true;
}

} // namespace

SidPtr SimulatedOs::static_sid(const std::string& text) {
  static_sids_.push_back(std::make_unique<std::string>(text));
  return SidPtr{static_sids_.back().get()};
}

const std::string* SimulatedOs::sid_text(SidPtr sid) {
  for (const auto& owned : static_sids_) {
    if (owned.get() == sid.value) {
      return owned.get();
    }
  }
  Allocation* found = allocation(sid.value);
  if (found == nullptr || found->kind != AllocationKind::Sid) {
    ADD_FAILURE() << "not a SID: " << sid.value;
    return nullptr;
  }
  return &found->text;
}

OsResult<SidPtr> SimulatedOs::convert_string_sid_to_sid(std::u16string_view text) {
  if (const auto fault = enter("convert_string_sid_to_sid")) {
    return std::unexpected(*fault);
  }
  const auto utf8 = utf16_to_utf8(text);
  int subauthorities = 0;
  if (!utf8 || !valid_sid_text(*utf8, subauthorities)) {
    return std::unexpected(win::ERROR_INVALID_SID);
  }
  return SidPtr{allocate(Allocation{AllocationKind::Sid, *utf8, nullptr, nullptr})};
}

OsResult<std::u16string> SimulatedOs::convert_sid_to_string_sid(SidPtr sid) {
  if (const auto fault = enter("convert_sid_to_string_sid")) {
    return std::unexpected(*fault);
  }
  const std::string* text = sid_text(sid);
  if (text == nullptr) {
    return std::unexpected(win::ERROR_INVALID_SID);
  }
  return utf8_to_utf16(*text);
}

std::uint32_t SimulatedOs::get_length_sid(SidPtr sid) {
  enter("get_length_sid");
  const std::string* text = sid_text(sid);
  int subauthorities = 0;
  if (text == nullptr || !valid_sid_text(*text, subauthorities)) {
    return 0;
  }
  return 8 + 4 * static_cast<std::uint32_t>(subauthorities);
}

OsResult<SecurityDescriptorPtr>
SimulatedOs::convert_string_security_descriptor_to_security_descriptor(std::u16string_view sddl,
                                                                       std::uint32_t revision) {
  if (const auto fault = enter("convert_string_security_descriptor_to_security_descriptor")) {
    return std::unexpected(*fault);
  }
  if (revision != win::SDDL_REVISION_1) {
    return std::unexpected(win::ERROR_INVALID_PARAMETER);
  }
  const auto utf8 = utf16_to_utf8(sddl);
  std::optional<std::string> dacl;
  std::optional<std::string> sacl;
  if (!utf8 || !split_sddl(*utf8, dacl, sacl)) {
    return std::unexpected(kErrorInvalidAcl);
  }
  Allocation descriptor{AllocationKind::SecurityDescriptor, *utf8, nullptr, nullptr};
  if (dacl) {
    descriptor.dacl = std::make_unique<std::string>(*dacl);
  }
  if (sacl) {
    descriptor.sacl = std::make_unique<std::string>(*sacl);
  }
  return SecurityDescriptorPtr{allocate(std::move(descriptor))};
}

OsResult<std::u16string> SimulatedOs::convert_security_descriptor_to_string_security_descriptor(
    SecurityDescriptorPtr descriptor, std::uint32_t revision, std::uint32_t information) {
  if (const auto fault = enter("convert_security_descriptor_to_string_security_descriptor")) {
    return std::unexpected(*fault);
  }
  const Allocation* found = allocation(descriptor.value);
  if (found == nullptr || found->kind != AllocationKind::SecurityDescriptor ||
      revision != win::SDDL_REVISION_1) {
    return std::unexpected(win::ERROR_INVALID_PARAMETER);
  }
  std::string text;
  if ((information & win::DACL_SECURITY_INFORMATION) != 0 && found->dacl) {
    text += *found->dacl;
  }
  if ((information & win::LABEL_SECURITY_INFORMATION) != 0 && found->sacl) {
    text += *found->sacl;
  }
  return utf8_to_utf16(text);
}

OsResult<AclPtr> SimulatedOs::get_security_descriptor_dacl(SecurityDescriptorPtr descriptor) {
  if (const auto fault = enter("get_security_descriptor_dacl")) {
    return std::unexpected(*fault);
  }
  const Allocation* found = allocation(descriptor.value);
  if (found == nullptr || found->kind != AllocationKind::SecurityDescriptor) {
    return std::unexpected(win::ERROR_INVALID_PARAMETER);
  }
  return AclPtr{found->dacl.get()};
}

OsResult<AclPtr> SimulatedOs::get_security_descriptor_sacl(SecurityDescriptorPtr descriptor) {
  if (const auto fault = enter("get_security_descriptor_sacl")) {
    return std::unexpected(*fault);
  }
  const Allocation* found = allocation(descriptor.value);
  if (found == nullptr || found->kind != AllocationKind::SecurityDescriptor) {
    return std::unexpected(win::ERROR_INVALID_PARAMETER);
  }
  return AclPtr{found->sacl.get()};
}

} // namespace obrex::test
