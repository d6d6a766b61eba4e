// vorlix-pack: makes, lists, extracts and verifies Vorlix packages.
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "pack/commands.h"
#include "pack/target_spec.h"

namespace {

constexpr char USAGE[] =
    "Usage: vorlix-pack COMMAND [OPTION]... ARGUMENT...\n"
    "Make single-file packages that extract and run a program.\n"
    "\n"
    "Commands:\n"
    "  create -o OUTPUT [options] INPUT   pack a directory or one executable file\n"
    "  list [--json] PACKAGE              show the entries of a package\n"
    "  extract PACKAGE DIR                write the entries below DIR, running nothing\n"
    "  verify PACKAGE                     check a package from end to end\n"
    "\n"
    "Options of create:\n"
    "  -o, --output FILE    the package to write (replaced only when complete)\n"
    "  -e, --exec REL       the program to run, relative to INPUT (default: the\n"
    "                       only executable file at the top of INPUT)\n"
    "  -l, --level N        zstd level 1-19 (default 19); 20-22 with --ultra\n"
    "      --ultra          allow levels up to 22\n"
    "  -T, --threads N      compression threads (default: all CPUs)\n"
    "      --launcher FILE  launcher image (default: vorlix-launcher beside vorlix-pack)\n"
    "      --target-dir SPEC  where the package extracts, a path spec such as\n"
    "                       '{PROGRAM_DIR}/.run-{PID}' (default: a fresh\n"
    "                       '{TEMP}/onefile_{PID}_{TIME}' for every run)\n"
    "      --cache          extract once into a directory that is kept (default\n"
    "                       '{CACHE_DIR}/vorlix/NAME-HASH') and run from there\n"
    "  -q, --quiet          no progress and no summary\n"
    "\n"
    "  -h, --help           show this help\n"
    "  -V, --version        show the version\n";

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

int parse_int(const char* text, const char* what) {
  char* end = nullptr;
  long value = strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 0 || value > 1 << 20)
    throw UsageError(std::string("invalid ") + what + ": '" + text + "'");
  return static_cast<int>(value);
}

// The operands left after the options; |count| of them are required.
std::vector<std::string> operands(int argc, char** argv, size_t count, const char* command) {
  std::vector<std::string> rest(argv + optind, argv + argc);
  if (rest.size() != count)
    throw UsageError(std::string(command) + ": expected " + std::to_string(count) + " argument" +
                     (count == 1 ? "" : "s") + ", got " + std::to_string(rest.size()));
  return rest;
}

// Options common to every command; returns false for an unknown option.
void unknown_option(const char* command) { throw UsageError(std::string(command) + ": unknown option"); }

int run_create(int argc, char** argv) {
  static const option long_options[] = {
      {"output", required_argument, nullptr, 'o'}, {"exec", required_argument, nullptr, 'e'},
      {"level", required_argument, nullptr, 'l'},  {"ultra", no_argument, nullptr, 'U'},
      {"threads", required_argument, nullptr, 'T'}, {"launcher", required_argument, nullptr, 'L'},
      {"quiet", no_argument, nullptr, 'q'},        {"target-dir", required_argument, nullptr, 'D'},
      {"cache", no_argument, nullptr, 'C'},        {nullptr, 0, nullptr, 0}};
  vorlix::pack::CreateOptions options;
  for (int c; (c = getopt_long(argc, argv, "+o:e:l:T:q", long_options, nullptr)) != -1;) {
    switch (c) {
      case 'o': options.output = optarg; break;
      case 'e': options.exec = optarg; break;
      case 'l': options.level = parse_int(optarg, "level"); break;
      case 'U': options.ultra = true; break;
      case 'T': options.threads = parse_int(optarg, "thread count"); break;
      case 'L': options.launcher = optarg; break;
      case 'q': options.quiet = true; break;
      case 'D': options.target_spec = optarg; break;
      case 'C': options.cache = true; break;
      default: unknown_option("create");
    }
  }
  if (options.output.empty()) throw UsageError("create: missing -o OUTPUT");
  int max_level = options.ultra ? 22 : 19;
  if (options.level < 1 || options.level > max_level)
    throw UsageError("create: level must be 1 to " + std::to_string(max_level) +
                     (options.ultra ? "" : " (20-22 need --ultra)"));
  if (!options.target_spec.empty()) {
    std::string problem = vorlix::pack::target_spec_problem(options.target_spec, options.cache);
    if (!problem.empty()) throw UsageError("create: --target-dir '" + options.target_spec + "': " + problem);
  }
  options.input = operands(argc, argv, 1, "create")[0];
  return vorlix::pack::create_package(options);
}

int run_list(int argc, char** argv) {
  static const option long_options[] = {{"json", no_argument, nullptr, 'j'}, {nullptr, 0, nullptr, 0}};
  bool json = false;
  for (int c; (c = getopt_long(argc, argv, "+", long_options, nullptr)) != -1;) {
    if (c == 'j')
      json = true;
    else
      unknown_option("list");
  }
  return vorlix::pack::list_package(operands(argc, argv, 1, "list")[0], json);
}

int run_without_options(int argc, char** argv, const char* command, size_t count,
                        int (*body)(const std::vector<std::string>&)) {
  static const option no_options[] = {{nullptr, 0, nullptr, 0}};
  if (getopt_long(argc, argv, "+", no_options, nullptr) != -1) unknown_option(command);
  return body(operands(argc, argv, count, command));
}

}  // namespace

int main(int argc, char** argv) {
  opterr = 0;  // our own one-line messages instead of getopt's
  std::string command = argc > 1 ? argv[1] : "";
  try {
    if (command == "-h" || command == "--help") {
      fputs(USAGE, stdout);
      return 0;
    }
    if (command == "-V" || command == "--version") {
      printf("vorlix-pack %s\n", VORLIX_VERSION);
      return 0;
    }
    // Options are parsed from the command on.
    argc -= 1;
    argv += 1;
    optind = 1;
    if (command == "create") return run_create(argc, argv);
    if (command == "list") return run_list(argc, argv);
    if (command == "extract")
      return run_without_options(argc, argv, "extract", 2, [](const std::vector<std::string>& args) {
        return vorlix::pack::extract_package(args[0], args[1]);
      });
    if (command == "verify")
      return run_without_options(argc, argv, "verify", 1, [](const std::vector<std::string>& args) {
        return vorlix::pack::verify_package_file(args[0]);
      });
    throw UsageError(command.empty() ? "missing command" : "unknown command '" + command + "'");
  } catch (const UsageError& e) {
    fprintf(stderr, "vorlix-pack: %s (try 'vorlix-pack --help')\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    fprintf(stderr, "vorlix-pack: %s\n", e.what());
    return 1;
  }
}
