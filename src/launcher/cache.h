// Cached mode: the target directory is kept between runs. The first run
// extracts into a private directory beside it (unique name, mode 0700, locked
// while it is written) and moves that into place only when complete; later
// runs find it complete and extract nothing. Then the launcher becomes the
// program.
#ifndef VORLIX_LAUNCHER_CACHE_H_
#define VORLIX_LAUNCHER_CACHE_H_

// Makes the directory named by target_directory hold this package's
// complete tree, and points exec_path at the program in it.
//   - Complete (it records this payload's hash), a directory of the user
//     running the launcher, not writable by group or others: used as it is.
//   - Absent: the private directory is extracted and renamed into place.
//     Whoever loses a race of concurrent first runs removes its own copy and
//     uses the winner's. Leftovers of runs that died while extracting (no
//     longer locked) are removed first.
//   - Anything else (a file, a link, someone else's or a writable directory,
//     one without this payload's record) is refused with one line on
//     standard error and exit status 2, and never written into or removed.
void prepare_cached_directory();

// Becomes the program (execv without fork): the same process, so signals go
// straight to it and its exit status is its own. Never returns.
[[noreturn]] void exec_in_place(int argc, char** argv);

#endif  // VORLIX_LAUNCHER_CACHE_H_
