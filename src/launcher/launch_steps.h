// Steps of the launch that both modes take: what the program is told through
// the environment, the extraction of the payload, and the exec of the
// program.
#ifndef VORLIX_LAUNCHER_LAUNCH_STEPS_H_
#define VORLIX_LAUNCHER_LAUNCH_STEPS_H_

// A launcher started set-user-ID or set-group-ID (or with file capabilities)
// refuses to run: one line on standard error, exit status 2.
void refuse_privileged_start();

// The trace's first lines: the package, the mode, the target directory.
void trace_launch();

// VORLIX_ONEFILE_PARENT: this process's id.
void publish_parent_pid();

// Reports that the target directory's path spec could not be expanded, and
// aborts.
[[noreturn]] void fatal_spec_expansion_error();

// Checks the payload header, decodes the archive below target_directory
// (from the first entry on, a termination signal removes it), and releases
// the mapping and the decoder. Every failure ends the launcher.
void extract_payload();

// Unmaps the own file and closes it, when nothing is to be extracted.
void release_own_file();

// VORLIX_ONEFILE_DIRECTORY (the directory holding the package),
// VORLIX_ORIGINAL_ARGV0 (argument zero as given) and, when no outer launcher
// or expansion has set it, VORLIX_ONEFILE_START.
void publish_program_environment(int argc, char** argv);

// Restores the signals the program must start with and executes exec_path
// with the package's own path as argument zero. Expects the handled signals
// blocked. On failure reports "Error, couldn't launch child (exec)" and
// leaves with _exit(2), so that a forked child never runs the clean-up.
[[noreturn]] void exec_program(int argc, char** argv);

// Runs the program as the launcher's child and waits for it (supervise.h);
// returns its wait status. A termination signal that came before stops the
// launch instead. In temporary mode (|temporary|) the launcher becomes the
// reaper of the program's descendants and waits for them too, and the
// program is killed by the kernel if the launcher is. A failed fork is
// reported ("Error, couldn't launch child (fork)") and exits with 2.
int run_program(int argc, char** argv, bool temporary);

// Cleans up and ends as the program ended: with its exit code, or by the
// signal that ended it.
[[noreturn]] void end_as_program_ended(int wait_status);

#endif  // VORLIX_LAUNCHER_LAUNCH_STEPS_H_
