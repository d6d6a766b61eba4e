// Where a package writes, runs and waits when another user has a hand in
// the places around it. The tests run as root, the user a hostile one aims
// at; the hostile user is nobody (65534), who owns what it plants. Moves that
// would need a race are made by the fault shim at a fixed point of the run.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "format/launcher_config.h"
#include "testing/test_util.h"

namespace vorlix::testing {
namespace {

// Whether |text| is one line that starts with |head| and ends with |tail|,
// with a single quoted path between them.
bool is_line(const std::string& text, const std::string& head, const std::string& tail) {
  return text.size() > head.size() + tail.size() && text.rfind(head, 0) == 0 &&
         text.compare(text.size() - tail.size() - 1, tail.size() + 1, tail + "\n") == 0 &&
         text.find_first_of("\n'", head.size()) == text.size() - tail.size() - 1;
}

constexpr uid_t NOBODY = 65534;
constexpr char START[] = "1700000000_5";

// Every entry below |dir| with its kind, mode and owner, links not followed:
// two listings are equal when nothing was written, removed or changed.
std::vector<std::string> snapshot(const fs::path& dir) {
  std::vector<std::string> lines;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir)) {
    struct stat status;
    lstat(entry.path().c_str(), &status);
    lines.push_back(entry.path().string() + " " + std::to_string(status.st_mode) + " " +
                    std::to_string(status.st_uid));
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

void make_directory(const fs::path& path, mode_t mode, uid_t owner = 0) {
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
  ASSERT_EQ(lchown(path.c_str(), owner, owner), 0);
}

void make_link(const fs::path& target, const fs::path& link, uid_t owner = 0) {
  fs::create_directory_symlink(target, link);
  ASSERT_EQ(lchown(link.c_str(), owner, owner), 0);
}

std::string with(std::string text, const std::string& name, const std::string& value) {
  for (size_t at; (at = text.find(name)) != std::string::npos;) text.replace(at, name.size(), value);
  return text;
}

// A child that runs as nobody, holds flock(LOCK_EX) on |path| until it is
// killed, and has taken the lock when the constructor returns.
class ForeignLock {
 public:
  explicit ForeignLock(const fs::path& path) {
    int ready[2];
    if (pipe(ready) != 0) abort();
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      if (setgid(NOBODY) != 0 || setuid(NOBODY) != 0) _exit(1);
      int fd = open(path.c_str(), O_RDONLY);
      if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(1);
      (void)!write(ready[1], "x", 1);
      for (;;) pause();
    }
    close(ready[1]);
    char c;
    locked_ = read(ready[0], &c, 1) == 1;
    close(ready[0]);
  }
  ~ForeignLock() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  bool locked() const { return locked_; }

 private:
  pid_t pid_;
  bool locked_ = false;
};

class TrustTest : public ::testing::Test {
 protected:
  TrustTest() {
    // Every user may pass through to what the tests give to nobody.
    chmod(work_.path().c_str(), 0755);
    fs::create_directories(work_ / "tmp");
    write_file(work_ / "app/run", probe_image(), 0755);
    write_file(work_ / "app/data/message.txt", "first version\n");
  }

  std::string pack(const std::string& name, const std::vector<std::string>& options) {
    return pack_directory(work_ / "app", work_ / name, options);
  }

  // The kept directory a cached package names, as the packer shows it.
  fs::path kept_directory(const std::string& package, const fs::path& cache_home) {
    std::string json = run(VORLIX_PACK_PATH, {"vorlix-pack", "list", "--json", package}).out;
    const std::string key = "\"target_dir\": \"{CACHE_DIR}/";
    size_t at = json.find(key);
    if (at == std::string::npos) return {};
    at += key.size();
    return cache_home / json.substr(at, json.find('"', at) - at);
  }

  ProcessOptions options(const fs::path& cache_home) const {
    ProcessOptions o;
    o.env["TMPDIR"] = (work_ / "tmp").string();
    o.env["XDG_CACHE_HOME"] = cache_home.string();
    o.env["VORLIX_ONEFILE_START"] = std::nullopt;
    return o;
  }

  TempDir work_;
};

// The places a run's directory may go, each under both modes: the package
// runs only where no other user can change the way to its directory, and a
// refusal writes nothing anywhere.
TEST_F(TrustTest, DirectoryChainsTimesModes) {
  struct Chain {
    const char* name;
    // Builds the chain below <base> and returns where TMPDIR or
    // XDG_CACHE_HOME points.
    std::function<fs::path(const fs::path&)> make;
    const char* refusal;  // the line, <base> for the base; nullptr: runs
  };
  const std::vector<Chain> chains = {
      {"another user's directory",
       [](const fs::path& base) {
         make_directory(base / "theirs", 0755, NOBODY);
         return base / "theirs";
       },
       "Error, '<base>/theirs' belongs to another user.\n"},
      {"a group-writable directory",
       [](const fs::path& base) {
         make_directory(base / "shared", 0775);
         return base / "shared";
       },
       "Error, '<base>/shared' is writable by other users.\n"},
      {"a world-writable directory without the sticky bit",
       [](const fs::path& base) {
         make_directory(base / "open", 0777);
         return base / "open";
       },
       "Error, '<base>/open' is writable by other users.\n"},
      {"another user's directory in a sticky one",
       [](const fs::path& base) {
         make_directory(base / "sticky", 01777);
         make_directory(base / "sticky/theirs", 0755, NOBODY);
         return base / "sticky/theirs";
       },
       "Error, '<base>/sticky/theirs' belongs to another user.\n"},
      {"root's link to another user's directory",
       [](const fs::path& base) {
         make_directory(base / "theirs", 0755, NOBODY);
         make_link("theirs", base / "link");
         return base / "link";
       },
       "Error, '<base>/theirs' belongs to another user.\n"},
      {"another user's link to a fine directory",
       [](const fs::path& base) {
         make_directory(base / "mine", 0755);
         make_link(base / "mine", base / "link", NOBODY);
         return base / "link";
       },
       "Error, '<base>/link' belongs to another user.\n"},
      {"root's directories",
       [](const fs::path& base) {
         make_directory(base / "a", 0755);
         make_directory(base / "a/b", 0755);
         return base / "a/b";
       },
       nullptr},
      {"a sticky directory, the rest made fresh",
       [](const fs::path& base) {
         make_directory(base / "sticky", 01777);
         return base / "sticky";
       },
       nullptr},
      {"root's link to a fine directory",
       [](const fs::path& base) {
         make_directory(base / "mine", 0755);
         make_link("mine", base / "link");
         return base / "link";
       },
       nullptr},
  };
  const std::string temporary = pack("temporary.pkg", {});
  const std::string cached = pack("cached.pkg", {"--cache"});
  int row = 0;
  for (const Chain& chain : chains) {
    for (bool is_cached : {false, true}) {
      SCOPED_TRACE(std::string(chain.name) + (is_cached ? ", cached" : ", temporary"));
      fs::path base = work_ / ("chain" + std::to_string(row++));
      make_directory(base, 0755);
      fs::path place = chain.make(base);
      ProcessOptions o = options(work_ / "unused-cache");
      o.env[is_cached ? "XDG_CACHE_HOME" : "TMPDIR"] = place.string();
      const std::string& package = is_cached ? cached : temporary;
      std::vector<std::string> before = snapshot(base);
      ProcessResult r = run(package, {package}, o);
      if (chain.refusal != nullptr) {
        EXPECT_EQ(r.exit_code(), 2);
        EXPECT_EQ(r.err, with(chain.refusal, "<base>", base.string()));
        EXPECT_EQ(r.out, "");  // the program never ran
        EXPECT_EQ(snapshot(base), before);
      } else {
        EXPECT_EQ(r.exit_code(), 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_NE(reported(r.out, "pid"), "");
        if (!is_cached) { EXPECT_EQ(snapshot(base), before); }
      }
      EXPECT_FALSE(fs::exists(work_ / "unused-cache"));
      EXPECT_TRUE(fs::is_empty(work_ / "tmp"));
    }
  }
}

// A target directory that is not absolute is refused before anything is
// made (relative to the working directory, it would land wherever the user
// stands); an empty TMPDIR keeps its meaning, "/".
TEST_F(TrustTest, RelativeAndEmptyPlaces) {
  const std::string temporary = pack("temporary.pkg", {});
  const std::string cached = pack("cached.pkg", {"--cache"});
  struct Case {
    const char* name;
    const std::string& package;
    std::map<std::string, std::optional<std::string>> env;
  };
  const std::vector<Case> cases = {
      {"relative TMPDIR", temporary, {{"TMPDIR", "rel"}}},
      {"relative HOME", cached, {{"HOME", "rel"}, {"XDG_CACHE_HOME", std::nullopt}}},
  };
  fs::path cwd = work_ / "cwd";
  fs::create_directory(cwd);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessOptions o = options(work_ / "cache");
    for (const auto& [name, value] : c.env) o.env[name] = value;
    o.cwd = cwd.string();
    ProcessResult r = run(c.package, {c.package}, o);
    EXPECT_EQ(r.exit_code(), 2);
    EXPECT_TRUE(is_line(r.err, "Error, target directory 'rel/", "' is not an absolute path.")) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(fs::is_empty(cwd));
  }

  ProcessOptions o = options(work_ / "cache");
  o.env["TMPDIR"] = "";
  Process process(temporary, {temporary}, o);
  ProcessResult r = process.wait();
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  std::string root = reported(r.out, "root");
  EXPECT_EQ(root.rfind("/onefile_" + std::to_string(process.pid()) + "_", 0), 0u) << root;
  for (const std::string& name : names_in("/"))
    EXPECT_NE(name.rfind("onefile_" + std::to_string(process.pid()) + "_", 0), 0u) << name << " left in /";
}

// Another user's move of the run's directory, made after the extraction and
// before the program starts (the end of the reading of the package): the
// launcher refuses, the planted program never runs, and what was planted is
// not removed by the launcher's clean-up either.
TEST_F(TrustTest, ADirectorySwappedBeforeTheProgramStarts) {
  if (!fault_shim_usable()) GTEST_SKIP() << "the fault shim cannot be preloaded into a sanitizer build";
  const std::string temporary = pack("temporary.pkg", {});
  const std::string cached = pack("cached.pkg", {"--cache"});
  const fs::path cache_home = work_ / "cache";
  const fs::path kept = kept_directory(cached, cache_home);
  const fs::path marker = work_ / "planted-ran";
  const fs::path planted = work_ / "planted";
  struct Case {
    const char* name;
    const std::string& package;
    const char* at;
    std::string path;           // what is swapped; "<pid>" for the launcher's pid
    bool warm;                  // the kept directory is there before the run
    bool renamed_into_place = false;  // the swap came at the rename: what was planted is there now
  };
  const std::vector<Case> cases = {
      {"temporary, after the extraction", temporary, "munmap",
       (work_ / "tmp" / ("onefile_<pid>_" + std::string(START))).string(), false},
      {"cached first run, the private directory after the extraction", cached, "munmap",
       (kept.parent_path() / ("." + kept.filename().string() + ".partial-*")).string(), false},
      {"warm cached run, the kept directory", cached, "munmap", kept.string(), true},
      // The last check is the program's own, right before its exec: a swap
      // at the fork, or at the rename into place, is caught there.
      {"temporary, at the fork", temporary, "fork",
       (work_ / "tmp" / ("onefile_<pid>_" + std::string(START))).string(), false},
      {"cached first run, at the rename into place", cached, "rename",
       (kept.parent_path() / ("." + kept.filename().string() + ".partial-*")).string(), false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(cache_home);
    fs::remove(marker);
    if (c.warm) { ASSERT_EQ(run(cached, {cached}, options(cache_home)).exit_code(), 0); }
    make_directory(planted, 0700);
    write_file(planted / "run", "#!/bin/sh\ntouch " + marker.string() + "\n", 0755);
    ProcessOptions o = options(cache_home);
    o.env["VORLIX_ONEFILE_START"] = START;
    o.env["LD_PRELOAD"] = VORLIX_FAULT_SHIM_PATH;
    o.env["VORLIX_FAIL_EXE"] = c.package;
    o.env["VORLIX_SWAP_AT"] = c.at;
    o.env["VORLIX_SWAP_WITH"] = planted.string();
    std::string path = c.path;
    o.in_child = [&] { setenv("VORLIX_SWAP_PATH", with(path, "<pid>", std::to_string(getpid())).c_str(), 1); };
    Process process(c.package, {c.package}, o);
    ProcessResult r = process.wait();
    EXPECT_EQ(r.exit_code(), 2);
    EXPECT_TRUE(is_line(r.err, "Error, directory '", "' was replaced while the package was being extracted."))
        << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_FALSE(fs::exists(planted)) << "the swap did not happen";
    // The planted directory stands where it was put, untouched.
    std::vector<std::string> swapped;
    if (c.package == temporary) {
      swapped.push_back(with(path, "<pid>", std::to_string(process.pid())));
    } else {
      for (const std::string& name : names_in(kept.parent_path()))
        if (name.find(".aside") == std::string::npos && name != CACHE_LOCK_FILE) swapped.push_back(kept.parent_path() / name);
    }
    ASSERT_EQ(swapped.size(), 1u) << ::testing::PrintToString(names_in(kept.parent_path()));
    EXPECT_TRUE(fs::exists(fs::path(swapped[0]) / "run")) << swapped[0];
    // Nothing of a first run was renamed into place.
    if (c.package == cached && !c.warm) { EXPECT_EQ(fs::exists(kept), c.renamed_into_place); }
    fs::remove_all(swapped[0]);
    fs::remove_all(swapped[0] + ".aside");
  }
}

// An inherited start stamp steers the directory's name only in the form the
// launcher gives it; any other value gets a fresh stamp, and nothing is made
// outside TMPDIR.
TEST_F(TrustTest, InheritedStartStamps) {
  const std::string temporary = pack("temporary.pkg", {});
  for (const char* inherited : {"x/../../somewhere", "../x", "", "12_", "_34", "1_2/3", "12_34"}) {
    SCOPED_TRACE(inherited);
    ProcessOptions o = options(work_ / "cache");
    o.env["VORLIX_ONEFILE_START"] = inherited;
    o.cwd = (work_ / "tmp").string();
    std::vector<std::string> before = names_in(work_.path());
    Process process(temporary, {temporary}, o);
    ProcessResult r = process.wait();
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    std::string stamp = reported(r.out, "VORLIX_ONEFILE_START");
    size_t underscore = stamp.find('_');
    EXPECT_TRUE(underscore != std::string::npos && underscore > 0 && underscore + 1 < stamp.size() &&
                stamp.find_first_not_of("0123456789_") == std::string::npos && stamp.find('_', underscore + 1) == std::string::npos)
        << stamp;
    if (std::string(inherited) == "12_34") {
      EXPECT_EQ(stamp, "12_34");
    }
    EXPECT_EQ(reported(r.out, "root"),
              (work_ / "tmp" / ("onefile_" + std::to_string(process.pid()) + "_" + stamp)).string());
    EXPECT_EQ(names_in(work_.path()), before);
    EXPECT_TRUE(fs::is_empty(work_ / "tmp"));
  }
}

// A cached package replaced by a new version (renamed over it) while it
// starts: the run is the old version's throughout, its directory and its
// files, or it is refused; never the old name with the new files.
TEST_F(TrustTest, APackageReplacedWhileItStarts) {
  if (!fault_shim_usable()) GTEST_SKIP() << "the fault shim cannot be preloaded into a sanitizer build";
  const fs::path cache_home = work_ / "cache";
  const std::string first = pack("tool.pkg", {"--cache"});
  const fs::path first_kept = kept_directory(first, cache_home);
  write_file(work_ / "app/data/message.txt", "second version\n");
  const std::string second = pack("tool-2.pkg", {"--cache"});
  ASSERT_NE(kept_directory(second, cache_home), first_kept);

  ProcessOptions o = options(cache_home);
  o.env["LD_PRELOAD"] = VORLIX_FAULT_SHIM_PATH;
  o.env["VORLIX_FAIL_EXE"] = first;
  o.env["VORLIX_REPLACE_PACKAGE_WITH"] = second;
  ProcessResult r = run(first, {first}, o);
  ASSERT_FALSE(fs::exists(second)) << "the package was not replaced";
  if (r.exit_code() == 2) {
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
  } else {
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(reported(r.out, "root"), first_kept.string());
  }
  for (const std::string& name : names_in(first_kept.parent_path())) {
    if (name == CACHE_LOCK_FILE) continue;
    EXPECT_EQ(name, first_kept.filename().string());
    EXPECT_EQ(read_file(first_kept / "data/message.txt"), "first version\n");
  }
}

// A package made set-user-ID: started by another user, it refuses before
// reading anything.
TEST_F(TrustTest, SetUserIdPackagesAreRefused) {
  const std::string temporary = pack("temporary.pkg", {});
  fs::path package = work_ / "setuid.pkg";
  fs::copy_file(temporary, package);
  ASSERT_EQ(chown(package.c_str(), 0, 0), 0);
  ASSERT_EQ(chmod(package.c_str(), 04755), 0);
  struct statvfs mount;
  ASSERT_EQ(statvfs(package.c_str(), &mount), 0);
  if (mount.f_flag & ST_NOSUID) GTEST_SKIP() << package << " lies on a file system mounted nosuid";
  if (read_file("/proc/self/status").find("NoNewPrivs:\t1") != std::string::npos)
    GTEST_SKIP() << "this process runs with no_new_privs: set-user-ID has no effect";
  ProcessOptions o = options(work_ / "cache");
  o.uid = NOBODY;
  Process process(package.string(), {package.string()}, o);
  ProcessResult r = process.wait();
  EXPECT_EQ(r.exit_code(), 2);
  EXPECT_EQ(r.err, "Error, a package must not run set-user-ID or set-group-ID.\n");
  EXPECT_EQ(r.out, "");
  // glibc drops TMPDIR for such a start: nothing in either place.
  EXPECT_TRUE(fs::is_empty(work_ / "tmp"));
  for (const std::string& name : names_in("/tmp"))
    EXPECT_NE(name.rfind("onefile_" + std::to_string(process.pid()) + "_", 0), 0u) << name;
}

// A warm run checks the program it is about to run, not only its directory.
TEST_F(TrustTest, WarmRunsCheckTheProgramFile) {
  const std::string cached = pack("cached.pkg", {"--cache"});
  const fs::path cache_home = work_ / "cache";
  const fs::path program = kept_directory(cached, cache_home) / "run";
  struct Case {
    const char* name;
    std::function<void()> change;
  };
  const std::vector<Case> cases = {
      {"replaced by another user's file",
       [&] {
         fs::remove(program);
         write_file(program, probe_image(), 0755);
         ASSERT_EQ(chown(program.c_str(), NOBODY, NOBODY), 0);
       }},
      {"writable by everyone", [&] { ASSERT_EQ(chmod(program.c_str(), 0777), 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(cache_home);
    ASSERT_EQ(run(cached, {cached}, options(cache_home)).exit_code(), 0);
    c.change();
    ProcessResult r = run(cached, {cached}, options(cache_home));
    EXPECT_EQ(r.exit_code(), 2);
    EXPECT_EQ(r.err, "Error, program '" + program.string() + "' is not a file of this user's that only they can change.\n");
    EXPECT_EQ(r.out, "");
  }
}

// No run waits on a lock another user can take: one that holds the kept
// directory's parent locked delays nobody, a lock file planted by another
// user is refused at once, and a wait for a run of the user's own ends with
// a termination signal.
TEST_F(TrustTest, NoWaitingOnOtherUsers) {
  const std::string cached = pack("cached.pkg", {"--cache"});
  const fs::path cache_home = work_ / "cache";
  const fs::path kept = kept_directory(cached, cache_home);
  const fs::path parent = kept.parent_path();
  const fs::path lock_file = parent / CACHE_LOCK_FILE;
  using Clock = std::chrono::steady_clock;
  auto seconds_since = [](Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
  };
  make_directory(cache_home, 0755);
  make_directory(parent, 0755);
  {
    ForeignLock held(parent);
    ASSERT_TRUE(held.locked());
    for (const char* run_kind : {"first run", "warm run"}) {
      SCOPED_TRACE(run_kind);
      Clock::time_point start = Clock::now();
      ProcessResult r = run(cached, {cached}, options(cache_home));
      EXPECT_EQ(r.exit_code(), 0) << r.err;
      EXPECT_LT(seconds_since(start), 3.0);
    }
  }

  fs::remove_all(kept);
  fs::remove(lock_file);
  write_file(lock_file, "", 0600);
  ASSERT_EQ(chown(lock_file.c_str(), NOBODY, NOBODY), 0);
  Clock::time_point start = Clock::now();
  ProcessResult r = run(cached, {cached}, options(cache_home));
  EXPECT_LT(seconds_since(start), 3.0);
  EXPECT_EQ(r.exit_code(), 2);
  EXPECT_EQ(r.err, "Error, lock file '" + lock_file.string() + "' belongs to another user or others can open it.\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(names_in(parent), std::vector<std::string>{CACHE_LOCK_FILE});

  // Another run of the same user holds the lock: this one waits, and
  // SIGTERM ends the wait.
  fs::remove(lock_file);
  write_file(lock_file, "", 0600);
  int own = open(lock_file.c_str(), O_RDWR);
  ASSERT_EQ(flock(own, LOCK_EX), 0);
  Process waiting(cached, {cached}, options(cache_home));
  usleep(300000);
  EXPECT_EQ(read_file("/proc/" + std::to_string(waiting.pid()) + "/stat").find(") Z "), std::string::npos)
      << "the run did not wait";
  start = Clock::now();
  kill(waiting.pid(), SIGTERM);
  r = waiting.wait();
  EXPECT_LT(seconds_since(start), 2.0);
  EXPECT_EQ(r.term_signal(), SIGTERM) << r.exit_code() << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(names_in(parent), std::vector<std::string>{CACHE_LOCK_FILE});
  close(own);
}

}  // namespace
}  // namespace vorlix::testing
