#include "launcher/run_directory.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "launcher/target_checks.h"
#include "payload/extract.h"
#include "state/launch_state.h"
#include "state/trusted_path.h"

namespace {

TrustVerdict verdict;

void judge_or_refuse(const char* parent) {
  judge_directory_chain(parent, geteuid(), &verdict);
  if (verdict.problem == TRUST_OK) return;
  report_untrusted(verdict);
  exit(2);
}

}  // namespace

void prepare_parent_of(const char* directory, bool writing, bool cached) {
  if (directory[0] != '/') {
    fprintf(stderr, "Error, target directory '%s' is not an absolute path.\n", directory);
    exit(2);
  }
  char parent[TARGET_DIRECTORY_SIZE];
  size_t length = strlen(directory);
  if (length >= sizeof parent) abort();
  memcpy(parent, directory, length + 1);
  char* slash = strrchr(parent, '/');
  slash[slash == parent ? 1 : 0] = '\0';
  judge_or_refuse(parent);
  if (!writing) return;
  bool parent_exists = access(parent, F_OK) == 0;
  // The nearest existing directory: the parent, or the first ancestor there.
  char nearest[TARGET_DIRECTORY_SIZE];
  memcpy(nearest, parent, strlen(parent) + 1);
  while (!parent_exists && access(nearest, F_OK) != 0 && strcmp(nearest, "/") != 0) {
    char* cut = strrchr(nearest, '/');
    cut[cut == nearest ? 1 : 0] = '\0';
  }
  check_room_for_target(nearest, cached);
  if (parent_exists) return;
  // What is made here is the effective user's, mode 0700; judging again
  // catches a directory that someone else made first.
  create_parent_directories(directory);
  judge_or_refuse(parent);
}

void check_run_directory_at(const char* directory) {
  if (run_directory_is_at(directory)) return;
  fprintf(stderr, "Error, directory '%s' was replaced while the package was being extracted.\n", directory);
  _exit(2);
}
