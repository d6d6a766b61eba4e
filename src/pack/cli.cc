#include "pack/cli.h"

#include <getopt.h>

#include <algorithm>

namespace vorlix::pack {
namespace {

const OptionSpec HELP_OPTION = {"help", 'h', nullptr, "show this command's help"};

const std::vector<CommandSpec> COMMANDS = {
    {"create",
     {"INPUT"},
     "make a package of a directory or of one executable file",
     "INPUT is a directory, whose regular files and symbolic links all become entries, or a single "
     "executable file; a symbolic link given as INPUT is followed. The program to run becomes the first "
     "entry, the others follow in byte order of their names, so the same input always gives the same "
     "package. The package is written beside OUTPUT and renamed into place only when complete.",
     {{"output", 'o', "FILE", "the package to write (required); never one of the inputs or inside INPUT"},
      {"exec", 'e', "REL", "the program to run, relative to INPUT (default: the only executable file at the top)"},
      {"level", 'l', "N", "zstd level 1-19 (default 19), or 20-22 with --ultra"},
      {"ultra", 0, nullptr, "allow levels 20-22"},
      {"threads", 'T', "N", "compression threads (default: all CPUs); the package is the same for any count"},
      {"launcher", 0, "FILE", "the launcher image (default: the one installed with vorlix-pack)"},
      {"target-dir", 0, "SPEC",
       "where the package extracts, a path spec such as '{PROGRAM_DIR}/.run-{PID}' (default: "
       "'{TEMP}/onefile_{PID}_{TIME}', or '{CACHE_DIR}/vorlix/NAME-HASH' with --cache)"},
      {"cache", 0, nullptr, "extract once into a directory that is kept, and run from there"},
      {"grace-period", 0, "SECONDS",
       "how long the program has to end after the launcher sent on a request to stop, before it is killed: "
       "0-3600 (default 5)"},
      {"quiet", 'q', nullptr, "no progress and no summary (warnings stay)"}}},
    {"list",
     {"PACKAGE"},
     "show a package's launch mode and entries",
     "Prints the launch mode, target directory and grace period, then one line per entry in archive order: 'f' file, "
     "'x' executable file, 'l' link (its size is the target's length). Names are shown with control "
     "characters and invalid UTF-8 escaped; entries that a launcher would refuse, or that would land "
     "outside the package's directory, are marked, as is a launcher configuration that a launcher would refuse.",
     {{"json", 0, nullptr, "print JSON: valid UTF-8 names as they are, others also as hexadecimal bytes"}}},
    {"extract",
     {"PACKAGE", "DIR"},
     "write a package's entries below DIR, running nothing",
     "For packages you do not trust: absolute names and names with '..', '.' or empty components are "
     "refused, and nothing is written through a symbolic link below DIR, neither one that was there nor one "
     "the package made. DIR itself may be a link, which is followed. Modes are those the launcher would "
     "give.",
     {}},
    {"verify",
     {"PACKAGE"},
     "check a package from end to end, as a launcher would run it",
     "Checks the trailer, the header, every zstd frame and its content checksum, the archive up to its end "
     "marker and that nothing follows it, and what a launcher would do: there is a first entry and it is an "
     "executable file, every entry lands inside the package's directory (no absolute names, no '..', '.' or "
     "empty components, nothing through a link an earlier entry made, none named .vorlix-complete), names fit "
     "the launcher, and the launcher's configuration block is sound. Prints "
     "one line per problem and exits 1, or prints the summary.",
     {}},
};

std::string option_label(const OptionSpec& o) {
  std::string label = o.short_name ? std::string("-") + o.short_name + ", " : "    ";
  label += std::string("--") + o.long_name;
  if (o.value) label += std::string(" ") + o.value;
  return label;
}

std::vector<OptionSpec> options_of(const CommandSpec& command) {
  std::vector<OptionSpec> options = command.options;
  options.push_back(HELP_OPTION);
  return options;
}

std::string operand_list(const CommandSpec& command) {
  std::string text;
  for (const char* operand : command.operands) text += std::string(" ") + operand;
  return text;
}

// Wraps |text| to |width| columns, each line after the first indented by
// |indent| spaces.
std::string wrap(const std::string& text, size_t width, size_t indent) {
  std::string out, line;
  size_t at = 0;
  while (at < text.size()) {
    size_t space = text.find(' ', at);
    std::string word = text.substr(at, space == std::string::npos ? std::string::npos : space - at);
    at = space == std::string::npos ? text.size() : space + 1;
    if (!line.empty() && line.size() + 1 + word.size() > width) {
      out += line + "\n" + std::string(indent, ' ');
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
  }
  return out + line;
}

size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// mdoc escapes: a backslash, and a line that would start with a dot.
std::string roff(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\\' ? std::string("\\e") : std::string(1, c);
  return out;
}

}  // namespace

const std::vector<CommandSpec>& command_specs() { return COMMANDS; }

const CommandSpec* find_command(std::string_view name) {
  for (const CommandSpec& c : COMMANDS)
    if (name == c.name) return &c;
  return nullptr;
}

std::string nearest_command(std::string_view name) {
  std::string best;
  size_t best_distance = 3;  // at most two edits away
  for (const CommandSpec& c : COMMANDS) {
    size_t distance = edit_distance(name, c.name);
    if (distance < best_distance) best_distance = distance, best = c.name;
  }
  if (edit_distance(name, "help") < best_distance) best = "help";
  return best;
}

ParsedCommand parse_command(const CommandSpec& command, int argc, char** argv) {
  std::vector<OptionSpec> options = options_of(command);
  // A leading ':' makes a missing value ':' rather than '?'.
  std::string short_options = ":";
  std::vector<option> long_options;
  for (size_t i = 0; i < options.size(); ++i) {
    const OptionSpec& o = options[i];
    if (o.short_name) short_options += std::string(1, o.short_name) + (o.value ? ":" : "");
    long_options.push_back({o.long_name, o.value ? required_argument : no_argument, nullptr, 256 + static_cast<int>(i)});
  }
  long_options.push_back({nullptr, 0, nullptr, 0});

  ParsedCommand parsed;
  opterr = 0;
  optind = 1;
  for (int c; (c = getopt_long(argc, argv, short_options.c_str(), long_options.data(), nullptr)) != -1;) {
    // Errors in getopt's own words. A long option getopt recognised is named
    // in full (an abbreviation such as "--lev" as "--level"), as getopt does;
    // an unknown one as written, without any "=VALUE".
    if (c == '?' || c == ':') {
      std::string name;
      if (optopt >= 256) {
        name = std::string("--") + options[static_cast<size_t>(optopt - 256)].long_name;
      } else if (optopt != 0) {
        name = std::string("-") + static_cast<char>(optopt);
      } else {
        std::string word = argv[optind - 1];
        name = word.substr(0, word.find('='));
      }
      if (c == ':') throw UsageError("option '" + name + "' requires an argument");
      if (optopt >= 256) throw UsageError("option '" + name + "' doesn't allow an argument");
      throw UsageError("unknown option '" + name + "'");
    }
    const OptionSpec* o = nullptr;
    if (c >= 256) {
      o = &options[static_cast<size_t>(c - 256)];
    } else {
      for (const OptionSpec& candidate : options)
        if (candidate.short_name == c) o = &candidate;
    }
    if (o->value && optarg[0] == '\0') throw UsageError(std::string("option '--") + o->long_name + "' has an empty value");
    parsed.values[o->long_name] = o->value ? optarg : "";
    optopt = 0;
  }
  if (parsed.has("help")) {
    parsed.help = true;
    return parsed;
  }
  parsed.operands.assign(argv + optind, argv + argc);
  size_t expected = command.operands.size();
  if (parsed.operands.size() != expected)
    throw UsageError("expected" + operand_list(command) + ", got " + std::to_string(parsed.operands.size()) +
                     " argument" + (parsed.operands.size() == 1 ? "" : "s"));
  for (size_t i = 0; i < expected; ++i)
    if (parsed.operands[i].empty()) throw UsageError(std::string(command.operands[i]) + " is empty");
  return parsed;
}

std::string general_help() {
  std::string text =
      "Usage: vorlix-pack COMMAND [OPTION]... ARGUMENT...\n"
      "Make single-file packages that extract and run a program, and look into them.\n\nCommands:\n";
  for (const CommandSpec& c : COMMANDS) {
    std::string head = std::string("  ") + c.name + operand_list(c);
    text += head + std::string(head.size() < 26 ? 26 - head.size() : 1, ' ') + c.summary + "\n";
  }
  text +=
      "  help [COMMAND]          show this help, or a command's\n\n"
      "  -h, --help              show this help\n"
      "  -V, --version           show the version\n\n"
      "'vorlix-pack COMMAND --help' describes a command and its options.\n";
  return text;
}

std::string command_help(const CommandSpec& command) {
  std::string text = std::string("Usage: vorlix-pack ") + command.name + " [OPTION]..." + operand_list(command) + "\n" +
                     command.summary + ".\n\n" + wrap(command.description, 78, 0) + "\n\nOptions:\n";
  for (const OptionSpec& o : options_of(command)) {
    std::string label = "  " + option_label(o);
    std::string pad = label.size() < 24 ? std::string(24 - label.size(), ' ') : "\n" + std::string(24, ' ');
    text += label + pad + wrap(o.help, 54, 24) + "\n";
  }
  return text;
}

std::string manual_page(const char* version) {
  std::string m =
      ".Dd December 2026\n"
      ".Dt VORLIX-PACK 1\n"
      ".Os vorlix " + std::string(version) + "\n"
      ".Sh NAME\n"
      ".Nm vorlix-pack\n"
      ".Nd make, list, extract and verify Vorlix single-file packages\n"
      ".Sh SYNOPSIS\n";
  for (const CommandSpec& c : COMMANDS) {
    m += ".Nm\n.Cm " + std::string(c.name) + "\n.Op Ar options\n";
    for (const char* operand : c.operands) m += ".Ar " + std::string(operand) + "\n";
  }
  m += ".Nm\n.Cm help\n.Op Ar command\n"
       ".Sh DESCRIPTION\n"
       "A Vorlix package is one executable file: a small launcher followed by a zstd-compressed archive "
       "of files and symbolic links.\n"
       "Running the package extracts the archive and runs its first file.\n"
       ".Nm\n"
       "makes such packages and looks into them without running them.\n"
       ".Sh COMMANDS\n";
  for (const CommandSpec& c : COMMANDS) {
    m += ".Ss " + std::string(c.name) + operand_list(c) + "\n" + roff(c.summary) + ".\n.Pp\n" +
         roff(c.description) + "\n.Bl -tag -width Ds\n";
    for (const OptionSpec& o : options_of(c)) {
      m += ".It Xo\n";
      if (o.short_name) m += ".Fl " + std::string(1, o.short_name) + " ,\n";
      m += ".Fl -" + std::string(o.long_name) + (o.value ? "\n.Ar " + std::string(o.value) : "") + "\n.Xc\n" +
           roff(o.help) + "\n";
    }
    m += ".El\n";
  }
  m += ".Sh EXIT STATUS\n"
       "0 on success, 1 when a command fails (a damaged or refused package, an input that cannot be "
       "packed), 2 for wrong usage.\n"
       "Every message is one line that starts with\n"
       ".Dq vorlix-pack: COMMAND: .\n"
       ".Sh FILES\n"
       ".Bl -tag -width Ds\n"
       ".It Pa vorlix-launcher\n"
       "The launcher image that\n.Cm create\nputs in front of the archive: beside\n.Nm\n"
       "in a build tree, else in\n.Pa ../libexec/vorlix/\nrelative to it.\n"
       ".El\n"
       ".Sh EXAMPLES\n"
       ".Dl vorlix-pack create -o hello demo/app\n"
       ".Dl vorlix-pack create --cache -o tool ./tool-dir\n"
       ".Dl vorlix-pack verify hello\n"
       ".Dl vorlix-pack extract hello unpacked\n";
  return m;
}

std::string completion_script(std::string_view shell) {
  std::string names;
  for (const CommandSpec& c : COMMANDS) names += std::string(c.name) + " ";
  names += "help";
  if (shell == "bash") {
    std::string s =
        "# bash completion for vorlix-pack\n"
        "_vorlix_pack() {\n"
        "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} options= valued=\n"
        "  if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
        "    COMPREPLY=($(compgen -W '" + names + " --help --version' -- \"$cur\"))\n"
        "    return\n"
        "  fi\n"
        "  case ${COMP_WORDS[1]} in\n";
    for (const CommandSpec& c : COMMANDS) {
      std::string options, valued;
      for (const OptionSpec& o : options_of(c)) {
        options += std::string(" --") + o.long_name + (o.short_name ? std::string(" -") + o.short_name : "");
        if (o.value) valued += std::string(" --") + o.long_name + (o.short_name ? std::string(" -") + o.short_name : "");
      }
      s += "    " + std::string(c.name) + ") options='" + options.substr(1) + "' valued='" +
           (valued.empty() ? "" : valued.substr(1)) + "' ;;\n";
    }
    s += "    help) COMPREPLY=($(compgen -W '" + names + "' -- \"$cur\")); return ;;\n"
         "  esac\n"
         "  case \" $valued \" in\n"
         "    *\" $prev \"*) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
         "  esac\n"
         "  if [[ $cur == -* ]]; then\n"
         "    COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
         "  else\n"
         "    COMPREPLY=($(compgen -f -- \"$cur\"))\n"
         "  fi\n"
         "}\n"
         "complete -o filenames -F _vorlix_pack vorlix-pack\n";
    return s;
  }
  if (shell == "zsh") {
    std::string s = "#compdef vorlix-pack\n# zsh completion for vorlix-pack\n_vorlix_pack() {\n  local -a commands\n  commands=(\n";
    for (const CommandSpec& c : COMMANDS) s += "    '" + std::string(c.name) + ":" + c.summary + "'\n";
    s += "    'help:show the help of vorlix-pack or of a command'\n  )\n"
         "  if (( CURRENT == 2 )); then\n    _describe 'command' commands\n    return\n  fi\n"
         "  local command=$words[2]\n  shift words\n  (( CURRENT-- ))\n  case $command in\n";
    for (const CommandSpec& c : COMMANDS) {
      s += "    " + std::string(c.name) + ")\n      _arguments";
      for (const OptionSpec& o : options_of(c)) {
        std::string help = o.help;
        std::replace(help.begin(), help.end(), '\'', '"');
        for (char bracket : {'[', ']'}) std::replace(help.begin(), help.end(), bracket, '(');
        std::string value = o.value ? std::string(":") + o.value + ":_files" : "";
        if (o.short_name)
          s += " \\\n        '(-" + std::string(1, o.short_name) + " --" + o.long_name + ")'{-" +
               std::string(1, o.short_name) + (o.value ? "+" : "") + ",--" + o.long_name + (o.value ? "=" : "") +
               "}'[" + help + "]" + value + "'";
        else
          s += " \\\n        '--" + std::string(o.long_name) + (o.value ? "=" : "") + "[" + help + "]" + value + "'";
      }
      for (size_t i = 0; i < c.operands.size(); ++i)
        s += " \\\n        '" + std::to_string(i + 1) + ":" + c.operands[i] + ":_files'";
      s += " ;;\n";
    }
    s += "    help) _describe 'command' commands ;;\n  esac\n}\n_vorlix_pack \"$@\"\n";
    return s;
  }
  throw UsageError("no completion for the shell '" + std::string(shell) + "' (bash or zsh)");
}

}  // namespace vorlix::pack
