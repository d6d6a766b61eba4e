#include "launcher/configuration.h"

#include <stdio.h>
#include <stdlib.h>

// Stays in the image's data whether or not the linker sees it used.
__attribute__((used)) LauncherConfig launcher_config = {VORLIX_LAUNCHER_CONFIG_MARK, LAUNCH_MODE_TEMPORARY, 0, {}, {}, {}};

const char* target_dir_spec() {
  return launcher_config.target_spec[0] != '\0' ? launcher_config.target_spec : TARGET_DIR_SPEC;
}

void check_launcher_configuration() {
  const char* problem = launcher_config_problem(launcher_config);
  if (problem == nullptr) return;
  fprintf(stderr, "Error, damaged package configuration: %s.\n", problem);
  exit(2);
}
