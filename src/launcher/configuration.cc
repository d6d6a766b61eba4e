#include "launcher/configuration.h"

#include <stdio.h>
#include <stdlib.h>
#include <stdint.h>
#include <string.h>

#include "payload/self_location.h"
#include "platform/platform.h"

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
  size_t image = payload_start != nullptr ? static_cast<size_t>(payload_start - own_file.base)
                                          : static_cast<size_t>(own_file.length);
  uint64_t offset;
  if (platform_image_offset_of(&launcher_config, sizeof launcher_config, own_file.base, image, &offset) &&
      offset + sizeof launcher_config <= image &&
      memcmp(own_file.base + offset, &launcher_config, sizeof launcher_config) == 0)
    return;
  fprintf(stderr, "Error, package '%s' was replaced while it started.\n", find_own_executable());
  exit(2);
}
