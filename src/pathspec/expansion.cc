#include "pathspec/expansion.h"

#include <ctype.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/time.h>
#include <unistd.h>

#include "payload/self_location.h"

namespace {

constexpr size_t NAME_BUFFER_SIZE = 1024;
constexpr size_t SCRATCH_BUFFER_SIZE = 1024;
constexpr size_t PID_TEXT_LIMIT = 128;

// The output buffer of the outermost call. Nested expansions write at its
// current end with the room that is left, so they all share |limit|; only the
// outermost call starts from an empty buffer.
struct Output {
  char* buffer;
  size_t length;  // characters before the terminating NUL
  size_t limit;   // capacity of the outermost call
  size_t room() const { return limit - length; }
};

bool expand_into(Output* out, const char* spec);

// Appends |value| whole or not at all; the NUL must fit too.
bool add_plain(Output* out, const char* value) {
  size_t size = strlen(value);
  if (size >= out->room()) return false;
  memcpy(out->buffer + out->length, value, size + 1);
  out->length += size;
  return true;
}

// Removes trailing '/' down to the start of the outermost buffer.
void apply_path_treatment(Output* out) {
  while (out->length > 0 && out->buffer[out->length - 1] == '/') out->buffer[--out->length] = '\0';
}

bool add_pid(Output* out, char* scratch) {
  const char* parent = getenv("VORLIX_ONEFILE_PARENT");
  if (parent == nullptr) {
    snprintf(scratch, PID_TEXT_LIMIT, "%d", static_cast<int>(getpid()));
    return add_plain(out, scratch);
  }
  // The launcher sets this variable itself before expanding; anything but
  // digits means that contract was broken.
  if (parent[0] == '\0') abort();
  for (const char* c = parent; *c != '\0'; ++c)
    if (!isdigit(static_cast<unsigned char>(*c))) abort();
  return add_plain(out, parent);
}

bool add_home(Output* out) {
  const char* home = getenv("HOME");
  if (home == nullptr) {
    const struct passwd* entry = getpwuid(getuid());
    if (entry == nullptr || entry->pw_dir == nullptr) return false;
    home = entry->pw_dir;
  }
  return add_plain(out, home);
}

// Whether |text| has the form of a start stamp: <digits>_<digits>.
bool is_start_stamp(const char* text) {
  const char* c = text;
  if (!isdigit(static_cast<unsigned char>(*c))) return false;
  while (isdigit(static_cast<unsigned char>(*c))) ++c;
  if (*c++ != '_' || !isdigit(static_cast<unsigned char>(*c))) return false;
  while (isdigit(static_cast<unsigned char>(*c))) ++c;
  return *c == '\0';
}

bool add_time(Output* out, char* scratch) {
  // An inherited stamp is used only in the form this launcher gives it: any
  // other text (a "/" or "..") would steer the path.
  const char* start = getenv("VORLIX_ONEFILE_START");
  if (start != nullptr && is_start_stamp(start)) return add_plain(out, start);
  struct timeval now;
  gettimeofday(&now, nullptr);
  snprintf(scratch, SCRATCH_BUFFER_SIZE, "%ld_%ld", static_cast<long>(now.tv_sec),
           static_cast<long>(now.tv_usec));
  setenv("VORLIX_ONEFILE_START", scratch, 1);
  return add_plain(out, scratch);
}

bool add_program_base(Output* out) {
  size_t begin = out->length;
  if (!expand_into(out, "{PROGRAM}")) return false;
  if (out->length - begin >= 4 && strcasecmp(out->buffer + out->length - 4, ".bin") == 0) {
    out->length -= 4;
    out->buffer[out->length] = '\0';
  }
  return true;
}

bool add_program_dir(Output* out) {
  size_t begin = out->length;
  if (!expand_into(out, "{PROGRAM}")) return false;
  if (out->length == begin) return false;
  // Keep the text up to and including its last '/'; the path treatment then
  // takes that '/' away. An executable directly in "/" leaves nothing.
  size_t end = out->length;
  while (end > begin && out->buffer[end - 1] != '/') --end;
  out->length = end;
  out->buffer[end] = '\0';
  return true;
}

bool add_cache_dir(Output* out) {
  const char* cache = getenv("XDG_CACHE_HOME");
  if (cache != nullptr && cache[0] == '/') return add_plain(out, cache);
  return expand_into(out, "{HOME}/.cache");
}

// Adds the value of placeholder |name|; false for an unknown name or a value
// that cannot be had or does not fit.
bool add_placeholder(Output* out, const char* name, char* scratch) {
  bool added;
  bool is_path;
  if (strcasecmp(name, "TEMP") == 0) {
    const char* temp = getenv("TMPDIR");
    added = add_plain(out, temp != nullptr ? temp : "/tmp");
    is_path = true;
  } else if (strcasecmp(name, "PROGRAM") == 0) {
    added = add_plain(out, find_own_executable());
    is_path = false;
  } else if (strcasecmp(name, "PROGRAM_BASE") == 0) {
    added = add_program_base(out);
    is_path = false;
  } else if (strcasecmp(name, "PROGRAM_DIR") == 0) {
    added = add_program_dir(out);
    is_path = true;
  } else if (strcasecmp(name, "PID") == 0) {
    added = add_pid(out, scratch);
    is_path = false;
  } else if (strcasecmp(name, "HOME") == 0) {
    added = add_home(out);
    is_path = true;
  } else if (strcasecmp(name, "CACHE_DIR") == 0) {
    added = add_cache_dir(out);
    is_path = true;
  } else if (strcasecmp(name, "TIME") == 0) {
    added = add_time(out, scratch);
    is_path = false;
  } else {
    return false;
  }
  if (!added) return false;
  if (is_path) apply_path_treatment(out);
  return true;
}

bool expand_into(Output* out, const char* spec) {
  char name[NAME_BUFFER_SIZE];
  char scratch[SCRATCH_BUFFER_SIZE];
  size_t name_length = 0;
  bool in_placeholder = false;

  out->buffer[out->length] = '\0';
  for (const char* c = spec; *c != '\0'; ++c) {
    if (*c == '{') {
      in_placeholder = true;
      name_length = 0;
    } else if (in_placeholder && *c == '}') {
      name[name_length] = '\0';
      in_placeholder = false;
      if (!add_placeholder(out, name, scratch)) return false;
    } else if (in_placeholder) {
      if (name_length + 1 >= NAME_BUFFER_SIZE) return false;
      name[name_length++] = *c;
    } else {
      if (out->room() < 2) return false;
      out->buffer[out->length++] = *c;
      out->buffer[out->length] = '\0';
    }
  }
  return true;
}

}  // namespace

bool expand_path_spec(char* output, const char* spec, size_t capacity) {
  if (capacity == 0) return false;
  Output out = {output, 0, capacity};
  return expand_into(&out, spec);
}
