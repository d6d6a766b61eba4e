// Checks made before anything is extracted, so that a target directory that
// cannot work fails at once with its cause and remedy, not after a whole
// extraction or with a bare error number.
#ifndef VORLIX_LAUNCHER_TARGET_CHECKS_H_
#define VORLIX_LAUNCHER_TARGET_CHECKS_H_

// Checks that |directory|, the nearest existing directory that will hold the
// target directory, can take it: not on a read-only file system, writable
// and searchable by the effective user, and not mounted noexec (the program
// could not run from there). A failure writes one line to standard error
// naming |directory|, the cause and the remedy, and exits with 2. The remedy
// names TMPDIR, or XDG_CACHE_HOME when |cached|:
//   Error, can't extract into '<directory>': Read-only file system; set TMPDIR to a writable directory.
//   Error, can't extract into '<directory>': Permission denied; set TMPDIR to a directory you can write to.
//   Error, can't extract into '<directory>': its file system is mounted noexec, so programs there cannot run;
//   set TMPDIR to a directory on a file system that allows running programs.   (one line)
// Where the system cannot tell the mount flags, only the access is checked.
void check_room_for_target(const char* directory, bool cached);

#endif  // VORLIX_LAUNCHER_TARGET_CHECKS_H_
