#include "launcher/signals.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include "launcher/cleanup.h"
#include "launcher/trace.h"
#include "platform/platform.h"
#include "state/launch_state.h"

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
  sigaddset(set, SIGCHLD);
}

// What the handler does, and what is done for the signals that came while
// the handled signals were blocked before the fork.
void record(int signal_number, const siginfo_t* info) {
  int index = index_of(signal_number);
  if (index < 0) return;
  if (HANDLED_SIGNALS[index].terminates) {
    if (stop_signal == 0) stop_signal = signal_number;
  } else if (sent_by_process(info)) {
    held_back[index] = 1;
  }
}

void on_signal(int signal_number, siginfo_t* info, void*) {
  int saved_errno = errno;  // the interrupted code may be about to read it
  record(signal_number, info);
  errno = saved_errno;
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

void block_handled_signals(sigset_t* previous) {
  sigset_t blocked;
  handled_signal_set(&blocked);
  sigprocmask(SIG_BLOCK, &blocked, previous);
}

void restore_signal_mask(const sigset_t* previous) { sigprocmask(SIG_SETMASK, previous, nullptr); }

void signals_to_wait_for(sigset_t* set) {
  sigemptyset(set);
  for (int i = 0; i < HANDLED_COUNT; ++i)
    if (installed[i]) sigaddset(set, HANDLED_SIGNALS[i].number);
  sigaddset(set, SIGCHLD);
}

bool sent_by_process(const siginfo_t* info) { return platform_signal_sent_by_process(info); }

bool hang_up_missed_by_program(int signal_number, const siginfo_t* info) {
  return signal_number == SIGHUP && leads_session && !sent_by_process(info);
}

void take_signals_before_fork() {
  sigset_t set;
  signals_to_wait_for(&set);
  sigdelset(&set, SIGCHLD);
  const struct timespec no_wait = {0, 0};
  siginfo_t info;
  for (int signal_number; (signal_number = sigtimedwait(&set, &info, &no_wait)) > 0;) record(signal_number, &info);
}

void stop_if_terminated() {
  if (stop_signal == 0) return;
  trace("stopped by %s before the program started", trace_signal_name(stop_signal));
  clean_up();
  die_by_signal(stop_signal);
}

void send_held_back_signals() {
  for (int i = 0; i < HANDLED_COUNT; ++i) {
    if (!held_back[i]) continue;
    held_back[i] = 0;
    trace("sent held-back %s on to pid %d", trace_signal_name(HANDLED_SIGNALS[i].number), static_cast<int>(child_pid));
    kill(child_pid, HANDLED_SIGNALS[i].number);
  }
}

void prepare_signals_for_program() {
  for (int i = 0; i < HANDLED_COUNT; ++i)
    if (installed[i]) signal(HANDLED_SIGNALS[i].number, SIG_DFL);
  if (sigchld_was_ignored) signal(SIGCHLD, SIG_IGN);
  sigprocmask(SIG_SETMASK, &start_mask, nullptr);
}

void die_by_signal(int signal_number) {
  const struct rlimit no_core = {0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  signal(signal_number, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal_number);
  kill(getpid(), signal_number);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  // Still here: the signal does not end this process.
  exit(128 + signal_number);
}
