// Steps of the launch that both modes take: what the program is told through
// the environment, the extraction of the payload, and the exec of the
// program.
#ifndef VORLIX_LAUNCHER_LAUNCH_STEPS_H_
#define VORLIX_LAUNCHER_LAUNCH_STEPS_H_

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
// exits with 2.
[[noreturn]] void exec_program(int argc, char** argv);

// The shell's convention: an exit code as it is, a death by signal N as
// 128 + N.
int exit_status_of(int wait_status);

#endif  // VORLIX_LAUNCHER_LAUNCH_STEPS_H_
