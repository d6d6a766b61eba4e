#include "launcher/cache_upkeep.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "launcher/remove_tree.h"
#include "launcher/trace.h"
#include "state/launch_state.h"

namespace {

constexpr char DEFAULT_PREFIX[] = "{CACHE_DIR}/vorlix/";

bool is_lower_hex(const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i)
    if (!((text[i] >= '0' && text[i] <= '9') || (text[i] >= 'a' && text[i] <= 'f'))) return false;
  return true;
}

// Joins |parent|, "/" and |name|; false when that does not fit.
bool join_path(char* out, size_t size, const char* parent, const char* name) {
  int length = snprintf(out, size, "%s/%s", parent, name);
  return length >= 0 && static_cast<size_t>(length) < size;
}

// Opens |path|, a directory of this user's, and locks it exclusively at once;
// -1 when it is not one or a run holds it.
int lock_unused(const char* path) {
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat status;
  if (fstat(fd, &status) != 0 || status.st_uid != geteuid() || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool is_default_cache_spec(const char* spec, const char* hash) {
  size_t prefix = sizeof DEFAULT_PREFIX - 1;
  if (strncmp(spec, DEFAULT_PREFIX, prefix) != 0) return false;
  const char* name = spec + prefix;
  size_t length = strlen(name);
  size_t hash_length = strlen(hash);
  return strchr(name, '/') == nullptr && hash_length > 0 && length > hash_length + 1 &&
         name[length - hash_length - 1] == '-' && strcmp(name + length - hash_length, hash) == 0;
}

bool is_private_directory(const char* entry, const char* name) {
  size_t length = strlen(entry);
  size_t tail = sizeof PARTIAL_INFIX - 1 + UNIQUE_SUFFIX_LENGTH;
  if (entry[0] != '.' || length < 2 + tail || strncmp(entry + length - tail, PARTIAL_INFIX, sizeof PARTIAL_INFIX - 1) != 0)
    return false;
  if (name == nullptr) return true;
  size_t name_length = strlen(name);
  return length == 1 + name_length + tail && strncmp(entry + 1, name, name_length) == 0;
}

bool make_private_name(const char* parent, const char* name, char* path, size_t size) {
  int length = snprintf(path, size, "%s/.%s%sXXXXXX", parent, name, PARTIAL_INFIX);
  if (length < 0 || static_cast<size_t>(length) >= size) {
    errno = ENAMETOOLONG;
    return false;
  }
  return mkdtemp(path) != nullptr;
}

void remove_leftovers(const char* parent, const char* name) {
  DIR* directory = opendir(parent);
  if (directory == nullptr) return;
  while (struct dirent* entry = readdir(directory)) {
    if (!is_private_directory(entry->d_name, name)) continue;
    char path[TARGET_DIRECTORY_SIZE];
    if (!join_path(path, sizeof path, parent, entry->d_name)) continue;
    int fd = lock_unused(path);
    if (fd < 0) continue;
    trace("removing leftover %s", path);
    remove_directory_tree(path, true);
    close(fd);
  }
  closedir(directory);
}

bool move_aside(const char* parent, const char* name) {
  char from[TARGET_DIRECTORY_SIZE];
  char to[TARGET_DIRECTORY_SIZE];
  if (!join_path(from, sizeof from, parent, name) || !make_private_name(parent, name, to, sizeof to)) return false;
  // The fresh empty directory is replaced by the one moved aside.
  if (rename(from, to) == 0) return true;
  int error = errno;
  rmdir(to);
  errno = error;
  return false;
}

void remove_old_versions(const char* parent, const char* name, size_t hash_length) {
  size_t name_length = strlen(name);
  if (name_length <= hash_length) return;
  size_t base_length = name_length - hash_length;  // "<package>-"
  DIR* directory = opendir(parent);
  if (directory == nullptr) return;
  while (struct dirent* entry = readdir(directory)) {
    const char* other = entry->d_name;
    if (strlen(other) != name_length || strcmp(other, name) == 0 || strncmp(other, name, base_length) != 0 ||
        !is_lower_hex(other + base_length, hash_length))
      continue;
    char path[TARGET_DIRECTORY_SIZE];
    char aside[TARGET_DIRECTORY_SIZE];
    if (!join_path(path, sizeof path, parent, other)) continue;
    int fd = lock_unused(path);
    if (fd < 0) continue;
    // Renamed aside first, so that a run of that version that starts now
    // finds it gone rather than half removed.
    if (make_private_name(parent, other, aside, sizeof aside)) {
      if (rename(path, aside) == 0) {
        trace("removing old version %s", path);
        remove_directory_tree(aside, true);
      } else {
        rmdir(aside);
      }
    }
    close(fd);
  }
  closedir(directory);
}
