#include "launcher/cache.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "launcher/configuration.h"
#include "launcher/launch_steps.h"
#include "launcher/remove_tree.h"
#include "launcher/signals.h"
#include "payload/extract.h"
#include "state/launch_state.h"

namespace {

// The kept directory; target_directory names the private one while it is
// written.
char cache_directory[TARGET_DIRECTORY_SIZE];
// Private directories are ".<name of the kept one>.partial-XXXXXX".
constexpr char PARTIAL_INFIX[] = ".partial-";
constexpr size_t UNIQUE_SUFFIX_LENGTH = 6;

// Joins |a|, |b| and |c| into |out| of |size| bytes; false when that does
// not fit.
bool join(char* out, size_t size, const char* a, const char* b, const char* c) {
  int length = snprintf(out, size, "%s%s%s", a, b, c);
  return length >= 0 && static_cast<size_t>(length) < size;
}

[[noreturn]] void refuse(const char* why) {
  fprintf(stderr, "Error, cache directory '%s' %s.\n", cache_directory, why);
  exit(2);
}

[[noreturn]] void fail_with_errno(const char* what, int error_number) {
  char message[TARGET_DIRECTORY_SIZE + 64];
  snprintf(message, sizeof message, "Error, couldn't %s '%s'", what, cache_directory);
  report_errno(message, error_number);
  exit(2);
}

// True when the directory is there and complete; false when it is absent.
// Refuses everything else.
bool cache_directory_is_ready() {
  struct stat status;
  if (lstat(cache_directory, &status) != 0) {
    if (errno == ENOENT) return false;
    fail_with_errno("inspect cache directory", errno);
  }
  if (!S_ISDIR(status.st_mode)) refuse("is not a directory");
  if (status.st_uid != geteuid()) refuse("belongs to another user");
  if (status.st_mode & (S_IWGRP | S_IWOTH)) refuse("is writable by group or others");
  char marker[TARGET_DIRECTORY_SIZE];
  char recorded[LAUNCHER_CONFIG_HASH_SIZE];
  if (!join(marker, sizeof marker, cache_directory, "/", CACHE_COMPLETE_MARKER)) refuse("has too long a path");
  ssize_t length = readlink(marker, recorded, sizeof recorded - 1);
  if (length < 0 || static_cast<size_t>(length) != strlen(launcher_config.payload_hash) ||
      memcmp(recorded, launcher_config.payload_hash, static_cast<size_t>(length)) != 0)
    refuse("holds no complete extraction of this package");
  return true;
}

// The directory that holds the kept one, and the kept one's own name.
void split_cache_directory(char* parent, size_t size, const char** name) {
  const char* slash = strrchr(cache_directory, '/');
  *name = slash != nullptr ? slash + 1 : cache_directory;
  size_t length = slash == nullptr ? 0 : slash == cache_directory ? 1 : static_cast<size_t>(slash - cache_directory);
  if (length == 0) {
    snprintf(parent, size, ".");
  } else {
    memcpy(parent, cache_directory, length);
    parent[length] = '\0';
  }
}

// Whether |entry| names a private directory of the kept directory |name|.
bool is_private_directory(const char* entry, const char* name) {
  size_t name_length = strlen(name);
  return entry[0] == '.' && strncmp(entry + 1, name, name_length) == 0 &&
         strncmp(entry + 1 + name_length, PARTIAL_INFIX, sizeof PARTIAL_INFIX - 1) == 0 &&
         strlen(entry) == 1 + name_length + sizeof PARTIAL_INFIX - 1 + UNIQUE_SUFFIX_LENGTH;
}

// Removes the private directories of earlier runs that died while writing
// them: those of this user that no running launcher holds locked. Runs with
// the parent locked, so no launcher is between making its private directory
// and locking it. (No clean-up can run meanwhile: nothing is being extracted
// yet, so the handler removes nothing.)
void remove_leftovers(const char* parent, const char* name) {
  DIR* directory = opendir(parent);
  if (directory == nullptr) return;
  while (struct dirent* entry = readdir(directory)) {
    const char* leftover = entry->d_name;
    if (!is_private_directory(leftover, name)) continue;
    char path[TARGET_DIRECTORY_SIZE];
    if (!join(path, sizeof path, parent, "/", leftover)) continue;
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat status;
    if (fstat(fd, &status) == 0 && status.st_uid == geteuid() && flock(fd, LOCK_EX | LOCK_NB) == 0)
      remove_directory_tree(path, true);
    close(fd);
  }
  closedir(directory);
}

// Opens the kept directory's parent and locks it against other launchers'
// leftover removal; -1 when it cannot be opened. Where the file system has
// no locks, leftovers are left alone.
int lock_parent(const char* parent, bool* locked) {
  int fd = open(parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  *locked = fd >= 0 && flock(fd, LOCK_EX) == 0;
  return fd;
}

// Whether the parent holds any private directory of the kept one: a cheap
// look, so that a run that extracts nothing locks nothing either.
bool leftovers_present(const char* parent, const char* name) {
  DIR* directory = opendir(parent);
  if (directory == nullptr) return false;
  bool found = false;
  while (struct dirent* entry = readdir(directory)) found = found || is_private_directory(entry->d_name, name);
  closedir(directory);
  return found;
}

// After a run that found the directory complete: removes what earlier runs
// that died while extracting left beside it.
void remove_leftovers_beside_cache() {
  char parent[TARGET_DIRECTORY_SIZE];
  const char* name;
  split_cache_directory(parent, sizeof parent, &name);
  if (!leftovers_present(parent, name)) return;
  bool locked;
  int parent_fd = lock_parent(parent, &locked);
  if (locked) remove_leftovers(parent, name);
  if (parent_fd >= 0) close(parent_fd);
}

// Makes the private directory beside the kept one, locked for as long as
// this process lives (the lock goes with the exec), and makes it the target
// directory.
void make_private_directory() {
  char parent[TARGET_DIRECTORY_SIZE];
  const char* name;
  split_cache_directory(parent, sizeof parent, &name);
  create_parent_directories(cache_directory);
  bool parent_locked;
  int parent_fd = lock_parent(parent, &parent_locked);
  if (parent_fd < 0) fail_with_errno("make cache directory", errno);
  if (parent_locked) remove_leftovers(parent, name);

  char pattern[TARGET_DIRECTORY_SIZE];
  char infix[sizeof PARTIAL_INFIX + UNIQUE_SUFFIX_LENGTH];
  snprintf(infix, sizeof infix, "%sXXXXXX", PARTIAL_INFIX);
  if (snprintf(pattern, sizeof pattern, "%s/.%s%s", parent, name, infix) >= static_cast<int>(sizeof pattern))
    refuse("has too long a path");
  if (mkdtemp(pattern) == nullptr) fail_with_errno("make cache directory", errno);
  int lock = open(pattern, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) fail_with_errno("make cache directory", errno);
  close(parent_fd);  // releases the parent's lock

  memcpy(target_directory, pattern, strlen(pattern) + 1);
  adopt_target_directory();
}

// Records the payload's hash in the private directory and renames it into
// place, with the handled signals blocked. A run that lost the race removes
// its copy and uses the winner's.
void move_into_place() {
  sigset_t previous;
  block_handled_signals(&previous);
  stop_if_terminated();
  char marker[TARGET_DIRECTORY_SIZE];
  if (!join(marker, sizeof marker, target_directory, "/", CACHE_COMPLETE_MARKER)) refuse("has too long a path");
  unlink(marker);
  if (symlink(launcher_config.payload_hash, marker) != 0) {
    int error = errno;
    remove_directory_tree(target_directory, true);
    fail_with_errno("make cache directory", error);
  }
  if (rename(target_directory, cache_directory) != 0) {
    int error = errno;
    remove_directory_tree(target_directory, true);
    if (error != EEXIST && error != ENOTEMPTY) fail_with_errno("make cache directory", error);
    cache_directory_is_ready();  // the winner's; refuses what is not complete
  }
  target_directory_made = 0;  // the kept directory is never removed
  restore_signal_mask(&previous);
}

}  // namespace

void prepare_cached_directory() {
  memcpy(cache_directory, target_directory, strlen(target_directory) + 1);
  if (cache_directory_is_ready()) {
    release_own_file();
    remove_leftovers_beside_cache();
  } else {
    make_private_directory();
    extract_payload();
    move_into_place();
  }
  if (!join(exec_path, sizeof exec_path, cache_directory, "/", launcher_config.exec_name))
    fail_with_errno("make cache directory", ENAMETOOLONG);
}

void exec_in_place(int argc, char** argv) {
  sigset_t previous;
  block_handled_signals(&previous);
  stop_if_terminated();
  exec_program(argc, argv);
}
