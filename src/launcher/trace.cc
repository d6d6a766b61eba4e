#include "launcher/trace.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "platform/platform.h"

bool tracing;

void start_trace() {
  const char* value = getenv("VORLIX_ONEFILE_TRACE");
  tracing = value != nullptr && value[0] != '\0' && strcmp(value, "0") != 0;
}

void trace(const char* format, ...) {
  if (!tracing) return;
  char line[8192];
  memcpy(line, "vorlix: ", 8);
  va_list arguments;
  va_start(arguments, format);
  int length = vsnprintf(line + 8, sizeof line - 9, format, arguments);
  va_end(arguments);
  if (length < 0) return;
  size_t size = 8 + (static_cast<size_t>(length) < sizeof line - 9 ? static_cast<size_t>(length) : sizeof line - 10);
  line[size++] = '\n';
  (void)!write(STDERR_FILENO, line, size);
}

double trace_clock_ms() {
  if (!tracing) return 0;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

const char* trace_signal_name(int signal_number) {
  static char name[32];
  const char* abbreviation = platform_signal_abbreviation(signal_number);
  if (abbreviation != nullptr)
    snprintf(name, sizeof name, "SIG%s", abbreviation);
  else
    snprintf(name, sizeof name, "signal %d", signal_number);
  return name;
}

void trace_program_end(const char* who, int wait_status) {
  if (!tracing) return;
  if (WIFSIGNALED(wait_status))
    trace("%s ended by %s%s", who, trace_signal_name(WTERMSIG(wait_status)),
          WCOREDUMP(wait_status) ? " (core dumped)" : "");
  else
    trace("%s ended with exit code %d", who, WEXITSTATUS(wait_status));
}
