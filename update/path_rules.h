// The one check on names that come from a server (cabinet entries, list fields) before
// they are appended to the installation path.
#pragma once

#include <string_view>

namespace corvane {

// True for a name that stays inside the directory it is appended to: not empty, not
// absolute, no drive (C:x included), no UNC or device prefix, no ".." segment with either
// slash (nor a dots-and-blanks segment that Windows would shorten to ".."), no ':' (which
// would also name an alternate data stream) and no control characters.
bool isSafeRelativeName(std::string_view name);

}  // namespace corvane
