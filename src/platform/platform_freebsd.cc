#include <sys/types.h>
#include <sys/stat.h>
#include <sys/sysctl.h>
#include <sys/procctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <dirent.h>
#include <signal.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>

#include "platform/platform.h"

// statfs and the MNT_ flags. Every FreeBSD system installs <sys/mount.h>; the
// header-only tree the launcher is syntax-checked against lacks it (and
// <sys/statvfs.h>), so there the mount flags are unknown.
#if __has_include(<sys/mount.h>)
#include <sys/param.h>
#include <sys/mount.h>
#define VORLIX_HAVE_STATFS 1
#endif

// getdirentries wants at least the file system's block size; UFS uses 32 KiB.
static constexpr size_t DIRECTORY_BUFFER_SIZE = 32768;
// Untouched levels cost address space only: the pages are never faulted in.
// Records are read in place, so each buffer has the record type's alignment.
alignas(struct dirent) static char directory_buffers[PLATFORM_DIRECTORY_DEPTH_MAX][DIRECTORY_BUFFER_SIZE];

char* platform_directory_buffer(unsigned depth) {
  return depth < PLATFORM_DIRECTORY_DEPTH_MAX ? directory_buffers[depth] : nullptr;
}

bool platform_own_executable_path(char* buffer, size_t size) {
  int name[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PATHNAME, -1};
  size_t length = size;
  return sysctl(name, 4, buffer, &length, nullptr, 0) == 0;
}

// The system headers at hand lack <link.h> (dl_iterate_phdr), so the bytes
// are looked for in the image: their first occurrence (the configuration
// block's mark occurs once).
bool platform_image_offset_of(const void* address, size_t size, const unsigned char* image, size_t image_size,
                              uint64_t* offset) {
  const void* found = memmem(image, image_size, address, size);
  if (found == nullptr) return false;
  *offset = static_cast<uint64_t>(static_cast<const unsigned char*>(found) - image);
  return true;
}

bool platform_started_privileged() { return issetugid() != 0; }

// FreeBSD gives no descriptor of the running image without procfs: the path
// is opened, and the caller compares what it maps with what runs.
int platform_open_own_executable(const char* own_path) { return open(own_path, O_RDONLY | O_CLOEXEC); }

long platform_read_directory(int fd, char* buffer) {
  off_t base = 0;
  return static_cast<long>(getdirentries(fd, buffer, DIRECTORY_BUFFER_SIZE, &base));
}

const char* platform_next_directory_entry(const char* buffer, long filled, long* offset, PlatformEntryKind* kind,
                                          unsigned long long* inode) {
  if (*offset >= filled) return nullptr;
  const struct dirent* record = reinterpret_cast<const struct dirent*>(buffer + *offset);
  *offset += record->d_reclen;
  *kind = record->d_type == DT_UNKNOWN ? PLATFORM_ENTRY_UNKNOWN
          : record->d_type == DT_DIR   ? PLATFORM_ENTRY_DIRECTORY
                                       : PLATFORM_ENTRY_OTHER;
  *inode = record->d_fileno;
  return record->d_name;
}

// Every mount, a nullfs mount of the same file system included, gives its
// entries its own device number, and a mount point's directory record names
// the directory it covers: the caller's test of device and record inode
// tells mounts apart, so no mount identity is given.
int platform_entry_identity(int directory_fd, const char* name, PlatformEntryIdentity* identity) {
  struct stat status;
  int result = name[0] == '\0' ? fstat(directory_fd, &status)
                                : fstatat(directory_fd, name, &status, AT_SYMLINK_NOFOLLOW);
  if (result != 0) return -1;
  identity->device = static_cast<unsigned long long>(status.st_dev);
  identity->inode = static_cast<unsigned long long>(status.st_ino);
  identity->owner = status.st_uid;
  identity->mode = status.st_mode;
  identity->mount_known = false;
  identity->mount[0] = identity->mount[1] = 0;
  return 0;
}

bool platform_mount_flags(const char* path, bool* read_only, bool* no_exec) {
#ifdef VORLIX_HAVE_STATFS
  struct statfs status;
  if (statfs(path, &status) != 0) return false;
  *read_only = (status.f_flags & MNT_RDONLY) != 0;
  *no_exec = (status.f_flags & MNT_NOEXEC) != 0;
  return true;
#else
  (void)path;
  (void)read_only;
  (void)no_exec;
  errno = ENOSYS;
  return false;
#endif
}

bool platform_signal_sent_by_process(const siginfo_t* info) {
  return info->si_code == SI_USER || info->si_code == SI_QUEUE || info->si_code == SI_LWP;
}

const char* platform_signal_abbreviation(int signal_number) {
  return signal_number > 0 && signal_number < NSIG ? sys_signame[signal_number] : nullptr;
}

const char* platform_error_text(int error_number) {
  if (error_number >= 0 && error_number < sys_nerr && sys_errlist[error_number] != nullptr)
    return sys_errlist[error_number];
  return "Unknown error";
}

void platform_die_with_parent(int parent) {
  int signal_number = SIGKILL;
  procctl(P_PID, 0, PROC_PDEATHSIG_CTL, &signal_number);
  if (getppid() != parent) kill(getpid(), SIGKILL);
}

// PROC_REAP_KILL of a process that is no reaper would act on its reaper's
// descendants (perhaps every process of the system), so it is only asked for
// once this process is one.
static bool is_reaper;

bool platform_become_reaper() {
  is_reaper = procctl(P_PID, getpid(), PROC_REAP_ACQUIRE, nullptr) == 0 || errno == EBUSY;
  return is_reaper;
}

int platform_signal_descendants(int signal_number) {
  if (!is_reaper) return -1;
  struct procctl_reaper_kill request;
  memset(&request, 0, sizeof request);
  request.rk_sig = signal_number;
  // Every descendant of this process, which is their reaper.
  if (procctl(P_PID, getpid(), PROC_REAP_KILL, &request) != 0 && errno != ESRCH) return -1;
  return static_cast<int>(request.rk_killed);
}
