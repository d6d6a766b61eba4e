#include "pack/launch_check.h"

#include "format/launcher_config.h"

namespace vorlix::pack {

std::string LaunchCheck::check(const EntryInfo& entry) {
  const std::string& name = entry.name;
  const std::string quoted = "'" + name + "'";
  bool first = entries_++ == 0;
  if (const char* reason = unsafe_name_reason(name)) return quoted + ": " + reason + ": it would land outside the package's directory";
  if (names_cache_complete_marker(name.data(), name.size()))
    return quoted + ": name kept for the cached directory's own record; a cached run would fail";
  if (first && (entry.is_link || !(entry.flags & ENTRY_FLAG_EXECUTABLE)))
    return quoted + ": the first entry is the program to run, and it is not an executable file";
  if (first && name.size() > EXEC_NAME_MAX)
    return quoted + ": the program's name is longer than " + std::to_string(EXEC_NAME_MAX) +
           " bytes; launchers could not run it";
  for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
    std::string parent = name.substr(0, slash);
    if (links_.count(parent)) return quoted + ": it would be written through the link '" + parent + "' made before it";
    if (files_.count(parent)) return quoted + ": it lies below the file '" + parent + "'; the launcher cannot make it";
  }
  if (!entry.is_link && links_.count(name))
    return quoted + ": it would be written through the link of that name made before it";
  if (directories_.count(name)) return quoted + ": a directory of that name holds earlier entries";
  for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1))
    directories_.insert(name.substr(0, slash));
  (entry.is_link ? links_ : files_).insert(name);
  (entry.is_link ? files_ : links_).erase(name);
  return "";
}

std::vector<std::string> LaunchCheck::finish() const {
  if (entries_ == 0) return {"no entries: there is no program to run"};
  return {};
}

}  // namespace vorlix::pack
