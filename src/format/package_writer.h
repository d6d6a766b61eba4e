// Writing packages: archive records, zstd compression and the framing around
// them. Used by vorlix-pack and by the tests. Throws std::runtime_error.
#ifndef VORLIX_FORMAT_PACKAGE_WRITER_H_
#define VORLIX_FORMAT_PACKAGE_WRITER_H_

#include <zstd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "format/package_format.h"

namespace vorlix {

// Receives bytes in order.
using ByteSink = std::function<void(const void* data, size_t size)>;

// One archive entry: a file (|data| is its content) or, with
// ENTRY_FLAG_SYMLINK in |flags|, a link (|data| is its target).
struct ArchiveEntry {
  std::string name;
  unsigned char flags = 0;
  std::string data;
};

// Encodes archive records into a sink. Checks nothing: the caller decides
// what is a valid name (tests write broken archives on purpose).
class ArchiveEncoder {
 public:
  explicit ArchiveEncoder(ByteSink sink) : sink_(std::move(sink)) {}
  // A file record's header; |size| content bytes must follow through content().
  void begin_file(std::string_view name, unsigned char flags, uint64_t size);
  void content(const void* data, size_t size) { sink_(data, size); }
  void link(std::string_view name, std::string_view target, unsigned char flags = ENTRY_FLAG_SYMLINK);
  void entry(const ArchiveEntry& e);
  void end_marker();

 private:
  void text(std::string_view s);
  ByteSink sink_;
};

struct CompressionOptions {
  int level = 19;
  int threads = 0;      // 0: compress in the calling thread
  int window_log = 0;   // 0: the level's default, capped for every launcher
  bool checksum = true;
  // The exact number of bytes that will be written, when known in advance:
  // it goes into the frame header, and small inputs then get a small window
  // (less memory for every launcher that decodes them).
  uint64_t pledged_size = UNKNOWN_SIZE;
  static constexpr uint64_t UNKNOWN_SIZE = ~uint64_t{0};
};

// A zstd compression stream writing frames into a sink.
class StreamCompressor {
 public:
  StreamCompressor(ByteSink sink, const CompressionOptions& options);
  ~StreamCompressor();
  StreamCompressor(const StreamCompressor&) = delete;
  StreamCompressor& operator=(const StreamCompressor&) = delete;

  void write(const void* data, size_t size);
  // Ends the current frame; a later write() starts a new one.
  void end_frame();
  // Called after every step of the compressor with the input bytes it has
  // compressed so far and the output it has produced, also while a frame's
  // end is being waited for.
  void on_progress(std::function<void(uint64_t consumed, uint64_t produced)> callback) {
    progress_ = std::move(callback);
  }
  uint64_t bytes_in() const { return bytes_in_; }
  uint64_t bytes_out() const { return bytes_out_; }

 private:
  void run(ZSTD_inBuffer* input, ZSTD_EndDirective mode);
  ByteSink sink_;
  ZSTD_CCtx* context_;
  std::vector<char> buffer_;
  uint64_t bytes_in_ = 0;
  uint64_t bytes_out_ = 0;
  std::function<void(uint64_t, uint64_t)> progress_;
};

// The size of one archive entry's record: name, flags, then target or size
// and content.
uint64_t archive_record_size(std::string_view name, bool is_link, uint64_t data_size);

// The archive bytes of |entries| followed by the end marker.
std::string encode_archive(const std::vector<ArchiveEntry>& entries);

// |raw| as one zstd frame.
std::string compress(std::string_view raw, const CompressionOptions& options = {});

// The payload header "IXY" in front of |compressed|: what follows the
// launcher image, before the trailer.
void write_payload_header(const ByteSink& sink);
// The trailer for a payload of |payload_length| bytes (header included).
std::string payload_trailer(uint64_t payload_length);

// launcher image + "IXY" + compressed stream + trailer.
std::string frame_package(std::string_view launcher_image, std::string_view compressed);

// A whole package of |entries| behind |launcher_image|.
std::string make_package(std::string_view launcher_image, const std::vector<ArchiveEntry>& entries,
                         const CompressionOptions& options = {});

}  // namespace vorlix

#endif  // VORLIX_FORMAT_PACKAGE_WRITER_H_
