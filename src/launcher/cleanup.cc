#include "launcher/cleanup.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "launcher/remove_tree.h"
#include "state/launch_state.h"
#include "platform/platform.h"

namespace {

void write_text(const char* text) {
  size_t length = strlen(text);
  while (length > 0) {
    ssize_t written = write(STDERR_FILENO, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text += written;
    length -= static_cast<size_t>(written);
  }
}

// perror("waitpid"), without stdio.
void report_waitpid_failure(int error_number) {
  write_text("waitpid: ");
  write_text(platform_error_text(error_number));
  write_text("\n");
}

void stop_child() {
  pid_t result = inquire_child();
  if (result != 0) return;  // reaped now, or already gone: nothing to stop
  const struct timespec nap = {0, GRACE_NAP_NS};
  const long naps_in_grace = GRACE_LIMIT_S * 1000000000L / GRACE_NAP_NS;
  // The time is counted, not measured: a nap cut short still counts whole.
  for (long naps = 0;;) {
    result = inquire_child();
    if (result == -1) {
      report_waitpid_failure(errno);
      return;
    }
    if (result > 0) return;
    nanosleep(&nap, nullptr);
    if (++naps >= naps_in_grace) break;
  }
  kill(child_pid, SIGKILL);
}

}  // namespace

pid_t inquire_child() {
  for (;;) {
    int status = 0;
    pid_t result = waitpid(child_pid, &status, WNOHANG);
    if (result == -1 && errno == EINTR) continue;
    if (result > 0) {
      child_wait_status = status;
      child_reaped = 1;
    }
    return result;
  }
}

void stop_child_and_clean_up() {
  if (child_pid != 0) stop_child();
  if (extraction_started && target_directory_made) remove_directory_tree(target_directory, true);
}
