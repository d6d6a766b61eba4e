// File system helpers of vorlix-pack. Failures throw std::runtime_error with
// the text "<path>: <why>".
#ifndef VORLIX_PACK_FILES_H_
#define VORLIX_PACK_FILES_H_

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vorlix::pack {

[[noreturn]] void fail(const std::string& what, const std::string& why);
std::string errno_text(int error_number);

struct stat stat_or_fail(const std::filesystem::path& path);
struct stat lstat_or_fail(const std::filesystem::path& path);
// "directory", "fifo", "socket", "character device", ...
const char* file_kind(mode_t mode);

// The names in |directory|, without "." and "..", in no particular order.
std::vector<std::string> list_directory(const std::filesystem::path& directory);
std::string read_link(const std::filesystem::path& path);
int open_for_reading(const std::filesystem::path& path);
std::string read_whole_file(const std::string& path);

// Feeds exactly |size| bytes of the regular file at |path| to |sink|, or
// fails if the file is no longer that file of that size.
void copy_file_exactly(const std::filesystem::path& path, uint64_t size, std::vector<char>& buffer,
                       const std::function<void(const void*, size_t)>& sink);

void write_all(int fd, const void* data, size_t size, const std::string& what);

int online_cpus();
std::string human_size(uint64_t bytes);

// A whole file mapped read-only.
class MappedFile {
 public:
  explicit MappedFile(const std::string& path);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  std::string_view bytes() const { return {static_cast<const char*>(data_), size_}; }

 private:
  void* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace vorlix::pack

#endif  // VORLIX_PACK_FILES_H_
