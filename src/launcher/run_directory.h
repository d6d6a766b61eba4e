// Where a run writes: the parent chain of its directory may be changed by
// no other user, and the directory itself stays the one this launcher made.
#ifndef VORLIX_LAUNCHER_RUN_DIRECTORY_H_
#define VORLIX_LAUNCHER_RUN_DIRECTORY_H_

// Before anything is read or written for |directory| (the target directory,
// or the kept one in cached mode): it must be an absolute path, and every
// existing directory on the way to it must pass the trust rule
// (trusted_path.h). With |writing|, the nearest existing one must also have
// room for it (target_checks.h; the remedy names XDG_CACHE_HOME when
// |cached|, else TMPDIR), and missing directories on the way are then made
// (mode 0700) and the chain judged again. Each refusal is one line on
// standard error and exit status 2, with nothing written.
void prepare_parent_of(const char* directory, bool writing, bool cached);

// Right before the program is executed from (or a private directory is
// renamed to) |directory|: the path must still lead to the directory this
// run holds; otherwise one line on standard error and _exit(2), without the
// clean-up (what the path leads to is not this run's, and a forked child
// never cleans up).
void check_run_directory_at(const char* directory);

#endif  // VORLIX_LAUNCHER_RUN_DIRECTORY_H_
