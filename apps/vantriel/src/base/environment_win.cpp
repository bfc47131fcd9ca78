#include <windows.h>

#include <string>

#include "base/environment.h"

namespace vantriel {

std::optional<std::string> env_var(const char* name) {
  // Names are ASCII constants.
  const std::wstring wide_name(name, name + std::char_traits<char>::length(name));
  std::wstring value(256, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD n = ::GetEnvironmentVariableW(wide_name.c_str(), value.data(),
                                              static_cast<DWORD>(value.size()));
    if (n == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      if (::GetLastError() == ERROR_SUCCESS) return std::string();  // set but empty
      return std::nullopt;
    }
    if (n < value.size()) {
      value.resize(n);
      // Unpaired surrogates are not Unicode: WC_ERR_INVALID_CHARS makes them fail.
      const int size =
          ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, value.data(),
                                static_cast<int>(value.size()), nullptr, 0, nullptr, nullptr);
      if (size <= 0) return std::nullopt;
      std::string out(static_cast<std::size_t>(size), '\0');
      ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, value.data(),
                            static_cast<int>(value.size()), out.data(), size, nullptr, nullptr);
      return out;
    }
    value.resize(n);  // n is the size needed, terminator included; the value may grow meanwhile
  }
  return std::nullopt;
}

std::optional<std::string> system_host_name() { return std::nullopt; }

}  // namespace vantriel
