// Process-wide state of the launcher, shared by the launch sequence, the
// extraction and the clean-up that a termination signal may run at any time.
// It lies below both the launch sequence and the payload code, which use it.
#ifndef VORLIX_STATE_LAUNCH_STATE_H_
#define VORLIX_STATE_LAUNCH_STATE_H_

#include <signal.h>
#include <stddef.h>
#include <sys/types.h>

inline constexpr size_t TARGET_DIRECTORY_SIZE = 4096;
inline constexpr size_t EXEC_PATH_SIZE = 1024;

// Where the archive is extracted; filled by the path spec expansion before
// any signal handler exists. In cached mode it names the private directory
// beside the kept one while that is written, and the kept one again once it
// is in place (target_directory_made is then 0, so no clean-up removes it).
extern char target_directory[TARGET_DIRECTORY_SIZE];

// The full path of the first archive entry: the program the child runs.
extern char exec_path[EXEC_PATH_SIZE];

// 1 from just before the first archive entry is read; never cleared.
extern volatile sig_atomic_t extraction_started;

// 1 once this launcher has made the target directory itself with mkdir. The
// clean-up removes nothing else: a directory that was already there (perhaps
// planted by someone else) is never touched.
extern volatile sig_atomic_t target_directory_made;

// The first termination signal that came before the program was started; 0
// while none has. The launch stops at its next check (before the extraction,
// after every piece the extraction writes, before the fork or the exec),
// removes what it wrote and ends by that signal.
extern volatile sig_atomic_t stop_signal;

// The directory this run writes into (the temporary one, or a cached first
// run's private one), once made: held open by |run_directory_fd| without
// close-on-exec, with a flock on it, so that the program and its descendants
// inherit the lock (tmp cleaners that honour locks, and the sweep of dead
// runs, leave the directory alone while any of them lives). Its device and
// inode tell whether the path still leads to it. -1 until then.
extern int run_directory_fd;
extern dev_t run_directory_device;
extern ino_t run_directory_inode;

// Opens |path| (a directory this process has just made, mode 0700, or a kept
// one) as the run's directory and locks it (|lock|: LOCK_SH or LOCK_EX, without waiting;
// where the file system has no locks it stays unlocked). False, with errno
// set, when it is not a directory of the effective user's that only they
// can write to. |*busy|, when given, tells whether another process held a
// conflicting lock.
bool hold_run_directory(const char* path, int lock, bool* busy = nullptr);

// Closes the held run directory (its lock goes with it).
void release_run_directory();

// Whether |path| still leads to the held run directory (not followed if it
// is a link).
bool run_directory_is_at(const char* path);

// The child's process id once fork has returned in the parent; 0 before.
extern volatile pid_t child_pid;

// Writes "<message>: <error text>\n" to standard error.
void report_errno(const char* message, int error_number);

#endif  // VORLIX_STATE_LAUNCH_STATE_H_
