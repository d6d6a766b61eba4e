#include "payload/payload_reader.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

PayloadReader payload_reader;

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
  }
}

void payload_reader_close() {
  ZSTD_freeDCtx(payload_reader.context);
  free(payload_reader.window.dst);
}
