// Loaded with LD_PRELOAD by tests only: makes one chosen call fail, to reach
// failure paths that ordinary inputs cannot.
//   VORLIX_FAIL_MALLOC_SIZE=n   malloc(n) returns NULL (ENOMEM)
#include <errno.h>
#include <stddef.h>
#include <stdlib.h>

extern "C" void* __libc_malloc(size_t size);

namespace {

// Read once; getenv does not allocate, so this is safe inside malloc.
size_t failing_malloc_size() {
  static size_t size = [] {
    const char* text = getenv("VORLIX_FAIL_MALLOC_SIZE");
    return text != nullptr ? static_cast<size_t>(strtoull(text, nullptr, 10)) : size_t{0};
  }();
  return size;
}

}  // namespace

extern "C" void* malloc(size_t size) {
  if (size != 0 && size == failing_malloc_size()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_malloc(size);
}
