// Cached mode: the target directory is kept between runs. The first run
// extracts into a private directory beside it (unique name, mode 0700, locked
// while it is written) and moves that into place only when complete; later
// runs find it complete and extract nothing. Then the launcher becomes the
// program (as process 1 it runs it as its child instead; see main).
#ifndef VORLIX_LAUNCHER_CACHE_H_
#define VORLIX_LAUNCHER_CACHE_H_

// Makes the directory named by target_directory hold this package's
// complete tree, and points exec_path at the program in it.
//   - Complete (it records this payload's hash), a directory of the user
//     running the launcher, not writable by group or others: used as it is,
//     held (run_directory_fd) with a shared lock that the program inherits.
//   - Absent: the private directory is extracted and renamed into place.
//     Whoever loses a race of concurrent first runs removes its own copy and
//     uses the winner's. Leftovers of runs that died while extracting (no
//     longer locked) are removed first, and in the default location the
//     user's unused old versions of the package afterwards.
//   - Incomplete (no record of this payload): in the default location moved
//     aside and extracted again; a chosen directory is refused.
//   - Anything else (a file, a link, someone else's or a writable directory)
//     is refused with one line on standard error and exit status 2, and
//     never written into or removed.
void prepare_cached_directory();

// Becomes the program (execv without fork): the same process, so signals go
// straight to it and its exit status is its own. Never returns.
[[noreturn]] void exec_in_place(int argc, char** argv);

#endif  // VORLIX_LAUNCHER_CACHE_H_
