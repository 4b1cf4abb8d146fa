// WinINet's error numbers in words, for the diagnostic log: a bare 12057 points away from
// its cause. Free of platform headers.
#pragma once

#include <string>

namespace corvane {

// "12029 ERROR_INTERNET_CANNOT_CONNECT (connection refused: ...)"; any other number as
// "error N".
std::string winInetErrorText(unsigned long error);

}  // namespace corvane
