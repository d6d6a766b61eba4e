#include "payload/payload_reader.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

PayloadReader payload_reader;
bool payload_input_is_file_mapping;
bool payload_decoder_thread_allowed = true;

namespace {

// How much consumed input may stay resident before it is dropped.
constexpr size_t RELEASE_STEP = 1 << 20;
size_t released_input;

// Whether the last decoder call filled its whole window: the decoder may
// then hold more output even with no input left, and is asked once more,
// whichever read comes next. (Forgetting it between reads would fail a sound
// stream whose window ends exactly where a read ends.)
bool last_call_filled_window;

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

// The decoder thread: when a payload spans several windows and there is a
// second CPU, one helper thread decodes ahead into a ring of windows while
// the launch sequence's own thread writes files. It makes exactly the
// decoder calls that reading on demand would make, one per window, in the
// same order, so the same bytes arrive and damage is found at the same place;
// it touches no file and takes no signal. Everything below |mutex| is shared
// with it; the input and the decompression context are its own between
// payload_reader_open and payload_reader_close.
constexpr int RING_WINDOWS = 4;

enum DecoderState { DECODER_RUNNING, DECODER_ENDED, DECODER_FAILED };

struct DecoderThread {
  bool active;
  pthread_t thread;
  pthread_mutex_t mutex;
  pthread_cond_t changed;
  unsigned char* blocks[RING_WINDOWS];
  size_t sizes[RING_WINDOWS];
  uint64_t produced;  // windows filled so far
  uint64_t consumed;  // windows handed back by the reader
  DecoderState state;
  bool stop;
  bool holding;  // the reader is reading from window |consumed|
};
DecoderThread decoder;

void* decode_ahead(void*) {
  PayloadReader& r = payload_reader;
  // Whether the last call filled its whole window: the decoder may then
  // hold more output even with no input left.
  bool filled_whole = false;
  pthread_mutex_lock(&decoder.mutex);
  for (;;) {
    while (!decoder.stop && decoder.produced - decoder.consumed == RING_WINDOWS)
      pthread_cond_wait(&decoder.changed, &decoder.mutex);
    if (decoder.stop) break;
    int slot = static_cast<int>(decoder.produced % RING_WINDOWS);
    if (r.input.pos >= r.input.size && !filled_whole) {
      decoder.state = DECODER_ENDED;
      pthread_cond_broadcast(&decoder.changed);
      break;
    }
    pthread_mutex_unlock(&decoder.mutex);
    ZSTD_outBuffer out = {decoder.blocks[slot], PAYLOAD_WINDOW_SIZE, 0};
    size_t result = ZSTD_decompressStream(r.context, &out, &r.input);
    release_consumed_input();
    pthread_mutex_lock(&decoder.mutex);
    if (ZSTD_isError(result)) {
      decoder.state = DECODER_FAILED;
      pthread_cond_broadcast(&decoder.changed);
      break;
    }
    filled_whole = out.pos == PAYLOAD_WINDOW_SIZE;
    if (out.pos > 0) {
      decoder.sizes[slot] = out.pos;
      ++decoder.produced;
      pthread_cond_broadcast(&decoder.changed);
    }
  }
  pthread_mutex_unlock(&decoder.mutex);
  return nullptr;
}

// Whether the payload is worth a thread: more than one window of it (as its
// first frame says, or unknown), and a second CPU to decode on.
bool worth_a_thread(const unsigned char* stream, uint64_t size) {
  unsigned long long content = ZSTD_getFrameContentSize(stream, static_cast<size_t>(size));
  if (content == ZSTD_CONTENTSIZE_ERROR) return false;
  if (content != ZSTD_CONTENTSIZE_UNKNOWN && content <= PAYLOAD_WINDOW_SIZE) return false;
  return sysconf(_SC_NPROCESSORS_ONLN) >= 2;
}

// Starts the thread over the window block already allocated and
// RING_WINDOWS - 1 more. Anything short of that leaves the reader decoding
// on demand, as it would on one CPU.
void start_decoder_thread() {
  decoder.blocks[0] = static_cast<unsigned char*>(payload_reader.window.dst);
  for (int i = 1; i < RING_WINDOWS; ++i) {
    decoder.blocks[i] = static_cast<unsigned char*>(malloc(PAYLOAD_WINDOW_SIZE));
    if (decoder.blocks[i] == nullptr) {
      for (int j = 1; j < i; ++j) free(decoder.blocks[j]);
      return;
    }
  }
  pthread_mutex_init(&decoder.mutex, nullptr);
  pthread_cond_init(&decoder.changed, nullptr);
  decoder.produced = decoder.consumed = 0;
  decoder.state = DECODER_RUNNING;
  decoder.stop = decoder.holding = false;
  // The thread starts with every signal blocked, so that they all go to the
  // launch sequence's thread, where the handler expects to run.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  decoder.active = pthread_create(&decoder.thread, nullptr, decode_ahead, nullptr) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!decoder.active) {
    for (int i = 1; i < RING_WINDOWS; ++i) free(decoder.blocks[i]);
    pthread_cond_destroy(&decoder.changed);
    pthread_mutex_destroy(&decoder.mutex);
  }
}

void stop_decoder_thread() {
  pthread_mutex_lock(&decoder.mutex);
  decoder.stop = true;
  pthread_cond_broadcast(&decoder.changed);
  pthread_mutex_unlock(&decoder.mutex);
  pthread_join(decoder.thread, nullptr);
  for (int i = 1; i < RING_WINDOWS; ++i) free(decoder.blocks[i]);
  pthread_cond_destroy(&decoder.changed);
  pthread_mutex_destroy(&decoder.mutex);
  payload_reader.window.dst = decoder.blocks[0];
  decoder.active = false;
}

}  // namespace

[[noreturn]] static void fail_decoding() {
  puts("Error, couldn't decode attached data.");
  exit(2);
}

// Hands the window just read back to the decoder thread and makes the next
// one it has filled the reader's window, waiting for it if need be. When the
// thread has nothing more to give (the stream ended, or the decoder failed
// at the next window), that is the decode error.
static void take_next_window() {
  PayloadReader& r = payload_reader;
  pthread_mutex_lock(&decoder.mutex);
  if (decoder.holding) {
    ++decoder.consumed;
    decoder.holding = false;
    pthread_cond_broadcast(&decoder.changed);
  }
  while (decoder.produced == decoder.consumed && decoder.state == DECODER_RUNNING)
    pthread_cond_wait(&decoder.changed, &decoder.mutex);
  bool have = decoder.produced != decoder.consumed;
  int slot = static_cast<int>(decoder.consumed % RING_WINDOWS);
  if (have) {
    decoder.holding = true;
    r.window.dst = decoder.blocks[slot];
    r.window.size = decoder.sizes[slot];
    r.window.pos = 0;
  }
  pthread_mutex_unlock(&decoder.mutex);
  if (!have) fail_decoding();
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
  released_input = 0;
  last_call_filled_window = false;
  if (payload_decoder_thread_allowed && worth_a_thread(stream, size)) start_decoder_thread();
}

// Makes the window hold unread bytes: the decoder thread's next window, or
// decoder calls on demand until one produces something. When no more can
// come, that is the decode error.
static void refill_window() {
  PayloadReader& r = payload_reader;
  if (decoder.active) {
    take_next_window();
    return;
  }
  while (r.window.pos == r.window.size) {
    if (r.input.pos >= r.input.size && !last_call_filled_window) fail_decoding();
    r.window.pos = 0;
    r.window.size = PAYLOAD_WINDOW_SIZE;
    size_t result = ZSTD_decompressStream(r.context, &r.window, &r.input);
    if (ZSTD_isError(result)) fail_decoding();
    last_call_filled_window = r.window.pos == PAYLOAD_WINDOW_SIZE;
    r.window.size = r.window.pos;
    r.window.pos = 0;
    release_consumed_input();
  }
}

void payload_read(void* buffer, uint64_t n) {
  if (n == 0) return;
  PayloadReader& r = payload_reader;
  unsigned char* out = static_cast<unsigned char*>(buffer);
  while (n > 0) {
    if (r.window.pos == r.window.size) refill_window();
    size_t available = r.window.size - r.window.pos;
    size_t k = n < available ? static_cast<size_t>(n) : available;
    memcpy(out, static_cast<const unsigned char*>(r.window.dst) + r.window.pos, k);
    r.window.pos += k;
    out += k;
    n -= k;
  }
}

const unsigned char* payload_read_in_place(uint64_t n, size_t* got) {
  PayloadReader& r = payload_reader;
  if (r.window.pos == r.window.size) refill_window();
  size_t available = r.window.size - r.window.pos;
  *got = n < available ? static_cast<size_t>(n) : available;
  const unsigned char* data = static_cast<const unsigned char*>(r.window.dst) + r.window.pos;
  r.window.pos += *got;
  return data;
}

void payload_reader_close() {
  if (decoder.active) stop_decoder_thread();
  ZSTD_freeDCtx(payload_reader.context);
  free(payload_reader.window.dst);
}
