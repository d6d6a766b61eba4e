// Packages made with a chosen target directory and in cached mode, run as a
// user runs them: what is extracted, where, whether the program runs in the
// launcher's place, and what is on disk afterwards.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>


#include "format/launcher_config.h"
#include "testing/fnv.h"
#include "testing/test_util.h"

namespace vorlix::testing {
namespace {

// The names in a directory that holds cached directories, without the lock
// file that guards the making of private directories there.
std::vector<std::string> cache_names(const fs::path& dir) {
  std::vector<std::string> names = names_in(dir);
  std::erase(names, std::string(CACHE_LOCK_FILE));
  return names;
}

class CacheTest : public ::testing::Test {
 protected:
  CacheTest() {
    fs::create_directories(work_ / "tmp");
    write_file(work_ / "app/run", probe_image(), 0755);
    write_file(work_ / "app/data/message.txt", "first version\n");
  }

  fs::path cache_root() const { return work_ / "cache"; }

  // Packs the app with |options| into |name| and returns its path.
  std::string pack(const std::string& name, const std::vector<std::string>& options) {
    return pack_directory(work_ / "app", work_ / name, options);
  }

  ProcessOptions options(std::map<std::string, std::optional<std::string>> env = {}) const {
    ProcessOptions o;
    o.env = std::move(env);
    o.env["XDG_CACHE_HOME"] = cache_root().string();
    o.env["TMPDIR"] = (work_ / "tmp").string();
    o.env.try_emplace("VORLIX_ONEFILE_START", std::nullopt);
    return o;
  }

  ProcessResult launch(const std::string& package, const ProcessOptions& o) {
    return run(package, {package, "an argument"}, o);
  }

  // The one cached directory below cache_root()/vorlix, after a first run.
  fs::path cached_directory() const {
    std::vector<std::string> names = cache_names(cache_root() / "vorlix");
    EXPECT_EQ(names.size(), 1u) << ::testing::PrintToString(names);
    return names.empty() ? fs::path() : cache_root() / "vorlix" / names[0];
  }

  TempDir work_;
};

TEST_F(CacheTest, FirstRunExtractsThenRunsInPlace) {
  std::string package = pack("tool.pkg", {"--cache"});
  Process process(package, {package, "an argument"}, options({{"PROBE_LIST", "1"}, {"PROBE_EXIT", "7"}}));
  ProcessResult r = process.wait();
  EXPECT_EQ(r.exit_code(), 7) << r.err;
  fs::path cached = cached_directory();
  EXPECT_EQ(cached.filename().string().rfind("tool-", 0), 0u) << cached;
  // The program replaced the launcher: same process, told as in temporary mode.
  EXPECT_EQ(reported(r.out, "pid"), std::to_string(process.pid()));
  EXPECT_EQ(reported(r.out, "VORLIX_ONEFILE_PARENT"), std::to_string(process.pid()));
  EXPECT_EQ(reported(r.out, "VORLIX_ONEFILE_DIRECTORY"), work_.path().string());
  EXPECT_EQ(reported(r.out, "VORLIX_ORIGINAL_ARGV0"), package);
  EXPECT_NE(reported(r.out, "VORLIX_ONEFILE_START"), "");
  EXPECT_EQ(reported(r.out, "argv[0]"), package);
  EXPECT_EQ(reported(r.out, "argv[1]"), "an argument");
  EXPECT_EQ(reported(r.out, "root"), cached.string());
  EXPECT_EQ(read_file(cached / "data/message.txt"), "first version\n");
  EXPECT_EQ(mode_of(cached), 0700u);
  EXPECT_EQ(mode_of(cached.parent_path() / CACHE_LOCK_FILE), 0600u);
  // Only the kept directory, no private leftovers; nothing in TMPDIR.
  EXPECT_EQ(cache_names(cache_root() / "vorlix").size(), 1u);
  EXPECT_TRUE(fs::is_empty(work_ / "tmp"));
  // vorlix-pack shows the mode and the stored spec.
  ProcessResult json = run(VORLIX_PACK_PATH, {"vorlix-pack", "list", "--json", package});
  EXPECT_EQ(json.out.rfind("{\"mode\": \"cached\", \"target_dir\": \"{CACHE_DIR}/vorlix/" +
                               cached.filename().string() + "\", \"grace_period\": 5, \"entries\": [",
                           0),
            0u)
      << json.out;
}

// The state of the kept directory before a run, and what the run does.
TEST_F(CacheTest, StatesOfTheDirectory) {
  std::string package = pack("tool.pkg", {"--cache"});
  ASSERT_EQ(launch(package, options()).exit_code(), 0);
  const fs::path cached = cached_directory();
  const fs::path parent = cached.parent_path();
  std::string leftover = ".";  // built piece by piece: GCC 12 -O3 takes "." + std::string for an overlap
  leftover += cached.filename().string();
  leftover += ".partial-a1b2c3";
  struct Case {
    const char* name;
    std::function<void()> prepare;
    int status;
    const char* message;     // in the one line on standard error
    bool extracted;          // the sentinel below is gone (a fresh tree)
    std::function<void()> after;  // more checks
  };
  int held = -1;
  const std::vector<Case> cases = {
      {"complete", [] {}, 0, nullptr, false, [] {}},
      {"absent", [&] { fs::remove_all(cached); }, 0, nullptr, true, [] {}},
      {"owned by another user", [&] { ASSERT_EQ(chown(cached.c_str(), 65534, 65534), 0); }, 2,
       "belongs to another user", false, [&] { EXPECT_EQ(chown(cached.c_str(), 0, 0), 0); }},
      {"group-writable", [&] { chmod(cached.c_str(), 0770); }, 2, "is writable by group or others", false,
       [&] { chmod(cached.c_str(), 0700); }},
      // In the default location an incomplete tree (a cleaner took its
      // marker) is moved aside and extracted afresh.
      {"not complete", [&] { fs::remove(cached / ".vorlix-complete"); }, 0, nullptr, true,
       [&] { EXPECT_EQ(cache_names(parent), std::vector<std::string>{cached.filename().string()}); }},
      {"marker of another package", [&] {
         fs::remove(cached / ".vorlix-complete");
         fs::create_symlink("0123456789abcdef0123456789abcdef", cached / ".vorlix-complete");
       }, 0, nullptr, true, [] {}},
      {"a stale private leftover", [&] { write_file(parent / leftover / "half", "x"); }, 0, nullptr, false,
       [&] { EXPECT_FALSE(fs::exists(parent / leftover)); }},
      {"a private directory a running launcher holds",
       [&] {
         write_file(parent / leftover / "half", "x");
         fs::remove_all(cached);
         held = open((parent / leftover).c_str(), O_RDONLY | O_DIRECTORY);
         ASSERT_EQ(flock(held, LOCK_EX), 0);
       },
       0, nullptr, true,
       [&] {
         EXPECT_TRUE(fs::exists(parent / leftover / "half"));
         close(held);
         fs::remove_all(parent / leftover);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (fs::exists(cached)) write_file(cached / "sentinel", "from before");
    c.prepare();
    ProcessResult r = launch(package, options());
    EXPECT_EQ(r.exit_code(), c.status) << r.err;
    if (c.message) {
      EXPECT_EQ(r.err, "Error, cache directory '" + cached.string() + "' " + c.message + ".\n");
    } else {
      EXPECT_EQ(r.err, "");
      EXPECT_NE(r.out.find("argc=2"), std::string::npos) << r.out;
      EXPECT_EQ(fs::exists(cached / "sentinel"), !c.extracted);
    }
    c.after();
    EXPECT_TRUE(fs::exists(cached / "run"));
    fs::remove(cached / "sentinel");
  }
}

// What stands in the directory's place is refused and left as it was.
TEST_F(CacheTest, SomethingElseInItsPlaceIsRefused) {
  std::string package = pack("tool.pkg", {"--cache"});
  ASSERT_EQ(launch(package, options()).exit_code(), 0);
  const fs::path cached = cached_directory();
  fs::create_directory(work_ / "elsewhere");
  struct Case {
    const char* name;
    std::function<void()> make;
  };
  const std::vector<Case> cases = {
      {"a regular file", [&] { write_file(cached, "a file"); }},
      {"a link to a directory", [&] { fs::create_directory_symlink(work_ / "elsewhere", cached); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(cached);
    c.make();
    ProcessResult r = launch(package, options());
    EXPECT_EQ(r.exit_code(), 2);
    EXPECT_EQ(r.err, "Error, cache directory '" + cached.string() + "' is not a directory.\n");
    EXPECT_TRUE(fs::is_empty(work_ / "elsewhere"));
    EXPECT_EQ(cache_names(cached.parent_path()), std::vector<std::string>{cached.filename().string()});
  }
}

TEST_F(CacheTest, ConcurrentFirstRunsShareOneTree) {
  // Enough files that the extractions overlap.
  for (int i = 0; i < 300; ++i) write_file(work_ / "app/data" / std::to_string(i), std::string(1000, 'a' + i % 26));
  std::string package = pack("tool.pkg", {"--cache"});
  std::vector<std::unique_ptr<Process>> runs;
  for (int i = 0; i < 8; ++i) runs.push_back(std::make_unique<Process>(package, std::vector<std::string>{package}, options()));
  for (auto& p : runs) {
    ProcessResult r = p->wait();
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_NE(r.out.find("argc=1"), std::string::npos);
  }
  std::vector<std::string> left = cache_names(cache_root() / "vorlix");
  ASSERT_EQ(left.size(), 1u) << ::testing::PrintToString(left);
  EXPECT_EQ(read_file(cache_root() / "vorlix" / left[0] / "data/299"), std::string(1000, 'a' + 299 % 26));
}

// A launcher stopped by SIGTERM while it extracts removes its private
// directory; one killed leaves it behind, and the next run removes it and
// extracts afresh.
TEST_F(CacheTest, StoppedOrKilledMidExtractionThenANormalRun) {
  for (int i = 0; i < 20000; ++i) write_file(work_ / "app/many" / std::to_string(i), "x");
  std::string package = pack("tool.pkg", {"--cache"});
  fs::path vorlix = cache_root() / "vorlix";
  for (int signal_number : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(signal_number);
    Process first(package, {package}, options());
    ASSERT_TRUE(eventually(20, [&] {
      for (const std::string& name : cache_names(vorlix))
        if (fs::exists(vorlix / name / "many")) return true;
      return false;
    }));
    kill(first.pid(), signal_number);
    ProcessResult r = first.wait();
    if (signal_number == SIGTERM) {
      EXPECT_EQ(r.term_signal(), SIGTERM) << r.exit_code() << r.err;
      EXPECT_EQ(cache_names(vorlix), std::vector<std::string>{});
    }
  }
  std::vector<std::string> left = cache_names(vorlix);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_NE(left[0].find(".partial-"), std::string::npos) << left[0];

  ProcessResult r = launch(package, options());
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  left = cache_names(vorlix);
  ASSERT_EQ(left.size(), 1u) << ::testing::PrintToString(left);
  EXPECT_EQ(left[0].rfind("tool-", 0), 0u);
  EXPECT_TRUE(fs::exists(vorlix / left[0] / "many/19999"));
}

// A new version gets a directory of its own; its first run removes the old
// version's, unless a program still runs from it (it holds a shared lock
// there, inherited from its launcher). Another package's and another user's
// directories are never touched.
TEST_F(CacheTest, AChangedPackageGetsANewDirectoryAndTheOldOneGoes) {
  fs::path vorlix = cache_root() / "vorlix";
  for (bool old_one_runs : {false, true}) {
    SCOPED_TRACE(old_one_runs ? "the old version runs" : "the old version has ended");
    fs::remove_all(cache_root());
    write_file(work_ / "app/data/message.txt", "first version\n");
    std::string first = pack("tool.pkg", {"--cache"});
    ASSERT_EQ(launch(first, options()).exit_code(), 0);
    std::string old_name = cache_names(vorlix).at(0);
    // Look-alikes that are not this package's old versions.
    fs::create_directories(vorlix / "other-0123456789abcdef0123456789abcdef");
    fs::create_directories(vorlix / ("tool-" + std::string(31, 'a')));
    fs::create_directories(vorlix / ("tool-" + std::string(32, 'b')));
    ASSERT_EQ(chown((vorlix / ("tool-" + std::string(32, 'b'))).c_str(), 65534, 65534), 0);
    std::unique_ptr<Process> running;
    if (old_one_runs) {
      running = std::make_unique<Process>(first, std::vector<std::string>{first},
                                          options({{"PROBE_SLEEP", "3"}, {"PROBE_READY", (work_ / "ready").string()}}));
      ASSERT_TRUE(eventually(10, [&] { return fs::exists(work_ / "ready"); }));
    }
    write_file(work_ / "app/data/message.txt", "second version\n");
    std::string second = pack("tool.pkg", {"--cache"});
    ProcessResult r = launch(second, options({{"PROBE_LIST", "1"}}));
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(read_file(fs::path(reported(r.out, "root")) / "data/message.txt"), "second version\n");
    std::vector<std::string> names = cache_names(vorlix);
    EXPECT_EQ(std::count(names.begin(), names.end(), old_name), old_one_runs ? 1 : 0);
    EXPECT_EQ(names.size(), old_one_runs ? 5u : 4u) << ::testing::PrintToString(names);
    if (running) {
      EXPECT_EQ(running->wait().exit_code(), 0);
    }
    fs::remove(work_ / "ready");
  }
}

// A chosen directory is the user's to name, so an incomplete one is refused
// (never removed), with the way out in the message.
TEST_F(CacheTest, AnIncompleteChosenDirectoryIsRefused) {
  std::string package = pack("tool.pkg", {"--cache", "--target-dir", (work_ / "kept").string()});
  ASSERT_EQ(launch(package, options()).exit_code(), 0);
  fs::remove(work_ / "kept/.vorlix-complete");
  ProcessResult r = launch(package, options());
  EXPECT_EQ(r.exit_code(), 2);
  EXPECT_EQ(r.err, "Error, cache directory '" + (work_ / "kept").string() +
                       "' holds no complete extraction of this package; remove it to extract the package again.\n");
  EXPECT_TRUE(fs::exists(work_ / "kept/run"));
}

// A chosen directory in temporary mode behaves as the default one does.
TEST_F(CacheTest, TemporaryModeInAChosenDirectory) {
  std::string package = pack("tool.pkg", {"--target-dir", "{PROGRAM_DIR}/.run-{PID}"});
  Process process(package, {package}, options({{"PROBE_EXIT", "5"}}));
  ProcessResult r = process.wait();
  EXPECT_EQ(r.exit_code(), 5) << r.err;
  EXPECT_EQ(reported(r.out, "root"), (work_ / (".run-" + std::to_string(process.pid()))).string());
  EXPECT_NE(reported(r.out, "pid"), std::to_string(process.pid()));
  EXPECT_NE(reported(r.out, "VORLIX_ONEFILE_START"), "");
  EXPECT_FALSE(fs::exists(reported(r.out, "root")));
}

// A launcher whose configuration block was edited by hand refuses to run:
// one line, exit 2, nothing extracted or run.
TEST_F(CacheTest, EditedConfigurationIsRefused) {
  struct Case {
    const char* name;
    std::vector<std::string> options;
    std::function<void(LauncherConfig&)> edit;
    const char* problem;
    // Found only once the first entry is written: the private directory is
    // removed again, and nothing is kept.
    bool after_extraction = false;
  };
  const std::vector<Case> cases = {
      {"exec name escaping", {"--cache"},
       [](LauncherConfig& c) { set_config_text(c.exec_name, sizeof c.exec_name, "../../../../bin/id"); },
       "its exec name has a '..' component"},
      {"exec name absolute", {"--cache"},
       [](LauncherConfig& c) { set_config_text(c.exec_name, sizeof c.exec_name, "/bin/id"); },
       "its exec name is absolute"},
      {"cached spec with {PID}", {"--cache"},
       [](LauncherConfig& c) { set_config_text(c.target_spec, sizeof c.target_spec, "{CACHE_DIR}/app-{PID}"); },
       "its cached target directory names {PID} or {TIME}"},
      {"temporary spec with {TIME} alone", {"--grace-period", "1"},
       [](LauncherConfig& c) { set_config_text(c.target_spec, sizeof c.target_spec, "{TEMP}/app-{TIME}"); },
       "its temporary target directory does not name {PID}"},
      {"mode 7", {"--grace-period", "1"}, [](LauncherConfig& c) { c.mode = 7; }, "its mode is unknown"},
      {"one mark byte flipped", {"--cache"}, [](LauncherConfig& c) { c.mark[7] ^= 0x01; }, "its mark is damaged"},
      {"unknown placeholder", {"--grace-period", "1"},
       [](LauncherConfig& c) { set_config_text(c.target_spec, sizeof c.target_spec, "{NOPE}/x"); },
       "its target directory names an unknown placeholder"},
      {"relative spec", {"--grace-period", "1"},
       [](LauncherConfig& c) { set_config_text(c.target_spec, sizeof c.target_spec, "app-{PID}"); },
       "its target directory may not give an absolute path"},
      {"temporary spec with neither {PID} nor {TIME}", {"--grace-period", "1"},
       [](LauncherConfig& c) { set_config_text(c.target_spec, sizeof c.target_spec, "{TEMP}/app"); },
       "its temporary target directory does not name {PID}"},
      {"spec without its NUL", {"--grace-period", "1"},
       [](LauncherConfig& c) { memset(c.target_spec, 'x', sizeof c.target_spec); },
       "its target directory does not end within its field"},
      {"exec name of another entry", {"--cache"},
       [](LauncherConfig& c) { set_config_text(c.exec_name, sizeof c.exec_name, "data/message.txt"); },
       "its program is not the first entry", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(cache_root());
    std::string package = pack("tool.pkg", c.options);
    edit_launcher_config(package, c.edit);
    ProcessResult r = launch(package, options({{"PROBE_EXIT", "7"}}));
    EXPECT_EQ(r.exit_code(), 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string("Error, damaged package configuration: ") + c.problem + ".\n");
    if (c.after_extraction) {
      EXPECT_EQ(cache_names(cache_root() / "vorlix"), std::vector<std::string>{});
    } else {
      EXPECT_FALSE(fs::exists(cache_root()));
    }
    EXPECT_TRUE(fs::is_empty(work_ / "tmp"));
  }
}

// A package made without the new options carries the launcher image as built
// and the same payload as before they existed (the bytes after the image
// are compared with a hash taken from the earlier packer).
TEST_F(CacheTest, DefaultPackagesAreUnchanged) {
  fs::path tree = work_ / "fixed";
  write_file(tree / "run", "#!/bin/sh\necho fixed\n", 0755);
  write_file(tree / "lib/a.txt", std::string(5000, 'a'));
  fs::create_symlink("lib/a.txt", tree / "link");
  std::string package = (work_ / "fixed.pkg").string();
  ProcessResult r = run(VORLIX_PACK_PATH, {"vorlix-pack", "create", "-q", "-o", package, tree.string()});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  std::string bytes = read_file(package);
  ASSERT_GT(bytes.size(), launcher_image().size());
  EXPECT_TRUE(bytes.compare(0, launcher_image().size(), launcher_image()) == 0);
  std::string payload = bytes.substr(launcher_image().size());
  char hash[17];
  snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(fnv1a(payload)));
  // Taken with the packer before --target-dir and --cache, on Debian 12's
  // libzstd 1.5.4 (another zstd version may compress differently).
  EXPECT_EQ(std::string(hash), "906fdaac770e0206") << payload.size() << " bytes";
}

}  // namespace
}  // namespace vorlix::testing

namespace vorlix::testing {
namespace {

// VORLIX_ONEFILE_TRACE=1: one line per step on standard error, each with the
// prefix; without it, a quiet program leaves standard error empty.
TEST_F(CacheTest, TraceSwitch) {
  struct Case {
    const char* name;
    std::vector<std::string> pack_options;
    std::vector<std::string> steps;  // one line for each, in this order
  };
  const std::vector<Case> cases = {
      {"temporary", {}, {"package ", "temporary mode, target directory ", "extracted 2 entries, ", "started ",
                         "program ended with exit code 0", "removed "}},
      {"cached, first run", {"--cache"}, {"package ", "cached mode, target directory ", "cache miss: extracting into ",
                                          "extracted 2 entries, ", "moved into place: ", "running "}},
      {"cached, later run", {"--cache"}, {"package ", "cached mode, target directory ", "cache hit: ", "running "}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string package = pack("tool.pkg", c.pack_options);
    ProcessResult quiet = launch(package, options());
    EXPECT_EQ(quiet.exit_code(), 0);
    EXPECT_EQ(quiet.err, "");
    if (std::string(c.name) == "cached, first run") fs::remove_all(cache_root());
    ProcessResult r = launch(package, options({{"VORLIX_ONEFILE_TRACE", "1"}}));
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    std::istringstream lines(r.err);
    size_t step = 0;
    for (std::string line; std::getline(lines, line);) {
      EXPECT_EQ(line.rfind("vorlix: ", 0), 0u) << line;
      if (step < c.steps.size() && line.find(c.steps[step]) == 8) ++step;
    }
    EXPECT_EQ(step, c.steps.size()) << r.err;
  }
}

}  // namespace
}  // namespace vorlix::testing
