// vorlix-launcher: runs the program in the archive attached to its own
// executable. In temporary mode (the default) it extracts the archive into a
// fresh directory, runs the first entry as its only child, removes the
// directory and exits with the child's status. In cached mode it extracts
// once into a directory that is kept, and then becomes the program.
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "launcher/cache.h"
#include "launcher/cleanup.h"
#include "launcher/configuration.h"
#include "launcher/launch_steps.h"
#include "launcher/signals.h"
#include "pathspec/expansion.h"
#include "payload/self_location.h"
#include "state/launch_state.h"

namespace {

// Waits for the child to end without reaping it, so that until the reap
// below (with the handled signals blocked) a handler that sends a signal on
// can only reach the child. Returns with the handled signals blocked: the
// child's status, or 2 when the wait failed or the status cannot be known.
int wait_for_child() {
  bool ended = true;
  for (;;) {
    siginfo_t info;
    memset(&info, 0, sizeof info);
    if (waitid(P_PID, static_cast<id_t>(child_pid), &info, WEXITED | WNOWAIT) == 0) break;
    if (errno == EINTR) continue;
    // ECHILD: a clean-up run by a termination signal has reaped the child.
    ended = errno == ECHILD;
    break;
  }
  sigset_t previous;
  block_handled_signals(&previous);
  if (!ended) return 2;
  inquire_child();
  return child_reaped ? exit_status_of(child_wait_status) : 2;
}

// Forks with the handled signals blocked, so that a handler sees either no
// child or the recorded one, and a signal that comes meanwhile is acted on
// once the child's pid is known. Removes the target directory afterwards.
int run_child(int argc, char** argv) {
  sigset_t previous;
  block_handled_signals(&previous);
  stop_if_terminated();
  pid_t pid = fork();
  if (pid < 0) {
    int fork_errno = errno;
    stop_child_and_clean_up();
    report_errno("Error, couldn't launch child (fork)", fork_errno);
    exit(2);
  }
  if (pid == 0) exec_program(argc, argv);
  child_pid = pid;
  send_held_back_signals();
  restore_signal_mask(&previous);
  int status = wait_for_child();
  stop_child_and_clean_up();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  publish_parent_pid();
  bool expanded = expand_path_spec(target_directory, target_dir_spec(), sizeof target_directory);
  locate_payload();
  if (!expanded) fatal_spec_expansion_error();
  install_signal_handlers();
  if (launcher_config.mode == LAUNCH_MODE_CACHED) {
    prepare_cached_directory();
    publish_program_environment(argc, argv);
    exec_in_place(argc, argv);
  }
  extract_payload();
  publish_program_environment(argc, argv);
  return run_child(argc, argv);
}
