// What the build puts into obrex-sandbox-exec.exe besides its code.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "e2e_support.h"

namespace obrex::e2e {
namespace {

TEST(Executable, CarriesItsApplicationManifest) {
  const HMODULE module = ::LoadLibraryExW(
      obrex_path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr) << "error " << ::GetLastError();
  const HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(resource, nullptr) << "no manifest resource (error " << ::GetLastError() << ")";
  const auto* bytes = static_cast<const char*>(::LockResource(::LoadResource(module, resource)));
  ASSERT_NE(bytes, nullptr);
  const std::string manifest(bytes, ::SizeofResource(module, resource));
  ::FreeLibrary(module);

  EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\""), std::string::npos)
      << manifest;
  EXPECT_NE(manifest.find(">true</longPathAware>"), std::string::npos) << manifest;
}

} // namespace
} // namespace obrex::e2e
