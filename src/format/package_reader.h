// Reading packages that may come from anywhere: every problem is reported as
// a FormatError, never by ending the process, and no input makes the reader
// read outside its buffers or allocate without bound.
#ifndef VORLIX_FORMAT_PACKAGE_READER_H_
#define VORLIX_FORMAT_PACKAGE_READER_H_

#include <zstd.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "format/launcher_config.h"

namespace vorlix {

class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where the compressed stream lies in a package's bytes; throws FormatError
// when the trailer or the header is wrong.
std::string_view compressed_stream_of(std::string_view package);

// The launcher image of a package: everything before its payload header.
std::string_view launcher_image_of(std::string_view package);

// Where the launcher's configuration block starts in |image| (a launcher
// image), or std::string_view::npos when it has none. Throws FormatError
// when the mark occurs more than once or the block is cut short.
size_t find_launcher_config(std::string_view image);

// The configuration block of |image| as it is, unchecked (see
// launcher_config_problem); nullopt when the image has none, or none with an
// intact mark.
std::optional<LauncherConfig> read_launcher_config(std::string_view image);

// The decoded bytes of a compressed stream, pulled on demand.
class StreamDecoder {
 public:
  explicit StreamDecoder(std::string_view compressed);
  ~StreamDecoder();
  StreamDecoder(const StreamDecoder&) = delete;
  StreamDecoder& operator=(const StreamDecoder&) = delete;

  // Fills |size| bytes or throws FormatError.
  void read(void* data, size_t size);
  // Decodes the rest of the stream (checking every frame and checksum) and
  // returns how many decoded bytes it held.
  uint64_t drain();

  // The frames begun so far, and the first of them (1-based) that carries
  // no content checksum (0: none), so its content cannot be verified.
  uint64_t frames() const { return frames_; }
  uint64_t first_frame_without_checksum() const { return first_unchecked_; }

 private:
  // At the start of a frame: counts it and reads whether it has a checksum.
  void note_frame_header();
  // Decodes more into the buffer; false at the clean end of the stream.
  bool refill();
  std::string_view compressed_;
  ZSTD_DCtx* context_;
  ZSTD_inBuffer input_;
  std::vector<unsigned char> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  bool frame_open_ = false;
  uint64_t frames_ = 0;
  uint64_t first_unchecked_ = 0;
};

struct EntryInfo {
  std::string name;
  unsigned char flags = 0;
  bool is_link = false;
  std::string target;  // links only
  uint64_t size = 0;   // files only
};

// Archive entries, one after the other, from a decoder.
class ArchiveReader {
 public:
  explicit ArchiveReader(StreamDecoder& decoder) : decoder_(decoder) {}
  // The next entry's header, or false at the end marker. A file's content
  // must then be consumed with read_content() or skip_content().
  bool next(EntryInfo* entry);
  // Reads up to |size| bytes of the current file's content; 0 when done.
  size_t read_content(void* data, size_t size);
  void skip_content();

 private:
  std::string read_text(const char* what);
  StreamDecoder& decoder_;
  uint64_t content_left_ = 0;
};

// What verify reports.
struct PackageSummary {
  uint64_t entries = 0;
  uint64_t content_bytes = 0;
  std::string first_name;  // the first entry's: the program a launcher runs
  uint64_t frames = 0;
  uint64_t first_frame_without_checksum = 0;  // 1-based; 0: every frame has one
};

// Checks a whole package: framing, every frame and checksum, the archive up
// to its end marker, and that nothing follows the end marker. |on_entry|, if
// given, sees every entry in archive order.
PackageSummary verify_package(std::string_view package,
                              const std::function<void(const EntryInfo&)>& on_entry = nullptr);

// Whether |name| is safe to create below a directory: relative, without
// empty, "." or ".." components. Returns the reason when it is not.
const char* unsafe_name_reason(std::string_view name);

}  // namespace vorlix

#endif  // VORLIX_FORMAT_PACKAGE_READER_H_
