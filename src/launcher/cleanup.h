// Stopping the child and removing the target directory, from the launch
// sequence or from a termination signal. Everything here is
// async-signal-safe: no allocation, no stdio, no directory streams.
#ifndef VORLIX_LAUNCHER_CLEANUP_H_
#define VORLIX_LAUNCHER_CLEANUP_H_

inline constexpr long GRACE_NAP_NS = 200000000;
inline constexpr long GRACE_LIMIT_S = 5;

// Installs on_termination_signal for SIGINT, SIGQUIT and SIGTERM. The handler
// stays installed, interrupted system calls are restarted, and all three
// signals are held back while it runs, so clean-ups never nest.
void install_termination_handler();

// Runs stop_child_and_clean_up and returns; never ends the launcher.
void on_termination_signal(int signal_number);

// Gives a running child up to GRACE_LIMIT_S (counted in naps of GRACE_NAP_NS)
// to end, then sends it SIGKILL; then removes the target directory if the
// extraction has begun and this launcher made the directory. A child reaped
// here leaves its wait status in child_wait_status.
void stop_child_and_clean_up();

// Same, with the termination signals held back for its duration; for the
// launch sequence's own calls, so a signal cannot start a second run inside.
void stop_child_and_clean_up_blocking_signals();

// Removes everything below the directory |path| and then the directory
// itself. Symbolic links are removed, never followed. Returns 0 when every
// entry below went, -1 when it stopped at the first one that did not (that
// entry, the ones not yet visited and the directories above stay) or when
// |path| is not a directory. Whether the final rmdir works does not count.
int remove_directory_tree(const char* path);

#endif  // VORLIX_LAUNCHER_CLEANUP_H_
