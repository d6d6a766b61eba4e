#include "launcher/configuration.h"

// Stays in the image's data whether or not the linker sees it used.
__attribute__((used)) LauncherConfig launcher_config = {VORLIX_LAUNCHER_CONFIG_MARK, LAUNCH_MODE_TEMPORARY, 0, {}, {}, {}};

const char* target_dir_spec() {
  return launcher_config.target_spec[0] != '\0' ? launcher_config.target_spec : TARGET_DIR_SPEC;
}

unsigned grace_period_seconds() { return 5; }
