// SHA-256 from the platform's library: CNG on Windows, OpenSSL's libcrypto
// elsewhere.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace obrex {

using Sha256Digest = std::array<std::uint8_t, 32>;

Sha256Digest sha256(std::string_view bytes);

} // namespace obrex
