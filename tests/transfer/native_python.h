// The test scripts that sign through OpenSSL (python3-cryptography), run natively.
#pragma once

#include <string>

namespace corvane::testing {

// Runs /usr/bin/python3 with `arguments` (already quoted for the shell) and `input` on its
// standard input; its standard output. Throws when the script cannot run or fails.
std::string runPython(const std::string& arguments, const std::string& input);

}  // namespace corvane::testing
