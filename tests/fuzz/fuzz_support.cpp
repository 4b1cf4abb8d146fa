#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/fuzz_targets.h"

namespace corvane::testing {

void propertyBroken(const char* target, const std::string& what) {
  std::fprintf(stderr, "%s: property broken: %s\n", target, what.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace corvane::testing
