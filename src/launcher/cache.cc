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
#include <time.h>
#include <unistd.h>

#include "launcher/cache_upkeep.h"
#include "launcher/cleanup.h"
#include "launcher/configuration.h"
#include "launcher/launch_steps.h"
#include "launcher/remove_tree.h"
#include "launcher/run_directory.h"
#include "launcher/signals.h"
#include "launcher/trace.h"
#include "payload/extract.h"
#include "state/launch_state.h"

namespace {

// The kept directory; target_directory names the private one while it is
// written.
char cache_directory[TARGET_DIRECTORY_SIZE];
// Whether it lies in the default location, where every name is ours: its
// own leftovers, others' and old versions are removed there.
bool in_default_location;
// Private directories of which kept directory are leftovers to remove:
// those of any in the default location, else this one's.
const char* leftover_owner(const char* name) { return in_default_location ? nullptr : name; }

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

enum CacheState { CACHE_ABSENT, CACHE_READY, CACHE_INCOMPLETE, CACHE_BUSY };

// Looks at the kept directory: absent, ready (complete: it records this
// payload's hash), incomplete (a directory of this user's without that
// record), or busy (upkeep of another run holds it to remove it). Refuses
// anything else. A ready one is then held (run_directory_fd) with a shared
// lock that the program inherits, so that it is never removed while that
// runs.
CacheState inspect_cache_directory() {
  struct stat status;
  if (lstat(cache_directory, &status) != 0) {
    if (errno == ENOENT) return CACHE_ABSENT;
    fail_with_errno("inspect cache directory", errno);
  }
  if (!S_ISDIR(status.st_mode)) refuse("is not a directory");
  if (status.st_uid != geteuid()) refuse("belongs to another user");
  if (status.st_mode & (S_IWGRP | S_IWOTH)) refuse("is writable by group or others");
  bool busy;
  if (!hold_run_directory(cache_directory, LOCK_SH, &busy) || !run_directory_is_at(cache_directory))
    refuse("changed while it was inspected");
  if (busy) return CACHE_BUSY;
  char recorded[LAUNCHER_CONFIG_HASH_SIZE];
  ssize_t length = readlinkat(run_directory_fd, CACHE_COMPLETE_MARKER, recorded, sizeof recorded - 1);
  if (length < 0 || static_cast<size_t>(length) != strlen(launcher_config.payload_hash) ||
      memcmp(recorded, launcher_config.payload_hash, static_cast<size_t>(length)) != 0)
    return CACHE_INCOMPLETE;
  return CACHE_READY;
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

// How long a first run waits for another run of the same user to finish
// making its private directory, and how often it asks.
constexpr long LOCK_RETRY_NS = 10000000;
constexpr long LOCK_WAIT_LIMIT_S = 10;

// Takes the lock that guards the making and the removal of private
// directories in |parent|: a file only the user can open (mode 0600, not a
// link, the user's own), so no other user can hold it. Never waits in a
// blocking call: it asks again every 10 ms, for at most 10 s, and a
// termination signal ends the wait. Returns the descriptor; closing it
// releases the lock.
int lock_parent(const char* parent) {
  char path[TARGET_DIRECTORY_SIZE];
  if (!join(path, sizeof path, parent, "/", CACHE_LOCK_FILE)) refuse("has too long a path");
  int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) fail_with_errno("lock the directory holding cache directory", errno);
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid() ||
      (status.st_mode & 077) != 0) {
    fprintf(stderr, "Error, lock file '%s' belongs to another user or others can open it.\n", path);
    exit(2);
  }
  const struct timespec nap = {0, LOCK_RETRY_NS};
  for (long naps = 0; flock(fd, LOCK_EX | LOCK_NB) != 0; ++naps) {
    // Where the file system has no locks, private directories are made
    // without one, and leftovers are left alone (they cannot be locked
    // either).
    if (errno != EWOULDBLOCK && errno != EINTR) return fd;
    stop_if_terminated();
    if (naps * LOCK_RETRY_NS >= LOCK_WAIT_LIMIT_S * 1000000000L) {
      fprintf(stderr, "Error, lock file '%s' stayed locked by another run for %ld s.\n", path, LOCK_WAIT_LIMIT_S);
      exit(2);
    }
    nanosleep(&nap, nullptr);
  }
  return fd;
}

// Whether the parent holds any private directory of the kept one: a cheap
// look, so that a run that extracts nothing locks nothing either.
bool leftovers_present(const char* parent, const char* name) {
  DIR* directory = opendir(parent);
  if (directory == nullptr) return false;
  bool found = false;
  while (struct dirent* entry = readdir(directory))
    found = found || is_private_directory(entry->d_name, leftover_owner(name));
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
  int lock = lock_parent(parent);
  remove_leftovers(parent, leftover_owner(name));
  close(lock);
}

// Makes the private directory beside the kept one, locked (exclusively)
// for as long as any process of this run lives, and makes it the target
// directory.
void make_private_directory() {
  char parent[TARGET_DIRECTORY_SIZE];
  const char* name;
  split_cache_directory(parent, sizeof parent, &name);
  int lock = lock_parent(parent);
  remove_leftovers(parent, leftover_owner(name));
  char path[TARGET_DIRECTORY_SIZE];
  if (!make_private_name(parent, name, path, sizeof path)) fail_with_errno("make cache directory", errno);
  memcpy(target_directory, path, strlen(path) + 1);
  adopt_target_directory();
  if (!hold_run_directory(target_directory, LOCK_EX)) fail_with_errno("make cache directory", errno);
  close(lock);
}

// The first entry, which the extraction just wrote, must be the program the
// configuration names: a block edited to name another is refused.
void check_program_is_first_entry() {
  char expected[EXEC_PATH_SIZE];
  if (!join(expected, sizeof expected, target_directory, "/", launcher_config.exec_name) ||
      strcmp(expected, exec_path) != 0) {
    fprintf(stderr, "Error, damaged package configuration: its program is not the first entry.\n");
    exit(2);
  }
}

// Records the payload's hash in the private directory and renames it into
// place, with the handled signals blocked. A run that lost the race removes
// its copy and uses the winner's. Either way the kept directory is then
// held, with a shared lock that the program inherits.
void move_into_place() {
  sigset_t previous;
  block_handled_signals(&previous);
  stop_if_terminated();
  char marker[TARGET_DIRECTORY_SIZE];
  if (!join(marker, sizeof marker, target_directory, "/", CACHE_COMPLETE_MARKER)) refuse("has too long a path");
  unlink(marker);
  if (symlink(launcher_config.payload_hash, marker) != 0) fail_with_errno("make cache directory", errno);
  check_run_directory_at(target_directory);
  if (rename(target_directory, cache_directory) == 0) {
    trace("moved into place: %s", cache_directory);
    target_directory_made = 0;  // the kept directory is never removed
    flock(run_directory_fd, LOCK_SH | LOCK_NB);
  } else {
    int error = errno;
    if (error != EEXIST && error != ENOTEMPTY) fail_with_errno("make cache directory", error);
    trace("another run made %s first: using its tree", cache_directory);
    clean_up();
    target_directory_made = 0;
    // The winner's; refuses what is not complete.
    if (inspect_cache_directory() != CACHE_READY) refuse("holds no complete extraction of this package");
  }
  memcpy(target_directory, cache_directory, strlen(cache_directory) + 1);
  restore_signal_mask(&previous);
}

// The program in the kept directory: a regular file (links followed) of the
// user's own or root's, writable by no one else. Anything else in its place
// was not written by this package.
void check_program_file() {
  struct stat status;
  if (fstatat(run_directory_fd, launcher_config.exec_name, &status, 0) != 0) return;  // exec reports it
  if (!S_ISREG(status.st_mode) || (status.st_uid != geteuid() && status.st_uid != 0) ||
      (status.st_mode & (S_IWGRP | S_IWOTH))) {
    fprintf(stderr, "Error, program '%s/%s' is not a file of this user's that only they can change.\n",
            cache_directory, launcher_config.exec_name);
    exit(2);
  }
}

// How long a run waits for upkeep of another run to move a kept directory
// out of the way, and how often it looks.
constexpr long BUSY_NAP_NS = 10000000;
constexpr int BUSY_LOOKS_MAX = 500;

// The kept directory, waiting while another run's upkeep removes it (it is
// then absent). An incomplete one of the default location is moved aside
// (and removed once nothing holds it) and counts as absent; elsewhere it is
// refused.
CacheState look_at_cache_directory() {
  const struct timespec nap = {0, BUSY_NAP_NS};
  for (int looks = 0;; ++looks) {
    CacheState state = inspect_cache_directory();
    if (state == CACHE_INCOMPLETE && !in_default_location)
      refuse("holds no complete extraction of this package; remove it to extract the package again");
    if (state == CACHE_INCOMPLETE) {
      char parent[TARGET_DIRECTORY_SIZE];
      const char* name;
      split_cache_directory(parent, sizeof parent, &name);
      trace("repair: %s is incomplete, moving it aside", cache_directory);
      release_run_directory();  // so that it can be removed as a leftover
      if (!move_aside(parent, name)) fail_with_errno("move aside incomplete cache directory", errno);
      state = CACHE_ABSENT;
    }
    if (state != CACHE_BUSY) return state;
    release_run_directory();
    if (looks == BUSY_LOOKS_MAX) refuse("stayed locked by another run");
    stop_if_terminated();
    nanosleep(&nap, nullptr);
  }
}

}  // namespace

void prepare_cached_directory() {
  memcpy(cache_directory, target_directory, strlen(target_directory) + 1);
  in_default_location = is_default_cache_spec(target_dir_spec(), launcher_config.payload_hash);
  prepare_parent_of(cache_directory, false, true);
  if (look_at_cache_directory() == CACHE_READY) {
    trace("cache hit: %s", cache_directory);
    release_own_file();
    remove_leftovers_beside_cache();
  } else {
    prepare_parent_of(cache_directory, true, true);
    make_private_directory();
    trace("cache miss: extracting into %s", target_directory);
    extract_payload();
    check_program_is_first_entry();
    move_into_place();
    if (in_default_location) {
      char parent[TARGET_DIRECTORY_SIZE];
      const char* name;
      split_cache_directory(parent, sizeof parent, &name);
      remove_old_versions(parent, name, strlen(launcher_config.payload_hash));
    }
  }
  check_program_file();
  if (!join(exec_path, sizeof exec_path, cache_directory, "/", launcher_config.exec_name))
    fail_with_errno("make cache directory", ENAMETOOLONG);
}

void exec_in_place(int argc, char** argv) {
  sigset_t previous;
  block_handled_signals(&previous);
  stop_if_terminated();
  trace("running %s in the launcher's place", exec_path);
  exec_program(argc, argv);
}
