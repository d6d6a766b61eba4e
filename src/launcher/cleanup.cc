#include "launcher/cleanup.h"

#include <signal.h>

#include "launcher/remove_tree.h"
#include "state/launch_state.h"

void clean_up() {
  static volatile sig_atomic_t done;
  if (done || !extraction_started || !target_directory_made) return;
  done = 1;
  remove_directory_tree(target_directory, true);
}
