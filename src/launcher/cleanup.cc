#include "launcher/cleanup.h"

#include <signal.h>

#include "launcher/remove_tree.h"
#include "launcher/trace.h"
#include "state/launch_state.h"

void clean_up() {
  static volatile sig_atomic_t done;
  // A path that no longer leads to the directory this run made (someone
  // swapped it) is left alone: what is there now is not ours.
  if (done || !extraction_started || !target_directory_made || !run_directory_is_at(target_directory)) return;
  done = 1;
  double start = trace_clock_ms();
  bool removed = remove_directory_tree(target_directory, true) == 0;
  trace("%s %s in %.1f ms", removed ? "removed" : "could not remove all of", target_directory, trace_clock_ms() - start);
}
