#include "launcher/supervise.h"

#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>

#include "launcher/configuration.h"
#include "launcher/signals.h"
#include "launcher/trace.h"
#include "platform/platform.h"
#include "state/launch_state.h"

namespace {

// How often SIGKILL is sent again to descendants that are still there after
// it (they may have forked while the first one was on its way).
constexpr long KILL_RETRY_NS = 100000000;

struct Supervision {
  bool program_ended;
  int program_status;
  // Children other than the program were left at the last reap.
  bool others_remain;
  bool stopping;         // a stop request came, or the descendants are being stopped
  bool descendants_told;  // the program's descendants got SIGTERM
  bool deadline_set;
  struct timespec deadline;
  bool killed;           // the grace period is over and SIGKILL was sent
};

struct timespec now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

bool reached(const struct timespec& t) {
  struct timespec n = now();
  return n.tv_sec > t.tv_sec || (n.tv_sec == t.tv_sec && n.tv_nsec >= t.tv_nsec);
}

// The time from now until |t|, never negative.
struct timespec until(const struct timespec& t) {
  struct timespec n = now();
  struct timespec left = {t.tv_sec - n.tv_sec, t.tv_nsec - n.tv_nsec};
  if (left.tv_nsec < 0) {
    left.tv_nsec += 1000000000L;
    left.tv_sec -= 1;
  }
  if (left.tv_sec < 0) left = {0, 0};
  return left;
}

void start_grace_period(Supervision* s) {
  trace("grace period of %u s begins", launcher_config_grace_period_s(launcher_config));
  s->stopping = true;
  s->deadline_set = true;
  s->deadline = now();
  s->deadline.tv_sec += static_cast<time_t>(launcher_config_grace_period_s(launcher_config));
}

// Reaps every child that has ended; the program's status is kept.
void reap(Supervision* s) {
  for (;;) {
    int status = 0;
    pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid > 0) {
      if (pid == child_pid) {
        s->program_ended = true;
        s->program_status = status;
      }
      continue;
    }
    if (pid < 0 && errno == EINTR) continue;
    s->others_remain = pid == 0;
    return;
  }
}

void on_signal(Supervision* s, int signal_number, const siginfo_t* info) {
  if (signal_number == SIGCHLD || s->program_ended) return;
  if (sent_by_process(info)) {
    // A program that signals its own launcher gets nothing back.
    if (info->si_pid == child_pid) return;
    trace("%s from pid %d sent on to pid %d", trace_signal_name(signal_number), static_cast<int>(info->si_pid),
          static_cast<int>(child_pid));
    kill(child_pid, signal_number);
    if ((signal_number == SIGTERM || signal_number == SIGINT) && !s->stopping) start_grace_period(s);
  } else if (hang_up_missed_by_program(signal_number, info)) {
    trace("the terminal's hang-up sent on to pid %d", static_cast<int>(child_pid));
    kill(child_pid, signal_number);
  } else {
    trace("%s from the terminal reached the program itself", trace_signal_name(signal_number));
  }
}

}  // namespace

int supervise_program(bool stop_descendants) {
  Supervision s = {};
  sigset_t set;
  signals_to_wait_for(&set);
  for (;;) {
    reap(&s);
    if (s.program_ended) {
      if (!stop_descendants || !s.others_remain) return s.program_status;
      // The program has ended and left descendants running: they are
      // stopped as the program would be.
      if (!s.descendants_told) {
        s.descendants_told = true;
        trace("the program left processes running: SIGTERM to %d of them", platform_signal_descendants(SIGTERM));
        if (!s.deadline_set && !s.killed) start_grace_period(&s);
      }
    }
    if (s.deadline_set && reached(s.deadline)) {
      s.deadline_set = false;
      s.killed = true;
      trace("grace period over: SIGKILL");
      if (!s.program_ended) kill(child_pid, SIGKILL);
    }
    if (s.killed && s.program_ended) platform_signal_descendants(SIGKILL);

    siginfo_t info;
    int signal_number;
    if (s.deadline_set) {
      struct timespec left = until(s.deadline);
      signal_number = sigtimedwait(&set, &info, &left);
    } else if (s.killed && s.program_ended) {
      const struct timespec retry = {0, KILL_RETRY_NS};
      signal_number = sigtimedwait(&set, &info, &retry);
    } else {
      signal_number = sigwaitinfo(&set, &info);
    }
    if (signal_number > 0) on_signal(&s, signal_number, &info);
  }
}
