// The signals the launcher handles: termination signals (SIGHUP, SIGINT,
// SIGQUIT, SIGTERM) and signals it only sends on (SIGUSR1, SIGUSR2, SIGALRM,
// SIGWINCH).
//
// Before the program runs, a handler records them and nothing else:
//   - a termination signal, whoever sent it, stops the launch at its next
//     check (stop_signal): what was written is removed and the launcher
//     ends by that signal;
//   - a signal that is only sent on, when another process sent it, is held
//     back and sent to the program once it runs (dropped if the launch
//     stops first).
// From the fork on they stay blocked in the launcher, which takes them one by
// one in its wait for the program (supervise.h): the handler never runs
// again.
//
// A signal that the launcher inherited as ignored stays ignored, and the
// program inherits it ignored. The handler is async-signal-safe.
#ifndef VORLIX_LAUNCHER_SIGNALS_H_
#define VORLIX_LAUNCHER_SIGNALS_H_

#include <signal.h>

// Installs the handler for every signal above that is not inherited as
// ignored, and makes sure SIGCHLD is not ignored, so that the child's status
// can be had. Records what the program must start with.
void install_signal_handlers();

// Blocks every handled signal and SIGCHLD; |previous| receives the mask
// before.
void block_handled_signals(sigset_t* previous);
void restore_signal_mask(const sigset_t* previous);

// The signals the wait for the program takes: every handled one that has
// the handler, and SIGCHLD.
void signals_to_wait_for(sigset_t* set);

// Whether |signal_number| came from another process (kill, sigqueue) rather
// than from the kernel (a terminal's control characters, a hang-up).
bool sent_by_process(const siginfo_t* info);

// Whether the kernel's hang-up reached the launcher alone: it leads its
// session, so its program never heard it.
bool hang_up_missed_by_program(int signal_number, const siginfo_t* info);

// With the handled signals blocked: takes the signals that came since they
// were blocked as the handler would have, so that none is mistaken for one
// that the program, not yet born, received too.
void take_signals_before_fork();

// With the handled signals blocked: when a termination signal has stopped
// the launch, removes what was written and ends the launcher by it.
void stop_if_terminated();

// Right after the fork, in the launcher: sends the held-back signals to the
// child.
void send_held_back_signals();

// Just before exec of the program: every handled signal back to its default
// action, SIGCHLD as it was inherited, and the signal mask the launcher
// started with. Expects the handled signals to be blocked until then.
void prepare_signals_for_program();

// Ends the launcher by |signal_number|, as its program ended: default
// action, unblocked, raised, with the launcher's own core dump turned off.
// Where the signal does not end it (process 1 of a pid namespace ignores
// its own), exits with 128 + |signal_number|.
[[noreturn]] void die_by_signal(int signal_number);

#endif  // VORLIX_LAUNCHER_SIGNALS_H_
