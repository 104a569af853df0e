// What the files of the real system share: the conversions between the
// portable types and the Windows ones, and the error results. Only the
// Windows adapter includes it.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "platform/os.h"
#include "platform/owner.h"

namespace obrex::win32 {

// a named local until the call's last error has been read: freeing it in
// between could change that value.
inline std::wstring wide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}

inline std::u16string units(const wchar_t* text, std::size_t length) {
  return std::u16string(text, text + length);
}

inline HANDLE native(Handle handle) {
  return handle.value;
}

inline std::unexpected<OsCode> last_error() {
  return std::unexpected<OsCode>(::GetLastError());
}

inline std::unexpected<OsCode> status_error(DWORD status) {
  return std::unexpected<OsCode>(status);
}

// The release function for the strings the system allocates for the
// caller; like every release it leaves the thread's last error as it was.
struct LocalFreeString {
  void operator()(wchar_t* text) const {
    const DWORD error = ::GetLastError();
    ::LocalFree(text);
    ::SetLastError(error);
  }
};
using LocalString = Owner<wchar_t*, LocalFreeString>;

} // namespace obrex::win32
