// vorlix-launcher: extracts the archive attached to its own executable into a
// fresh directory, runs the first entry as its only child, removes the
// directory and exits with the child's status.
#include <errno.h>
#include <libgen.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "launcher/cleanup.h"
#include "launcher/launch_state.h"
#include "launcher/signals.h"
#include "pathspec/expansion.h"
#include "payload/extract.h"
#include "payload/payload_reader.h"
#include "payload/self_location.h"

namespace {

// The shell's convention: an exit code as it is, a death by signal N as
// 128 + N.
int exit_status_of(int wait_status) {
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return WEXITSTATUS(wait_status);
}

// A termination signal that came before this point stops the launch here,
// before anything is extracted.
void begin_extraction() {
  sigset_t previous;
  block_handled_signals(&previous);
  stop_if_terminated();
  extraction_started = 1;
  restore_signal_mask(&previous);
}

void publish_parent_pid() {
  char pid_text[128];
  snprintf(pid_text, sizeof pid_text, "%ld", static_cast<long>(getpid()));
  setenv("VORLIX_ONEFILE_PARENT", pid_text, 1);
}

void release_payload() {
  munmap(const_cast<unsigned char*>(own_file.base), static_cast<size_t>(own_file.length));
  close(own_file.fd);
  payload_reader_close();
}

// dirname may write into its argument, and own_path must stay whole for the
// child's argument zero, so it works on a copy.
void publish_own_directory() {
  const char* own = find_own_executable();
  char copy[OWN_PATH_SIZE + 1];
  size_t length = strlen(own);
  if (length >= sizeof copy) abort();
  memcpy(copy, own, length + 1);
  setenv("VORLIX_ONEFILE_DIRECTORY", dirname(copy), 1);
}

[[noreturn]] void exec_child(int argc, char** argv) {
  prepare_signals_for_program();
  // With no argument vector at all the child still gets its argument zero.
  char* lone_argv[2] = {nullptr, nullptr};
  if (argc < 1 || argv[0] == nullptr) argv = lone_argv;
  argv[0] = const_cast<char*>(find_own_executable());
  execv(exec_path, argv);
  report_errno("Error, couldn't launch child (exec)", errno);
  exit(2);
}

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
// once the child's pid is known.
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
  if (pid == 0) exec_child(argc, argv);
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
  bool expanded = expand_path_spec(target_directory, TARGET_DIR_SPEC, sizeof target_directory);
  locate_payload();
  if (!expanded) fatal_spec_expansion_error();
  install_signal_handlers();
  CompressedStream stream = check_payload_header(payload_start, payload_length);
  payload_reader_open(stream.data, stream.size);
  begin_extraction();
  extract_archive();
  release_payload();
  publish_own_directory();
  setenv("VORLIX_ORIGINAL_ARGV0", argc > 0 && argv[0] != nullptr ? argv[0] : "", 1);
  return run_child(argc, argv);
}
