// The configuration block of this launcher image, as vorlix-pack filled it in.
#ifndef VORLIX_LAUNCHER_CONFIGURATION_H_
#define VORLIX_LAUNCHER_CONFIGURATION_H_

#include "format/launcher_config.h"

// Defined alone in its own file and never written by the launcher: the
// compiler cannot assume the values it was built with, since the packer
// changes them in the image.
extern LauncherConfig launcher_config;

// The configured path spec, or TARGET_DIR_SPEC when none was configured.
const char* target_dir_spec();

// Refuses a package whose configuration block is damaged (see
// launcher_config_problem): prints "Error, damaged package configuration:
// <problem>." to standard error and exits with status 2. Returns when the
// block is sound; then every text in it ends within its field.
void check_launcher_configuration();

// The configuration and the payload must come from the same file: the block
// in the mapped own file must equal the one this process runs with (a
// package replaced while it started is refused, never mixed). One line on
// standard error and exit status 2 otherwise.
void check_configuration_is_the_files();

#endif  // VORLIX_LAUNCHER_CONFIGURATION_H_
