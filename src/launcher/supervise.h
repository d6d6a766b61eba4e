// The launcher's wait for its program, in the shape of one loop: the handled
// signals and SIGCHLD are blocked and taken one at a time, children are
// reaped, and a deadline bounds the grace period.
#ifndef VORLIX_LAUNCHER_SUPERVISE_H_
#define VORLIX_LAUNCHER_SUPERVISE_H_

// Waits for the program (child_pid) to end and returns its wait status.
// Expects the handled signals blocked (block_handled_signals) since before
// the fork. While the program runs:
//   - a handled signal that another process sent the launcher is sent on to
//     the program (not one the program sent itself); so is the kernel's
//     hang-up to a launcher that leads its session;
//   - a signal the kernel raised for the terminal's foreground group
//     (Ctrl-C, Ctrl-\) reached the program directly: nothing is done;
//   - SIGTERM and SIGINT from another process are requests to stop: once
//     sent on, the program has the package's grace period to end, then gets
//     SIGKILL; a second request changes nothing;
//   - every child that ends is reaped (as process 1, or as the reaper of the
//     program's orphans, there are others than the program).
// With |stop_descendants|, it returns only once no descendant of the program
// runs: those left when the program ends get SIGTERM, the grace period and
// SIGKILL.
int supervise_program(bool stop_descendants);

#endif  // VORLIX_LAUNCHER_SUPERVISE_H_
