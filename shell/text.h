// Conversions between automation strings (UTF-16) and the 8-bit text, in the process's
// ANSI code page, that everything behind the object works with.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace corvane {

// 8-bit text where "not set" is distinct from empty.
using AnsiText = std::optional<std::string>;

// Null gives nullopt. Unmappable characters become the code page's best fit or its
// default character; a failed conversion gives empty text.
AnsiText wideToAnsi(const wchar_t* wide);
std::optional<std::wstring> ansiToWide(const char* ansi);

}  // namespace corvane
