// vorlix-launcher: runs the program in the archive attached to its own
// executable. In temporary mode (the default) it extracts the archive into a
// fresh directory, runs the first entry as its only child, removes the
// directory and ends as the child ended. In cached mode it extracts once into
// a directory that is kept, and then becomes the program (or, as process 1,
// runs it as its child).
#include <stdlib.h>
#include <unistd.h>

#include "launcher/cache.h"
#include "launcher/cleanup.h"
#include "launcher/configuration.h"
#include "launcher/launch_steps.h"
#include "launcher/run_directory.h"
#include "launcher/signals.h"
#include "launcher/trace.h"
#include "pathspec/expansion.h"
#include "payload/self_location.h"
#include "state/launch_state.h"

int main(int argc, char** argv) {
  start_trace();
  refuse_privileged_start();
  check_launcher_configuration();
  atexit(clean_up);
  publish_parent_pid();
  bool expanded = expand_path_spec(target_directory, target_dir_spec(), sizeof target_directory);
  locate_payload();
  check_configuration_is_the_files();
  if (!expanded) fatal_spec_expansion_error();
  trace_launch();
  install_signal_handlers();
  if (launcher_config.mode == LAUNCH_MODE_CACHED) {
    prepare_cached_directory();
    publish_program_environment(argc, argv);
    // Process 1 (a container's entrypoint) must stay to reap orphans and
    // hand signals on; otherwise the program takes the launcher's place.
    if (getpid() != 1) exec_in_place(argc, argv);
    end_as_program_ended(run_program(argc, argv, false));
  }
  prepare_parent_of(target_directory, true, false);
  extract_payload();
  publish_program_environment(argc, argv);
  end_as_program_ended(run_program(argc, argv, true));
}
