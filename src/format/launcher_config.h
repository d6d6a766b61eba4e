// The launcher's configuration block: one fixed-size record inside the
// vorlix-launcher image, found by its mark, that vorlix-pack fills in when it
// makes a package. One launcher binary serves every mode; a block left as it
// was built (every byte after the mark zero) means a temporary directory made
// from TARGET_DIR_SPEC and the default grace period. The package format
// around the image does not change.
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

// The grace period: how long the program has, after a stop request was sent
// on, before it is killed.
inline constexpr uint32_t GRACE_PERIOD_DEFAULT_S = 5;
inline constexpr uint32_t GRACE_PERIOD_MAX_S = 3600;

inline constexpr size_t LAUNCHER_CONFIG_SPEC_SIZE = 1024;
inline constexpr size_t LAUNCHER_CONFIG_HASH_SIZE = 64;
inline constexpr size_t LAUNCHER_CONFIG_NAME_SIZE = 1024;

// Every text is NUL-terminated within its field.
struct LauncherConfig {
  char mark[sizeof LAUNCHER_CONFIG_MARK];
  uint32_t mode;
  // 0: none chosen (GRACE_PERIOD_DEFAULT_S; packages made before the choice
  // existed hold 0 here); otherwise the chosen seconds plus one.
  uint32_t grace_period;
  // The path spec of the target directory; empty: TARGET_DIR_SPEC.
  char target_spec[LAUNCHER_CONFIG_SPEC_SIZE];
  // Cached mode: the payload's hash, which a complete directory records.
  char payload_hash[LAUNCHER_CONFIG_HASH_SIZE];
  // Cached mode: the first entry's name, the program to run.
  char exec_name[LAUNCHER_CONFIG_NAME_SIZE];
};

// The grace period of |config| in seconds; at most GRACE_PERIOD_MAX_S.
inline uint32_t launcher_config_grace_period_s(const LauncherConfig& config) {
  if (config.grace_period == 0) return GRACE_PERIOD_DEFAULT_S;
  uint32_t seconds = config.grace_period - 1;
  return seconds < GRACE_PERIOD_MAX_S ? seconds : GRACE_PERIOD_MAX_S;
}

// The stored form of a grace period of |seconds| (at most GRACE_PERIOD_MAX_S).
inline uint32_t launcher_config_grace_period_field(uint32_t seconds) { return seconds + 1; }

// What is wrong with |config| as a launcher would run it, or nullptr when it
// is sound: a short English text ("its mark is damaged") that completes
// "damaged package configuration: ...". Checks the mark byte for byte, the
// mode, that every text ends with its NUL inside its field, the grace
// period's range, the target directory spec (check_target_spec, the empty
// spec standing for TARGET_DIR_SPEC) and, in cached mode, the payload hash
// (lowercase hexadecimal) and the name of the program to run (a safe
// relative name, entry_name_fault). A block with every byte after the mark
// zero is sound. Pure: no allocation, nothing printed.
const char* launcher_config_problem(const LauncherConfig& config);

// Inside a cached directory: a symbolic link whose text is the payload hash,
// made last, just before the directory is moved into place.
inline constexpr char CACHE_COMPLETE_MARKER[] = ".vorlix-complete";

// Beside cached directories: the lock file (mode 0600, the user's own) that
// guards the making and the removal of private directories there.
inline constexpr char CACHE_LOCK_FILE[] = ".vorlix-lock";

// Whether the |length| bytes at |name|, an entry name, lie at or below
// CACHE_COMPLETE_MARKER: no package may hold such an entry, in any mode.
inline bool names_cache_complete_marker(const char* name, size_t length) {
  size_t marker = sizeof CACHE_COMPLETE_MARKER - 1;
  if (length < marker || (length > marker && name[marker] != '/')) return false;
  for (size_t i = 0; i < marker; ++i)
    if (name[i] != CACHE_COMPLETE_MARKER[i]) return false;
  return true;
}

#endif  // VORLIX_FORMAT_LAUNCHER_CONFIG_H_
