// The syntax of the path specs a package stores for its target directory:
// the placeholder names, and the strict reading by which the packer accepts a
// spec and the launcher and verify accept a stored one. Pure: no allocation,
// no exceptions, usable by the launcher.
#ifndef VORLIX_FORMAT_PATHSPEC_SYNTAX_H_
#define VORLIX_FORMAT_PATHSPEC_SYNTAX_H_

#include <stddef.h>

// The placeholders the launcher expands, and which of them give a directory
// path (the path placeholders, and the program's own absolute path). Names
// are compared without regard to case.
struct PathSpecPlaceholder {
  const char* name;
  bool gives_absolute_path;
};
inline constexpr PathSpecPlaceholder PATH_SPEC_PLACEHOLDERS[] = {
    {"TEMP", true}, {"PROGRAM", true}, {"PROGRAM_BASE", true}, {"PROGRAM_DIR", true},
    {"PID", false}, {"HOME", true},    {"CACHE_DIR", true},    {"TIME", false},
};

// The placeholder named by the |length| bytes at |name|, or nullptr.
const PathSpecPlaceholder* find_path_spec_placeholder(const char* name, size_t length);

// What is wrong with a spec as a package's target directory.
enum TargetSpecFault {
  TARGET_SPEC_SOUND,
  // A "}" outside a placeholder.
  TARGET_SPEC_LONE_CLOSE,
  // A "{" without its "}" before the end or before another "{".
  TARGET_SPEC_UNCLOSED,
  // "{name}" with a name that is not in PATH_SPEC_PLACEHOLDERS.
  TARGET_SPEC_UNKNOWN_PLACEHOLDER,
  // Starts neither with "/" nor with a placeholder that gives an absolute path.
  TARGET_SPEC_NOT_ABSOLUTE,
  // Temporary mode without {PID}: two runs at once could share a directory
  // ({TIME} alone is not enough: packages started by one outer package
  // inherit its start stamp).
  TARGET_SPEC_NO_PID,
  // Cached mode with {PID} or {TIME}: every run would extract anew.
  TARGET_SPEC_NOT_STABLE,
};

struct TargetSpecCheck {
  TargetSpecFault fault;
  // The text at fault, spec[begin, end): the placeholder for
  // TARGET_SPEC_UNKNOWN_PLACEHOLDER, braces included; empty otherwise.
  size_t begin;
  size_t end;
};

// Reads the |length| bytes at |spec| strictly as the target directory of a
// package in temporary (|cached| false) or cached mode: every "{" closes
// with "}" around a known placeholder name, no "}" stands alone, it starts
// with "/" or with a placeholder that gives an absolute path, a temporary
// spec names {PID} and a cached one names neither {PID} nor {TIME}. The
// first fault found is reported; an empty spec is not absolute.
TargetSpecCheck check_target_spec(const char* spec, size_t length, bool cached);

#endif  // VORLIX_FORMAT_PATHSPEC_SYNTAX_H_
