// Writes the seed corpus of the fuzz targets: small packages made by the
// package writer that reach every kind of entry, several frames, and the
// usual damage.
#include <stdio.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "format/package_writer.h"

using vorlix::ArchiveEntry;

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: fuzz_seeds DIRECTORY\n");
    return 2;
  }
  std::filesystem::path out = argv[1];
  std::filesystem::create_directories(out);
  // The launcher image is never looked at; a short stand-in keeps inputs small.
  const std::string image = "\x7f" "ELF";
  const std::vector<ArchiveEntry> app = {
      {"run", ENTRY_FLAG_EXECUTABLE, "#!/bin/sh\nexit 0\n"},
      {"lib/a/b/data.txt", 0, "some data\n"},
      {"lib/empty", 0, ""},
      {"lib/link", ENTRY_FLAG_SYMLINK, "a/b/data.txt"},
      {"lib/a/tool", ENTRY_FLAG_EXECUTABLE | 0x80, std::string(40000, 'x')},
  };
  std::string archive = vorlix::encode_archive(app);
  std::vector<std::pair<std::string, std::string>> seeds = {
      {"app", vorlix::frame_package(image, vorlix::compress(archive))},
      {"empty-archive", vorlix::make_package(image, {})},
      {"first-entry-link", vorlix::make_package(image, {{"start", ENTRY_FLAG_SYMLINK, "run"}, app[0]})},
      {"two-frames", vorlix::frame_package(image, vorlix::compress(archive.substr(0, 100), {.level = 1}) +
                                                      vorlix::compress(archive.substr(100), {.level = 9}))},
      {"no-checksum", vorlix::frame_package(image, vorlix::compress(archive, {.level = 3, .checksum = false}))},
      {"empty-stream", vorlix::frame_package(image, "")},
      {"no-end-marker", vorlix::frame_package(image, vorlix::compress(archive.substr(0, archive.size() - 1)))},
      {"escape", vorlix::make_package(image, {{"../x", 0, "x"}, {"/abs", 0, "x"}, {"a//b", 0, "x"}})},
      {"link-then-file", vorlix::make_package(image, {{"d", ENTRY_FLAG_SYMLINK, "."}, {"d/f", 0, "x"}})},
  };
  for (const auto& [name, bytes] : seeds) {
    std::ofstream file(out / name, std::ios::binary);
    file << bytes;
  }
  return 0;
}
