// What a launcher would do with a package's entries: the checks behind an
// honest verify, and the marks that list shows.
#ifndef VORLIX_PACK_LAUNCH_CHECK_H_
#define VORLIX_PACK_LAUNCH_CHECK_H_

#include <set>
#include <string>
#include <vector>

#include "format/package_format.h"
#include "format/package_reader.h"

namespace vorlix::pack {

// Room left in the launcher's 1023-byte program path for the target
// directory ("/tmp/onefile_<pid>_<seconds>_<microseconds>" and a longer
// TMPDIR): the program's own name may take the rest.
inline constexpr size_t TARGET_DIRECTORY_RESERVE = 128;
inline constexpr size_t EXEC_NAME_MAX = EXEC_PATH_MAX - TARGET_DIRECTORY_RESERVE - 1;

// Entries are given in archive order. A package the launcher can run, whose
// entries all land inside its directory, draws no problem.
class LaunchCheck {
 public:
  // The problem with |entry|, or "" when there is none.
  std::string check(const EntryInfo& entry);
  // Problems of the archive as a whole, once its last entry has been seen.
  std::vector<std::string> finish() const;

 private:
  size_t entries_ = 0;
  std::set<std::string> links_;        // names that are links now
  std::set<std::string> files_;        // names that are regular files now
  std::set<std::string> directories_;  // made as parents of entries
};

}  // namespace vorlix::pack

#endif  // VORLIX_PACK_LAUNCH_CHECK_H_
