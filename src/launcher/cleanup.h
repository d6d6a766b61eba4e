// Removing what a run wrote. Everything here is async-signal-safe: no
// allocation, no stdio, no directory streams.
#ifndef VORLIX_LAUNCHER_CLEANUP_H_
#define VORLIX_LAUNCHER_CLEANUP_H_

// The one clean-up of a run: removes the target directory when this launcher
// made it and the extraction has begun, once (later calls do nothing).
// main registers it to run at exit, so that every failure from the
// extraction on removes what was written; the forked child never runs it,
// since it leaves by exec or _exit.
void clean_up();

// Removes everything below the directory |path| and then the directory
// itself. Symbolic links are removed, never followed. Returns 0 when every
// entry below went, -1 when it stopped at the first one that did not (that
// entry, the ones not yet visited and the directories above stay) or when
// |path| is not a directory. Whether the final rmdir works does not count.
int remove_directory_tree(const char* path);

#endif  // VORLIX_LAUNCHER_CLEANUP_H_
