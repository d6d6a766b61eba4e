#include "launcher/sweep.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "launcher/remove_tree.h"

namespace {

enum Piece { PIECE_PID, PIECE_TIME, PIECE_OTHER, PIECE_UNCLOSED };

// Reads the placeholder that starts at |spec| ("{"); sets |*after| past its
// "}". As in the strict reading of specs, a "{" closes before the end and
// before another "{".
Piece read_placeholder(const char* spec, const char** after) {
  const char* close = spec + 1;
  while (*close != '\0' && *close != '}' && *close != '{') ++close;
  if (*close != '}') return PIECE_UNCLOSED;
  *after = close + 1;
  size_t length = static_cast<size_t>(close - spec - 1);
  if (length == 3 && strncasecmp(spec + 1, "PID", 3) == 0) return PIECE_PID;
  if (length == 4 && strncasecmp(spec + 1, "TIME", 4) == 0) return PIECE_TIME;
  return PIECE_OTHER;
}

// The most digits a process id up to INT_MAX has.
constexpr size_t PID_DIGITS_MAX = 10;

// What the placeholders stood for in the reading being tried, and the
// process ids the readings that matched gave.
struct Reading {
  const char* pid_text;
  size_t pid_length;
  const char* time_text;
  size_t time_length;
  int pid;        // of the first full match, 0 before one
  bool ambiguous;  // another full match gave another pid
};

size_t digits_at(const char* text) {
  size_t count = 0;
  while (text[count] >= '0' && text[count] <= '9') ++count;
  return count;
}

// The process id that |length| digits at |text| give, or 0 when it is 0 or
// more than INT_MAX.
int pid_value(const char* text, size_t length) {
  long long value = 0;
  for (size_t i = 0; i < length; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > INT_MAX) return 0;
  }
  return static_cast<int>(value);
}

// Whether reading on from |spec| and |name| ends in a full match that ends
// the search: a second reading with another pid (ambiguous) ends it too.
// Every reading is tried, so that a name two readings give different pids
// is never taken for either.
bool read_on(const char* spec, const char* name, Reading* reading) {
  while (*spec != '{') {
    if (*spec == '\0') {
      if (*name != '\0') return false;
      int pid = pid_value(reading->pid_text, reading->pid_length);
      if (reading->pid == 0) {
        reading->pid = pid;
      } else if (pid != reading->pid) {
        reading->ambiguous = true;
        return true;
      }
      return false;
    }
    if (*spec != *name) return false;
    ++spec;
    ++name;
  }
  const char* after = nullptr;
  bool is_pid = read_placeholder(spec, &after) == PIECE_PID;
  const char*& text = is_pid ? reading->pid_text : reading->time_text;
  size_t& length = is_pid ? reading->pid_length : reading->time_length;
  if (text != nullptr) {  // stands for what it stood for before
    if (strncmp(name, text, length) != 0) return false;
    return read_on(after, name + length, reading);
  }
  size_t digits = digits_at(name);
  bool ended = false;
  if (is_pid) {
    for (size_t n = 1; n <= digits && n <= PID_DIGITS_MAX && !ended; ++n) {
      if (pid_value(name, n) == 0) continue;
      text = name;
      length = n;
      ended = read_on(after, name + n, reading);
    }
  } else if (digits > 0 && name[digits] == '_') {
    size_t fraction = digits_at(name + digits + 1);
    for (size_t n = 1; n <= fraction && !ended; ++n) {
      text = name;
      length = digits + 1 + n;
      ended = read_on(after, name + length, reading);
    }
  }
  text = nullptr;
  length = 0;
  return ended;
}

bool elapsed_beyond(const struct timespec& start, long nanoseconds) {
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return true;
  long long elapsed = (now.tv_sec - start.tv_sec) * 1000000000LL + (now.tv_nsec - start.tv_nsec);
  return elapsed >= nanoseconds;
}

// Removes the entry |name| of |parent| (open as |parent_fd|, of identity
// |parent_identity|), whose record gave |record_inode| and whose name gave
// |pid|, if it is a dead run's directory of the effective user's on the
// parent's mount.
void remove_if_dead(int parent_fd, const char* parent, const PlatformEntryIdentity* parent_identity,
                    const char* name, unsigned long long record_inode, int pid) {
  PlatformEntryIdentity entry;
  if (platform_entry_identity(parent_fd, name, &entry) != 0) return;
  if (!S_ISDIR(entry.mode) || entry.owner != geteuid() || entry.device != parent_identity->device) return;
  if (kill(pid, 0) == 0 || errno != ESRCH) return;
  int fd = openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  PlatformEntryIdentity opened;
  char path[PATH_MAX];
  int length = snprintf(path, sizeof path, "%s/%s", parent, name);
  // The lock is held until the removal is over, so that no other sweep or
  // cleaner that honours it works on the directory meanwhile.
  if (platform_entry_identity(fd, "", &opened) == 0 && opened.device == entry.device &&
      opened.inode == entry.inode && !crosses_mount(parent_identity, &opened, record_inode) && length > 0 &&
      static_cast<size_t>(length) < sizeof path && flock(fd, LOCK_EX | LOCK_NB) == 0)
    remove_directory_tree(path, false);
  close(fd);
}

}  // namespace

RunNameMatch match_run_name(const char* name_spec, const char* name, int* pid) {
  bool names_pid = false;
  for (const char* at = strchr(name_spec, '{'); at != nullptr; at = strchr(at + 1, '{')) {
    const char* after = nullptr;
    Piece piece = read_placeholder(at, &after);
    if (piece == PIECE_OTHER || piece == PIECE_UNCLOSED) return RUN_NAME_SPEC_UNUSABLE;
    names_pid = names_pid || piece == PIECE_PID;
  }
  if (!names_pid) return RUN_NAME_SPEC_UNUSABLE;
  Reading reading = {};
  read_on(name_spec, name, &reading);
  if (reading.pid == 0 || reading.ambiguous) return RUN_NAME_DIFFERS;
  *pid = reading.pid;
  return RUN_NAME_MATCHES;
}

void sweep_dead_runs(const char* parent, const char* name_spec, const char* own_name) {
  int pid = 0;
  if (match_run_name(name_spec, "", &pid) == RUN_NAME_SPEC_UNUSABLE) return;
  struct timespec start;
  if (clock_gettime(CLOCK_MONOTONIC, &start) != 0) return;
  // A directory stream, not the platform layer's record buffers: those are
  // the remover's while it removes.
  DIR* directory = opendir(parent);
  if (directory == nullptr) return;
  int parent_fd = dirfd(directory);
  PlatformEntryIdentity parent_identity;
  if (parent_fd >= 0 && platform_entry_identity(parent_fd, "", &parent_identity) == 0) {
    bool first = true;
    for (unsigned examined = 0; examined < SWEEP_ENTRIES_MAX; ++examined) {
      const struct dirent* entry = readdir(directory);
      if (entry == nullptr) break;
      if (strcmp(entry->d_name, own_name) == 0) continue;
      if (match_run_name(name_spec, entry->d_name, &pid) != RUN_NAME_MATCHES) continue;
      if (!first && elapsed_beyond(start, SWEEP_NANOSECONDS_MAX)) break;
      first = false;
      remove_if_dead(parent_fd, parent, &parent_identity, entry->d_name, entry->d_ino, pid);
    }
  }
  closedir(directory);
}
