// ZSTD_getCParams, to cap the window of the highest levels.
#define ZSTD_STATIC_LINKING_ONLY
#include "format/package_writer.h"

#include <stdexcept>

namespace vorlix {

void ArchiveEncoder::text(std::string_view s) {
  sink_(s.data(), s.size());
  const char nul = '\0';
  sink_(&nul, 1);
}

void ArchiveEncoder::begin_file(std::string_view name, unsigned char flags, uint64_t size) {
  text(name);
  sink_(&flags, 1);
  unsigned char size_bytes[8];
  write_le64(size_bytes, size);
  sink_(size_bytes, sizeof size_bytes);
}

void ArchiveEncoder::link(std::string_view name, std::string_view target, unsigned char flags) {
  text(name);
  sink_(&flags, 1);
  text(target);
}

void ArchiveEncoder::entry(const ArchiveEntry& e) {
  if (e.flags & ENTRY_FLAG_SYMLINK) {
    link(e.name, e.data, e.flags);
  } else {
    begin_file(e.name, e.flags, e.data.size());
    content(e.data.data(), e.data.size());
  }
}

void ArchiveEncoder::end_marker() {
  const char nul = '\0';
  sink_(&nul, 1);
}

static void check_zstd(size_t result, const char* what) {
  if (ZSTD_isError(result)) throw std::runtime_error(std::string(what) + ": " + ZSTD_getErrorName(result));
}

StreamCompressor::StreamCompressor(ByteSink sink, const CompressionOptions& options)
    : sink_(std::move(sink)), context_(ZSTD_createCCtx()), buffer_(ZSTD_CStreamOutSize()) {
  if (context_ == nullptr) throw std::runtime_error("cannot create a zstd compression context");
  check_zstd(ZSTD_CCtx_setParameter(context_, ZSTD_c_compressionLevel, options.level), "compression level");
  check_zstd(ZSTD_CCtx_setParameter(context_, ZSTD_c_checksumFlag, options.checksum ? 1 : 0), "checksum");
  if (options.threads > 0)
    check_zstd(ZSTD_CCtx_setParameter(context_, ZSTD_c_nbWorkers, options.threads), "threads");
  int window_log = options.window_log;
  if (window_log == 0) {
    // The levels above 19 ask for windows that launchers refuse to decode.
    ZSTD_compressionParameters p = ZSTD_getCParams(options.level, 0, 0);
    window_log = p.windowLog < PAYLOAD_WINDOW_LOG_MAX ? static_cast<int>(p.windowLog) : PAYLOAD_WINDOW_LOG_MAX;
  }
  check_zstd(ZSTD_CCtx_setParameter(context_, ZSTD_c_windowLog, window_log), "window size");
  if (options.pledged_size != CompressionOptions::UNKNOWN_SIZE)
    check_zstd(ZSTD_CCtx_setPledgedSrcSize(context_, options.pledged_size), "pledged size");
}

StreamCompressor::~StreamCompressor() { ZSTD_freeCCtx(context_); }

void StreamCompressor::run(ZSTD_inBuffer* input, ZSTD_EndDirective mode) {
  for (;;) {
    ZSTD_outBuffer output = {buffer_.data(), buffer_.size(), 0};
    size_t remaining = ZSTD_compressStream2(context_, &output, input, mode);
    check_zstd(remaining, "compression");
    if (output.pos > 0) {
      sink_(buffer_.data(), output.pos);
      bytes_out_ += output.pos;
    }
    if (progress_) {
      ZSTD_frameProgression frame = ZSTD_getFrameProgression(context_);
      progress_(frame.consumed, frame.produced);
    }
    bool done = mode == ZSTD_e_continue ? input->pos == input->size : remaining == 0;
    if (done) return;
  }
}

void StreamCompressor::write(const void* data, size_t size) {
  ZSTD_inBuffer input = {data, size, 0};
  run(&input, ZSTD_e_continue);
  bytes_in_ += size;
}

void StreamCompressor::end_frame() {
  ZSTD_inBuffer input = {nullptr, 0, 0};
  run(&input, ZSTD_e_end);
}

uint64_t archive_record_size(std::string_view name, bool is_link, uint64_t data_size) {
  return name.size() + 1 + 1 + (is_link ? data_size + 1 : 8 + data_size);
}

std::string encode_archive(const std::vector<ArchiveEntry>& entries) {
  std::string out;
  ArchiveEncoder encoder([&out](const void* d, size_t n) { out.append(static_cast<const char*>(d), n); });
  for (const ArchiveEntry& e : entries) encoder.entry(e);
  encoder.end_marker();
  return out;
}

std::string compress(std::string_view raw, const CompressionOptions& options) {
  std::string out;
  CompressionOptions sized = options;
  // A frame that must keep its chosen window says nothing of its size.
  if (sized.pledged_size == CompressionOptions::UNKNOWN_SIZE && sized.window_log == 0) sized.pledged_size = raw.size();
  StreamCompressor compressor([&out](const void* d, size_t n) { out.append(static_cast<const char*>(d), n); },
                              sized);
  compressor.write(raw.data(), raw.size());
  compressor.end_frame();
  return out;
}

void write_payload_header(const ByteSink& sink) { sink(PAYLOAD_HEADER, PAYLOAD_HEADER_SIZE); }

std::string payload_trailer(uint64_t payload_length) {
  unsigned char bytes[PAYLOAD_TRAILER_SIZE];
  write_le64(bytes, payload_length);
  return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

std::string frame_package(std::string_view launcher_image, std::string_view compressed) {
  std::string out(launcher_image);
  write_payload_header([&out](const void* d, size_t n) { out.append(static_cast<const char*>(d), n); });
  out.append(compressed);
  out += payload_trailer(PAYLOAD_HEADER_SIZE + compressed.size());
  return out;
}

std::string make_package(std::string_view launcher_image, const std::vector<ArchiveEntry>& entries,
                         const CompressionOptions& options) {
  return frame_package(launcher_image, compress(encode_archive(entries), options));
}

}  // namespace vorlix
