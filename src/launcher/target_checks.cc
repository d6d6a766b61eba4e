#include "launcher/target_checks.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {

[[noreturn]] void refuse(const char* directory, const char* cause, bool cached, const char* remedy) {
  // A package with a target directory of its own choice lies below one of
  // these too (mostly {TEMP} or {CACHE_DIR}), so the remedy names the same
  // variable.
  fprintf(stderr, "Error, can't extract into '%s': %s; set %s to %s.\n", directory, cause,
          cached ? "XDG_CACHE_HOME" : "TMPDIR", remedy);
  exit(2);
}

}  // namespace

void check_room_for_target(const char* directory, bool cached) {
  bool read_only = false;
  bool no_exec = false;
  bool flags_known = platform_mount_flags(directory, &read_only, &no_exec);
  if (flags_known && read_only) refuse(directory, platform_error_text(EROFS), cached, "a writable directory");
  if (faccessat(AT_FDCWD, directory, W_OK | X_OK, AT_EACCESS) != 0) {
    int error = errno;
    refuse(directory, platform_error_text(error), cached,
           error == EROFS ? "a writable directory" : "a directory you can write to");
  }
  if (flags_known && no_exec)
    refuse(directory, "its file system is mounted noexec, so programs there cannot run", cached,
           "a directory on a file system that allows running programs");
}
