#include "shell/text.h"

#include <cwchar>
#include <vector>

namespace corvane {

AnsiText wideToAnsi(const wchar_t* wide) {
  if (wide == nullptr) return std::nullopt;
  // Two bytes per UTF-16 unit leaves room for any double-byte code page.
  const size_t units = std::wcslen(wide);
  std::vector<char> buffer(units * 2 + 2, '\0');
  const int written = ::WideCharToMultiByte(CP_ACP, 0, wide, -1, buffer.data(), static_cast<int>(buffer.size()),
                                            nullptr, nullptr);
  if (written <= 0) return std::string();
  return std::string(buffer.data());
}

std::optional<std::wstring> ansiToWide(const char* ansi) {
  if (ansi == nullptr) return std::nullopt;
  const size_t bytes = std::char_traits<char>::length(ansi);
  std::vector<wchar_t> buffer(bytes + 1, L'\0');
  const int written =
      ::MultiByteToWideChar(CP_ACP, 0, ansi, -1, buffer.data(), static_cast<int>(buffer.size()));
  if (written <= 0) return std::wstring();
  return std::wstring(buffer.data());
}

}  // namespace corvane
