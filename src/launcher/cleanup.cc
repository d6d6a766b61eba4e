#include "launcher/cleanup.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "state/launch_state.h"
#include "platform/platform.h"

namespace {

// Removes the entries of the open directory |fd|, |depth| levels below the
// tree's root. Entries already handed out may be removed while the
// directory is read: that never hides the others.
int remove_entries(int fd, unsigned depth) {
  char* buffer = platform_directory_buffer(depth);
  if (buffer == nullptr) return -1;
  for (;;) {
    long filled = platform_read_directory(fd, buffer);
    if (filled < 0) return -1;
    if (filled == 0) return 0;
    long offset = 0;
    PlatformEntryKind kind;
    while (const char* name = platform_next_directory_entry(buffer, filled, &offset, &kind)) {
      if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
      // The record usually says whether the entry is a directory; only when
      // it does not is the entry's status read.
      if (kind == PLATFORM_ENTRY_UNKNOWN) {
        struct stat status;
        if (fstatat(fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return -1;
        kind = S_ISDIR(status.st_mode) ? PLATFORM_ENTRY_DIRECTORY : PLATFORM_ENTRY_OTHER;
      }
      if (kind != PLATFORM_ENTRY_DIRECTORY) {
        if (unlinkat(fd, name, 0) != 0) return -1;
        continue;
      }
      int child = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child < 0) return -1;
      int result = remove_entries(child, depth + 1);
      close(child);
      if (result != 0) return result;
      unlinkat(fd, name, AT_REMOVEDIR);
    }
  }
}

}  // namespace

void clean_up() {
  static volatile sig_atomic_t done;
  if (done || !extraction_started || !target_directory_made) return;
  done = 1;
  remove_directory_tree(target_directory);
}

int remove_directory_tree(const char* path) {
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  int result = remove_entries(fd, 0);
  close(fd);
  if (result != 0) return result;
  rmdir(path);
  return 0;
}
