// ZSTD_getFrameHeader, to see whether a frame carries a checksum.
#define ZSTD_STATIC_LINKING_ONLY
#include "format/package_reader.h"

#include <cstring>

#include "format/package_format.h"

namespace vorlix {

std::string_view compressed_stream_of(std::string_view package) {
  uint64_t size = package.size();
  if (size < PAYLOAD_HEADER_SIZE + PAYLOAD_TRAILER_SIZE) throw FormatError("too short to hold a payload");
  uint64_t length = read_le64(reinterpret_cast<const unsigned char*>(package.data()) + size - PAYLOAD_TRAILER_SIZE);
  uint64_t offset;
  if (!payload_offset(size, length, &offset))
    throw FormatError("no payload attached (trailer length " + std::to_string(length) + ")");
  if (std::memcmp(package.data() + offset, PAYLOAD_HEADER, PAYLOAD_HEADER_SIZE) != 0)
    throw FormatError("payload header missing");
  return package.substr(offset + PAYLOAD_HEADER_SIZE, length - PAYLOAD_HEADER_SIZE);
}

std::string_view launcher_image_of(std::string_view package) {
  std::string_view stream = compressed_stream_of(package);
  return package.substr(0, static_cast<size_t>(stream.data() - package.data()) - PAYLOAD_HEADER_SIZE);
}

size_t find_launcher_config(std::string_view image) {
  std::string_view mark(LAUNCHER_CONFIG_MARK, sizeof LAUNCHER_CONFIG_MARK);
  size_t at = image.find(mark);
  if (at == std::string_view::npos) return at;
  if (image.find(mark, at + 1) != std::string_view::npos) throw FormatError("launcher image has two configuration blocks");
  if (image.size() - at < sizeof(LauncherConfig)) throw FormatError("launcher configuration block cut short");
  return at;
}

std::optional<LauncherConfig> read_launcher_config(std::string_view image) {
  size_t at = find_launcher_config(image);
  if (at == std::string_view::npos) return std::nullopt;
  LauncherConfig config;
  std::memcpy(&config, image.data() + at, sizeof config);
  return config;
}

StreamDecoder::StreamDecoder(std::string_view compressed)
    : compressed_(compressed), context_(ZSTD_createDCtx()), buffer_(ZSTD_DStreamOutSize()) {
  if (context_ == nullptr) throw std::bad_alloc();
  input_ = ZSTD_inBuffer{compressed_.data(), compressed_.size(), 0};
}

StreamDecoder::~StreamDecoder() { ZSTD_freeDCtx(context_); }

void StreamDecoder::note_frame_header() {
  ZSTD_frameHeader header;
  const char* at = static_cast<const char*>(input_.src) + input_.pos;
  if (ZSTD_getFrameHeader(&header, at, input_.size - input_.pos) != 0) return;  // the decoder will say
  ++frames_;
  if (header.frameType == ZSTD_frame && !header.checksumFlag && first_unchecked_ == 0) first_unchecked_ = frames_;
}

bool StreamDecoder::refill() {
  begin_ = end_ = 0;
  // Each call consumes input, produces output, finishes a frame or fails, so
  // this loop ends.
  while (end_ == 0) {
    if (input_.pos == input_.size && !frame_open_) return false;
    if (!frame_open_) note_frame_header();
    ZSTD_outBuffer output = {buffer_.data(), buffer_.size(), 0};
    size_t result = ZSTD_decompressStream(context_, &output, &input_);
    if (ZSTD_isError(result)) throw FormatError(std::string("corrupt compressed stream: ") + ZSTD_getErrorName(result));
    frame_open_ = result != 0;
    end_ = output.pos;
    if (end_ == 0 && frame_open_ && input_.pos == input_.size) throw FormatError("compressed stream cut short");
  }
  return true;
}

void StreamDecoder::read(void* data, size_t size) {
  unsigned char* out = static_cast<unsigned char*>(data);
  while (size > 0) {
    if (begin_ == end_ && !refill()) throw FormatError("archive ends before its end marker");
    size_t n = std::min(size, end_ - begin_);
    std::memcpy(out, buffer_.data() + begin_, n);
    begin_ += n;
    out += n;
    size -= n;
  }
}

uint64_t StreamDecoder::drain() {
  uint64_t total = end_ - begin_;
  while (refill()) total += end_;
  begin_ = end_;
  return total;
}

std::string ArchiveReader::read_text(const char* what) {
  std::string text;
  for (;;) {
    char c;
    decoder_.read(&c, 1);
    if (c == '\0') return text;
    if (text.size() == ENTRY_NAME_MAX)
      throw FormatError(std::string(what) + " longer than " + std::to_string(ENTRY_NAME_MAX) + " bytes");
    text += c;
  }
}

bool ArchiveReader::next(EntryInfo* entry) {
  if (content_left_ != 0) throw std::logic_error("content of the previous entry not consumed");
  *entry = EntryInfo{};
  entry->name = read_text("name");
  if (entry->name.empty()) return false;
  decoder_.read(&entry->flags, 1);
  entry->is_link = (entry->flags & ENTRY_FLAG_SYMLINK) != 0;
  if (entry->is_link) {
    entry->target = read_text("link target");
  } else {
    unsigned char size[8];
    decoder_.read(size, sizeof size);
    entry->size = content_left_ = read_le64(size);
  }
  return true;
}

size_t ArchiveReader::read_content(void* data, size_t size) {
  size_t n = static_cast<size_t>(std::min<uint64_t>(size, content_left_));
  decoder_.read(data, n);
  content_left_ -= n;
  return n;
}

void ArchiveReader::skip_content() {
  char scratch[65536];
  while (read_content(scratch, sizeof scratch) > 0) {
  }
}

PackageSummary verify_package(std::string_view package, const std::function<void(const EntryInfo&)>& on_entry) {
  StreamDecoder decoder(compressed_stream_of(package));
  ArchiveReader archive(decoder);
  PackageSummary summary;
  EntryInfo entry;
  while (archive.next(&entry)) {
    if (summary.entries++ == 0) summary.first_name = entry.name;
    summary.content_bytes += entry.size;
    if (on_entry) on_entry(entry);
    archive.skip_content();
  }
  uint64_t trailing = decoder.drain();
  if (trailing != 0) throw FormatError(std::to_string(trailing) + " bytes after the archive's end marker");
  summary.frames = decoder.frames();
  summary.first_frame_without_checksum = decoder.first_frame_without_checksum();
  return summary;
}

const char* unsafe_name_reason(std::string_view name) {
  switch (entry_name_fault(name.data(), name.size())) {
    case ENTRY_NAME_SOUND: return nullptr;
    case ENTRY_NAME_EMPTY: return "empty name";
    case ENTRY_NAME_ABSOLUTE: return "absolute name";
    case ENTRY_NAME_EMPTY_COMPONENT: return "empty path component";
    case ENTRY_NAME_DOT_DOT_COMPONENT: return "'..' component";
    case ENTRY_NAME_DOT_COMPONENT: return "'.' component";
  }
  return "unsafe name";
}

}  // namespace vorlix
