#include "pack/target_dir.h"

#include <strings.h>

#include <vector>

#include "format/launcher_config.h"
#include "pathspec/expansion.h"

namespace vorlix::pack {
namespace {

const PathSpecPlaceholder* find_placeholder(const std::string& name) {
  for (const PathSpecPlaceholder& p : PATH_SPEC_PLACEHOLDERS)
    if (strcasecmp(p.name, name.c_str()) == 0) return &p;
  return nullptr;
}

}  // namespace

std::string target_spec_problem(std::string_view spec, bool cached) {
  if (spec.empty()) return "empty";
  if (spec.size() >= LAUNCHER_CONFIG_SPEC_SIZE)
    return "longer than " + std::to_string(LAUNCHER_CONFIG_SPEC_SIZE - 1) + " bytes";
  std::vector<std::string> names;
  bool absolute = spec.front() == '/';
  for (size_t at = 0; at < spec.size(); ++at) {
    if (spec[at] == '}') return "'}' without '{'";
    if (spec[at] != '{') continue;
    size_t end = spec.find_first_of("{}", at + 1);
    if (end == std::string_view::npos || spec[end] == '{') return "unclosed '{'";
    std::string name(spec.substr(at + 1, end - at - 1));
    const PathSpecPlaceholder* placeholder = find_placeholder(name);
    if (placeholder == nullptr) return "unknown placeholder '{" + name + "}'";
    if (at == 0) absolute = placeholder->gives_absolute_path;
    names.push_back(placeholder->name);
    at = end;
  }
  if (!absolute) return "does not start with '/' or a directory placeholder, so it may not give an absolute path";
  bool unique = false;
  for (const std::string& name : names) unique = unique || name == "PID" || name == "TIME";
  if (!cached && !unique) return "names neither {PID} nor {TIME}, so two runs at once would share a directory";
  if (cached && unique) return "names {PID} or {TIME}, so every run would extract anew and keep another directory";
  return "";
}

std::string default_cache_spec(std::string name, std::string_view hash) {
  for (char& c : name)
    if (c == '{' || c == '}') c = '_';
  if (name.empty()) name = "package";
  return "{CACHE_DIR}/vorlix/" + name + "-" + std::string(hash);
}

}  // namespace vorlix::pack
