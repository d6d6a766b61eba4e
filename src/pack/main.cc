// vorlix-pack: makes, lists, extracts and verifies Vorlix packages.
#include <stdio.h>
#include <stdlib.h>

#include <stdexcept>
#include <string>

#include "pack/cli.h"
#include "pack/commands.h"
#include "pack/display.h"
#include "pack/target_dir.h"

namespace vorlix::pack {
namespace {

int parse_count(const std::string& text, int low, int high, const std::string& what, const std::string& range) {
  char* end = nullptr;
  long value = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < low || value > high)
    throw UsageError("invalid " + what + " '" + text + "' (" + range + ")");
  return static_cast<int>(value);
}

int run_create(const ParsedCommand& args) {
  CreateOptions options;
  auto value = [&](const char* name) { return args.has(name) ? args.values.at(name) : std::string(); };
  options.output = value("output");
  options.exec = value("exec");
  options.launcher = value("launcher");
  options.target_spec = value("target-dir");
  options.ultra = args.has("ultra");
  options.cache = args.has("cache");
  options.quiet = args.has("quiet");
  if (options.output.empty()) throw UsageError("missing -o OUTPUT");
  if (args.has("level")) {
    options.level = parse_count(value("level"), 1, 22, "level", "1-19, or 20-22 with --ultra");
    if (options.level > 19 && !options.ultra)
      throw UsageError("invalid level '" + value("level") + "' (1-19, or 20-22 with --ultra)");
  }
  if (args.has("threads")) options.threads = parse_count(value("threads"), 0, 256, "thread count", "0-256, 0 for all CPUs");
  if (args.has("grace-period"))
    options.grace_period = static_cast<uint32_t>(parse_count(value("grace-period"), 0, static_cast<int>(GRACE_PERIOD_MAX_S),
                                                             "grace period", "0-" + std::to_string(GRACE_PERIOD_MAX_S) + " seconds"));
  if (!options.target_spec.empty()) {
    std::string problem = target_spec_problem(options.target_spec, options.cache);
    if (!problem.empty()) throw UsageError("--target-dir '" + options.target_spec + "': " + problem);
  }
  options.input = args.operands[0];
  return create_package(options);
}

int dispatch(const CommandSpec& command, const ParsedCommand& args) {
  std::string name = command.name;
  if (name == "create") return run_create(args);
  if (name == "list") return list_package(args.operands[0], args.has("json"));
  if (name == "extract") return extract_package(args.operands[0], args.operands[1]);
  return verify_package_file(args.operands[0]);
}

// "vorlix-pack: COMMAND: <message>", one line whatever the message holds.
void report(const std::string& command, const std::string& message) {
  fprintf(stderr, "vorlix-pack: %s%s%s\n", command.c_str(), command.empty() ? "" : ": ", display_text(message).c_str());
}

int run(int argc, char** argv) {
  std::string first = argc > 1 ? argv[1] : "";
  if (first == "-h" || first == "--help") {
    fputs(general_help().c_str(), stdout);
    return 0;
  }
  if (first == "-V" || first == "--version") {
    printf("vorlix-pack %s\n", VORLIX_VERSION);
    return 0;
  }
  // For the build: the manual page and the completions, made from the
  // option tables.
  if (first == "--manual-page") {
    fputs(manual_page(VORLIX_VERSION).c_str(), stdout);
    return 0;
  }
  if (first == "--completion" && argc == 3) {
    fputs(completion_script(argv[2]).c_str(), stdout);
    return 0;
  }
  if (first == "help") {
    if (argc == 2) {
      fputs(general_help().c_str(), stdout);
      return 0;
    }
    const CommandSpec* command = find_command(argv[2]);
    if (command == nullptr || argc > 3) {
      report("help", std::string("unknown command '") + argv[2] + "' (try 'vorlix-pack help')");
      return 2;
    }
    fputs(command_help(*command).c_str(), stdout);
    return 0;
  }
  const CommandSpec* command = find_command(first);
  if (command == nullptr) {
    if (first.empty()) {
      report("", "missing command (try 'vorlix-pack help')");
    } else {
      std::string nearest = nearest_command(first);
      report("", "unknown command '" + first + "'" + (nearest.empty() ? "" : "; did you mean '" + nearest + "'?") +
                     " (try 'vorlix-pack help')");
    }
    return 2;
  }
  try {
    ParsedCommand args = parse_command(*command, argc - 1, argv + 1);
    if (args.help) {
      fputs(command_help(*command).c_str(), stdout);
      return 0;
    }
    return dispatch(*command, args);
  } catch (const UsageError& e) {
    report(command->name, std::string(e.what()) + " (try 'vorlix-pack " + command->name + " --help')");
    return 2;
  } catch (const std::exception& e) {
    report(command->name, e.what());
    return 1;
  }
}

}  // namespace
}  // namespace vorlix::pack

int main(int argc, char** argv) { return vorlix::pack::run(argc, argv); }
