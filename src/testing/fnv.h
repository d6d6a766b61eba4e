// FNV-1a, to compare file contents without holding both copies.
#ifndef VORLIX_TESTING_FNV_H_
#define VORLIX_TESTING_FNV_H_

#include <stdint.h>
#include <stdio.h>

#include <string_view>

namespace vorlix::testing {

inline uint64_t fnv1a(std::string_view data, uint64_t hash = 1469598103934665603ull) {
  for (unsigned char c : data) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

inline uint64_t fnv1a_file(const char* path) {
  uint64_t hash = 1469598103934665603ull;
  FILE* f = fopen(path, "rb");
  if (f == nullptr) return 0;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) hash = fnv1a(std::string_view(buffer, n), hash);
  fclose(f);
  return hash;
}

}  // namespace vorlix::testing

#endif  // VORLIX_TESTING_FNV_H_
