#include "format/launcher_config.h"

#include "format/package_format.h"
#include "format/pathspec_syntax.h"

namespace {

// The mark with every byte inverted. This checker is part of the launcher,
// whose image must hold the mark only in its block (that is how the packer
// finds the block): the copy compared with is kept inverted and read through
// volatile, so that the compiler cannot fold it back into the mark's bytes.
struct InvertedMark {
  unsigned char bytes[sizeof LAUNCHER_CONFIG_MARK];
};

constexpr InvertedMark invert_mark() {
  InvertedMark inverted = {};
  for (size_t i = 0; i < sizeof LAUNCHER_CONFIG_MARK; ++i)
    inverted.bytes[i] = static_cast<unsigned char>(~static_cast<unsigned char>(LAUNCHER_CONFIG_MARK[i]));
  return inverted;
}

const volatile InvertedMark INVERTED_MARK = invert_mark();

bool mark_intact(const char* mark) {
  for (size_t i = 0; i < sizeof INVERTED_MARK.bytes; ++i)
    if (static_cast<unsigned char>(~static_cast<unsigned char>(mark[i])) != INVERTED_MARK.bytes[i]) return false;
  return true;
}

// The length of the text in |field|, or |size| when its NUL is missing.
size_t text_length(const char* field, size_t size) {
  size_t length = 0;
  while (length < size && field[length] != '\0') ++length;
  return length;
}

const char* spec_problem(const char* spec, size_t length, bool cached) {
  switch (check_target_spec(spec, length, cached).fault) {
    case TARGET_SPEC_SOUND: return nullptr;
    case TARGET_SPEC_LONE_CLOSE: return "its target directory has a '}' without '{'";
    case TARGET_SPEC_UNCLOSED: return "its target directory has an unclosed '{'";
    case TARGET_SPEC_UNKNOWN_PLACEHOLDER: return "its target directory names an unknown placeholder";
    case TARGET_SPEC_NOT_ABSOLUTE: return "its target directory may not give an absolute path";
    case TARGET_SPEC_NO_PID: return "its temporary target directory does not name {PID}";
    case TARGET_SPEC_NOT_STABLE: return "its cached target directory names {PID} or {TIME}";
  }
  return "its target directory is unreadable";
}

const char* exec_name_problem(const char* name, size_t length) {
  switch (entry_name_fault(name, length)) {
    case ENTRY_NAME_SOUND: return nullptr;
    case ENTRY_NAME_EMPTY: return "its exec name is empty";
    case ENTRY_NAME_ABSOLUTE: return "its exec name is absolute";
    case ENTRY_NAME_EMPTY_COMPONENT: return "its exec name has an empty component";
    case ENTRY_NAME_DOT_DOT_COMPONENT: return "its exec name has a '..' component";
    case ENTRY_NAME_DOT_COMPONENT: return "its exec name has a '.' component";
  }
  return "its exec name is unsafe";
}

const char* payload_hash_problem(const char* hash, size_t length) {
  if (length == 0) return "its payload hash is empty";
  for (size_t i = 0; i < length; ++i) {
    char c = hash[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return "its payload hash is not hexadecimal";
  }
  return nullptr;
}

}  // namespace

const char* launcher_config_problem(const LauncherConfig& config) {
  if (!mark_intact(config.mark)) return "its mark is damaged";
  if (config.mode != LAUNCH_MODE_TEMPORARY && config.mode != LAUNCH_MODE_CACHED) return "its mode is unknown";
  if (config.grace_period > launcher_config_grace_period_field(GRACE_PERIOD_MAX_S))
    return "its grace period is out of range";
  size_t spec_length = text_length(config.target_spec, sizeof config.target_spec);
  if (spec_length == sizeof config.target_spec) return "its target directory does not end within its field";
  size_t hash_length = text_length(config.payload_hash, sizeof config.payload_hash);
  if (hash_length == sizeof config.payload_hash) return "its payload hash does not end within its field";
  size_t name_length = text_length(config.exec_name, sizeof config.exec_name);
  if (name_length == sizeof config.exec_name) return "its exec name does not end within its field";
  bool cached = config.mode == LAUNCH_MODE_CACHED;
  const char* spec = spec_length > 0 ? config.target_spec : TARGET_DIR_SPEC;
  if (const char* problem = spec_problem(spec, spec_length > 0 ? spec_length : sizeof TARGET_DIR_SPEC - 1, cached))
    return problem;
  if (!cached) return nullptr;
  if (const char* problem = exec_name_problem(config.exec_name, name_length)) return problem;
  return payload_hash_problem(config.payload_hash, hash_length);
}
