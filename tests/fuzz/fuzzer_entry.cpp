// libFuzzer entry for one target; FUZZ_TARGET names the function.
#include "tests/fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  corvane::testing::FUZZ_TARGET(data, size);
  return 0;
}
