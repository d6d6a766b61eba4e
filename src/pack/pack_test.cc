// vorlix-pack as a user runs it: exit status, output, files on disk.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utime.h>

#include <gtest/gtest.h>

#include "testing/test_util.h"

namespace vorlix::testing {
namespace {

std::string pack_path() { return VORLIX_PACK_PATH; }

// Runs vorlix-pack; as another user, the copy that every user can reach.
ProcessResult pack(std::vector<std::string> args, ProcessOptions options = {}) {
  args.insert(args.begin(), "vorlix-pack");
  std::string program = options.uid ? (binaries_for_other_users() / "vorlix-pack").string() : pack_path();
  return run(program, args, options);
}

class PackTest : public ::testing::Test {
 protected:
  PackTest() {
    chmod(work_.path().c_str(), 0755);
    fs::create_directory(tmp());
  }
  fs::path tmp() const { return work_ / "tmp"; }

  // A small application: the probe as its program, data, a link, an empty
  // file, nested directories and an empty one.
  fs::path make_app(const std::string& name = "app") {
    fs::path app = work_ / name;
    write_file(app / "run", probe_image(), 0755);
    write_file(app / "lib/python/mod.py", "print('hi')\n", 0644);
    write_file(app / "lib/tool", "#!/bin/sh\n", 0750);
    write_file(app / "empty", "", 0600);
    fs::create_symlink("lib/python/mod.py", app / "mod-link");
    fs::create_directories(app / "cache/nothing");
    return app;
  }

  TempDir work_;
};

TEST_F(PackTest, CreateListVerifyAndRun) {
  fs::path app = make_app();
  std::string package = (work_ / "app.pkg").string();
  ProcessResult created = pack({"create", "-o", package, "--level", "3", app.string()});
  ASSERT_EQ(created.exit_code(), 0) << created.err;
  EXPECT_EQ(created.out, "");
  EXPECT_NE(created.err.find("warning: cache: empty directory not stored"), std::string::npos) << created.err;
  EXPECT_NE(created.err.find("5 entries"), std::string::npos) << created.err;
  EXPECT_EQ(mode_of(package), 0755u);

  ProcessResult listed = pack({"list", package});
  ASSERT_EQ(listed.exit_code(), 0) << listed.err;
  char first[64];
  snprintf(first, sizeof first, "x %12zu run\n", probe_image().size());
  EXPECT_EQ(listed.out, "mode: temporary, target directory: {TEMP}/onefile_{PID}_{TIME}, grace period: 5 s\n" + std::string(first) +
                            "f            0 empty\n"
                            "f           12 lib/python/mod.py\n"
                            "x           10 lib/tool\n"
                            "l           17 mod-link -> lib/python/mod.py\n");

  ProcessResult json = pack({"list", "--json", package});
  EXPECT_NE(json.out.find("{\"kind\": \"l\", \"size\": 17, \"name\": \"mod-link\", \"target\": \"lib/python/mod.py\"}"),
            std::string::npos)
      << json.out;

  ProcessResult verified = pack({"verify", package});
  EXPECT_EQ(verified.exit_code(), 0);
  EXPECT_EQ(verified.out, "ok: 5 entries, " + std::to_string(probe_image().size() + 22) +
                              " bytes\nmode: temporary, target directory: {TEMP}/onefile_{PID}_{TIME}, grace period: 5 s\n");

  ProcessOptions options;
  options.env["TMPDIR"] = tmp().string();
  options.env["PROBE_LIST"] = "1";
  ProcessResult ran = run(package, {package, "arg"}, options);
  ASSERT_EQ(ran.exit_code(), 0) << ran.err;
  EXPECT_NE(ran.out.find("argv[1]=arg\n"), std::string::npos);
  EXPECT_NE(ran.out.find("file lib/tool 0745 10 "), std::string::npos) << ran.out;
  EXPECT_NE(ran.out.find("link mod-link -> lib/python/mod.py\n"), std::string::npos);
  EXPECT_TRUE(fs::is_empty(tmp()));
}

TEST_F(PackTest, SingleFileAndChosenProgram) {
  fs::path app = make_app();
  std::string package = (work_ / "one.pkg").string();
  ASSERT_EQ(pack({"create", "-q", "-o", package, (app / "run").string()}).exit_code(), 0);
  std::string listed = pack({"list", package}).out;
  EXPECT_EQ(listed.substr(listed.find('\n') + 1, 2), "x ");
  ProcessResult r = pack({"create", "-q", "-o", package, "--exec", "./lib/tool", app.string()});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  // Quiet keeps the warnings.
  EXPECT_EQ(r.err, "vorlix-pack: create: warning: cache: empty directory not stored\n");
  EXPECT_NE(pack({"list", package}).out.find("x           10 lib/tool\n"), std::string::npos);
}

TEST_F(PackTest, SameInputSameBytes) {
  fs::path app = make_app("one");
  // The same tree made in another order, with other times.
  fs::path other = work_ / "two";
  fs::create_directories(other / "cache/nothing");
  fs::create_symlink("lib/python/mod.py", other / "mod-link");
  write_file(other / "empty", "", 0600);
  write_file(other / "lib/tool", "#!/bin/sh\n", 0750);
  write_file(other / "lib/python/mod.py", "print('hi')\n", 0644);
  write_file(other / "run", probe_image(), 0755);
  struct utimbuf old_times = {1000000, 1000000};
  utime((other / "run").c_str(), &old_times);

  std::string a = (work_ / "a.pkg").string(), b = (work_ / "b.pkg").string();
  ASSERT_EQ(pack({"create", "-q", "--threads", "1", "-o", a, app.string()}).exit_code(), 0);
  ASSERT_EQ(pack({"create", "-q", "--threads", "3", "-o", b, other.string()}).exit_code(), 0);
  EXPECT_TRUE(read_file(a) == read_file(b));
}

TEST_F(PackTest, CreateRefusesBeforeWritingAnything) {
  struct Case {
    const char* name;
    std::function<std::vector<std::string>(const fs::path& app)> setup;  // extra arguments
    const char* message;
    int status;
  };
  const std::vector<Case> cases = {
      {"fifo", [](const fs::path& app) { mkfifo((app / "pipe").c_str(), 0644); return std::vector<std::string>{}; },
       "app/pipe: cannot pack a fifo", 1},
      {"socket",
       [](const fs::path& app) {
         int s = socket(AF_UNIX, SOCK_STREAM, 0);
         sockaddr_un address = {};
         address.sun_family = AF_UNIX;
         std::string path = (app / "sock").string();
         strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
         (void)!bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
         close(s);
         return std::vector<std::string>{};
       },
       "app/sock: cannot pack a socket", 1},
      {"name of 1024 bytes",
       [](const fs::path& app) {
         fs::path deep = app;
         for (int i = 0; i < 4; ++i) deep /= std::string(200, 'd');
         write_file(deep / std::string(1024 - 4 * 201, 'f'), "x");
         return std::vector<std::string>{};
       },
       "name longer than 1023 bytes", 1},
      {"link target of 1024 bytes",
       [](const fs::path& app) {
         fs::create_symlink(std::string(1024, 't'), app / "l");
         return std::vector<std::string>{};
       },
       "app/l: link target longer than 1023 bytes", 1},
      {"exec missing", [](const fs::path&) { return std::vector<std::string>{"--exec", "nope"}; },
       "--exec nope: no such file in", 1},
      {"exec a link", [](const fs::path&) { return std::vector<std::string>{"--exec", "mod-link"}; },
       "--exec mod-link: not a regular file", 1},
      {"exec not executable", [](const fs::path&) { return std::vector<std::string>{"--exec", "empty"}; },
       "--exec empty: not executable", 1},
      {"several programs",
       [](const fs::path& app) {
         write_file(app / "second", "", 0755);
         return std::vector<std::string>{};
       },
       "several executable files at the top (run, second); choose the program with --exec", 1},
      {"program path too long",
       [](const fs::path& app) {
         std::string name;
         for (int i = 0; i < 5; ++i) name += std::string(200, 'p') + "/";
         write_file(app / (name + "run"), "", 0755);
         return std::vector<std::string>{"--exec", name + "run"};
       },
       "launchers could not run it", 1},
      {"level without --ultra", [](const fs::path&) { return std::vector<std::string>{"--level", "20"}; },
       "vorlix-pack: create: invalid level '20' (1-19, or 20-22 with --ultra)", 2},
      {"target directory shared by runs at once",
       [](const fs::path&) { return std::vector<std::string>{"--target-dir", "{TEMP}/app"}; },
       "does not name {PID}", 2},
      {"target directory not absolute",
       [](const fs::path&) { return std::vector<std::string>{"--target-dir", "run-{PID}"}; },
       "may not give an absolute path", 2},
      {"cached directory new for every run",
       [](const fs::path&) { return std::vector<std::string>{"--cache", "--target-dir", "{HOME}/app-{PID}"}; },
       "every run would extract anew", 2},
      {"cached package with the directory's own record as an entry",
       [](const fs::path& app) {
         write_file(app / ".vorlix-complete", "x");
         return std::vector<std::string>{"--cache"};
       },
       "name kept for the cached directory's own record", 1},
      {"the cached directory's record as a directory, temporary mode",
       [](const fs::path& app) {
         write_file(app / ".vorlix-complete/x", "x");
         return std::vector<std::string>{};
       },
       "app/.vorlix-complete: name kept for the cached directory's own record", 1},
      {"the cached directory's record as a link",
       [](const fs::path& app) {
         fs::create_symlink("run", app / ".vorlix-complete");
         return std::vector<std::string>{"--target-dir", "/x-{PID}"};
       },
       "app/.vorlix-complete: name kept for the cached directory's own record", 1},
      {"grace period too long", [](const fs::path&) { return std::vector<std::string>{"--grace-period", "3601"}; },
       "vorlix-pack: create: invalid grace period '3601' (0-3600 seconds)", 2},
      {"grace period not a number", [](const fs::path&) { return std::vector<std::string>{"--grace-period", "5s"}; },
       "vorlix-pack: create: invalid grace period '5s' (0-3600 seconds)", 2},
      {"grace period negative", [](const fs::path&) { return std::vector<std::string>{"--grace-period", "-1"}; },
       "vorlix-pack: create: invalid grace period '-1' (0-3600 seconds)", 2},
      {"not a launcher",
       [](const fs::path& app) { return std::vector<std::string>{"--launcher", (app / "empty").string()}; },
       "not an executable launcher image", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(work_ / "app");
    fs::path app = make_app();
    fs::remove_all(app / "cache");  // no warning beside the error
    std::vector<std::string> args = {"create", "-o", (work_ / "out/app.pkg").string()};
    fs::create_directories(work_ / "out");
    write_file(work_ / "out/app.pkg", "previous");
    std::vector<std::string> extra = c.setup(app);
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(app.string());
    ProcessResult r = pack(args);
    EXPECT_EQ(r.exit_code(), c.status);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("vorlix-pack: ", 0), 0u) << r.err;
    // The old output is untouched and no temporary file is left.
    EXPECT_TRUE(read_file(work_ / "out/app.pkg") == "previous");
    EXPECT_EQ(names_in(work_ / "out"), std::vector<std::string>{"app.pkg"});
  }
}

// Root reads everything; an unreadable file is only unreadable to others.
// A chosen grace period is stored even in temporary mode, and shown by list,
// list --json and verify.
TEST_F(PackTest, GracePeriodIsStoredAndShown) {
  fs::path app = make_app();
  fs::remove_all(app / "cache");
  struct Case {
    std::vector<std::string> options;
    const char* shown;  // the launch line
    const char* json;
  };
  const std::vector<Case> cases = {
      {{"--grace-period", "12"}, "mode: temporary, target directory: {TEMP}/onefile_{PID}_{TIME}, grace period: 12 s",
       "{\"mode\": \"temporary\", \"target_dir\": \"{TEMP}/onefile_{PID}_{TIME}\", \"grace_period\": 12, "},
      {{"--grace-period", "0", "--target-dir", "/run/x-{PID}"},
       "mode: temporary, target directory: /run/x-{PID}, grace period: 0 s",
       "{\"mode\": \"temporary\", \"target_dir\": \"/run/x-{PID}\", \"grace_period\": 0, "},
      {{"--cache", "--grace-period", "3600", "--target-dir", "/var/cache/x"},
       "mode: cached, target directory: /var/cache/x, grace period: 3600 s",
       "{\"mode\": \"cached\", \"target_dir\": \"/var/cache/x\", \"grace_period\": 3600, "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    std::string package = (work_ / "app.pkg").string();
    std::vector<std::string> args = {"create", "-q", "-o", package};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(app.string());
    ProcessResult created = pack(args);
    ASSERT_EQ(created.exit_code(), 0) << created.err;
    std::string bytes = read_file(package);
    EXPECT_FALSE(bytes.compare(0, launcher_image().size(), launcher_image()) == 0) << "block left unfilled";
    ProcessResult listed = pack({"list", package});
    EXPECT_EQ(listed.out.substr(0, listed.out.find('\n')), c.shown);
    EXPECT_EQ(pack({"list", "--json", package}).out.rfind(c.json, 0), 0u);
    ProcessResult verified = pack({"verify", package});
    EXPECT_EQ(verified.exit_code(), 0) << verified.err;
    EXPECT_NE(verified.out.find(std::string("\n") + c.shown + "\n"), std::string::npos) << verified.out;
  }
}

TEST_F(PackTest, UnreadableFileIsRefused) {
  fs::path app = make_app();
  chmod((app / "empty").c_str(), 0644);
  chmod((app / "lib/python/mod.py").c_str(), 0000);
  fs::path out = work_ / "out";
  fs::create_directory(out);
  chmod(out.c_str(), 0777);
  for (auto& e : fs::recursive_directory_iterator(app))
    if (e.is_directory()) chmod(e.path().c_str(), 0755);
  chmod(app.c_str(), 0755);
  ProcessOptions nobody;
  nobody.uid = 65534;
  ProcessResult r = pack({"create", "-o", (out / "app.pkg").string(), app.string()}, nobody);
  EXPECT_EQ(r.exit_code(), 1);
  EXPECT_NE(r.err.find("lib/python/mod.py: cannot read: Permission denied"), std::string::npos) << r.err << r.out;
  EXPECT_TRUE(fs::is_empty(out));
}

TEST_F(PackTest, DamagedPackagesAreReported) {
  fs::path app = make_app();
  std::string package = (work_ / "app.pkg").string();
  ASSERT_EQ(pack({"create", "-q", "-o", package, app.string()}).exit_code(), 0);
  std::string good = read_file(package);
  std::string corrupted = good;
  corrupted[launcher_image().size() + 3000] ^= 0x01;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"truncated", good.substr(0, good.size() - 100)},
      {"corrupted", corrupted},
      {"no payload", launcher_image()},
  };
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    write_file(work_ / "bad.pkg", bytes, 0755);
    for (const char* command : {"verify", "list"}) {
      ProcessResult r = pack({command, (work_ / "bad.pkg").string()});
      EXPECT_EQ(r.exit_code(), 1) << command;
      EXPECT_EQ(r.out, "") << command;
      EXPECT_EQ(r.err.rfind("vorlix-pack: " + std::string(command) + ": " + (work_ / "bad.pkg").string() + ": ", 0), 0u)
          << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
  }
}

TEST_F(PackTest, ExtractWritesWhatTheLauncherWould) {
  fs::path app = make_app();
  std::string package = (work_ / "app.pkg").string();
  ASSERT_EQ(pack({"create", "-q", "-o", package, app.string()}).exit_code(), 0);
  ProcessOptions options;
  options.umask = 022;
  ProcessResult r = pack({"extract", package, (work_ / "x").string()}, options);
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_TRUE(read_file(work_ / "x/run") == probe_image());
  EXPECT_EQ(mode_of(work_ / "x/lib/tool"), 0745u);
  EXPECT_EQ(mode_of(work_ / "x/empty"), 0644u);
  EXPECT_EQ(mode_of(work_ / "x/lib"), 0700u);
  EXPECT_EQ(fs::read_symlink(work_ / "x/mod-link"), "lib/python/mod.py");
}

TEST_F(PackTest, ExtractRefusesEscapes) {
  fs::path outside = work_ / "outside";
  fs::create_directory(outside);
  write_file(outside / "victim", "safe");
  struct Case {
    const char* name;
    std::vector<ArchiveEntry> entries;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"parent component", {{"../x", 0, "bad"}}, "refused: '..' component"},
      {"absolute", {{(outside / "victim").string(), 0, "bad"}}, "refused: absolute name"},
      {"empty component", {{"a//b", 0, "bad"}}, "refused: empty path component"},
      {"link, then a file through it",
       {{"a", ENTRY_FLAG_SYMLINK, outside.string()}, {"a/victim", 0, "bad"}},
       "refused: 'a' is not a directory"},
      {"link, then the same name as a file", {{"v", ENTRY_FLAG_SYMLINK, (outside / "victim").string()}, {"v", 0, "new"}},
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(work_ / "x");
    std::string package = write_package(work_ / "crafted.pkg", c.entries);
    ProcessResult r = pack({"extract", package, (work_ / "x").string()});
    if (c.message) {
      EXPECT_EQ(r.exit_code(), 1);
      EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    } else {
      EXPECT_EQ(r.exit_code(), 0) << r.err;
      EXPECT_EQ(read_file(work_ / "x/v"), "new");
    }
    EXPECT_EQ(read_file(outside / "victim"), "safe");
    EXPECT_EQ(names_in(outside), std::vector<std::string>{"victim"});
  }
}

TEST_F(PackTest, HelpVersionAndUsage) {
  EXPECT_EQ(pack({"--help"}).exit_code(), 0);
  ProcessResult version = pack({"--version"});
  EXPECT_EQ(version.exit_code(), 0);
  EXPECT_EQ(version.out.rfind("vorlix-pack ", 0), 0u);
  for (std::vector<std::string> args : {std::vector<std::string>{}, {"frob"}, {"list"}, {"create", "x"},
                                        {"verify", "--bogus", "x"}}) {
    ProcessResult r = pack(args);
    EXPECT_EQ(r.exit_code(), 2);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

}  // namespace
}  // namespace vorlix::testing
