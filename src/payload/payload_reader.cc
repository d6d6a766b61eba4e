#include "payload/payload_reader.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

PayloadReader payload_reader;
bool payload_input_is_file_mapping;

namespace {

// How much consumed input may stay resident before it is dropped.
constexpr size_t RELEASE_STEP = 1 << 20;
size_t released_input;

// Drops the whole pages of the mapping that lie before the decoder's input
// position. They are never read again; if they were, the file would supply
// them anew.
void release_consumed_input() {
  const ZSTD_inBuffer& input = payload_reader.input;
  if (!payload_input_is_file_mapping || input.pos - released_input < RELEASE_STEP) return;
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t start = reinterpret_cast<uintptr_t>(input.src) + released_input;
  uintptr_t end = reinterpret_cast<uintptr_t>(input.src) + input.pos;
  start = (start + page - 1) & ~(page - 1);
  end &= ~(page - 1);
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
  released_input = input.pos;
}

}  // namespace

[[noreturn]] static void fail_decoding() {
  puts("Error, couldn't decode attached data.");
  exit(2);
}

void payload_reader_open(const unsigned char* stream, uint64_t size) {
  void* block = malloc(PAYLOAD_WINDOW_SIZE);
  if (block == nullptr) {
    puts("Error, couldn't allocate memory.");
    exit(2);
  }
  ZSTD_DCtx* context = ZSTD_createDCtx();
  if (context == nullptr) {
    puts("Error, couldn't allocate memory.");
    exit(2);
  }
  payload_reader.input = ZSTD_inBuffer{stream, static_cast<size_t>(size), 0};
  payload_reader.window = ZSTD_outBuffer{block, 0, 0};
  payload_reader.context = context;
}

void payload_read(void* buffer, uint64_t n) {
  if (n == 0) return;
  PayloadReader& r = payload_reader;
  unsigned char* out = static_cast<unsigned char*>(buffer);
  // Whether a decoder call of this read filled the whole window, in which
  // case the decoder may hold more output even with no input left.
  bool more_pending = false;
  while (n > 0) {
    size_t available = r.window.size - r.window.pos;
    if (available > 0) {
      size_t k = n < available ? static_cast<size_t>(n) : available;
      memcpy(out, static_cast<const unsigned char*>(r.window.dst) + r.window.pos, k);
      r.window.pos += k;
      out += k;
      n -= k;
      continue;
    }
    if (r.input.pos >= r.input.size && !more_pending) fail_decoding();
    r.window.pos = 0;
    r.window.size = PAYLOAD_WINDOW_SIZE;
    size_t result = ZSTD_decompressStream(r.context, &r.window, &r.input);
    if (ZSTD_isError(result)) fail_decoding();
    more_pending = r.window.pos == PAYLOAD_WINDOW_SIZE;
    r.window.size = r.window.pos;
    r.window.pos = 0;
    release_consumed_input();
  }
}

void payload_reader_close() {
  ZSTD_freeDCtx(payload_reader.context);
  free(payload_reader.window.dst);
}
