#include <openssl/evp.h>

#include <string>

#include "core/errors.h"
#include "identity/sha256.h"

namespace obrex {

Sha256Digest sha256(std::string_view bytes) {
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
      length != digest.size()) {
    throw InternalFailure(std::string(kProgramName) +
                          ": SHA-256 is not available: EVP_Digest failed");
  }
  return digest;
}

} // namespace obrex
