// Makes the benchmark's workloads, the same bytes for the same seed:
//   bench_generate app DIR [SEED]   a tree shaped like a bundled Python
//                                   application (about 16,000 files in 2,000
//                                   directories, 250 MB, mostly small files,
//                                   compressing about 5:1 at zstd level 19)
//   bench_generate large DIR        24 files of 4 to 12 MiB (about 200 MB)
//   bench_generate tiny DIR         just the program
// The program to run, DIR/run, is a copy of /bin/true.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int DIRECTORIES = 2000;
constexpr int FILES = 16000;
constexpr int BIG_FILES = 5;
constexpr int LARGE_FILES = 24;

std::mt19937_64 rng;

uint64_t uniform(uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng); }

// Text shaped like source code: words of a fixed vocabulary, the frequent
// ones far more often, in indented lines.
std::vector<std::string> make_vocabulary() {
  std::vector<std::string> words;
  for (int i = 0; i < 6000; ++i) {
    std::string word;
    size_t length = 2 + uniform(10);
    for (size_t j = 0; j < length; ++j) word += static_cast<char>('a' + uniform(26));
    if (uniform(4) == 0) {
      word += '_';
      word += std::to_string(uniform(100));
    }
    words.push_back(word);
  }
  return words;
}

void append_text(std::string& out, size_t size, const std::vector<std::string>& words) {
  std::geometric_distribution<size_t> zipfish(0.006);
  while (out.size() < size) {
    out.append(4 * uniform(4), ' ');
    size_t count = 3 + uniform(9);
    for (size_t i = 0; i < count; ++i) {
      out += words[std::min(zipfish(rng), words.size() - 1)];
      out += i + 1 < count ? (uniform(6) == 0 ? "(" : " ") : ":\n";
    }
  }
  out.resize(size);
}

// Bytes shaped like machine code and data tables: recurring fragments with
// random bytes between them.
void append_binary(std::string& out, size_t size, const std::vector<std::string>& fragments) {
  std::geometric_distribution<size_t> often(0.01);
  while (out.size() < size) {
    if (uniform(6) == 0) {
      size_t n = 1 + uniform(6);
      for (size_t i = 0; i < n; ++i) out += static_cast<char>(uniform(256));
    } else {
      out += fragments[std::min(often(rng), fragments.size() - 1)];
    }
  }
  out.resize(size);
}

// The recurring pieces of append_binary's output.
std::vector<std::string> make_fragments() {
  std::vector<std::string> fragments;
  for (int i = 0; i < 4000; ++i) {
    std::string fragment;
    size_t n = 4 + uniform(28);
    for (size_t j = 0; j < n; ++j) fragment += static_cast<char>(uniform(4) ? uniform(16) : uniform(256));
    fragments.push_back(fragment);
  }
  return fragments;
}

void write(const fs::path& path, const std::string& data, fs::perms perms = fs::perms(0644)) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << data;
  fs::permissions(path, perms);
}

void write_program(const fs::path& dir) {
  fs::create_directories(dir);
  fs::copy_file("/bin/true", dir / "run", fs::copy_options::overwrite_existing);
  fs::permissions(dir / "run", fs::perms(0755));
}

void make_app(const fs::path& root) {
  write_program(root);
  std::vector<std::string> words = make_vocabulary();
  std::vector<std::string> fragments = make_fragments();

  // Directories: packages with nested modules, like site-packages.
  std::vector<std::string> dirs = {"lib"};
  while (dirs.size() < DIRECTORIES) {
    const std::string& parent = dirs[uniform(dirs.size())];
    if (std::count(parent.begin(), parent.end(), '/') >= 6) continue;
    dirs.push_back(parent + "/" + words[uniform(words.size())]);
  }
  std::sort(dirs.begin(), dirs.end());
  dirs.erase(std::unique(dirs.begin(), dirs.end()), dirs.end());

  std::lognormal_distribution<double> small_size(std::log(5000.0), 1.1);
  const char* extensions[] = {".py", ".py", ".py", ".pyc", ".so", ".txt", ".json", ".pyi"};
  for (int i = 0; i < FILES; ++i) {
    std::string ext = extensions[uniform(8)];
    size_t size = std::min<size_t>(static_cast<size_t>(small_size(rng)), 400000);
    std::string data;
    if (ext == ".so" || ext == ".pyc")
      append_binary(data, size, fragments);
    else
      append_text(data, size, words);
    std::string name = dirs[uniform(dirs.size())] + "/" + words[uniform(words.size())] + "_" + std::to_string(i) + ext;
    write(root / name, data, ext == ".so" ? fs::perms(0755) : fs::perms(0644));
  }
  for (int i = 0; i < BIG_FILES; ++i) {
    std::string data;
    size_t size = (11 + uniform(8)) << 20;
    if (i % 2)
      append_text(data, size, words);
    else
      append_binary(data, size, fragments);
    write(root / ("lib/big/libbundle_" + std::to_string(i) + ".so"), data, fs::perms(0755));
  }
}

// Fewer, larger files: bundled libraries and data, 4 to 12 MiB each.
void make_large(const fs::path& root) {
  write_program(root);
  std::vector<std::string> words = make_vocabulary();
  std::vector<std::string> fragments = make_fragments();
  for (int i = 0; i < LARGE_FILES; ++i) {
    std::string data;
    size_t size = (4 + uniform(9)) << 20;
    if (i % 3 == 0)
      append_text(data, size, words);
    else
      append_binary(data, size, fragments);
    write(root / ("lib/part" + std::to_string(i / 6) + "/blob_" + std::to_string(i) + ".bin"), data);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: bench_generate app|large|tiny DIR [SEED]\n");
    return 2;
  }
  std::string kind = argv[1];
  fs::path dir = argv[2];
  rng.seed(argc > 3 ? std::stoull(argv[3]) : 20261209);
  fs::remove_all(dir);
  if (kind == "app")
    make_app(dir);
  else if (kind == "large")
    make_large(dir);
  else if (kind == "tiny")
    write_program(dir);
  else
    return 2;
  return 0;
}
