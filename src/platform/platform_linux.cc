#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
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

bool platform_signal_sent_by_process(const siginfo_t* info) {
  return info->si_code == SI_USER || info->si_code == SI_QUEUE || info->si_code == SI_TKILL;
}

const char* platform_error_text(int error_number) {
  const char* text = strerrordesc_np(error_number);
  return text != nullptr ? text : "Unknown error";
}
