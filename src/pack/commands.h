// The vorlix-pack commands. Each returns the process's exit status; failures
// are thrown as std::runtime_error whose text is "<what>: <why>".
#ifndef VORLIX_PACK_COMMANDS_H_
#define VORLIX_PACK_COMMANDS_H_

#include <optional>
#include <string>
#include <string_view>

#include "format/launcher_config.h"

namespace vorlix::pack {

struct CreateOptions {
  std::string output;
  std::string input;
  std::string exec;      // relative to input; empty: choose
  std::string launcher;  // empty: the vorlix-launcher beside vorlix-pack
  int level = 19;
  bool ultra = false;
  int threads = 0;       // 0: the number of online CPUs
  bool quiet = false;
  std::string target_spec;  // empty: the mode's default
  bool cache = false;       // cached mode: extract once, keep the directory
  std::optional<uint32_t> grace_period;  // seconds; none: the launcher's default
};

int create_package(const CreateOptions& options);
int list_package(const std::string& package, bool json);
int extract_package(const std::string& package, const std::string& directory);
int verify_package_file(const std::string& package);

// How a package's launcher is set up to run it.
struct LaunchSetting {
  std::string mode = "temporary";
  std::string target_spec = TARGET_DIR_SPEC;
  std::optional<uint32_t> grace_period_s = GRACE_PERIOD_DEFAULT_S;  // none: unknown
  std::string payload_hash;  // cached mode
  std::string exec_name;     // cached mode
  // Why a launcher would refuse the configuration; "" when it is sound.
  std::string problem;
};
LaunchSetting launch_setting_of(std::string_view package);

// The work of list and extract over a package's bytes; a FormatError for a
// damaged package, std::runtime_error for refused entries and the disk.
std::string list_entries(std::string_view package, bool json);
void extract_entries(std::string_view package, const std::string& directory);

}  // namespace vorlix::pack

#endif  // VORLIX_PACK_COMMANDS_H_
