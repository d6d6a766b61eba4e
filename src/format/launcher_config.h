// The launcher's configuration block: one fixed-size record inside the
// vorlix-launcher image, found by its mark, that vorlix-pack fills in when it
// makes a package. One launcher binary serves every mode; a block left as it
// was built (every byte after the mark zero) means a temporary directory made
// from TARGET_DIR_SPEC. The package format around the image does not change.
#ifndef VORLIX_FORMAT_LAUNCHER_CONFIG_H_
#define VORLIX_FORMAT_LAUNCHER_CONFIG_H_

#include <stddef.h>
#include <stdint.h>

// The path spec of a package that chose none.
inline constexpr char TARGET_DIR_SPEC[] = "{TEMP}/onefile_{PID}_{TIME}";

// Where the block starts in the image. Its only occurrence in a launcher image
// is the block itself: the launcher's code never compares with it.
#define VORLIX_LAUNCHER_CONFIG_MARK "vorlix launcher config\x01"
inline constexpr char LAUNCHER_CONFIG_MARK[] = VORLIX_LAUNCHER_CONFIG_MARK;

enum LaunchMode : uint32_t {
  // A fresh directory for every run, removed afterwards.
  LAUNCH_MODE_TEMPORARY = 0,
  // A directory kept between runs: extracted once, then the program is run in
  // the launcher's place.
  LAUNCH_MODE_CACHED = 1,
};

inline constexpr size_t LAUNCHER_CONFIG_SPEC_SIZE = 1024;
inline constexpr size_t LAUNCHER_CONFIG_HASH_SIZE = 64;
inline constexpr size_t LAUNCHER_CONFIG_NAME_SIZE = 1024;

// Every text is NUL-terminated within its field.
struct LauncherConfig {
  char mark[sizeof LAUNCHER_CONFIG_MARK];
  uint32_t mode;
  uint32_t reserved;
  // The path spec of the target directory; empty: TARGET_DIR_SPEC.
  char target_spec[LAUNCHER_CONFIG_SPEC_SIZE];
  // Cached mode: the payload's hash, which a complete directory records.
  char payload_hash[LAUNCHER_CONFIG_HASH_SIZE];
  // Cached mode: the first entry's name, the program to run.
  char exec_name[LAUNCHER_CONFIG_NAME_SIZE];
};

// Inside a cached directory: a symbolic link whose text is the payload hash,
// made last, just before the directory is moved into place.
inline constexpr char CACHE_COMPLETE_MARKER[] = ".vorlix-complete";

#endif  // VORLIX_FORMAT_LAUNCHER_CONFIG_H_
