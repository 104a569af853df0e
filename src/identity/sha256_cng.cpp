#include <windows.h>

#include <bcrypt.h>

#include <string>

#include "frontend/errors.h"
#include "identity/sha256.h"

namespace obrex {
namespace {

[[noreturn]] void fail(const char* call, NTSTATUS status) {
  throw InternalFailure(std::string(kProgramName) + ": SHA-256 is not available: " + call +
                        " returned status " + std::to_string(static_cast<std::uint32_t>(status)));
}

} // namespace

Sha256Digest sha256(std::string_view bytes) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  NTSTATUS status = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  if (status < 0) {
    fail("BCryptOpenAlgorithmProvider", status);
  }
  Sha256Digest digest{};
  status = BCryptHash(
      algorithm, nullptr, 0, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
      static_cast<ULONG>(bytes.size()), digest.data(), static_cast<ULONG>(digest.size()));
  BCryptCloseAlgorithmProvider(algorithm, 0);
  if (status < 0) {
    fail("BCryptHash", status);
  }
  return digest;
}

} // namespace obrex
