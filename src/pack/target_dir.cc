#include "pack/target_dir.h"

#include "format/launcher_config.h"
#include "format/pathspec_syntax.h"

namespace vorlix::pack {

std::string target_spec_problem(std::string_view spec, bool cached) {
  if (spec.empty()) return "empty";
  if (spec.size() >= LAUNCHER_CONFIG_SPEC_SIZE)
    return "longer than " + std::to_string(LAUNCHER_CONFIG_SPEC_SIZE - 1) + " bytes";
  TargetSpecCheck check = check_target_spec(spec.data(), spec.size(), cached);
  switch (check.fault) {
    case TARGET_SPEC_SOUND:
      return "";
    case TARGET_SPEC_LONE_CLOSE:
      return "'}' without '{'";
    case TARGET_SPEC_UNCLOSED:
      return "unclosed '{'";
    case TARGET_SPEC_UNKNOWN_PLACEHOLDER:
      return "unknown placeholder '" + std::string(spec.substr(check.begin, check.end - check.begin)) + "'";
    case TARGET_SPEC_NOT_ABSOLUTE:
      return "does not start with '/' or a directory placeholder, so it may not give an absolute path";
    case TARGET_SPEC_NO_PID:
      return "does not name {PID}, so two runs at once could share a directory ({TIME} is shared by packages "
             "that one package starts)";
    case TARGET_SPEC_NOT_STABLE:
      return "names {PID} or {TIME}, so every run would extract anew and keep another directory";
  }
  return "not a path spec";
}

std::string default_cache_spec(std::string name, std::string_view hash) {
  for (char& c : name)
    if (c == '{' || c == '}') c = '_';
  if (name.empty()) name = "package";
  return "{CACHE_DIR}/vorlix/" + name + "-" + std::string(hash);
}

}  // namespace vorlix::pack
