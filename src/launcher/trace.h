// The trace switch: with VORLIX_ONEFILE_TRACE set (to anything but "" or
// "0") the launcher writes one line per step to standard error, each
// starting "vorlix: ". Without it nothing is written and nothing is asked of
// the system beyond reading the variable. Lines are written from the main
// flow only, never from a signal handler.
#ifndef VORLIX_LAUNCHER_TRACE_H_
#define VORLIX_LAUNCHER_TRACE_H_

// Reads the switch; the first step of main.
void start_trace();

// Whether lines are written.
extern bool tracing;

// Writes "vorlix: <formatted text>\n" in one write, when tracing.
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Milliseconds on a monotonic clock, for the durations of steps; 0 when not
// tracing (so that no clock is read).
double trace_clock_ms();

// "SIGTERM" for 15, "signal 77" for what has no name.
const char* trace_signal_name(int signal_number);

// Describes how the program ended: "exit code 3", "signal SIGKILL".
void trace_program_end(const char* who, int wait_status);

#endif  // VORLIX_LAUNCHER_TRACE_H_
