#include <dirent.h>
#include <fcntl.h>
#include <link.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/platform.h"

// Holds several records of the largest size (a 255-byte name).
static constexpr size_t DIRECTORY_BUFFER_SIZE = 4096;
// Untouched levels cost address space only: the pages are never faulted in.
// Records are read in place, so each buffer has the record type's alignment.
alignas(struct dirent64) static char directory_buffers[PLATFORM_DIRECTORY_DEPTH_MAX][DIRECTORY_BUFFER_SIZE];

char* platform_directory_buffer(unsigned depth) {
  return depth < PLATFORM_DIRECTORY_DEPTH_MAX ? directory_buffers[depth] : nullptr;
}

bool platform_own_executable_path(char* buffer, size_t size) {
  ssize_t length = readlink("/proc/self/exe", buffer, size);
  // A result that fills the whole buffer may have been cut short.
  if (length <= 0 || static_cast<size_t>(length) >= size) return false;
  buffer[length] = '\0';
  return true;
}

namespace {

struct ImagePlace {
  uintptr_t address;
  size_t size;
  bool found;
  uint64_t offset;
};

// The program headers of the running executable (the first object reported)
// give the file offset of the loaded segment that holds the address.
int find_in_segments(struct dl_phdr_info* info, size_t, void* data) {
  ImagePlace* place = static_cast<ImagePlace*>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    uintptr_t start = info->dlpi_addr + header.p_vaddr;
    if (header.p_type != PT_LOAD || place->address < start || place->address + place->size > start + header.p_filesz)
      continue;
    place->found = true;
    place->offset = header.p_offset + (place->address - start);
  }
  return 1;  // the executable alone
}

}  // namespace

bool platform_image_offset_of(const void* address, size_t size, const unsigned char*, size_t, uint64_t* offset) {
  ImagePlace place = {reinterpret_cast<uintptr_t>(address), size, false, 0};
  dl_iterate_phdr(find_in_segments, &place);
  *offset = place.offset;
  return place.found;
}

bool platform_started_privileged() { return getauxval(AT_SECURE) != 0; }

// The kernel's own link to the running image: a package renamed or replaced
// after it started still opens as the file that runs.
int platform_open_own_executable(const char*) { return open("/proc/self/exe", O_RDONLY | O_CLOEXEC); }

long platform_read_directory(int fd, char* buffer) {
  return static_cast<long>(getdents64(fd, buffer, DIRECTORY_BUFFER_SIZE));
}

const char* platform_next_directory_entry(const char* buffer, long filled, long* offset, PlatformEntryKind* kind,
                                          unsigned long long* inode) {
  if (*offset >= filled) return nullptr;
  const struct dirent64* record = reinterpret_cast<const struct dirent64*>(buffer + *offset);
  *offset += record->d_reclen;
  *kind = record->d_type == DT_UNKNOWN ? PLATFORM_ENTRY_UNKNOWN
          : record->d_type == DT_DIR   ? PLATFORM_ENTRY_DIRECTORY
                                       : PLATFORM_ENTRY_OTHER;
  *inode = record->d_ino;
  return record->d_name;
}

// The mount id (kernels since 5.8 give it) tells every mount apart, a bind
// mount of the same file system included; without it the caller falls back
// to the device and the inode the directory record gives.
int platform_entry_identity(int directory_fd, const char* name, PlatformEntryIdentity* identity) {
  struct statx status;
  int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
  unsigned mask = STATX_TYPE | STATX_MODE | STATX_UID | STATX_INO | STATX_MNT_ID;
  if (statx(directory_fd, name, flags, mask, &status) != 0) return -1;
  identity->device = makedev(status.stx_dev_major, status.stx_dev_minor);
  identity->inode = status.stx_ino;
  identity->owner = status.stx_uid;
  identity->mode = status.stx_mode;
  identity->mount_known = (status.stx_mask & STATX_MNT_ID) != 0;
  identity->mount[0] = identity->mount_known ? status.stx_mnt_id : 0;
  identity->mount[1] = 0;
  return 0;
}

bool platform_mount_flags(const char* path, bool* read_only, bool* no_exec) {
  struct statvfs status;
  if (statvfs(path, &status) != 0) return false;
  *read_only = (status.f_flag & ST_RDONLY) != 0;
  *no_exec = (status.f_flag & ST_NOEXEC) != 0;
  return true;
}

bool platform_signal_sent_by_process(const siginfo_t* info) {
  return info->si_code == SI_USER || info->si_code == SI_QUEUE || info->si_code == SI_TKILL;
}

const char* platform_signal_abbreviation(int signal_number) { return sigabbrev_np(signal_number); }

const char* platform_error_text(int error_number) {
  const char* text = strerrordesc_np(error_number);
  return text != nullptr ? text : "Unknown error";
}

void platform_die_with_parent(int parent) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) kill(getpid(), SIGKILL);
}

bool platform_become_reaper() { return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0; }

namespace {

// The process table read from /proc: each process and its parent.
constexpr int PROCESS_TABLE_MAX = 65536;
int process_ids[PROCESS_TABLE_MAX];
int parent_ids[PROCESS_TABLE_MAX];
bool in_subtree[PROCESS_TABLE_MAX];

// The parent of process |pid| from /proc/<pid>/stat, or -1. The name in
// parentheses may hold any byte, so the fields are read after its last ')'.
int parent_of(const char* pid) {
  char path[64];
  char stat[512];
  snprintf(path, sizeof path, "/proc/%s/stat", pid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  ssize_t length = read(fd, stat, sizeof stat - 1);
  close(fd);
  if (length <= 0) return -1;
  stat[length] = '\0';
  const char* end = strrchr(stat, ')');
  int parent;
  char state;
  if (end == nullptr || sscanf(end + 1, " %c %d", &state, &parent) != 2) return -1;
  return parent;
}

}  // namespace

int platform_signal_descendants(int signal_number) {
  int fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  alignas(struct dirent64) static char buffer[DIRECTORY_BUFFER_SIZE];
  int count = 0;
  for (long filled; (filled = getdents64(fd, buffer, sizeof buffer)) > 0;) {
    long offset = 0;
    PlatformEntryKind kind;
    unsigned long long inode;
    while (const char* name = platform_next_directory_entry(buffer, filled, &offset, &kind, &inode)) {
      if (name[0] < '1' || name[0] > '9' || count == PROCESS_TABLE_MAX) continue;
      int parent = parent_of(name);
      if (parent <= 0) continue;
      process_ids[count] = atoi(name);
      parent_ids[count] = parent;
      in_subtree[count] = false;
      ++count;
    }
  }
  close(fd);
  // Marks descendants level by level until no more are found.
  int self = getpid();
  int signalled = 0;
  for (bool found = true; found;) {
    found = false;
    for (int i = 0; i < count; ++i) {
      if (in_subtree[i]) continue;
      bool below = parent_ids[i] == self;
      for (int j = 0; j < count && !below; ++j) below = in_subtree[j] && process_ids[j] == parent_ids[i];
      if (!below) continue;
      in_subtree[i] = found = true;
      if (kill(process_ids[i], signal_number) == 0) ++signalled;
    }
  }
  return signalled;
}
