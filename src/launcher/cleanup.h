// Removing what a run wrote. Everything here is async-signal-safe: no
// allocation, no stdio, no directory streams.
#ifndef VORLIX_LAUNCHER_CLEANUP_H_
#define VORLIX_LAUNCHER_CLEANUP_H_

// The one clean-up of a run: removes the target directory when this launcher
// made it, the extraction has begun and the path still leads to it, once
// (later calls do nothing).
// main registers it to run at exit, so that every failure from the
// extraction on removes what was written; the forked child never runs it,
// since it leaves by exec or _exit.
void clean_up();

#endif  // VORLIX_LAUNCHER_CLEANUP_H_
