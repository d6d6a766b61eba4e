#include "format/package_reader.h"

#include <gtest/gtest.h>

#include "format/package_writer.h"

namespace vorlix {
namespace {

const std::string IMAGE = "\x7f" "ELF-not-really";

std::vector<EntryInfo> read_all(std::string_view package) {
  StreamDecoder decoder(compressed_stream_of(package));
  ArchiveReader archive(decoder);
  std::vector<EntryInfo> entries;
  EntryInfo e;
  while (archive.next(&e)) {
    archive.skip_content();
    entries.push_back(e);
  }
  return entries;
}

TEST(PackageReaderTest, ReadsEntriesAndSummary) {
  std::string package = make_package(
      IMAGE, {{"run", ENTRY_FLAG_EXECUTABLE, "#!/bin/sh\n"}, {"l", ENTRY_FLAG_SYMLINK, "run"}, {"d/e", 0x80, ""}});
  auto entries = read_all(package);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "run");
  EXPECT_EQ(entries[0].size, 10u);
  EXPECT_TRUE(entries[1].is_link);
  EXPECT_EQ(entries[1].target, "run");
  EXPECT_FALSE(entries[2].is_link);
  PackageSummary summary = verify_package(package);
  EXPECT_EQ(summary.entries, 3u);
  EXPECT_EQ(summary.content_bytes, 10u);
}

// Every damaged package is a FormatError, never a crash or a hang.
TEST(PackageReaderTest, DamageIsReportedAsFormatError) {
  std::string content;
  uint32_t state = 1;
  for (int i = 0; i < 100000; ++i) content += static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
  std::string archive = encode_archive({{"run", ENTRY_FLAG_EXECUTABLE, content}});
  std::string good = frame_package(IMAGE, compress(archive));
  std::string bad_header = good;
  bad_header[IMAGE.size() + 1] = 'Z';
  std::string flipped = good;
  flipped[IMAGE.size() + 20] ^= 0x40;
  std::string long_name = encode_archive({{std::string(1024, 'n'), 0, ""}});
  std::string long_target = encode_archive({{"l", ENTRY_FLAG_SYMLINK, std::string(1024, 't')}});
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"empty file", ""},
      {"no payload", IMAGE + std::string(8, '\0')},
      {"bad header", bad_header},
      {"truncated", frame_package(IMAGE, compress(archive).substr(0, 500))},
      {"corrupted", flipped},
      {"empty stream", frame_package(IMAGE, "")},
      {"no end marker", frame_package(IMAGE, compress(archive.substr(0, archive.size() - 1)))},
      {"data after end marker", frame_package(IMAGE, compress(archive + "junk"))},
      {"name of 1024 bytes", frame_package(IMAGE, compress(long_name))},
      {"link target of 1024 bytes", frame_package(IMAGE, compress(long_target))},
      {"huge size", frame_package(IMAGE, compress(std::string("f\0\0\xff\xff\xff\xff\xff\xff\xff\xff", 11)))},
  };
  for (const auto& [name, package] : cases) {
    SCOPED_TRACE(name);
    EXPECT_THROW(verify_package(package), FormatError);
  }
}

TEST(PackageReaderTest, UnsafeNames) {
  const std::pair<const char*, bool> cases[] = {
      {"a", true},    {"a/b.c", true}, {"..x", true},  {".hidden/x", true}, {"", false},   {"/abs", false},
      {"../x", false}, {"a/../b", false}, {"a/..", false}, {"a//b", false},      {"a/", false}, {"./a", false},
  };
  for (const auto& [name, safe] : cases) EXPECT_EQ(unsafe_name_reason(name) == nullptr, safe) << name;
}

}  // namespace
}  // namespace vorlix
