// Upkeep of the directory that holds cached directories: leftovers of first
// runs that died, kept directories that lost their marker, and old versions
// of a package. In the default location ({CACHE_DIR}/vorlix/) every name is
// the launcher's own, so all three apply there; beside a chosen directory
// only a package's own leftovers are removed.
#ifndef VORLIX_LAUNCHER_CACHE_UPKEEP_H_
#define VORLIX_LAUNCHER_CACHE_UPKEEP_H_

#include <stddef.h>

// Private directories are ".<name of the kept one>.partial-XXXXXX".
inline constexpr char PARTIAL_INFIX[] = ".partial-";
inline constexpr size_t UNIQUE_SUFFIX_LENGTH = 6;

// Whether |spec| is the default spec of a cached package whose payload hash
// is |hash|: "{CACHE_DIR}/vorlix/<name>-<hash>".
bool is_default_cache_spec(const char* spec, const char* hash);

// Whether |entry| names a private directory of the kept directory |name|,
// or of any kept directory when |name| is nullptr.
bool is_private_directory(const char* entry, const char* name);

// Makes a fresh private directory name for |name| in |parent| (mode 0700,
// made with mkdtemp) and writes its path to |path|; false with errno set
// when it cannot.
bool make_private_name(const char* parent, const char* name, char* path, size_t size);

// Removes the private directories in |parent| of |name| (nullptr: of any
// kept directory) that no run holds: those of this user that can be locked
// exclusively at once. The caller holds the parent's lock file, so no run is
// between making its private directory and locking it.
void remove_leftovers(const char* parent, const char* name);

// Renames the kept directory |name| in |parent| to a private name, where it
// is a leftover: removed once no process of a run holds it. False when it
// cannot (errno set).
bool move_aside(const char* parent, const char* name);

// After a first run made |name| ("<package>-<hash>"): removes this user's
// other versions of the package in |parent| ("<package>-<other hash>", the
// hash of the same length in lower-case hex) that no running program holds
// (a shared lock, inherited by every program run from a kept directory).
void remove_old_versions(const char* parent, const char* name, size_t hash_length);

#endif  // VORLIX_LAUNCHER_CACHE_UPKEEP_H_
