// vorlix-pack's command line as people use it: statuses, streams and the
// shape of messages; help that names every option the parser takes.
#include "pack/cli.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <set>

#include "testing/test_util.h"

namespace vorlix::testing {
namespace {

ProcessResult pack(std::vector<std::string> args) {
  args.insert(args.begin(), "vorlix-pack");
  return run(VORLIX_PACK_PATH, args);
}

TEST(CliTest, MessagesFollowTheConventions) {
  TempDir work;
  write_file(work / "app/run", "#!/bin/sh\n", 0755);
  std::string package = (work / "p.pkg").string();
  ASSERT_EQ(pack({"create", "-q", "-o", package, (work / "app").string()}).exit_code(), 0);
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* out;  // a part of standard output
    const char* err;  // the start of the one line on standard error
  };
  const std::vector<Case> cases = {
      {{"create", "--frobnicate"}, 2, "", "vorlix-pack: create: unknown option '--frobnicate' (try 'vorlix-pack create --help')"},
      {{"create", "-x"}, 2, "", "vorlix-pack: create: unknown option '-x'"},
      {{"create", "-qx"}, 2, "", "vorlix-pack: create: unknown option '-x'"},
      // A missing value in getopt's words; a long option by its full name.
      {{"create", "-o"}, 2, "", "vorlix-pack: create: option '-o' requires an argument (try 'vorlix-pack create --help')"},
      {{"create", "app", "-qT"}, 2, "", "vorlix-pack: create: option '-T' requires an argument"},
      {{"create", "--output"}, 2, "", "vorlix-pack: create: option '--output' requires an argument"},
      {{"create", "-o", "x", "--lev"}, 2, "", "vorlix-pack: create: option '--level' requires an argument"},
      {{"create", "--target-dir"}, 2, "", "vorlix-pack: create: option '--target-dir' requires an argument"},
      {{"create", "--ultra=yes"}, 2, "", "vorlix-pack: create: option '--ultra' doesn't allow an argument"},
      {{"list", "--js=1", package}, 2, "", "vorlix-pack: list: option '--json' doesn't allow an argument"},
      {{"create", "--level", "abc", "-o", "x", "y"}, 2, "", "vorlix-pack: create: invalid level 'abc' (1-19, or 20-22 with --ultra)"},
      {{"create", "--level=23", "--ultra", "-o", "x", "y"}, 2, "", "vorlix-pack: create: invalid level '23'"},
      {{"create", "--help"}, 0, "Usage: vorlix-pack create [OPTION]... INPUT", ""},
      {{"create", "-h"}, 0, "--target-dir SPEC", ""},
      {{"list", "--help"}, 0, "--json", ""},
      {{"list", package, "--json"}, 0, "\"entries\": [", ""},
      {{"list", "--", package}, 0, "mode: temporary", ""},
      {{"verify", package, "extra"}, 2, "", "vorlix-pack: verify: expected PACKAGE, got 2 arguments"},
      {{"crate", "-o", "x", "y"}, 2, "", "vorlix-pack: unknown command 'crate'; did you mean 'create'?"},
      {{"lsit"}, 2, "", "vorlix-pack: unknown command 'lsit'; did you mean 'list'?"},
      {{"help"}, 0, "Commands:", ""},
      {{"help", "extract"}, 0, "Usage: vorlix-pack extract [OPTION]... PACKAGE DIR", ""},
      {{"help", "nope"}, 2, "", "vorlix-pack: help: unknown command 'nope'"},
      {{"--version"}, 0, "vorlix-pack ", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    ProcessResult r = pack(c.args);
    EXPECT_EQ(r.exit_code(), c.status);
    EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    if (*c.err == '\0') {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
  }
}

// The parser, the help, the manual and the completions come from one table;
// this checks that what a user reads names everything the parser takes.
TEST(CliTest, HelpAndManualNameEveryOption) {
  ProcessResult manual = pack({"--manual-page"});
  ProcessResult bash = pack({"--completion", "bash"});
  ProcessResult zsh = pack({"--completion", "zsh"});
  for (const vorlix::pack::CommandSpec& command : vorlix::pack::command_specs()) {
    SCOPED_TRACE(command.name);
    ProcessResult help = pack({command.name, "--help"});
    ASSERT_EQ(help.exit_code(), 0);
    EXPECT_NE(pack({"help"}).out.find(std::string("  ") + command.name), std::string::npos);
    for (const vorlix::pack::OptionSpec& option : command.options) {
      std::string long_name = std::string("--") + option.long_name;
      EXPECT_NE(help.out.find(long_name), std::string::npos) << long_name;
      EXPECT_NE(manual.out.find(".Fl -" + std::string(option.long_name) + "\n"), std::string::npos) << long_name;
      EXPECT_NE(bash.out.find(long_name), std::string::npos) << long_name;
      EXPECT_NE(zsh.out.find(long_name), std::string::npos) << long_name;
      if (option.short_name) {
        EXPECT_NE(help.out.find(std::string("-") + option.short_name + ", " + long_name), std::string::npos);
      }
    }
  }
}

// Progress on a terminal moves while one large file is compressed; on a
// pipe or a file there is none.
TEST(CliTest, ProgressMovesOnATerminalOnly) {
  TempDir work;
  std::mt19937 generator(5);
  std::string noise(8 << 20, '\0');
  for (char& c : noise) c = static_cast<char>('a' + generator() % 26);
  write_file(work / "app/run", "#!/bin/sh\n", 0755);
  write_file(work / "app/big.txt", noise);
  std::vector<std::string> args = {"vorlix-pack", "create", "--threads", "1", "-o", (work / "p.pkg").string(),
                                   (work / "app").string()};

  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  std::string slave = ptsname(master);
  ProcessOptions on_terminal;
  on_terminal.in_child = [slave] {
    int fd = open(slave.c_str(), O_RDWR | O_NOCTTY);
    dup2(fd, STDERR_FILENO);
    close(fd);
  };
  Process process(VORLIX_PACK_PATH, args, on_terminal);
  std::string shown;
  char buffer[4096];
  for (;;) {
    struct pollfd poll_master = {master, POLLIN, 0};
    if (poll(&poll_master, 1, 100) > 0) {
      ssize_t n = read(master, buffer, sizeof buffer);
      if (n <= 0) break;  // the terminal's other side closed: the packer ended
      shown.append(buffer, static_cast<size_t>(n));
    } else if (kill(process.pid(), 0) != 0 || read_file("/proc/" + std::to_string(process.pid()) + "/stat").find(") Z ") != std::string::npos) {
      break;
    }
  }
  close(master);
  EXPECT_EQ(process.wait().exit_code(), 0);
  // Distinct percentages below 100 while big.txt was compressed.
  std::set<std::string> percents;
  for (size_t at = shown.find('%'); at != std::string::npos; at = shown.find('%', at + 1))
    if (at >= 3) percents.insert(shown.substr(at - 3, 3));
  percents.erase("100");
  EXPECT_GE(percents.size(), 3u) << shown;
  EXPECT_NE(shown.find(" MiB in, "), std::string::npos) << shown;
  EXPECT_NE(shown.find("/s, "), std::string::npos) << shown;

  ProcessResult on_a_file = run(VORLIX_PACK_PATH, args);
  EXPECT_EQ(on_a_file.exit_code(), 0);
  EXPECT_EQ(on_a_file.err.find('\r'), std::string::npos) << on_a_file.err;
  EXPECT_EQ(std::count(on_a_file.err.begin(), on_a_file.err.end(), '\n'), 1) << on_a_file.err;
}

// Completion, as bash runs it: commands, then a command's options.
TEST(CliTest, BashCompletesCommandsAndOptions) {
  TempDir work;
  write_file(work / "completion.bash", pack({"--completion", "bash"}).out);
  std::string script = "source '" + (work / "completion.bash").string() +
                       "'; COMP_WORDS=(vorlix-pack cr); COMP_CWORD=1; _vorlix_pack; echo \"${COMPREPLY[*]}\";"
                       " COMP_WORDS=(vorlix-pack create --ta); COMP_CWORD=2; _vorlix_pack; echo \"${COMPREPLY[*]}\"";
  ProcessResult r = run("/bin/bash", {"bash", "-c", script});
  EXPECT_EQ(r.out, "create\n--target-dir\n") << r.err;
}

}  // namespace
}  // namespace vorlix::testing
