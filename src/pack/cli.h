// The command line of vorlix-pack: one table per command drives the parser,
// --help, the manual page and the shell completions, so they cannot drift.
#ifndef VORLIX_PACK_CLI_H_
#define VORLIX_PACK_CLI_H_

#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vorlix::pack {

struct OptionSpec {
  const char* long_name;
  char short_name;    // 0: none
  const char* value;  // the value's name ("FILE"); nullptr for a flag
  const char* help;
};

struct CommandSpec {
  const char* name;
  std::vector<const char*> operands;  // required, in order
  const char* summary;                // one line
  const char* description;            // for --help and the manual
  std::vector<OptionSpec> options;    // --help is every command's too
};

// Wrong use of the command line: exit status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

const std::vector<CommandSpec>& command_specs();
const CommandSpec* find_command(std::string_view name);
// The command |name| was most likely meant to be, or "" when none is close.
std::string nearest_command(std::string_view name);

struct ParsedCommand {
  std::map<std::string, std::string> values;  // long name -> value ("" for a flag)
  std::vector<std::string> operands;
  bool help = false;
  bool has(const std::string& name) const { return values.count(name) > 0; }
};

// getopt_long conventions: --opt=value and --opt value, bundled short
// options, options anywhere before "--". Throws UsageError for an unknown
// option, a missing or empty value, or the wrong number of operands (or an
// empty one).
ParsedCommand parse_command(const CommandSpec& command, int argc, char** argv);

std::string general_help();
std::string command_help(const CommandSpec& command);
// The manual page, in mdoc.
std::string manual_page(const char* version);
// Completion scripts for "bash" or "zsh"; throws UsageError for another.
std::string completion_script(std::string_view shell);

}  // namespace vorlix::pack

#endif  // VORLIX_PACK_CLI_H_
