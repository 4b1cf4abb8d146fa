// The checks on paths and names before the driver makes, writes, deletes or loads
// anything: names that come from a server (cabinet entries, list fields) and the
// installation path that the page sets.
#pragma once

#include <string>
#include <string_view>

namespace corvane {

// True for a name that stays inside the directory it is appended to: not empty, not
// absolute, no drive (C:x included), no UNC or device prefix, no ".." segment with either
// slash (nor a dots-and-blanks segment that Windows would shorten to ".."), no ':' (which
// would also name an alternate data stream), no control characters, and no segment that
// names a device. `codePage` is the one the name's bytes are in.
bool isSafeRelativeName(std::string_view name, unsigned codePage);

// True for a component's file name that names one file and spells it one way: a safe
// relative name (above) whose segments are separated by single backslashes, none empty,
// ".", "..", or ending in a dot or a blank; without '/', ':', '*', '?', '<', '>', '"' or
// '|'; and no segment of the form of a short-name alias ("NAME~1.EXT") or of the
// control's own temporary and leftover names (starting "~cv", any letter case).
// Otherwise the platform would reach one file by two spellings that compare unequal.
bool isCanonicalFileName(std::string_view name, unsigned codePage);

// Whether a path segment names a device in every folder ("NUL", "com1.txt", "LPT¹",
// "Con ."), letter case ignored. The superscript digits are spelt differently in each
// code page (B9 in 1252, C2 B9 in UTF-8, absent from 932).
bool namesDevice(std::string_view segment, unsigned codePage);

// True for an absolute local path on a drive: a letter, a colon, a backslash, then
// segments separated by backslashes (a run counts as one; a trailing one is allowed).
// No segment is "." or "..", holds '/', ':', a control character or one of <>"|?*, ends
// with a dot or a blank, or names a device.
bool isAllowedInstallPath(std::string_view path, unsigned codePage);

// The rule such a path breaks and its offending part, in words for the diagnostic log
// ("a share path", "the character 0x3F '?' at position 9", "a device name `COM1`");
// empty for an allowed path.
std::string installPathProblem(std::string_view path, unsigned codePage);

// The folder part of a path ("." when there is none; a root keeps its separator), its last
// segment, and a name joined to a folder with one separator.
std::string directoryOfPath(const std::string& path);
std::string fileNameOfPath(const std::string& path);
std::string joinPath(const std::string& directory, const std::string& name);

}  // namespace corvane
