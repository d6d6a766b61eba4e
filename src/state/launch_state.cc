#include "state/launch_state.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <stdlib.h>
#include <string.h>

char target_directory[TARGET_DIRECTORY_SIZE];
char exec_path[EXEC_PATH_SIZE];
volatile sig_atomic_t extraction_started;
volatile sig_atomic_t target_directory_made;
volatile sig_atomic_t stop_signal;
volatile pid_t child_pid;
int run_directory_fd = -1;
dev_t run_directory_device;
ino_t run_directory_inode;

void report_errno(const char* message, int error_number) {
  fprintf(stderr, "%s: %s\n", message, strerror(error_number));
}

bool hold_run_directory(const char* path, int lock, bool* busy) {
  // Inherited by the program on purpose: the lock lasts as long as any
  // process of the run.
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (fd < 0) return false;
  struct stat status;
  if (fstat(fd, &status) != 0 || status.st_uid != geteuid() || (status.st_mode & 022) != 0) {
    close(fd);
    errno = EPERM;
    return false;
  }
  // Where the file system has no locks, the directory goes unlocked.
  bool locked = flock(fd, lock | LOCK_NB) == 0;
  if (busy != nullptr) *busy = !locked && errno == EWOULDBLOCK;
  if (run_directory_fd >= 0) close(run_directory_fd);
  run_directory_fd = fd;
  run_directory_device = status.st_dev;
  run_directory_inode = status.st_ino;
  return true;
}

void release_run_directory() {
  if (run_directory_fd >= 0) close(run_directory_fd);
  run_directory_fd = -1;
}

bool run_directory_is_at(const char* path) {
  struct stat status;
  return run_directory_fd >= 0 && lstat(path, &status) == 0 && S_ISDIR(status.st_mode) &&
         status.st_dev == run_directory_device && status.st_ino == run_directory_inode;
}
