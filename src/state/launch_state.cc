#include "state/launch_state.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

char target_directory[TARGET_DIRECTORY_SIZE];
char exec_path[EXEC_PATH_SIZE];
volatile sig_atomic_t extraction_started;
volatile sig_atomic_t target_directory_made;
volatile sig_atomic_t stop_signal;
volatile pid_t child_pid;

void report_errno(const char* message, int error_number) {
  fprintf(stderr, "%s: %s\n", message, strerror(error_number));
}
