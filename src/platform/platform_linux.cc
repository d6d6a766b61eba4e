#include <dirent.h>
#include <signal.h>
#include <string.h>
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

const char* platform_next_directory_entry(const char* buffer, long filled, long* offset, PlatformEntryKind* kind) {
  if (*offset >= filled) return nullptr;
  const struct dirent64* record = reinterpret_cast<const struct dirent64*>(buffer + *offset);
  *offset += record->d_reclen;
  *kind = record->d_type == DT_UNKNOWN ? PLATFORM_ENTRY_UNKNOWN
          : record->d_type == DT_DIR   ? PLATFORM_ENTRY_DIRECTORY
                                       : PLATFORM_ENTRY_OTHER;
  return record->d_name;
}

bool platform_signal_sent_by_process(const siginfo_t* info) {
  return info->si_code == SI_USER || info->si_code == SI_QUEUE || info->si_code == SI_TKILL;
}

const char* platform_error_text(int error_number) {
  const char* text = strerrordesc_np(error_number);
  return text != nullptr ? text : "Unknown error";
}
