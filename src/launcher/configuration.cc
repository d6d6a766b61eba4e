#include "launcher/configuration.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "payload/self_location.h"

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

void check_configuration_is_the_files() {
  // The block's own bytes are the needle: its mark occurs once in the image.
  size_t image = payload_start != nullptr ? static_cast<size_t>(payload_start - own_file.base)
                                          : static_cast<size_t>(own_file.length);
  const void* found = memmem(own_file.base, image, &launcher_config, sizeof launcher_config.mark);
  if (found != nullptr && memcmp(found, &launcher_config, sizeof launcher_config) == 0 &&
      static_cast<size_t>(static_cast<const unsigned char*>(found) - own_file.base) + sizeof launcher_config <= image)
    return;
  fprintf(stderr, "Error, package '%s' was replaced while it started.\n", find_own_executable());
  exit(2);
}
