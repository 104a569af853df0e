// What the Windows test programs (the test executables, the probe and the CI
// report) all need: UTF-8 from the system's UTF-16, and token records.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace obrex::windows_text {

inline std::string utf8(std::wstring_view text) {
  if (text.empty()) {
    return {};
  }
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                        nullptr, nullptr);
  return bytes;
}

// A token information record, zeroed and aligned for the pointers inside;
// empty when it cannot be read.
inline std::vector<std::uint64_t> token_information(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  DWORD needed = 0;
  ::GetTokenInformation(token, kind, nullptr, 0, &needed);
  std::vector<std::uint64_t> buffer((needed + 7) / 8);
  if (needed == 0 || !::GetTokenInformation(token, kind, buffer.data(), needed, &needed)) {
    buffer.clear();
  }
  return buffer;
}

} // namespace obrex::windows_text
