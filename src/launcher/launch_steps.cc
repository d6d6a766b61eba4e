#include "launcher/launch_steps.h"

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
#include "launcher/configuration.h"
#include "launcher/run_directory.h"
#include "launcher/signals.h"
#include "launcher/supervise.h"
#include "launcher/sweep.h"
#include "launcher/trace.h"
#include "pathspec/expansion.h"
#include "payload/extract.h"
#include "payload/payload_reader.h"
#include "payload/self_location.h"
#include "platform/platform.h"
#include "state/launch_state.h"

namespace {

// A termination signal that came before this point stops the launch here,
// before anything is extracted.
void begin_extraction() {
  sigset_t previous;
  block_handled_signals(&previous);
  stop_if_terminated();
  extraction_started = 1;
  restore_signal_mask(&previous);
}

// A termination signal that stopped the extraction part way ends the launch
// by that signal, with what was written removed.
void stop_extraction() {
  sigset_t previous;
  block_handled_signals(&previous);
  stop_if_terminated();
}

// dirname may write into its argument, and own_path must stay whole for the
// program's argument zero, so it works on a copy.
void publish_own_directory() {
  const char* own = find_own_executable();
  char copy[OWN_PATH_SIZE + 1];
  size_t length = strlen(own);
  if (length >= sizeof copy) abort();
  memcpy(copy, own, length + 1);
  setenv("VORLIX_ONEFILE_DIRECTORY", dirname(copy), 1);
}

// Removes what launchers that died without their clean-up left beside the
// target directory: off the start-up path, once the program runs.
void sweep_beside_target_directory() {
  char parent[TARGET_DIRECTORY_SIZE];
  memcpy(parent, target_directory, strlen(target_directory) + 1);
  char* slash = strrchr(parent, '/');
  if (slash == nullptr) return;
  const char* own_name = target_directory + (slash - parent) + 1;
  slash[slash == parent ? 1 : 0] = '\0';
  const char* spec = target_dir_spec();
  const char* spec_slash = strrchr(spec, '/');
  sweep_dead_runs(parent, spec_slash != nullptr ? spec_slash + 1 : spec, own_name);
}

}  // namespace

void refuse_privileged_start() {
  if (!platform_started_privileged()) return;
  fputs("Error, a package must not run set-user-ID or set-group-ID.\n", stderr);
  exit(2);
}

void trace_launch() {
  trace("package %s", find_own_executable());
  trace("%s mode, target directory %s, grace period %u s",
        launcher_config.mode == LAUNCH_MODE_CACHED ? "cached" : "temporary", target_directory,
        launcher_config_grace_period_s(launcher_config));
}

void publish_parent_pid() {
  char pid_text[128];
  snprintf(pid_text, sizeof pid_text, "%ld", static_cast<long>(getpid()));
  setenv("VORLIX_ONEFILE_PARENT", pid_text, 1);
}

void fatal_spec_expansion_error() {
  fprintf(stderr, "Error, couldn't runtime expand spec '%s'.\n", target_dir_spec());
  abort();
}

void extract_payload() {
  CompressedStream stream = check_payload_header(payload_start, payload_length);
  payload_reader_open(stream.data, stream.size);
  begin_extraction();
  double start = trace_clock_ms();
  if (!extract_archive()) stop_extraction();
  trace("extracted %ld entries, %llu bytes into %s in %.1f ms", extracted_entries, extracted_bytes, target_directory,
        trace_clock_ms() - start);
  release_own_file();
  payload_reader_close();
}

void release_own_file() {
  munmap(const_cast<unsigned char*>(own_file.base), static_cast<size_t>(own_file.length));
  close(own_file.fd);
}

void publish_program_environment(int argc, char** argv) {
  publish_own_directory();
  setenv("VORLIX_ORIGINAL_ARGV0", argc > 0 && argv[0] != nullptr ? argv[0] : "", 1);
  // A path spec without {TIME} has not set the start stamp (or replaced an
  // inherited one of another form); expanding it once does.
  char stamp[64];
  expand_path_spec(stamp, "{TIME}", sizeof stamp);
}

void exec_program(int argc, char** argv) {
  prepare_signals_for_program();
  // With no argument vector at all the program still gets its argument zero.
  char* lone_argv[2] = {nullptr, nullptr};
  if (argc < 1 || argv[0] == nullptr) argv = lone_argv;
  argv[0] = const_cast<char*>(find_own_executable());
  // As late as can be: what runs is what this run extracted.
  if (run_directory_fd >= 0) check_run_directory_at(target_directory);
  execv(exec_path, argv);
  report_errno("Error, couldn't launch child (exec)", errno);
  _exit(2);
}

int run_program(int argc, char** argv, bool temporary) {
  sigset_t previous;
  block_handled_signals(&previous);
  if (temporary) platform_become_reaper();
  pid_t launcher = getpid();
  // Right before the fork: a signal the kernel raised for the terminal's
  // group until here reached the launcher alone, and stops the launch.
  take_signals_before_fork();
  stop_if_terminated();
  pid_t pid = fork();
  if (pid < 0) {
    report_errno("Error, couldn't launch child (fork)", errno);
    exit(2);
  }
  if (pid == 0) {
    if (temporary) platform_die_with_parent(launcher);
    exec_program(argc, argv);
  }
  child_pid = pid;
  trace("started %s as pid %d", exec_path, static_cast<int>(pid));
  send_held_back_signals();
  if (temporary) sweep_beside_target_directory();
  return supervise_program(temporary);
}

void end_as_program_ended(int wait_status) {
  trace_program_end("program", wait_status);
  clean_up();
  if (WIFSIGNALED(wait_status)) die_by_signal(WTERMSIG(wait_status));
  exit(WEXITSTATUS(wait_status));
}
