#include "launcher/sweep.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_util.h"

namespace vorlix::testing {
namespace {

constexpr uid_t NOBODY = 65534;
constexpr const char* DEFAULT_NAME = "onefile_{PID}_{TIME}";

TEST(MatchRunNameTest, Table) {
  struct Case {
    const char* spec;
    const char* name;
    RunNameMatch result;
    int pid;
  };
  const std::vector<Case> cases = {
      {DEFAULT_NAME, "onefile_123_1700000000_42", RUN_NAME_MATCHES, 123},
      {"onefile_{pid}_{Time}", "onefile_7_1_2", RUN_NAME_MATCHES, 7},
      {"app_{PID}", "app_4242", RUN_NAME_MATCHES, 4242},
      {"x}{PID}", "x}5", RUN_NAME_MATCHES, 5},
      {"{PID}{PID}", "1212", RUN_NAME_MATCHES, 12},
      {"{PID}{PID}", "1213", RUN_NAME_DIFFERS, 0},
      {"{PID}_{TIME}-{TIME}", "9_1_2-1_2", RUN_NAME_MATCHES, 9},
      {"{PID}_{TIME}-{TIME}", "9_1_2-1_3", RUN_NAME_DIFFERS, 0},
      // Two readings, two pids: neither is taken.
      {"{PID}{TIME}", "123_4", RUN_NAME_DIFFERS, 0},
      {DEFAULT_NAME, "onefile_123_1700000000", RUN_NAME_DIFFERS, 0},
      {DEFAULT_NAME, "onefile_123_1700000000_", RUN_NAME_DIFFERS, 0},
      {DEFAULT_NAME, "onefile_123_1_2x", RUN_NAME_DIFFERS, 0},
      {DEFAULT_NAME, "onefile__1_2", RUN_NAME_DIFFERS, 0},
      {DEFAULT_NAME, "onefile_12a_1_2", RUN_NAME_DIFFERS, 0},
      {DEFAULT_NAME, "Onefile_123_1_2", RUN_NAME_DIFFERS, 0},
      {DEFAULT_NAME, "onefile_0_1_2", RUN_NAME_DIFFERS, 0},
      {DEFAULT_NAME, "onefile_2147483648_1_2", RUN_NAME_DIFFERS, 0},
      {DEFAULT_NAME, "onefile_2147483647_1_2", RUN_NAME_MATCHES, 2147483647},
      {DEFAULT_NAME, "", RUN_NAME_DIFFERS, 0},
      {"app_{PID}", "app_", RUN_NAME_DIFFERS, 0},
      {"onefile_{TIME}", "onefile_1_2", RUN_NAME_SPEC_UNUSABLE, 0},
      {"run", "run", RUN_NAME_SPEC_UNUSABLE, 0},
      {"{PID}_{HOME}", "1_x", RUN_NAME_SPEC_UNUSABLE, 0},
      {"{PID}_{NOPE}", "1_x", RUN_NAME_SPEC_UNUSABLE, 0},
      {"{PID}_{", "1_{", RUN_NAME_SPEC_UNUSABLE, 0},
      {"{PI{PID}", "1", RUN_NAME_SPEC_UNUSABLE, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.spec) + " / " + c.name);
    int pid = 0;
    EXPECT_EQ(match_run_name(c.spec, c.name, &pid), c.result);
    if (c.result == RUN_NAME_MATCHES) {
      EXPECT_EQ(pid, c.pid);
    }
  }
}

// A process id that no process has: a child's, once it is reaped.
pid_t dead_pid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

// A child that holds a shared lock on |path| until it is killed, as a
// program that outlived its launcher does.
pid_t hold_shared_lock(const fs::path& path) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0 || flock(fd, LOCK_SH) != 0) _exit(1);
    if (write(ready[1], "x", 1) != 1) _exit(1);
    for (;;) pause();
  }
  close(ready[1]);
  char byte;
  bool locked = read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  return locked ? pid : -1;
}

void stop(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// A run's directory with something in it, a read-only directory included.
void make_run(const fs::path& path) {
  write_file(path / "program", "x");
  write_file(path / "lib/data", "x");
  chmod((path / "lib").c_str(), 0555);
}

// Each case sweeps a directory of its own that holds one candidate, so that
// the time bound never decides.
TEST(SweepDeadRunsTest, RemovesOnlyDeadRunsDirectories) {
  const std::string dead = std::to_string(dead_pid());
  const std::string run = "onefile_" + dead + "_1700000000_1";
  struct Case {
    const char* name;
    const char* spec;
    std::string entry;  // the candidate, in the parent
    std::string own;    // this run's own name
    // Makes the candidate; may return a process to stop afterwards.
    std::function<pid_t(const fs::path& parent, const fs::path& entry)> make;
    bool removed;
  };
  auto plain = [](const fs::path&, const fs::path& entry) -> pid_t {
    make_run(entry);
    return -1;
  };
  const std::vector<Case> cases = {
      {"a dead run's directory", DEFAULT_NAME, run, "onefile_1_1_1", plain, true},
      {"a dead run's directory, chosen spec", "app_{PID}", "app_" + dead, "app_1", plain, true},
      {"locked by a process the run left", DEFAULT_NAME, run, "onefile_1_1_1",
       [](const fs::path&, const fs::path& entry) {
         make_run(entry);
         return hold_shared_lock(entry);
       },
       false},
      {"another user's", DEFAULT_NAME, run, "onefile_1_1_1",
       [](const fs::path&, const fs::path& entry) -> pid_t {
         make_run(entry);
         EXPECT_EQ(chown(entry.c_str(), NOBODY, NOBODY), 0);
         return -1;
       },
       false},
      {"its process lives", DEFAULT_NAME, "onefile_" + std::to_string(getpid()) + "_1_1", "onefile_1_1_1", plain,
       false},
      {"another name", DEFAULT_NAME, "other_" + dead + "_1_1", "onefile_1_1_1", plain, false},
      {"this run's own", DEFAULT_NAME, run, run, plain, false},
      {"a file", DEFAULT_NAME, run, "onefile_1_1_1",
       [](const fs::path&, const fs::path& entry) -> pid_t {
         write_file(entry, "x");
         return -1;
       },
       false},
      {"a link to a directory", DEFAULT_NAME, run, "onefile_1_1_1",
       [](const fs::path& parent, const fs::path& entry) -> pid_t {
         make_run(parent / "target");
         fs::create_directory_symlink(parent / "target", entry);
         return -1;
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir parent;
    fs::path entry = parent / c.entry;
    pid_t holder = c.make(parent.path(), entry);
    sweep_dead_runs(parent.path().c_str(), c.spec, c.own.c_str());
    if (holder > 0) stop(holder);
    EXPECT_EQ(fs::exists(fs::symlink_status(entry)), !c.removed);
    if (!c.removed && fs::is_directory(entry)) {
      EXPECT_EQ(read_file(entry / "lib/data"), "x");
    }
  }
}

// A tmpfs and a bind mount of the same file system named like dead runs, in
// a private mount namespace of a child: both stay, with what they hold.
TEST(SweepDeadRunsTest, LeavesMountsNamedLikeRuns) {
  const std::string dead = std::to_string(dead_pid());
  for (bool bind : {false, true}) {
    SCOPED_TRACE(bind ? "bind mount" : "tmpfs");
    TempDir parent;
    fs::path source = parent / "source";
    write_file(source / "data", "outside");
    fs::path entry = parent / ("onefile_" + dead + "_1_1");
    fs::create_directories(entry);

    constexpr int NO_NAMESPACE = 77;
    pid_t pid = fork();
    if (pid == 0) {
      if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        _exit(NO_NAMESPACE);
      int mounted = bind ? mount(source.c_str(), entry.c_str(), nullptr, MS_BIND, nullptr)
                         : mount("tmpfs", entry.c_str(), "tmpfs", 0, nullptr);
      if (mounted != 0) _exit(2);
      if (!bind) write_file(entry / "data", "outside");
      sweep_dead_runs(parent.path().c_str(), DEFAULT_NAME, "onefile_1_1_1");
      _exit(read_file(entry / "data") == "outside" ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == NO_NAMESPACE) GTEST_SKIP() << "this environment allows no private mount namespace";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the sweep went into a mount";
    EXPECT_EQ(read_file(source / "data"), "outside");
  }
}

// Many dead runs: one sweep takes some, stopped by its time bound, and
// later ones take the rest.
TEST(SweepDeadRunsTest, IsBoundedAndLeavesTheRestToLaterRuns) {
  constexpr size_t RUNS = 300;
  constexpr int FILES = 50;
  const std::string dead = std::to_string(dead_pid());
  TempDir parent;
  TempDir files;  // links cost less to make than files
  write_file(files / "file", "x");
  for (size_t run = 0; run < RUNS; ++run) {
    fs::path path = parent / ("onefile_" + dead + "_1_" + std::to_string(run));
    fs::create_directories(path);
    for (int file = 0; file < FILES; ++file)
      ASSERT_EQ(link((files / "file").c_str(), (path / std::to_string(file)).c_str()), 0);
  }

  sweep_dead_runs(parent.path().c_str(), DEFAULT_NAME, "onefile_1_1_1");
  size_t removed = RUNS - names_in(parent.path()).size();
  EXPECT_GT(removed, 0u);
  // Removing a run of this size takes 100 microseconds at the very least,
  // so the time bound stops the sweep long before the entry cap would.
  EXPECT_LT(removed, SWEEP_ENTRIES_MAX / 2);

  for (size_t sweep = 0; sweep < RUNS && !names_in(parent.path()).empty(); ++sweep)
    sweep_dead_runs(parent.path().c_str(), DEFAULT_NAME, "onefile_1_1_1");
  EXPECT_EQ(names_in(parent.path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace vorlix::testing
