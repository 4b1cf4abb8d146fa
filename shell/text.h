// Conversions between automation strings (UTF-16) and the 8-bit text, in the process's
// ANSI code page, that everything behind the object works with.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// 8-bit text where "not set" is distinct from empty.
using AnsiText = std::optional<std::string>;

// The text up to its first null, in `codePage` (callers pass GetACP()), or nullopt when
// the code page cannot carry it exactly: a character it lacks is never replaced by a
// look-alike or a default character, since checks made on the wide text would no longer
// hold for the bytes. `wide` must not be null: absence is the caller's to tell.
std::optional<std::string> wideToAnsi(const wchar_t* wide, UINT codePage);

// The index (in UTF-16 units) of the first character that wideToAnsi cannot carry exactly;
// nullopt when each can on its own.
std::optional<size_t> firstUnconvertible(const wchar_t* wide, UINT codePage);

// The comma-separated component names of UpdateComponents, converted name by name: a
// name that cannot be converted is left out, so it chooses nothing, and the others keep
// their order. Null stays null.
AnsiText componentNamesToAnsi(const wchar_t* names, UINT codePage);

std::optional<std::wstring> ansiToWide(const char* ansi);

// True when `narrow`, read back in the code page, is exactly `wide`: the proof of a
// conversion made without the no-best-fit flags, which those code pages refuse.
bool convertsBackExactly(std::string_view narrow, std::wstring_view wide, UINT codePage);

}  // namespace corvane
