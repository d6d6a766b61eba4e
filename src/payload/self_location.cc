#include "payload/self_location.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "format/package_format.h"
#include "state/launch_state.h"
#include "payload/payload_reader.h"
#include "platform/platform.h"

char own_path[OWN_PATH_SIZE];
MappedFile own_file;
const unsigned char* payload_start;
uint64_t payload_length;

const char* find_own_executable() {
  if (own_path[0] != '\0') return own_path;
  if (!platform_own_executable_path(own_path, sizeof own_path)) abort();
  return own_path;
}

static void fail_mapping(MappedFile* file, const char* operation) {
  file->failed = true;
  file->saved_errno = errno;
  file->failed_operation = operation;
}

void map_file_readonly(MappedFile* file, const char* path) { map_open_file(file, open(path, O_RDONLY | O_CLOEXEC)); }

void map_open_file(MappedFile* file, int fd) {
  file->fd = fd;
  if (file->fd == -1) {
    fail_mapping(file, "open");
    return;
  }
  file->length = lseek(file->fd, 0, SEEK_END);
  if (file->length == -1 || lseek(file->fd, 0, SEEK_SET) == -1) {
    fail_mapping(file, "lseek");
    close(file->fd);
    return;
  }
  void* base = mmap(nullptr, static_cast<size_t>(file->length), PROT_READ, MAP_PRIVATE, file->fd, 0);
  if (base == MAP_FAILED) {
    fail_mapping(file, "mmap");
    close(file->fd);
    return;
  }
  file->base = static_cast<const unsigned char*>(base);
  file->failed = false;
}

void locate_payload() {
  const char* own = find_own_executable();
  map_open_file(&own_file, platform_open_own_executable(own));
  if (own_file.failed) {
    char message[64];
    snprintf(message, sizeof message, "Error, couldn't find attached data:%s", own_file.failed_operation);
    report_errno(message, own_file.saved_errno);
    exit(2);
  }
  payload_input_is_file_mapping = true;
  read_payload_trailer();
}

void read_payload_trailer() {
  uint64_t size = static_cast<uint64_t>(own_file.length);
  uint64_t offset;
  payload_start = nullptr;
  payload_length = 0;
  if (size >= PAYLOAD_TRAILER_SIZE) {
    payload_length = read_le64(own_file.base + size - PAYLOAD_TRAILER_SIZE);
    if (payload_offset(size, payload_length, &offset)) payload_start = own_file.base + offset;
  }
}

CompressedStream check_payload_header(const unsigned char* start, uint64_t length) {
  if (start == nullptr || memcmp(start, PAYLOAD_HEADER, PAYLOAD_HEADER_SIZE) != 0) {
    puts("Error, couldn't find attached data header.");
    exit(2);
  }
  return CompressedStream{start + PAYLOAD_HEADER_SIZE, length - PAYLOAD_HEADER_SIZE};
}
