// The sweep: removing the directories that earlier temporary-mode runs left
// behind when their launcher died without its clean-up (killed with SIGKILL,
// say). It works from what such a directory still shows: a name of the form
// the path spec makes, with the launcher's process id in it, and the lock
// that every process of a live run holds on it.
#ifndef VORLIX_LAUNCHER_SWEEP_H_
#define VORLIX_LAUNCHER_SWEEP_H_

// How a directory name compares with the last component of a path spec.
enum RunNameMatch {
  // The name is one the component makes; the process id is captured.
  RUN_NAME_MATCHES,
  RUN_NAME_DIFFERS,
  // The component cannot tell the runs' directories: it has no {PID}, or it
  // has a placeholder other than {PID} and {TIME}, or a "{" that does not
  // close. Nothing is swept.
  RUN_NAME_SPEC_UNUSABLE,
};

// Compares |name| with |name_spec|, the last component of a path spec,
// unexpanded ("onefile_{PID}_{TIME}"). Literal text matches itself exactly
// (a lone "}" is literal, as in the expansion); {PID} (any case) matches one
// or more digits, a process id from 1 to INT_MAX; {TIME} matches digits,
// "_", digits. Every {PID} of one component stands for the same text, and so
// does every {TIME}, as they do when expanded. On RUN_NAME_MATCHES, |*pid|
// is the process id. Pure.
RunNameMatch match_run_name(const char* name_spec, const char* name, int* pid);

// What the sweep examines at most in one run: entries of the parent read,
// and time spent (checked before each candidate). What is left over is the
// next run's.
inline constexpr unsigned SWEEP_ENTRIES_MAX = 256;
inline constexpr long SWEEP_NANOSECONDS_MAX = 5000000;

// Removes from |parent| (the directory that holds this run's target
// directory, already judged trusted) the directories of dead runs, never
// |own_name| (this run's own directory name). A directory goes only when
// all of these hold:
//   - its name matches |name_spec| (match_run_name) and captures a pid;
//   - it is a directory, not a link, owned by the effective user, on the
//     same mount as |parent| (neither another file system nor a bind mount,
//     told as the remover tells them);
//   - that pid is not alive (kill(pid, 0) fails with ESRCH);
//   - opened without following links, it is the same directory, and an
//     exclusive flock on it is granted at once: every process of a live run,
//     whoever's, holds a shared one;
// and it is removed (quietly: what cannot go is the next run's) while that
// lock is held. Reads |parent| with a directory stream, so it must not run in
// a signal handler; the removal uses the one remover, which a handler's
// clean-up also uses, so the handled signals must be blocked meanwhile.
// Reports nothing; gives up quietly on any failure.
void sweep_dead_runs(const char* parent, const char* name_spec, const char* own_name);

#endif  // VORLIX_LAUNCHER_SWEEP_H_
