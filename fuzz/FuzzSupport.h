// What the fuzz targets share: splitting an input into parts and stopping on a broken property.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace orvo::fuzz {

// The input cut at its first `count - 1` NUL bytes; the last part keeps the rest, NULs included.
// Missing parts are empty.
inline std::vector<std::string> Split(const uint8_t* data, size_t size, size_t count) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> parts;
  size_t start = 0;
  while (parts.size() + 1 < count) {
    size_t nul = input.find('\0', start);
    if (nul == std::string::npos) break;
    parts.push_back(input.substr(start, nul - start));
    start = nul + 1;
  }
  parts.push_back(start <= input.size() ? input.substr(start) : "");
  parts.resize(count);
  return parts;
}

// Stops the run (the fuzzer keeps the input) when a property does not hold.
[[noreturn]] inline void Broken(const char* property, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, property);
  std::abort();
}

}  // namespace orvo::fuzz

#define FUZZ_REQUIRE(condition) \
  ((condition) ? (void)0 : ::orvo::fuzz::Broken(#condition, __FILE__, __LINE__))
