// Stopping the child and removing the target directory, from the launch
// sequence or from a termination signal. Everything here is
// async-signal-safe: no allocation, no stdio, no directory streams.
#ifndef VORLIX_LAUNCHER_CLEANUP_H_
#define VORLIX_LAUNCHER_CLEANUP_H_

#include <sys/types.h>

inline constexpr long GRACE_NAP_NS = 200000000;
inline constexpr long GRACE_LIMIT_S = 5;

// Asks without blocking whether the child has ended, and reaps it if so,
// leaving its wait status in child_wait_status and child_reaped set. Returns
// waitpid's result: the pid when it reaped the child, 0 while it runs, -1 on
// failure (errno set). Retries on EINTR.
pid_t inquire_child();

// Gives a running child up to GRACE_LIMIT_S (counted in naps of GRACE_NAP_NS)
// to end, then sends it SIGKILL; then removes the target directory if the
// extraction has begun and this launcher made the directory. A child reaped
// here leaves its wait status in child_wait_status.
void stop_child_and_clean_up();

#endif  // VORLIX_LAUNCHER_CLEANUP_H_
