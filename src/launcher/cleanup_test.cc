// What a run leaves behind, seen from outside: nothing after a failure (a
// full disk, in either mode), a lock on the run's directory for as long as
// its program runs, the directories of killed launchers swept by a later
// run, and clear refusals where the program could not be extracted or run.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>

#include "testing/test_util.h"

namespace vorlix::testing {
namespace {

// Runs |script| with sh in a private mount namespace (so that it may mount
// file systems of its own), with |args| as $1, $2, ...
ProcessResult in_mount_namespace(const std::string& script, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run("/usr/bin/unshare", argv);
}

class CleanupTest : public ::testing::Test {
 protected:
  CleanupTest() {
    fs::create_directories(work_ / "app/data");
    write_file(work_ / "app/run", probe_image(), 0755);
    write_file(work_ / "app/data/small", "small\n");
  }

  std::string pack(const std::string& name, const std::vector<std::string>& options) {
    return pack_directory(work_ / "app", work_ / name, options);
  }

  TempDir work_;
};

// A package that does not fit its file system: every run fails with its
// line and leaves nothing, so the disk does not fill up run after run.
TEST_F(CleanupTest, AFullDiskKeepsNothing) {
  std::string noise(3 << 20, '\0');
  std::mt19937 generator(7);
  for (char& c : noise) c = static_cast<char>(generator());
  write_file(work_ / "app/data/big", noise);
  fs::create_directory(work_ / "small");
  for (bool cached : {false, true}) {
    SCOPED_TRACE(cached ? "cached" : "temporary");
    std::string package = pack(cached ? "c.pkg" : "t.pkg", cached ? std::vector<std::string>{"--cache"}
                                                                 : std::vector<std::string>{});
    ProcessResult r = in_mount_namespace(
        "mount -t tmpfs -o size=2m tmpfs \"$1\" || exit 99\n"
        "for i in 1 2 3; do\n"
        "  TMPDIR=\"$1\" XDG_CACHE_HOME=\"$1\" \"$2\" >/dev/null 2>\"$3\"; echo \"status=$?\"; cat \"$3\"\n"
        "  echo \"left=$(cd \"$1\" && find . -mindepth 1 ! -path ./vorlix ! -path ./vorlix/.vorlix-lock | tr '\\n' ' ')\"\n"
        "done\n",
        {(work_ / "small").string(), package, (work_ / "err").string()});
    if (r.exit_code() == 99) GTEST_SKIP() << "this environment allows no private mount namespace";
    std::string run = "status=2\nError, couldn't unpack file to target path.: No space left on device\nleft=\n";
    EXPECT_EQ(r.out, run + run + run) << r.err;
  }
}

// The run's directory is locked (a shared flock) for as long as its program
// runs, on the one descriptor the program inherits from the launcher; tmp
// cleaners that honour locks, and the sweep, leave it alone.
TEST_F(CleanupTest, TheProgramHoldsALockOnItsDirectory) {
  fs::create_directory(work_ / "tmp");
  for (bool cached : {false, true}) {
    SCOPED_TRACE(cached ? "cached" : "temporary");
    std::string package = pack(cached ? "c.pkg" : "t.pkg", cached ? std::vector<std::string>{"--cache"}
                                                                 : std::vector<std::string>{});
    fs::path ready = work_ / "ready";
    fs::remove(ready);
    ProcessOptions o;
    o.env = {{"TMPDIR", (work_ / "tmp").string()}, {"XDG_CACHE_HOME", (work_ / "cache").string()},
             {"PROBE_SLEEP", "2"}, {"PROBE_READY", ready.string()}, {"PROBE_LIST", "1"}};
    Process process(package, {package}, o);
    ASSERT_TRUE(eventually(20, [&] { return fs::exists(ready); }));
    pid_t program = std::stoi(read_file(ready));
    // The program's open directories: the one the launcher passed on (the
    // test's own process leaks files into it, never a directory).
    std::vector<std::string> extra;
    fs::path fds = "/proc/" + std::to_string(program) + "/fd";
    for (const std::string& fd : names_in(fds))
      if (fs::is_directory(fds / fd)) extra.push_back(fs::read_symlink(fds / fd).string());
    ProcessResult locked = run("/usr/bin/flock", {"flock", "-n", "-x", extra.empty() ? "/" : extra[0], "true"});
    ProcessResult r = process.wait();
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    ASSERT_EQ(extra.size(), 1u) << ::testing::PrintToString(extra);
    EXPECT_EQ(extra[0], reported(r.out, "root"));
    EXPECT_EQ(locked.exit_code(), 1) << "flock -n took the lock of a running program's directory";
    if (!cached) {
      EXPECT_TRUE(fs::is_empty(work_ / "tmp"));
    }
  }
}

// A launcher killed with SIGKILL takes its program with it, and leaves its
// directory; the next run of any package there sweeps it, and leaves alone
// what is not a dead run's.
TEST_F(CleanupTest, ADeadLaunchersDirectoryIsSweptByTheNextRun) {
  fs::path tmp = work_ / "tmp";
  fs::create_directory(tmp);
  std::string package = pack("t.pkg", {});
  fs::path ready = work_ / "ready";
  ProcessOptions o;
  o.env = {{"TMPDIR", tmp.string()}, {"PROBE_SLEEP", "30"}, {"PROBE_READY", ready.string()}};
  Process doomed(package, {package}, o);
  ASSERT_TRUE(eventually(20, [&] { return fs::exists(ready); }));
  pid_t program = std::stoi(read_file(ready));
  kill(doomed.pid(), SIGKILL);
  doomed.wait();
  EXPECT_TRUE(eventually(2, [&] { return kill(program, 0) != 0; })) << "the program outlived its launcher";
  std::vector<std::string> dead = names_in(tmp);
  ASSERT_EQ(dead.size(), 1u);
  // Not a dead run's: another name, and a name of the form whose pid lives.
  fs::create_directory(tmp / "onefile_x_1_2");
  fs::create_directory(tmp / ("onefile_" + std::to_string(getpid()) + "_1_2"));
  ProcessOptions quick;
  quick.env = {{"TMPDIR", tmp.string()}};
  ProcessResult r = run(package, {package}, quick);
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_EQ(names_in(tmp), (std::vector<std::string>{"onefile_" + std::to_string(getpid()) + "_1_2", "onefile_x_1_2"}));
}

// Where the program could not be written or could not run, the launcher
// says so before extracting anything: the directory, the cause, the remedy.
TEST_F(CleanupTest, ClearRefusalsBeforeExtraction) {
  std::string temporary = pack("t.pkg", {});
  std::string cached = pack("c.pkg", {"--cache"});
  fs::create_directory(work_ / "noexec");
  fs::create_directory(work_ / "readonly");
  const std::string noexec = (work_ / "noexec").string();
  const std::string readonly = (work_ / "readonly").string();
  struct Case {
    const char* name;
    std::string package;
    std::string variables;  // for the shell
    std::string line;
  };
  const std::vector<Case> cases = {
      {"noexec TMPDIR", temporary, "TMPDIR=" + noexec,
       "Error, can't extract into '" + noexec + "': its file system is mounted noexec, so programs there cannot run; "
       "set TMPDIR to a directory on a file system that allows running programs."},
      {"read-only TMPDIR", temporary, "TMPDIR=" + readonly,
       "Error, can't extract into '" + readonly + "': Read-only file system; set TMPDIR to a writable directory."},
      {"read-only HOME, cached", cached, "HOME=" + readonly + " XDG_CACHE_HOME=",
       "Error, can't extract into '" + readonly + "': Read-only file system; set XDG_CACHE_HOME to a writable "
       "directory."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult r = in_mount_namespace(
        "mount -t tmpfs -o noexec tmpfs \"$1\" && mount -t tmpfs -o ro tmpfs \"$2\" || exit 99\n"
        "env " + c.variables + " \"$3\" 2>&1; echo \"status=$?\"\n"
        "echo \"left=$(find \"$1\" \"$2\" -mindepth 1)\"\n",
        {noexec, readonly, c.package});
    if (r.exit_code() == 99) GTEST_SKIP() << "this environment allows no private mount namespace";
    EXPECT_EQ(r.out, c.line + "\nstatus=2\nleft=\n") << r.err;
  }
  // A TMPDIR the user cannot write to (root ignores permissions: nobody runs).
  const fs::path& shared = binaries_for_other_users();
  fs::path locked = work_ / "locked";
  fs::create_directory(locked);
  chmod(work_.path().c_str(), 0755);
  chmod(locked.c_str(), 0755);
  std::string package = (shared / "t.pkg").string();
  fs::copy_file(temporary, package, fs::copy_options::overwrite_existing);
  chmod(package.c_str(), 0755);
  ProcessOptions o;
  o.uid = 65534;
  o.env = {{"TMPDIR", locked.string()}};
  ProcessResult r = run(package, {package}, o);
  EXPECT_EQ(r.exit_code(), 2);
  EXPECT_EQ(r.err, "Error, can't extract into '" + locked.string() +
                       "': Permission denied; set TMPDIR to a directory you can write to.\n");
  EXPECT_TRUE(fs::is_empty(locked));
  fs::remove(package);
}

}  // namespace
}  // namespace vorlix::testing
