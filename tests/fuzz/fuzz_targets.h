// Fuzz targets as plain functions: each libFuzzer binary wraps one of them, and the
// native replay test runs all of them over the kept inputs. A broken property prints
// what broke and aborts, which libFuzzer records as a crash and the replay test as a
// failed case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvane::testing {

[[noreturn]] void propertyBroken(const char* target, const std::string& what);

#define FUZZ_REQUIRE(target, condition, what) \
  do {                                        \
    if (!(condition)) ::corvane::testing::propertyBroken(target, what); \
  } while (false)

void listReaderTarget(const std::uint8_t* data, std::size_t size);
void handshakeTarget(const std::uint8_t* data, std::size_t size);
void registryScriptTarget(const std::uint8_t* data, std::size_t size);
void manifestTarget(const std::uint8_t* data, std::size_t size);

}  // namespace corvane::testing
