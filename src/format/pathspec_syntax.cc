#include "format/pathspec_syntax.h"

#include <string.h>
#include <strings.h>

const PathSpecPlaceholder* find_path_spec_placeholder(const char* name, size_t length) {
  for (const PathSpecPlaceholder& p : PATH_SPEC_PLACEHOLDERS)
    if (strlen(p.name) == length && strncasecmp(p.name, name, length) == 0) return &p;
  return nullptr;
}

namespace {

bool is(const PathSpecPlaceholder* placeholder, const char* name) { return strcmp(placeholder->name, name) == 0; }

TargetSpecCheck fault(TargetSpecFault kind) { return {kind, 0, 0}; }

}  // namespace

TargetSpecCheck check_target_spec(const char* spec, size_t length, bool cached) {
  bool absolute = length > 0 && spec[0] == '/';
  bool names_pid = false;
  bool names_time = false;
  for (size_t at = 0; at < length; ++at) {
    if (spec[at] == '}') return fault(TARGET_SPEC_LONE_CLOSE);
    if (spec[at] != '{') continue;
    size_t end = at + 1;
    while (end < length && spec[end] != '{' && spec[end] != '}') ++end;
    if (end == length || spec[end] == '{') return fault(TARGET_SPEC_UNCLOSED);
    const PathSpecPlaceholder* placeholder = find_path_spec_placeholder(spec + at + 1, end - at - 1);
    if (placeholder == nullptr) return {TARGET_SPEC_UNKNOWN_PLACEHOLDER, at, end + 1};
    if (at == 0) absolute = placeholder->gives_absolute_path;
    names_pid = names_pid || is(placeholder, "PID");
    names_time = names_time || is(placeholder, "TIME");
    at = end;
  }
  if (!absolute) return fault(TARGET_SPEC_NOT_ABSOLUTE);
  if (!cached && !names_pid) return fault(TARGET_SPEC_NO_PID);
  if (cached && (names_pid || names_time)) return fault(TARGET_SPEC_NOT_STABLE);
  return fault(TARGET_SPEC_SOUND);
}
