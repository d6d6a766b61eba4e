// The decoded byte stream of the payload: zstd frames decoded lazily, one
// 128 KiB window at a time, straight out of the read-only mapping.
#ifndef VORLIX_PAYLOAD_PAYLOAD_READER_H_
#define VORLIX_PAYLOAD_PAYLOAD_READER_H_

#include <stddef.h>
#include <stdint.h>
#include <zstd.h>

inline constexpr size_t PAYLOAD_WINDOW_SIZE = 131072;

// Between reads, |window.size| is the number of decoded bytes in the block
// and |window.pos| the offset of the next one not yet handed out. The
// decoder runs only when the two are equal, so no decoded byte is ever
// overwritten before it has been delivered.
struct PayloadReader {
  ZSTD_inBuffer input;
  ZSTD_outBuffer window;
  ZSTD_DCtx* context;
};

extern PayloadReader payload_reader;

// Set when the compressed input lies in a read-only file mapping: the reader
// then hands consumed input pages back to the kernel as it goes, so that the
// payload does not stay resident for the whole extraction.
extern bool payload_input_is_file_mapping;

// True unless a test or a fuzzing harness wants every payload decoded on
// demand, as on a machine with one CPU.
extern bool payload_decoder_thread_allowed;

// Allocates the window, then the decoder (library defaults: window limit
// 2^27). Either failing prints "Error, couldn't allocate memory." on standard
// output and exits with status 2. A payload larger than one window, on a
// machine with a second CPU, is decoded ahead by a helper thread into a small
// ring of windows (decoding only, every signal blocked) while the caller
// writes; what the reads deliver, and where they fail, is the same either way.
void payload_reader_open(const unsigned char* stream, uint64_t size);

// Copies the next |n| decoded bytes into |buffer|, all of them or none: damaged
// data, or data that ends before |n| bytes came, prints "Error, couldn't decode
// attached data." on standard output and exits with status 2. n = 0 does
// nothing.
void payload_read(void* buffer, uint64_t n);

// Reads up to |n| (at least 1) of the next decoded bytes without copying
// them: returns where they lie in the window and sets |*got| to how many
// there are (never 0). They stay valid until the next read. Fails as
// payload_read does when no byte can come.
const unsigned char* payload_read_in_place(uint64_t n, size_t* got);

// Joins the decoder thread if there is one, then frees the decoder, then the
// window. No read may follow; a fork may.
void payload_reader_close();

#endif  // VORLIX_PAYLOAD_PAYLOAD_READER_H_
