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

// bcrypt.dll is not one of the system's known DLLs, so an import of it would
// be looked for next to the executable first, where a sandboxed command may
// have been able to plant one. It is loaded from the system directory only.
class Bcrypt {
public:
  Bcrypt() : module_(::LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    if (module_ == nullptr) {
      fail("bcrypt.dll cannot be loaded (error " + std::to_string(::GetLastError()) + ")");
    }
  }
  Bcrypt(const Bcrypt&) = delete;
  Bcrypt& operator=(const Bcrypt&) = delete;
  ~Bcrypt() { ::FreeLibrary(module_); }

  template <class F> F* function(const char* name) const {
    const FARPROC address = ::GetProcAddress(module_, name);
    if (address == nullptr) {
      fail(std::string("bcrypt.dll lacks ") + name);
    }
    return reinterpret_cast<F*>(reinterpret_cast<void (*)()>(address));
  }

private:
  HMODULE module_;
};

} // namespace

Sha256Digest sha256(std::string_view bytes) {
  const Bcrypt bcrypt;
  const auto open =
      bcrypt.function<decltype(::BCryptOpenAlgorithmProvider)>("BCryptOpenAlgorithmProvider");
  const auto hash = bcrypt.function<decltype(::BCryptHash)>("BCryptHash");
  const auto close =
      bcrypt.function<decltype(::BCryptCloseAlgorithmProvider)>("BCryptCloseAlgorithmProvider");

  BCRYPT_ALG_HANDLE algorithm = nullptr;
  NTSTATUS status = open(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  if (status < 0) {
    fail("BCryptOpenAlgorithmProvider", status);
  }
  Sha256Digest digest{};
  status = hash(algorithm, nullptr, 0, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                static_cast<ULONG>(bytes.size()), digest.data(), static_cast<ULONG>(digest.size()));
  close(algorithm, 0);
  if (status < 0) {
    fail("BCryptHash", status);
  }
  return digest;
}

} // namespace obrex
