#include "pack/files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace vorlix::pack {

void fail(const std::string& what, const std::string& why) { throw std::runtime_error(what + ": " + why); }

std::string errno_text(int error_number) { return strerror(error_number); }

struct stat stat_or_fail(const std::filesystem::path& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) fail(path.string(), errno_text(errno));
  return status;
}

struct stat lstat_or_fail(const std::filesystem::path& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) fail(path.string(), errno_text(errno));
  return status;
}

const char* file_kind(mode_t mode) {
  if (S_ISDIR(mode)) return "directory";
  if (S_ISFIFO(mode)) return "fifo";
  if (S_ISSOCK(mode)) return "socket";
  if (S_ISCHR(mode)) return "character device";
  if (S_ISBLK(mode)) return "block device";
  if (S_ISLNK(mode)) return "symbolic link";
  if (S_ISREG(mode)) return "regular file";
  return "special file";
}

std::vector<std::string> list_directory(const std::filesystem::path& directory) {
  DIR* d = opendir(directory.c_str());
  if (d == nullptr) fail(directory.string(), errno_text(errno));
  std::vector<std::string> names;
  errno = 0;
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    errno = 0;
  }
  int error = errno;
  closedir(d);
  if (error != 0) fail(directory.string(), errno_text(error));
  return names;
}

std::string read_link(const std::filesystem::path& path) {
  std::vector<char> buffer(4096);
  for (;;) {
    ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0) fail(path.string(), errno_text(errno));
    if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<size_t>(n));
    buffer.resize(buffer.size() * 2);
  }
}

int open_for_reading(const std::filesystem::path& path) {
  // Without blocking: a file swapped for a FIFO must not hang the packer.
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) fail(path.string(), "cannot read: " + errno_text(errno));
  return fd;
}

std::string read_whole_file(const std::string& path) {
  MappedFile file(path);
  return std::string(file.bytes());
}

void copy_file_exactly(const std::filesystem::path& path, uint64_t size, std::vector<char>& buffer,
                       const std::function<void(const void*, size_t)>& sink) {
  int fd = open_for_reading(path);
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || static_cast<uint64_t>(status.st_size) != size) {
    close(fd);
    fail(path.string(), "changed while packing");
  }
  uint64_t left = size;
  while (left > 0) {
    ssize_t n = read(fd, buffer.data(), static_cast<size_t>(std::min<uint64_t>(left, buffer.size())));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int error = n < 0 ? errno : 0;
      close(fd);
      fail(path.string(), error != 0 ? "cannot read: " + errno_text(error) : "changed while packing");
    }
    sink(buffer.data(), static_cast<size_t>(n));
    left -= static_cast<uint64_t>(n);
  }
  char extra;
  ssize_t more = read(fd, &extra, 1);
  close(fd);
  if (more != 0) fail(path.string(), "changed while packing");
}

void write_all(int fd, const void* data, size_t size, const std::string& what) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(what, "cannot write: " + errno_text(errno));
    p += n;
    size -= static_cast<size_t>(n);
  }
}

int online_cpus() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

std::string human_size(uint64_t bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  if (unit == 0)
    snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
  else
    snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return text;
}

MappedFile::MappedFile(const std::string& path) {
  // Opened without blocking, then checked: a FIFO is refused at once rather
  // than waited on.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) fail(path, errno_text(errno));
  struct stat status;
  if (fstat(fd, &status) != 0) {
    int error = errno;
    close(fd);
    fail(path, errno_text(error));
  }
  if (!S_ISREG(status.st_mode)) {
    close(fd);
    fail(path, std::string("not a regular file (a ") + file_kind(status.st_mode) + ")");
  }
  size_ = static_cast<size_t>(status.st_size);
  if (size_ > 0) {
    data_ = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (data_ == MAP_FAILED) {
      int error = errno;
      close(fd);
      fail(path, errno_text(error));
    }
  }
  close(fd);
}

MappedFile::~MappedFile() {
  if (data_ != nullptr) munmap(data_, size_);
}

}  // namespace vorlix::pack
