#include "launcher/signals.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "launcher/cleanup.h"
#include "state/launch_state.h"
#include "platform/platform.h"

namespace {

struct HandledSignal {
  int number;
  bool terminates;
};

constexpr HandledSignal HANDLED_SIGNALS[] = {
    {SIGHUP, true},   {SIGINT, true},   {SIGQUIT, true},  {SIGTERM, true},
    {SIGUSR1, false}, {SIGUSR2, false}, {SIGALRM, false}, {SIGWINCH, false},
};
constexpr int HANDLED_COUNT = sizeof HANDLED_SIGNALS / sizeof HANDLED_SIGNALS[0];

// Which signals have our handler (the others were inherited as ignored).
bool installed[HANDLED_COUNT];
// Signals to send on once the child exists.
volatile sig_atomic_t held_back[HANDLED_COUNT];
// The first termination signal that came; 0 while none has.
volatile sig_atomic_t termination_signal;

sigset_t start_mask;
bool sigchld_was_ignored;
// A session leader alone gets the kernel's SIGHUP when its terminal hangs up.
bool leads_session;

int index_of(int signal_number) {
  for (int i = 0; i < HANDLED_COUNT; ++i)
    if (HANDLED_SIGNALS[i].number == signal_number) return i;
  return -1;
}

void handled_signal_set(sigset_t* set) {
  sigemptyset(set);
  for (const HandledSignal& s : HANDLED_SIGNALS) sigaddset(set, s.number);
}

// Whether the child did not get this signal itself: another process sent it
// to the launcher, or the launcher's terminal hung up on its session leader.
// A process whose id is invisible here (another pid namespace) shows as 0.
bool meant_for_child(int signal_number, const siginfo_t* info) {
  if (platform_signal_sent_by_process(info)) return child_pid == 0 || info->si_pid != child_pid;
  return signal_number == SIGHUP && leads_session;
}

// Never signals a reaped child: its process id may belong to another process
// by now. Until the launcher reaps it, the id stays the child's.
void send_to_child(int signal_number) {
  if (child_pid != 0 && !child_reaped) kill(child_pid, signal_number);
}

}  // namespace

void install_signal_handlers() {
  sigprocmask(SIG_SETMASK, nullptr, &start_mask);
  leads_session = getsid(0) == getpid();
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = on_signal;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  handled_signal_set(&action.sa_mask);
  for (int i = 0; i < HANDLED_COUNT; ++i) {
    struct sigaction inherited;
    sigaction(HANDLED_SIGNALS[i].number, nullptr, &inherited);
    if (!(inherited.sa_flags & SA_SIGINFO) && inherited.sa_handler == SIG_IGN) continue;
    installed[i] = true;
    sigaction(HANDLED_SIGNALS[i].number, &action, nullptr);
  }
  // With SIGCHLD ignored the kernel would reap the child itself, and its
  // status would be lost.
  struct sigaction child_action;
  sigaction(SIGCHLD, nullptr, &child_action);
  if (!(child_action.sa_flags & SA_SIGINFO) && child_action.sa_handler == SIG_IGN) {
    sigchld_was_ignored = true;
    signal(SIGCHLD, SIG_DFL);
  }
}

void on_signal(int signal_number, siginfo_t* info, void*) {
  int saved_errno = errno;  // the interrupted code may be about to read it
  int index = index_of(signal_number);
  bool for_child = meant_for_child(signal_number, info);
  if (index >= 0 && HANDLED_SIGNALS[index].terminates) {
    if (termination_signal == 0) termination_signal = signal_number;
    if (for_child) send_to_child(signal_number);
    stop_child_and_clean_up();
  } else if (index >= 0 && for_child) {
    if (child_pid == 0)
      held_back[index] = 1;
    else
      send_to_child(signal_number);
  }
  errno = saved_errno;
}

void block_handled_signals(sigset_t* previous) {
  sigset_t blocked;
  handled_signal_set(&blocked);
  sigprocmask(SIG_BLOCK, &blocked, previous);
}

void restore_signal_mask(const sigset_t* previous) { sigprocmask(SIG_SETMASK, previous, nullptr); }

void stop_if_terminated() {
  if (termination_signal == 0) return;
  stop_child_and_clean_up();
  exit(128 + termination_signal);
}

void send_held_back_signals() {
  for (int i = 0; i < HANDLED_COUNT; ++i) {
    if (!held_back[i]) continue;
    held_back[i] = 0;
    send_to_child(HANDLED_SIGNALS[i].number);
  }
}

void prepare_signals_for_program() {
  for (int i = 0; i < HANDLED_COUNT; ++i)
    if (installed[i]) signal(HANDLED_SIGNALS[i].number, SIG_DFL);
  if (sigchld_was_ignored) signal(SIGCHLD, SIG_IGN);
  sigprocmask(SIG_SETMASK, &start_mask, nullptr);
}
