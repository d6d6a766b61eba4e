// The signals the launcher handles, and what each does in each phase of the
// launch.
//
// Termination signals (SIGHUP, SIGINT, SIGQUIT, SIGTERM):
//   - before the extraction begins: recorded; the launch stops before
//     anything is extracted (stop_if_terminated) and exits with 128 + N;
//   - from the extraction until the fork: the target directory is removed;
//     the launch then fails at its next step, or stops before the fork;
//   - while the child runs: sent on to it when another process sent the
//     signal (see below), then the grace period, SIGKILL and the removal;
//   - after the child has ended: the removal is repeated.
// Signals that are only sent on (SIGUSR1, SIGUSR2, SIGALRM, SIGWINCH): sent
// on to the child while it runs; held back before it exists and sent once it
// does (dropped if the launch fails); never acted on otherwise.
//
// "Sent on" applies to signals that another process sent to the launcher
// (kill, sigqueue), not the child itself. A signal that a terminal raised for
// its foreground process group (Ctrl-C, Ctrl-\, a resize) reached the child
// directly and is not sent again. The one exception is a terminal hang-up
// when the launcher leads its session: the kernel then signals the launcher
// alone, so the child is told.
//
// A signal of either kind that the launcher inherited as ignored stays
// ignored, and the program inherits it ignored. The handler is
// async-signal-safe, and every handled signal is blocked while it runs, so
// clean-ups never nest.
#ifndef VORLIX_LAUNCHER_SIGNALS_H_
#define VORLIX_LAUNCHER_SIGNALS_H_

#include <signal.h>

// Installs the handler for every signal above that is not inherited as
// ignored, and makes sure SIGCHLD is not ignored, so that the child's status
// can be had. Records what the program must start with.
void install_signal_handlers();

// The handler itself (SA_SIGINFO).
void on_signal(int signal_number, siginfo_t* info, void* context);

// Blocks every handled signal; |previous| receives the mask before.
void block_handled_signals(sigset_t* previous);
void restore_signal_mask(const sigset_t* previous);

// With the handled signals blocked: if a termination signal has come,
// removes what a clean-up removes and exits with 128 + its number.
void stop_if_terminated();

// With the handled signals blocked, right after child_pid is recorded: sends
// the held-back signals on to the child.
void send_held_back_signals();

// Just before exec of the program: every handled signal back to its default
// action, SIGCHLD as it was inherited, and the signal mask the launcher
// started with. Expects the handled signals to be blocked until then.
void prepare_signals_for_program();

#endif  // VORLIX_LAUNCHER_SIGNALS_H_
