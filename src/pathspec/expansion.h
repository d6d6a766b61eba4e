// Expansion of path specs: templates of literal text and placeholders such as
// "{TEMP}/onefile_{PID}_{TIME}".
#ifndef VORLIX_PATHSPEC_EXPANSION_H_
#define VORLIX_PATHSPEC_EXPANSION_H_

#include <stddef.h>

#include "format/pathspec_syntax.h"

// Expands |spec| into |output|, a buffer of |capacity| bytes (capacity >= 1).
// Placeholders (names compared without regard to case; the packer and the
// launcher's configuration check know them from PATH_SPEC_PLACEHOLDERS):
//   {TEMP}          TMPDIR if set (even empty), else "/tmp"          path
//   {PROGRAM}       the running executable's path
//   {PROGRAM_BASE}  {PROGRAM} without one trailing ".bin" (any case)
//   {PROGRAM_DIR}   the directory holding {PROGRAM}                  path
//   {PID}           VORLIX_ONEFILE_PARENT if set (must be digits, else
//                   abort()), else our process id
//   {HOME}          HOME if set (even empty), else the password entry  path
//   {CACHE_DIR}     XDG_CACHE_HOME if absolute, else {HOME}/.cache    path
//   {TIME}          VORLIX_ONEFILE_START when it has the form
//                   <digits>_<digits>; else set from the clock
// After a path placeholder, trailing '/' of the output are removed, even ones
// written before the placeholder.
//
// Returns false when the result does not fit, a name is unknown (or 1024
// characters or longer), or a value cannot be found; |output| then holds the
// text expanded so far, NUL-terminated. A value is never written in part.
// A "}" outside a placeholder is a literal; an unfinished placeholder at the
// end is dropped. Prints nothing.
bool expand_path_spec(char* output, const char* spec, size_t capacity);

#endif  // VORLIX_PATHSPEC_EXPANSION_H_
