#include "launcher/remove_tree.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// What open_directory returns for a mount point.
constexpr int MOUNT_POINT = -2;
constexpr const char* MOUNT_POINT_TEXT = "it is a mount point";
constexpr const char* TOO_DEEP_TEXT = "it is nested too deeply";

// The warning line; room is kept after the path for the reason.
constexpr size_t LINE_SIZE = 4096;
constexpr size_t REASON_ROOM = 128;
char line[LINE_SIZE];

// The removal under way. names[d] is the name of the directory being emptied
// d + 1 levels below the root; it points into the record buffer of level d,
// which stays untouched while the levels below are read.
struct Walk {
  const char* root;
  bool report;
  bool anything_left;
  uid_t user;
  const char* names[PLATFORM_DIRECTORY_DEPTH_MAX];
};
Walk walk;

// Appends |text| to |line| at |*length|, as much as fits below |limit|.
// Returns false when it did not all fit.
bool append(size_t* length, const char* text, size_t limit) {
  while (*text != '\0') {
    if (*length >= limit) return false;
    line[(*length)++] = *text++;
  }
  return true;
}

void write_line(size_t length) {
  const char* text = line;
  while (length > 0) {
    ssize_t written = write(STDERR_FILENO, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text += written;
    length -= static_cast<size_t>(written);
  }
}

// Notes that the entry |name| of the directory |depth| levels below the
// root stays (with a null |name|, that directory itself), and names it in
// the warning if it is the first.
void leave(unsigned depth, const char* name, const char* reason) {
  bool first = !walk.anything_left;
  walk.anything_left = true;
  if (!first || !walk.report) return;
  size_t length = 0;
  const size_t path_limit = LINE_SIZE - REASON_ROOM;
  append(&length, "Warning, couldn't remove '", path_limit);
  bool whole = append(&length, walk.root, path_limit);
  for (unsigned level = 0; whole && level < depth; ++level)
    whole = append(&length, "/", path_limit) && append(&length, walk.names[level], path_limit);
  if (whole && name != nullptr) whole = append(&length, "/", path_limit) && append(&length, name, path_limit);
  if (!whole) append(&length, "...", LINE_SIZE - 1);
  append(&length, "': ", LINE_SIZE - 1);
  append(&length, reason, LINE_SIZE - 1);
  line[length++] = '\n';
  write_line(length);
}

// Makes a directory of the user's own that is open as |fd| readable,
// searchable and writable, so that it can be emptied.
void make_own_directory_writable(int fd, const PlatformEntryIdentity* identity) {
  if (identity->owner == walk.user && (identity->mode & S_IRWXU) != S_IRWXU) fchmod(fd, S_IRWXU);
}

// Opens the directory |name| of |parent_fd| (the root, when |parent| is
// null). One that refuses to be opened is made 0700 first when it is the
// user's own and, below the root, on the parent's mount. Returns the
// descriptor, MOUNT_POINT, or -1 (errno set).
int open_directory(int parent_fd, const char* name, const PlatformEntryIdentity* parent,
                   unsigned long long record_inode) {
  int fd = openat(parent_fd, name, DIRECTORY_FLAGS);
  if (fd >= 0 || errno != EACCES) return fd;
  PlatformEntryIdentity entry;
  if (platform_entry_identity(parent_fd, name, &entry) != 0) return -1;
  if (parent != nullptr && crosses_mount(parent, &entry, record_inode)) return MOUNT_POINT;
  // The change is made without following a link, so a directory swapped for
  // a link meanwhile changes nothing; the refusal is what gets reported.
  if (!S_ISDIR(entry.mode) || entry.owner != walk.user ||
      fchmodat(parent_fd, name, S_IRWXU, AT_SYMLINK_NOFOLLOW) != 0) {
    errno = EACCES;
    return -1;
  }
  return openat(parent_fd, name, DIRECTORY_FLAGS);
}

bool remove_entries(int fd, unsigned depth, const PlatformEntryIdentity* identity);

// Removes the directory |name| of |parent_fd|, which lies |depth| levels
// below the root, with everything in it. Returns whether it went.
bool remove_directory(int parent_fd, const char* name, unsigned long long record_inode,
                      const PlatformEntryIdentity* parent, unsigned depth) {
  if (platform_directory_buffer(depth) == nullptr) {
    leave(depth - 1, name, TOO_DEEP_TEXT);
    return false;
  }
  int fd = open_directory(parent_fd, name, parent, record_inode);
  if (fd < 0) {
    if (fd == -1 && errno == ENOENT) return true;  // removed by someone else
    leave(depth - 1, name, fd == MOUNT_POINT ? MOUNT_POINT_TEXT : platform_error_text(errno));
    return false;
  }
  PlatformEntryIdentity identity;
  bool emptied = false;
  if (platform_entry_identity(fd, "", &identity) != 0) {
    leave(depth - 1, name, platform_error_text(errno));
  } else if (crosses_mount(parent, &identity, record_inode)) {
    leave(depth - 1, name, MOUNT_POINT_TEXT);
  } else {
    make_own_directory_writable(fd, &identity);
    walk.names[depth - 1] = name;
    emptied = remove_entries(fd, depth, &identity);
  }
  close(fd);
  if (!emptied) return false;
  if (unlinkat(parent_fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT) return true;
  leave(depth - 1, name, platform_error_text(errno));
  return false;
}

// Removes the entries of the open directory |fd|, |depth| levels below the
// root; |identity| is the directory's own. Returns whether all went.
// Entries already handed out may be removed while the directory is read:
// that never hides the others.
bool remove_entries(int fd, unsigned depth, const PlatformEntryIdentity* identity) {
  char* buffer = platform_directory_buffer(depth);
  bool all_gone = true;
  for (;;) {
    long filled = platform_read_directory(fd, buffer);
    if (filled < 0) {
      leave(depth, nullptr, platform_error_text(errno));
      return false;
    }
    if (filled == 0) return all_gone;
    long offset = 0;
    PlatformEntryKind kind;
    unsigned long long inode;
    while (const char* name = platform_next_directory_entry(buffer, filled, &offset, &kind, &inode)) {
      if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
      // The record usually says whether the entry is a directory; only when
      // it does not is the entry's status read. Plain files need nothing
      // more: one that is a mount point cannot be unlinked.
      if (kind == PLATFORM_ENTRY_UNKNOWN) {
        struct stat status;
        if (fstatat(fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
          if (errno == ENOENT) continue;
          leave(depth, name, platform_error_text(errno));
          all_gone = false;
          continue;
        }
        kind = S_ISDIR(status.st_mode) ? PLATFORM_ENTRY_DIRECTORY : PLATFORM_ENTRY_OTHER;
      }
      if (kind == PLATFORM_ENTRY_DIRECTORY) {
        if (!remove_directory(fd, name, inode, identity, depth + 1)) all_gone = false;
      } else if (unlinkat(fd, name, 0) != 0 && errno != ENOENT) {
        leave(depth, name, platform_error_text(errno));
        all_gone = false;
      }
    }
  }
}

}  // namespace

bool crosses_mount(const PlatformEntryIdentity* parent, const PlatformEntryIdentity* child,
                   unsigned long long record_inode) {
  if (parent->mount_known && child->mount_known)
    return parent->mount[0] != child->mount[0] || parent->mount[1] != child->mount[1];
  return parent->device != child->device || child->inode != record_inode;
}

int remove_directory_tree(const char* path, bool report) {
  walk.root = path;
  walk.report = report;
  walk.anything_left = false;
  walk.user = geteuid();
  int fd = open_directory(AT_FDCWD, path, nullptr, 0);
  if (fd < 0) {
    int error = errno;
    if (error == ENOENT) return 0;
    // A link opened without following fails in a way of its own (ELOOP,
    // EMLINK); what it means here is that |path| is no directory.
    struct stat status;
    if (fstatat(AT_FDCWD, path, &status, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(status.st_mode)) error = ENOTDIR;
    leave(0, nullptr, platform_error_text(error));
    return -1;
  }
  PlatformEntryIdentity identity;
  if (platform_entry_identity(fd, "", &identity) != 0) {
    leave(0, nullptr, platform_error_text(errno));
  } else {
    make_own_directory_writable(fd, &identity);
    remove_entries(fd, 0, &identity);
  }
  close(fd);
  if (walk.anything_left) return -1;
  if (rmdir(path) == 0 || errno == ENOENT) return 0;
  leave(0, nullptr, platform_error_text(errno));
  return -1;
}
