#include "payload/extract.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "format/package_format.h"
#include "state/launch_state.h"
#include "payload/payload_reader.h"

char* created_dirs[CREATED_DIRS_MAX];
int created_dirs_count;
long extracted_entries;
unsigned long long extracted_bytes;

namespace {

constexpr size_t ENTRY_NAME_SIZE = ENTRY_NAME_MAX + 1;
constexpr size_t ENTRY_PATH_SIZE = ENTRY_PATH_MAX + 1;
constexpr size_t COPY_BUFFER_SIZE = 32768;

char entry_name[ENTRY_NAME_SIZE];
char entry_path[ENTRY_PATH_SIZE];

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

// An index over created_dirs, so that looking a directory up costs one hash
// and (almost always) one comparison rather than a scan of every record: an
// open-addressed table of record numbers plus one, twice as large as the
// memo can grow. It gives the same answers as a scan.
constexpr unsigned MEMO_INDEX_SIZE = 2 * CREATED_DIRS_MAX;
unsigned short memo_index[MEMO_INDEX_SIZE];

unsigned memo_hash(const char* text) {
  uint32_t hash = 2166136261u;
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != '\0'; ++c) hash = (hash ^ *c) * 16777619u;
  return hash % MEMO_INDEX_SIZE;
}

bool is_recorded(const char* directory) {
  for (unsigned slot = memo_hash(directory); memo_index[slot] != 0; slot = (slot + 1) % MEMO_INDEX_SIZE)
    if (strcmp(created_dirs[memo_index[slot] - 1], directory) == 0) return true;
  return false;
}

void record_directory(const char* directory) {
  if (created_dirs_count >= CREATED_DIRS_MAX) return;
  char* copy = strdup(directory);
  if (copy == nullptr) return;  // not remembered; the disk is asked again later
  unsigned slot = memo_hash(copy);
  while (memo_index[slot] != 0) slot = (slot + 1) % MEMO_INDEX_SIZE;
  created_dirs[created_dirs_count++] = copy;
  memo_index[slot] = static_cast<unsigned short>(created_dirs_count);
}

// Makes the target directory for the first entry written. Its name is
// predictable, so whatever already stands there (a directory, or a link
// planted by someone else) is refused rather than written through.
void make_target_directory() {
  create_parent_directories(target_directory);
  if (mkdir(target_directory, 0700) != 0) fail_open(entry_path);
  target_directory_made = 1;
  if (!hold_run_directory(target_directory, LOCK_SH)) fail_open(entry_path);
  record_directory(target_directory);
}

}  // namespace

void forget_directories() {
  for (int i = 0; i < created_dirs_count; ++i) free(created_dirs[i]);
  created_dirs_count = 0;
  memset(memo_index, 0, sizeof memo_index);
}

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

// Writes one file; false when a termination signal stopped it part way.
bool extract_file(unsigned char flags) {
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
  // Content goes to the file straight from the decoder's window, in pieces
  // of at most COPY_BUFFER_SIZE bytes (fewer where a window ends).
  while (remaining > 0) {
    if (stop_signal != 0) {
      fclose(file);
      return false;
    }
    size_t piece;
    const unsigned char* data = payload_read_in_place(remaining < COPY_BUFFER_SIZE ? remaining : COPY_BUFFER_SIZE, &piece);
    if (fwrite(data, 1, piece, file) != piece) fail_unpack(errno);
    remaining -= piece;
    extracted_bytes += piece;
  }
  if (flags & ENTRY_FLAG_EXECUTABLE) make_executable(file);
  if (fclose(file) != 0) fail_unpack(errno);
  return true;
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

bool extract_archive() {
  for (;;) {
    if (stop_signal != 0) return false;
    read_text_field();
    if (entry_name[0] == '\0') return true;

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
    ++extracted_entries;
    if (flags & ENTRY_FLAG_SYMLINK)
      extract_link();
    else if (!extract_file(flags))
      return false;
  }
}
