#include "launcher/cleanup.h"

#include <signal.h>

#include "launcher/remove_tree.h"
#include "state/launch_state.h"

void clean_up() {
  static volatile sig_atomic_t done;
  // A path that no longer leads to the directory this run made (someone
  // swapped it) is left alone: what is there now is not ours.
  if (done || !extraction_started || !target_directory_made || !run_directory_is_at(target_directory)) return;
  done = 1;
  remove_directory_tree(target_directory, true);
}
