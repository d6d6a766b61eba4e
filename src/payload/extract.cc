#include "payload/extract.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "format/package_format.h"
#include "state/launch_state.h"
#include "payload/payload_reader.h"

char* created_dirs[CREATED_DIRS_MAX];
int created_dirs_count;

namespace {

constexpr size_t ENTRY_NAME_SIZE = ENTRY_NAME_MAX + 1;
constexpr size_t ENTRY_PATH_SIZE = ENTRY_PATH_MAX + 1;
constexpr size_t COPY_BUFFER_SIZE = 32768;

char entry_name[ENTRY_NAME_SIZE];
char entry_path[ENTRY_PATH_SIZE];
unsigned char copy_buffer[COPY_BUFFER_SIZE];

// Names, targets and paths that do not fit their buffers end the launcher
// without writing anything of the entry.
[[noreturn]] void fail_too_long() {
  report_errno("Error, couldn't unpack file to target path.", ENAMETOOLONG);
  exit(2);
}

[[noreturn]] void fail_open(const char* path) {
  fprintf(stderr, "Error, failed to open '%s' for writing.\n", path);
  exit(2);
}

[[noreturn]] void fail_unpack(int error_number) {
  report_errno("Error, couldn't unpack file to target path.", error_number);
  exit(2);
}

// Reads a NUL-terminated field into entry_name, one byte at a time. Stops at
// the buffer's limit rather than reading on.
void read_text_field() {
  size_t length = 0;
  for (;;) {
    unsigned char c;
    payload_read(&c, 1);
    if (c == '\0') break;
    if (length == ENTRY_NAME_MAX) fail_too_long();
    entry_name[length++] = static_cast<char>(c);
  }
  entry_name[length] = '\0';
}

// Appends |piece| to entry_path of |*length| characters, or ends the launcher.
void append_to_entry_path(size_t* length, const char* piece) {
  size_t size = strlen(piece);
  if (*length + size >= ENTRY_PATH_SIZE) fail_too_long();
  memcpy(entry_path + *length, piece, size + 1);
  *length += size;
}

// Entries of one directory usually come one after another, so the last
// directory found is tried first; the answer is the same as a full scan's.
int last_found = -1;

bool is_recorded(const char* directory) {
  if (last_found >= 0 && last_found < created_dirs_count && strcmp(created_dirs[last_found], directory) == 0)
    return true;
  for (int i = 0; i < created_dirs_count; ++i) {
    if (strcmp(created_dirs[i], directory) == 0) {
      last_found = i;
      return true;
    }
  }
  return false;
}

void record_directory(const char* directory) {
  if (created_dirs_count >= CREATED_DIRS_MAX) return;
  char* copy = strdup(directory);
  if (copy == nullptr) return;  // not remembered; the disk is asked again later
  created_dirs[created_dirs_count++] = copy;
}

// Makes the target directory for the first entry written. Its name is
// predictable, so whatever already stands there (a directory, or a link
// planted by someone else) is refused rather than written through.
void make_target_directory() {
  create_parent_directories(target_directory);
  if (mkdir(target_directory, 0700) != 0) fail_open(entry_path);
  target_directory_made = 1;
  record_directory(target_directory);
}

}  // namespace

void adopt_target_directory() {
  target_directory_made = 1;
  record_directory(target_directory);
}

namespace {

void prepare_parent_directories() {
  if (!target_directory_made) make_target_directory();
  create_parent_directories(entry_path);
}

void extract_link() {
  read_text_field();
  prepare_parent_directories();
  unlink(entry_path);
  if (symlink(entry_name, entry_path) != 0) fail_open(entry_path);
}

void make_executable(FILE* file) {
  int fd = fileno(file);
  struct stat status;
  if (fstat(fd, &status) != 0) {
    report_errno("fstat", errno);
    return;  // no mode to start from: leave it as it is
  }
  if (fchmod(fd, executable_mode(status.st_mode)) != 0) report_errno("fchmod", errno);
}

void extract_file(unsigned char flags) {
  unsigned char size_bytes[8];
  payload_read(size_bytes, sizeof size_bytes);
  uint64_t remaining = read_le64(size_bytes);
  prepare_parent_directories();
  FILE* file = fopen(entry_path, "wb");
  if (file == nullptr) fail_open(entry_path);
  // Content arrives in large pieces already; a stream buffer would only cost
  // an allocation and a status request per file. Write errors then surface
  // at fwrite rather than at fclose.
  setvbuf(file, nullptr, _IONBF, 0);
  while (remaining > 0) {
    size_t piece = remaining < COPY_BUFFER_SIZE ? static_cast<size_t>(remaining) : COPY_BUFFER_SIZE;
    payload_read(copy_buffer, piece);
    if (fwrite(copy_buffer, 1, piece, file) != piece) fail_unpack(errno);
    remaining -= piece;
  }
  if (flags & ENTRY_FLAG_EXECUTABLE) make_executable(file);
  if (fclose(file) != 0) fail_unpack(errno);
}

}  // namespace

void create_parent_directories(const char* path) {
  char directory[ENTRY_PATH_SIZE];
  size_t length = strlen(path);
  if (length >= sizeof directory) abort();
  memcpy(directory, path, length + 1);

  // The first character is never a cut point: "/x" and "x" have no parent
  // to make.
  size_t cut = length;
  while (cut > 1 && directory[cut - 1] != '/') --cut;
  if (cut <= 1) return;
  directory[cut - 1] = '\0';

  if (is_recorded(directory)) return;
  if (access(directory, F_OK) == 0 || mkdir(directory, 0700) == 0) {
    record_directory(directory);
    return;
  }
  create_parent_directories(directory);
  if (access(directory, F_OK) == 0 || mkdir(directory, 0700) == 0) record_directory(directory);
}

void extract_archive() {
  for (;;) {
    read_text_field();
    if (entry_name[0] == '\0') return;

    size_t length = 0;
    entry_path[0] = '\0';
    append_to_entry_path(&length, target_directory);
    append_to_entry_path(&length, "/");
    append_to_entry_path(&length, entry_name);

    if (exec_path[0] == '\0') {
      if (length >= EXEC_PATH_SIZE) fail_too_long();
      memcpy(exec_path, entry_path, length + 1);
    }

    unsigned char flags;
    payload_read(&flags, 1);
    if (flags & ENTRY_FLAG_SYMLINK)
      extract_link();
    else
      extract_file(flags);
  }
}
