#include <windows.h>

#include <bcrypt.h>

#include <string>

#include "core/errors.h"
#include "identity/sha256.h"

namespace obrex {
namespace {

[[noreturn]] void fail(const std::string& what) {
  throw InternalFailure(std::string(kProgramName) + ": SHA-256 is not available: " + what);
}

[[noreturn]] void fail(const char* call, NTSTATUS status) {
  fail(std::string(call) + " returned status " +
       std::to_string(static_cast<std::uint32_t>(status)));
}

// The CNG functions the hash needs.
struct Bcrypt {
  decltype(::BCryptOpenAlgorithmProvider)* open = nullptr;
  decltype(::BCryptHash)* hash = nullptr;
  decltype(::BCryptCloseAlgorithmProvider)* close = nullptr;
};

template <class F> F* function(HMODULE module, const char* name) {
  const FARPROC address = ::GetProcAddress(module, name);
  if (address == nullptr) {
    fail(std::string("bcrypt.dll lacks ") + name);
  }
  return reinterpret_cast<F*>(reinterpret_cast<void (*)()>(address));
}

// bcrypt.dll is not one of the system's known DLLs, so an import of it would
// be looked for next to the executable first, where a sandboxed command may
// have been able to plant one. It is loaded from the system directory only,
// on the first hash, and stays loaded for the life of the process as an
// import would: unloading it after every hash would cost its loading again
// on the next.
Bcrypt load_bcrypt() {
  const HMODULE module = ::LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) {
    fail("bcrypt.dll cannot be loaded (error " + std::to_string(::GetLastError()) + ")");
  }
  return Bcrypt{
      function<decltype(::BCryptOpenAlgorithmProvider)>(module, "BCryptOpenAlgorithmProvider"),
      function<decltype(::BCryptHash)>(module, "BCryptHash"),
      function<decltype(::BCryptCloseAlgorithmProvider)>(module, "BCryptCloseAlgorithmProvider")};
}

// A failed load throws, so the next hash tries again.
const Bcrypt& bcrypt() {
  static const Bcrypt loaded = load_bcrypt();
  return loaded;
}

} // namespace

Sha256Digest sha256(std::string_view bytes) {
  const Bcrypt& cng = bcrypt();
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  NTSTATUS status = cng.open(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  if (status < 0) {
    fail("BCryptOpenAlgorithmProvider", status);
  }
  Sha256Digest digest{};
  status =
      cng.hash(algorithm, nullptr, 0, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
               static_cast<ULONG>(bytes.size()), digest.data(), static_cast<ULONG>(digest.size()));
  cng.close(algorithm, 0);
  if (status < 0) {
    fail("BCryptHash", status);
  }
  return digest;
}

} // namespace obrex
